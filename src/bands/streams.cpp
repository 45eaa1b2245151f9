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
#include "../helpers/stream_batch.hpp"
#include "../helpers/stream_deque.hpp"
#include "../helpers/true_range.hpp"
#include "../helpers/window_extreme.hpp"
#include "atr_bollinger.hpp"
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
    void feed(const double* const* in, std::size_t k, double* const* out) override { run(in[0], in[1], in[2], k, out); }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        run(m.column(col::close), m.column(col::high), m.column(col::low), m.rows, out);
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(seed_.sum);
        f.num(avg_);
        f.num(close_);
    }

private:
    // The rows (arrays, or the candle matrix's columns in place).
    template <class X>
    void run(const X& close, const X& high, const X& low, std::size_t k, double* const* out) {
        std::size_t i = 0;
        for (; i < k && n_ < p_; ++i, ++n_) {
            seed_.add(n_ == 0 ? true_range_first(stream::rows_from(high, i), stream::rows_from(low, i))
                              : true_range_step(high[i], low[i], close_));
            close_ = close[i];
            out[0][i] = NaN;
            if (n_ + 1 == p_) out[0][i] = avg_ = seed_.mean(p_);
        }
        if (i == k) return;
        // The rest: the batch function's true ranges (row 0 of the chunk
        // against the close kept from before it) and recurrence.
        const auto c = stream::chunk_view(close, k), h = stream::chunk_view(high, k), l = stream::chunk_view(low, k);
        const auto ranges = [&](std::size_t a, std::size_t b, double* const* bufs) __attribute__((always_inline)) {
            std::size_t first = a;
            if (a == 0) {
                bufs[0][0] = true_range_step(high[0], low[0], close_);
                first = 1;
            }
            if (first < b) true_ranges(h, l, c, first, b, bufs[0] + (first - a));
        };
        double* o[1] = {out[0]};
        rec::run_blocked(step_, ranges, o, i, k, &avg_);
        close_ = close[k - 1];
        n_ += k - i;
    }

    std::uint64_t p_;
    AtrStep<1> step_;
    PlainMean seed_;
    double avg_ = 0.0, close_ = 0.0;
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
        // Rows whose leaving value is in the chunk one by one; the rest
        // continue bollinger_bands' own loop (its bands run several windows
        // at a time).
        const std::size_t scalar = Width || p_ == 0 || k <= p_ ? k : static_cast<std::size_t>(p_);
        for (std::size_t i = 0; i < scalar; ++i, ++this->n_) {
            next(w_, in[0][i], out, i);
            tail_.push(in[0][i]);
        }
        if constexpr (!Width) {
            if (scalar == k) return;
            const ContiguousView<double> x{in[0], k};
            w_.slide(x[scalar - p_], x[scalar]);
            bands_over(x, w_, scalar, k, p_, up_, dn_, out[0], out[1], out[2]);
            stream::push_newest(tail_, k - scalar, [&](std::size_t j) { return x[scalar + j]; });
            this->n_ += k - scalar;
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
        exits(in[1], in[2], k, out);
    }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        if (!known_) return false;
        atr_.feed_rows(m, out);
        exits(m.column(col::high), m.column(col::low), m.rows, out);
        return true;
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
    // The exits from the window extremes of the rows (arrays, or the candle
    // matrix's columns in place), out[0] holding their ATR.
    template <class X>
    void exits(const X& high, const X& low, std::size_t k, double* const* out) {
        // Windows that reach back before the chunk one by one through the
        // deque; those inside it by the batch function's rolling extreme.
        const std::uint64_t n0 = n_;
        const std::size_t one_by_one = p_ == 0 || k < p_ ? k : static_cast<std::size_t>(p_ - 1);
        for (std::size_t i = 0; i < one_by_one; ++i, ++n_) {
            if (long_) {
                hi_.add(n_, high[i]);
                if (n_ + 1 >= p_) out[0][i] = exit(hi_.value(), out[0][i]);
            } else {
                lo_.add(n_, low[i]);
                if (n_ + 1 >= p_) out[0][i] = exit(lo_.value(), out[0][i]);
            }
        }
        if (one_by_one == k) return;
        const std::size_t p = static_cast<std::size_t>(p_);
        double* const o = out[0];
        if (long_) {
            window_extreme<KeepMax>(stream::chunk_view(high, k), p,
                                    [&](std::size_t i, double hi) { o[i] = exit(hi, o[i]); });
        } else {
            window_extreme<KeepMin>(stream::chunk_view(low, k), p,
                                    [&](std::size_t i, double lo) { o[i] = exit(lo, o[i]); });
        }
        // A deque holds what the window's rows alone decide (a row leaves it
        // from the back only for a later one): built again from the last p.
        if (long_) {
            hi_ = stream::StreamExtreme<KeepMax>(p_);
            for (std::size_t j = k - p; j < k; ++j) hi_.add(n0 + j, high[j]);
        } else {
            lo_ = stream::StreamExtreme<KeepMin>(p_);
            for (std::size_t j = k - p; j < k; ++j) lo_.add(n0 + j, low[j]);
        }
        n_ = n0 + k;
    }
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
        // One by one while a window reaches back before the chunk or the
        // drift ATR is seeding; then the batch function's loops.
        const std::uint64_t n0 = n_;
        const bool long_chunk = p_ > 0 && k > p_;
        if (long_chunk) a_buf_.resize(k);  // the drift ATR values, for the window sums
        std::size_t i = 0;
        for (; i < k && (p_ == 0 || i < p_ || n_ < d_); ++i, ++n_) {
            if (p_ > 0) {
                hi_.add(n_, high[i]);
                lo_.add(n_, low[i]);
            }
            const auto range = [&] { return hi_.value() - lo_.value(); };
            out[0][i] = next(close_, seed_, a_, sum_, first_, close[i], high[i], low[i], range);
            if (p_ > 0) atrs_.push(a_);
            if (long_chunk) a_buf_[i] = a_;
        }
        if (i < k) feed_long(close, high, low, i, k, n0, out[0]);
        if (a_buf_.capacity() > 4096) a_buf_.release();
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

    // Rows [i0, k) of a chunk, i0 >= p: drift ATR, the windows' ranges by the
    // batch function's rolling extremes (into out first, as there) and the
    // window sums. The deques hold what the last p rows alone decide (a row
    // leaves one from the back only for a later one): built again from them.
    void feed_long(const double* close, const double* high, const double* low, std::size_t i0, std::size_t k,
                   std::uint64_t n0, double* out) {
        const std::size_t p = static_cast<std::size_t>(p_);
        double* const a = a_buf_.data();
        // Locals, which the stores cannot change.
        const EmaCoefficients c = c_;
        const bool raw = d_ == 1;
        const double scalar = scalar_, log_p = log_p_;
        double v = a_;
        for (std::size_t i = i0; i < k; ++i) {
            const double tr = true_range_step(high[i], low[i], close[i - 1]);
            a[i] = v = raw ? tr : smooth(c, v, tr);
        }
        window_high_low(ContiguousView<double>{high, k}, ContiguousView<double>{low, k}, p,
                        [&](std::size_t i, double hh, double ll) {
                            if (i >= i0) out[i] = hh - ll;
                        });
        ChopSum s = sum_;
        for (std::size_t i = i0; i < k; ++i) {
            s.add(a[i]);
            s.drop(a[i - p]);
            out[i] = choppiness(s.s, out[i], scalar, log_p);
        }
        sum_ = s;
        a_ = v;
        close_ = close[k - 1];
        stream::push_newest(atrs_, k - i0, [&](std::size_t j) { return a[i0 + j]; });
        hi_ = stream::StreamExtreme<KeepMax>(p_);
        lo_ = stream::StreamExtreme<KeepMin>(p_);
        for (std::size_t i = k - p; i < k; ++i) {
            hi_.add(n0 + i, high[i]);
            lo_.add(n0 + i, low[i]);
        }
        n_ = n0 + k;
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
    stream::Scratch a_buf_;  // of one call: the chunk's drift ATR values
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
