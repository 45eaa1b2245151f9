// Conversions between SocketAddress and the BSD socket structures, which the
// POSIX sockets and Winsock 2 share. Only the platform files include this,
// after their own system headers; the rest of the coordinator never sees a
// system type.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform.hpp"

namespace korva::coordination::platform::detail {

inline bool ipv6_from_text(std::string_view text, std::uint8_t out[16]) {
    if (text.empty() || text.size() > 45) return false;
    char buffer[64];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return inet_pton(AF_INET6, buffer, out) == 1;
}

// "127.0.0.1:6381", or "[::1]:6381" with "%scope" inside the brackets when
// the address has one.
inline std::string address_text(const SocketAddress& address) {
    char buffer[INET6_ADDRSTRLEN] = {};
    std::string text;
    if (!address.v6) {
        inet_ntop(AF_INET, address.ip, buffer, sizeof buffer);
        text.append(buffer);
    } else {
        inet_ntop(AF_INET6, address.ip, buffer, sizeof buffer);
        text.push_back('[');
        text.append(buffer);
        if (address.scope_id != 0) {
            text.push_back('%');
            text.append(std::to_string(address.scope_id));
        }
        text.push_back(']');
    }
    text.push_back(':');
    text.append(std::to_string(address.port));
    return text;
}

// Fills `storage` and returns the length of the structure used.
inline int to_sockaddr(const SocketAddress& a, sockaddr_storage& storage) {
    std::memset(&storage, 0, sizeof storage);
    if (!a.v6) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(a.port);
        std::memcpy(&sin->sin_addr, a.ip, 4);
        return sizeof(sockaddr_in);
    }
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(a.port);
    sin6->sin6_scope_id = a.scope_id;
    std::memcpy(&sin6->sin6_addr, a.ip, 16);
    return sizeof(sockaddr_in6);
}

inline SocketAddress from_sockaddr(const sockaddr_storage& storage) {
    SocketAddress out{};
    if (storage.ss_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        out.v6 = true;
        out.port = ntohs(sin6->sin6_port);
        out.scope_id = sin6->sin6_scope_id;
        std::memcpy(out.ip, &sin6->sin6_addr, 16);
    } else {
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&storage);
        out.port = ntohs(sin->sin_port);
        std::memcpy(out.ip, &sin->sin_addr, 4);
    }
    return out;
}

}  // namespace korva::coordination::platform::detail
