// Streams of dm and di: the seed sums, then the batch recurrences
// (directional_steps.hpp) over each row's true range and movements.
#pragma GCC diagnostic ignored "-Wpsabi"  // wide vectors stay inside inlined code
#include "streams.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/result.hpp"
#include "../helpers/sweeps.hpp"
#include "../helpers/true_range.hpp"
#include "directional_steps.hpp"
#include "overlay_steps.hpp"

namespace korva::trend::streams {
namespace {

using stream::Fields;
using stream::KernelOf;

// Di: true; dm otherwise. dm is NaN up to row p - 1 and then the sums; di
// also needs two rows before it has any value.
template <bool Di>
class Directional : public KernelOf<Directional<Di>> {
public:
    explicit Directional(std::uint64_t period) : p_(period) {
        if constexpr (Di) {
            step_ = DiStep{static_cast<double>(period - 1), static_cast<double>(period)};
        } else {
            step_ = DmStep{static_cast<double>(period)};
        }
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *close = in[0], *high = in[1], *low = in[2];
        const std::uint64_t start = this->n_;
        std::size_t i = 0;
        for (; i < k && this->n_ <= p_; ++i, ++this->n_) {
            if (this->n_ > 0) seed_.add(range(high[i], low[i]), move(high[i], low[i]));
            prev_ = {close[i], high[i], low[i]};
            out[0][i] = out[1][i] = NaN;
            if (this->n_ == p_) {
                if constexpr (Di) {
                    seed_.di(out[0][i], out[1][i]);
                    s_[0] = seed_.range.sum;
                    s_[1] = seed_.plus.sum;
                    s_[2] = seed_.minus.sum;
                } else {
                    out[0][i] = s_[0] = seed_.plus.sum;
                    out[1][i] = s_[1] = seed_.minus.sum;
                }
            }
        }
        if (i < k) {
            // The rest: each row's inputs, then the recurrence over them.
            const std::size_t m = k - i;
            rows_.resize(3 * m);
            double* tr = rows_.data();
            double* plus = tr + m;
            double* minus = plus + m;
            for (std::size_t j = i; j < k; ++j) {
                const Movement mv = move(high[j], low[j]);
                tr[j - i] = range(high[j], low[j]);
                plus[j - i] = mv.plus;
                minus[j - i] = mv.minus;
                prev_ = {close[j], high[j], low[j]};
            }
            double* o[2] = {out[0] + i, out[1] + i};
            if constexpr (Di) {
                const double* x[3] = {tr, plus, minus};
                rec::run(step_, x, o, 0, m, s_);
            } else {
                const double* x[2] = {plus, minus};
                rec::run(step_, x, o, 0, m, s_);
            }
            this->n_ += m;
            if (rows_.capacity() > 3 * 4096) rows_ = std::vector<double>();
        }
        // di of a single row has nothing to show yet.
        if (Di && start == 0 && this->n_ < 2 && k > 0) out[0][0] = out[1][0] = NaN;
    }
    void fields(Fields& f) override {
        f.count(this->n_);
        f.num(prev_.close);
        f.num(prev_.high);
        f.num(prev_.low);
        f.num(seed_.range.sum);
        f.num(seed_.plus.sum);
        f.num(seed_.minus.sum);
        for (double& v : s_) f.num(v);
    }

private:
    struct Row {
        double close, high, low;
    };
    // A row's true range and movements against the previous row.
    double range(double high, double low) const { return true_range_step(high, low, prev_.close); }
    Movement move(double high, double low) const { return directional_movement(high - prev_.high, prev_.low - low); }

    std::uint64_t p_;
    std::conditional_t<Di, DiStep, DmStep> step_{};
    DirectionalSeed seed_;
    Row prev_{};
    double s_[3] = {};
    std::vector<double> rows_;  // scratch of one call
};

// supertrend: the weighted Wilder ATR, then the final bands of the rows
// after the seed; zeros before.
class Supertrend : public KernelOf<Supertrend> {
public:
    Supertrend(std::uint64_t period, double factor) : p_(period), bands_{factor}, atr_(period) {}
    void admit(std::uint64_t n) const override {
        if (n == 0) index_out_of_range(0, 0);
        if (p_ == 0) index_out_of_range(static_cast<std::size_t>(-1), static_cast<std::size_t>(n));
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *close = in[0], *high = in[1], *low = in[2];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double tr = n_ == 0 ? true_range_first(high + i, low + i) : true_range_step(high[i], low[i], close_);
            out[1][i] = 0.0;
            if (n_ + 1 < p_) {
                atr_.seed(tr);
                out[0][i] = 0.0;
            } else if (n_ + 1 == p_) {
                atr_.seed(tr);
                out[0][i] = st_.start(bands_, atr_.start(), high[i], low[i], close[i]);
            } else {
                out[0][i] = st_.step(bands_, atr_.step(tr), high[i], low[i], close[i], close_, out[1][i]);
            }
            close_ = close[i];
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(atr_.state());
        f.num(close_);
        f.num(st_.fu);
        f.num(st_.fl);
        f.num(st_.trend);
    }

private:
    std::uint64_t p_;
    SupertrendBands bands_;
    WilderAtr atr_;
    SupertrendState st_;
    double close_ = 0.0;
};

// Parabolic SAR: its first two rows decide the start together, so a history
// of one row fails as the batch function fails on it.
class Sar : public KernelOf<Sar> {
public:
    Sar(double acceleration, double maximum) : st_{acceleration, maximum} {}
    void admit(std::uint64_t n) const override {
        if (n == 1) index_out_of_range(1, 1);
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *high = in[0], *low = in[1];
        std::size_t i = 0;
        if (n_ == 0 && k >= 2) {
            out[0][1] = st_.start(high[0], low[0], high[1], low[1], out[0][0]);
            i = 2;
            n_ = 2;
        }
        for (; i < k; ++i, ++n_) out[0][i] = st_.step(high[i], low[i]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&st_.value, &st_.ep, &st_.af, &st_.h1, &st_.h2, &st_.l1, &st_.l2}) f.num(*v);
        for (bool* b : {&st_.rising, &st_.plain_h, &st_.plain_l}) {
            std::uint64_t u = *b;
            f.count(u);
            if (u > 1) throw ValueError("invalid stream state");
            *b = u == 1;
        }
        if (n_ == 1) throw ValueError("invalid stream state");
    }

private:
    SarState st_;
};

// adx: the seed rows 1 .. 2p (sums, then DX summed), then the batch step
// over each row's true range and movements.
class Adx : public KernelOf<Adx> {
public:
    explicit Adx(std::uint64_t period)
        : p_(period),
          seed_(static_cast<double>(period)),
          step_{static_cast<double>(period), static_cast<double>(period - 1)} {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *close = in[0], *high = in[1], *low = in[2];
        const std::uint64_t last_seed = stream::saturated(p_, p_);
        std::size_t i = 0;
        for (; i < k && (p_ == 0 || n_ <= last_seed); ++i, ++n_) {
            out[0][i] = NaN;
            if (p_ > 0 && n_ > 0) {
                seed_.advance(true_range_step(high[i], low[i], prev_[0]),
                              directional_movement(high[i] - prev_[1], prev_[2] - low[i]), n_ > p_);
                if (n_ == p_) sum_ = -0.0 + seed_.dx_now();
                if (n_ > p_ && n_ < last_seed) sum_ = sum_ + seed_.dx_now();
                if (n_ == last_seed) {
                    s_[0] = seed_.tr;
                    s_[1] = seed_.dm_sums[0];
                    s_[2] = seed_.dm_sums[1];
                    out[0][i] = s_[3] = sum_ / seed_.pd;
                }
            }
            prev_[0] = close[i];
            prev_[1] = high[i];
            prev_[2] = low[i];
        }
        if (i == k) return;
        const std::size_t m = k - i;
        rows_.resize(3 * m);
        double* tr = rows_.data();
        double* plus = tr + m;
        double* minus = plus + m;
        for (std::size_t j = i; j < k; ++j) {
            const Movement mv = directional_movement(high[j] - prev_[1], prev_[2] - low[j]);
            tr[j - i] = true_range_step(high[j], low[j], prev_[0]);
            plus[j - i] = mv.plus;
            minus[j - i] = mv.minus;
            prev_[0] = close[j];
            prev_[1] = high[j];
            prev_[2] = low[j];
        }
        const double* x[3] = {tr, plus, minus};
        double* o[1] = {out[0] + i};
        rec::run(step_, x, o, 0, m, s_);
        n_ += m;
        if (rows_.capacity() > 3 * 4096) rows_ = std::vector<double>();
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double& v : prev_) f.num(v);
        f.num(seed_.tr);
        double plus = seed_.dm_sums[0], minus = seed_.dm_sums[1];
        f.num(plus);
        f.num(minus);
        seed_.dm_sums = Pair{plus, minus};
        f.num(sum_);
        for (double& v : s_) f.num(v);
    }

private:
    std::uint64_t p_;
    AdxSeed seed_;
    AdxStep step_;
    double prev_[3] = {};  // close, high and low of the previous row
    double sum_ = -0.0;
    double s_[4] = {};
    std::vector<double> rows_;  // scratch of one call
};

// adxr: DX from the batch smoothing step, ADX as each window of p DX values
// summed afresh (O(p) per row, as the batch form), and the rating of the
// ADX now and p rows before.
class Adxr : public KernelOf<Adxr> {
public:
    explicit Adxr(std::uint64_t period)
        : p_(period), step_{static_cast<double>(period)}, dxs_(period), adxs_(stream::saturated(period, 1)) {}
    void admit(std::uint64_t n) const override {
        if (n == 0) index_out_of_range(0, 0);
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *close = in[0], *high = in[1], *low = in[2];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            double dx;
            if (n_ == 0) {
                s_[0] = true_range_first(high + i, low + i);
                s_[1] = s_[2] = 0.0;
                dx = AdxrStep::dx_of(s_[0], s_[1], s_[2]);
            } else {
                const Movement m = directional_movement(high[i] - prev_[1], prev_[2] - low[i]);
                const double row[3] = {true_range_step(high[i], low[i], prev_[0]), m.plus, m.minus};
                step_.step<true>(s_, row, &dx);
            }
            prev_[0] = close[i];
            prev_[1] = high[i];
            prev_[2] = low[i];
            out[0][i] = NaN;
            if (p_ == 0) continue;
            dxs_.push(dx);
            double adx = NaN;
            if (n_ + 1 >= p_) {
                const std::size_t p = static_cast<std::size_t>(p_);
                sums_.resize(p);
                fresh_window_sums(dxs_.window().p, p, p_, sums_.data());
                adx = sums_[p - 1] / static_cast<double>(p_);
            }
            adxs_.push(adx);
            if (n_ >= p_) {
                const double before = adxs_.back(static_cast<std::size_t>(p_));
                out[0][i] = !std::isnan(adx) && !std::isnan(before) ? (adx + before) * 0.5 : NaN;
            }
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double& v : prev_) f.num(v);
        for (double& v : s_) f.num(v);
        if (p_ == 0) return;
        dxs_.fields(f, n_);
        adxs_.fields(f, n_);
    }

private:
    std::uint64_t p_;
    AdxrStep step_;
    stream::Tail dxs_, adxs_;
    double prev_[3] = {};  // close, high and low of the previous row
    double s_[3] = {};
    std::vector<double> sums_;  // scratch of the window sum
};

}  // namespace

std::unique_ptr<stream::Kernel> adxr(std::uint64_t period) { return std::make_unique<Adxr>(period); }
std::unique_ptr<stream::Kernel> adx(std::uint64_t period) { return std::make_unique<Adx>(period); }
std::unique_ptr<stream::Kernel> sar(double acceleration, double maximum) {
    return std::make_unique<Sar>(acceleration, maximum);
}
std::unique_ptr<stream::Kernel> supertrend(std::uint64_t period, double factor) {
    return std::make_unique<Supertrend>(period, factor);
}
std::unique_ptr<stream::Kernel> dm(std::uint64_t period) { return std::make_unique<Directional<false>>(period); }
std::unique_ptr<stream::Kernel> di(std::uint64_t period) { return std::make_unique<Directional<true>>(period); }

}  // namespace korva::trend::streams
