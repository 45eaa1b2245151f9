// Momentum oscillators outside the RSI and stochastic families. Results are
// compared bit for bit with the host's earlier code, so every sum and
// recurrence keeps its operation order; the EMA stages are the shared
// first-value recurrence (ma::smooth) seeded with their first input.
#include "other.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "../helpers/errors.hpp"
#include "../helpers/sweeps.hpp"
#include "../moving_averages/kernels.hpp"

namespace korva::osc {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Sums of the in-window positions 0 .. p-1 and of their squares, added in
// order as floats; shared by the two forecast oscillators.
struct PositionSums {
    double sx = 0.0, sxx = 0.0;
    explicit PositionSums(std::uint64_t p) {
        for (std::uint64_t j = 0; j < p; ++j) {
            const double x = static_cast<double>(j);
            sx = sx + x;
            sxx = sxx + x * x;
        }
    }
};

// Ordering of the NaN-ignoring extremes: -0.0 counts below +0.0, as in
// max_num/min_num, so a window's extreme does not depend on fold order.
bool below(double a, double b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); }

typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
typedef long long LaneBits __attribute__((vector_size(4 * sizeof(long long))));

double cci_value(double tp, double mean, double md) { return md == 0.0 ? 0.0 : (tp - mean) / (md * 0.015); }

// CCI of the windows ending at p-1 .. n-1, each window's mean and mean
// deviation summed afresh in index order. Eight windows run side by side,
// each lane its own accumulator, so every window rounds as the plain loop.
__attribute__((target_clones("avx2", "default"))) void cci_windows(const double* tp, std::size_t n,
                                                                  std::uint64_t p, double* out) {
    constexpr std::size_t kBlock = 8;
    const double P = static_cast<double>(p);
    std::size_t i = p - 1;
    for (; i + kBlock <= n; i += kBlock) {
        const double* first = tp + (i + 1 - p);
        Lanes s0 = {}, s1 = {};
        for (std::uint64_t j = 0; j < p; ++j) {
            Lanes v0, v1;
            __builtin_memcpy(&v0, first + j, sizeof v0);
            __builtin_memcpy(&v1, first + j + 4, sizeof v1);
            s0 = s0 + v0;
            s1 = s1 + v1;
        }
        const Lanes m0 = s0 / P, m1 = s1 / P;
        // |v - mean| by clearing the sign bit, as fabs does.
        const LaneBits mask = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL, 0x7fffffffffffffffLL,
                               0x7fffffffffffffffLL};
        Lanes d0 = {}, d1 = {};
        for (std::uint64_t j = 0; j < p; ++j) {
            Lanes v0, v1;
            __builtin_memcpy(&v0, first + j, sizeof v0);
            __builtin_memcpy(&v1, first + j + 4, sizeof v1);
            d0 = d0 + (Lanes)((LaneBits)(v0 - m0) & mask);
            d1 = d1 + (Lanes)((LaneBits)(v1 - m1) & mask);
        }
        d0 = d0 / P;
        d1 = d1 / P;
        for (std::size_t u = 0; u < 4; ++u) {
            out[i + u] = cci_value(tp[i + u], m0[u], d0[u]);
            out[i + 4 + u] = cci_value(tp[i + 4 + u], m1[u], d1[u]);
        }
    }
    for (; i < n; ++i) {
        const std::size_t b = i + 1 - p;
        double s = 0.0;
        for (std::size_t k = b; k <= i; ++k) s = s + tp[k];
        const double mean = s / P;
        double d = 0.0;
        for (std::size_t k = b; k <= i; ++k) d = d + std::fabs(tp[k] - mean);
        out[i] = cci_value(tp[i], mean, d / P);
    }
}

// First position of a window's extreme as a scan of the window keeps it:
// the running extreme moves only to a strictly better value (ties keep the
// earlier position) and NaN never wins. Both trackers below answer, after
// x[k] entered, for the window x[first .. k]; kNone means the window holds
// only NaN.
constexpr std::size_t kNone = static_cast<std::size_t>(-1);
constexpr std::uint64_t kShortWindow = 64;

// Keeps the current first extreme and rescans the window when it leaves.
// While no NaN has been seen, `update_clean` skips the NaN tests: the scan
// starts at the window's first value and only a strictly better one moves it.
// Both updates keep the same state, so a sweep can switch to `update` at the
// first NaN.
template <class Better>
class RescannedFirstExtreme {
public:
    RescannedFirstExtreme(SeriesView x, Better better) : x_(x), better_(better) {}
    std::size_t update_clean(std::size_t first, std::size_t k) {
        if (best_ == kNone || best_ < first) {
            best_ = first;
            value_ = x_[first];
            for (std::size_t j = first + 1; j <= k; ++j) offer_clean(j, x_[j]);
        } else {
            offer_clean(k, x_[k]);
        }
        return best_;
    }
    std::size_t update(std::size_t first, std::size_t k) {
        if (best_ != kNone && best_ < first) {
            best_ = kNone;
            for (std::size_t j = first; j <= k; ++j) offer(j, x_[j]);
        } else {
            offer(k, x_[k]);
        }
        return best_;
    }

private:
    void offer_clean(std::size_t j, double v) {
        if (better_(v, value_)) {
            best_ = j;
            value_ = v;
        }
    }
    void offer(std::size_t j, double v) {
        if (!std::isnan(v) && (best_ == kNone || better_(v, value_))) {
            best_ = j;
            value_ = v;
        }
    }
    SeriesView x_;
    Better better_;
    std::size_t best_ = kNone;
    double value_ = 0.0;
};

// Candidates in a ring of at least window + 1 slots: a value that a later,
// strictly better one beats can never be the first extreme again; equal
// values stay queued behind the earlier one.
template <class Better>
class QueuedFirstExtreme {
public:
    QueuedFirstExtreme(SeriesView x, std::size_t window, Better better) : x_(x), better_(better) {
        std::size_t cap = 1;
        while (cap <= window) cap <<= 1;
        mask_ = cap - 1;
        index_.resize(cap);
        value_.resize(cap);
    }
    std::size_t update(std::size_t first, std::size_t k) {
        const double v = x_[k];
        if (!std::isnan(v)) {
            while (head_ != tail_ && better_(v, value_[(tail_ - 1) & mask_])) --tail_;
            index_[tail_ & mask_] = k;
            value_[tail_ & mask_] = v;
            ++tail_;
        }
        while (head_ != tail_ && index_[head_ & mask_] < first) ++head_;
        return head_ != tail_ ? index_[head_ & mask_] : kNone;
    }

private:
    SeriesView x_;
    Better better_;
    std::size_t mask_ = 0, head_ = 0, tail_ = 0;
    std::vector<std::size_t> index_;
    std::vector<double> value_;
};

// Aroon oscillator over windows of p rows, rows first .. k. A window that
// starts with a NaN keeps position 0 on that side: nothing compares better
// than NaN. Trackers with an `update_clean` run it until the first NaN.
template <class Hi, class Lo, class Value>
void aroon_sweep(SeriesView high, SeriesView low, std::size_t p, double* out, Hi& hi, Lo& lo, Value value) {
    const std::size_t n = high.size();
    std::size_t k = 0;
    if constexpr (requires { hi.update_clean(0, 0); }) {
        for (; k < n; ++k) {
            if (std::isnan(high[k]) || std::isnan(low[k])) break;
            const std::size_t first = k + 1 >= p ? k + 1 - p : 0;
            const std::size_t top = hi.update_clean(first, k), bottom = lo.update_clean(first, k);
            if (k + 1 >= p) out[k] = value(top - first, bottom - first);
        }
    }
    for (; k < n; ++k) {
        const std::size_t first = k + 1 >= p ? k + 1 - p : 0;
        const std::size_t top = hi.update(first, k), bottom = lo.update(first, k);
        if (k + 1 < p) continue;
        const std::size_t jmax = std::isnan(high[first]) ? 0 : top - first;
        const std::size_t jmin = std::isnan(low[first]) ? 0 : bottom - first;
        out[k] = value(jmax, jmin);
    }
}

// The q-th forward difference of d[0 .. n-1] (q < n), one order at a time
// in place: d[i] = d[i+1] - d[i] for each order, so the first n-q values end
// as the result. Every order is a whole pass, O(n*q) in all, so the lanes
// matter for long periods; each element is still one separately rounded
// subtraction of the same two values.
__attribute__((target_clones("avx2", "default"))) void forward_differences(double* d, std::size_t n,
                                                                          std::size_t q) {
    for (std::size_t len = n; len > n - q; --len) {
        std::size_t i = 0;
        // Both operands of a block are loaded before the block is stored, and
        // later blocks read only positions this one does not write.
        for (; i + 8 < len; i += 8) {
            Lanes a0, a1, b0, b1;
            __builtin_memcpy(&a0, d + i, sizeof a0);
            __builtin_memcpy(&a1, d + i + 4, sizeof a1);
            __builtin_memcpy(&b0, d + i + 1, sizeof b0);
            __builtin_memcpy(&b1, d + i + 5, sizeof b1);
            a0 = b0 - a0;
            a1 = b1 - a1;
            __builtin_memcpy(d + i, &a0, sizeof a0);
            __builtin_memcpy(d + i + 4, &a1, sizeof a1);
        }
        for (; i + 1 < len; ++i) d[i] = d[i + 1] - d[i];
    }
}

}  // namespace

Tuple macd(SeriesView source, std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period) {
    const std::size_t n = source.size();
    Series line(n), signal(n), hist(n);
    if (n > 0) {
        const ma::EmaCoefficients cf = ma::ema_coefficients(fast_period), cs = ma::ema_coefficients(slow_period),
                                  cg = ma::ema_coefficients(signal_period);
        with_view(source, [&](const auto& x) {
            double fast = x[0], slow = x[0], sig = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                if (i > 0) {
                    fast = ma::smooth(cf, fast, x[i]);
                    slow = ma::smooth(cs, slow, x[i]);
                }
                const double d = fast - slow;
                // The line shows a missing difference as 0.0 and the signal
                // smooths what the line shows; the histogram keeps the NaN.
                const double m = std::isnan(d) ? 0.0 : d;
                sig = i == 0 ? m : ma::smooth(cg, sig, m);
                line[i] = m;
                signal[i] = sig;
                hist[i] = d - sig;
            }
        });
    }
    return tuple_of(std::move(line), std::move(signal), std::move(hist));
}

Series dti(MatrixView candles, std::uint64_t r, std::uint64_t s, std::uint64_t u) {
    const std::size_t n = candles.rows;
    if (!(r < n && s < n && u < n)) return Series(n, NaN);
    const SeriesView high = candles.column(col::high), low = candles.column(col::low);
    const ma::EmaCoefficients cr = ma::ema_coefficients(r), cs = ma::ema_coefficients(s),
                              cu = ma::ema_coefficients(u);
    Series out(n);
    // Row 0 has no movement: both inputs are 0.0 and so is every stage.
    double e1 = 0.0, e2 = 0.0, e3 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    out[0] = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        const double dh = high[i] - high[i - 1], dl = low[i] - low[i - 1];
        const double up = dh > 0.0 ? dh : 0.0;
        const double dn = dl < 0.0 ? -dl : 0.0;
        const double x = up - dn, xa = std::fabs(up - dn);
        e1 = ma::smooth(cr, e1, x);
        e2 = ma::smooth(cs, e2, e1);
        e3 = ma::smooth(cu, e3, e2);
        a1 = ma::smooth(cr, a1, xa);
        a2 = ma::smooth(cs, a2, a1);
        a3 = ma::smooth(cu, a3, a2);
        out[i] = a3 == 0.0 ? 0.0 : (e3 * 100.0) / a3;
    }
    return out;
}

Series fosc(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period == 0 || period > n) return out;
    const std::size_t p = period;
    const double P = static_cast<double>(p);
    const PositionSums ps(p);
    const double sx = ps.sx, xm = sx / P, den = ps.sxx - sx * xm;
    with_view(source, [&](const auto& x) {
        auto write = [&](std::size_t e, double sy, double sxy) {
            const double slope = (sxy - sx * (sy / P)) / den;
            const double forecast = (P - 1.0) * slope + (sy / P - xm * slope);
            const double v = x[e];
            out[e] = v == 0.0 ? 0.0 : ((v - forecast) * 100.0) / v;
        };
        // Prefix sums of the values and of value x index. The prefix at the
        // window's left edge is rebuilt by a second accumulator with the same
        // additions in the same order, so it is bit-identical to the stored
        // prefix without keeping the whole series of them.
        double cs = 0.0, cw = 0.0;
        for (std::size_t k = 0; k < p; ++k) {
            cs = cs + x[k];
            cw = cw + x[k] * static_cast<double>(k);
        }
        write(p - 1, cs, cw);
        double ls = 0.0, lw = 0.0;
        for (std::size_t l = 0; l + p < n; ++l) {
            const std::size_t e = p + l;
            cs = cs + x[e];
            cw = cw + x[e] * static_cast<double>(e);
            ls = ls + x[l];
            lw = lw + x[l] * static_cast<double>(l);
            const double sy = cs - ls;
            write(e, sy, (cw - lw) - sy * static_cast<double>(l + 1));
        }
    });
    return out;
}

Series dpo(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    // The running mean reads the series as one contiguous block.
    require_plain_slice(source);
    Series out(n, NaN);
    if (period == 0 || period > n) return out;
    const std::size_t p = period, half = p / 2;
    const double P = static_cast<double>(p);
    with_view(source, [&](const auto& x) {
        double s = 0.0;
        for (std::size_t i = 0; i < p; ++i) s = s + x[i];
        for (std::size_t i = p - 1; i < n; ++i) {
            if (i >= p) s = s + (x[i] - x[i - p]);
            if (i >= p + half) out[i] = x[i - half - 1] - s / P;
        }
    });
    return out;
}

Series cci(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series out(n, NaN);
    if (n == 0) return out;
    const SeriesView close = candles.column(col::close), high = candles.column(col::high),
                     low = candles.column(col::low);
    if (period == 0 || period > n) return out;
    std::vector<double> tp(n);
    for (std::size_t i = 0; i < n; ++i) tp[i] = ((high[i] + low[i]) + close[i]) / 3.0;
    cci_windows(tp.data(), n, period, out.data());
    return out;
}

Series cfo(SeriesView source, std::uint64_t period, double scalar) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    if (period == 0 || period > n) return out;
    const std::size_t p = period;
    const double P = static_cast<double>(p);
    const PositionSums ps(p);
    const double sx = ps.sx, den = ps.sxx * P - sx * sx;
    with_view(source, [&](const auto& x) {
        double sy = 0.0, sxy = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            sy = sy + x[j];
            sxy = sxy + x[j] * static_cast<double>(j);
        }
        auto write = [&](std::size_t e) {
            const double b = (static_cast<double>(e) - P) + 1.0;  // the window's first index
            const double slope = (((sxy - b * sy) * P) - sx * sy) / den;
            const double forecast = (P - 1.0) * slope + (sy - sx * slope) / P;
            const double v = x[e];
            out[e] = v == 0.0 ? NaN : (scalar * (v - forecast)) / v;
        };
        write(p - 1);
        for (std::size_t l = 0; l + p < n; ++l) {
            const std::size_t e = p + l;
            const double neu = x[e], old = x[l];
            sy = sy + (neu - old);
            sxy = sxy + (neu * static_cast<double>(e) - old * static_cast<double>(l));
            write(e);
        }
    });
    return out;
}

Series cg(SeriesView source, std::uint64_t period) {
    const std::size_t n = source.size();
    Series out(n, NaN);
    // Computed when 2 <= period and period + 1 < n, written without the
    // addition so that a period near 2^64 cannot wrap.
    if (period < 2 || n < 3 || period > n - 2) return out;
    const std::size_t p = period;
    auto value = [](double k1, double l, double o) { return l == 0.0 ? 0.0 : -(k1 * l - o) / l; };
    with_view(source, [&](const auto& x) {
        // The window at k holds the p-1 values x[k-p+2 .. k]; the first is at k = p+1.
        double l = 0.0, o = 0.0;
        for (std::size_t j = 3; j <= p + 1; ++j) {
            const double v = x[j];
            l = l + v;
            o = o + static_cast<double>(j) * v;
        }
        out[p + 1] = value(static_cast<double>(p + 1) + 1.0, l, o);
        for (std::size_t k = p + 2; k < n; ++k) {
            const double t = x[k], v = x[k - p + 1];
            l = l + (t - v);
            o = o + (t * static_cast<double>(k) - v * static_cast<double>(k - p + 1));
            out[k] = value(static_cast<double>(k) + 1.0, l, o);
        }
    });
    return out;
}

Series aroonosc(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series out(n, NaN);
    if (period == 0 || period > n) return out;
    const SeriesView high = candles.column(col::high), low = candles.column(col::low);
    const double P = static_cast<double>(period);
    const auto divided = [P](std::size_t jmax, std::size_t jmin) {
        return ((static_cast<double>(jmax) - static_cast<double>(jmin)) * 100.0) / P;
    };
    const auto higher = [](double a, double b) { return a > b; };
    const auto lower = [](double a, double b) { return a < b; };
    // Short windows rescan when their extreme leaves (cheap and branch-
    // predictable); long ones keep candidate queues, linear in n whatever
    // the data. Both keep the same first position.
    if (period <= kShortWindow) {
        // Only 2p-1 position differences exist: their values are computed
        // once, with the same operations, instead of a division per row.
        double table[2 * kShortWindow - 1];
        const std::size_t mid = period - 1;
        for (std::size_t d = 0; d < 2 * period - 1; ++d) table[d] = divided(d, mid);
        RescannedFirstExtreme hi(high, higher);
        RescannedFirstExtreme lo(low, lower);
        aroon_sweep(high, low, period, out.data(), hi, lo,
                    [&](std::size_t jmax, std::size_t jmin) { return table[mid + jmax - jmin]; });
    } else {
        QueuedFirstExtreme hi(high, period, higher);
        QueuedFirstExtreme lo(low, period, lower);
        aroon_sweep(high, low, period, out.data(), hi, lo, divided);
    }
    return out;
}

Series mass(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series out(n, 0.0);
    if (n == 0) return out;
    const SeriesView high = candles.column(col::high), low = candles.column(col::low);
    std::vector<double> ratio(n);
    double e1 = 0.0, e2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double rng = high[i] - low[i];
        if (i == 0) {
            e1 = e2 = rng;
        } else {
            e1 = e1 * 0.8 + rng * 0.2;
            e2 = e2 * 0.8 + e1 * 0.2;
        }
        ratio[i] = e2 == 0.0 ? 0.0 : e1 / e2;
    }
    if (period == 0 || period > n) return out;
    fresh_window_sums(ratio.data(), n, period, out.data());
    return out;
}

Series pfe(SeriesView source, std::uint64_t period, std::uint64_t smoothing) {
    // The efficiency compares a move over period-1 steps with its path, so
    // it needs at least one step.
    if (period < 2) throw ValueError("pfe period must be at least 2");
    const std::size_t n = source.size();
    Series out(n, -0.0);  // sign -1 times a raw 0.0 where nothing is computed
    if (n >= period) {
        const std::size_t p = period, q = p - 1;
        const double P = static_cast<double>(p);
        with_view(source, [&](const auto& s) {
            std::vector<double> d(n);
            for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
            forward_differences(d.data(), n, q);
            auto step = [&](std::size_t i) {
                const double dd = s[i + 1] - s[i];
                return std::sqrt(dd * dd + 1.0);
            };
            double path = 0.0;  // path length over the q steps ending at i+q
            for (std::size_t k = 0; k < q; ++k) path = path + step(k);
            for (std::size_t i = 0; i + p <= n; ++i) {
                if (i > 0) {
                    const std::size_t k = i + q - 1;
                    path = (path + step(k)) - step(k - q);
                }
                const double raw =
                    (path == 0.0 || std::isnan(path)) ? 0.0 : (std::sqrt(P * P + d[i] * d[i]) * 100.0) / path;
                out[i + q] = (d[i] > 0.0 ? 1.0 : -1.0) * raw;
            }
        });
    }
    double* y = out.data();
    ma::seeded_recurrence(y, n, ma::ema_coefficients(smoothing), y);
    return out;
}

Tuple fisher(MatrixView candles, std::uint64_t period) {
    const std::size_t n = candles.rows;
    Series fish(n, 0.0), signal(n, 0.0);
    if (n == 0) return tuple_of(std::move(fish), std::move(signal));
    const SeriesView high = candles.column(col::high), low = candles.column(col::low);
    if (period == 0) throw InternalError("fisher period must be at least 1");
    if (period >= n) return tuple_of(std::move(fish), std::move(signal));
    const std::size_t p = period;
    std::vector<double> price(n);
    for (std::size_t i = 0; i < n; ++i) price[i] = (high[i] + low[i]) * 0.5;
    // NaN-ignoring extremes of each window, in linear time whatever the
    // period. Under the order of `below` the extreme value is unique, so the
    // queues give the value a maxNum/minNum fold over the window gives.
    const SeriesView pv{reinterpret_cast<const char*>(price.data()), sizeof(double), n};
    QueuedFirstExtreme highs(pv, p, [](double a, double b) { return below(b, a); });
    QueuedFirstExtreme lows(pv, p, [](double a, double b) { return below(a, b); });
    double v_prev = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t first = k + 1 >= p ? k + 1 - p : 0;
        const std::size_t top = highs.update(first, k), bottom = lows.update(first, k);
        if (k < p) continue;
        const double x = price[k];
        const double hi = top == kNone ? -kInf : price[top];
        const double lo = bottom == kNone ? kInf : price[bottom];
        double v = 0.0;
        if (hi - lo != 0.0) v = v_prev * 0.67 + (((x - lo) / (hi - lo)) + (-0.5)) * 0.66;
        if (v < -0.999) v = -0.999;
        if (v > 0.999) v = 0.999;
        v_prev = v;
        fish[k] = std::log((v + 1.0) / (1.0 - v)) * 0.5 + fish[k - 1] * 0.5;
        signal[k] = fish[k - 1];
    }
    return tuple_of(std::move(fish), std::move(signal));
}

}  // namespace korva::osc
