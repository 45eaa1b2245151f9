// The keyed shared-state store: byte values, member sets and locks per
// namespace, with optional expiry on the monotonic clock, size accounting
// and the three budgets. Every operation either commits completely or leaves
// the store as it was (apart from dropping an entry that had already
// expired). Callers hold the store lock of SharedState around execute() and
// sweep(); the store itself knows nothing about locking or sockets.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "protocol.hpp"

namespace korva::coordination {

namespace limits {
constexpr std::uint64_t kValueSize = 16776064;     // 16 MiB - 1152
constexpr std::uint64_t kUsage = 134217728;        // 128 MiB
constexpr std::size_t kEntries = 100000;
constexpr std::uint64_t kEntryOverhead = 128;
constexpr std::uint64_t kMemberOverhead = 64;
}  // namespace limits

// Monotonic instants in nanoseconds, wide enough for now + 2^64-1 ms.
using Instant = __int128;

// Keyed hashing with a per-process random seed (SipHash-1-3), so that
// clients cannot choose keys that collide.
struct SeededHash {
    std::size_t operator()(std::string_view s) const noexcept;
};

struct MemberSet {
    std::unordered_set<std::string, SeededHash> members;
    std::uint64_t value_size = 0;  // sum of (member length + 64)
};

struct Entry {
    std::variant<std::shared_ptr<const std::string>, MemberSet, std::string> value;  // Bytes, Set, Lock owner
    bool expires = false;
    Instant expiry = 0;
};

class Store {
public:
    // Runs one keyed operation (every op except hello, publish and
    // subscribe). `payload` is taken only by "put".
    Reply execute(std::string_view op, std::string_view ns, const Json& body, std::string& payload, Instant now);
    // Drops expired entries and recomputes usage from scratch.
    void sweep(Instant now);

    std::uint64_t usage() const { return usage_; }
    std::size_t size() const { return map_.size(); }

private:
    using Map = std::unordered_map<std::string, Entry, SeededHash>;

    // The put routine: budget checks, then the replacement. `value_size` is
    // the accounted size of the value alone.
    const char* check_put(Map::iterator existing, std::size_t composite_size, std::uint64_t value_size,
                          std::uint64_t& new_usage) const;
    void erase(Map::iterator it);

    Reply get(Map::iterator it);
    Reply put(const std::string& k, Map::iterator it, const Json& body, std::string& payload, Instant now);
    Reply expire(Map::iterator it, const Json& body, Instant now);
    Reply ttl(Map::iterator it, Instant now);
    Reply increment(const std::string& k, Map::iterator it, const Json& body);
    // The set a key holds (left null for a missing key), then the members a
    // request names, checked in that order; the failure text, or nullptr.
    const char* set_request(Map::iterator it, const Json& body, MemberSet*& set, std::vector<std::string>& requested);
    Reply add_members(const std::string& k, Map::iterator it, const Json& body);
    Reply remove_members(Map::iterator it, const Json& body);
    Reply members(Map::iterator it);
    Reply contains(Map::iterator it, const Json& body);
    Reply acquire_lock(const std::string& k, Map::iterator it, const Json& body, Instant now);
    Reply release_lock(Map::iterator it, const Json& body);

    Map map_;
    std::uint64_t usage_ = 0;
};

// Accounted size of an entry whose composite key has `composite_size` bytes.
std::uint64_t accounted_size(std::size_t composite_size, const Entry& entry);
// Parses decimal integer text (optional sign, one or more digits).
bool parse_decimal_i64(std::string_view text, std::int64_t& out);

}  // namespace korva::coordination
