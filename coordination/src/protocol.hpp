// Everything that crosses the socket: request framing over a byte stream,
// the request header record and its validation, JSON parsing of header and
// body lines, argument extraction, and the exact bytes of replies and
// stream frames. It holds no shared state; the store and channels call the
// argument readers, and the connection loop calls the rest.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace korva::coordination {

using Json = nlohmann::json;

namespace limits {
constexpr std::size_t kHeaderLine = 4096;  // line feed included
constexpr std::size_t kBodyLine = 16777216;  // line feed included
constexpr std::uint64_t kPayload = 8388608;
constexpr std::size_t kName = 1024;  // key, channel, prefix
constexpr std::size_t kNamespace = 128;
constexpr std::size_t kOwner = 128;
constexpr int kNesting = 128;
constexpr std::size_t kReadBuffer = 8192;
constexpr std::int64_t kFirstRequestNs = 5'000'000'000;
constexpr std::int64_t kLaterRequestNs = 30'000'000'000;
constexpr std::int64_t kPayloadNs = 5'000'000'000;
constexpr std::int64_t kSendTimeoutMs = 2000;
constexpr std::size_t kInlineValue = 4096;  // binary replies up to this go in one buffer
}  // namespace limits

// ---- byte transport ----------------------------------------------------------

// The connection's byte stream. The server adapts a socket to it; the fuzzer
// and unit tests adapt memory.
class Transport {
public:
    virtual ~Transport() = default;
    // Bytes read (>0), 0 at end of stream, <0 on timeout or failure.
    virtual long read_some(char* buffer, std::size_t n, std::int64_t deadline_ns) = 0;
    // Bytes already waiting, read without waiting; 0 when there are none (or
    // the transport cannot tell), leaving end of stream and failures to
    // read_some.
    virtual long read_now(char*, std::size_t) { return 0; }
    // Writes both parts in order under the standing send timeout.
    virtual bool write_all(std::string_view a, std::string_view b = {}) = 0;
    // Writes `parts` (at most 64) in order before `deadline_ns`, failing
    // early once `keep_going` is cleared; the standing send timeout applies
    // again afterwards.
    virtual bool write_by(const std::string_view* parts, std::size_t count, std::int64_t deadline_ns,
                          const std::atomic<bool>& keep_going) = 0;
    // Non-blocking: discards pending input; true once the connection has
    // failed (a peer's half-close is not that).
    virtual bool peer_gone() = 0;
    // One write of `parts` (at most 64) that never waits: the bytes taken
    // at once (0 when none), or <0 once the connection has failed. A
    // transport that cannot tell takes nothing, leaving it to write_by.
    virtual long try_write(const std::string_view*, std::size_t) { return 0; }
};

// A deadline `span_ns` after the moment it is first needed: a request whose
// bytes are already buffered never reads the clock for it.
class Deadline {
public:
    explicit Deadline(std::int64_t span_ns) : span_(span_ns) {}
    std::int64_t at();

private:
    std::int64_t span_;
    std::int64_t at_ = 0;
    bool fixed_ = false;
};

// Line and payload reading with a receive buffer that persists across
// requests, so pipelined bytes are kept for the next request.
class RequestReader {
public:
    enum class Line { Ok, TooLong, Ended };

    explicit RequestReader(Transport& transport);
    // `line` includes its line feed and stays valid until the next call.
    Line read_line(std::size_t max_bytes, Deadline& deadline, std::string_view& line);
    // Exactly `n` bytes, buffered bytes first. False if the stream ends first.
    bool read_payload(std::uint64_t n, Deadline& deadline, std::string& out);
    // Reads and discards exactly `n` bytes, buffered bytes first.
    bool skip_payload(std::uint64_t n, Deadline& deadline);
    // Returns memory held for an unusually long line; the bytes given back.
    std::size_t trim();

private:
    Transport& transport_;
    std::unique_ptr<char[]> buffer_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    std::string long_line_;
};

// ---- request header and body ------------------------------------------------------

struct Request {
    std::uint8_t version = 0;
    std::string token;
    std::string ns;
    std::string op;
    std::optional<std::string> generation;
    std::uint64_t payload_bytes = 0;
};

// The header line as an object of the six fields or as an array of 4 to 6
// values in field order. False when malformed.
bool parse_header(std::string_view line, Request& out);
// One JSON value of any kind, at most 128 levels deep. False when malformed.
bool parse_body(std::string_view line, Json& out);

// The two parsing routes behind parse_header and parse_body, exposed for the
// fuzzer's differential check. The quick route accepts only plain, flat,
// ASCII lines (the shape every client sends) and answers false whenever it
// is unsure; the library route decides everything else.
namespace detail {
bool quick_parse_header(std::string_view line, Request& out);
bool library_parse_header(std::string_view line, Request& out);
bool quick_parse_body(std::string_view line, Json& out);
bool library_parse_body(std::string_view line, Json& out);
}  // namespace detail

// Validation steps in order; returns the failure text or nullptr. The token
// comparison takes the same time wherever the first difference is.
const char* validate_header(const Request& request, std::string_view token, std::string_view generation);

// ---- arguments (each returns nullptr or the failure text) -------------------------

const Json* body_field(const Json& body, const char* name);
bool body_has(const Json& body, const char* name);
// key, channel and prefix: a string of at most 1024 bytes.
const char* read_name(const Json& body, const char* field, const char* missing_text, std::string_view& out);
const char* read_owner(const Json& body, std::string_view& out);
// Absent or null leaves `out` empty.
const char* read_ttl(const Json& body, std::optional<std::uint64_t>& out);
const char* read_amount(const Json& body, std::int64_t& out);
// Members are kept as hexadecimal text with A-F folded to a-f.
const char* read_member(const Json& body, std::string& out);
const char* read_members(const Json& body, std::vector<std::string>& out);

// ---- replies ------------------------------------------------------------------------

namespace text {
inline constexpr const char* kMalformedHeader = "invalid: malformed request header";
inline constexpr const char* kBadCredentials = "auth: invalid credentials";
inline constexpr const char* kBadVersionOrNamespace = "invalid: unsupported protocol or namespace";
inline constexpr const char* kPayloadTooLarge = "capacity: binary payload exceeds 8 MiB";
inline constexpr const char* kGeneration = "restart: coordinator generation changed; restart the Korva instance";
inline constexpr const char* kBadBody = "invalid: incomplete or oversized body";
inline constexpr const char* kMalformedBody = "invalid: malformed request body";
inline constexpr const char* kMissingKey = "invalid: missing string key";
inline constexpr const char* kMissingChannel = "invalid: missing string channel";
inline constexpr const char* kMissingPrefix = "invalid: missing string prefix";
inline constexpr const char* kMissingOwner = "invalid: missing string owner";
inline constexpr const char* kMissingMember = "invalid: missing string member";
inline constexpr const char* kNameTooLong = "invalid: key/channel/prefix exceeds 1024 bytes";
inline constexpr const char* kBadTtl = "invalid: ttl_ms must be a positive integer";
inline constexpr const char* kExpiryRequired = "invalid: expiry is required";
inline constexpr const char* kLockTtl = "invalid: locks require a TTL";
inline constexpr const char* kLockOwner = "invalid: invalid lock owner";
inline constexpr const char* kBadAmount = "invalid: amount must be an integer";
inline constexpr const char* kOverflow = "invalid: integer overflow";
inline constexpr const char* kNotInteger = "invalid: value is not an integer";
inline constexpr const char* kPutValue = "invalid: byte values must use the binary payload";
inline constexpr const char* kPublishValue = "invalid: events must use the binary payload";
inline constexpr const char* kMembersArray = "invalid: members must be an array";
inline constexpr const char* kMemberString = "invalid: member must be a string";
inline constexpr const char* kMemberHex = "invalid: member must be hexadecimal bytes";
inline constexpr const char* kPayloadHex = "invalid: payload must be hexadecimal bytes";
inline constexpr const char* kExpectedBytes = "type: expected a byte value";
inline constexpr const char* kExpectedSet = "type: expected a set";
inline constexpr const char* kStoreBudget = "capacity: shared-state budget exceeded";
inline constexpr const char* kFrameBudget = "capacity: event exceeds the frame budget";
inline constexpr const char* kGlobalBudget = "busy: global event queue budget exceeded";
inline constexpr const char* kSubscriptionLimit = "capacity: subscription limit reached";
inline constexpr const char* kUnknownOp = "unsupported: unknown operation";
inline constexpr const char* kUnavailable = "internal: state unavailable";
inline constexpr const char* kSerialization = "internal: serialization";
inline constexpr const char* kConnectionLimit = "busy: connection limit reached";
}  // namespace text

// One operation's answer: a failure text, a serialised JSON value, or the
// bytes of a stored value (shared, so they can be written after the store
// lock is released).
struct Reply {
    const char* error = nullptr;
    std::string value;
    std::shared_ptr<const std::string> bytes;
    // A stored value the operation replaced or removed: it is freed with the
    // reply, after the store lock is released, not while others wait for it.
    std::shared_ptr<const std::string> retired;

    static Reply fail(const char* text) {
        Reply r;
        r.error = text;
        return r;
    }
    static Reply json(std::string serialised) {
        Reply r;
        r.value = std::move(serialised);
        return r;
    }
    static Reply boolean(bool b) { return json(b ? "true" : "false"); }
    static Reply integer(std::int64_t v) { return json(std::to_string(v)); }
    static Reply null() { return json("null"); }
    static Reply binary(std::shared_ptr<const std::string> data) {
        Reply r;
        r.bytes = std::move(data);
        return r;
    }
};

// Serialises a value compactly with sorted keys (std::map objects).
std::string dump_json(const Json& value);
// Appends the reply line: every reply the server writes goes through here.
// For binary replies only the line; the caller decides how to send the bytes.
void append_reply_line(const Reply& reply, std::string& out);
inline constexpr std::string_view kHeartbeatFrame = "{\"heartbeat\":true}\n";
// {"channel":C,"payload_bytes":N} and a line feed. False if C cannot be
// serialised.
bool append_event_header(std::string_view channel, std::uint64_t payload_bytes, std::string& out);

}  // namespace korva::coordination
