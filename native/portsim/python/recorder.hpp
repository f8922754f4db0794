// The engine's trade recorder: the entry points of orvane.core.excursion,
// bound through its table, each followed by a test for a pending exception.
#pragma once

#include <map>

#include "../../excursion/capi.hpp"
#include "../../py/error.hpp"
#include "../engine/caller.hpp"

namespace orvane::portsim {

class BoundRecorder final : public TradeRecorder {
 public:
  // `price` and `close` are the run's matrices (None allowed), borrowed
  // from the call for the recorder to keep.
  BoundRecorder(const capi::Table& table, PyObject* price, PyObject* close)
      : t_(table), price_(price), close_(close) {}

  void start(const ColumnMap& pos2price, int nstocks, double fee_ratio, double tax_ratio,
             int window, int window_step) override {
    t_.start_analysis(reinterpret_cast<PyArrayObject*>(price_),
                      reinterpret_cast<PyArrayObject*>(close_), pos2price.to_map(), nstocks,
                      fee_ratio, tax_ratio, window, window_step);
    py::check_pending();
  }
  void record_date(int d) override {
    t_.record_date(d);
    py::check_pending();
  }
  void record_entry(int sid, double weight, int has_transaction) override {
    t_.record_entry(sid, weight, has_transaction);
    py::check_pending();
  }
  void record_exit(int sid, int has_transaction) override {
    t_.record_exit(sid, has_transaction);
    py::check_pending();
  }
  void end(std::map<int, double>& positions) override { py::check(t_.end_analysis(positions)); }

 private:
  const capi::Table& t_;
  PyObject* price_;
  PyObject* close_;
};

}  // namespace orvane::portsim
