// The `sequential` flag of the candle-based averages: the whole series, or a
// length-1 array holding its last element. It stays an array (not a float)
// because callers index the result either way; an empty series stays empty.
#pragma once
#include "result.hpp"

namespace korva {

inline Series whole_or_last(Series all, bool sequential) {
    if (sequential || all.size() == 0) return all;
    Series last(1);
    last[0] = all[all.size() - 1];
    return last;
}

}  // namespace korva
