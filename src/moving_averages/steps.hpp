// Steps of the moving averages that the batch functions and their streams
// share: one copy of each operation order.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "../helpers/lanes.hpp"
#include "../helpers/result.hpp"
#include "../helpers/smoothing.hpp"

namespace korva::ma {

// dema's and tema's outputs from their EMA stages; `first` is the value at
// position 0 of a series longer than one, where every stage holds x[0].
struct DemaStep : ChainStep<2, 0> {
    static constexpr std::size_t kOutputs = 1;
    static double first(double x0) { return x0 * 2.0 - x0; }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        ChainStep<2, 0>::step<false>(s, in, out);
        if constexpr (Emit) out[0] = s[0] * 2.0 - s[1];
    }
};

struct TemaStep : ChainStep<3, 0> {
    static constexpr std::size_t kOutputs = 1;
    static double first(double x0) { return x0 + (x0 * 3.0 - x0 * 3.0); }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        ChainStep<3, 0>::step<false>(s, in, out);
        if constexpr (Emit) out[0] = (s[0] * 3.0 - s[1] * 3.0) + s[2];
    }
};

// trix's three EMA stages of log prices; the output is the change of the
// third stage, scaled.
struct TrixStep : ChainStep<3, 0> {
    static constexpr std::size_t kOutputs = 1;
    static double input(double price) { return std::log(price); }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        const T prev = s[2];
        ChainStep<3, 0>::step<false>(s, in, out);
        if constexpr (Emit) out[0] = (s[2] - prev) * 10000.0;
    }
};

// kama: the volatility (the window's sum of absolute changes) runs as a
// sum, the entering change added before the leaving one is subtracted (the
// running sum carries that rounding); the efficiency ratio sets the
// smoothing of each step.
struct KamaStep {
    double fast, slow;
    KamaStep(std::uint64_t fast_length, std::uint64_t slow_length)
        : fast(2.0 / (static_cast<double>(fast_length) + 1.0)), slow(2.0 / (static_cast<double>(slow_length) + 1.0)) {}
    static double enter(double vol, double before, double now) { return vol + std::fabs(now - before); }
    static double leave(double vol, double before, double now) { return vol - std::fabs(now - before); }
    double value(double vol, double prev, double now, double then) const {
        const double er = vol == 0.0 ? 0.0 : std::fabs(now - then) / vol;
        const double s = slow + (fast - slow) * er;
        const double sc = s * s;
        return prev + sc * (now - prev);
    }
    // Positions from .. x.size()-1 of x (from > period) into out[0 ..]: the
    // window's volatility moved along (x[p-1] to x[p] entering, x[p-period-1]
    // to x[p-period] leaving) and the average from `prev`, both left at the
    // last position. The batch loop, and a stream's over its kept values and
    // a new chunk.
    template <class V>
    void run(const V& x, std::size_t period, std::size_t from, double& vol, double& prev, double* out) const {
        double v = vol, pr = prev;  // locals the outputs' stores cannot alias
        for (std::size_t p = from; p < x.size(); ++p) {
            v = leave(enter(v, x[p - 1], x[p]), x[p - period - 1], x[p - period]);
            out[p - from] = pr = value(v, pr, x[p], x[p - period]);
        }
        vol = v;
        prev = pr;
    }
};

// t3's six EMA stages and its weighting of the last four; `first` is its
// value at position 0, where every stage holds the first price.
struct T3Step : ChainStep<6, 0> {
    static constexpr std::size_t kOutputs = 1;
    double c4, c3, c2b, cube;
    T3Step(std::uint64_t period, double v) : ChainStep<6, 0>{ema_coefficients(period)} {
        const double c2 = v * v * 3.0;
        cube = v * (v * v);
        c4 = c2 + (cube + (v * 3.0 + 1.0));
        c3 = ((v * v) * -6.0 - v * 3.0) - cube * 3.0;
        c2b = c2 + cube * 3.0;
    }
    double first(double y0) const { return c4 * y0 + (c3 * y0 + (c2b * y0 - cube * y0)); }
    template <bool Emit, class T>
    void step(T* s, const T* in, T* out) const {
        ChainStep<6, 0>::step<false>(s, in, out);
        if constexpr (Emit) out[0] = c4 * s[2] + (c3 * s[3] + (c2b * s[4] - cube * s[5]));
    }
};

// zlema's lag-compensated input: the price plus its change over the lag.
inline double zlema_input(double now, double lagged) { return now + (now - lagged); }

// zlema's EMA at positions from .. x.size()-1 of x (from > lag) into
// out[0 ..], from `e`, which is left at the last.
template <class V>
void zlema_run(const V& x, std::size_t lag, std::size_t from, const EmaCoefficients& c, double& e, double* out) {
    double v = e;
    for (std::size_t i = from; i < x.size(); ++i) out[i - from] = v = smooth(c, v, zlema_input(x[i], x[i - lag]));
    e = v;
}

// vwma's running totals of price x volume and of volume. Window sums are
// differences of running totals, not re-summed windows: they carry the
// totals' rounding, as the host's cumulative sums did.
struct VwmaTotals {
    double price_volume = 0.0, volume = 0.0;
    // Totals after row i (row 0 starts them with its own values).
    void add(double c, double vo, bool first) {
        if (first) {
            price_volume = c * vo;
            volume = vo;
        } else {
            next(c, vo);
        }
    }
    // Totals after a row other than row 0: the loops peel row 0 so that
    // no select lands in the chain of additions.
    void next(double c, double vo) {
        price_volume = price_volume + c * vo;
        volume = volume + vo;
    }
    static double value(double num, double den) {
        return den == 0.0 ? std::numeric_limits<double>::quiet_NaN() : num / den;
    }
    // Rows from .. close.size()-1 (from > p) into out[0 ..]: the leading
    // totals take row i and the trailing ones row i - p. The batch loop, and
    // a stream's over its kept rows and a new chunk.
    template <class C, class V>
    static void run(const C& close, const V& volume, std::size_t p, std::size_t from, VwmaTotals& lead,
                    VwmaTotals& trail, double* out) {
        VwmaTotals a = lead, b = trail;  // locals the outputs' stores cannot alias
        for (std::size_t i = from; i < close.size(); ++i) {
            a.next(close[i], volume[i]);
            b.next(close[i - p], volume[i - p]);
            out[i - from] = value(a.price_volume - b.price_volume, a.volume - b.volume);
        }
        lead = a;
        trail = b;
    }
};

// jma: the adaptive average, its detrended part and the phase-shifted
// correction, each a smoothing of the one before; the output adds the
// correction to the previous output. The state starts at 0.0, the output at
// the first value.
struct JmaStep {
    struct State {
        double ma1 = 0.0, det0 = 0.0, det1 = 0.0, out = 0.0;
    };
    double phase_ratio, alpha, beta, one_a, one_b, one_a_sq, alpha_sq;
    JmaStep(std::uint64_t period, double phase, std::uint64_t power) {
        phase_ratio = phase < -100.0 ? 0.5 : phase > 100.0 ? 2.5 : phase / 100.0 + 1.5;
        const double b = (static_cast<double>(period) - 1.0) * 0.45;
        beta = b / (b + 2.0);
        // Only the low 32 bits of the exponent count, read as a signed integer.
        const auto e = static_cast<std::int32_t>(static_cast<std::uint32_t>(power & 0xffffffffu));
        alpha = std::pow(beta, static_cast<double>(e));
        one_a = 1.0 - alpha;
        one_b = 1.0 - beta;
        one_a_sq = one_a * one_a;
        alpha_sq = alpha * alpha;
    }
    double next(State& s, double v) const {
        s.ma1 = one_a * v + alpha * s.ma1;
        s.det0 = one_b * (v - s.ma1) + beta * s.det0;
        s.det1 = one_a_sq * ((phase_ratio * s.det0 + s.ma1) - s.out) + alpha_sq * s.det1;
        return s.out = s.det1 + s.out;
    }
};

// hwma: level, velocity and acceleration, each blended with its own factor;
// the first value steps from the level x[0] too.
struct HwmaStep {
    struct State {
        double f = 0.0, vel = 0.0, acc = 0.0;
    };
    double na, nb, nc, one_na, one_nb, one_nc;
    HwmaStep(double a, double b, double c) : na(a), nb(b), nc(c), one_na(1.0 - a), one_nb(1.0 - b), one_nc(1.0 - c) {}
    double next(State& s, double v) const {
        const double f1 = na * v + one_na * ((s.vel + s.f) + s.acc * 0.5);
        const double v1 = one_nb * (s.vel + s.acc) + nb * (f1 - s.f);
        const double a1 = one_nc * s.acc + nc * (v1 - s.vel);
        s = {f1, v1, a1};
        return (f1 + v1) + a1 * 0.5;
    }
};

// mwdx's smoothing: f = 2 / ((2 / factor - 1) + 1), not simplified to
// `factor` (the round trip changes the bits), in the EMA step.
inline EmaCoefficients mwdx_coefficients(double factor) {
    const double f = 2.0 / ((2.0 / factor - 1.0) + 1.0);
    return {f, 1.0 - f};
}

// mcginley_dynamic: the step shrinks by the fourth power of the price's
// ratio to the average, never by less than 1.
struct McGinleyStep {
    double kp;
    McGinleyStep(std::uint64_t period, double k) : kp(k * static_cast<double>(period)) {}
    double next(double md, double v) const {
        const double r = v / md;
        const double prod = kp * ((r * r) * (r * r));
        const double den = prod > 1.0 ? prod : 1.0;  // a NaN product gives 1.0
        return md + (v - md) / den;
    }
};

// maaq: the noise (the window's sum of absolute changes) slides by the
// difference of the entering and the leaving change, formed first, then
// added; the efficiency ratio sets the smoothing.
struct MaaqStep {
    double fast_sc, slow_sc;
    MaaqStep(std::uint64_t fast_period, std::uint64_t slow_period)
        : fast_sc(2.0 / (static_cast<double>(fast_period) + 1.0)),
          slow_sc(2.0 / (static_cast<double>(slow_period) + 1.0)) {}
    static double change(double before, double now) { return std::fabs(now - before); }
    static double slide(double noise, double entering, double leaving) { return noise + (entering - leaving); }
    double value(double noise, double prev, double now, double then) const {
        const double er = noise == 0.0 ? 0.0 : std::fabs(now - then) / noise;
        const double t = slow_sc + fast_sc * er;
        return prev + (t * t) * (now - prev);
    }
    // As KamaStep::run, with the noise of the last `period` changes.
    template <class V>
    void run(const V& x, std::size_t period, std::size_t from, double& noise, double& prev, double* out) const {
        double nz = noise, pr = prev;
        for (std::size_t p = from; p < x.size(); ++p) {
            nz = slide(nz, change(x[p - 1], x[p]), change(x[p - period - 1], x[p - period]));
            out[p - from] = pr = value(nz, pr, x[p], x[p - period]);
        }
        noise = nz;
        prev = pr;
    }
};

// The failure of a clamp to an empty or NaN range (defined with frama).
[[noreturn]] void empty_clamp_range(double lo, double hi);

// Clamp that keeps a NaN value as NaN; a NaN or inverted range fails.
inline double clamped(double v, double lo, double hi) {
    if (!(lo <= hi)) empty_clamp_range(lo, hi);
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

// frama: the fractal dimension of the w bars before a bar, from the ranges
// of their older and recent halves, sets the bar's smoothing. w is even.
struct FramaStep {
    std::uint64_t w, half;
    double w0, lw, inv_half, inv_w, dsc, dfc;
    FramaStep(std::uint64_t even_window, std::uint64_t fc, std::uint64_t sc)
        : w(even_window),
          half(even_window / 2),
          w0(2.0 / (static_cast<double>(sc) + 1.0)),
          lw(std::log(w0)),
          inv_half(1.0 / static_cast<double>(half)),
          inv_w(1.0 / static_cast<double>(w)),
          dsc(static_cast<double>(sc)),
          dfc(static_cast<double>(fc)) {}
    // The dimension over high and low at first .. first + w - 1, or `dim`
    // (the previous bar's) where a range is not positive. NaN never compares
    // greater or smaller, so it is skipped.
    template <class V>
    double dimension(const V& high, const V& low, std::size_t first, double dim) const {
        const auto mid = first + static_cast<std::size_t>(half), end = first + static_cast<std::size_t>(w);
        double h1 = -kInf, l1 = kInf, h2 = -kInf, l2 = kInf;
        for (std::size_t j = first; j < mid; ++j) {
            if (high[j] > h1) h1 = high[j];
            if (low[j] < l1) l1 = low[j];
        }
        for (std::size_t j = mid; j < end; ++j) {
            if (high[j] > h2) h2 = high[j];
            if (low[j] < l2) l2 = low[j];
        }
        const double n2 = inv_half * (h2 - l2);
        const double n1 = inv_half * (h1 - l1);
        const double n3 = inv_w * ((h1 > h2 ? h1 : h2) - (l1 < l2 ? l1 : l2));
        if (n2 > 0.0 && n1 > 0.0 && n3 > 0.0) return (std::log(n2 + n1) - std::log(n3)) / 0.6931471805599453;
        return dim;
    }
    // The bar's smoothing for dimension `dim`; fails when sc = 0 leaves the
    // clamp no range.
    double alpha(double dim) const {
        const double a = clamped(std::exp(lw * (dim - 1.0)), 0.1, 1.0);
        const double old_n = (2.0 - a) / a;
        double t = old_n - 1.0;
        t = t / (dsc - 1.0);
        t = (dsc - dfc) * t;
        t = t + dfc;
        t = t + 1.0;
        return clamped(2.0 / t, w0, 1.0);
    }
    // Fails as alpha() does, before any bar is computed.
    void check() const { clamped(1.0, w0, 1.0); }
    // Each per-bar blend is the EMA step with that bar's alpha: products and
    // the sum commute exactly, so the bits match the host's order.
    static double blend(double alpha, double prev, double close) { return smooth({alpha, 1.0 - alpha}, prev, close); }
};

// vidya: the smoothing is alpha times the absolute momentum oscillator of
// the last m changes, or times the population standard deviation of the
// last `length` values; the blend is the EMA step with that factor.
struct VidyaStep {
    double alpha;
    explicit VidyaStep(std::uint64_t length) : alpha(2.0 / (static_cast<double>(length) + 1.0)) {}
    // First index of the window of at most m values that ends at i.
    static std::size_t window_start(std::size_t i, std::uint64_t m) { return i + 1 > m ? i + 1 - m : 0; }
    static void tally(double d, double& up, double& down) {
        if (d < 0.0) {
            down = down - d;
        } else {
            up = up + d;  // zero, positive and NaN differences alike
        }
    }
    // The sums of a window that starts at 0: the first change counts as 0.0.
    static void start(double& up, double& down) {
        up = down = 0.0;
        tally(0.0, up, down);
    }
    // The sums of the changes into x[first .. last], afresh (first >= 1).
    template <class V>
    static void tally_changes(const V& x, std::size_t first, std::size_t last, double& up, double& down) {
        up = down = 0.0;
        for (std::size_t l = first; l <= last; ++l) tally(x[l] - x[l - 1], up, down);
    }
    double momentum_factor(double up, double down) const {
        const double cmo = up + down == 0.0 ? 0.0 : std::fabs(((up - down) / (up + down)) * 100.0) / 100.0;
        return alpha * cmo;
    }
    // Over x[first .. end - 1], summed afresh from -0.0.
    template <class V>
    double volatility_factor(const V& x, std::size_t first, std::size_t end) const {
        const double c = static_cast<double>(end - first);
        double sum = -0.0;
        for (std::size_t j = first; j < end; ++j) sum = sum + x[j];
        const double mean = sum / c;
        double var = -0.0;
        for (std::size_t j = first; j < end; ++j) var = var + (x[j] - mean) * (x[j] - mean);
        return alpha * std::sqrt(var / c);  // population standard deviation
    }
    static double blend(double k, double prev, double v) { return smooth({k, 1.0 - k}, prev, v); }
};

// vwap's anchor period length in seconds. ASCII upper-casing is the full
// Unicode mapping as far as these names go: the non-ASCII characters that
// upper-case to ASCII give only F, I, L, S and T. Anything unknown is a day.
inline std::int64_t anchor_seconds(std::string_view anchor) {
    std::string name(anchor);
    for (char& ch : name) {
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    }
    if (name == "H") return 3600;
    if (name == "4H") return 14400;
    if (name == "12H") return 43200;
    if (name == "M") return 60;
    if (name == "W") return 604800;  // seven days from the epoch, a Thursday
    if (name == "MN") return 2592000;  // thirty days from the epoch, not calendar months
    return 86400;
}

// vwap: the running totals of volume and volume x price since the period
// began. Periods are told apart only by comparing neighbours' keys, so a
// return to an earlier period starts a new accumulation.
struct VwapStep {
    std::int64_t seconds;
    explicit VwapStep(std::string_view anchor) : seconds(anchor_seconds(anchor)) {}
    // Float to integer as the host converted it: truncation toward zero,
    // saturating at the ends of the range, NaN as 0. Timestamps out of range
    // must not be undefined behaviour.
    static std::int64_t saturating_int(double v) {
        if (std::isnan(v)) return 0;
        if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
        if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(v);
    }
    std::int64_t key(double ts) const { return saturating_int(ts / 1000.0) / seconds; }
    // The totals after a row (restarted first when its period is new); the
    // value is NaN while no volume has come.
    static double add(double& cum_v, double& cum_pv, bool restart, double volume, double price) {
        if (restart) cum_v = cum_pv = 0.0;
        cum_v = cum_v + volume;
        cum_pv = cum_pv + volume * price;
        return cum_v != 0.0 ? cum_pv / cum_v : NaN;
    }
};

}  // namespace korva::ma
