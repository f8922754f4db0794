// The engine's caller for one call of backtest_: the recorder of
// orvane.core.excursion, sys.stdout for the warning line, a new NumPy array
// for creturn, the truth of the call's stop_trading_next_period, and the
// names and flags of the caller's arrays.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <string_view>

#include "../../excursion/capi.hpp"
#include "../../py/ref.hpp"
#include "../engine/caller.hpp"
#include "recorder.hpp"

namespace orvane::portsim {

// Writes each line to sys.stdout as it is at the time (None: nowhere).
class StdoutWarnings final : public WarningSink {
 public:
  void warn(std::string_view line) override;
};

// creturn as a new 1-D float64 array, handed to the caller at the end.
class NumpyResult final : public ResultBuffer {
 public:
  std::span<double> allocate(std::size_t bars) override;
  py::Ref take() noexcept { return std::move(array_); }

 private:
  py::Ref array_;
};

// The arguments of one backtest_ call that the run reaches back into,
// borrowed from the call.
struct CallObjects {
  PyObject* price_values;
  PyObject* close_values;
  PyObject* pos_values;
  PyObject* pos_columns;
  PyObject* stop_trading_next_period;
};

class PythonCaller {
 public:
  PythonCaller(const capi::Table& recorder, const CallObjects& objects);
  PythonCaller(const PythonCaller&) = delete;
  PythonCaller& operator=(const PythonCaller&) = delete;

  Caller& caller() noexcept { return caller_; }
  TruthTest stop_trading_next_period() noexcept { return caller_.stop_trading_next_period; }
  py::Ref take_creturn() noexcept { return creturn_.take(); }

 private:
  struct Truth {
    PyObject* object;
    bool operator()() const;
  };
  struct Writable {
    PyObject* array;
    bool operator()() const;
  };
  struct Name {
    PyObject* names;
    std::string operator()(int sid) const;
  };
  struct Signals {
    void operator()() const;
  };

  BoundRecorder recorder_;
  StdoutWarnings warnings_;
  NumpyResult creturn_;
  Truth stop_;
  Writable writable_;
  Name name_;
  Signals signals_;
  Caller caller_;
};

}  // namespace orvane::portsim
