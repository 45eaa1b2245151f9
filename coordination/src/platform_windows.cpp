// Windows implementation of the platform layer (see platform.hpp): Winsock 2
// sockets, Win32 threads, clocks, environment and standard handles. It gives
// callers exactly what the POSIX implementation gives them; where Windows
// works differently underneath, the comments say how the difference is
// absorbed here.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602  // Windows 8: GetSystemTimePreciseAsFileTime
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Order matters: winsock2.h before windows.h (which would pull in the old
// winsock.h), and windows.h before bcrypt.h (which needs its types).
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>
#include <malloc.h>
#include <process.h>
// clang-format on

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "socket_addresses.hpp"

#include "platform.hpp"

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

namespace korva::coordination::platform {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// FILETIME counts 100-nanosecond ticks from 1601-01-01 UTC.
constexpr std::uint64_t kUnixEpochTicks = 116'444'736'000'000'000ULL;

std::int64_t counter_frequency() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);  // cannot fail since Windows XP
        return static_cast<std::int64_t>(f.QuadPart);
    }();
    return frequency;
}

// WSAStartup once per process; Winsock is never shut down again because
// connection threads run until the process ends.
bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

SOCKET native(Socket::Handle handle) { return static_cast<SOCKET>(handle); }

// Rounded up, so that a wait never ends before the deadline it serves.
int ceil_ms(std::int64_t ns) {
    std::int64_t ms = (ns + 999'999) / 1'000'000;
    return static_cast<int>(std::clamp<std::int64_t>(ms, 0, INT_MAX));
}

// Waits until the socket is ready for `events` or `ms` pass: >0 ready,
// 0 timed out, <0 failed.
int wait_for(SOCKET s, short events, std::int64_t ms) {
    WSAPOLLFD entry{};
    entry.fd = s;
    entry.events = events;
    return WSAPoll(&entry, 1, static_cast<INT>(std::clamp<std::int64_t>(ms, 0, INT_MAX)));
}

// UTF-16 to UTF-8; an unpaired surrogate becomes its own three-byte
// sequence, which no UTF-8 check accepts.
std::string to_utf8(const wchar_t* text, std::size_t size) {
    std::string out;
    out.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        std::uint32_t cp = static_cast<std::uint16_t>(text[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < size) {
            auto low = static_cast<std::uint16_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00u);
                ++i;
            }
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

void write_handle(DWORD which, std::string_view text) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    while (!text.empty()) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return;
        text.remove_prefix(written);
    }
}

}  // namespace

// ---- clocks -------------------------------------------------------------

std::int64_t monotonic_ns() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const std::int64_t frequency = counter_frequency();
    const std::int64_t ticks = now.QuadPart;
    // Whole seconds and the remainder apart: ticks * 10^9 would overflow
    // after about 15 minutes of uptime at a 10 MHz counter.
    return (ticks / frequency) * kNsPerSecond + (ticks % frequency) * kNsPerSecond / frequency;
}

std::optional<std::int64_t> wall_ns_since_epoch() {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    if (ticks < kUnixEpochTicks) return std::nullopt;
    return static_cast<std::int64_t>((ticks - kUnixEpochTicks) * 100);
}

void sleep_ms(int ms) { Sleep(static_cast<DWORD>(std::max(ms, 0))); }

// ---- memory ---------------------------------------------------------------

// The C runtime allocates from the process heap, which already gives blocks
// above its own threshold (about 512 KiB) their own virtual allocation and
// releases it on free; there is nothing to set.
void tune_allocator() {}

// Coalesces the free blocks of the heap malloc draws from and decommits the
// large free ones. _heapmin names that heap whichever C runtime is linked
// (msvcrt or the universal one); it compacts it with HeapCompact.
void return_free_memory() { _heapmin(); }

// ---- process, environment, stdio ----------------------------------------

std::uint32_t process_id() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

std::optional<std::string> environment(const char* name) {
    wchar_t wide_name[256];
    int name_size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide_name, 256);
    if (name_size <= 0) return std::nullopt;
    std::wstring value(64, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD n = GetEnvironmentVariableW(wide_name, value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) {
            // 0 is both "empty value" and "failure"; only the error code
            // tells them apart.
            if (GetLastError() != ERROR_SUCCESS) return std::nullopt;
            return std::string();
        }
        if (n < value.size()) return to_utf8(value.data(), n);
        value.assign(n, L'\0');  // too small: n is the size needed (it may grow again meanwhile)
    }
}

void write_stdout(std::string_view text) { write_handle(STD_OUTPUT_HANDLE, text); }
void write_stderr(std::string_view text) { write_handle(STD_ERROR_HANDLE, text); }

void drain_stdin_until_eof() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        // A closed pipe reports ERROR_BROKEN_PIPE rather than 0 bytes; both
        // mean the parent is gone.
        if (!ReadFile(input, buffer, sizeof buffer, &got, nullptr) || got == 0) return;
    }
}

void exit_process(int status) {
    std::fflush(stdout);
    // Like _exit on POSIX: other threads may hold locks (the heap's among
    // them), so no atexit handler or DLL detach routine may run after
    // them. TerminateProcess on the own process does not return.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    ExitProcess(static_cast<UINT>(status));
}

std::uint64_t random_u64() {
    std::uint64_t value = 0;
    NTSTATUS status =
        BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {  // no random source: still vary per process
        value ^= static_cast<std::uint64_t>(monotonic_ns()) * 0x9E3779B97F4A7C15ULL ^ GetCurrentProcessId();
    }
    return value;
}

std::string os_error_text(int err) {
    wchar_t* message = nullptr;
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(err), 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
    std::string text;
    if (n != 0 && message != nullptr) {
        text = to_utf8(message, n);
        // System messages end in a line break.
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    }
    if (message != nullptr) LocalFree(message);
    if (text.empty()) text = "unknown error";
    return text + " (os error " + std::to_string(err) + ")";
}

// ---- threads ----------------------------------------------------------------

namespace {
unsigned __stdcall thread_entry(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    try {
        (*body)();
    } catch (...) {
        // A thread body must never unwind past here: that would terminate
        // the whole server.
    }
    return 0;
}
}  // namespace

std::string spawn_detached(std::function<void()> body) {
    std::unique_ptr<std::function<void()>> owned;
    try {
        owned = std::make_unique<std::function<void()>>(std::move(body));
    } catch (...) {
        return "out of memory";
    }
    // The same 2 MiB stack as on POSIX, whatever the executable's own
    // default; _beginthreadex rather than CreateThread so that the C
    // runtime knows the thread.
    SetLastError(ERROR_SUCCESS);
    std::uintptr_t handle =
        _beginthreadex(nullptr, 2u << 20, thread_entry, owned.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == 0) {
        DWORD code = GetLastError();
        return code != ERROR_SUCCESS ? os_error_text(static_cast<int>(code)) : "cannot create thread";
    }
    owned.release();
    CloseHandle(reinterpret_cast<HANDLE>(handle));  // detached: nobody joins it
    return {};
}

// ---- sockets ------------------------------------------------------------------

bool parse_ipv6(std::string_view text, std::uint8_t out[16]) {
    return winsock_ready() && detail::ipv6_from_text(text, out);
}

std::string format_address(const SocketAddress& address) {
    winsock_ready();
    return detail::address_text(address);
}

void Socket::close() {
    if (fd_ != -1) {
        closesocket(native(fd_));
        fd_ = -1;
    }
}

Socket Socket::listen_tcp(const SocketAddress& address, std::string& error) {
    if (!winsock_ready()) {
        error = os_error_text(WSANOTINITIALISED);
        return {};
    }
    // Not inheritable by child processes, like SOCK_CLOEXEC.
    SOCKET raw = WSASocketW(address.v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (raw == INVALID_SOCKET) {
        error = os_error_text(WSAGetLastError());
        return {};
    }
    Socket s(static_cast<Handle>(raw));
    // SO_REUSEADDR stays off: on Windows it would let another process bind
    // the same port and take over connections. Exclusive use closes that
    // door for everyone else as well (a port that is merely lingering in
    // TIME_WAIT does not block the bind on Windows, so the restart case
    // that needs address reuse on POSIX does not arise). Without the
    // guarantee the coordinator does not start.
    BOOL exclusive = TRUE;
    if (setsockopt(raw, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive) !=
        0) {
        error = os_error_text(WSAGetLastError());
        return {};
    }
    sockaddr_storage storage;
    const int len = detail::to_sockaddr(address, storage);
    if (::bind(raw, reinterpret_cast<sockaddr*>(&storage), len) != 0 || ::listen(raw, 128) != 0) {
        error = os_error_text(WSAGetLastError());
        return {};
    }
    return s;
}

bool Socket::local_address(SocketAddress& out, std::string& error) const {
    sockaddr_storage storage{};
    int len = sizeof storage;
    if (getsockname(native(fd_), reinterpret_cast<sockaddr*>(&storage), &len) != 0) {
        error = os_error_text(WSAGetLastError());
        return false;
    }
    out = detail::from_sockaddr(storage);
    return true;
}

Socket Socket::accept(std::string& error) const {
    for (;;) {
        SOCKET raw = ::accept(native(fd_), nullptr, nullptr);
        if (raw != INVALID_SOCKET) {
            SetHandleInformation(reinterpret_cast<HANDLE>(raw), HANDLE_FLAG_INHERIT, 0);
            return Socket(static_cast<Handle>(raw));
        }
        int err = WSAGetLastError();
        if (err == WSAEINTR) continue;
        error = os_error_text(err);
        return {};
    }
}

bool Socket::set_blocking() {
    // Non-blocking underneath (see platform.hpp): every wait below is a
    // WSAPoll bounded by the deadline or the send timeout.
    u_long on = 1;
    return ioctlsocket(native(fd_), FIONBIO, &on) == 0;
}

bool Socket::set_no_delay() {
    BOOL on = TRUE;
    return setsockopt(native(fd_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool Socket::set_send_timeout_ms(std::int64_t ms) {
    if (ms <= 0) return false;
    snd_timeout_ms_ = ms;
    return true;
}

long Socket::read_some(char* buffer, std::size_t n, std::int64_t deadline_ns) {
    const int want = static_cast<int>(std::min<std::size_t>(n, INT_MAX));
    for (;;) {
        std::int64_t left = deadline_ns - monotonic_ns();
        if (left <= 0) return kReadTimedOut;
        int got = ::recv(native(fd_), buffer, want, 0);
        if (got >= 0) return got;
        int err = WSAGetLastError();
        if (err == WSAEINTR) continue;
        if (err != WSAEWOULDBLOCK) return kReadFailed;
        // Nothing buffered yet. The wait may end a little early by our
        // clock (timer granularity); the loop lets the deadline decide.
        if (wait_for(native(fd_), POLLRDNORM, ceil_ms(left)) < 0) return kReadFailed;
    }
}

long Socket::read_now(char* buffer, std::size_t n) {
    const int want = static_cast<int>(std::min<std::size_t>(n, INT_MAX));
    for (;;) {
        int got = ::recv(native(fd_), buffer, want, 0);
        if (got > 0) return got;
        if (got < 0 && WSAGetLastError() == WSAEINTR) continue;
        return 0;
    }
}

namespace {

// One gathering send of what is left of `parts` after `skip` bytes, on a
// non-blocking socket: bytes accepted, 0 if none fit now, -1 on failure.
long send_once(SOCKET s, const std::string_view* parts, std::size_t count, std::size_t skip) {
    WSABUF buffers[64];
    DWORD used = 0;
    for (std::size_t i = 0; i < count && used < 64; ++i) {
        std::string_view part = parts[i];
        if (skip >= part.size()) {
            skip -= part.size();
            continue;
        }
        part.remove_prefix(skip);
        skip = 0;
        // WSABUF lengths are 32-bit; a longer part goes out over several calls.
        buffers[used].len = static_cast<ULONG>(std::min<std::size_t>(part.size(), 1u << 30));
        buffers[used].buf = const_cast<char*>(part.data());
        ++used;
        if (part.size() > (1u << 30)) break;
    }
    if (used == 0) return 0;
    for (;;) {
        DWORD sent = 0;
        if (WSASend(s, buffers, used, &sent, 0, nullptr, nullptr) == 0) {
            return sent == 0 ? -1 : static_cast<long>(sent);
        }
        int err = WSAGetLastError();
        if (err == WSAEINTR) continue;
        return err == WSAEWOULDBLOCK ? 0 : -1;
    }
}

}  // namespace

bool Socket::write_all(std::string_view a, std::string_view b) {
    const std::string_view parts[2] = {a, b};
    const std::size_t total = a.size() + b.size();
    std::size_t done = 0;
    // The send timeout counts from the last progress, as it does for a
    // blocking send with SO_SNDTIMEO; a wait that reports the socket ready
    // without room following does not extend it.
    std::int64_t deadline = monotonic_ns() + snd_timeout_ms_ * 1'000'000;
    while (done < total) {
        long sent = send_once(native(fd_), parts, 2, done);
        if (sent < 0) return false;
        if (sent == 0) {
            std::int64_t left = deadline - monotonic_ns();
            if (left <= 0 || wait_for(native(fd_), POLLWRNORM, ceil_ms(left)) < 0) return false;
            continue;
        }
        done += static_cast<std::size_t>(sent);
        deadline = monotonic_ns() + snd_timeout_ms_ * 1'000'000;
    }
    return true;
}

long Socket::send_parts(const std::string_view* parts, std::size_t count, std::size_t skip, bool dont_wait) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += parts[i].size();
    if (skip >= total) return 0;
    const std::int64_t deadline = monotonic_ns() + snd_timeout_ms_ * 1'000'000;
    for (;;) {
        long sent = send_once(native(fd_), parts, count, skip);
        if (sent != 0 || dont_wait) return sent;
        std::int64_t left = deadline - monotonic_ns();
        if (left <= 0 || wait_for(native(fd_), POLLWRNORM, ceil_ms(left)) < 0) return -1;
    }
}

bool Socket::peer_gone() {
    char buffer[4096];
    // Bounded, so that a peer streaming junk cannot keep us here.
    for (int round = 0; round < 16; ++round) {
        int n = ::recv(native(fd_), buffer, sizeof buffer, 0);
        if (n > 0) continue;  // discarded: nothing is read after subscribing
        // End of stream is only the peer's half-close: it may still read.
        // A peer that went away entirely resets the connection once written
        // to, which the heartbeat write at the latest finds.
        if (n == 0) return false;
        int err = WSAGetLastError();
        if (err == WSAEINTR) continue;
        return err != WSAEWOULDBLOCK;
    }
    return false;
}

void Socket::shutdown_write() { ::shutdown(native(fd_), SD_SEND); }

void Socket::shutdown_both() { ::shutdown(native(fd_), SD_BOTH); }

}  // namespace korva::coordination::platform
