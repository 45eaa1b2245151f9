// Prints the table of operations, with the protocol's limits and failure
// texts, as JSON: tools/render_table.py turns it into the operation
// reference docs/coordinator.md, so the reference cannot drift from the
// table the server dispatches on.
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "connection.hpp"

// Writes to the file named by the first argument, or to standard output.
int main(int argc, char** argv) {
    namespace c = korva::coordination;
    using nlohmann::json;
    json operations = json::array();
    for (const c::Operation& op : c::operations()) {
        json errors = json::array();
        for (const char* text : op.errors) errors.push_back(text);
        json unreachable = json::object();
        for (const c::Unreachable& u : op.unreachable) unreachable[u.text] = u.reason;
        operations.push_back({{"name", op.name},
                              {"summary", op.summary},
                              {"arguments", op.arguments},
                              {"payload", op.payload},
                              {"reply", op.reply},
                              {"errors", errors},
                              {"unreachable", unreachable},
                              {"stream", op.stream}});
    }
    // Failures before an operation runs, in the order they are checked;
    // each closes the connection.
    json request_errors =
        json::array({c::text::kMalformedHeader, c::text::kBadCredentials, c::text::kBadVersionOrNamespace,
                     c::text::kPayloadTooLarge, c::text::kGeneration, c::text::kBadBody, c::text::kMalformedBody});
    namespace l = c::limits;
    json limits = {{"header_line", l::kHeaderLine},
                   {"body_line", l::kBodyLine},
                   {"payload", l::kPayload},
                   {"name", l::kName},
                   {"namespace", l::kNamespace},
                   {"owner", l::kOwner},
                   {"nesting", l::kNesting},
                   {"first_request_ms", l::kFirstRequestNs / 1'000'000},
                   {"later_request_ms", l::kLaterRequestNs / 1'000'000},
                   {"payload_ms", l::kPayloadNs / 1'000'000},
                   {"send_timeout_ms", l::kSendTimeoutMs},
                   {"frame", l::kFrame},
                   {"subscription_queue", l::kSubscriptionQueue},
                   {"global_queue", l::kGlobalQueue},
                   {"event_overhead", l::kEventOverhead},
                   {"subscriptions", l::kSubscriptions},
                   {"heartbeat_ms", l::kHeartbeatNs / 1'000'000},
                   {"frame_write_ms", l::kFrameWriteNs / 1'000'000},
                   {"connections", c::SharedState::kConnectionLimit},
                   {"value_size", l::kValueSize},
                   {"usage", l::kUsage},
                   {"entries", l::kEntries},
                   {"entry_overhead", l::kEntryOverhead},
                   {"member_overhead", l::kMemberOverhead}};
    json out = {{"operations", operations},
                {"unknown_operation", c::text::kUnknownOp},
                {"unavailable", c::text::kUnavailable},
                {"unavailable_unreachable", c::kUnavailableUnreachable.reason},
                {"connection_limit", c::text::kConnectionLimit},
                {"request_errors", request_errors},
                {"heartbeat_frame", c::kHeartbeatFrame},
                {"limits", limits}};
    const std::string text = out.dump(2) + "\n";
    if (argc > 1) {
        std::ofstream file(argv[1], std::ios::binary);
        file << text;
        return file ? 0 : 1;
    }
    std::cout << text;
    return 0;
}
