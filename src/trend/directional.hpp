// Directional movement: raw and smoothed movement, the directional
// indicators, DX/ADX, the average directional rating and the vortex
// indicator. Each smooths differently; callers compare results bit for bit
// with the host's earlier code, so every seed and operation order is fixed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::trend {

Tuple dm(MatrixView candles, std::uint64_t period);
Tuple di(MatrixView candles, std::uint64_t period);
Tuple dx(MatrixView candles, std::uint64_t di_length, std::uint64_t adx_smoothing, bool sequential);
Series adx(MatrixView candles, std::uint64_t period);
Series adxr(MatrixView candles, std::uint64_t period);
// What adxr's passes leave after the last row, for a stream fed the same
// rows: the smoothed sums, and the DX and ADX values of the rows from
// `from` on (copied before the rating overwrites the ADX values; those of
// rows before the first full window are whatever the window sums left).
struct AdxrEnd {
    std::size_t from = static_cast<std::size_t>(-1);
    double s[3] = {};
    std::vector<double> dx, adx;
};
// adxr, filling `end` when 0 < period < rows.
Series adxr_over(MatrixView candles, std::uint64_t period, AdxrEnd& end);
Tuple vi(MatrixView candles, std::uint64_t period, bool sequential);

// The rows the batch recurrences above read, for streams that continue them:
// the true range (when tr is not null) and the directional movements of rows
// [first, b), first >= 1, each against the row before it, into tr, plus and
// minus indexed from `first`. The batch functions' own vector kernel.
void movement_rows(const SeriesView& high, const SeriesView& low, const SeriesView& close, std::size_t first,
                   std::size_t b, double* tr, double* plus, double* minus);
// vi's values of the windows of p rows ending at [e_begin, n), e_begin >= p
// (no window reaches row 0), into plus and minus indexed from e_begin: the
// batch function's own window sums, for streams that continue it.
void vortex_windows(const SeriesView& high, const SeriesView& low, const SeriesView& close, std::size_t e_begin,
                    std::size_t n, std::size_t p, double* plus, double* minus);

}  // namespace korva::trend
