// Serving one connection: the request loop that reads a request through the
// protocol layer, looks its operation up in the table of operations, runs it
// against the store or the channels, and writes the reply. Independent of
// sockets, so the fuzzer drives it from memory.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.hpp"
#include "shared_state.hpp"

namespace korva::coordination {

// What one request's operation works with.
struct Call {
    const Request& request;
    const Json& body;
    std::string& payload;  // empty unless the operation uses the payload
    SharedState& state;
    // Subscribers that "publish" queued an event for. The connection sends
    // their events once its burst of pipelined requests is through.
    Outbox& outbox;
    // Filled by the first step of "publish" and "subscribe" for the second.
    std::string_view name;  // channel or prefix
    std::string frame;  // the event frame, built outside the store lock
    std::shared_ptr<SubscriberQueue> queue;  // the subscriber's queue
};

// A failure text of the table that no request can bring about, and why: the
// reference says so, and the tests that reach every other text skip it.
struct Unreachable {
    const char* text;
    std::string_view reason;
};

// "internal: state unavailable", which any operation may answer.
extern const Unreachable kUnavailableUnreachable;

// One entry of the table of operations, which is the only place an
// operation name is matched.
struct Operation {
    std::string_view name;
    // Optional first step, outside the store lock: argument checks and the
    // copies that need no shared state. A failure text ends the request.
    const char* (*prepare)(Call&);
    Reply (*run)(Call&);
    bool store_lock;  // run() is called with the store lock held
    bool payload;  // uses the binary payload; for the others it is read and discarded
    bool stream;  // success turns the connection into an event stream; any failure closes it
    // What the operation reference (docs/coordinator.md) says of it: it is
    // rendered from this table, so the table is the one place to change.
    std::string_view summary;
    std::string_view arguments;  // the body's arguments, in the words of the reference
    std::string_view reply;  // the success value
    // The failure texts of the operation itself, in the order it checks
    // (protocol failures and "internal: state unavailable" apply to all).
    std::span<const char* const> errors;
    // Those of `errors` no request can reach, with the reason.
    std::span<const Unreachable> unreachable = {};
};

// The entry for `name`. Any other name gets the entry that answers
// "unsupported: unknown operation" after the key checks every keyed
// operation makes.
const Operation& find_operation(std::string_view name);
// The table itself, in protocol order.
std::span<const Operation> operations();
// Runs both steps, under the store lock when the entry says so. Never
// throws: an allocation failure gives "internal: state unavailable"
// (operations commit all-or-nothing, so the store stays intact).
Reply run_operation(const Operation& op, Call& call);

// Returns when the connection should be closed.
void serve_connection(Transport& transport, SharedState& state);

}  // namespace korva::coordination
