#include "analysis.hpp"

#include <algorithm>
#include <cmath>

#include "../base/error.hpp"

namespace orvane::excursion {

namespace {

[[noreturn]] void float_division() { raise(ErrorKind::zero_division_error, "float division"); }

const ArrayView2<double>& require(const ArrayView2<double>* matrix) {
  if (!matrix) raise(ErrorKind::type_error, "'NoneType' object is not subscriptable");
  return *matrix;
}

// Division rounded toward minus infinity, for the block count of a negative
// window.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if (a % b != 0 && ((a < 0) != (b < 0))) --q;
  return q;
}

// Writes one element of the result: a negative index counts from the end, one
// outside the result raises IndexError for axis 0.
void put(std::span<double> ret, std::int64_t i, double value) {
  const auto n = static_cast<std::int64_t>(ret.size());
  if (i < 0) i += n;
  if (i < 0 || i >= n) raise_index_error(0);
  ret[static_cast<std::size_t>(i)] = value;
}

}  // namespace

void trace_trade(const Prices& prices, std::map<int, int>& pos2price, const Settings& settings,
                 const Trade& trade, Series& out) {
  const int pid = trade.pid >= 0 ? trade.pid : pos2price[trade.sid];

  // Cover at least `window` bars after the entry, at most up to the last bar.
  std::int64_t i_exit_max = trade.i_exit;
  if (static_cast<std::int64_t>(trade.i_entry) + settings.window > i_exit_max)
    i_exit_max = static_cast<std::int64_t>(trade.i_entry) + settings.window;
  const auto& price = require(prices.price);
  const std::int64_t plength = price.rows();
  if (i_exit_max >= plength) i_exit_max = plength - 1;
  if (i_exit_max < trade.i_entry)
    raise(ErrorKind::overflow_error, "can't convert negative value to size_t");

  const double entry_price = price(trade.i_entry, pid);
  const auto& close = require(prices.close);
  const double entry_close = close(trade.i_entry, pid);

  // Sized only once the entry bar is known to exist: an entry far outside
  // the data would otherwise allocate gigabytes that the reused buffers keep.
  // Written by index, with the running values kept in locals rather than
  // read back from the series on every bar.
  const auto size = static_cast<std::size_t>(i_exit_max - trade.i_entry + 1);
  out.returns.resize(size);
  out.cummax.resize(size);
  out.cummin.resize(size);
  out.cummin_i.resize(size);
  out.mdd.resize(size);
  out.profit_period.resize(size);
  if (entry_price == 0) float_division();
  double price_ratio = trade.is_long ? entry_close / entry_price : 2 - entry_close / entry_price;
  if (trade.entry_transaction) price_ratio = (1 - settings.fee_ratio) * price_ratio;

  double cmax = 1 > price_ratio ? 1 : price_ratio;
  double cmin = price_ratio > 1 ? 1 : price_ratio;
  int cmin_i = 0;
  double mdd = price_ratio - 1 < 0 ? price_ratio - 1 : 0;
  double profit = price_ratio > 1 ? 1 : 0;
  out.returns[0] = price_ratio;
  out.cummax[0] = cmax;
  out.cummin[0] = cmin;
  out.cummin_i[0] = cmin_i;
  out.mdd[0] = mdd;
  out.profit_period[0] = profit;

  double pv = entry_close;  // the last valid close
  std::size_t k = 1;
  for (std::int64_t ith = static_cast<std::int64_t>(trade.i_entry) + 1; ith <= i_exit_max; ++ith, ++k) {
    const double p = close(ith, pid);
    // A missing close carries the trade's value forward.
    if (!std::isnan(p)) {
      if (pv == 0) float_division();
      const double v = p / pv;
      if (!std::isnan(v)) price_ratio = trade.is_long ? price_ratio * v : 2 - v * (2 - price_ratio);
      pv = p;
    }
    if (price_ratio > cmax) cmax = price_ratio;
    if (cmin > price_ratio) {
      cmin = price_ratio;
      cmin_i = static_cast<int>(k);
    }
    if (cmax == 0) float_division();
    const double newmdd = price_ratio / cmax - 1;
    if (mdd > newmdd) mdd = newmdd;
    profit = profit + (1 < price_ratio ? 1 : 0);
    out.returns[k] = price_ratio;
    out.cummax[k] = cmax;
    out.cummin[k] = cmin;
    out.cummin_i[k] = cmin_i;
    out.mdd[k] = mdd;
    out.profit_period[k] = profit;
  }

  if (trade.exit_transaction) {
    double& last = out.returns.back();
    // The exit trades at the bar's trade price rather than its close.
    if (trade.i_entry != i_exit_max) {
      const double q = price(i_exit_max, pid);
      const double c = close(i_exit_max, pid);
      if (c == 0) float_division();
      // A missing exit price or close (a suspended stock sold at its carried
      // value) is no move, like every NaN price ratio.
      if (!std::isnan(q / c)) last = trade.is_long ? q / c * last : 2 - (2 - last) * q / c;
    }
    last = (1 - settings.fee_ratio - settings.tax_ratio) * last;
  }
}

std::int64_t result_size(const Settings& settings) {
  if (settings.window_step == 0)
    raise(ErrorKind::zero_division_error, "integer division or modulo by zero");
  return 6 * floor_div(static_cast<std::int64_t>(settings.window) - 1, settings.window_step) + 12;
}

void write_result(const Series& series, const Settings& settings, const Trade& trade,
                  std::span<double> ret) {
  const auto size = static_cast<std::int64_t>(series.size());
  auto block = [&](std::int64_t at, std::int64_t w) {
    const auto i = static_cast<std::size_t>(w);
    put(ret, at, series.cummin[i] - 1);
    put(ret, at + 1, series.cummax[i] - 1);
    put(ret, at + 2, series.cummax[static_cast<std::size_t>(series.cummin_i[i])] - 1);
    put(ret, at + 3, series.mdd[i]);
    put(ret, at + 4, series.profit_period[i]);
    put(ret, at + 5, series.returns[i] - 1);
  };

  // A negative window counts as longer than the path. Positions stay within
  // the path, so a negative step ends the sampling after the first block.
  const std::int64_t limit = settings.window < 0 ? size : std::min<std::int64_t>(size, settings.window);
  std::int64_t at = 0;
  for (std::int64_t w = 0; w >= 0 && w < limit; w += settings.window_step, at += 6) block(at, w);

  // A trade shorter than the path (or an exit before the entry) is summarised
  // at its exit bar, a longer one at the last analysed bar.
  const std::int64_t held = static_cast<std::int64_t>(trade.i_exit) - trade.i_entry;
  const std::int64_t w = held < 0 ? size - 1 : std::min(size - 1, held);
  block(static_cast<std::int64_t>(ret.size()) - 6, w);
}

}  // namespace orvane::excursion
