// Steps of dm and di that the batch functions and their streams share: one
// copy of each operation order.
#pragma once
#include <cmath>
#include <cstddef>
#include <limits>

#include "../helpers/lanes.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/smoothing.hpp"
#include "movement.hpp"

namespace korva::trend {

// The seed of dm and di: plain sums of the first p true ranges and
// movements (rows 1 .. p).
struct DirectionalSeed {
    PlainMean range, plus, minus;
    void add(double tr, Movement m) {
        range.add(tr);
        plus.add(m.plus);
        minus.add(m.minus);
    }
    // di at the seed row. The seed stays a sum while the recurrence averages:
    // the mixed scaling is what callers' stored results were computed with.
    void di(double& p, double& m) const {
        if (range.sum > 0.0) {
            p = (100.0 * plus.sum) / range.sum;
            m = (100.0 * minus.sum) / range.sum;
        } else {
            p = 0.0;
            m = 0.0;
        }
    }
};

// dm: the two sums decayed by x - x/p, then the new movement added.
struct DmStep {
    static constexpr std::size_t kState = 2, kInputs = 2, kOutputs = 2;
    static constexpr int kStages = 1;
    double pd;
    double contraction() const { return 1.0 - 1.0 / pd; }
    template <class T>
    void guess(T* s, const T* in) const {
        s[0] = in[0];
        s[1] = in[1];
    }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        s[0] = (s[0] - s[0] / pd) + in[0];
        s[1] = (s[1] - s[1] / pd) + in[1];
        if constexpr (Emit) {
            out[0] = s[0];
            out[1] = s[1];
        }
    }
};

// di: the three averages in the weighted form (x * (p - 1) + v) / p, then
// the indicators, 0.0 where the smoothed range is not positive.
struct DiStep {
    static constexpr std::size_t kState = 3, kInputs = 3, kOutputs = 2;
    static constexpr int kStages = 1;
    double w, pd;
    double contraction() const { return w / pd; }
    template <class T>
    void guess(T* s, const T* in) const {
        KORVA_UNROLL
        for (std::size_t k = 0; k < 3; ++k) s[k] = in[k];
    }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        s[0] = (s[0] * w + in[0]) / pd;
        s[1] = (s[1] * w + in[1]) / pd;
        s[2] = (s[2] * w + in[2]) / pd;
        if constexpr (Emit) {
            const auto positive = s[0] > 0.0;
            out[0] = keep(positive, (s[1] * 100.0) / s[0]);
            out[1] = keep(positive, (s[2] * 100.0) / s[0]);
        }
    }
};

// Where DX is defined: the smoothed range and the indicator sum both
// non-zero (NaN counts as non-zero), as one comparison on a vector: the
// sum is replaced by zero where the range is zero.
template <class T>
inline auto nonzero_sum(T tr, T sum) {
    return pick(tr != 0.0, sum, splat<T>(0.0)) != 0.0;
}

// adx after its seed: the decayed sums x - x/p plus the new row, DX from
// them, and ADX in the weighted form (DX + prev * (p - 1)) / p.
struct AdxStep {
    static constexpr std::size_t kState = 4, kInputs = 3, kOutputs = 1;
    static constexpr int kStages = 2;
    double pd, w;
    double contraction() const { return w / pd; }
    template <class T>
    void guess(T* s, const T* in) const {
        KORVA_UNROLL
        for (std::size_t k = 0; k < 3; ++k) s[k] = in[k];
        s[3] = splat<T>(0.0);
    }
    // The serial loop is bound by its divisions: divide_both halves them on
    // a single row.
    template <class T>
    static T dx_of(T tr, T plus, T minus) {
        T pdi, mdi;
        divide_both(plus * 100.0, minus * 100.0, tr, tr, pdi, mdi);
        const T sum = mdi + pdi;
        return keep(nonzero_sum(tr, sum), (magnitude(pdi - mdi) * 100.0) / sum);
    }
    template <class T>
    void advance(T* s, const T* in) const {
        T d1, d2;
        divide_both(s[1], s[2], pd, pd, d1, d2);
        s[0] = s[0] - s[0] / pd;
        s[1] = s[1] - d1;
        s[2] = s[2] - d2;
        KORVA_UNROLL
        for (std::size_t k = 0; k < 3; ++k) s[k] = in[k] + s[k];
    }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        advance(s, in);
        s[3] = (dx_of(s[0], s[1], s[2]) + s[3] * w) / pd;
        if constexpr (Emit) out[0] = s[3];
    }
};

// adx's seed rows: the sums of TR, +DM and -DM (decayed by x - x/p once
// the first p rows are in) and DX from them. The plus and minus sums share
// each vector operation (two lanes, the same per-lane operations): the loop
// is bound by its divisions.
struct AdxSeed {
    double pd;
    double tr = 0.0;
    Pair dm_sums = {0.0, 0.0};

    explicit AdxSeed(double p) : pd(p) {}
    void advance(double range, Movement m, bool decay) {
        if (decay) {
            tr = tr - tr / pd;
            dm_sums = dm_sums - dm_sums / Pair{pd, pd};
        }
        tr = range + tr;
        dm_sums = Pair{m.plus, m.minus} + dm_sums;
    }
    double dx_now() const {
        if (tr == 0.0) return 0.0;
        const Pair di = (dm_sums * 100.0) / Pair{tr, tr};
        const double pdi = di[0], mdi = di[1];
        const double s = mdi + pdi;
        return s == 0.0 ? 0.0 : (std::fabs(pdi - mdi) * 100.0) / s;
    }
};

// adxr's smoothing: x - x/p decay with the new row added, then DX (divide
// first, then scale), 0.0 where the smoothed range is zero.
struct AdxrStep {
    static constexpr std::size_t kState = 3, kInputs = 3, kOutputs = 1;
    static constexpr int kStages = 1;
    double pd;
    double contraction() const { return 1.0 - 1.0 / pd; }
    template <class T>
    void guess(T* s, const T* in) const {
        KORVA_UNROLL
        for (std::size_t k = 0; k < 3; ++k) s[k] = in[k];
    }
    template <class T>
    static T dx_of(T tr, T plus, T minus) {
        const T pdi = (plus / tr) * 100.0, mdi = (minus / tr) * 100.0;
        const T sum = pdi + mdi;
        return keep(nonzero_sum(tr, sum), (magnitude(pdi - mdi) / sum) * 100.0);
    }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        KORVA_UNROLL
        for (std::size_t k = 0; k < 3; ++k) s[k] = in[k] + (s[k] - s[k] / pd);
        if constexpr (Emit) out[0] = dx_of(s[0], s[1], s[2]);
    }
    // The rating of the ADX now and p rows before; NaN unless both are numbers.
    static double rating(double now, double before) {
        return !std::isnan(now) && !std::isnan(before) ? (now + before) * 0.5 : NaN;
    }
};

// The vortex movements of a row: |high - previous low| and |low - previous
// high|. T is a double or a vector of lanes.
template <class T>
inline void vortex_moves(T high, T low, T prev_high, T prev_low, T& plus, T& minus) {
    plus = magnitude(high - prev_low);
    minus = magnitude(low - prev_high);
}

// A vortex indicator from its window sums: NaN where the summed range is
// zero (NaN counts as non-zero).
template <class T>
inline T vortex_ratio(T sum, T range) {
    return pick(range != 0.0, sum / range, splat<T>(std::numeric_limits<double>::quiet_NaN()));
}

}  // namespace korva::trend
