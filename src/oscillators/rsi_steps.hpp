// Steps of the RSI family shared by the batch functions and their streams
// (Wilder's RSI for rsi, rsi_last and srsi; srsi's windows; RSX; the Laguerre
// RSI; CMO's moves): one copy of each operation order.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/result.hpp"

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
// is neither) and its value from the window's sums of them. T is a double or
// a vector of lanes: the serial loop, the stream and the lane kernel form
// every move and quotient with these same operations.
struct CmoMoves {
    template <class T>
    static T up(T d) {
        return pick(d > 0.0, d, T{});
    }
    template <class T>
    static T down(T d) {
        return pick(d < 0.0, -d, T{});
    }
    template <class T>
    static T value(T su, T sd) {
        const T total = su + sd;
        return pick(total == 0.0, T{}, ((su - sd) * 100.0) / total);
    }
    // The sums moved along: the entering move's change less the leaving one's.
    template <class T>
    static void slide(T& su, T& sd, T in, T gone) {
        su = su + (up(in) - up(gone));
        sd = sd + (down(in) - down(gone));
    }
};

// The slide and the value as a recurrence step, for korva_golden --steps:
// the lane kernel's vector forms of the moves and the quotient against the
// scalar ones on hostile values.
struct CmoSlideStep {
    static constexpr std::size_t kState = 2, kInputs = 2, kOutputs = 1;
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        CmoMoves::slide(s[0], s[1], in[0], in[1]);
        if constexpr (Emit) out[0] = CmoMoves::value(s[0], s[1]);
    }
};

// The NaN-ignoring minimum and maximum of w RSI values, folded from +inf and
// -inf (NaN never passes the comparisons; an all-NaN window gives +inf and
// -inf). RSI values lie in [0, 100] and are never -0.0, so the extremes do
// not depend on the order of the values: two accumulators per side take
// alternate values, each step a compare-and-select with no branch to
// mispredict.
inline void rsi_window_extremes(const double* v, std::size_t w, double& lo, double& hi) {
    double lo0 = kInf, lo1 = kInf, hi0 = -kInf, hi1 = -kInf;
    std::size_t j = 0;
    for (; j + 2 <= w; j += 2) {
        const double a = v[j], b = v[j + 1];
        lo0 = a < lo0 ? a : lo0;
        lo1 = b < lo1 ? b : lo1;
        hi0 = a > hi0 ? a : hi0;
        hi1 = b > hi1 ? b : hi1;
    }
    if (j < w) {
        lo0 = v[j] < lo0 ? v[j] : lo0;
        hi0 = v[j] > hi0 ? v[j] : hi0;
    }
    lo = lo1 < lo0 ? lo1 : lo0;
    hi = hi1 > hi0 ? hi1 : hi0;
}

// srsi's raw stochastic value of the RSI v in its window's range.
inline double stochastic_of(double v, double lo, double hi) { return lo != hi ? ((v - lo) * 100.0) / (hi - lo) : NaN; }

// Sum of v[0 .. len-1], left to right from -0.0 (the host's sum of a list),
// so an all-zero window sums to -0.0 only if every value is -0.0.
inline double list_sum(const double* v, std::size_t len) {
    double s = -0.0;
    for (std::size_t u = 0; u < len; ++u) s = s + v[u];
    return s;
}

// RSX: a restartable counter and two chains of six smoothing stages, of the
// momentum of the scaled price and of its magnitude. Every state is a
// double, the counter and the change flag included: the comparisons mix
// them with the limit exactly as the host did. All start at 0.0.
struct RsxState {
    double sp = 0.0, sp_prev = 0.0, alpha = 0.0, beta = 0.0, lim = 0.0, cnt = 0.0, chg = 0.0;
    double m[6] = {}, a[6] = {};

    // The value at the next position (from position `period` on), x the
    // series value there.
    [[gnu::always_inline]] double next(double x, std::uint64_t period) {
        double num = 0.0, den = 0.0;
        const auto stage = [&](double& st, double input) { st = beta * st + alpha * input; };
        // Six stages, each pair's output 1.5 * first - 0.5 * second.
        const auto chain = [&](double* c, double input) {
            stage(c[0], input);
            stage(c[1], c[0]);
            stage(c[2], 1.5 * c[0] - 0.5 * c[1]);
            stage(c[3], c[2]);
            stage(c[4], 1.5 * c[2] - 0.5 * c[3]);
            stage(c[5], c[4]);
            return 1.5 * c[4] - 0.5 * c[5];
        };
        if (cnt == 0.0) {
            // (Re)start: the smoothing stages keep their values.
            lim = period > 5 ? static_cast<double>(period - 1) : 5.0;
            sp = x * 100.0;
            alpha = 3.0 / (static_cast<double>(period) + 2.0);
            beta = 1.0 - alpha;
            chg = 0.0;
            cnt = 1.0;
        } else {
            cnt = (lim <= cnt ? lim : cnt) + 1.0;
            sp_prev = sp;
            sp = x * 100.0;
            const double mom = sp - sp_prev;
            if (sp != sp_prev && lim >= cnt) chg = 1.0;
            if (lim == cnt && chg == 0.0) cnt = 0.0;  // uses the flag just updated
            num = chain(m, mom);
            den = chain(a, std::fabs(mom));
        }
        // After a restart lim >= 5 > cnt, so the output is exactly 50.
        double v = 50.0;
        if (lim < cnt && den > 1e-10) {
            v = (num / den + 1.0) * 50.0;
            if (v < 0.0) v = 0.0;
            if (v > 100.0) v = 100.0;  // NaN passes both clamps
        }
        return v;
    }
};

// Laguerre RSI: four filter stages of the median price, all starting at the
// first row's price, and the share of upward steps between them.
struct LaguerreRsi {
    double l[4] = {};

    static double price(double high, double low) { return (high + low) * 0.5; }
    void start(double first) { l[0] = l[1] = l[2] = l[3] = first; }
    // The value at the next row (row 0 included, from the started states).
    double next(double a, double g, double price) {
        const double n0 = g * l[0] + a * price;
        const double n1 = g * l[1] + (l[0] - g * n0);
        const double n2 = g * l[2] + (l[1] - g * n1);
        const double n3 = g * l[3] + (l[2] - g * n2);
        l[0] = n0;
        l[1] = n1;
        l[2] = n2;
        l[3] = n3;
        double cu = 0.0, cd = 0.0;
        // A NaN comparison takes the down branch.
        if (n0 >= n1)
            cu = cu + (n0 - n1);
        else
            cd = cd + (n1 - n0);
        if (n1 >= n2)
            cu = cu + (n1 - n2);
        else
            cd = cd + (n2 - n1);
        if (n2 >= n3)
            cu = cu + (n2 - n3);
        else
            cd = cd + (n3 - n2);
        return cu + cd == 0.0 ? 0.0 : cu / (cu + cd);
    }
};

}  // namespace korva::osc
