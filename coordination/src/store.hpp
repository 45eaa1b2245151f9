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
constexpr std::uint64_t kValueSize = 16776064;  // 16 MiB - 1152
constexpr std::uint64_t kUsage = 134217728;  // 128 MiB
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

}  // namespace korva::coordination

#if defined(__GLIBCXX__)
// libstdc++ keeps each node's hash beside it only for hashes it does not
// consider fast, and it considers every user hash fast. Without the stored
// hash a lookup rehashes the key of the node after each one it visits (to
// see where its bucket ends), which for SipHash doubles the cost of a find.
template <>
struct std::__is_fast_hash<korva::coordination::SeededHash> : std::false_type {};
#endif

namespace korva::coordination {

// The three kinds of value an entry holds.
struct Bytes {
    // Shared, never modified in place: a reader keeps its reference after the
    // store lock is released while a writer replaces the entry.
    std::shared_ptr<const std::string> data;
};

struct Set {
    std::unordered_set<std::string, SeededHash> members;  // lower-case hexadecimal text
    std::uint64_t value_size = 0;  // sum of (member length + 64)
};

struct Lock {
    std::string owner;  // 1 to 128 bytes
};

struct Entry {
    std::variant<Bytes, Set, Lock> value;
    bool expires = false;
    Instant expiry = 0;
};

class Store {
    using Map = std::unordered_map<std::string, Entry, SeededHash>;

public:
    // One keyed operation's view of the store after the common steps: the
    // composite key and the live entry under it (end() when there is none or
    // it had expired and was dropped).
    struct Call {
        const std::string& key;
        Map::iterator entry;
        const Json& body;
        std::string& payload;
        Instant now;
    };
    using Operation = Reply (Store::*)(Call&);

    // Runs one keyed operation: reads `key` from the body, drops the entry
    // under it if it has expired, then runs `op`. `payload` is taken only by
    // "put".
    Reply execute(Operation op, std::string_view ns, const Json& body, std::string& payload, Instant now);
    // Drops expired entries and recomputes usage from scratch.
    void sweep(Instant now);

    std::uint64_t usage() const { return usage_; }
    std::size_t size() const { return map_.size(); }

    // The keyed operations, each run through execute().
    Reply get(Call& call);
    Reply put(Call& call);
    Reply remove(Call& call);  // "delete"
    Reply expire(Call& call);
    Reply ttl(Call& call);
    Reply increment(Call& call);
    Reply add_members(Call& call);
    Reply remove_members(Call& call);
    Reply members(Call& call);
    Reply contains(Call& call);
    Reply acquire_lock(Call& call);
    Reply release_lock(Call& call);
    // Any other operation name, answered once the key has been checked.
    Reply unknown(Call& call);

private:
    // The put routine: budget checks, then the replacement. `value_size` is
    // the accounted size of the value alone.
    const char* check_put(Map::iterator existing, std::size_t composite_size, std::uint64_t value_size,
                          std::uint64_t& new_usage) const;
    void erase(Map::iterator it);
    // The set a key holds (left null for a missing key), then the members a
    // request names, checked in that order; the failure text, or nullptr.
    const char* set_request(Call& call, Set*& set, std::vector<std::string>& requested);

    Map map_;
    std::uint64_t usage_ = 0;
    std::string key_;  // the composite key of the operation in progress
};

// Accounted size of an entry whose composite key has `composite_size` bytes.
std::uint64_t accounted_size(std::size_t composite_size, const Entry& entry);
// Parses decimal integer text (optional sign, one or more digits).
bool parse_decimal_i64(std::string_view text, std::int64_t& out);

}  // namespace korva::coordination
