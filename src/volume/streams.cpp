// Streams of the volume indicators: the batch functions' running values,
// advanced with their steps (steps.hpp).
#include "streams.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "../helpers/result.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/stream_batch.hpp"
#include "../helpers/sweeps.hpp"
#include "steps.hpp"
#include "volume.hpp"

namespace korva::volume::streams {
namespace {

using stream::Fields;
using stream::KernelOf;
using stream::Tail;

// adosc: the A/D line and its two averages. A history of one row shows 0.0
// without reading it; from two rows on, row 0 shows the difference of the
// two averages' first values (NaN for a NaN money flow).
class Adosc : public KernelOf<Adosc> {
public:
    Adosc(std::uint64_t fast, std::uint64_t slow) : cf_(ema_coefficients(fast)), cs_(ema_coefficients(slow)) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        run(in[0], in[1], in[2], in[3], k, out);
    }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        run(m.column(col::close), m.column(col::high), m.column(col::low), m.column(col::volume), m.rows, out);
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(st_.ad);
        f.num(st_.fast);
        f.num(st_.slow);
    }

private:
    // The rows (arrays, or the candle matrix's columns in place).
    template <class X>
    void run(const X& close, const X& high, const X& low, const X& volume, std::size_t k, double* const* out) {
        if (k == 0) return;
        std::size_t i = 0;
        if (n_ == 0) {
            const double v = st_.start(money_flow_volume(high[0], low[0], close[0], volume[0]));
            out[0][0] = k < 2 ? 0.0 : v;
            i = 1;
        }
        // The batch loop, its state in locals that the stores cannot change.
        AdoscState st = st_;
        const EmaCoefficients cf = cf_, cs = cs_;
        for (; i < k; ++i) out[0][i] = st.step(cf, cs, money_flow_volume(high[i], low[i], close[i], volume[i]));
        st_ = st;
        n_ += k;
    }

    EmaCoefficients cf_, cs_;
    AdoscState st_;
};

// cvi: the range average, and its last p + 1 values for the rate of change.
class Cvi : public KernelOf<Cvi> {
public:
    explicit Cvi(std::uint64_t period)
        : p_(period), c_(ema_coefficients(period)), tail_(stream::saturated(period, 1)) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *high = in[0], *low = in[1];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            out[0][i] = next(e_, high[i], low[i]);
            tail_.push(e_);
        }
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double e = e_;
        out[0][0] = next(e, in[0][0], in[1][0]);
    }
    // On a fresh stream that reaches its first value, the batch function's
    // passes over the rows give its result, and the averages kept.
    bool feed_whole(const double* const*, const MatrixView* rows, std::size_t k, Value& result) override {
        if (n_ != 0 || !rows || p_ >= k) return false;
        const std::size_t from = k - stream::pushes_needed(tail_.width(), 0, k);
        std::vector<double> averages;
        result = cvi_over(*rows, p_, from, averages);
        e_ = averages.back();
        stream::push_newest(tail_, k, [&](std::size_t j) { return averages[j - from]; });
        n_ = k;
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(e_);
        tail_.fields(f, n_);
    }

private:
    // Row n_'s value, the average moving on (not yet kept: the average p
    // rows back is the kept one p - 1 back, or this one for p = 0).
    double next(double& e, double high, double low) const {
        const double hl = high - low;
        e = n_ == 0 ? hl : smooth(c_, e, hl);
        if (n_ < p_) return NaN;
        return cvi_change(e, p_ == 0 ? e : tail_.back(static_cast<std::size_t>(p_ - 1)));
    }
    std::uint64_t p_;
    EmaCoefficients c_;
    double e_ = 0.0;
    Tail tail_;
};

// emv: each row's value, and the window of the last L of them, summed
// afresh for every position by the batch kernel. Positions before L - 1
// show 0.0.
class Emv : public KernelOf<Emv> {
public:
    Emv(std::uint64_t length, double div) : len_(length), div_(div), tail_(length) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (len_ > 0 && k > len_) return feed_long(in[0], in[1], in[2], k, out[0]);
        const double *high = in[0], *low = in[1], *volume = in[2];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const bool moves = n_ > 0 && volume[i] != 0.0;
            tail_.push(moves ? emv_row(high[i], low[i], prev_[0], prev_[1], volume[i], div_) : 0.0);
            prev_[0] = high[i];
            prev_[1] = low[i];
            out[0][i] = 0.0;
            if (len_ > 0 && n_ + 1 >= len_) {
                const std::size_t w = static_cast<std::size_t>(len_);
                sums_.resize(w);
                fresh_window_sums(tail_.window().p, w, len_, sums_.data());
                out[0][i] = sums_[w - 1] / static_cast<double>(len_);
            }
        }
    }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        if (len_ == 0 || m.rows <= len_) return false;
        feed_long(m.column(col::high), m.column(col::low), m.column(col::volume), m.rows, out[0]);
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(prev_[0]);
        f.num(prev_[1]);
        tail_.fields(f, n_);
    }

private:
    // A chunk longer than the window: its rows' values go into the output,
    // whose windows inside the chunk then become their means in place as in
    // the batch function; the first L - 1 positions, whose windows reach
    // back before the chunk, are summed from the kept values.
    // (The rows: arrays, or the candle matrix's columns in place.)
    template <class X>
    void feed_long(const X& high, const X& low, const X& volume, std::size_t k, double* out) {
        const std::size_t len = static_cast<std::size_t>(len_);
        for (std::size_t i = 0; i < k; ++i) {
            const double h1 = i == 0 ? prev_[0] : high[i - 1], l1 = i == 0 ? prev_[1] : low[i - 1];
            const bool moves = (i > 0 || n_ > 0) && volume[i] != 0.0;
            out[i] = moves ? emv_row(high[i], low[i], h1, l1, volume[i], div_) : 0.0;
        }
        const ContiguousView<double> kept = tail_.window();
        const std::size_t before = std::min(kept.n, len - 1);
        sums_.assign(kept.p + (kept.n - before), kept.p + kept.n);
        sums_.insert(sums_.end(), out, out + (len - 1));
        if (sums_.size() >= len) fresh_window_means_in_place(sums_.data(), sums_.size(), len_);
        stream::push_newest(tail_, k, [&](std::size_t j) { return out[j]; });
        fresh_window_means_in_place(out, k, len_);
        for (std::size_t i = 0; i + 1 < len; ++i) out[i] = before + i + 1 >= len ? sums_[before + i] : 0.0;
        prev_[0] = high[k - 1];
        prev_[1] = low[k - 1];
        n_ += k;
    }

    std::uint64_t len_;
    double div_;
    Tail tail_;
    double prev_[2] = {};  // high and low of the previous row
    std::vector<double> sums_;  // scratch of the window sum
};

// wad: the running sum of the rows' values and the previous open.
class Wad : public KernelOf<Wad> {
public:
    void feed(const double* const* in, std::size_t k, double* const* out) override { run(in[0], in[1], in[2], k, out); }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        run(m.column(col::open), m.column(col::high), m.column(col::low), m.rows, out);
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(pc_);
        f.num(sum_);
    }

private:
    // The rows (arrays, or the candle matrix's columns in place).
    template <class X>
    void run(const X& open, const X& high, const X& low, std::size_t k, double* const* out) {
        if (k == 0) return;
        std::size_t i = 0;
        if (n_ == 0) {
            pc_ = open[0];
            out[0][0] = sum_;
            i = 1;
        }
        // The batch loop, its state in locals that the stores cannot change.
        double pc = pc_, sum = sum_;
        for (; i < k; ++i) {
            sum = sum + wad_row(
                            pc, open[i], [&] { return low[i]; }, [&] { return high[i]; });
            pc = open[i];
            out[0][i] = sum;
        }
        pc_ = pc;
        sum_ = sum;
        n_ += k;
    }

    double pc_ = 0.0, sum_ = 0.0;
};

}  // namespace

std::unique_ptr<stream::Kernel> adosc(std::uint64_t fast_period, std::uint64_t slow_period) {
    return std::make_unique<Adosc>(fast_period, slow_period);
}
std::unique_ptr<stream::Kernel> cvi(std::uint64_t period) { return std::make_unique<Cvi>(period); }
std::unique_ptr<stream::Kernel> emv(std::uint64_t length, double div) { return std::make_unique<Emv>(length, div); }
std::unique_ptr<stream::Kernel> wad() { return std::make_unique<Wad>(); }

}  // namespace korva::volume::streams
