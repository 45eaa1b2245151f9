// The per-connection request loop (see connection.hpp). Reading, parsing and
// validation happen outside the store lock; only the operation itself runs
// under it, and replies are written after it is released.
#include "connection.hpp"

#include "platform.hpp"

namespace korva::coordination {

namespace {

// Holds replies back while the client's next request is already buffered, so
// that pipelined requests are answered with one write per batch instead of
// one per request. Anything held is written before the connection waits for
// more input or writes stream frames, so no reply ever waits on the client.
//
// Subscriber wake-ups from "publish" are held back the same way: a burst of
// pipelined publishes wakes each subscriber once, and the subscriber then
// writes the whole burst at once. They are released before anything else
// happens on the socket.
class CoalescingTransport final : public Transport {
public:
    explicit CoalescingTransport(Transport& inner) : inner_(inner) {}
    ~CoalescingTransport() override { flush(); }

    std::vector<std::shared_ptr<SubscriberQueue>>& wakes() { return wakes_; }

    bool flush() {
        release_wakes();
        if (pending_.empty()) return true;
        bool ok = inner_.write_all(pending_);
        pending_.clear();
        if (pending_.capacity() > kHold * 4) std::string().swap(pending_);
        return ok;
    }
    long read_some(char* buffer, std::size_t n, std::int64_t deadline_ns) override {
        if (!flush()) return -1;
        return inner_.read_some(buffer, n, deadline_ns);
    }
    bool write_all(std::string_view a, std::string_view b) override {
        if (pending_.size() + a.size() + b.size() <= kHold) {
            pending_.append(a);
            pending_.append(b);
            return true;
        }
        release_wakes();  // this write may wait for the peer
        if (pending_.empty()) return inner_.write_all(a, b);
        pending_.append(a);
        if (b.size() <= limits::kInlineValue) {
            pending_.append(b);
            b = {};
        }
        bool ok = inner_.write_all(pending_, b);  // large values still go out uncopied
        pending_.clear();
        return ok;
    }
    bool write_by(const std::string_view* parts, std::size_t count, std::int64_t deadline_ns,
                  const std::atomic<bool>& keep_going) override {
        return flush() && inner_.write_by(parts, count, deadline_ns, keep_going);
    }
    bool peer_gone() override { return inner_.peer_gone(); }

private:
    void release_wakes() {
        for (auto& queue : wakes_) queue->wake();
        wakes_.clear();
    }

    static constexpr std::size_t kHold = 64 * 1024;
    Transport& inner_;
    std::string pending_;
    std::vector<std::shared_ptr<SubscriberQueue>> wakes_;
};

bool send_error(Transport& transport, std::string_view message) {
    std::string line;
    append_error_line(message, line);
    return transport.write_all(line);
}

Reply publish(const Request& request, const Json& body, const std::string& payload, SharedState& state,
              std::vector<std::shared_ptr<SubscriberQueue>>& to_wake) {
    std::string_view channel;
    if (const char* err = read_name(body, "channel", "invalid: missing string channel", channel)) {
        return Reply::fail(err);
    }
    if (body_has(body, "value")) return Reply::fail(text::kPublishValue);
    std::string frame;
    const char* error = nullptr;
    if (!build_frame(channel, payload, frame, error)) return Reply::fail(error);
    std::lock_guard<std::mutex> guard(state.lock);
    return state.channels.deliver(request.ns, channel, std::move(frame), to_wake);
}

// Runs "subscribe" to its end. The connection always closes afterwards.
// The stream itself bypasses reply coalescing: frames must leave at once.
void subscribe(CoalescingTransport& transport, Transport& stream, const Request& request, const Json& body,
               SharedState& state) {
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
    if (!transport.write_all("{\"ok\":true,\"value\":true}\n", {}) || !transport.flush()) {
        queue->active.store(false);
        queue->close_receiver();
        return;
    }
    stream_events(stream, *queue);
}

Reply dispatch(const Request& request, const Json& body, std::string& payload, SharedState& state,
               std::vector<std::shared_ptr<SubscriberQueue>>& to_wake) {
    try {
        if (request.op == "hello") return Reply::json(state.hello_value);
        if (request.op == "publish") return publish(request, body, payload, state, to_wake);
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

void serve_connection(Transport& socket_transport, SharedState& state) {
    try {
        CoalescingTransport coalescer(socket_transport);
        Transport& transport = coalescer;
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
                subscribe(coalescer, socket_transport, request, body, state);
                return;
            }
            Reply reply = dispatch(request, body, payload, state, coalescer.wakes());
            if (!send_reply(transport, reply, out)) return;
        }
    } catch (...) {
        // Out of memory for connection buffers: this connection ends, the
        // server goes on.
    }
}

}  // namespace korva::coordination
