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

// The running statistics of a trade's value path up to the current bar.
struct Walk {
  double price_ratio;
  double cmax;
  double cmin;
  // The running maximum at the position where the running minimum was first
  // reached: the maximum is updated before the minimum on every bar, so it
  // is the maximum as it stands when the minimum moves.
  double cmax_at_cmin;
  double mdd;
  double profit;
  double pv;  // the last valid close

  Block block() const noexcept { return {cmin, cmax, cmax_at_cmin, mdd, profit, price_ratio}; }
};

// The walk moved over the bars [from, to], `close_at(ith)` reading the close
// of bar ith. Taken and returned by value, so that the statistics stay in
// registers across the checks that may throw.
template <bool is_long, class CloseAt>
Walk advance(Walk w, std::int64_t from, std::int64_t to, const CloseAt& close_at) {
  for (std::int64_t ith = from; ith <= to; ++ith) {
    const double p = close_at(ith);
    // A missing close carries the trade's value forward.
    if (!std::isnan(p)) {
      if (w.pv == 0) float_division();
      const double v = p / w.pv;
      if (!std::isnan(v)) w.price_ratio = is_long ? w.price_ratio * v : 2 - v * (2 - w.price_ratio);
      w.pv = p;
    }
    if (w.price_ratio > w.cmax) w.cmax = w.price_ratio;
    if (w.cmin > w.price_ratio) {
      w.cmin = w.price_ratio;
      w.cmax_at_cmin = w.cmax;
    }
    if (w.cmax == 0) float_division();
    const double newmdd = w.price_ratio / w.cmax - 1;
    if (w.mdd > newmdd) w.mdd = newmdd;
    w.profit = w.profit + (1 < w.price_ratio ? 1 : 0);
  }
  return w;
}

// The bars after the last position the result reads change no result, but
// they are read and checked all the same: a zero close followed by a valid
// one fails the trade. (The running maximum never becomes 0: it starts at 1
// or above, or at NaN, and never decreases.)
template <class CloseAt>
void check_rest(double pv, std::int64_t from, std::int64_t to, const CloseAt& close_at) {
  for (std::int64_t ith = from; ith <= to; ++ith) {
    const double p = close_at(ith);
    if (!std::isnan(p)) {
      if (pv == 0) float_division();
      pv = p;
    }
  }
}

}  // namespace

void trace_trade(const Prices& prices, std::map<int, int>& pos2price, const Settings& settings,
                 const Trade& trade, Path& out) {
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

  // The positions the result reads. A negative window counts as longer than
  // the path; a negative step ends the sampling after the first block (a
  // zero step fails once the path is traced, when the result is sized).
  const std::int64_t i_entry = trade.i_entry;
  const std::int64_t size = i_exit_max - i_entry + 1;
  const std::int64_t step = settings.window_step;
  const std::int64_t limit =
      settings.window < 0 ? size : std::min<std::int64_t>(size, settings.window);
  const std::int64_t last_sample = limit <= 0 ? -1 : step > 0 ? (limit - 1) / step * step : 0;
  // A trade shorter than the path (or an exit before the entry) is summarised
  // at its exit bar, a longer one at the last analysed bar.
  const std::int64_t held = static_cast<std::int64_t>(trade.i_exit) - i_entry;
  const std::int64_t at_summary = held < 0 ? size - 1 : std::min(size - 1, held);
  const std::int64_t last_read = std::max(last_sample, at_summary);

  if (entry_price == 0) float_division();
  Walk w{};
  w.price_ratio = trade.is_long ? entry_close / entry_price : 2 - entry_close / entry_price;
  if (trade.entry_transaction) w.price_ratio = (1 - settings.fee_ratio) * w.price_ratio;
  w.cmax = 1 > w.price_ratio ? 1 : w.price_ratio;
  w.cmin = w.price_ratio > 1 ? 1 : w.price_ratio;
  w.cmax_at_cmin = w.cmax;
  w.mdd = w.price_ratio - 1 < 0 ? w.price_ratio - 1 : 0;
  w.profit = w.price_ratio > 1 ? 1 : 0;
  w.pv = entry_close;

  out.sampled.clear();
  std::int64_t next_sample = limit > 0 ? 0 : -1;
  auto keep = [&](std::int64_t k) {
    if (k == next_sample) {
      out.sampled.push_back(w.block());
      next_sample = step > 0 && k < last_sample ? k + step : -1;
    }
    if (k == at_summary) out.summary = w.block();
  };

  // From one position the result reads to the next, then past the last one.
  auto walk = [&](const auto& close_at) {
    keep(0);
    for (std::int64_t k = 0; k < last_read;) {
      std::int64_t stop = last_read;
      if (next_sample > k) stop = std::min(stop, next_sample);
      if (at_summary > k) stop = std::min(stop, at_summary);
      if (trade.is_long)
        w = advance<true>(w, i_entry + k + 1, i_entry + stop, close_at);
      else
        w = advance<false>(w, i_entry + k + 1, i_entry + stop, close_at);
      k = stop;
      keep(k);
    }
    check_rest(w.pv, i_entry + last_read + 1, i_exit_max, close_at);
  };
  // Bars and column inside the matrix (the usual case) are read without a
  // check per bar; anything else goes through the checked access, which
  // raises the IndexError of the first bar outside.
  if (i_entry >= 0 && i_exit_max < close.rows() && pid >= 0 && pid < close.cols())
    walk([&](std::int64_t ith) { return close.unchecked(ith, pid); });
  else
    walk([&](std::int64_t ith) { return close(ith, pid); });

  if (trade.exit_transaction) {
    // The exit trades at the bar's trade price rather than its close; the
    // adjusted value is that of the last analysed position.
    const bool read = last_read == size - 1;
    double last = w.price_ratio;
    if (i_entry != i_exit_max) {
      const double q = price(i_exit_max, pid);
      const double c = close(i_exit_max, pid);
      if (c == 0) float_division();
      // A missing exit price or close (a suspended stock sold at its carried
      // value) is no move, like every NaN price ratio.
      if (read && !std::isnan(q / c)) last = trade.is_long ? q / c * last : 2 - (2 - last) * q / c;
    }
    if (read) {
      last = (1 - settings.fee_ratio - settings.tax_ratio) * last;
      if (at_summary == size - 1) out.summary.value = last;
      if (last_sample == size - 1) out.sampled.back().value = last;
    }
  }
}

std::int64_t result_size(const Settings& settings) {
  if (settings.window_step == 0)
    raise(ErrorKind::zero_division_error, "integer division or modulo by zero");
  return 6 * floor_div(static_cast<std::int64_t>(settings.window) - 1, settings.window_step) + 12;
}

void write_result(const Path& path, std::span<double> ret) {
  auto block = [&](std::int64_t at, const Block& b) {
    put(ret, at, b.cummin - 1);
    put(ret, at + 1, b.cummax - 1);
    put(ret, at + 2, b.cummax_at_cummin - 1);
    put(ret, at + 3, b.mdd);
    put(ret, at + 4, b.profit_period);
    put(ret, at + 5, b.value - 1);
  };
  std::int64_t at = 0;
  for (const Block& b : path.sampled) {
    block(at, b);
    at += 6;
  }
  block(static_cast<std::int64_t>(ret.size()) - 6, path.summary);
}

}  // namespace orvane::excursion
