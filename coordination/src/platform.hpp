// The coordinator's only contact with the operating system: sockets,
// threads, clocks, environment, standard streams and the random source.
// Everything above this layer is portable logic. The build picks one
// implementation: platform_posix.cpp (Linux and other POSIX systems) or
// platform_windows.cpp (Winsock 2 and the Win32 API). Porting the coordinator
// to another system means writing one more of those and nothing else.
// Both give callers the same behaviour: the same timeouts, partial writes,
// error sentinels and message shapes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace korva::coordination::platform {

// ---- clocks -------------------------------------------------------------
// Monotonic clock in nanoseconds; only differences are meaningful.
std::int64_t monotonic_ns();
// Wall-clock nanoseconds since 1970-01-01 UTC; nullopt before 1970.
std::optional<std::int64_t> wall_ns_since_epoch();
void sleep_ms(int ms);
// Tells the processor that the caller is spinning on a lock (a hint only).
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
    __asm__ __volatile__("yield");
#endif
}

// ---- process, environment, stdio ----------------------------------------
std::uint32_t process_id();
// Raw bytes of an environment variable, or nullopt when it is unset. Windows
// keeps the environment as UTF-16: its value comes back as UTF-8, with any
// unpaired surrogate written as its own three-byte sequence (so that the
// caller's UTF-8 check refuses it, and the quoted value still shows it).
std::optional<std::string> environment(const char* name);
// Whole-line writes straight to the standard output and error handles, so
// that output is not held back by any user-space buffer (the host reads the
// listening line).
void write_stdout(std::string_view text);
void write_stderr(std::string_view text);
// Blocks until standard input reaches end of file or fails.
void drain_stdin_until_eof();
[[noreturn]] void exit_process(int status);
// 64 random bits from the system's random source (hash seeding).
std::uint64_t random_u64();
// "<system message> (os error N)"; N is errno on POSIX, and a Win32 or
// Winsock error code on Windows.
std::string os_error_text(int err);

// ---- memory ---------------------------------------------------------------
// Sets the allocator up so that large blocks (payloads, body lines, event
// frames) are mapped on their own and go back to the system the moment they
// are freed, rather than staying in the allocator's pools at the size of the
// largest burst. Called once at start-up; a no-op where the allocator
// already behaves so or offers no such setting.
void tune_allocator();
// Hands the free memory the allocator still holds (pages inside its pools)
// back to the system. It walks the allocator's free lists, so callers use it
// only after large releases.
void return_free_memory();

// ---- threads --------------------------------------------------------------
// Starts a detached thread. Returns an empty string, or the error text.
std::string spawn_detached(std::function<void()> body);

// ---- sockets ----------------------------------------------------------------
struct SocketAddress {
    bool v6 = false;
    std::uint8_t ip[16] = {};  // v4 uses the first 4 bytes
    std::uint16_t port = 0;
    std::uint32_t scope_id = 0;
};

// Parses the text between brackets of an IPv6 address (without scope).
bool parse_ipv6(std::string_view text, std::uint8_t out[16]);
std::string format_address(const SocketAddress& address);

// Outcome of a read: bytes (>0), end of stream (0), or timeout/failure (<0).
constexpr long kReadTimedOut = -1;
constexpr long kReadFailed = -2;

class Socket {
public:
    // A file descriptor on POSIX, a SOCKET on Windows (whose values fit in a
    // pointer-sized integer); -1 when there is none.
    using Handle = std::intptr_t;

    Socket() = default;
    explicit Socket(Handle handle) : fd_(handle) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept
        : fd_(other.fd_), rcv_timeout_ms_(other.rcv_timeout_ms_), snd_timeout_ms_(other.snd_timeout_ms_) {
        other.fd_ = -1;
    }
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.fd_;
            rcv_timeout_ms_ = other.rcv_timeout_ms_;
            snd_timeout_ms_ = other.snd_timeout_ms_;
            other.fd_ = -1;
        }
        return *this;
    }
    ~Socket() { close(); }

    bool valid() const { return fd_ != -1; }
    void close();

    // Listener: close-on-exec TCP socket bound to `address` with a backlog of
    // 128. On failure returns an invalid socket and sets `error`.
    static Socket listen_tcp(const SocketAddress& address, std::string& error);
    bool local_address(SocketAddress& out, std::string& error) const;
    // Waits for a connection; invalid socket and `error` set on failure.
    Socket accept(std::string& error) const;

    // Per-connection set-up; false on failure. After set_blocking() reads
    // and writes wait, bounded by the deadline and the send timeout below.
    // (Windows keeps the socket non-blocking underneath and waits in
    // WSAPoll: its own send and receive timeouts leave a socket in an
    // undefined state once they fire, and it has no per-call non-blocking
    // flag.)
    bool set_blocking();
    bool set_no_delay();
    bool set_send_timeout_ms(std::int64_t ms);

    // Reads at most `n` bytes, waiting until `deadline_ns` (monotonic) at most.
    long read_some(char* buffer, std::size_t n, std::int64_t deadline_ns);
    // Reads at most `n` bytes already waiting, without waiting: bytes read,
    // or 0 when there are none (end of stream and failures included, which
    // the next read_some reports).
    long read_now(char* buffer, std::size_t n);
    // Writes everything under the standing send timeout; false on failure.
    bool write_all(std::string_view a, std::string_view b = {});
    // One gathering send of `parts` (at most 64), skipping the first `skip`
    // bytes, for callers that manage their own deadline. Returns the bytes
    // accepted; 0 when `dont_wait` is set and the socket buffer is full;
    // -1 on failure or timeout (a send that accepts nothing is one).
    long send_parts(const std::string_view* parts, std::size_t count, std::size_t skip, bool dont_wait);
    // Non-blocking: discards whatever the peer sent; true once the socket
    // has failed (reset or error). A peer that only shut its sending side
    // down is not gone.
    bool peer_gone();
    void shutdown_write();
    // Ends both directions at once: a thread waiting in a read or a write on
    // this socket (on Linux, in accept on a listener too) returns. The clean
    // stop of the test server uses it; the descriptor stays open until
    // close().
    void shutdown_both();

private:
    Handle fd_ = -1;
    std::int64_t rcv_timeout_ms_ = -1;  // POSIX: last value given to the kernel
    std::int64_t snd_timeout_ms_ = 0;  // Windows: the send timeout, applied by waiting
};

}  // namespace korva::coordination::platform
