// Steps of dm and di that the batch functions and their streams share: one
// copy of each operation order.
#pragma once
#include <cstddef>

#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/smoothing.hpp"
#include "movement.hpp"

namespace korva::trend {

// The seed of dm and di: plain sums of the first p true ranges and
// movements (rows 1 .. p).
struct DirectionalSeed {
    ma::PlainMean range, plus, minus;
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
            out[0] = rec::keep(positive, (s[1] * 100.0) / s[0]);
            out[1] = rec::keep(positive, (s[2] * 100.0) / s[0]);
        }
    }
};

}  // namespace korva::trend
