// Streams of ATR, the Bollinger bands and the channels: the state of the
// batch functions, advanced with their steps (steps.hpp,
// helpers/true_range.hpp, helpers/stream_deque.hpp).
#pragma GCC diagnostic ignored "-Wpsabi"  // wide vectors stay inside inlined code
#include "streams.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <vector>

#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/result.hpp"
#include "../helpers/stream_deque.hpp"
#include "../helpers/true_range.hpp"
#include "steps.hpp"

namespace korva::bands::streams {
namespace {

using stream::Fields;
using stream::KernelOf;
using stream::Tail;

// ATR: the plain mean of the first `period` true ranges seeds the
// incremental Wilder step; the state is the average and the previous close.
class Atr : public KernelOf<Atr> {
public:
    explicit Atr(std::uint64_t period) : p_(period), step_{1.0 / static_cast<double>(period)} {}
    void admit(std::uint64_t n) const override {
        if (p_ == 0) zero_period(static_cast<std::size_t>(n));
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *close = in[0], *high = in[1], *low = in[2];
        std::size_t i = 0;
        for (; i < k && n_ < p_; ++i, ++n_) {
            seed_.add(n_ == 0 ? true_range_first(high + i, low + i) : true_range_step(high[i], low[i], close_));
            close_ = close[i];
            out[0][i] = NaN;
            if (n_ + 1 == p_) out[0][i] = avg_ = seed_.mean(p_);
        }
        if (i == k) return;
        // The rest: true ranges first, then the recurrence over them.
        ranges_.resize(k - i);
        ranges_[0] = true_range_step(high[i], low[i], close_);
        for (std::size_t j = i + 1; j < k; ++j) ranges_[j - i] = true_range_step(high[j], low[j], close[j - 1]);
        const double* tr[1] = {ranges_.data()};
        double* o[1] = {out[0] + i};
        rec::run(step_, tr, o, 0, k - i, &avg_);
        close_ = close[k - 1];
        n_ += k - i;
        if (ranges_.capacity() > 4096) ranges_.release();
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(seed_.sum);
        f.num(avg_);
        f.num(close_);
    }

private:
    std::uint64_t p_;
    AtrStep<1> step_;
    PlainMean seed_;
    double avg_ = 0.0, close_ = 0.0;
    stream::Scratch ranges_;  // of one call
};

// Bollinger bands (Width: their relative width): the window's running sum
// and sum of squares, and the window whose leaving values they subtract.
template <bool Width>
class Bollinger : public KernelOf<Bollinger<Width>> {
public:
    Bollinger(std::uint64_t p, double devup, double devdn) : p_(p), up_(devup), dn_(devdn), tail_(p) {}
    void admit(std::uint64_t n) const override {
        if (p_ == 0) zero_period(static_cast<std::size_t>(n));
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++this->n_) {
            next(w_, in[0][i], out, i);
            tail_.push(in[0][i]);
        }
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<stream::Kernel>&) const override {
        WindowMoments w = w_;
        next(w, in[0][0], out, 0);
    }
    void fields(Fields& f) override {
        f.count(this->n_);
        f.num(w_.s);
        f.num(w_.q);
        tail_.fields(f, this->n_);
    }

private:
    // Row n_'s values, out[q][i], v entering `w` (the window not yet moved on).
    void next(WindowMoments& w, double v, double* const* out, std::size_t i) const {
        const std::uint64_t n = this->n_;
        const double pd = static_cast<double>(p_);
        if (n < p_) {
            w.add(v);
        } else {
            w.slide(tail_.back(static_cast<std::size_t>(p_ - 1)), v);
        }
        if (Width) {
            out[0][i] = n + 1 >= p_ ? band_width(w.s, w.q, pd, up_) : NaN;
        } else if (n + 1 >= p_) {
            bands_at(w.s, w.q, pd, up_, dn_, out[0] + i, out[1] + i, out[2] + i);
        } else {
            out[0][i] = out[1][i] = out[2][i] = NaN;
        }
    }
    std::uint64_t p_;
    double up_, dn_;
    WindowMoments w_;
    Tail tail_;
};

// Chandelier exit: the ATR stream above and the rolling extreme of the
// highs (long) or lows (short); a direction other than those shows NaN.
class Chande : public KernelOf<Chande> {
public:
    Chande(std::uint64_t period, double mult, std::string_view direction)
        : p_(period),
          mult_(mult),
          long_(direction == "long"),
          known_(long_ || direction == "short"),
          atr_(period),
          hi_(period),
          lo_(period) {}
    void admit(std::uint64_t n) const override { atr_.admit(n); }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (!known_) {
            std::fill_n(out[0], k, NaN);
            n_ += k;
            return;
        }
        atr_.feed(in, k, out);  // NaN before the first full window
        const double *high = in[1], *low = in[2];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            if (long_) {
                hi_.add(n_, high[i]);
                if (n_ + 1 >= p_) out[0][i] = exit(hi_.value(), out[0][i]);
            } else {
                lo_.add(n_, low[i]);
                if (n_ + 1 >= p_) out[0][i] = exit(lo_.value(), out[0][i]);
            }
        }
    }
    // The ATR's one row goes through its own peek (a copy of its few
    // scalars); the extreme is read without moving the window.
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>& scratch) const override {
        if (!known_) {
            out[0][0] = NaN;
            return;
        }
        atr_.peek(in, out, scratch);
        if (n_ + 1 < p_) return;
        out[0][0] = exit(long_ ? hi_.peek(n_, in[1][0]) : lo_.peek(n_, in[2][0]), out[0][0]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        if (!known_) return;
        atr_.fields(f);
        if (atr_.fed() != n_) throw ValueError("invalid stream state");
        if (long_) {
            hi_.fields(f, n_);
        } else {
            lo_.fields(f, n_);
        }
    }

private:
    // The exit at the window's extreme high (long) or low (short).
    double exit(double extreme, double atr) const { return long_ ? extreme - (mult_ * atr) : extreme + (mult_ * atr); }
    std::uint64_t p_;
    double mult_;
    bool long_, known_;
    Atr atr_;
    stream::StreamExtreme<KeepMax> hi_;
    stream::StreamExtreme<KeepMin> lo_;
};

// Choppiness index: the drift ATR's recurrence, its running window sum and
// the window it subtracts from, the first window's folds, and the rolling
// extremes of the later windows.
class Chop : public KernelOf<Chop> {
public:
    Chop(std::uint64_t period, double scalar, std::uint64_t drift)
        : p_(period),
          d_(drift),
          scalar_(scalar),
          log_p_(std::log10(static_cast<double>(period))),
          c_(wilder_coefficients(drift)),
          atrs_(period),
          hi_(period),
          lo_(period) {}
    void admit(std::uint64_t n) const override {
        if (n >= p_) check_drift(d_, static_cast<std::size_t>(n));
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *close = in[0], *high = in[1], *low = in[2];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            if (p_ > 0) {
                hi_.add(n_, high[i]);
                lo_.add(n_, low[i]);
            }
            const auto range = [&] { return hi_.value() - lo_.value(); };
            out[0][i] = next(close_, seed_, a_, sum_, first_, close[i], high[i], low[i], range);
            if (p_ > 0) atrs_.push(a_);
        }
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        const double high = in[1][0], low = in[2][0];
        double close = close_, a = a_;
        PlainMean seed = seed_;
        ChopSum sum = sum_;
        FirstRange first = first_;
        const auto range = [&] { return hi_.peek(n_, high) - lo_.peek(n_, low); };
        out[0][0] = next(close, seed, a, sum, first, in[0][0], high, low, range);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(close_);
        f.num(seed_.sum);
        f.num(a_);
        f.num(sum_.s);
        f.num(first_.hi);
        f.num(first_.lo);
        if (p_ == 0) return;
        atrs_.fields(f, n_);
        hi_.fields(f, n_);
        lo_.fields(f, n_);
    }

private:
    // Row n_'s value, the scalars moving on; `range()` is the window's range
    // of highs and lows with this row in (the ATRs kept not yet moved on).
    template <class Range>
    double next(double& prev_close, PlainMean& seed, double& a, ChopSum& sum, FirstRange& first, double close,
                double high, double low, Range range) const {
        const double tr = n_ == 0 ? true_range_first(&high, &low) : true_range_step(high, low, prev_close);
        prev_close = close;
        if (d_ == 1) {
            a = tr;
        } else if (n_ < d_) {
            seed.add(tr);
            a = n_ + 1 == d_ ? seed.mean(d_) : NaN;
        } else {
            a = smooth(c_, a, tr);
        }
        if (p_ == 0) return NaN;  // an empty window's sum is never positive
        sum.add(a);
        if (n_ < p_) {
            first.add(high, low);
            return n_ + 1 == p_ ? choppiness(sum.s, first.hi - first.lo, scalar_, log_p_) : NaN;
        }
        sum.drop(atrs_.back(static_cast<std::size_t>(p_ - 1)));
        return choppiness(sum.s, range(), scalar_, log_p_);
    }
    std::uint64_t p_, d_;
    double scalar_, log_p_;
    EmaCoefficients c_;
    PlainMean seed_;
    double close_ = 0.0, a_ = NaN;
    ChopSum sum_;
    FirstRange first_;
    Tail atrs_;
    stream::StreamExtreme<KeepMax> hi_;
    stream::StreamExtreme<KeepMin> lo_;
};

}  // namespace

std::unique_ptr<stream::Kernel> chande(std::uint64_t period, double mult, std::string_view direction) {
    return std::make_unique<Chande>(period, mult, direction);
}
std::unique_ptr<stream::Kernel> chop(std::uint64_t period, double scalar, std::uint64_t drift) {
    return std::make_unique<Chop>(period, scalar, drift);
}
std::unique_ptr<stream::Kernel> atr(std::uint64_t period) { return std::make_unique<Atr>(period); }
std::unique_ptr<stream::Kernel> bollinger_bands(std::uint64_t period, double devup, double devdn) {
    return std::make_unique<Bollinger<false>>(period, devup, devdn);
}
std::unique_ptr<stream::Kernel> bollinger_bands_width(std::uint64_t period, double mult) {
    return std::make_unique<Bollinger<true>>(period, mult, 0.0);
}

}  // namespace korva::bands::streams
