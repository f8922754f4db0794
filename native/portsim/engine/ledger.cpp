#include "ledger.hpp"

#include <cmath>

namespace orvane::portsim {

TradeLedger::TradeLedger(const ArrayView2<double>* price, const ColumnMap* pos2price,
                         std::size_t columns, std::ptrdiff_t bars)
    : price_(price), pos2price_(pos2price), pieces_(columns) {
  rows_.traded.assign(static_cast<std::size_t>(bars), 0.0);
  rows_.held.assign(static_cast<std::size_t>(bars), 0.0);
}

double TradeLedger::last_valid(int sidprice) {
  if (scanned_.empty()) {
    scanned_.assign(static_cast<std::size_t>(price_->cols()), -1);
    last_valid_.assign(static_cast<std::size_t>(price_->cols()), kNaN);
  }
  const auto c = static_cast<std::size_t>(sidprice);
  // Bars only move forward, so each bar of a column is looked at once.
  for (std::ptrdiff_t b = d_; b > scanned_[c]; --b) {
    const double p = price_->unchecked(b, sidprice);
    if (!std::isnan(p)) {
      last_valid_[c] = p;
      break;
    }
  }
  if (d_ > scanned_[c]) scanned_[c] = d_;
  return last_valid_[c];
}

double TradeLedger::or_last_valid(int sid, double raw) {
  if (!std::isnan(raw)) return raw;
  const int sidprice = (*pos2price_)(sid);
  if (sidprice < 0 || sidprice >= price_->cols() || d_ < 0 || d_ >= price_->rows()) return kNaN;
  return last_valid(sidprice);
}

void TradeLedger::start(Piece& piece, int sid, double raw) {
  piece.entry_price = raw;
  piece.pending = std::isnan(raw);
  if (piece.pending) pending_.push_back(sid);
}

void TradeLedger::emit(Piece& piece, int sid, double exit_price, double exit_value, double pnl,
                       double costs, ExitReason reason) {
  if (piece.pending) {
    // Never valued at a valid price before this bar: it starts here, or
    // (with no valid price yet) it never moved.
    const double p = raw_price(sid);
    piece.entry_price = std::isnan(p) ? exit_price : p;
    piece.pending = false;
  }
  rows_.push(
      {piece.entry_price, exit_price, exit_value, piece.invested, pnl, costs, piece.id, reason});
}

void TradeLedger::settle() {
  std::size_t out = 0;
  for (const int sid : pending_) {
    Piece& piece = pieces_[static_cast<std::size_t>(sid)];
    if (!piece.pending) continue;
    const double p = raw_price(sid);
    if (std::isnan(p)) {
      pending_[out++] = sid;
    } else {
      piece.entry_price = p;
      piece.pending = false;
    }
  }
  pending_.resize(out);
}

void TradeLedger::enter(int sid, double target, double flow, double cost) {
  Piece& piece = pieces_[static_cast<std::size_t>(sid)];
  piece.id = next_id_++;
  piece.invested = std::fabs(target);
  piece.flow = flow;
  piece.costs = cost;
  start(piece, sid, raw_price(sid));
}

void TradeLedger::close(int sid, double value, double flow, double cost, const Fill& fill) {
  Piece& piece = pieces_[static_cast<std::size_t>(sid)];
  const double exit_price = fill.at_bar_price ? trade_price(sid) : fill.price;
  emit(piece, sid, exit_price, value, piece.flow + flow, piece.costs + cost, fill.reason);
  // A later exit without an entry in between (the recorder lists one when a
  // closed holding's zero value turns NaN) starts counting from nothing.
  piece.flow = 0.0;
  piece.costs = 0.0;
}

void TradeLedger::flip(int sid, double held, double target, double flow, double cost) {
  Piece& piece = pieces_[static_cast<std::size_t>(sid)];
  // One trade closes one side and opens the other; its cost is shared in
  // proportion to the two legs.
  const double share = std::fabs(held) / (std::fabs(held) + std::fabs(target));
  const double closing_cost = cost * share;
  const double closing_flow = held - closing_cost;
  const double raw = raw_price(sid);
  emit(piece, sid, or_last_valid(sid, raw), held, piece.flow + closing_flow,
       piece.costs + closing_cost, ExitReason::rebalance);
  piece.id = next_id_++;
  piece.invested = std::fabs(target);
  piece.flow = flow - closing_flow;
  piece.costs = cost - closing_cost;
  start(piece, sid, raw);
}

void TradeLedger::split(int sid, double held, double target, double flow, double cost) {
  Piece& piece = pieces_[static_cast<std::size_t>(sid)];
  // The ending piece hands its holding on to the next at its value.
  const double raw = raw_price(sid);
  emit(piece, sid, or_last_valid(sid, raw), held, piece.flow + held, piece.costs,
       ExitReason::split);
  piece.invested = std::fabs(target);
  piece.flow = flow - held;
  piece.costs = cost;
  start(piece, sid, raw);
}

void TradeLedger::resize(int sid, double flow, double cost, double enlarged) noexcept {
  Piece& piece = pieces_[static_cast<std::size_t>(sid)];
  piece.flow = piece.flow + flow;
  piece.costs = piece.costs + cost;
  piece.invested = piece.invested + enlarged;
}

void TradeLedger::close_open(int sid, double value, double exit_price) {
  Piece& piece = pieces_[static_cast<std::size_t>(sid)];
  emit(piece, sid, exit_price, value, piece.flow + value, piece.costs, ExitReason::open);
}

}  // namespace orvane::portsim
