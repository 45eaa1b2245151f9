// Start-up, the accept loop with its connection limit, per-connection worker
// threads, the sweeper and the parent watch. This is the coordinator's
// entry point (coordinator.hpp); all system calls go through the platform
// layer.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "connection.hpp"
#include "coordinator.hpp"
#include "platform.hpp"
#include "shared_state.hpp"

namespace korva::coordination {

namespace {

constexpr const char* kDefaultBind = "127.0.0.1:6381";
constexpr std::int64_t kReportIntervalNs = 10'000'000'000;
constexpr std::int64_t kRefusalMs = 20;

// ---- configuration ------------------------------------------------------------------------

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else
            return false;
        if (i + extra >= s.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are invalid.
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// The raw value in double quotes, printable ASCII as is and every other byte
// escaped, so the error message shows exactly what was wrong.
std::string quote_raw(std::string_view raw) {
    static const char* hex = "0123456789ABCDEF";
    std::string out = "\"";
    for (char ch : raw) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c >= 0x20 && c < 0x7F)
            out += ch;
        else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out + "\"";
}

bool parse_port(std::string_view text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool parse_ipv4(std::string_view text, std::uint8_t out[4]) {
    int part = 0;
    std::size_t i = 0;
    while (part < 4) {
        std::size_t start = i;
        std::uint32_t value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
            ++i;
        }
        std::size_t digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
        out[part++] = static_cast<std::uint8_t>(value);
        if (part < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    return i == text.size();
}

// "a.b.c.d:port" or "[v6]:port" / "[v6%scope]:port"; no host names.
bool parse_socket_address(std::string_view text, platform::SocketAddress& out) {
    out = platform::SocketAddress{};
    if (!text.empty() && text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        std::string_view inside = text.substr(1, close - 1);
        std::size_t percent = inside.find('%');
        if (percent != std::string_view::npos) {
            std::string_view scope = inside.substr(percent + 1);
            if (scope.empty() || scope.size() > 10) return false;
            std::uint64_t value = 0;
            for (char c : scope) {
                if (c < '0' || c > '9') return false;
                value = value * 10 + static_cast<std::uint64_t>(c - '0');
            }
            if (value > 0xFFFFFFFFull) return false;
            out.scope_id = static_cast<std::uint32_t>(value);
            inside = inside.substr(0, percent);
        }
        out.v6 = true;
        return platform::parse_ipv6(inside, out.ip) && parse_port(text.substr(close + 2), out.port);
    }
    std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    return parse_ipv4(text.substr(0, colon), out.ip) && parse_port(text.substr(colon + 1), out.port);
}

bool is_loopback(const platform::SocketAddress& a) {
    if (!a.v6) return a.ip[0] == 127;
    for (int i = 0; i < 15; ++i) {
        if (a.ip[i] != 0) return false;
    }
    return a.ip[15] == 1;
}

// ---- running -------------------------------------------------------------------------------

class SocketTransport final : public Transport {
public:
    explicit SocketTransport(platform::Socket& socket) : socket_(socket) {}
    long read_some(char* buffer, std::size_t n, std::int64_t deadline_ns) override {
        return socket_.read_some(buffer, n, deadline_ns);
    }
    long read_now(char* buffer, std::size_t n) override { return socket_.read_now(buffer, n); }
    bool write_all(std::string_view a, std::string_view b) override { return socket_.write_all(a, b); }
    bool write_by(const std::string_view* parts, std::size_t count, std::int64_t deadline_ns,
                  const std::atomic<bool>& keep_going) override {
        std::size_t total = 0;
        for (std::size_t i = 0; i < count; ++i) total += parts[i].size();
        // Usually the socket buffer takes everything at once and no timeout
        // needs to be set.
        long sent = socket_.send_parts(parts, count, 0, true);
        if (sent < 0) return false;
        std::size_t done = static_cast<std::size_t>(sent);
        if (done == total) return true;
        while (done < total) {
            std::int64_t left = deadline_ns - platform::monotonic_ns();
            if (left <= 0 || !keep_going.load()) return false;
            if (!socket_.set_send_timeout_ms((left + 999999) / 1000000)) return false;
            sent = socket_.send_parts(parts, count, done, false);
            if (sent <= 0) return false;
            done += static_cast<std::size_t>(sent);
        }
        return socket_.set_send_timeout_ms(limits::kSendTimeoutMs);
    }
    bool peer_gone() override { return socket_.peer_gone(); }
    long try_write(const std::string_view* parts, std::size_t count) override {
        return socket_.send_parts(parts, count, 0, true);
    }

private:
    platform::Socket& socket_;
};

// One report per 10 seconds at most, shared by both kinds; only the accept
// thread reports.
class ReportLimiter {
public:
    void report(std::string_view prefix, const std::string& error) noexcept {
        std::int64_t now = platform::monotonic_ns();
        if (reported_ && now - last_ < kReportIntervalNs) return;
        reported_ = true;
        last_ = now;
        platform::write_stderr(prefix);
        platform::write_stderr(error);
        platform::write_stderr("\n");
    }

private:
    bool reported_ = false;
    std::int64_t last_ = 0;
};

void serve_worker(SharedState& state, platform::Socket& socket) {
    if (socket.set_blocking() && socket.set_send_timeout_ms(limits::kSendTimeoutMs) && socket.set_no_delay()) {
        SocketTransport transport(socket);
        serve_connection(transport, state);
    }
}

// What a clean stop needs (the standalone test server only, see run_until):
// the connection threads, joinable, with their sockets, so that the stop
// can end every connection and wait for every thread. A plain run() has
// none of this: its threads are detached and the process ends under them.
class Workers {
public:
    // Serves `socket` on a thread of its own; the error text, or empty. A
    // connection accepted once the stop has begun is closed unserved.
    std::string start(const std::shared_ptr<SharedState>& state, platform::Socket socket) {
        std::lock_guard<std::mutex> guard(mutex_);
        reap_locked();
        if (stopping_) return "stopping";
        auto worker = list_.emplace(list_.end());
        worker->socket = std::move(socket);
        try {
            worker->thread = std::thread([this, worker, state] {
                serve_worker(*state, worker->socket);
                finished(*worker);
                state->connections.fetch_sub(1);
            });
        } catch (const std::exception& e) {
            list_.erase(worker);
            return e.what();
        }
        return {};
    }

    bool stopping() {
        std::lock_guard<std::mutex> guard(mutex_);
        return stopping_;
    }
    // Waits up to `ms` for the stop; true once it has begun.
    bool wait_for_stop(int ms) {
        std::unique_lock<std::mutex> guard(mutex_);
        return stopped_.wait_for(guard, std::chrono::milliseconds(ms), [this] { return stopping_; });
    }
    // Ends the accept loop and every connection: blocked reads and writes
    // return at once, so each worker finishes its request loop or stream.
    void stop(platform::Socket& listener, SharedState& state) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stopping_ = true;
            listener.shutdown_both();
            for (Worker& worker : list_) {
                if (!worker.done) worker.socket.shutdown_both();
            }
        }
        stopped_.notify_all();
        // Waiting subscribers end with their subscriptions.
        std::lock_guard<StoreLock> guard(state.lock);
        state.channels.end_all();
    }
    // After the accept loop has ended: nothing adds to the list any more.
    void join_all() {
        std::unique_lock<std::mutex> guard(mutex_);
        while (!list_.empty()) {
            Worker& worker = list_.front();  // its thread uses it until it ends
            guard.unlock();
            worker.thread.join();
            guard.lock();
            list_.pop_front();
        }
    }

private:
    struct Worker {
        platform::Socket socket;
        std::thread thread;
        bool done = false;
    };

    // The socket is closed under the mutex, so that stop() never shuts down
    // a descriptor number a later connection has been given.
    void finished(Worker& worker) {
        std::lock_guard<std::mutex> guard(mutex_);
        worker.socket.close();
        worker.done = true;
    }
    // Joins the threads of ended connections (each has left finished()).
    void reap_locked() {
        for (auto it = list_.begin(); it != list_.end();) {
            if (!it->done) {
                ++it;
                continue;
            }
            it->thread.join();
            it = list_.erase(it);
        }
    }

    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::list<Worker> list_;
};

// Answers a connection over the limit on the accept thread, bounded in time.
// The refusal is followed by a half-close and a short drain so that a peer
// that already sent a request reads the reply instead of a reset.
void refuse(platform::Socket& socket) {
    if (!socket.set_blocking() || !socket.set_send_timeout_ms(kRefusalMs)) return;
    char buffer[4096];
    const std::int64_t read_until = platform::monotonic_ns() + kRefusalMs * 1'000'000;
    std::size_t got = 0;
    while (got < sizeof buffer) {
        long n = socket.read_some(buffer + got, sizeof buffer - got, read_until);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
        if (std::string_view(buffer, got).find('\n') != std::string_view::npos) break;
    }
    std::string line;
    try {
        append_reply_line(Reply::fail(text::kConnectionLimit), line);
    } catch (...) {
        return;  // out of memory: the accept thread must go on, so close unanswered
    }
    if (!socket.write_all(line)) return;
    socket.shutdown_write();
    const std::int64_t drain_until = platform::monotonic_ns() + kRefusalMs * 1'000'000;
    for (int i = 0; i < 64; ++i) {
        if (socket.read_some(buffer, sizeof buffer, drain_until) <= 0) break;
    }
}

void sweeper(const std::shared_ptr<SharedState>& state, Workers* workers) {
    for (;;) {
        if (workers == nullptr) {
            platform::sleep_ms(1000);
        } else if (workers->wait_for_stop(1000)) {
            return;
        }
        try {
            std::lock_guard<StoreLock> guard(state->lock);
            state->store.sweep(static_cast<Instant>(platform::monotonic_ns()));
            state->channels.prune_inactive();
            state->released.fetch_add(state->channels.take_drained(), std::memory_order_relaxed);
        } catch (...) {
            // Nothing in a sweep allocates; keep sweeping regardless.
        }
        // After a burst (large bodies or payloads, a flood of queued events)
        // the allocator's pools hold its peak; hand that back, outside the
        // store lock, so a long-running server does not keep it for good.
        if (state->released.load(std::memory_order_relaxed) >= SharedState::kReturnMemoryAfter) {
            state->released.store(0, std::memory_order_relaxed);
            platform::return_free_memory();
        }
    }
}

// Runs until the stop, when there is one to wait for.
void accept_loop(const platform::Socket& listener, const std::shared_ptr<SharedState>& state, Workers* workers) {
    ReportLimiter limiter;
    for (;;) {
        std::string error;
        platform::Socket socket = listener.accept(error);
        if (workers != nullptr && workers->stopping()) return;
        if (!socket.valid()) {
            limiter.report("Coordinator accept failed: ", error);
            platform::sleep_ms(100);
            continue;
        }
        std::uint32_t current = state->connections.load();
        bool admitted = false;
        while (current < SharedState::kConnectionLimit) {
            if (state->connections.compare_exchange_weak(current, current + 1)) {
                admitted = true;
                break;
            }
        }
        if (!admitted) {
            refuse(socket);
            continue;
        }
        try {
            if (workers != nullptr) {
                error = workers->start(state, std::move(socket));
            } else {
                auto shared_socket = std::make_shared<platform::Socket>(std::move(socket));
                error = platform::spawn_detached([state, shared_socket] {
                    serve_worker(*state, *shared_socket);
                    shared_socket->close();
                    state->connections.fetch_sub(1);
                });
                if (!error.empty()) shared_socket->close();
            }
        } catch (...) {
            error = "out of memory";
            socket.close();
        }
        if (!error.empty()) {
            state->connections.fetch_sub(1);
            if (workers != nullptr && workers->stopping()) return;
            limiter.report("Coordinator worker creation failed: ", error);
            platform::sleep_ms(100);
        }
    }
}

// Serves until the process ends or, with `wait_for_stop`, until that
// returns; then every thread started here has ended and nothing of the
// server is left.
std::string start_and_serve(const std::function<void()>* wait_for_stop) {
    auto token = platform::environment("KORVA_COORDINATION_TOKEN");
    if (!token) return "environment variable not found";
    if (!valid_utf8(*token)) return "environment variable was not valid unicode: " + quote_raw(*token);
    if (token->size() < 32) return "KORVA_COORDINATION_TOKEN must contain at least 32 bytes";

    auto bind_text = platform::environment("KORVA_COORDINATION_BIND");
    if (!bind_text || !valid_utf8(*bind_text)) bind_text = kDefaultBind;
    platform::SocketAddress address;
    if (!parse_socket_address(*bind_text, address)) return "invalid socket address syntax";
    if (!is_loopback(address)) return "coordinator must bind to a loopback address";

    platform::tune_allocator();

    auto watch = platform::environment("KORVA_COORDINATION_PARENT_PIPE");
    if (watch && *watch == "1") {
        std::string error = platform::spawn_detached([] {
            platform::drain_stdin_until_eof();
            platform::exit_process(0);
        });
        if (!error.empty()) return "failed to spawn thread: " + error;
    }

    std::string error;
    platform::Socket listener = platform::Socket::listen_tcp(address, error);
    if (!listener.valid()) return error;

    auto wall = platform::wall_ns_since_epoch();
    if (!wall) return "second time provided was later than self";
    std::string generation = std::to_string(platform::process_id()) + "-" + std::to_string(*wall);

    auto state = std::make_shared<SharedState>(*token, generation);
    if (wait_for_stop == nullptr) {
        error = platform::spawn_detached([state] { sweeper(state, nullptr); });
        if (!error.empty()) return "failed to spawn thread: " + error;
        platform::SocketAddress bound;
        if (!listener.local_address(bound, error)) return error;
        platform::write_stdout("korva-coordinator listening on " + platform::format_address(bound) + "\n");
        accept_loop(listener, state, nullptr);
        return "the accept loop ended";  // it does not
    }

    Workers workers;
    std::thread sweeping([&state, &workers] { sweeper(state, &workers); });
    std::thread stopper;
    platform::SocketAddress bound;
    if (listener.local_address(bound, error)) {
        platform::write_stdout("korva-coordinator listening on " + platform::format_address(bound) + "\n");
        stopper = std::thread([&] {
            (*wait_for_stop)();
            workers.stop(listener, *state);
        });
        accept_loop(listener, state, &workers);
        stopper.join();
    } else {
        workers.stop(listener, *state);
    }
    workers.join_all();
    sweeping.join();
    return error;
}

}  // namespace

namespace {
std::string guarded_run(const std::function<void()>* wait_for_stop) {
    try {
        return start_and_serve(wait_for_stop);
    } catch (const std::exception& e) {
        return std::string("coordinator start-up failed: ") + e.what();
    } catch (...) {
        return "coordinator start-up failed";
    }
}
}  // namespace

std::string run() { return guarded_run(nullptr); }

std::string run_until(const std::function<void()>& wait_for_stop) { return guarded_run(&wait_for_stop); }

}  // namespace korva::coordination
