// Load generator for the coordinator and, with the same client code, for
// Redis over RESP: GET/SET request/reply load over C connections with a
// pipeline depth, and publish/subscribe fan-out. By default one epoll thread
// drives every connection; `--client threads` instead gives each key/value
// connection a blocking thread of its own, the way a multi-threaded host
// talks to the server. Either way the generator costs the same CPU
// whichever server it measures. Loopback only; every run is bounded by
// --seconds.
//
//   loadgen --proto korva|resp --port P [--token T] kv --op get|set --size N --conns C --depth D --seconds S
//           [--client epoll|threads]
//   loadgen --proto korva|resp --port P [--token T] pubsub --subs N --size N --depth D --seconds S [--rate R]
// Prints one line: "<ops or events per second> <p99 microseconds>".
//   loadgen --proto korva --port P --token T memory --pid PID
// Runs three bursts against the coordinator (five rounds of 8 concurrent
// 15 MiB body lines; never-reading subscribers flooded up to the global
// event budget; 24 clients leaving 15 MiB bodies unfinished) and prints the
// server's resident size in KiB: idle, then for each burst at its end and 3
// seconds later.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "loadgen: %s\n", message.c_str());
    std::exit(2);
}

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Options {
    std::string proto = "korva", token, mode = "kv", op = "get", client = "epoll";
    int port = 0, size = 64, conns = 1, depth = 1, subs = 1, pid = 0;
    double rate = 0;  // publishes per second; 0 publishes as fast as the window allows
    double seconds = 2.0;
};

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("connect failed");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void write_all(int fd, const std::string& data) {
    std::size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;  // spin on a full buffer
        if (n <= 0) die("send failed");
        off += static_cast<std::size_t>(n);
    }
}

// Buffered reader over a socket; `parse` functions consume complete replies.
struct Conn {
    int fd = -1;
    std::string in;
    std::size_t pos = 0;
    std::deque<std::int64_t> sent;  // send instants of replies still due
    bool subscriber = false;

    bool closed = false;  // a subscriber the server dropped

    bool fill() {
        if (closed) return false;
        if (pos > 0 && pos == in.size()) {
            in.clear();
            pos = 0;
        } else if (pos > (1u << 20)) {
            in.erase(0, pos);
            pos = 0;
        }
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0 && subscriber) {
            closed = true;
            return false;
        }
        if (n == 0) die("server closed a connection");
        if (n < 0) return errno == EAGAIN || errno == EINTR ? false : (die("recv failed"), false);
        in.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    // A line ending in "\n" starting at pos, or npos if incomplete.
    std::size_t line_end() const { return in.find('\n', pos); }
};

// ---- protocol adapters ---------------------------------------------------------

std::string korva_header(const Options& o, const std::string& gen, const char* op, std::size_t payload) {
    std::string h = "{\"version\":2,\"token\":\"" + o.token + "\",\"namespace\":\"bench\",\"op\":\"" + op +
                    "\",\"generation\":\"" + gen + "\"";
    if (payload) h += ",\"payload_bytes\":" + std::to_string(payload);
    return h + "}\n";
}

std::string resp_command(const std::vector<std::string>& parts) {
    std::string out = "*" + std::to_string(parts.size()) + "\r\n";
    for (const auto& p : parts) out += "$" + std::to_string(p.size()) + "\r\n" + p + "\r\n";
    return out;
}

// Blocking exchange used during set-up: reads one line.
std::string read_line_blocking(Conn& c) {
    for (;;) {
        std::size_t e = c.line_end();
        if (e != std::string::npos) {
            std::string line = c.in.substr(c.pos, e + 1 - c.pos);
            c.pos = e + 1;
            return line;
        }
        c.fill();
    }
}

std::string korva_hello(const Options& o, Conn& c) {
    std::string h = "{\"version\":2,\"token\":\"" + o.token + "\",\"namespace\":\"bench\",\"op\":\"hello\"}\n{}\n";
    write_all(c.fd, h);
    std::string ready = read_line_blocking(c);
    std::string reply = read_line_blocking(c);
    auto at = reply.find("\"generation\":\"");
    if (ready.find("ready") == std::string::npos || at == std::string::npos) die("hello failed: " + reply);
    at += 14;
    return reply.substr(at, reply.find('"', at) - at);
}

// Consumes one complete reply at c.pos; false if more bytes are needed.
bool parse_reply(const Options& o, Conn& c) {
    if (o.proto == "korva") {
        std::size_t e = c.line_end();
        if (e == std::string::npos) return false;
        std::size_t line_start = c.pos;
        std::size_t body = 0;
        auto pb = c.in.find("\"payload_bytes\":", line_start);
        if (pb != std::string::npos && pb < e) body = std::strtoull(c.in.c_str() + pb + 16, nullptr, 10);
        if (c.in.compare(line_start, 6, "{\"ok\":") != 0 && c.in.compare(line_start, 9, "{\"error\":") == 0) {
            die("error reply: " + c.in.substr(line_start, e - line_start));
        }
        if (c.in.size() < e + 1 + body) return false;
        c.pos = e + 1 + body;
        return true;
    }
    if (c.pos >= c.in.size()) return false;
    char kind = c.in[c.pos];
    std::size_t e = c.in.find("\r\n", c.pos);
    if (e == std::string::npos) return false;
    if (kind == '+' || kind == ':') {
        c.pos = e + 2;
        return true;
    }
    if (kind == '$') {
        long len = std::strtol(c.in.c_str() + c.pos + 1, nullptr, 10);
        if (len < 0) {
            c.pos = e + 2;
            return true;
        }
        if (c.in.size() < e + 2 + static_cast<std::size_t>(len) + 2) return false;
        c.pos = e + 2 + static_cast<std::size_t>(len) + 2;
        return true;
    }
    die("unexpected RESP reply: " + c.in.substr(c.pos, 40));
}

// A published event as seen by a subscriber: returns the payload offset and
// length, or false if incomplete. Heartbeats are consumed and skipped.
bool parse_event(const Options& o, Conn& c, std::size_t& payload_at, std::size_t& payload_len) {
    for (;;) {
        if (o.proto == "korva") {
            std::size_t e = c.line_end();
            if (e == std::string::npos) return false;
            if (c.in.compare(c.pos, 13, "{\"heartbeat\":") == 0) {
                c.pos = e + 1;
                continue;
            }
            auto pb = c.in.find("\"payload_bytes\":", c.pos);
            std::size_t n = std::strtoull(c.in.c_str() + pb + 16, nullptr, 10);
            if (c.in.size() < e + 1 + n) return false;
            payload_at = e + 1;
            payload_len = n;
            c.pos = e + 1 + n;
            return true;
        }
        // *3\r\n$7\r\nmessage\r\n$L\r\n<chan>\r\n$N\r\n<payload>\r\n
        std::size_t p = c.pos;
        auto next_bulk = [&](std::size_t& at, std::size_t& len) -> bool {
            std::size_t e = c.in.find("\r\n", p);
            if (e == std::string::npos) return false;
            long l = std::strtol(c.in.c_str() + p + 1, nullptr, 10);
            if (c.in.size() < e + 2 + static_cast<std::size_t>(l) + 2) return false;
            at = e + 2;
            len = static_cast<std::size_t>(l);
            p = e + 2 + len + 2;
            return true;
        };
        std::size_t e = c.in.find("\r\n", p);
        if (e == std::string::npos) return false;
        p = e + 2;
        std::size_t a, l;
        if (!next_bulk(a, l) || !next_bulk(a, l) || !next_bulk(payload_at, payload_len)) return false;
        c.pos = p;
        return true;
    }
}

struct Result {
    double rate = 0;
    double p99_us = 0;
};

Result summarise(std::vector<std::int64_t>& lat, std::int64_t count, double seconds) {
    Result r;
    r.rate = static_cast<double>(count) / seconds;
    if (!lat.empty()) {
        std::size_t k = lat.size() * 99 / 100;
        std::nth_element(lat.begin(), lat.begin() + static_cast<long>(k), lat.end());
        r.p99_us = static_cast<double>(lat[k]) / 1000.0;
    }
    return r;
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// ---- key/value load -----------------------------------------------------------------

Result run_kv(const Options& o) {
    const int kKeys = 1000;
    std::string value(static_cast<std::size_t>(o.size), 'v');
    std::vector<std::unique_ptr<Conn>> conns;
    std::string gen;
    for (int i = 0; i < o.conns; ++i) {
        auto c = std::make_unique<Conn>();
        c->fd = connect_to(o.port);
        if (o.proto == "korva") gen = korva_hello(o, *c);
        conns.push_back(std::move(c));
    }
    auto request = [&](int key) {
        std::string k = "key:" + std::to_string(key);
        if (o.proto == "korva") {
            std::string body = "{\"key\":\"" + k + "\"}\n";
            if (o.op == "set") return korva_header(o, gen, "put", value.size()) + body + value;
            return korva_header(o, gen, "get", 0) + body;
        }
        if (o.op == "set") return resp_command({"SET", k, value});
        return resp_command({"GET", k});
    };
    // Every key holds a value of the measured size before a GET run.
    {
        Conn& c = *conns[0];
        std::string all;
        for (int k = 0; k < kKeys; ++k) {
            std::string kk = "key:" + std::to_string(k);
            all += o.proto == "korva" ? korva_header(o, gen, "put", value.size()) + "{\"key\":\"" + kk + "\"}\n" + value
                                      : resp_command({"SET", kk, value});
        }
        write_all(c.fd, all);
        for (int k = 0; k < kKeys; ++k) {
            while (!parse_reply(o, c)) c.fill();
        }
    }
    std::vector<std::string> batches;  // precomputed batches of `depth` requests
    for (int b = 0; b < 64; ++b) {
        std::string batch;
        for (int d = 0; d < o.depth; ++d) batch += request((b * o.depth + d) * 7 % kKeys);
        batches.push_back(std::move(batch));
    }

    const std::int64_t warm_until = now_ns() + 300'000'000;
    const std::int64_t end = warm_until + static_cast<std::int64_t>(o.seconds * 1e9);

    if (o.client == "threads") {
        // One blocking thread per connection: send a batch, wait for all of
        // its replies, repeat.
        std::vector<std::vector<std::int64_t>> per_thread(conns.size());
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < conns.size(); ++i) {
            threads.emplace_back([&, i] {
                Conn& c = *conns[i];
                std::vector<std::int64_t>& lat = per_thread[i];
                lat.reserve(1'000'000);
                std::size_t b = i;
                for (;;) {
                    std::int64_t sent = now_ns();
                    if (sent >= end) break;
                    write_all(c.fd, batches[b++ % batches.size()]);
                    for (int d = 0; d < o.depth; ++d) {
                        while (!parse_reply(o, c)) c.fill();
                        std::int64_t t = now_ns();
                        if (t >= warm_until && t < end) lat.push_back(t - sent);
                    }
                }
            });
        }
        for (auto& t : threads) t.join();
        std::vector<std::int64_t> latencies;
        for (auto& v : per_thread) latencies.insert(latencies.end(), v.begin(), v.end());
        for (auto& c : conns) close(c->fd);
        auto count = static_cast<std::int64_t>(latencies.size());
        return summarise(latencies, count, o.seconds);
    }

    int ep = epoll_create1(0);
    for (std::size_t i = 0; i < conns.size(); ++i) {
        set_nonblocking(conns[i]->fd);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, conns[i]->fd, &ev);
    }
    std::vector<std::int64_t> latencies;
    latencies.reserve(4'000'000);
    std::int64_t completed = 0;
    std::size_t next_batch = 0;
    auto send_batch = [&](Conn& c) {
        std::int64_t t = now_ns();
        write_all(c.fd, batches[next_batch++ % batches.size()]);
        for (int d = 0; d < o.depth; ++d) c.sent.push_back(t);
    };
    for (auto& c : conns) send_batch(*c);
    epoll_event events[128];
    std::int64_t now = now_ns();
    while (now < end) {
        int n = epoll_wait(ep, events, 128, 100);
        now = now_ns();
        for (int i = 0; i < n; ++i) {
            Conn& c = *conns[events[i].data.u64];
            while (c.fill()) {}
            while (!c.sent.empty() && parse_reply(o, c)) {
                if (now >= warm_until && now < end) {
                    latencies.push_back(now - c.sent.front());
                    ++completed;
                }
                c.sent.pop_front();
            }
            if (c.sent.empty() && now < end) send_batch(c);
        }
    }
    close(ep);
    for (auto& c : conns) close(c->fd);
    return summarise(latencies, completed, o.seconds);
}

// ---- publish/subscribe fan-out ----------------------------------------------------------

Result run_pubsub(const Options& o) {
    std::vector<std::unique_ptr<Conn>> subs;
    for (int i = 0; i < o.subs; ++i) {
        auto c = std::make_unique<Conn>();
        c->fd = connect_to(o.port);
        c->subscriber = true;
        if (o.proto == "korva") {
            // Subscribers of a previous run may still hold their slots for a
            // moment after closing; retry for up to two seconds.
            for (int attempt = 0;; ++attempt) {
                std::string gen = korva_hello(o, *c);
                write_all(c->fd, korva_header(o, gen, "subscribe", 0) + "{\"prefix\":\"ev\"}\n");
                std::string reply = read_line_blocking(*c);
                if (reply.find("true") != std::string::npos) break;
                if (attempt == 20) die("subscribe failed: " + reply);
                close(c->fd);
                c = std::make_unique<Conn>();
                c->fd = connect_to(o.port);
                c->subscriber = true;
                usleep(100000);
            }
        } else {
            write_all(c->fd, resp_command({"SUBSCRIBE", "events"}));
            std::string reply;
            for (int k = 0; k < 6; ++k) reply += read_line_blocking(*c);  // *3 $9 subscribe $6 events :1
        }
        subs.push_back(std::move(c));
    }
    auto pub = std::make_unique<Conn>();
    pub->fd = connect_to(o.port);
    std::string gen = o.proto == "korva" ? korva_hello(o, *pub) : "";
    std::string payload(static_cast<std::size_t>(std::max(o.size, 8)), 'p');
    std::string prefix_bytes = o.proto == "korva"
                                   ? korva_header(o, gen, "publish", payload.size()) + "{\"channel\":\"events\"}\n"
                                   : std::string();
    auto publish = [&]() {
        std::int64_t t = now_ns();
        std::memcpy(payload.data(), &t, 8);
        if (o.proto == "korva")
            write_all(pub->fd, prefix_bytes + payload);
        else
            write_all(pub->fd, resp_command({"PUBLISH", "events", payload}));
        pub->sent.push_back(t);
    };

    int ep = epoll_create1(0);
    set_nonblocking(pub->fd);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    epoll_ctl(ep, EPOLL_CTL_ADD, pub->fd, &ev);
    for (std::size_t i = 0; i < subs.size(); ++i) {
        set_nonblocking(subs[i]->fd);
        ev.data.u64 = i + 1;
        epoll_ctl(ep, EPOLL_CTL_ADD, subs[i]->fd, &ev);
    }
    std::vector<std::int64_t> latencies;
    latencies.reserve(8'000'000);
    std::int64_t delivered = 0;
    const std::int64_t warm_until = now_ns() + 300'000'000;
    const std::int64_t end = warm_until + static_cast<std::int64_t>(o.seconds * 1e9);
    // With --rate, publishes are spaced evenly (in bursts of at most one
    // millisecond's worth), so latency is measured below saturation.
    const std::int64_t period = o.rate > 0 ? static_cast<std::int64_t>(1e9 / o.rate) : 0;
    std::int64_t next_at = now_ns();
    auto publish_due = [&](std::int64_t t) {
        while (static_cast<int>(pub->sent.size()) < o.depth && t < end) {
            if (period) {
                if (t < next_at) break;
                next_at += period;
            }
            publish();
        }
    };
    publish_due(now_ns());
    epoll_event events[128];
    std::int64_t now = now_ns();
    while (now < end) {
        int n = epoll_wait(ep, events, 128, period ? 1 : 100);
        now = now_ns();
        if (period) publish_due(now);
        for (int i = 0; i < n; ++i) {
            std::uint64_t id = events[i].data.u64;
            if (id == 0) {
                while (pub->fill()) {}
                while (!pub->sent.empty() && parse_reply(o, *pub)) pub->sent.pop_front();
                publish_due(now);
                continue;
            }
            Conn& c = *subs[id - 1];
            while (c.fill()) {}
            if (c.closed) epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
            std::size_t at, len;
            while (parse_event(o, c, at, len)) {
                std::int64_t t;
                std::memcpy(&t, c.in.data() + at, 8);
                if (now >= warm_until && now < end) {
                    latencies.push_back(now - t);
                    ++delivered;
                }
            }
        }
    }
    close(ep);
    close(pub->fd);
    int dropped = 0;
    for (auto& c : subs) {
        dropped += c->closed ? 1 : 0;
        close(c->fd);
    }
    if (dropped > 0) std::fprintf(stderr, "loadgen: the server dropped %d of %d subscribers\n", dropped, o.subs);
    return summarise(latencies, delivered, o.seconds);
}

// ---- resident memory after bursts ----------------------------------------------------

long resident_kib(int pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (f == nullptr) die("cannot read the server's /proc status");
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::atol(line + 6);
    }
    std::fclose(f);
    return kib;
}

void in_parallel(int count, const std::function<void()>& work) {
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) threads.emplace_back(work);
    for (auto& t : threads) t.join();
}

int run_memory(const Options& o) {
    if (o.proto != "korva" || o.pid <= 0) die("memory needs --proto korva and --pid");
    auto client = [&](Conn& c, std::string& gen) {
        c.fd = connect_to(o.port);
        gen = korva_hello(o, c);
    };
    {
        Conn c;
        std::string gen;
        client(c, gen);
        close(c.fd);
    }
    usleep(500000);
    std::printf("idle %ld", resident_kib(o.pid));
    auto report = [&](const char* name) {
        std::printf("  %s %ld", name, resident_kib(o.pid));
        sleep(3);
        std::printf(" -> %ld", resident_kib(o.pid));
        std::fflush(stdout);
    };
    const std::string body = "{\"key\":\"k\",\"pad\":\"" + std::string(15u << 20, 'x') + "\"}\n";

    for (int round = 0; round < 5; ++round) {
        in_parallel(8, [&] {
            Conn c;
            std::string gen;
            client(c, gen);
            write_all(c.fd, korva_header(o, gen, "get", 0) + body);
            read_line_blocking(c);
            close(c.fd);
        });
    }
    report("bodies");

    {
        std::vector<std::unique_ptr<Conn>> subs;
        for (int i = 0; i < 5; ++i) {
            auto c = std::make_unique<Conn>();
            c->fd = socket(AF_INET, SOCK_STREAM, 0);
            int small = 4096;
            setsockopt(c->fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<std::uint16_t>(o.port));
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(c->fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("connect failed");
            std::string gen = korva_hello(o, *c);
            write_all(c->fd, korva_header(o, gen, "subscribe", 0) + "{\"prefix\":\"" + std::to_string(i) + "\"}\n");
            if (read_line_blocking(*c).find("true") == std::string::npos) die("subscribe failed");
            subs.push_back(std::move(c));
        }
        Conn pub;
        std::string gen;
        client(pub, gen);
        const std::string event(65536, 'e');
        for (int i = 0;; ++i) {
            write_all(pub.fd, korva_header(o, gen, "publish", event.size()) + "{\"channel\":\"" +
                                  std::to_string(i % 5) + "\"}\n" + event);
            std::string reply = read_line_blocking(pub);
            if (reply.find("busy:") != std::string::npos) break;
            if (i > 5000) die("the global event budget was never reached");
        }
        close(pub.fd);
        for (auto& c : subs) close(c->fd);
    }
    report("flood");

    in_parallel(24, [&] {
        Conn c;
        std::string gen;
        client(c, gen);
        write_all(c.fd, korva_header(o, gen, "get", 0) + body.substr(0, body.size() - 2));
        close(c.fd);
    });
    report("unfinished");
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value for " + a);
            return argv[++i];
        };
        if (a == "--proto")
            o.proto = next();
        else if (a == "--port")
            o.port = std::atoi(next().c_str());
        else if (a == "--token")
            o.token = next();
        else if (a == "--op")
            o.op = next();
        else if (a == "--size")
            o.size = std::atoi(next().c_str());
        else if (a == "--conns")
            o.conns = std::atoi(next().c_str());
        else if (a == "--depth")
            o.depth = std::atoi(next().c_str());
        else if (a == "--subs")
            o.subs = std::atoi(next().c_str());
        else if (a == "--seconds")
            o.seconds = std::atof(next().c_str());
        else if (a == "--rate")
            o.rate = std::atof(next().c_str());
        else if (a == "--client")
            o.client = next();
        else if (a == "--pid")
            o.pid = std::atoi(next().c_str());
        else if (a == "kv" || a == "pubsub" || a == "memory")
            o.mode = a;
        else
            die("unknown argument " + a);
    }
    if (o.client != "epoll" && o.client != "threads") die("--client is epoll or threads");
    if (o.port <= 0 || o.conns < 1 || o.depth < 1 || o.subs < 1 || o.size < 0) die("bad options");
    if (o.mode == "memory") return run_memory(o);
    Result r = o.mode == "kv" ? run_kv(o) : run_pubsub(o);
    std::printf("%.0f %.1f\n", r.rate, r.p99_us);
    return 0;
}
