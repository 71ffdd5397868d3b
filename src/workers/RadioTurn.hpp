#pragma once

namespace quenfold::orvalis {

class Skelder;
struct ConnectionImpl;

// One connection's turn on its dongle: tune the radio to the connection,
// make at most one exchange in the connection's mode, deliver the reply.
void radioTurn(Skelder& dongle, ConnectionImpl& connection);

}  // namespace quenfold::orvalis
