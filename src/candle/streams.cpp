// Streams of the candle-shaped series: the batch functions' running values,
// advanced with their steps (steps.hpp, helpers/numpy_folds.hpp).
#include "streams.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "../helpers/numpy_folds.hpp"
#include "../helpers/result.hpp"
#include "../helpers/stream_batch.hpp"
#include "candle.hpp"
#include "steps.hpp"

namespace korva::candle::streams {
namespace {

using stream::Fields;
using stream::KernelOf;
using stream::Tail;

// Heikin-Ashi: each candle from the previous raw open and close.
class HeikinAshiCandles : public KernelOf<HeikinAshiCandles> {
public:
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *open = in[0], *close = in[1], *high = in[2], *low = in[3];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            if (n_ == 0) {
                for (std::size_t q = 0; q < 4; ++q) out[q][i] = NaN;
            } else {
                const HeikinAshi ha = heikin_ashi_row(prev_[0], prev_[1], open[i], close[i], high[i], low[i]);
                out[0][i] = ha.open;
                out[1][i] = ha.close;
                out[2][i] = ha.high;
                out[3][i] = ha.low;
            }
            prev_[0] = open[i];
            prev_[1] = close[i];
        }
    }
    // On a fresh stream the batch function over the rows, read in place,
    // gives the result; the last row's open and close are all it keeps.
    bool feed_whole(const double* const*, const MatrixView* rows, std::size_t k, Value& result) override {
        if (n_ != 0 || !rows || k == 0) return false;
        result = candle::heikin_ashi_candles(*rows);
        prev_[0] = rows->column(col::open)[k - 1];
        prev_[1] = rows->column(col::close)[k - 1];
        n_ = k;
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(prev_[0]);
        f.num(prev_[1]);
    }

private:
    double prev_[2] = {};  // open and close of the previous row
};

// The running mean of a window of w values, as the batch running_mean
// gives it at each new position (NaN before the first full window).
class StreamMean {
public:
    StreamMean() = default;
    explicit StreamMean(std::uint64_t w) : w_(w), tail_(w) {}
    // Value number `at` (from 0) of the series.
    double push(std::uint64_t at, double v) {
        const double mean = next(s_, at, v);
        tail_.push(v);
        return mean;
    }
    // What push gives, and the sum it leaves, the window untouched.
    double peek(std::uint64_t at, double v, double& sum) const {
        RunningWindowSum s = s_;
        const double mean = next(s, at, v);
        sum = s.s;
        return mean;
    }
    double sum() const { return s_.s; }
    // The running sum, and `count` values kept without being summed
    // (value(j), oldest first), for a caller that moves the sum along over a
    // chunk itself.
    RunningWindowSum& sums() { return s_; }
    template <class Value>
    void keep(std::size_t count, Value&& value) {
        stream::push_newest(tail_, count, value);
    }
    // The means of positions [a, k) of a chunk whose values v[] reach w back
    // inside it (a >= w), by the batch function's loop.
    void slide_over(const double* v, std::size_t a, std::size_t k, double* out) {
        if (w_ == 0) {
            std::fill(out + a, out + k, NaN);
            return;
        }
        running_mean_slide(v, a, k, w_, s_, out);
        keep(k - a, [&](std::size_t j) { return v[a + j]; });
    }
    void fields(Fields& f, std::uint64_t fed) {
        f.num(s_.s);
        tail_.fields(f, fed);
    }

private:
    // The mean with value number `at` entering s (the window not yet moved on).
    double next(RunningWindowSum& s, std::uint64_t at, double v) const {
        if (w_ == 0) return NaN;
        if (at < w_) {
            s.add(v);
        } else {
            s.slide(tail_.back(static_cast<std::size_t>(w_ - 1)), v);
        }
        return at + 1 >= w_ ? s.s / static_cast<double>(w_) : NaN;
    }
    std::uint64_t w_ = 0;
    RunningWindowSum s_;
    Tail tail_;
};

// QStick: the running sum of close - open over the window, scaled by the
// reciprocal of the period; 0.0 before the first full window.
class Qstick : public KernelOf<Qstick> {
public:
    explicit Qstick(std::uint64_t period) : p_(period), inv_(1.0 / static_cast<double>(period)), sum_(period) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override { run(in[0], in[1], k, out); }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        run(m.column(col::open), m.column(col::close), m.rows, out);
        return true;
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double sum;
        sum_.peek(n_, in[1][0] - in[0][0], sum);
        out[0][0] = value(sum);
    }
    void fields(Fields& f) override {
        f.count(n_);
        sum_.fields(f, n_);
    }

private:
    // The rows (arrays, or the candle matrix's columns in place).
    template <class X>
    void run(const X& open, const X& close, std::size_t k, double* const* out) {
        // Rows whose leaving value is in the chunk continue the batch loop.
        const std::size_t one_by_one = p_ == 0 || k <= p_ ? k : static_cast<std::size_t>(p_);
        for (std::size_t i = 0; i < one_by_one; ++i, ++n_) {
            sum_.push(n_, close[i] - open[i]);
            out[0][i] = value(sum_.sum());
        }
        if (one_by_one == k) return;
        const std::size_t p = static_cast<std::size_t>(p_);
        qstick_slide(stream::chunk_view(open, k), stream::chunk_view(close, k), p, k, p, inv_, sum_.sums(), out[0]);
        sum_.keep(k - p, [&](std::size_t j) { return close[p + j] - open[p + j]; });
        n_ += k - p;
    }
    // Row n_'s value from the window's sum.
    double value(double sum) const { return p_ > 0 && n_ + 1 >= p_ ? inv_ * sum : 0.0; }
    std::uint64_t p_;
    double inv_;
    StreamMean sum_;
};

// emd: the band-pass filter's last two values and prices, the carried peak
// and valley, and the running means of the three.
class Emd : public KernelOf<Emd> {
public:
    Emd(std::uint64_t period, double delta, double fraction)
        : middle_window_(stream::saturated(period, period)),
          filter_(period, delta),
          fraction_(fraction),
          middle_(stream::saturated(period, period)),
          upper_(kBandWindow),
          lower_(kBandWindow) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *high = in[0], *low = in[1];
        // A chunk longer than the windows keeps its band-pass values and
        // extremes, and its rows past the windows' reach continue the batch
        // loops over them.
        const std::uint64_t reach = std::max<std::uint64_t>(middle_window_, kBandWindow);
        const bool whole = k > reach;
        const std::size_t one_by_one = whole ? static_cast<std::size_t>(reach) : k;
        if (whole) buf_.resize(3 * k);
        double* const bps = whole ? buf_.data() : nullptr;
        double* const peaks = whole ? bps + k : nullptr;
        double* const valleys = whole ? bps + 2 * k : nullptr;
        for (std::size_t i = 0; i < one_by_one; ++i, ++n_) {
            const Row r = row(high[i], low[i]);
            bands(*this, r, out, i, [&](StreamMean& m, double v) { return m.push(n_, v); });
            ext_ = r.ext;
            price_[1] = price_[0];
            price_[0] = r.price;
            bp_[1] = bp_[0];
            bp_[0] = r.bp;
            if (whole) {
                bps[i] = r.bp;
                peaks[i] = r.ext.peak;
                valleys[i] = r.ext.valley;
            }
        }
        if (!whole) return;
        const std::size_t a = one_by_one;
        // n_ > 2 here: the filter's recurrence and the extremes' steps.
        EmdExtremes ext = ext_;
        for (std::size_t i = a; i < k; ++i) {
            const double p2 = EmdFilter::price(high[i - 2], low[i - 2]);
            bps[i] = filter_.step(EmdFilter::price(high[i], low[i]), p2, bps[i - 1], bps[i - 2]);
            ext.step(bps[i - 2], bps[i - 1], bps[i]);
            peaks[i] = ext.peak;
            valleys[i] = ext.valley;
        }
        ext_ = ext;
        middle_.slide_over(bps, a, k, out[1]);
        upper_.slide_over(peaks, a, k, out[0]);
        lower_.slide_over(valleys, a, k, out[2]);
        for (std::size_t i = a; i < k; ++i) {
            out[0][i] = fraction_ * out[0][i];
            out[2][i] = fraction_ * out[2][i];
        }
        price_[1] = EmdFilter::price(high[k - 2], low[k - 2]);
        price_[0] = EmdFilter::price(high[k - 1], low[k - 1]);
        bp_[1] = bps[k - 2];
        bp_[0] = bps[k - 1];
        n_ += k - a;
        if (buf_.capacity() > 4096) buf_.release();
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        bands(*this, row(in[0][0], in[1][0]), out, 0, [&](const StreamMean& m, double v) {
            double sum;
            return m.peek(n_, v, sum);
        });
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double& v : price_) f.num(v);
        for (double& v : bp_) f.num(v);
        f.num(ext_.peak);
        f.num(ext_.valley);
        middle_.fields(f, n_);
        upper_.fields(f, n_);
        lower_.fields(f, n_);
    }

private:
    // Row n_'s price, band-pass value and carried peak and valley.
    struct Row {
        double price, bp;
        EmdExtremes ext;
    };
    Row row(double high, double low) const {
        Row r{EmdFilter::price(high, low), 0.0, ext_};
        if (n_ == 2) r.bp = filter_.first(r.price, price_[1]);
        if (n_ > 2) r.bp = filter_.step(r.price, price_[1], bp_[0], bp_[1]);
        if (n_ == 0) r.ext = {r.bp, r.bp};  // rows 0 .. 2 carry the first value
        if (n_ > 2) r.ext.step(bp_[1], bp_[0], r.bp);
        return r;
    }
    // The three outputs from the means `mean(m, value)` takes the row's
    // values into (pushed by feed, peeked by peek).
    template <class Self, class Mean>
    static void bands(Self& self, const Row& r, double* const* out, std::size_t i, Mean mean) {
        out[1][i] = mean(self.middle_, r.bp);
        out[0][i] = self.fraction_ * mean(self.upper_, r.ext.peak);
        out[2][i] = self.fraction_ * mean(self.lower_, r.ext.valley);
    }
    static constexpr std::uint64_t kBandWindow = 50;
    std::uint64_t middle_window_;
    EmdFilter filter_;
    double fraction_;
    double price_[2] = {}, bp_[2] = {};  // one and two rows back
    EmdExtremes ext_{0.0, 0.0};
    StreamMean middle_, upper_, lower_;
    stream::Scratch buf_;  // of one call: band-pass values, peaks, valleys
};

}  // namespace

std::unique_ptr<stream::Kernel> heikin_ashi_candles() { return std::make_unique<HeikinAshiCandles>(); }
std::unique_ptr<stream::Kernel> qstick(std::uint64_t period) { return std::make_unique<Qstick>(period); }
std::unique_ptr<stream::Kernel> emd(std::uint64_t period, double delta, double fraction) {
    return std::make_unique<Emd>(period, delta, fraction);
}

}  // namespace korva::candle::streams
