// Helpers for streams whose long chunks run their batch function's passes
// and then bring the kept state up to date without a step per value.
#pragma once
#include <cstddef>
#include <cstdint>

#include "stream.hpp"

namespace korva::stream {

// How many of `count` new values to push to a Tail of window w that has had
// `before` values pushed, the newest ones, so that it ends exactly as
// pushing all of them one by one leaves it (its buffer, whose length follows
// the push count, is the newest values in order): at most 3w + 1. A Tail's
// length after each push is one more, or w after a full 2w.
inline std::size_t pushes_needed(std::uint64_t w, std::uint64_t before, std::size_t count) {
    if (w == 0) return 0;
    // Its length now, and the pushes left before it is next full (2w),
    // formed without wrapping for any w.
    const std::uint64_t held = before <= w || before - w <= w ? before : w + (before - 2 * w - 1) % (w + 1);
    const std::uint64_t to_full = held <= w ? saturated(w - held, w) : w - (held - w);
    // Past that point the lengths repeat every w + 1 pushes: fewer pushes
    // leave the same length, w + r. Every value it then holds must be one of
    // those pushed (not one held before them): one round more when the
    // first full buffer would keep older ones.
    std::uint64_t pushes = count;
    if (pushes > to_full) {
        const std::uint64_t r = (pushes - to_full - 1) % (w + 1);
        pushes = to_full + 1 + r;
        if (pushes < count && pushes < w + r) pushes += w + 1;
    }
    return static_cast<std::size_t>(pushes);
}

// Those pushes: value(j) is new value j, oldest first.
template <class Value>
void push_newest(Tail& t, std::uint64_t w, std::uint64_t before, std::size_t count, Value&& value) {
    for (std::size_t j = count - pushes_needed(w, before, count); j < count; ++j) t.push(value(j));
}

}  // namespace korva::stream
