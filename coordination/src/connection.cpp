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
// Events from "publish" are held back the same way and go out to each
// subscriber in one write per burst, before anything else happens on the
// socket.
//
// Both are held a little longer while more of the client's bytes are
// already waiting on the socket, when they are the rest of a request under
// way or when events are held (up to one stream write's worth): a pipelined
// batch of requests larger than the receive buffer is then answered in one
// write, not one per read, and a burst of large events goes out whole.
// Between requests nothing is held past the point where the connection
// would wait, so a client that waits for its replies is never kept waiting.
class CoalescingTransport final : public Transport {
public:
    explicit CoalescingTransport(Transport& inner) : inner_(inner) {}
    ~CoalescingTransport() override { flush(); }

    Outbox& outbox() { return outbox_; }
    // Whether the reads to come complete a request whose header has arrived.
    void set_mid_request(bool mid) { mid_request_ = mid; }

    bool flush() {
        probes_ = 0;
        std::string_view rest = pending_;
        if (!outbox_.empty()) {
            // Replies to a burst of small events go first when the socket
            // takes them at once: the client's next publishes then arrive
            // while the events go out, and the bursts (and so the writes per
            // event) grow. Large events go first (their writes are long, and
            // already few per byte), and so does whatever would wait: events
            // never wait on this client.
            long sent = rest.empty() || outbox_.bytes >= kSmallBurst ? 0 : inner_.try_write(&rest, 1);
            if (sent > 0) rest.remove_prefix(static_cast<std::size_t>(sent));
            outbox_.send();
        }
        bool ok = rest.empty() || inner_.write_all(rest);
        pending_.clear();
        if (pending_.capacity() > kHold * 4) std::string().swap(pending_);
        return ok;
    }
    long read_some(char* buffer, std::size_t n, std::int64_t deadline_ns) override {
        const bool holding = !outbox_.empty() || !pending_.empty();
        if (holding && (mid_request_ || !outbox_.empty()) && !outbox_.full() && probes_ < kProbes) {
            ++probes_;
            long got = inner_.read_now(buffer, n);
            if (got > 0) return got;
        }
        if (!flush()) return -1;
        return inner_.read_some(buffer, n, deadline_ns);
    }
    bool write_all(std::string_view a, std::string_view b) override {
        if (pending_.size() + a.size() + b.size() <= kHold) {
            pending_.append(a);
            pending_.append(b);
            return true;
        }
        outbox_.send();  // this write may wait for the peer
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
    static constexpr std::size_t kHold = 64 * 1024;
    // Reads that may pass while events are held: a client streaming one long
    // request holds its earlier events up for at most this many reads.
    static constexpr int kProbes = 64;
    static constexpr std::size_t kSmallBurst = 16 * 1024;
    int probes_ = 0;
    bool mid_request_ = false;
    Transport& inner_;
    std::string pending_;
    Outbox outbox_;
};

// ---- the table of operations ------------------------------------------------------

Reply hello(Call& call) { return Reply::json(call.state.hello_value); }

template <Store::Operation op>
Reply keyed(Call& call) {
    return call.state.store.execute(op, call.request.ns, call.body, call.payload,
                                    static_cast<Instant>(platform::monotonic_ns()));
}

// The frame is built (and the payload copied into it) before the store lock
// is taken, so a large event holds up nobody else.
const char* prepare_publish(Call& call) {
    if (const char* err = read_name(call.body, "channel", text::kMissingChannel, call.name)) return err;
    if (body_has(call.body, "value")) return text::kPublishValue;
    const char* error = nullptr;
    if (!build_frame(call.name, call.payload, call.frame, error)) return error;
    return nullptr;
}

Reply publish(Call& call) {
    return call.state.channels.deliver(call.request.ns, call.name, std::move(call.frame), call.outbox);
}

const char* prepare_subscribe(Call& call) {
    if (const char* err = read_name(call.body, "prefix", text::kMissingPrefix, call.name)) return err;
    call.queue = std::make_shared<SubscriberQueue>();
    return nullptr;
}

Reply subscribe(Call& call) {
    if (const char* err = call.state.channels.add(call.request.ns, call.name, call.queue)) return Reply::fail(err);
    return Reply::boolean(true);
}

// Columns: name, prepare, run, store lock, payload, stream (see Operation).
constexpr Operation kOperations[] = {
    {"hello", nullptr, hello, false, false, false},
    {"get", nullptr, keyed<&Store::get>, true, false, false},
    {"put", nullptr, keyed<&Store::put>, true, true, false},
    {"delete", nullptr, keyed<&Store::remove>, true, false, false},
    {"expire", nullptr, keyed<&Store::expire>, true, false, false},
    {"ttl", nullptr, keyed<&Store::ttl>, true, false, false},
    {"increment", nullptr, keyed<&Store::increment>, true, false, false},
    {"add_members", nullptr, keyed<&Store::add_members>, true, false, false},
    {"remove_members", nullptr, keyed<&Store::remove_members>, true, false, false},
    {"members", nullptr, keyed<&Store::members>, true, false, false},
    {"contains", nullptr, keyed<&Store::contains>, true, false, false},
    {"acquire_lock", nullptr, keyed<&Store::acquire_lock>, true, false, false},
    {"release_lock", nullptr, keyed<&Store::release_lock>, true, false, false},
    {"publish", prepare_publish, publish, true, true, false},
    {"subscribe", prepare_subscribe, subscribe, true, false, true},
};
// An unknown name is still a keyed request: its key is checked first.
constexpr Operation kUnknown = {"", nullptr, keyed<&Store::unknown>, true, false, false};

// The one writer of reply lines: a value, a failure text or a binary value.
bool send_reply(Transport& transport, const Reply& reply, std::string& out) {
    out.clear();
    append_reply_line(reply, out);
    if (!reply.bytes) return transport.write_all(out);
    // Both parts go out in one write either way: small values are copied
    // once, into the buffer that holds replies back (see
    // CoalescingTransport); large values go out straight from the shared
    // stored buffer.
    return transport.write_all(out, *reply.bytes);
}

bool send_error(Transport& transport, const char* text) {
    std::string out;
    return send_reply(transport, Reply::fail(text), out);
}

}  // namespace

const Operation& find_operation(std::string_view name) {
    for (const Operation& op : kOperations) {
        if (op.name == name) return op;
    }
    return kUnknown;
}

std::span<const Operation> operations() { return kOperations; }

Reply run_operation(const Operation& op, Call& call) {
    try {
        if (op.prepare != nullptr) {
            if (const char* err = op.prepare(call)) return Reply::fail(err);
        }
        if (!op.store_lock) return op.run(call);
        std::lock_guard<StoreLock> guard(call.state.lock);
        return op.run(call);
    } catch (...) {
        return Reply::fail(text::kUnavailable);
    }
}

void serve_connection(Transport& socket_transport, SharedState& state) {
    try {
        CoalescingTransport coalescer(socket_transport);
        Transport& transport = coalescer;
        RequestReader reader(transport);
        Request request;
        Json body;
        std::string payload;
        std::string out;
        std::size_t body_line = 0;
        // Buffers that grew for one large request are given back after it,
        // and everything when the connection ends; the sweeper then returns
        // the allocator's free memory to the system.
        auto give_back = [&]() noexcept {
            std::uint64_t released = reader.trim();
            if (body_line >= SharedState::kLargeBuffer) {
                body = Json();  // a large body may be a great many small nodes
                released += body_line;
            }
            body_line = 0;
            for (std::string* buffer : {&payload, &out}) {
                if (buffer->capacity() >= SharedState::kLargeBuffer) {
                    released += buffer->capacity();
                    std::string().swap(*buffer);
                }
            }
            state.note_released(released);
        };
        struct AtExit {
            decltype(give_back)& run;
            ~AtExit() { run(); }
        } at_exit{give_back};

        bool first = true;
        for (;;) {
            Deadline deadline(first ? limits::kFirstRequestNs : limits::kLaterRequestNs);
            std::string_view line;
            coalescer.set_mid_request(false);
            if (reader.read_line(limits::kHeaderLine, deadline, line) != RequestReader::Line::Ok) return;
            coalescer.set_mid_request(true);
            if (!parse_header(line, request)) {
                send_error(transport, text::kMalformedHeader);
                return;
            }
            if (const char* err = validate_header(request, state.token, state.generation)) {
                send_error(transport, err);
                return;
            }
            if (first) {
                if (!send_reply(transport, Reply::json("\"ready\""), out)) return;
                first = false;
            }
            if (reader.read_line(limits::kBodyLine, deadline, line) != RequestReader::Line::Ok) {
                send_error(transport, text::kBadBody);
                return;
            }
            body_line = line.size();
            if (!parse_body(line, body)) {
                send_error(transport, text::kMalformedBody);
                return;
            }
            // Operations that ignore the payload still read it, but keep none of it.
            const Operation& op = find_operation(request.op);
            Deadline payload_deadline(limits::kPayloadNs);
            payload.clear();
            if (op.payload ? !reader.read_payload(request.payload_bytes, payload_deadline, payload)
                           : !reader.skip_payload(request.payload_bytes, payload_deadline)) {
                return;
            }
            Call call{request, body, payload, state, coalescer.outbox(), {}, {}, {}};
            Reply reply = run_operation(op, call);
            if (!op.stream) {
                if (!send_reply(transport, reply, out)) return;
                give_back();
                continue;
            }
            // The stream itself bypasses reply coalescing: frames must leave at once.
            if (reply.error != nullptr) {
                send_reply(transport, reply, out);
                return;
            }
            if (!send_reply(transport, reply, out) || !coalescer.flush()) {
                call.queue->active.store(false);
                call.queue->close_receiver();
                return;
            }
            give_back();
            stream_events(socket_transport, *call.queue);
            return;
        }
    } catch (...) {
        // Out of memory for connection buffers: this connection ends, the
        // server goes on.
    }
}

}  // namespace korva::coordination
