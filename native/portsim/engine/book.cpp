#include "book.hpp"

#include <algorithm>
#include <cmath>

#include "../../base/error.hpp"

namespace orvane::portsim {

void PositionBook::check_column(int sid) const {
  if (sid < 0 || static_cast<std::size_t>(sid) >= value_.size())
    raisef(ErrorKind::index_error, "position column %d is outside the position book", sid);
}

double& PositionBook::get_or_insert(int sid) {
  check_column(sid);
  if (!held_[sid]) {
    held_[sid] = 1;
    value_[sid] = 0.0;
    if (!listed_[sid]) {
      listed_[sid] = 1;
      keys_.push_back(sid);
    }
    dirty_ = true;
  }
  return value_[sid];
}

void PositionBook::erase(int sid) noexcept {
  if (!contains(sid)) return;
  held_[sid] = 0;
  value_[sid] = 0.0;
  dirty_ = true;
}

const std::vector<int>& PositionBook::keys() {
  if (!dirty_) return keys_;
  // Drop the entries of erased columns, then merge the appended tail into
  // the sorted prefix.
  std::size_t prefix = 0;
  std::size_t out = 0;
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    const int sid = keys_[i];
    if (!held_[sid]) {
      listed_[sid] = 0;
      continue;
    }
    if (i < sorted_prefix_) ++prefix;
    keys_[out++] = sid;
  }
  keys_.resize(out);
  auto middle = keys_.begin() + static_cast<std::ptrdiff_t>(prefix);
  if (!std::is_sorted(middle, keys_.end())) std::sort(middle, keys_.end());
  std::inplace_merge(keys_.begin(), middle, keys_.end());
  sorted_prefix_ = keys_.size();
  dirty_ = false;
  return keys_;
}

std::map<int, double> PositionBook::to_map() {
  std::map<int, double> out;
  for (int sid : keys()) out.emplace_hint(out.end(), sid, value_[sid]);
  return out;
}

namespace {

double weight_of(double position, double balance) {
  if (balance == 0.0) raise(ErrorKind::zero_division_error, "float division by zero");
  return position / balance;
}

}  // namespace

double set_position(PositionBook& p, int sid, double position, double cash, const Trading& trading,
                    const Fill& fill, bool check_null, bool set_null, double balance) {
  const TradeRules& rules = trading.rules;
  TradeRecorder& recorder = trading.recorder;
  TradeLedger& ledger = trading.ledger;
  const bool exist = check_null ? p.contains(sid) : true;
  const double before = p.contains(sid) ? p.value(sid) : 0.0;
  const bool prev_has_position = before != 0.0;
  const bool next_has_position = position != 0.0;
  // A NaN on either side is never a change of side.
  const bool side_change = (before > 0.0 && position < 0.0) || (before < 0.0 && position > 0.0);

  // The recorder hears of the trade before the book changes. A flip ends
  // one trade and starts another, whatever the splitting mode.
  enum class Change { entry, exit, flip, split, resize, none };
  Change change = Change::none;
  if (!prev_has_position && next_has_position) {
    recorder.record_entry(sid, weight_of(position, balance), 1);
    change = Change::entry;
  } else if (prev_has_position && !next_has_position) {
    recorder.record_exit(sid, 1);
    change = Change::exit;
  } else if (side_change) {
    recorder.record_exit(sid, 1);
    recorder.record_entry(sid, weight_of(position, balance), 1);
    change = Change::flip;
  } else if (prev_has_position && next_has_position && !rules.retain_cost_when_rebalance &&
             rules.resample) {
    recorder.record_exit(sid, 0);
    recorder.record_entry(sid, weight_of(position, balance), 0);
    change = Change::split;
  } else if (prev_has_position && next_has_position) {
    change = Change::resize;
  }

  const double cost_ratio = rules.fee_ratio + rules.tax_ratio;
  if (position == 0.0) {
    if (!exist) return cash;
    const double v = p.get_or_insert(sid);
    if (set_null)
      p.erase(sid);
    else
      p.at(sid) = 0.0;
    const double cost = std::fabs(v) * cost_ratio;
    const double flow = v - cost;
    ledger.add_traded(std::fabs(v));
    if (change == Change::exit) ledger.close(sid, v, flow, cost, fill);
    return cash + flow;
  }

  double& held = p.get_or_insert(sid);
  const double amount = position - held;
  const bool buy = amount > 0.0;
  const bool is_entry = (amount > 0.0 && position >= 0.0) || (amount < 0.0 && position <= 0.0);
  const double cost =
      is_entry ? std::fabs(amount) * rules.fee_ratio : std::fabs(amount) * cost_ratio;
  double flow;
  if (buy) {
    flow = -amount;
    cash = cash - amount;
    held = held + (amount - cost);
  } else {
    flow = -amount - cost;
    cash = cash + flow;
    held = held + amount;
  }
  if (set_null && held == 0.0) p.erase(sid);

  ledger.add_traded(std::fabs(amount));
  switch (change) {
    case Change::entry:
      ledger.enter(sid, position, flow, cost);
      break;
    case Change::flip:
      ledger.flip(sid, before, position, flow, cost);
      break;
    case Change::split:
      ledger.split(sid, before, position, flow, cost);
      break;
    case Change::resize:
      ledger.resize(sid, flow, cost, is_entry ? std::fabs(amount) : 0.0);
      break;
    case Change::exit:
    case Change::none:
      break;
  }
  return cash;
}

}  // namespace orvane::portsim
