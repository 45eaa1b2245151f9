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

// Failure texts per operation, for the reference.
namespace errors {
using namespace text;
constexpr const char* kGet[] = {kMissingKey, kNameTooLong, kExpectedBytes};
constexpr const char* kPut[] = {kMissingKey, kNameTooLong, kPutValue, kBadTtl, kStoreBudget};
constexpr const char* kKey[] = {kMissingKey, kNameTooLong};
constexpr const char* kExpire[] = {kMissingKey, kNameTooLong, kBadTtl, kExpiryRequired};
constexpr const char* kIncrement[] = {kMissingKey, kNameTooLong, kBadAmount,  kExpectedBytes,
                                      kNotInteger, kOverflow,    kStoreBudget};
constexpr const char* kAddMembers[] = {kMissingKey,   kNameTooLong, kExpectedSet, kMembersArray,
                                       kMemberString, kMemberHex,   kStoreBudget};
constexpr const char* kRemoveMembers[] = {kMissingKey,   kNameTooLong,  kExpectedSet,
                                          kMembersArray, kMemberString, kMemberHex};
constexpr const char* kMembers[] = {kMissingKey, kNameTooLong, kExpectedSet};
constexpr const char* kContains[] = {kMissingKey, kNameTooLong, kMissingMember, kPayloadHex, kExpectedSet};
constexpr const char* kAcquireLock[] = {kMissingKey, kNameTooLong, kMissingOwner, kLockOwner,
                                        kBadTtl,     kLockTtl,     kStoreBudget};
constexpr const char* kReleaseLock[] = {kMissingKey, kNameTooLong, kMissingOwner};
constexpr const char* kPublish[] = {kMissingChannel, kNameTooLong, kPublishValue,
                                    kSerialization,  kFrameBudget, kGlobalBudget};
constexpr const char* kSubscribe[] = {kMissingPrefix, kNameTooLong, kSubscriptionLimit};
// The channel and the payload come through the protocol's limits, which keep
// an event's frame well formed and within its budget; both checks stay for
// the day those limits change.
constexpr Unreachable kPublishUnreachable[] = {
    {kSerialization,
     "a channel is text the body's JSON parser accepted, valid UTF-8 of at most 1024 bytes, which always "
     "serialises; only an allocation failure could give it"},
    {kFrameBudget,
     "a payload is at most 8 MiB and a channel at most 1024 bytes, so an event frame stays far below the "
     "frame budget"},
};
}  // namespace errors

// Columns: name, prepare, run, store lock, payload, stream, then the
// reference's summary, arguments, reply and failure texts (see Operation).
constexpr Operation kOperations[] = {
    {"hello",
     nullptr,
     hello,
     false,
     false,
     false,
     "Learns the server's generation; the only operation accepted without one.",
     "none",
     "{\"generation\":G,\"protocol\":2}, G the server's generation string",
     {}},
    {"get", nullptr, keyed<&Store::get>, true, false, false, "Reads a byte value.", "`key`",
     "null when the key holds nothing; else the binary reply {\"payload_bytes\":N} followed by the value's N "
     "bytes",
     errors::kGet},
    {"put", nullptr, keyed<&Store::put>, true, true, false,
     "Stores the payload as the key's byte value, replacing whatever the key held.",
     "`key`, optional `ttl_ms`; no `value`", "true", errors::kPut},
    {"delete", nullptr, keyed<&Store::remove>, true, false, false, "Removes the key's entry, of any kind.", "`key`",
     "1 if an entry was removed, else 0", errors::kKey},
    {"expire", nullptr, keyed<&Store::expire>, true, false, false, "Gives an existing entry a new expiry.",
     "`key`, `ttl_ms` (required)", "true if the entry exists, else false", errors::kExpire},
    {"ttl", nullptr, keyed<&Store::ttl>, true, false, false, "Time left before the entry expires.", "`key`",
     "-2 when there is no entry, -1 when it never expires, else the whole seconds left", errors::kKey},
    {"increment", nullptr, keyed<&Store::increment>, true, false, false,
     "Adds to the decimal integer a byte value holds (a missing key counts as 0), keeping its expiry.",
     "`key`, `amount`", "the new integer value", errors::kIncrement},
    {"add_members", nullptr, keyed<&Store::add_members>, true, false, false,
     "Adds members to the key's set, creating it when missing (not for an empty list).", "`key`, `members`",
     "the number of members newly added", errors::kAddMembers},
    {"remove_members", nullptr, keyed<&Store::remove_members>, true, false, false,
     "Removes members from the key's set; removing the last removes the key.", "`key`, `members`",
     "the number of members removed", errors::kRemoveMembers},
    {"members", nullptr, keyed<&Store::members>, true, false, false, "Lists the key's set.", "`key`",
     "an array of member strings (lower-case hexadecimal), in no particular order; empty for a missing key",
     errors::kMembers},
    {"contains", nullptr, keyed<&Store::contains>, true, false, false, "Tests one member of the key's set.",
     "`key`, `member`", "true or false", errors::kContains},
    {"acquire_lock", nullptr, keyed<&Store::acquire_lock>, true, false, false,
     "Takes the lock under the key for `owner` when the key holds nothing.", "`key`, `owner`, `ttl_ms` (required)",
     "true if acquired, else false", errors::kAcquireLock},
    {"release_lock", nullptr, keyed<&Store::release_lock>, true, false, false,
     "Releases the lock under the key if `owner` holds it.", "`key`, `owner`", "true if released, else false",
     errors::kReleaseLock},
    {"publish", prepare_publish, publish, true, true, false,
     "Sends the payload as an event to every matching subscription of the namespace.", "`channel`; no `value`",
     "the number of subscriptions the event was queued for", errors::kPublish, errors::kPublishUnreachable},
    {"subscribe", prepare_subscribe, subscribe, true, false, true,
     "Turns the connection into a stream of the namespace's events on channels starting with `prefix`.",
     "`prefix` (may be empty: every channel)", "true, then the stream", errors::kSubscribe},
};
// An unknown name is still a keyed request: its key is checked first.
constexpr const char* kUnknownErrors[] = {text::kMissingKey, text::kNameTooLong, text::kUnknownOp};
constexpr Operation kUnknown = {"", nullptr, keyed<&Store::unknown>, true, false, false, {}, {}, {}, kUnknownErrors};

}  // namespace

const Unreachable kUnavailableUnreachable = {
    text::kUnavailable,
    "only an allocation failure inside an operation gives it, and the budgets keep every request's needs "
    "bounded"};

namespace {

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
