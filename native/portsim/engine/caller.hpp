// What a run asks of whoever started it, through small interfaces, so that
// the engine itself is plain C++: the trade recorder, the warning line, the
// buffer of the result, and a few callbacks. An implementation signals a
// failure by throwing (base/error.hpp), which ends the run.
#pragma once

#include <cstddef>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "../../base/function_ref.hpp"
#include "columns.hpp"

namespace orvane::portsim {

// Told of every bar and of every trade that opens or closes a holding; it
// keeps the trade list and the excursions of the run.
class TradeRecorder {
 public:
  // A new run, before its first bar: `nstocks` position columns, the costs
  // and the excursion window.
  virtual void start(const ColumnMap& pos2price, int nstocks, double fee_ratio, double tax_ratio,
                     int window, int window_step) = 0;
  virtual void record_date(int d) = 0;
  // `has_transaction`: 1 when the entry or exit is a trade paying costs, 0
  // when it only splits a continuing holding in two.
  virtual void record_entry(int sid, double weight, int has_transaction) = 0;
  virtual void record_exit(int sid, int has_transaction) = 0;
  // The end of the run: every holding of `positions` worth anything stays
  // open.
  virtual void end(std::map<int, double>& positions) = 0;

 protected:
  ~TradeRecorder() = default;
};

// Where the engine's one warning line goes.
class WarningSink {
 public:
  virtual void warn(std::string_view line) = 0;

 protected:
  ~WarningSink() = default;
};

// The storage of creturn, one value per bar, owned by the caller.
class ResultBuffer {
 public:
  virtual std::span<double> allocate(std::size_t bars) = 0;

 protected:
  ~ResultBuffer() = default;
};

// A truth value computed anew at each test: the caller's object may answer
// differently each time, or fail.
using TruthTest = FunctionRef<bool()>;

struct Caller {
  TradeRecorder& recorder;
  WarningSink& warnings;
  ResultBuffer& creturn;
  TruthTest stop_trading_next_period;
  // Whether the weight matrix may be written, asked before each write (code
  // that a truth test runs may change it).
  TruthTest weights_writable;
  // The name of a position column as text, for an error message; an index
  // outside the names fails as a checked access does.
  FunctionRef<std::string(int)> position_name;
  // Called before every bar; throws to end the run (an interrupt).
  FunctionRef<void()> before_bar;
};

}  // namespace orvane::portsim
