// Serving one connection: the request loop that reads a request through the
// protocol layer, hands it to the store or the channels, and writes the
// reply. Independent of sockets, so the fuzzer drives it from memory.
#pragma once

#include "protocol.hpp"
#include "shared_state.hpp"

namespace korva::coordination {

// Returns when the connection should be closed.
void serve_connection(Transport& transport, SharedState& state);

}  // namespace korva::coordination
