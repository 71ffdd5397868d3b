#pragma once

namespace quenfold::orvalis {

class Skelder;
struct ConnectionImpl;

// One connection's turn on its dongle: when the connection has something to
// send in its mode, tune the radio to it, make that one exchange and deliver
// the reply. Returns whether it made an exchange.
bool radioTurn(Skelder& dongle, ConnectionImpl& connection);

// Called by a radio worker after each exchange, once sent_count counts it and
// the connection's queue lock is released, before its acknowledgement is
// looked at. None by default; tests set one to
// hold a worker at that point.
using ExchangeHook = void (*)(ConnectionImpl& connection);
void setExchangeHook(ExchangeHook hook) noexcept;

}  // namespace quenfold::orvalis
