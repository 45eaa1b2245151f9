// Steps of Wilder's RSI that rsi, rsi_last, srsi and the rsi stream share:
// one copy of each operation order.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "../helpers/recurrence_lanes.hpp"

namespace korva::osc {

// One Wilder update of the loss and gain averages by a price difference d:
// multiply by Q, add the move, divide by P. The loss move is |d| unless
// d > 0, so a NaN difference lands in the loss; the gain move is d when
// d > 0, else +0.0 (NaN and -0.0 included). The moves are picked by masks,
// not branches: the sign of a price change is a coin toss the branch
// predictor cannot learn. T is a double or a vector of lanes.
template <class T>
inline void wilder_update(T& loss, T& gain, T d, double P, double Q) {
    const auto rising = d > 0.0;
    loss = (Q * loss + drop(rising, magnitude(d))) / P;
    gain = (Q * gain + keep(rising, d)) / P;
}

// The RSI of the averages. A not-equal test: a NaN loss gives NaN, only an
// exact zero gives 100 (the division by a zero loss is computed and then
// discarded by the pick).
template <class T>
inline T rsi_value(T gain, T loss) {
    return pick(loss != 0.0, 100.0 - 100.0 / (gain / loss + 1.0), splat<T>(100.0));
}

// Wilder's average gain and average loss over the differences of s.
class WilderRsi {
public:
    // Seed over the first p differences (requires p < s.size()): the loss
    // and gain sums, averaged. Adding the +0.0 move of the other side leaves
    // a sum unchanged (it is never -0.0), so both sums take every step.
    template <class V>
    WilderRsi(const V& s, std::uint64_t p) : WilderRsi(p) {
        for (std::size_t i = 1; i <= p; ++i) seed(s[i] - s[i - 1]);
        finish();
    }
    // Before the seed's differences are added one by one (then finish()).
    explicit WilderRsi(std::uint64_t p) : P_(static_cast<double>(p)), Q_(P_ + (-1.0)) {}
    void seed(double d) {
        const bool rising = d > 0.0;
        loss_ = loss_ + drop(rising, std::fabs(d));
        gain_ = gain_ + keep(rising, d);
    }
    void restore(double loss, double gain) {
        loss_ = loss;
        gain_ = gain;
    }
    void finish() {
        loss_ = loss_ / P_;
        gain_ = gain_ / P_;
    }

    void update(double d) { wilder_update(loss_, gain_, d, P_, Q_); }
    double value() const { return rsi_value(gain_, loss_); }
    double P() const { return P_; }
    double Q() const { return Q_; }
    double loss() const { return loss_; }
    double gain() const { return gain_; }

private:
    double P_, Q_;
    double loss_ = 0.0, gain_ = 0.0;
};

// The same recurrence as a lane recurrence over prices: the state is both
// averages and the previous price (the next step reads all three); Q outputs
// (1: the RSI value, 0: none, for rsi_last).
template <std::size_t Q>
struct RsiStep {
    static constexpr std::size_t kState = 3, kInputs = 1, kOutputs = Q;
    static constexpr int kStages = 1;
    double P, Qf;

    double contraction() const { return Qf / P; }
    template <class T>
    void guess(T* s, const T* in) const {
        s[0] = splat<T>(0.0);
        s[1] = splat<T>(0.0);
        s[2] = in[0];
    }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        const T d = in[0] - s[2];
        s[2] = in[0];
        wilder_update(s[0], s[1], d, P, Qf);
        if constexpr (Emit) out[0] = rsi_value(s[1], s[0]);
    }
};

// CMO's up and down moves of a price difference (a zero or NaN difference
// is neither) and its value from the window's sums of them.
struct CmoMoves {
    static double up(double d) { return d > 0 ? d : 0.0; }
    static double down(double d) { return d < 0 ? -d : 0.0; }
    static double value(double su, double sd) { return su + sd == 0.0 ? 0.0 : ((su - sd) * 100.0) / (su + sd); }
    // The sums moved along: the entering move's change less the leaving one's.
    static void slide(double& su, double& sd, double in, double gone) {
        su = su + (up(in) - up(gone));
        sd = sd + (down(in) - down(gone));
    }
};

}  // namespace korva::osc
