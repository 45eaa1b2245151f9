// Keyed operations, size accounting, budgets and expiry (see store.hpp).
// Each operation validates its arguments and checks every budget before it
// touches the map, and commits with steps that either cannot fail or have
// the strong guarantee (map emplace, element-wise insert with roll-back), so
// a failure, including an allocation failure, never leaves a half-change.
#include "store.hpp"

#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "platform.hpp"

namespace korva::coordination {

// ---- hashing ----------------------------------------------------------------------

namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipKey {
    std::uint64_t k0 = platform::random_u64();
    std::uint64_t k1 = platform::random_u64();
};

const SipKey& sip_key() {
    static const SipKey key;
    return key;
}

std::uint64_t siphash13(const unsigned char* in, std::size_t len, std::uint64_t k0, std::uint64_t k1) {
    std::uint64_t v0 = 0x736f6d6570736575ULL ^ k0, v1 = 0x646f72616e646f6dULL ^ k1;
    std::uint64_t v2 = 0x6c7967656e657261ULL ^ k0, v3 = 0x7465646279746573ULL ^ k1;
    auto round = [&] {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    };
    std::size_t blocks = len / 8;
    for (std::size_t i = 0; i < blocks; ++i) {
        std::uint64_t m = 0;
        for (int j = 7; j >= 0; --j) m = (m << 8) | in[i * 8 + static_cast<std::size_t>(j)];
        v3 ^= m;
        round();
        v0 ^= m;
    }
    std::uint64_t b = static_cast<std::uint64_t>(len) << 56;
    for (std::size_t j = 0; j < len % 8; ++j) b |= static_cast<std::uint64_t>(in[blocks * 8 + j]) << (8 * j);
    v3 ^= b;
    round();
    v0 ^= b;
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

constexpr Instant kNsPerMs = 1'000'000;
constexpr Instant kNsPerSecond = 1'000'000'000;

}  // namespace

std::size_t SeededHash::operator()(std::string_view s) const noexcept {
    const SipKey& key = sip_key();
    return static_cast<std::size_t>(
        siphash13(reinterpret_cast<const unsigned char*>(s.data()), s.size(), key.k0, key.k1));
}

// ---- accounting -----------------------------------------------------------------------

namespace {
std::uint64_t value_size(const Bytes& v) { return v.data->size(); }
std::uint64_t value_size(const Set& v) { return v.value_size; }
std::uint64_t value_size(const Lock& v) { return v.owner.size(); }
}  // namespace

std::uint64_t accounted_size(std::size_t composite_size, const Entry& entry) {
    std::uint64_t value = std::visit([](const auto& v) { return value_size(v); }, entry.value);
    // The composite key is one length byte, the namespace and the key.
    return (composite_size - 1) + value + limits::kEntryOverhead;
}

bool parse_decimal_i64(std::string_view text, std::int64_t& out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    // Accumulate as a negative number: its range includes INT64_MIN.
    std::int64_t value = 0;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        int digit = c - '0';
        if (value < kMin / 10 || (value == kMin / 10 && -digit < kMin % 10)) return false;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == kMin) return false;
        value = -value;
    }
    out = value;
    return true;
}

// ---- the put routine ---------------------------------------------------------------------

const char* Store::check_put(Map::iterator existing, std::size_t composite_size, std::uint64_t value_size,
                             std::uint64_t& new_usage) const {
    std::uint64_t old = existing != map_.end() ? accounted_size(composite_size, existing->second) : 0;
    if (value_size > limits::kValueSize) return text::kStoreBudget;
    new_usage = usage_ - old + (composite_size - 1) + value_size + limits::kEntryOverhead;
    if (new_usage > limits::kUsage) return text::kStoreBudget;
    if (existing == map_.end() && map_.size() >= limits::kEntries) return text::kStoreBudget;
    return nullptr;
}

void Store::erase(Map::iterator it) {
    usage_ -= accounted_size(it->first.size(), it->second);
    map_.erase(it);
}

// ---- operations -----------------------------------------------------------------------------

Reply Store::execute(Operation op, std::string_view ns, const Json& body, std::string& payload, Instant now) {
    std::string_view key;
    if (const char* err = read_name(body, "key", text::kMissingKey, key)) return Reply::fail(err);
    if (ns.empty() || ns.size() > limits::kNamespace) return Reply::fail(text::kBadVersionOrNamespace);

    std::string& k = key_;  // reused: the lock is held
    k.clear();
    k.push_back(static_cast<char>(ns.size()));
    k.append(ns);
    k.append(key);

    auto it = map_.find(k);
    if (it != map_.end() && it->second.expires && it->second.expiry <= now) {
        erase(it);
        it = map_.end();
    }
    Call call{k, it, body, payload, now};
    return (this->*op)(call);
}

Reply Store::unknown(Call&) { return Reply::fail(text::kUnknownOp); }

Reply Store::get(Call& call) {
    if (call.entry == map_.end()) return Reply::null();
    if (auto* bytes = std::get_if<Bytes>(&call.entry->second.value)) return Reply::binary(bytes->data);
    return Reply::fail(text::kExpectedBytes);
}

Reply Store::put(Call& call) {
    if (body_has(call.body, "value")) return Reply::fail(text::kPutValue);
    std::optional<std::uint64_t> ttl_ms;
    if (const char* err = read_ttl(call.body, ttl_ms)) return Reply::fail(err);
    std::uint64_t new_usage = 0;
    if (const char* err = check_put(call.entry, call.key.size(), call.payload.size(), new_usage)) {
        return Reply::fail(err);
    }

    // The payload buffer becomes the stored value: no copy.
    Entry entry;
    entry.value = Bytes{std::make_shared<const std::string>(std::move(call.payload))};
    entry.expires = ttl_ms.has_value();
    if (ttl_ms) entry.expiry = call.now + static_cast<Instant>(*ttl_ms) * kNsPerMs;
    Reply reply = Reply::boolean(true);
    if (call.entry != map_.end()) {
        if (auto* old = std::get_if<Bytes>(&call.entry->second.value)) reply.retired = std::move(old->data);
        call.entry->second = std::move(entry);
    } else {
        map_.emplace(call.key, std::move(entry));
    }
    usage_ = new_usage;
    return reply;
}

Reply Store::remove(Call& call) {
    if (call.entry == map_.end()) return Reply::integer(0);
    Reply reply = Reply::integer(1);
    if (auto* old = std::get_if<Bytes>(&call.entry->second.value)) reply.retired = old->data;
    erase(call.entry);
    return reply;
}

Reply Store::expire(Call& call) {
    std::optional<std::uint64_t> ttl_ms;
    if (const char* err = read_ttl(call.body, ttl_ms)) return Reply::fail(err);
    if (!ttl_ms) return Reply::fail(text::kExpiryRequired);
    if (call.entry == map_.end()) return Reply::boolean(false);
    call.entry->second.expires = true;
    call.entry->second.expiry = call.now + static_cast<Instant>(*ttl_ms) * kNsPerMs;
    return Reply::boolean(true);
}

Reply Store::ttl(Call& call) {
    if (call.entry == map_.end()) return Reply::integer(-2);
    const Entry& entry = call.entry->second;
    if (!entry.expires) return Reply::integer(-1);
    // At most (2^64-1) ms away, so the seconds fit comfortably in 64 bits.
    return Reply::integer(static_cast<std::int64_t>((entry.expiry - call.now) / kNsPerSecond));
}

Reply Store::increment(Call& call) {
    std::int64_t amount = 0;
    if (const char* err = read_amount(call.body, amount)) return Reply::fail(err);
    std::int64_t current = 0;
    Bytes* bytes = nullptr;
    if (call.entry != map_.end()) {
        bytes = std::get_if<Bytes>(&call.entry->second.value);
        if (bytes == nullptr) return Reply::fail(text::kExpectedBytes);
        if (!parse_decimal_i64(*bytes->data, current)) return Reply::fail(text::kNotInteger);
    }
    std::int64_t next = 0;
    if (__builtin_add_overflow(current, amount, &next)) return Reply::fail(text::kOverflow);

    auto textual = std::make_shared<const std::string>(std::to_string(next));
    std::uint64_t new_usage = 0;
    if (const char* err = check_put(call.entry, call.key.size(), textual->size(), new_usage)) return Reply::fail(err);
    Reply reply = Reply::integer(next);
    if (bytes != nullptr) {
        reply.retired = std::exchange(bytes->data, std::move(textual));  // expiry stays
    } else {
        Entry entry;
        entry.value = Bytes{std::move(textual)};
        map_.emplace(call.key, std::move(entry));
    }
    usage_ = new_usage;
    return reply;
}

const char* Store::set_request(Call& call, Set*& set, std::vector<std::string>& requested) {
    if (call.entry != map_.end()) {
        set = std::get_if<Set>(&call.entry->second.value);
        if (set == nullptr) return text::kExpectedSet;
    }
    return read_members(call.body, requested);
}

Reply Store::add_members(Call& call) {
    Set* set = nullptr;
    std::vector<std::string> requested;
    if (const char* err = set_request(call, set, requested)) return Reply::fail(err);

    // Distinct members not yet present, in request order.
    std::vector<std::string*> fresh;
    std::unordered_set<std::string_view, SeededHash> seen;
    std::uint64_t added_size = 0;
    for (std::string& m : requested) {
        if (set != nullptr && set->members.count(m) != 0) continue;
        if (!seen.insert(m).second) continue;
        fresh.push_back(&m);
        added_size += m.size() + limits::kMemberOverhead;
    }
    if (fresh.empty()) return Reply::integer(0);  // nothing changes; an empty new set is never stored

    std::uint64_t value_size = (set != nullptr ? set->value_size : 0) + added_size;
    std::uint64_t new_usage = 0;
    if (const char* err = check_put(call.entry, call.key.size(), value_size, new_usage)) return Reply::fail(err);

    if (set != nullptr) {
        std::size_t inserted = 0;
        try {
            for (std::string* m : fresh) {
                set->members.insert(*m);  // copied: the roll-back needs the text
                ++inserted;
            }
        } catch (...) {
            // Roll back the members this call added, then report the failure.
            for (std::size_t i = 0; i < inserted; ++i) set->members.erase(*fresh[i]);
            throw;
        }
        set->value_size = value_size;
    } else {
        Entry entry;
        Set built;
        for (std::string* m : fresh) built.members.insert(std::move(*m));
        built.value_size = value_size;
        entry.value = std::move(built);
        map_.emplace(call.key, std::move(entry));
    }
    usage_ = new_usage;
    return Reply::integer(static_cast<std::int64_t>(fresh.size()));
}

Reply Store::remove_members(Call& call) {
    Set* set = nullptr;
    std::vector<std::string> requested;
    if (const char* err = set_request(call, set, requested)) return Reply::fail(err);
    if (set == nullptr) return Reply::integer(0);

    // Only shrinking from here on: no budget can fail and erase cannot throw.
    std::int64_t removed = 0;
    for (const std::string& m : requested) {
        if (set->members.erase(m) != 0) {
            ++removed;
            set->value_size -= m.size() + limits::kMemberOverhead;
            usage_ -= m.size() + limits::kMemberOverhead;
        }
    }
    if (set->members.empty()) erase(call.entry);
    return Reply::integer(removed);
}

Reply Store::members(Call& call) {
    if (call.entry == map_.end()) return Reply::json("[]");
    auto* set = std::get_if<Set>(&call.entry->second.value);
    if (set == nullptr) return Reply::fail(text::kExpectedSet);
    Json array = Json::array();
    for (const std::string& m : set->members) array.push_back(m);
    return Reply::json(dump_json(array));
}

Reply Store::contains(Call& call) {
    std::string member;
    if (const char* err = read_member(call.body, member)) return Reply::fail(err);
    if (call.entry == map_.end()) return Reply::boolean(false);
    auto* set = std::get_if<Set>(&call.entry->second.value);
    if (set == nullptr) return Reply::fail(text::kExpectedSet);
    return Reply::boolean(set->members.count(member) != 0);
}

Reply Store::acquire_lock(Call& call) {
    std::string_view owner;
    if (const char* err = read_owner(call.body, owner)) return Reply::fail(err);
    if (owner.empty() || owner.size() > limits::kOwner) return Reply::fail(text::kLockOwner);
    std::optional<std::uint64_t> ttl_ms;
    if (const char* err = read_ttl(call.body, ttl_ms)) return Reply::fail(err);
    if (!ttl_ms) return Reply::fail(text::kLockTtl);
    if (call.entry != map_.end()) return Reply::boolean(false);
    std::uint64_t new_usage = 0;
    if (const char* err = check_put(call.entry, call.key.size(), owner.size(), new_usage)) return Reply::fail(err);
    Entry entry;
    entry.value = Lock{std::string(owner)};
    entry.expires = true;
    entry.expiry = call.now + static_cast<Instant>(*ttl_ms) * kNsPerMs;
    map_.emplace(call.key, std::move(entry));
    usage_ = new_usage;
    return Reply::boolean(true);
}

Reply Store::release_lock(Call& call) {
    std::string_view owner;
    if (const char* err = read_owner(call.body, owner)) return Reply::fail(err);
    if (call.entry == map_.end()) return Reply::boolean(false);
    auto* held = std::get_if<Lock>(&call.entry->second.value);
    if (held == nullptr || held->owner != owner) return Reply::boolean(false);
    erase(call.entry);
    return Reply::boolean(true);
}

void Store::sweep(Instant now) {
    std::uint64_t usage = 0;
    for (auto it = map_.begin(); it != map_.end();) {
        if (it->second.expires && it->second.expiry <= now) {
            it = map_.erase(it);
        } else {
            usage += accounted_size(it->first.size(), it->second);
            ++it;
        }
    }
    usage_ = usage;
}

}  // namespace korva::coordination
