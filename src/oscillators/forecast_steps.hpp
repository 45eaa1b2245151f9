// Steps of the forecast oscillators, the centre of gravity and the detrended
// price, shared by their batch functions and their streams: one copy of each
// operation order (callers compare results bit for bit).
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"

namespace korva::osc {

// Sums of the in-window positions 0 .. p-1 and of their squares, added in
// order as floats; a stream adds them one position at a time as values
// arrive, so a huge period costs nothing before its window fills.
struct PositionSums {
    double sx = 0.0, sxx = 0.0;
    PositionSums() = default;
    explicit PositionSums(std::uint64_t p) {
        for (std::uint64_t j = 0; j < p; ++j) add(j);
    }
    void add(std::uint64_t j) {
        const double x = static_cast<double>(j);
        sx = sx + x;
        sxx = sxx + x * x;
    }
};

// A value x at position `at` added to a sum of values and to a sum of
// value times position.
inline void add_weighted(double& s, double& w, double x, std::uint64_t at) {
    s = s + x;
    w = w + x * static_cast<double>(at);
}

// fosc: the least-squares line of a window from its sum of values sy and
// its sum of value times in-window position sxy.
struct FoscLine {
    double P, sx, xm, den;
    FoscLine(std::uint64_t p, const PositionSums& ps)
        : P(static_cast<double>(p)), sx(ps.sx), xm(sx / P), den(ps.sxx - sx * xm) {}
    // The oscillator at the window's last value v.
    double value(double v, double sy, double sxy) const {
        const double slope = (sxy - sx * (sy / P)) / den;
        const double forecast = (P - 1.0) * slope + (sy / P - xm * slope);
        return v == 0.0 ? 0.0 : ((v - forecast) * 100.0) / v;
    }
    // A later window, b = l + 1 .. l + p, from the prefix sums through its
    // end (cs, cw) and through l (ls, lw).
    double value_later(double v, double cs, double cw, double ls, double lw, std::uint64_t l) const {
        const double sy = cs - ls;
        return value(v, sy, (cw - lw) - sy * static_cast<double>(l + 1));
    }
    // Windows ending at from .. x.size()-1 of x (from >= p) into out[0 ..];
    // x[0] is at position `origin` of the series, s holds the prefix sums
    // (cs, cw, ls, lw), left at the last window. The batch loop, and a
    // stream's over its kept values and a new chunk.
    template <class V>
    void run(const V& x, std::size_t p, std::size_t from, std::uint64_t origin, double* s, double* out) const {
        double cs = s[0], cw = s[1], ls = s[2], lw = s[3];
        for (std::size_t j = from; j < x.size(); ++j) {
            const std::uint64_t e = origin + j, l = e - p;
            add_weighted(cs, cw, x[j], e);
            add_weighted(ls, lw, x[j - p], l);
            out[j - from] = value_later(x[j], cs, cw, ls, lw, l);
        }
        s[0] = cs;
        s[1] = cw;
        s[2] = ls;
        s[3] = lw;
    }
};

// cfo: the same line from sums over absolute positions, moved along the
// series by the entering and leaving values.
struct CfoLine {
    double P, sx, den, scalar;
    CfoLine(std::uint64_t p, const PositionSums& ps, double c)
        : P(static_cast<double>(p)), sx(ps.sx), den(ps.sxx * P - sx * sx), scalar(c) {}
    // The oscillator at the window ending at e, whose last value is v.
    double value(std::uint64_t e, double v, double sy, double sxy) const {
        const double b = (static_cast<double>(e) - P) + 1.0;  // the window's first position
        const double slope = (((sxy - b * sy) * P) - sx * sy) / den;
        const double forecast = (P - 1.0) * slope + (sy - sx * slope) / P;
        return v == 0.0 ? NaN : (scalar * (v - forecast)) / v;
    }
    // The window moved to end at e: `neu` enters there, `old` leaves from l.
    static void slide(double& sy, double& sxy, double neu, double old, std::uint64_t e, std::uint64_t l) {
        sy = sy + (neu - old);
        sxy = sxy + (neu * static_cast<double>(e) - old * static_cast<double>(l));
    }
    // As FoscLine::run, with the window's sums sy and sxy.
    template <class V>
    void run(const V& x, std::size_t p, std::size_t from, std::uint64_t origin, double& sy, double& sxy,
             double* out) const {
        double a = sy, b = sxy;
        for (std::size_t j = from; j < x.size(); ++j) {
            const std::uint64_t e = origin + j;
            slide(a, b, x[j], x[j - p], e, e - p);
            out[j - from] = value(e, x[j], a, b);
        }
        sy = a;
        sxy = b;
    }
};

// cg: the window's sum l and position-weighted sum o of its p-1 values.
struct CentreOfGravity {
    static void seed(double& l, double& o, double v, std::uint64_t j) {
        l = l + v;
        o = o + static_cast<double>(j) * v;
    }
    // Moved to end at k: t enters there, v leaves from k - p + 1.
    static void slide(double& l, double& o, double t, double v, std::uint64_t k, std::uint64_t p) {
        l = l + (t - v);
        o = o + (t * static_cast<double>(k) - v * static_cast<double>(k - p + 1));
    }
    static double value(std::uint64_t k, double l, double o) {
        const double k1 = static_cast<double>(k) + 1.0;
        return l == 0.0 ? 0.0 : -(k1 * l - o) / l;
    }
    // As FoscLine::run (from >= p - 1), with the window's sums l and o.
    template <class V>
    static void run(const V& x, std::size_t p, std::size_t from, std::uint64_t origin, double& l, double& o,
                    double* out) {
        double a = l, b = o;
        for (std::size_t j = from; j < x.size(); ++j) {
            const std::uint64_t k = origin + j;
            slide(a, b, x[j], x[j - p + 1], k, p);
            out[j - from] = value(k, a, b);
        }
        l = a;
        o = b;
    }
};

// dpo: the running sum of the last p values and the detrended value.
struct Detrended {
    static void slide(double& s, double in, double gone) { s = s + (in - gone); }
    static double value(double lagged, double s, double P) { return lagged - s / P; }
    // Positions from .. x.size()-1 of x (from > p/2 and from >= p) into
    // out[0 ..], the sum s left at the last.
    template <class V>
    static void run(const V& x, std::size_t p, std::size_t from, double& s, double* out) {
        const double P = static_cast<double>(p);
        const std::size_t half = p / 2;
        double r = s;
        for (std::size_t i = from; i < x.size(); ++i) {
            slide(r, x[i], x[i - p]);
            out[i - from] = value(x[i - half - 1], r, P);
        }
        s = r;
    }
};

}  // namespace korva::osc
