// Streams of the trend family: the batch functions' state, advanced with
// their steps (directional_steps.hpp, overlay_steps.hpp).
#pragma GCC diagnostic ignored "-Wpsabi"  // wide vectors stay inside inlined code
#include "streams.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/result.hpp"
#include "../helpers/stream_deque.hpp"
#include "../helpers/sweeps.hpp"
#include "../helpers/true_range.hpp"
#include "../helpers/unrolled_sum.hpp"
#include "directional_steps.hpp"
#include "overlay_steps.hpp"

namespace korva::trend::streams {
namespace {

using stream::Fields;
using stream::KernelOf;
using stream::Tail;

// Scratch of one call: the true range and directional movements of rows
// [i, k) of a chunk, each against the row before it; `prev` (close, high
// and low of the row before i) becomes row k - 1.
class MovementRows {
public:
    std::size_t fill(const double* close, const double* high, const double* low, std::size_t i, std::size_t k,
                     double* prev) {
        const std::size_t m = k - i;
        buf_.resize(3 * m);
        for (std::size_t j = i; j < k; ++j) {
            const Movement mv = directional_movement(high[j] - prev[1], prev[2] - low[j]);
            buf_[j - i] = true_range_step(high[j], low[j], prev[0]);
            buf_[m + (j - i)] = mv.plus;
            buf_[2 * m + (j - i)] = mv.minus;
            prev[0] = close[j];
            prev[1] = high[j];
            prev[2] = low[j];
        }
        return m;
    }
    // The true ranges, the plus and the minus movements of the rows filled.
    const double* tr() const { return buf_.data(); }
    const double* plus() const { return buf_.data() + buf_.size() / 3; }
    const double* minus() const { return buf_.data() + 2 * (buf_.size() / 3); }
    // A chunk of many rows leaves no large buffer behind.
    void release() {
        if (buf_.capacity() > 3 * 4096) buf_.release();
    }

private:
    stream::Scratch buf_;
};

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
            if (this->n_ > 0)
                seed_.add(true_range_step(high[i], low[i], prev_[0]),
                          directional_movement(high[i] - prev_[1], prev_[2] - low[i]));
            prev_[0] = close[i];
            prev_[1] = high[i];
            prev_[2] = low[i];
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
            const std::size_t m = rows_.fill(close, high, low, i, k, prev_);
            double* o[2] = {out[0] + i, out[1] + i};
            if constexpr (Di) {
                const double* x[3] = {rows_.tr(), rows_.plus(), rows_.minus()};
                rec::run(step_, x, o, 0, m, s_);
            } else {
                const double* x[2] = {rows_.plus(), rows_.minus()};
                rec::run(step_, x, o, 0, m, s_);
            }
            this->n_ += m;
            rows_.release();
        }
        // di of a single row has nothing to show yet.
        if (Di && start == 0 && this->n_ < 2 && k > 0) out[0][0] = out[1][0] = NaN;
    }
    void fields(Fields& f) override {
        f.count(this->n_);
        for (double& v : prev_) f.num(v);
        f.num(seed_.range.sum);
        f.num(seed_.plus.sum);
        f.num(seed_.minus.sum);
        for (double& v : s_) f.num(v);
    }

private:
    std::uint64_t p_;
    std::conditional_t<Di, DiStep, DmStep> step_{};
    DirectionalSeed seed_;
    double prev_[3] = {};  // close, high and low of the previous row
    double s_[3] = {};
    MovementRows rows_;
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
        const std::size_t m = rows_.fill(close, high, low, i, k, prev_);
        const double* x[3] = {rows_.tr(), rows_.plus(), rows_.minus()};
        double* o[1] = {out[0] + i};
        rec::run(step_, x, o, 0, m, s_);
        n_ += m;
        rows_.release();
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
    MovementRows rows_;
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

// vi: each row's true range and vortex movements, and the windows of the
// last p of them, summed afresh for every position with the batch kernel
// (O(p) per row, as the batch form). Windows never reach row 0.
class Vi : public KernelOf<Vi> {
public:
    explicit Vi(std::uint64_t period) : p_(period), tr_(period), up_(period), down_(period) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *close = in[0], *high = in[1], *low = in[2];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            if (n_ > 0) {
                double up, down;
                vortex_moves(high[i], low[i], prev_[1], prev_[2], up, down);
                tr_.push(true_range_step(high[i], low[i], prev_[0]));
                up_.push(up);
                down_.push(down);
            }
            prev_[0] = close[i];
            prev_[1] = high[i];
            prev_[2] = low[i];
            out[0][i] = out[1][i] = NaN;
            if (p_ > 0 && n_ >= p_) {
                const std::size_t w = static_cast<std::size_t>(p_);
                const double t = unrolled_sum(tr_.window().p, w);
                out[0][i] = vortex_ratio(unrolled_sum(up_.window().p, w), t);
                out[1][i] = vortex_ratio(unrolled_sum(down_.window().p, w), t);
            }
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double& v : prev_) f.num(v);
        const std::uint64_t rows = n_ > 0 ? n_ - 1 : 0;  // row 0 has no movement
        tr_.fields(f, rows);
        up_.fields(f, rows);
        down_.fields(f, rows);
    }

private:
    std::uint64_t p_;
    Tail tr_, up_, down_;
    double prev_[3] = {};  // close, high and low of the previous row
};

// alligator: the three lines' running values, and the last `shift + 1` of
// each to draw them shifted. A history of 12 rows or fewer shows nothing;
// from 13 rows on, each line shows from its first shifted value.
class Alligator : public KernelOf<Alligator> {
public:
    Alligator() {
        for (std::size_t q = 0; q < 3; ++q) drawn_[q] = Tail(kLines[q]->shift + 1);
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double* x = in[0];
        const bool shows = n_ + k > kJaw.period - 1;
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            if (n_ < kJaw.period) sum_ = alligator_sum(static_cast<std::size_t>(n_), sum_, x[i]);
            for (std::size_t q = 0; q < 3; ++q) {
                const AlligatorLine& line = *kLines[q];
                if (n_ + 1 == line.period) v_[q] = line.seed(sum_);
                if (n_ >= line.period) v_[q] = line.step(v_[q], x[i]);
                drawn_[q].push(n_ + 1 >= line.period ? v_[q] : NaN);
                out[q][i] = shows && n_ >= line.period - 1 + line.shift ? drawn_[q].back(line.shift) : NaN;
            }
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(sum_);
        for (double& v : v_) f.num(v);
        for (Tail& t : drawn_) t.fields(f, n_);
    }

private:
    static constexpr const AlligatorLine* kLines[3] = {&kJaw, &kTeeth, &kLips};
    double sum_ = 0.0;
    double v_[3] = {};
    Tail drawn_[3];
};

// SafeZone stops: the candidate recurrence, and the queue of the rolling
// NaN-ignoring extreme of the candidates (all of them when max_lookback is
// 0). A history of one row shows 0.0.
class Safezonestop : public KernelOf<Safezonestop> {
public:
    Safezonestop(std::uint64_t period, double mult, std::uint64_t max_lookback, bool direction)
        : step_{1.0 - (1.0 / static_cast<double>(period)), mult, direction},
          window_(max_lookback == 0 ? static_cast<std::uint64_t>(-1) : max_lookback) {}
    void admit(std::uint64_t n) const override {
        if (n == 0) index_out_of_range(0, 0);
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *high = in[0], *low = in[1];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double c = candidate(step_, high[i], low[i]);
            prev_[0] = high[i];
            prev_[1] = low[i];
            out[0][i] = step_.is_long ? add<true>(c) : add<false>(c);
        }
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        SafezoneStep step = step_;
        const double c = candidate(step, in[0][0], in[1][0]);
        out[0][0] =
            step_.is_long ? num_extreme_peek<true>(q_, n_, window_, c) : num_extreme_peek<false>(q_, n_, window_, c);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(prev_[0]);
        f.num(prev_[1]);
        f.num(step_.plus);
        f.num(step_.minus);
        q_.fields(f, n_, window_);
    }

private:
    // Row n_'s candidate, the step's sums moving on.
    double candidate(SafezoneStep& step, double high, double low) const {
        return n_ == 0 ? 0.0 : step.candidate(high, low, prev_[0], prev_[1]);
    }
    template <bool Max>
    double add(double c) {
        num_extreme_add<Max>(q_, n_, c);
        q_.expire(n_, window_);
        // A window that never drops a row needs only its extreme so far.
        if (window_ == static_cast<std::uint64_t>(-1)) q_.keep_front();
        return num_extreme_value<Max>(q_);
    }
    SafezoneStep step_;
    std::uint64_t window_;
    double prev_[2] = {};  // high and low of the previous row
    stream::GrowingDeque q_;
};

}  // namespace

std::unique_ptr<stream::Kernel> vi(std::uint64_t period) { return std::make_unique<Vi>(period); }
std::unique_ptr<stream::Kernel> alligator() { return std::make_unique<Alligator>(); }
std::unique_ptr<stream::Kernel> safezonestop(std::uint64_t period, double mult, std::uint64_t max_lookback,
                                             bool direction) {
    return std::make_unique<Safezonestop>(period, mult, max_lookback, direction);
}
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
