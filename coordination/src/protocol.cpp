// Request framing, header and body parsing, argument extraction and reply
// bytes (see protocol.hpp). JSON goes through nlohmann/json's SAX interface:
// the header is checked field by field as it is parsed (so duplicate or
// unknown keys are caught without building a document) and the body is
// built with a depth limit.
#include "protocol.hpp"

#include <cstring>
#include <limits>

#include "platform.hpp"

namespace korva::coordination {

// ---- framing ------------------------------------------------------------------------

RequestReader::RequestReader(Transport& transport) : transport_(transport), buffer_(new char[limits::kReadBuffer]) {}

std::int64_t Deadline::at() {
    if (!fixed_) {
        at_ = platform::monotonic_ns() + span_;
        fixed_ = true;
    }
    return at_;
}

RequestReader::Line RequestReader::read_line(std::size_t max_bytes, Deadline& deadline, std::string_view& line) {
    long_line_.clear();
    bool spilled = false;  // the line's beginning has moved to long_line_
    std::size_t scanned = start_;
    for (;;) {
        if (const void* hit = std::memchr(buffer_.get() + scanned, '\n', end_ - scanned)) {
            std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(hit) - buffer_.get()) + 1;
            std::size_t length = (spilled ? long_line_.size() : 0) + (stop - start_);
            if (length > max_bytes) return Line::TooLong;
            if (spilled) {
                long_line_.append(buffer_.get() + start_, stop - start_);
                line = long_line_;
            } else {
                line = std::string_view(buffer_.get() + start_, stop - start_);
            }
            start_ = stop;
            return Line::Ok;
        }
        // No line feed yet: `pending` bytes belong to this line already.
        std::size_t pending = (spilled ? long_line_.size() : 0) + (end_ - start_);
        if (pending >= max_bytes) return Line::TooLong;
        if (end_ == limits::kReadBuffer) {
            if (start_ > 0 && !spilled) {
                std::memmove(buffer_.get(), buffer_.get() + start_, end_ - start_);
            } else {
                long_line_.append(buffer_.get() + start_, end_ - start_);
                spilled = true;
                end_ = start_;  // everything moved out
            }
            end_ -= start_;
            start_ = 0;
        }
        scanned = end_;
        long got = transport_.read_some(buffer_.get() + end_, limits::kReadBuffer - end_, deadline.at());
        if (got <= 0) return Line::Ended;
        end_ += static_cast<std::size_t>(got);
    }
}

bool RequestReader::read_payload(std::uint64_t n, Deadline& deadline, std::string& out) {
    out.clear();
    if (n == 0) return true;
    auto total = static_cast<std::size_t>(n);
    // Reserve without touching: large reservations are mapped lazily, so a
    // peer that announces 8 MiB and sends nothing costs no memory.
    out.reserve(total);
    std::size_t from_buffer = std::min(total, end_ - start_);
    out.append(buffer_.get() + start_, from_buffer);
    start_ += from_buffer;
    if (start_ == end_) start_ = end_ = 0;
    while (out.size() < total) {
        std::size_t have = out.size();
        if (total - have < limits::kReadBuffer) {
            // A small remainder goes through the (now empty) receive buffer, so
            // the same read also picks up whatever the client sent after it.
            long got = transport_.read_some(buffer_.get(), limits::kReadBuffer, deadline.at());
            if (got <= 0) return false;
            std::size_t take = std::min(total - have, static_cast<std::size_t>(got));
            out.append(buffer_.get(), take);
            start_ = take;
            end_ = static_cast<std::size_t>(got);
            continue;
        }
        std::size_t chunk = std::min<std::size_t>(total - have, 256 * 1024);
        out.resize(have + chunk);
        long got = transport_.read_some(out.data() + have, chunk, deadline.at());
        if (got <= 0) return false;
        out.resize(have + static_cast<std::size_t>(got));
    }
    return true;
}

bool RequestReader::skip_payload(std::uint64_t n, Deadline& deadline) {
    std::uint64_t left = n;
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, end_ - start_));
    start_ += take;
    left -= take;
    while (left > 0) {
        long got = transport_.read_some(buffer_.get(), limits::kReadBuffer, deadline.at());
        if (got <= 0) return false;
        take = static_cast<std::size_t>(std::min<std::uint64_t>(left, static_cast<std::uint64_t>(got)));
        start_ = take;
        end_ = static_cast<std::size_t>(got);
        left -= take;
    }
    if (start_ == end_) start_ = end_ = 0;
    return true;
}

std::size_t RequestReader::trim() {
    if (start_ == end_) start_ = end_ = 0;
    const std::size_t held = long_line_.capacity();
    if (held <= 64 * 1024) return 0;
    std::string().swap(long_line_);
    return held;
}

// ---- header -------------------------------------------------------------------------

namespace {

enum Field { kVersion, kToken, kNamespace, kOp, kGeneration, kPayloadBytes, kFieldCount };

int field_of(std::string_view key) {
    if (key == "version") return kVersion;
    if (key == "token") return kToken;
    if (key == "namespace") return kNamespace;
    if (key == "op") return kOp;
    if (key == "generation") return kGeneration;
    if (key == "payload_bytes") return kPayloadBytes;
    return -1;
}

// Accepts exactly one object or array of scalar fields; any event that does
// not fit the record aborts the parse.
class HeaderSax {
public:
    explicit HeaderSax(Request& out) : out_(out) {}

    bool null() {
        if (!begin_value()) return false;
        return current_ == kGeneration;  // generation may be null; nothing else
    }
    bool boolean(bool) { return false; }
    bool number_integer(Json::number_integer_t v) {
        if (!begin_value()) return false;
        // Only reached for numbers written with a minus sign; "-0" is zero.
        if (v != 0) return false;
        return unsigned_value(0);
    }
    bool number_unsigned(Json::number_unsigned_t v) {
        if (!begin_value()) return false;
        return unsigned_value(v);
    }
    bool number_float(Json::number_float_t, const std::string&) { return false; }
    bool binary(Json::binary_t&) { return false; }
    bool string(std::string& s) {
        if (!begin_value()) return false;
        switch (current_) {
            case kToken: out_.token = std::move(s); return true;
            case kNamespace: out_.ns = std::move(s); return true;
            case kOp: out_.op = std::move(s); return true;
            case kGeneration: out_.generation = std::move(s); return true;
            default: return false;
        }
    }
    bool start_object(std::size_t) {
        if (mode_ != Mode::Start) return false;
        mode_ = Mode::Object;
        return true;
    }
    bool key(std::string& k) {
        int field = field_of(k);
        if (field < 0 || (seen_ & (1u << field))) return false;
        current_ = field;
        return true;
    }
    bool end_object() {
        mode_ = Mode::Done;
        unsigned required = (1u << kVersion) | (1u << kToken) | (1u << kNamespace) | (1u << kOp);
        return (seen_ & required) == required;
    }
    bool start_array(std::size_t) {
        if (mode_ != Mode::Start) return false;
        mode_ = Mode::Array;
        return true;
    }
    bool end_array() {
        mode_ = Mode::Done;
        return next_index_ >= 4;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    enum class Mode { Start, Object, Array, Done };

    // Marks the field the coming value belongs to; false when no field can
    // take a value here.
    bool begin_value() {
        if (mode_ == Mode::Array) {
            if (next_index_ >= kFieldCount) return false;
            current_ = next_index_++;
        } else if (mode_ != Mode::Object || current_ < 0) {
            return false;
        }
        if (seen_ & (1u << current_)) return false;
        seen_ |= 1u << current_;
        return true;
    }
    bool unsigned_value(std::uint64_t v) {
        if (current_ == kVersion) {
            if (v > 255) return false;
            out_.version = static_cast<std::uint8_t>(v);
            return true;
        }
        if (current_ == kPayloadBytes) {
            out_.payload_bytes = v;
            return true;
        }
        return false;
    }

    Request& out_;
    Mode mode_ = Mode::Start;
    int current_ = -1;
    int next_index_ = 0;
    unsigned seen_ = 0;
};

// The library's document builder with a nesting limit in front of it.
class BoundedDom {
public:
    explicit BoundedDom(Json& root) : dom_(root, false) {}
    bool null() { return dom_.null(); }
    bool boolean(bool v) { return dom_.boolean(v); }
    bool number_integer(Json::number_integer_t v) { return dom_.number_integer(v); }
    bool number_unsigned(Json::number_unsigned_t v) { return dom_.number_unsigned(v); }
    bool number_float(Json::number_float_t v, const std::string& s) { return dom_.number_float(v, s); }
    bool string(std::string& s) { return dom_.string(s); }
    bool binary(Json::binary_t& b) { return dom_.binary(b); }
    bool start_object(std::size_t n) { return ++depth_ <= limits::kNesting && dom_.start_object(n); }
    bool key(std::string& k) { return dom_.key(k); }
    bool end_object() {
        --depth_;
        return dom_.end_object();
    }
    bool start_array(std::size_t n) { return ++depth_ <= limits::kNesting && dom_.start_array(n); }
    bool end_array() {
        --depth_;
        return dom_.end_array();
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    nlohmann::detail::json_sax_dom_parser<Json> dom_;
    int depth_ = 0;
};

}  // namespace

// ---- quick route ------------------------------------------------------------------

namespace {

// Whether any byte of `word` is a control character, a quote, a backslash
// or outside printable ASCII (exact for "any", whichever the byte order).
constexpr bool any_special(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    auto has_zero = [](std::uint64_t x) { return ((x - kOnes) & ~x & kHigh) != 0; };
    const bool below_space = ((word - kOnes * 0x20) & ~word & kHigh) != 0;
    const bool above_tilde = (((word + kOnes * (0x7F - 0x7E)) | word) & kHigh) != 0;
    return below_space || above_tilde || has_zero(word ^ (kOnes * '"')) || has_zero(word ^ (kOnes * '\\'));
}

// A cursor over a line for the quick route. Every helper returns false when
// the input leaves the plain shape; the caller then defers to the library.
struct Cursor {
    const char* p;
    const char* end;

    bool take(char c) {
        if (p == end || *p != c) return false;
        ++p;
        return true;
    }
    // A string of printable ASCII without escapes: exactly what the library
    // would produce for it, byte for byte.
    bool plain_string(std::string_view& out) {
        if (!take('"')) return false;
        const char* start = p;
        // Eight bytes at a time while none of them needs a closer look (a
        // token and a generation are most of a header's bytes).
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (any_special(word)) break;
            p += 8;
        }
        while (p != end) {
            auto c = static_cast<unsigned char>(*p);
            if (c == '"') {
                out = std::string_view(start, static_cast<std::size_t>(p - start));
                ++p;
                return true;
            }
            if (c < 0x20 || c > 0x7E || c == '\\') return false;
            ++p;
        }
        return false;
    }
    // An integer without fraction or exponent that fits its type.
    bool integer(bool& negative, std::uint64_t& magnitude) {
        negative = take('-');
        const char* start = p;
        magnitude = 0;
        while (p != end && *p >= '0' && *p <= '9') {
            if (p - start >= 19) return false;  // leave 20-digit numbers to the library
            magnitude = magnitude * 10 + static_cast<std::uint64_t>(*p - '0');
            ++p;
        }
        std::size_t digits = static_cast<std::size_t>(p - start);
        if (digits == 0 || (digits > 1 && *start == '0')) return false;
        if (p != end && (*p == '.' || *p == 'e' || *p == 'E')) return false;
        return true;
    }
    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end - p) < word.size() || std::string_view(p, word.size()) != word) return false;
        p += word.size();
        return true;
    }
    bool only_whitespace_left() const {
        for (const char* q = p; q != end; ++q) {
            if (*q != ' ' && *q != '\t' && *q != '\r' && *q != '\n') return false;
        }
        return true;
    }
};

}  // namespace

namespace detail {

bool quick_parse_header(std::string_view line, Request& out) {
    Cursor in{line.data(), line.data() + line.size()};
    unsigned seen = 0;
    out.version = 0;
    out.payload_bytes = 0;
    if (!in.take('{')) return false;
    do {
        std::string_view key, text;
        if (!in.plain_string(key) || !in.take(':')) return false;
        int field = field_of(key);
        if (field < 0 || (seen & (1u << field))) return false;
        seen |= 1u << field;
        if (field == kVersion || field == kPayloadBytes) {
            bool negative = false;
            std::uint64_t value = 0;
            if (!in.integer(negative, value) || negative) return false;
            if (field == kVersion) {
                if (value > 255) return false;
                out.version = static_cast<std::uint8_t>(value);
            } else {
                out.payload_bytes = value;
            }
        } else {
            if (!in.plain_string(text)) return false;
            switch (field) {
                case kToken: out.token.assign(text); break;
                case kNamespace: out.ns.assign(text); break;
                case kOp: out.op.assign(text); break;
                default:
                    // The previous request's text is overwritten in place:
                    // one allocation less per request.
                    if (out.generation)
                        out.generation->assign(text);
                    else
                        out.generation.emplace(text);
                    break;
            }
        }
    } while (in.take(','));
    if (!(seen & (1u << kGeneration))) out.generation.reset();
    unsigned required = (1u << kVersion) | (1u << kToken) | (1u << kNamespace) | (1u << kOp);
    return in.take('}') && in.only_whitespace_left() && (seen & required) == required;
}

// The library skips a UTF-8 byte order mark at the start of its input; on
// the wire only whitespace may precede the value, so refuse it here.
static bool starts_with_bom(std::string_view line) { return line.substr(0, 3) == "\xEF\xBB\xBF"; }

bool library_parse_header(std::string_view line, Request& out) {
    if (starts_with_bom(line)) return false;
    HeaderSax sax(out);
    return Json::sax_parse(line.data(), line.data() + line.size(), &sax, nlohmann::detail::input_format_t::json, true);
}

bool quick_parse_body(std::string_view line, Json& out) {
    Cursor in{line.data(), line.data() + line.size()};
    // The previous request's object is reused, and so are the entries of its
    // first few keys (node and text buffers) for the same keys in this line:
    // a connection's requests mostly name the same keys, so steady traffic
    // allocates nothing here.
    if (!out.is_object()) out = Json::object();
    auto& object = out.get_ref<Json::object_t&>();
    constexpr std::size_t kKept = 4;
    Json::object_t::node_type kept[kKept];
    std::size_t kept_count = 0;
    while (!object.empty() && kept_count < kKept) kept[kept_count++] = object.extract(object.begin());
    object.clear();
    auto slot_for = [&](std::string_view key) -> Json& {
        auto it = object.find(key);  // a repeated key: the last one counts
        if (it != object.end()) return it->second;
        for (std::size_t i = 0; i < kept_count; ++i) {
            if (!kept[i].empty() && kept[i].key() == key) return object.insert(std::move(kept[i])).position->second;
        }
        return object[std::string(key)];
    };
    if (!in.take('{')) return false;
    if (!in.take('}')) {
        do {
            std::string_view key, text;
            if (!in.plain_string(key) || !in.take(':')) return false;
            Json& slot = slot_for(key);
            if (in.p != in.end && *in.p == '"') {
                if (!in.plain_string(text)) return false;
                if (slot.is_string())
                    slot.get_ref<std::string&>().assign(text);
                else
                    slot = std::string(text);
            } else if (in.literal("true")) {
                slot = true;
            } else if (in.literal("false")) {
                slot = false;
            } else if (in.literal("null")) {
                slot = nullptr;
            } else {
                bool negative = false;
                std::uint64_t magnitude = 0;
                if (!in.integer(negative, magnitude)) return false;
                if (!negative) {
                    slot = magnitude;
                } else {
                    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
                    if (magnitude > kMinMagnitude) return false;  // the library makes it a float
                    slot = magnitude == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                                      : -static_cast<std::int64_t>(magnitude);
                }
            }
        } while (in.take(','));
        if (!in.take('}')) return false;
    }
    return in.only_whitespace_left();
}

bool library_parse_body(std::string_view line, Json& out) {
    if (starts_with_bom(line)) return false;
    BoundedDom sax(out);
    return Json::sax_parse(line.data(), line.data() + line.size(), &sax, nlohmann::detail::input_format_t::json, true);
}

}  // namespace detail

bool parse_header(std::string_view line, Request& out) {
    if (detail::quick_parse_header(line, out)) return true;
    out = Request{};
    return detail::library_parse_header(line, out);
}

bool parse_body(std::string_view line, Json& out) {
    if (detail::quick_parse_body(line, out)) return true;
    out = Json();
    if (detail::library_parse_body(line, out)) return true;
    out = Json();  // drop whatever was built before the failure
    return false;
}

const char* validate_header(const Request& request, std::string_view token, std::string_view generation) {
    bool token_ok = request.token.size() == token.size();
    if (token_ok) {
        unsigned char diff = 0;
        const auto* a = reinterpret_cast<const volatile unsigned char*>(request.token.data());
        const auto* b = reinterpret_cast<const unsigned char*>(token.data());
        for (std::size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
        token_ok = diff == 0;
    }
    if (!token_ok) return text::kBadCredentials;
    if (request.version != 2 || request.ns.empty() || request.ns.size() > limits::kNamespace) {
        return text::kBadVersionOrNamespace;
    }
    if (request.payload_bytes > limits::kPayload) return text::kPayloadTooLarge;
    if (request.op == "hello") return nullptr;
    if (!request.generation || *request.generation != generation) return text::kGeneration;
    return nullptr;
}

// ---- arguments ----------------------------------------------------------------------

const Json* body_field(const Json& body, const char* name) {
    if (!body.is_object()) return nullptr;
    auto it = body.find(name);
    return it == body.end() ? nullptr : &*it;
}

bool body_has(const Json& body, const char* name) { return body_field(body, name) != nullptr; }

const char* read_name(const Json& body, const char* field, const char* missing_text, std::string_view& out) {
    const Json* v = body_field(body, field);
    if (v == nullptr || !v->is_string()) return missing_text;
    const auto& s = v->get_ref<const std::string&>();
    if (s.size() > limits::kName) return text::kNameTooLong;
    out = s;
    return nullptr;
}

const char* read_owner(const Json& body, std::string_view& out) {
    const Json* v = body_field(body, "owner");
    if (v == nullptr || !v->is_string()) return text::kMissingOwner;
    out = v->get_ref<const std::string&>();
    return nullptr;
}

const char* read_ttl(const Json& body, std::optional<std::uint64_t>& out) {
    out.reset();
    const Json* v = body_field(body, "ttl_ms");
    if (v == nullptr || v->is_null()) return nullptr;
    if (!v->is_number_unsigned()) return text::kBadTtl;
    auto ms = v->get<std::uint64_t>();
    if (ms == 0) return text::kBadTtl;
    out = ms;
    return nullptr;
}

const char* read_amount(const Json& body, std::int64_t& out) {
    const Json* v = body_field(body, "amount");
    if (v == nullptr) return text::kBadAmount;
    if (v->is_number_unsigned()) {
        auto u = v->get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return text::kBadAmount;
        out = static_cast<std::int64_t>(u);
        return nullptr;
    }
    if (v->is_number_integer()) {
        out = v->get<std::int64_t>();
        return nullptr;
    }
    return text::kBadAmount;
}

namespace {
// Even length, hexadecimal digits only; folds A-F to a-f into `out`.
bool fold_hex(const std::string& in, std::string& out) {
    if (in.size() % 2 != 0) return false;
    out.resize(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
        else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
        out[i] = c;
    }
    return true;
}
}  // namespace

const char* read_member(const Json& body, std::string& out) {
    const Json* v = body_field(body, "member");
    if (v == nullptr || !v->is_string()) return text::kMissingMember;
    if (!fold_hex(v->get_ref<const std::string&>(), out)) return text::kPayloadHex;
    return nullptr;
}

const char* read_members(const Json& body, std::vector<std::string>& out) {
    out.clear();
    const Json* v = body_field(body, "members");
    if (v == nullptr || !v->is_array()) return text::kMembersArray;
    out.reserve(v->size());
    for (const Json& element : *v) {
        if (!element.is_string()) return text::kMemberString;
        std::string folded;
        if (!fold_hex(element.get_ref<const std::string&>(), folded)) return text::kMemberHex;
        out.push_back(std::move(folded));
    }
    return nullptr;
}

// ---- replies ------------------------------------------------------------------------

std::string dump_json(const Json& value) {
    // Objects are std::map-backed, so keys come out in byte order.
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

static void append_error_line(std::string_view message, std::string& out) {
    out += "{\"error\":";
    out += dump_json(Json(std::string(message)));
    out += ",\"ok\":false}\n";
}

void append_reply_line(const Reply& reply, std::string& out) {
    if (reply.error != nullptr) {
        append_error_line(reply.error, out);
    } else if (reply.bytes) {
        out += "{\"ok\":true,\"value\":{\"payload_bytes\":";
        out += std::to_string(reply.bytes->size());
        out += "}}\n";
    } else {
        out += "{\"ok\":true,\"value\":";
        out += reply.value;
        out += "}\n";
    }
}

bool append_event_header(std::string_view channel, std::uint64_t payload_bytes, std::string& out) {
    try {
        out += "{\"channel\":";
        out += dump_json(Json(std::string(channel)));
        out += ",\"payload_bytes\":";
        out += std::to_string(payload_bytes);
        out += "}\n";
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace korva::coordination
