// The per-connection request loop (see connection.hpp). Reading, parsing and
// validation happen outside the store lock; only the operation itself runs
// under it, and replies are written after it is released.
#include "connection.hpp"

#include "platform.hpp"

namespace korva::coordination {

namespace {

bool send_error(Transport& transport, std::string_view message) {
    std::string line;
    append_error_line(message, line);
    return transport.write_all(line);
}

Reply publish(const Request& request, const Json& body, const std::string& payload, SharedState& state) {
    std::string_view channel;
    if (const char* err = read_name(body, "channel", "invalid: missing string channel", channel)) {
        return Reply::fail(err);
    }
    if (body_has(body, "value")) return Reply::fail(text::kPublishValue);
    std::string frame;
    const char* error = nullptr;
    if (!build_frame(channel, payload, frame, error)) return Reply::fail(error);
    std::lock_guard<std::mutex> guard(state.lock);
    return state.channels.deliver(request.ns, channel, std::move(frame));
}

// Runs "subscribe" to its end. The connection always closes afterwards.
void subscribe(Transport& transport, const Request& request, const Json& body, SharedState& state) {
    std::string_view prefix;
    if (const char* err = read_name(body, "prefix", "invalid: missing string prefix", prefix)) {
        send_error(transport, err);
        return;
    }
    std::shared_ptr<SubscriberQueue> queue;
    const char* err = nullptr;
    try {
        queue = std::make_shared<SubscriberQueue>();
        std::lock_guard<std::mutex> guard(state.lock);
        err = state.channels.add(request.ns, prefix, queue);
    } catch (...) {
        err = text::kUnavailable;
    }
    if (err != nullptr) {
        send_error(transport, err);
        return;
    }
    if (!transport.write_all("{\"ok\":true,\"value\":true}\n")) {
        queue->active.store(false);
        queue->close_receiver();
        return;
    }
    stream_events(transport, *queue);
}

Reply dispatch(const Request& request, const Json& body, std::string& payload, SharedState& state) {
    try {
        if (request.op == "hello") return Reply::json(state.hello_value);
        if (request.op == "publish") return publish(request, body, payload, state);
        std::lock_guard<std::mutex> guard(state.lock);
        return state.store.execute(request.op, request.ns, body, payload,
                                   static_cast<Instant>(platform::monotonic_ns()));
    } catch (...) {
        // Typically an allocation failure. Operations commit all-or-nothing,
        // so the store is intact; only this request fails.
        return Reply::fail(text::kUnavailable);
    }
}

bool send_reply(Transport& transport, const Reply& reply, std::string& out) {
    out.clear();
    append_reply_line(reply, out);
    if (!reply.bytes) return transport.write_all(out);
    if (reply.bytes->size() <= limits::kInlineValue) {
        out += *reply.bytes;
        return transport.write_all(out);
    }
    // Large values go out straight from the shared stored buffer.
    return transport.write_all(out, *reply.bytes);
}

}  // namespace

void serve_connection(Transport& transport, SharedState& state) {
    try {
        RequestReader reader(transport);
        Request request;
        Json body;
        std::string payload;
        std::string out;
        bool first = true;
        for (;;) {
            const std::int64_t deadline =
                platform::monotonic_ns() + (first ? limits::kFirstRequestNs : limits::kLaterRequestNs);
            std::string_view line;
            if (reader.read_line(limits::kHeaderLine, deadline, line) != RequestReader::Line::Ok) return;
            if (!parse_header(line, request)) {
                send_error(transport, text::kMalformedHeader);
                return;
            }
            if (const char* err = validate_header(request, state.token, state.generation)) {
                send_error(transport, err);
                return;
            }
            if (first) {
                if (!transport.write_all(kReadyLine)) return;
                first = false;
            }
            if (reader.read_line(limits::kBodyLine, deadline, line) != RequestReader::Line::Ok) {
                send_error(transport, text::kBadBody);
                return;
            }
            if (!parse_body(line, body)) {
                send_error(transport, text::kMalformedBody);
                return;
            }
            if (!reader.read_payload(request.payload_bytes, platform::monotonic_ns() + limits::kPayloadNs, payload)) {
                return;
            }
            reader.trim();
            if (request.op == "subscribe") {
                subscribe(transport, request, body, state);
                return;
            }
            Reply reply = dispatch(request, body, payload, state);
            if (!send_reply(transport, reply, out)) return;
        }
    } catch (...) {
        // Out of memory for connection buffers: this connection ends, the
        // server goes on.
    }
}

}  // namespace korva::coordination
