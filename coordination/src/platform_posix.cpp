// POSIX implementation of the platform layer (see platform.hpp). Every
// system call of the coordinator lives here; errors are turned into text or
// sentinel values so that no errno handling leaks upward.
#include "platform.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/syscall.h>
#else
#include <sys/random.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "socket_addresses.hpp"

namespace korva::coordination::platform {

std::int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::optional<std::int64_t> wall_ns_since_epoch() {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return std::nullopt;
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void sleep_ms(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

std::uint32_t process_id() { return static_cast<std::uint32_t>(getpid()); }

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

static void write_fd(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void write_stdout(std::string_view text) { write_fd(1, text); }
void write_stderr(std::string_view text) { write_fd(2, text); }

void drain_stdin_until_eof() {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

void exit_process(int status) {
    std::fflush(stdout);
    // _exit: other threads are still running, so static destructors and
    // atexit handlers must not run underneath them.
    _exit(status);
}

// Up to n random bytes from the system; what getrandom() returns.
static long system_random(void* p, std::size_t n) {
#if defined(__linux__)
    // The system call itself: glibc wraps it only from 2.25 on, and the
    // wheels are built for older ones.
    return ::syscall(SYS_getrandom, p, n, 0);
#elif defined(__APPLE__)
    n = n < 256 ? n : 256;
    return getentropy(p, n) == 0 ? static_cast<long>(n) : -1;
#else
    return getrandom(p, n, 0);
#endif
}

std::uint64_t random_u64() {
    std::uint64_t value = 0;
    auto* p = reinterpret_cast<unsigned char*>(&value);
    std::size_t got = 0;
    while (got < sizeof value) {
        long n = system_random(p + got, sizeof value - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof value) {  // no random source: still vary per process
        value ^= static_cast<std::uint64_t>(monotonic_ns()) * 0x9E3779B97F4A7C15ULL ^ getpid();
    }
    return value;
}

std::string os_error_text(int err) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* text = strerror_r(err, buffer, sizeof buffer);
#else
    const char* text = strerror_r(err, buffer, sizeof buffer) == 0 ? buffer : "unknown error";
#endif
    return std::string(text) + " (os error " + std::to_string(err) + ")";
}

// ---- memory -----------------------------------------------------------------

void tune_allocator() {
#if defined(__GLIBC__)
    // glibc maps blocks above the threshold on their own, but by default it
    // raises the threshold to the size of each mapped block freed (up to 32
    // MiB), so after the first large request every later one comes from the
    // pools and their peak stays resident. A fixed threshold keeps large
    // blocks mapped (and the pools' top-trim threshold at its default).
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
}

void return_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// ---- threads ----------------------------------------------------------------

namespace {
void* thread_entry(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    try {
        (*body)();
    } catch (...) {
        // A thread body must never unwind past here: that would terminate
        // the whole server.
    }
    return nullptr;
}
}  // namespace

std::string spawn_detached(std::function<void()> body) {
    std::unique_ptr<std::function<void()>> owned;
    try {
        owned = std::make_unique<std::function<void()>>(std::move(body));
    } catch (...) {
        return "out of memory";
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return "cannot initialise thread attributes";
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Small, fixed stacks keep 256 connection threads cheap; nothing in the
    // coordinator recurses deeply (the JSON parser is iterative).
    pthread_attr_setstacksize(&attr, 2u << 20);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, thread_entry, owned.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) return os_error_text(rc);
    owned.release();
    return {};
}

// ---- sockets ------------------------------------------------------------------

bool parse_ipv6(std::string_view text, std::uint8_t out[16]) { return detail::ipv6_from_text(text, out); }

std::string format_address(const SocketAddress& address) { return detail::address_text(address); }

void Socket::close() {
    if (fd_ != -1) {
        ::close(static_cast<int>(fd_));
        fd_ = -1;
    }
}

// macOS has neither SOCK_CLOEXEC and accept4 nor MSG_NOSIGNAL: there a new
// descriptor is marked close-on-exec just after it is made (a program
// started by another thread in between could inherit it; macOS has no
// atomic way) and the socket itself is kept from raising SIGPIPE.
#if defined(__APPLE__)
constexpr int kSocketCloseOnExec = 0;
constexpr int kSendNoSignal = 0;
static void prepare_socket(int fd) {
    if (fd < 0) return;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
}
#else
constexpr int kSocketCloseOnExec = SOCK_CLOEXEC;
constexpr int kSendNoSignal = MSG_NOSIGNAL;
static void prepare_socket(int) {}
#endif

Socket Socket::listen_tcp(const SocketAddress& address, std::string& error) {
    Socket s(::socket(address.v6 ? AF_INET6 : AF_INET, SOCK_STREAM | kSocketCloseOnExec, 0));
    if (!s.valid()) {
        error = os_error_text(errno);
        return {};
    }
    prepare_socket(s.fd_);
    // Address reuse on POSIX only lets us bind while old connections to the
    // port sit in TIME_WAIT; it does not let another process steal a port
    // that is actively listening (that would be SO_REUSEPORT). Without it a
    // restarted coordinator on its fixed port fails for about a minute.
    int one = 1;
    setsockopt(s.fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage storage;
    const socklen_t len = static_cast<socklen_t>(detail::to_sockaddr(address, storage));
    if (::bind(s.fd_, reinterpret_cast<sockaddr*>(&storage), len) != 0 || ::listen(s.fd_, 128) != 0) {
        error = os_error_text(errno);
        return {};
    }
    return s;
}

bool Socket::local_address(SocketAddress& out, std::string& error) const {
    sockaddr_storage storage{};
    socklen_t len = sizeof storage;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &len) != 0) {
        error = os_error_text(errno);
        return false;
    }
    out = detail::from_sockaddr(storage);
    return true;
}

Socket Socket::accept(std::string& error) const {
    for (;;) {
#if defined(__APPLE__)
        int fd = ::accept(fd_, nullptr, nullptr);
        prepare_socket(fd);
#else
        int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
#endif
        if (fd >= 0) return Socket(fd);
        if (errno == EINTR) continue;
        error = os_error_text(errno);
        return {};
    }
}

bool Socket::set_blocking() {
    int flags = fcntl(fd_, F_GETFL);
    return flags >= 0 && fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool Socket::set_no_delay() {
    int one = 1;
    return setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

static timeval to_timeval(std::int64_t ms) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return tv;
}

bool Socket::set_send_timeout_ms(std::int64_t ms) {
    timeval tv = to_timeval(ms);
    return setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

long Socket::read_some(char* buffer, std::size_t n, std::int64_t deadline_ns) {
    for (;;) {
        std::int64_t left = deadline_ns - monotonic_ns();
        if (left <= 0) return kReadTimedOut;
        // Rounded up to whole milliseconds; the kernel call is skipped when
        // the value is unchanged, which is the common case of a fresh
        // 30-second request deadline.
        std::int64_t ms = (left + 999999) / 1000000;
        if (ms != rcv_timeout_ms_) {
            timeval tv = to_timeval(ms);
            if (setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return kReadFailed;
            rcv_timeout_ms_ = ms;
        }
        ssize_t got = ::recv(fd_, buffer, n, 0);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // The kernel timeout may fire a little early relative to our
            // clock; loop so the deadline, not the kernel, decides.
            continue;
        }
        return kReadFailed;
    }
}

long Socket::read_now(char* buffer, std::size_t n) {
    for (;;) {
        ssize_t got = ::recv(fd_, buffer, n, MSG_DONTWAIT);
        if (got > 0) return static_cast<long>(got);
        if (got < 0 && errno == EINTR) continue;
        return 0;
    }
}

bool Socket::write_all(std::string_view a, std::string_view b) {
    iovec iov[2];
    int count = 0;
    if (!a.empty()) iov[count++] = {const_cast<char*>(a.data()), a.size()};
    if (!b.empty()) iov[count++] = {const_cast<char*>(b.data()), b.size()};
    iovec* cur = iov;
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = cur;
        msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(count);
        ssize_t n = ::sendmsg(fd_, &msg, kSendNoSignal);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        auto done = static_cast<std::size_t>(n);
        while (count > 0 && done >= cur->iov_len) {
            done -= cur->iov_len;
            ++cur;
            --count;
        }
        if (count > 0) {
            cur->iov_base = static_cast<char*>(cur->iov_base) + done;
            cur->iov_len -= done;
        }
    }
    return true;
}

long Socket::send_parts(const std::string_view* parts, std::size_t count, std::size_t skip, bool dont_wait) {
    iovec iov[64];
    int used = 0;
    for (std::size_t i = 0; i < count && used < 64; ++i) {
        std::string_view part = parts[i];
        if (skip >= part.size()) {
            skip -= part.size();
            continue;
        }
        part.remove_prefix(skip);
        skip = 0;
        iov[used++] = {const_cast<char*>(part.data()), part.size()};
    }
    if (used == 0) return 0;
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(used);
    for (;;) {
        ssize_t sent = ::sendmsg(fd_, &msg, kSendNoSignal | (dont_wait ? MSG_DONTWAIT : 0));
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && dont_wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return sent <= 0 ? -1 : static_cast<long>(sent);
    }
}

bool Socket::peer_gone() {
    char buffer[4096];
    // Bounded, so that a peer streaming junk cannot keep us here.
    for (int round = 0; round < 16; ++round) {
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) continue;  // discarded: nothing is read after subscribing
        // End of stream is only the peer's half-close: it may still read.
        // A peer that went away entirely resets the connection once written
        // to, which the heartbeat write at the latest finds.
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return !(errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return false;
}

void Socket::shutdown_write() { ::shutdown(fd_, SHUT_WR); }

void Socket::shutdown_both() { ::shutdown(static_cast<int>(fd_), SHUT_RDWR); }

}  // namespace korva::coordination::platform
