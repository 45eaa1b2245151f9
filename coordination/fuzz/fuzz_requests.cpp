// libFuzzer target over everything a peer controls: the first input byte
// picks a mode, the rest is either a whole connection's byte stream (served
// by the real request loop against a real store), a header line, or a body
// line run through every operation's argument extraction.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "channels.hpp"
#include "connection.hpp"
#include "platform.hpp"
#include "protocol.hpp"
#include "shared_state.hpp"
#include "store.hpp"

using namespace korva::coordination;

namespace {

constexpr const char* kToken = "fuzz-token-fuzz-token-fuzz-token";
constexpr const char* kGeneration = "1-1";

SharedState& state() {
    static SharedState* shared = new SharedState(kToken, kGeneration);
    return *shared;
}

// Serves the input in chunks whose sizes vary with the input, so that lines
// and payloads are split at arbitrary points; then reports end of stream.
class MemoryTransport final : public Transport {
public:
    explicit MemoryTransport(std::string_view input) : input_(input) {}
    long read_some(char* buffer, std::size_t n, std::int64_t) override {
        if (input_.empty()) return 0;
        std::size_t chunk = 1 + (static_cast<unsigned char>(input_[0]) * 131u + calls_++) % 9000;
        chunk = std::min({chunk, n, input_.size()});
        std::memcpy(buffer, input_.data(), chunk);
        input_.remove_prefix(chunk);
        return static_cast<long>(chunk);
    }
    bool write_all(std::string_view a, std::string_view b) override {
        check_line(a);
        written_ += a.size() + b.size();
        return true;
    }
    bool write_by(const std::string_view* parts, std::size_t count, std::int64_t, const std::atomic<bool>&) override {
        for (std::size_t i = 0; i < count; ++i) written_ += parts[i].size();
        return true;
    }
    bool peer_gone() override { return true; }

private:
    // Every write of the request loop starts with a complete reply line.
    static void check_line(std::string_view a) {
        std::size_t end = a.find('\n');
        if (a.empty() || a.front() != '{' || end == std::string_view::npos) std::abort();
        Json parsed;
        if (!parse_body(a.substr(0, end + 1), parsed) || !parsed.is_object()) std::abort();
        if (!parsed.contains("ok") && !parsed.contains("heartbeat")) std::abort();
    }

    std::string_view input_;
    unsigned calls_ = 0;
    std::size_t written_ = 0;
};

}  // namespace

// Same type and value, member by member (Json's own == treats an unsigned
// and a signed integer of equal value as equal).
bool same_json(const Json& a, const Json& b) {
    if (a.type() != b.type()) return false;
    if (a.is_object()) {
        if (a.size() != b.size()) return false;
        for (auto it = a.begin(); it != a.end(); ++it) {
            auto other = b.find(it.key());
            if (other == b.end() || !same_json(*it, *other)) return false;
        }
        return true;
    }
    if (a.is_array()) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!same_json(a[i], b[i])) return false;
        }
        return true;
    }
    return a == b;
}

// Whatever the quick parsing route accepts, the library must accept with
// exactly the same result.
void differential(std::string_view line) {
    // The quick route reuses what the previous line left in its outputs.
    static Request quick;
    static Json quick_body;
    Request library;
    if (detail::quick_parse_header(line, quick)) {
        if (!detail::library_parse_header(line, library)) std::abort();
        if (quick.version != library.version || quick.token != library.token || quick.ns != library.ns ||
            quick.op != library.op || quick.generation != library.generation ||
            quick.payload_bytes != library.payload_bytes) {
            std::abort();
        }
    }
    Json library_body;
    if (detail::quick_parse_body(line, quick_body)) {
        if (!detail::library_parse_body(line, library_body) || !same_json(quick_body, library_body)) std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned mode = data[0] % 4;
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    SharedState& shared = state();

    if (mode == 0) {
        MemoryTransport transport(input);
        serve_connection(transport, shared);
    } else if (mode == 3) {
        differential(input);
    } else if (mode == 1) {
        Request request;
        if (parse_header(input, request)) {
            // Parsing takes any namespace; the length bound belongs to the
            // validator, so only an accepted header must respect it.
            const char* refused = validate_header(request, shared.token, shared.generation);
            if (refused == nullptr && (request.version != 2 || request.ns.empty() || request.ns.size() > 128)) {
                std::abort();
            }
        }
    } else {
        // Body line first, payload after it.
        std::size_t end = input.find('\n');
        std::string_view line = input.substr(0, end == std::string_view::npos ? input.size() : end + 1);
        std::string_view rest = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        Json body;
        if (!parse_body(line, body)) return 0;
        // Every operation of the table that answers with one reply (the
        // stream of "subscribe" needs a socket), plus an unknown name.
        Outbox outbox;
        auto run = [&](const Operation& op) {
            std::string payload(op.payload ? rest : std::string_view());
            Request request;
            request.ns = "fuzz";
            request.op = std::string(op.name);
            Call call{request, body, payload, shared, outbox, {}, {}, {}};
            Reply reply = run_operation(op, call);
            if (reply.error != nullptr && std::string_view(reply.error) == text::kUnavailable) std::abort();
            std::string out;
            append_reply_line(reply, out);
            Json check;
            if (!parse_body(out, check)) std::abort();
        };
        for (const Operation& op : operations()) {
            if (!op.stream) run(op);
        }
        run(find_operation("nope"));
        outbox.send();
        if (shared.store.size() > 50000) shared.store = Store{};
    }
    return 0;
}
