#pragma once

#include "orvalis/Packet.hpp"

namespace quenfold::orvalis {

class Skelder;
struct ConnectionImpl;

// What a radio worker keeps for each connection it serves with safelink: the
// handshake, the two sequence bits and the packet that waits for its
// acknowledgement. Only the worker serving the connection touches it; when
// the registry moves a connection to another dongle, the state goes along,
// once the old worker has let go of the connection (RadioWorker.hpp).
struct SafelinkState {
    bool initialized = false;
    bool down = false;
    bool up = false;
    Packet pendingPacket;
};

// What a connection's turn did.
enum class TurnOutcome {
    Idle,       // no exchange: nothing to send in the connection's mode
    Exchanged,  // an exchange that made nobody runnable
    // An exchange that queued a reply, woke the first-exchange waiters or
    // let go of a sender blocked on the send queue: a thread may be waiting
    // for the core to act on it.
    Woke,
};

// One connection's turn on its dongle: when the connection has something to
// send in its mode, tune the radio to it, make that one exchange and deliver
// the reply.
TurnOutcome radioTurn(Skelder& dongle, ConnectionImpl& connection, SafelinkState& safelink);

// Called by a radio worker after each exchange, once sent_count counts it and
// the connection's queue lock is released, before its acknowledgement is
// looked at. None by default; tests set one to
// hold a worker at that point.
using ExchangeHook = void (*)(ConnectionImpl& connection);
void setExchangeHook(ExchangeHook hook) noexcept;

}  // namespace quenfold::orvalis
