#include "rebalance.hpp"

#include <cmath>

namespace orvane::portsim {

double rebalance(PositionBook& p, const WeightRow& newp, double cash, const Trading& trading,
                 double position_limit) {
  double balance = cash;
  for (int sid : p.keys()) balance += p.value(sid);

  // Sequential in column order, so the result does not depend on how an
  // array library would pair the terms.
  const std::ptrdiff_t n = newp.size();
  double gross = 0.0;
  for (std::ptrdiff_t sid = 0; sid < n; ++sid) gross += std::fabs(newp.unchecked(sid));

  const double divisor = 1.0 > gross ? 1.0 : gross;
  double ratio = balance / divisor;
  if (std::isnan(ratio)) ratio = 1.0;

  const double limit = position_limit * balance;
  for (std::ptrdiff_t sid = 0; sid < n; ++sid) {
    double target = newp.unchecked(sid) * ratio;
    if (std::fabs(target) > limit) {
      const double sign = target > 0.0 ? 1.0 : -1.0;
      target = limit * sign;
    }
    // A zero target for a stock not held is no trade at all; most of a wide
    // row is that.
    if (target == 0.0 && !p.contains(static_cast<int>(sid))) continue;
    cash = set_position(p, static_cast<int>(sid), target, cash, trading,
                        Fill::at_bar(ExitReason::rebalance), true, true, balance);
  }
  return cash;
}

}  // namespace orvane::portsim
