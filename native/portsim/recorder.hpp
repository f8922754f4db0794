// The trade recorder of orvane.core.excursion as the engine sees it: the
// bound entry points, each followed by a test for a pending exception.
#pragma once

#include <map>

#include "../excursion/capi.hpp"
#include "../py/error.hpp"

namespace orvane::portsim {

class Recorder {
 public:
  explicit Recorder(const capi::Table& table) : t_(table) {}

  void start_analysis(PyObject* price, PyObject* close, const std::map<int, int>& pos2price,
                      int nstocks, double fee_ratio, double tax_ratio, int window,
                      int window_step) const {
    t_.start_analysis(reinterpret_cast<PyArrayObject*>(price),
                      reinterpret_cast<PyArrayObject*>(close), pos2price, nstocks, fee_ratio,
                      tax_ratio, window, window_step);
    py::check_pending();
  }
  void record_date(int d) const {
    t_.record_date(d);
    py::check_pending();
  }
  void record_entry(int sid, double weight, int has_transaction) const {
    t_.record_entry(sid, weight, has_transaction);
    py::check_pending();
  }
  void record_exit(int sid, int has_transaction) const {
    t_.record_exit(sid, has_transaction);
    py::check_pending();
  }
  void end_analysis(std::map<int, double>& pos) const { py::check(t_.end_analysis(pos)); }

 private:
  const capi::Table& t_;
};

}  // namespace orvane::portsim
