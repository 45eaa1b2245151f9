// Streams of the oscillators: each keeps the state its batch function carries
// and advances it with the same steps (the *_steps.hpp headers).
#pragma GCC diagnostic ignored "-Wpsabi"  // wide vectors stay inside inlined code
#include "streams.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "../helpers/errors.hpp"
#include "../helpers/price_source.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/result.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/stream_batch.hpp"
#include "../helpers/sweeps.hpp"
#include "../helpers/window_extreme.hpp"
#include "forecast_steps.hpp"
#include "momentum_steps.hpp"
#include "range.hpp"
#include "range_steps.hpp"
#include "rsi.hpp"
#include "rsi_steps.hpp"
#include "stochastic.hpp"
#include "stochastic_steps.hpp"

namespace korva::osc::streams {
namespace {

using stream::Fields;
using stream::KernelOf;
using stream::Scratch;
using stream::Tail;

// A window of a Tail, as a pointer for the shared folds and sums.
const double* values_of(const Tail& t) { return t.window().p; }

// Wilder's RSI: NaN until the averages of the first `period` differences
// seed the recurrence, whose state is both averages and the previous price.
class Rsi : public KernelOf<Rsi> {
public:
    explicit Rsi(std::uint64_t period) : period_(period), seed_(period), step_{seed_.P(), seed_.Q()} {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        std::size_t i = 0;
        for (; i < k && n_ <= period_; ++i, ++n_) {
            const double v = in[0][i];
            if (n_ > 0) seed_.seed(v - s_[2]);
            s_[2] = v;
            out[0][i] = NaN;
            if (n_ == period_) {
                seed_.finish();
                s_[0] = seed_.loss();
                s_[1] = seed_.gain();
                out[0][i] = seed_.value();
            }
        }
        if (i == k) return;
        rec::run(step_, in, out, i, k, s_);
        n_ += k - i;
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double& v : s_) f.num(v);
        double loss = seed_.loss(), gain = seed_.gain();
        f.num(loss);
        f.num(gain);
        seed_.restore(loss, gain);
    }

private:
    std::uint64_t period_;
    WilderRsi seed_;
    RsiStep<1> step_;
    double s_[3] = {};  // loss and gain averages, previous price
};

// MACD: both EMAs and the signal EMA, started at position 0.
class Macd : public KernelOf<Macd> {
public:
    explicit Macd(const MacdStep& step) : step_(step) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k == 0) return;
        std::size_t first = 0;
        if (n_ == 0) {
            MacdStep::start(in[0][0], s_, out);
            first = 1;
        }
        rec::run(step_, in, out, first, k, s_);
        n_ += k;
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double& v : s_) f.num(v);
    }

private:
    MacdStep step_;
    double s_[3] = {};
};

// CMO: the window's sums of up and down moves, moved along by the entering
// and leaving moves (formed again from the kept prices when they leave).
class Cmo : public KernelOf<Cmo> {
public:
    explicit Cmo(std::uint64_t period) : p_(period), tail_(stream::saturated(period, 1)) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        std::size_t i = 0;
        for (; i < k && (p_ == 0 || n_ <= p_ || k - i < stream::kLongChunk); ++i, ++n_) {
            out[0][i] = next(su_, sd_, in[0][i]);
            tail_.push(in[0][i]);
        }
        if (i == k) return;
        // Past the first window: the batch sweep from its sums on.
        stream::run_long<1>({&tail_}, {in[0] + i}, k - i, [&](const auto& x, std::size_t from, std::size_t at) {
            cmo_from(x[0], p_, from, su_, sd_, out[0] + i + at);
        });
        n_ += k - i;
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double su = su_, sd = sd_;
        out[0][0] = next(su, sd, in[0][0]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(su_);
        f.num(sd_);
        tail_.fields(f, n_);
    }

private:
    // The value at row n_ (the window not yet moved on).
    double next(double& su, double& sd, double v) const {
        if (p_ == 0 || n_ == 0) return NaN;
        const double d = v - tail_.back(0);
        if (n_ <= p_) {
            su = su + CmoMoves::up(d);
            sd = sd + CmoMoves::down(d);
        } else {
            const auto at = [&](std::uint64_t back) { return tail_.back(static_cast<std::size_t>(back)); };
            CmoMoves::slide(su, sd, d, at(p_ - 1) - at(p_));
        }
        return n_ >= p_ ? CmoMoves::value(su, sd) : NaN;
    }
    std::uint64_t p_;
    Tail tail_;
    double su_ = 0.0, sd_ = 0.0;
};

// Stochastic RSI: Wilder's RSI as for rsi, the last period_stoch RSI values
// (their range folded afresh), the last k_period raw values (summed afresh)
// and the last d_period non-NaN k values (summed afresh).
class Srsi : public KernelOf<Srsi> {
public:
    Srsi(std::uint64_t period, std::uint64_t period_stoch, std::uint64_t k_period, std::uint64_t d_period)
        : p_(period),
          w_(period_stoch),
          kp_(k_period),
          dp_(d_period),
          rsi_(period),
          window_(w_),
          raw_(kp_),
          kept_(dp_) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double x = in[0][i];
            out[0][i] = out[1][i] = NaN;
            if (n_ <= p_) {
                if (n_ > 0) rsi_.seed(x - prev_);
                if (n_ == p_) rsi_.finish();
            } else {
                rsi_.update(x - prev_);
            }
            prev_ = x;
            // The RSI value t of this row; a full stochastic window from t = w - 1 on.
            if (n_ < p_ || w_ == 0) continue;
            const double v = rsi_.value();
            window_.push(v);
            const std::uint64_t t = n_ - p_;
            if (t < w_ - 1) continue;
            double lo, hi;
            rsi_window_extremes(values_of(window_), static_cast<std::size_t>(w_), lo, hi);
            double kv = stochastic_of(v, lo, hi);
            if (kp_ >= 2) {
                raw_.push(kv);
                kv = NaN;
                // Written once k_period raw values are in, none of them NaN.
                if (t - (w_ - 1) >= kp_ - 1) {
                    const double* r = values_of(raw_);
                    const auto len = static_cast<std::size_t>(kp_);
                    if (std::none_of(r, r + len, [](double u) { return std::isnan(u); })) {
                        kv = list_sum(r, len) / static_cast<double>(kp_);
                    }
                }
            }
            out[0][i] = kv;
            if (dp_ == 0 || std::isnan(kv)) continue;
            kept_.push(kv);
            if (++kept_n_ >= dp_) {
                out[1][i] = list_sum(values_of(kept_), static_cast<std::size_t>(dp_)) / static_cast<double>(dp_);
            }
        }
    }
    // On a fresh stream whose values fill a stochastic window, the batch
    // function's passes over them give its result as it is, and leave the
    // averages and the values the windows keep.
    bool feed_whole(const double* const* in, const MatrixView*, std::size_t k, Value& result) override {
        if (n_ != 0 || w_ == 0 || p_ >= k || w_ > k - p_) return false;
        const std::size_t count = k - static_cast<std::size_t>(p_);  // RSI values
        SrsiEnd end;
        end.rsi_from = count - stream::pushes_needed(w_, 0, count);
        constexpr auto step = static_cast<std::ptrdiff_t>(sizeof(double));
        result = srsi_over(SeriesView{reinterpret_cast<const char*>(in[0]), step, k}, p_, w_, kp_, dp_, end);
        rsi_.restore(end.loss, end.gain);
        prev_ = in[0][k - 1];
        const std::size_t skipped = end.rsi_from;
        stream::push_newest(window_, count, [&](std::size_t j) { return end.rsi[j - skipped]; });
        stream::push_newest(raw_, end.raw.size(), [&](std::size_t j) { return end.raw[j]; });
        kept_n_ = end.kept.size();
        stream::push_newest(kept_, end.kept.size(), [&](std::size_t j) { return end.kept[j]; });
        n_ = k;
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(prev_);
        double loss = rsi_.loss(), gain = rsi_.gain();
        f.num(loss);
        f.num(gain);
        rsi_.restore(loss, gain);
        const std::uint64_t values = w_ > 0 && n_ > p_ ? n_ - p_ : 0;
        const std::uint64_t raws = kp_ >= 2 && w_ > 0 && values >= w_ ? values - (w_ - 1) : 0;
        window_.fields(f, values);
        raw_.fields(f, raws);
        f.count(kept_n_);
        kept_.fields(f, kept_n_);
        if (kept_n_ > values) throw ValueError("invalid stream state");
    }

private:
    std::uint64_t p_, w_, kp_, dp_;
    WilderRsi rsi_;
    Tail window_, raw_, kept_;
    double prev_ = 0.0;
    std::uint64_t kept_n_ = 0;
};

// RSX: its counter and smoothing stages, from position `period` on.
class Rsx : public KernelOf<Rsx> {
public:
    explicit Rsx(std::uint64_t period) : p_(period) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        RsxState st = st_;  // a local the outputs' stores cannot alias, as in the batch loop
        for (std::size_t i = 0; i < k; ++i, ++n_) out[0][i] = n_ < p_ ? NaN : st.next(in[0][i], p_);
        st_ = st;
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&st_.sp, &st_.sp_prev, &st_.alpha, &st_.beta, &st_.lim, &st_.cnt, &st_.chg}) f.num(*v);
        for (double& v : st_.m) f.num(v);
        for (double& v : st_.a) f.num(v);
        if (!fits(st_, n_, p_)) throw ValueError("invalid stream state");
    }

private:
    // Untouched (all +0.0) until position `period`; from there on the
    // coefficients are the period's own, the counter a whole number up to
    // one past the limit and the change flag 0 or 1.
    static bool fits(const RsxState& s, std::uint64_t n, std::uint64_t p) {
        const RsxState untouched{};
        if (n <= p) return std::memcmp(&s, &untouched, sizeof s) == 0;
        RsxState own;
        own.next(0.0, p);
        return std::bit_cast<std::uint64_t>(s.alpha) == std::bit_cast<std::uint64_t>(own.alpha) &&
               std::bit_cast<std::uint64_t>(s.beta) == std::bit_cast<std::uint64_t>(own.beta) &&
               std::bit_cast<std::uint64_t>(s.lim) == std::bit_cast<std::uint64_t>(own.lim) &&
               (s.chg == 0.0 || s.chg == 1.0) && s.cnt >= 0.0 && s.cnt <= s.lim + 1.0 && s.cnt == std::floor(s.cnt);
    }
    std::uint64_t p_;
    RsxState st_;
};

// Laguerre RSI: the four filter stages, started at the first row's price.
class Lrsi : public KernelOf<Lrsi> {
public:
    explicit Lrsi(double alpha) : a_(alpha), g_(1.0 - alpha) {}
    // The stages start from the first row: a history without one fails.
    void admit(std::uint64_t n) const override {
        if (n == 0) index_out_of_range(0, 0);
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override { run(in[0], in[1], k, out[0]); }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        run(m.column(col::high), m.column(col::low), m.rows, out[0]);
        return true;
    }
    template <class X>
    void run(const X& high, const X& low, std::size_t k, double* out) {
        LaguerreRsi st = st_;
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double price = LaguerreRsi::price(high[i], low[i]);
            if (n_ == 0) st.start(price);
            out[i] = st.next(a_, g_, price);
        }
        st_ = st;
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double& v : st_.l) f.num(v);
    }

private:
    double a_, g_;
    LaguerreRsi st_;
};

// cfo: the window's sums of values and of value times position, moved
// along by the entering value and the one leaving (kept in the tail); the
// in-window position sums are added as the first window fills.
class Cfo : public KernelOf<Cfo> {
public:
    Cfo(std::uint64_t period, double scalar) : p_(period), scalar_(scalar), tail_(period) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        std::size_t i = 0;
        for (; i < k && (p_ == 0 || n_ < p_ || k - i < stream::kLongChunk); ++i, ++n_) {
            out[0][i] = next(sy_, sxy_, ps_, in[0][i]);
            tail_.push(in[0][i]);
        }
        if (i == k) return;
        // Past the window's start: the batch loop from the stream's sums.
        const std::uint64_t n0 = n_;
        stream::run_long<1>({&tail_}, {in[0] + i}, k - i, [&](const auto& x, std::size_t from, std::size_t at) {
            CfoLine(p_, ps_, scalar_)
                .run(x[0], static_cast<std::size_t>(p_), from, n0 + at - from, sy_, sxy_, out[0] + i + at);
        });
        n_ += k - i;
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double sy = sy_, sxy = sxy_;
        PositionSums ps = ps_;
        out[0][0] = next(sy, sxy, ps, in[0][0]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&sy_, &sxy_, &ps_.sx, &ps_.sxx}) f.num(*v);
        tail_.fields(f, n_);
    }

private:
    // The value at row n_ (the window not yet moved on).
    double next(double& sy, double& sxy, PositionSums& ps, double v) const {
        if (p_ == 0) return NaN;
        if (n_ < p_) {
            add_weighted(sy, sxy, v, n_);
            ps.add(n_);
        } else {
            CfoLine::slide(sy, sxy, v, tail_.back(static_cast<std::size_t>(p_ - 1)), n_, n_ - p_);
        }
        return n_ >= p_ - 1 ? CfoLine(p_, ps, scalar_).value(n_, v, sy, sxy) : NaN;
    }
    std::uint64_t p_;
    double scalar_;
    Tail tail_;
    PositionSums ps_;
    double sy_ = 0.0, sxy_ = 0.0;
};

// fosc: the prefix sums through the window's end and through the position
// before its start (the second built with the same additions as it leaves).
class Fosc : public KernelOf<Fosc> {
public:
    explicit Fosc(std::uint64_t period) : p_(period), tail_(period) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        std::size_t i = 0;
        for (; i < k && (p_ == 0 || n_ < p_ || k - i < stream::kLongChunk); ++i, ++n_) {
            out[0][i] = next(s_, ps_, in[0][i]);
            tail_.push(in[0][i]);
        }
        if (i == k) return;
        // Past the window's start: the batch loop from the stream's sums.
        const std::uint64_t n0 = n_;
        stream::run_long<1>({&tail_}, {in[0] + i}, k - i, [&](const auto& x, std::size_t from, std::size_t at) {
            FoscLine(p_, ps_).run(x[0], static_cast<std::size_t>(p_), from, n0 + at - from, s_, out[0] + i + at);
        });
        n_ += k - i;
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double s[4] = {s_[0], s_[1], s_[2], s_[3]};
        PositionSums ps = ps_;
        out[0][0] = next(s, ps, in[0][0]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double& v : s_) f.num(v);
        f.num(ps_.sx);
        f.num(ps_.sxx);
        tail_.fields(f, n_);
    }

private:
    // The value at row n_ (the window not yet moved on).
    double next(double (&s)[4], PositionSums& ps, double v) const {
        if (p_ == 0) return NaN;
        add_weighted(s[0], s[1], v, n_);
        if (n_ < p_) {
            ps.add(n_);
            return n_ == p_ - 1 ? FoscLine(p_, ps).value(v, s[0], s[1]) : NaN;
        }
        const std::uint64_t l = n_ - p_;
        add_weighted(s[2], s[3], tail_.back(static_cast<std::size_t>(p_ - 1)), l);
        return FoscLine(p_, ps).value_later(v, s[0], s[1], s[2], s[3], l);
    }
    std::uint64_t p_;
    Tail tail_;
    PositionSums ps_;
    double s_[4] = {};  // prefix sums of values and of value x position: to the end, before the start
};

// cg: the sums over the window of p-1 values, first filled from position 3
// and valued at p+1, then moved along by the entering and leaving values.
class Cg : public KernelOf<Cg> {
    using G = CentreOfGravity;

public:
    explicit Cg(std::uint64_t period) : p_(period), tail_(period) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        std::size_t i = 0;
        for (; i < k && (p_ < 2 || n_ < 3 || n_ - 1 <= p_ || k - i < stream::kLongChunk); ++i, ++n_) {
            out[0][i] = next(l_, o_, in[0][i]);
            tail_.push(in[0][i]);
        }
        if (i == k) return;
        // Past the window's start: the batch loop from the stream's sums.
        const std::uint64_t n0 = n_;
        stream::run_long<1>({&tail_}, {in[0] + i}, k - i, [&](const auto& x, std::size_t from, std::size_t at) {
            G::run(x[0], static_cast<std::size_t>(p_), from, n0 + at - from, l_, o_, out[0] + i + at);
        });
        n_ += k - i;
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double l = l_, o = o_;
        out[0][0] = next(l, o, in[0][0]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(l_);
        f.num(o_);
        tail_.fields(f, n_);
    }

private:
    // The value at row n_ (v not yet kept: the value leaving the window of
    // p - 1 is the kept one p - 2 back).
    double next(double& l, double& o, double v) const {
        using G = CentreOfGravity;
        if (p_ < 2 || n_ < 3) return NaN;
        if (n_ - 1 <= p_) {  // n_ <= p + 1, without the wrapping addition
            G::seed(l, o, v, n_);
            if (n_ - 1 < p_) return NaN;
        } else {
            G::slide(l, o, v, tail_.back(static_cast<std::size_t>(p_ - 2)), n_, p_);
        }
        return G::value(n_, l, o);
    }
    std::uint64_t p_;
    Tail tail_;
    double l_ = 0.0, o_ = 0.0;
};

// dpo: the running sum of the last p values; the value lagged by p/2 + 1
// comes from the tail.
class Dpo : public KernelOf<Dpo> {
public:
    explicit Dpo(std::uint64_t period) : p_(period), half_(period / 2), tail_(stream::saturated(period, 1)) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        std::size_t i = 0;
        for (; i < k && (p_ == 0 || n_ < p_ || n_ - p_ < half_ || k - i < stream::kLongChunk); ++i, ++n_) {
            out[0][i] = next(s_, in[0][i]);
            tail_.push(in[0][i]);
        }
        if (i == k) return;
        // Past the window's start: the batch loop from the stream's sum.
        stream::run_long<1>({&tail_}, {in[0] + i}, k - i, [&](const auto& x, std::size_t from, std::size_t at) {
            Detrended::run(x[0], static_cast<std::size_t>(p_), from, s_, out[0] + i + at);
        });
        n_ += k - i;
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double s = s_;
        out[0][0] = next(s, in[0][0]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(s_);
        tail_.fields(f, n_);
    }

private:
    // The value at row n_ (v not yet kept: the values p and p/2 + 1 rows
    // back are the kept ones p - 1 and p/2 back).
    double next(double& s, double v) const {
        if (p_ == 0) return NaN;
        if (n_ < p_) {
            s = s + v;
            return NaN;
        }
        Detrended::slide(s, v, tail_.back(static_cast<std::size_t>(p_ - 1)));
        if (n_ - p_ < half_) return NaN;
        return Detrended::value(tail_.back(static_cast<std::size_t>(half_)), s, static_cast<double>(p_));
    }
    std::uint64_t p_, half_;
    Tail tail_;
    double s_ = 0.0;
};

// Fisher transform: its smoothed position and transform, from row `period`
// on, with the window's extremes folded afresh from the kept prices.
class Fisher : public KernelOf<Fisher> {
public:
    explicit Fisher(std::uint64_t period) : p_(period), prices_(period) {}
    void admit(std::uint64_t n) const override {
        if (n > 0 && p_ == 0) throw InternalError("fisher period must be at least 1");
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k >= stream::kLongChunk) return chunk(in[0], in[1], k, out);
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double price = FisherState::price(in[0][i], in[1][i]);
            prices_.push(price);
            out[0][i] = out[1][i] = 0.0;
            if (n_ < p_) continue;
            double hi, lo;
            extremes_num(values_of(prices_), static_cast<std::size_t>(p_), hi, lo);
            st_.next(price, hi, lo, out[0][i], out[1][i]);
        }
    }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        chunk(m.column(col::high), m.column(col::low), m.rows, out);
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(st_.v);
        f.num(st_.fish);
        prices_.fields(f, n_);
    }

private:
    // A long chunk as the batch function runs: the prices, then the
    // window extremes' queues over the kept prices and the chunk's.
    template <class X>
    void chunk(const X& high, const X& low, std::size_t k, double* const* out) {
        std::vector<double> price(k);
        for (std::size_t i = 0; i < k; ++i) price[i] = FisherState::price(high[i], low[i]);
        stream::run_long<1>({&prices_}, {price.data()}, k, [&](const auto& x, std::size_t from, std::size_t at) {
            fisher_from(x[0], p_, from, st_, out[0] + at, out[1] + at);
        });
        n_ += k;
    }

    std::uint64_t p_;
    Tail prices_;
    FisherState st_;
};

// Mass index: the EMA ratio's recurrence and its last `period` values,
// summed afresh as the batch windows are.
class Mass : public KernelOf<Mass> {
public:
    explicit Mass(std::uint64_t period) : p_(period), ratios_(period) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k >= stream::kLongChunk) return chunk(in[0], in[1], k, out[0]);
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            ratios_.push(st_.next(in[0][i], in[1][i], n_ == 0));
            out[0][i] = 0.0;
            if (p_ > 0 && n_ >= p_ - 1) out[0][i] = list_sum(values_of(ratios_), static_cast<std::size_t>(p_));
        }
    }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        chunk(m.column(col::high), m.column(col::low), m.rows, out[0]);
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(st_.e1);
        f.num(st_.e2);
        ratios_.fields(f, n_);
    }

private:
    // A long chunk as the batch function runs: the ratio recurrence, then
    // the window sums over the kept ratios and the chunk's.
    template <class X>
    void chunk(const X& high, const X& low, std::size_t k, double* out) {
        std::vector<double> r(k);
        MassRatio st = st_;
        for (std::size_t i = 0; i < k; ++i) r[i] = st.next(high[i], low[i], n_ + i == 0);
        st_ = st;
        stream::run_long<1>({&ratios_}, {r.data()}, k, [&](const auto& x, std::size_t from, std::size_t at) {
            const std::size_t n = x[0].size();
            const std::size_t first = p_ == 0 || p_ > n ? n : std::max<std::size_t>(from, p_ - 1);
            std::fill_n(out + at, first - from, 0.0);
            if (first < n) fresh_window_sums_from(x[0].p, n, p_, first, out + at + (first - from));
        });
        n_ += k;
    }

    std::uint64_t p_;
    Tail ratios_;
    MassRatio st_;
};

// PFE: the newest value of every difference order below period-1 (the next
// value extends each order by one subtraction, as the batch passes do), the
// path sum with its last steps, and the EMA of the signed efficiency.
class Pfe : public KernelOf<Pfe> {
public:
    Pfe(std::uint64_t period, std::uint64_t smoothing)
        : p_(period), q_(period >= 2 ? period - 1 : 0), c_(ema_coefficients(smoothing)), steps_(q_) {}
    void admit(std::uint64_t) const override {
        if (p_ < 2) throw ValueError("pfe period must be at least 2");
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double x = in[0][i];
            const double d = difference(orders_, x);
            if (orders_.size() < q_) orders_.push_back(d);
            double b;
            out[0][i] = next(path_, e_, x, d, b);
            if (n_ > 0) steps_.push(b);
            prev_ = x;
        }
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        const double x = in[0][0];
        double path = path_, e = e_, b;
        out[0][0] = next(path, e, x, difference(orders_, x), b);
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&prev_, &path_, &e_}) f.num(*v);
        f.values(orders_);
        steps_.fields(f, n_ > 0 ? n_ - 1 : 0);
        if (orders_.size() != std::min(n_, q_)) throw ValueError("invalid stream state");
    }

private:
    // The newest value of the highest order kept once x extends each order
    // by one subtraction; the orders move on unless they are const.
    template <class Orders>
    static double difference(Orders& orders, double x) {
        double d = x;  // order 0, then each higher order's newest value
        for (auto& older : orders) {
            const double higher = d - older;
            if constexpr (!std::is_const_v<Orders>) older = d;
            d = higher;
        }
        return d;
    }
    // The value at row n_ from x and its difference d; `b` is the path step
    // to keep (from row 1 on; the steps not yet moved on).
    double next(double& path, double& e, double x, double d, double& b) const {
        b = 0.0;
        if (n_ > 0) {
            b = Efficiency::step(prev_, x);
            if (n_ <= q_) {
                path = path + b;
            } else {
                Efficiency::slide(path, b, steps_.back(static_cast<std::size_t>(q_ - 1)));
            }
        }
        const double y = n_ >= q_ ? Efficiency::value(d, path, static_cast<double>(p_)) : -0.0;
        return e = n_ == 0 ? y : smooth(c_, e, y);
    }
    std::uint64_t p_, q_;
    EmaCoefficients c_;
    Tail steps_;
    std::vector<double> orders_;
    double prev_ = 0.0, path_ = 0.0, e_ = 0.0;
};

// DTI: the previous high and low and the six EMA stages from row 0; the
// batch form is all NaN while any period is at least the history's length.
class Dti : public KernelOf<Dti> {
public:
    Dti(std::uint64_t r, std::uint64_t s, std::uint64_t u)
        : c_{ema_coefficients(r), ema_coefficients(s), ema_coefficients(u)}, top_(std::max({r, s, u})) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override { run(in[0], in[1], k, out[0]); }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        run(m.column(col::high), m.column(col::low), m.rows, out[0]);
        return true;
    }
    template <class X>
    void run(const X& high, const X& low, std::size_t k, double* out) {
        DtiState st = st_;
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double h = high[i], l = low[i];
            if (n_ == 0) {
                st.start(h, l);
                out[i] = 0.0;
            } else {
                out[i] = st.next(c_, h, l);
            }
        }
        st_ = st;
        if (n_ <= top_) std::fill_n(out, k, NaN);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(st_.high);
        f.num(st_.low);
        for (double& v : st_.e) f.num(v);
        for (double& v : st_.a) f.num(v);
    }

private:
    EmaCoefficients c_[3];
    std::uint64_t top_;
    DtiState st_;
};

// WaveTrend: each row's price as wt picks it, its three EMA stages, and
// wt2's growing sum or previous value with the last wtmalen wt1 values. The
// four flags leave as 1.0 or 0.0; the module hands them out as bools.
class Wt : public KernelOf<Wt> {
public:
    Wt(std::uint64_t channel, std::uint64_t average, std::uint64_t ma, double oblevel, double oslevel,
       std::string_view source_type)
        : ch_(ema_coefficients(channel)),
          av_(ema_coefficients(average)),
          ml_(ma),
          ob_(oblevel),
          os_(oslevel),
          source_(wt_source_name(source_type)),
          wt1_(stream::saturated(ma, 1)) {}
    // Fed open, close, high and low: rows of five columns again for the
    // price source (the timestamp unread).
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k == 0) return;
        rows_.resize(kCols * k);
        {
            const PriceSource price = prices(in, k, rows_.data(), derived_);
            run(price.view(), k, out);
        }
        if (rows_.capacity() > kCols * 4096) {
            rows_.release();
            derived_.release();
        }
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double row[kCols];
        const PriceSource price = prices(in, 1, row, peek_derived_);
        WaveTrend st = st_;
        double s = s_, w2 = w2_;
        next(st, s, w2, price.view()[0], out, 0);
    }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        {
            const PriceSource price(m, source_, NameCase::Exact, derived_);
            run(price.view(), m.rows, out);
        }
        if (derived_.capacity() > 4096) derived_.release();
        return true;
    }
    // On a fresh stream the rows are the whole history: the batch function's
    // passes over them give its result as it is (the flags as bools), and
    // leave the EMA stages and wt2's sum the stream keeps.
    bool feed_whole(const double* const*, const MatrixView* rows, std::size_t k, Value& result) override {
        if (n_ != 0 || !rows || k == 0) return false;
        WaveTrend st = st_;
        double s = s_;
        result = wt_over(*rows, ch_, av_, ml_, ob_, os_, source_, st, s);
        st_ = st;
        s_ = s;
        const Tuple& t = std::get<Tuple>(result.v);
        const Series& wt1 = std::get<Series>(t[0].v);
        w2_ = std::get<Series>(t[1].v)[k - 1];
        stream::push_newest(wt1_, k, [&](std::size_t j) { return wt1[j]; });
        n_ = k;
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&st_.esa, &st_.de, &st_.w1, &s_, &w2_}) f.num(*v);
        wt1_.fields(f, n_);
    }

private:
    static constexpr std::size_t kCols = 5;
    // The price of k rows as wt picks it, the rows written to `rows` (kCols
    // values each), a derived price to `derived`.
    PriceSource prices(const double* const* in, std::size_t k, double* rows, std::vector<double>& derived) const {
        std::fill_n(rows, kCols * k, 0.0);
        for (std::size_t i = 0; i < k; ++i) {
            rows[kCols * i + col::open] = in[0][i];
            rows[kCols * i + col::close] = in[1][i];
            rows[kCols * i + col::high] = in[2][i];
            rows[kCols * i + col::low] = in[3][i];
        }
        constexpr auto step = static_cast<std::ptrdiff_t>(sizeof(double));
        const MatrixView m{reinterpret_cast<const char*>(rows), kCols * step, step, k, kCols};
        return PriceSource(m, source_, NameCase::Exact, derived);
    }
    // Row n_'s outputs (out[q][i]) from its price; returns its wt1, to keep
    // (wt1 of the row wtmalen back is the kept one wtmalen - 1 back).
    double next(WaveTrend& st, double& s, double& w2, double ap, double* const* out, std::size_t i) const {
        const double w1 = st.next(ch_, av_, ap, n_ == 0);
        double v2 = 0.0;
        if (ml_ > 0) {
            v2 = n_ < ml_ ? WaveTrend::growing_mean(s, w1, n_)
                          : WaveTrend::moving_mean(w2, w1, wt1_.back(static_cast<std::size_t>(ml_ - 1)),
                                                   static_cast<double>(ml_));
        }
        w2 = v2;
        out[0][i] = w1;
        out[1][i] = v2;
        flags(out, i);
        return w1;
    }
    // The flags of row i from its wt1 and wt2.
    void flags(double* const* out, std::size_t i) const {
        const WaveTrendFlags f(out[0][i], out[1][i], ob_, os_);
        out[2][i] = f.cross_up ? 1.0 : 0.0;
        out[3][i] = f.cross_down ? 1.0 : 0.0;
        out[4][i] = f.oversold ? 1.0 : 0.0;
        out[5][i] = f.overbought ? 1.0 : 0.0;
        out[6][i] = f.diff;
    }
    // Row by row while wt2's mean grows or the rest is short; a long rest
    // by the batch function's passes: wt1's EMA stages, wt2's moving mean
    // over the kept wt1 values and the chunk's, then the flags.
    void run(const SeriesView& ap, std::size_t k, double* const* out) {
        std::size_t i = 0;
        for (; i < k && (n_ < ml_ || k - i < stream::kLongChunk); ++i, ++n_)
            wt1_.push(next(st_, s_, w2_, ap[i], out, i));
        if (i == k) return;
        WaveTrend st = st_;  // a local the outputs' stores cannot alias
        for (std::size_t j = i; j < k; ++j) out[0][j] = st.next(ch_, av_, ap[j], n_ + (j - i) == 0);
        st_ = st;
        const double mld = static_cast<double>(ml_);
        stream::run_long<1>({&wt1_}, {out[0] + i}, k - i, [&](const auto& x, std::size_t from, std::size_t at) {
            double* o = out[1] + i + at;
            if (ml_ == 0) {
                std::fill_n(o, x[0].size() - from, 0.0);
                return;
            }
            const auto ml = static_cast<std::size_t>(ml_);
            double w2 = w2_;
            for (std::size_t j = from; j < x[0].size(); ++j)
                o[j - from] = w2 = WaveTrend::moving_mean(w2, x[0][j], x[0][j - ml], mld);
            w2_ = w2;
        });
        for (std::size_t q = i; q < k; ++q) flags(out, q);
        n_ += k - i;
    }
    EmaCoefficients ch_, av_;
    std::uint64_t ml_;
    double ob_, os_;
    std::string source_;
    Tail wt1_;
    WaveTrend st_;
    double s_ = 0.0, w2_ = 0.0;
    Scratch rows_, derived_;  // of one call
    mutable Scratch peek_derived_;  // peek's derived price
};

// The last rows' highs and lows, whose window extremes are folded afresh
// for each new row, as the stochastics and Williams' %R take them.
class HighLowTail {
public:
    explicit HighLowTail(std::uint64_t p) : p_(p), high_(p), low_(p) {}
    void push(double h, double l) {
        high_.push(h);
        low_.push(l);
    }
    // Whether a window of p rows ends at row n (rows 0 .. n pushed).
    bool full(std::uint64_t n) const { return p_ >= 1 && n >= p_ - 1; }
    // The extremes window_high_low gives there (NaN-ignoring: those of
    // block_high_low<true>).
    template <bool NanAware>
    void extremes(double& hh, double& ll) const {
        const auto m = static_cast<std::size_t>(p_);
        if constexpr (NanAware) {
            high_low_num_of_window(values_of(high_), values_of(low_), m, hh, ll);
        } else {
            high_low_of_window(values_of(high_), values_of(low_), m, hh, ll);
        }
    }
    // What `step(close, highest, lowest)` gives on the window ending at row
    // n, NaN until a whole window is in.
    template <bool NanAware, class Step>
    double from_window(double close, std::uint64_t n, Step step) const {
        if (!full(n)) return NaN;
        double hh, ll;
        extremes<NanAware>(hh, ll);
        return step(close, hh, ll);
    }
    void fields(Fields& f, std::uint64_t fed) {
        high_.fields(f, fed);
        low_.fields(f, fed);
    }
    // A long chunk of highs and lows through a batch kernel (stream::run_long).
    template <class X, class Run>
    void run_long(const X& high, const X& low, std::size_t k, Run&& run) {
        stream::run_long<2>({&high_, &low_}, std::array<X, 2>{high, low}, k, run);
    }

private:
    std::uint64_t p_;
    Tail high_, low_;
};

// The stochastics' window mean over the last w values of `t`, from the
// row where w values are in (rows 0 .. n pushed).
double mean_at(const Tail& t, std::uint64_t w, std::uint64_t n) {
    return w >= 1 && n >= w - 1 ? window_mean_of(values_of(t), w) : NaN;
}

// The batch functions' failure for a zero period, whatever the rows.
void require_period(std::uint64_t p, std::uint64_t n) {
    if (p == 0) index_out_of_range(static_cast<std::size_t>(-1), static_cast<std::size_t>(n));
}

// Slow stochastic: fastk from the NaN-ignoring extremes of the last
// fastk_period rows, slowk the mean of the last slowk_period fastk values,
// slowd that of the last slowd_period slowk values, each summed afresh.
class Stoch : public KernelOf<Stoch> {
public:
    Stoch(std::uint64_t fastk_period, std::uint64_t slowk_period, std::uint64_t slowd_period)
        : fk_(fastk_period), sk_(slowk_period), sd_(slowd_period), rows_(fastk_period), fastk_(sk_), slowk_(sd_) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k >= stream::kLongChunk) return chunk(in[0], in[1], in[2], k, out);
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            rows_.push(in[1][i], in[2][i]);
            fastk_.push(rows_.from_window<true>(in[0][i], n_,
                                                [](double c, double hh, double ll) { return slow_fastk(c, hh, ll); }));
            const double slowk = mean_at(fastk_, sk_, n_);
            slowk_.push(slowk);
            out[0][i] = slowk;
            out[1][i] = mean_at(slowk_, sd_, n_);
        }
    }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        chunk(m.column(col::close), m.column(col::high), m.column(col::low), m.rows, out);
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        rows_.fields(f, n_);
        fastk_.fields(f, n_);
        slowk_.fields(f, n_);
    }

private:
    // A long chunk through the batch kernels, stage by stage over each
    // stage's kept values; fastk waits in out[1] until slowk has been taken
    // from it.
    template <class X>
    void chunk(const X& close, const X& high, const X& low, std::size_t k, double* const* out) {
        rows_.run_long(high, low, k, [&](const auto& x, std::size_t from, std::size_t at) {
            extremes_from<true>(x[0], x[1], stream::rows_from(close, at), fk_, from, out[1] + at,
                                [](double c, double h, double l) { return slow_fastk(c, h, l); });
        });
        stream::run_long<1>({&fastk_}, std::array<const double*, 1>{out[1]}, k,
                            [&](const auto& x, std::size_t from, std::size_t at) {
                                window_mean_from(x[0].p, x[0].size(), sk_, from, out[0] + at);
                            });
        stream::run_long<1>({&slowk_}, std::array<const double*, 1>{out[0]}, k,
                            [&](const auto& x, std::size_t from, std::size_t at) {
                                window_mean_from(x[0].p, x[0].size(), sd_, from, out[1] + at);
                            });
        n_ += k;
    }

    std::uint64_t fk_, sk_, sd_;
    HighLowTail rows_;
    Tail fastk_, slowk_;
};

// Fast stochastic: fastk from the window extremes of the last fastk_period
// rows, fastd the mean of the last fastd_period fastk values.
class Stochf : public KernelOf<Stochf> {
public:
    Stochf(std::uint64_t fastk_period, std::uint64_t fastd_period)
        : fk_(fastk_period), fd_(fastd_period), rows_(fk_), fastk_(fd_) {}
    void admit(std::uint64_t n) const override { require_period(fk_, n); }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k >= stream::kLongChunk) return chunk(in[0], in[1], in[2], k, out);
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            rows_.push(in[1][i], in[2][i]);
            const double fastk = rows_.from_window<false>(
                in[0][i], n_, [](double c, double hh, double ll) { return fast_fastk(c, hh, ll); });
            fastk_.push(fastk);
            out[0][i] = fastk;
            out[1][i] = mean_at(fastk_, fd_, n_);
        }
    }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        chunk(m.column(col::close), m.column(col::high), m.column(col::low), m.rows, out);
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        rows_.fields(f, n_);
        fastk_.fields(f, n_);
    }

private:
    template <class X>
    void chunk(const X& close, const X& high, const X& low, std::size_t k, double* const* out) {
        rows_.run_long(high, low, k, [&](const auto& x, std::size_t from, std::size_t at) {
            extremes_from<false>(x[0], x[1], stream::rows_from(close, at), fk_, from, out[0] + at,
                                 [](double c, double h, double l) { return fast_fastk(c, h, l); });
        });
        stream::run_long<1>({&fastk_}, std::array<const double*, 1>{out[0]}, k,
                            [&](const auto& x, std::size_t from, std::size_t at) {
                                window_mean_from(x[0].p, x[0].size(), fd_, from, out[1] + at);
                            });
        n_ += k;
    }

    std::uint64_t fk_, fd_;
    HighLowTail rows_;
    Tail fastk_;
};

// Williams' %R from the window extremes of the last `period` rows.
class Willr : public KernelOf<Willr> {
public:
    explicit Willr(std::uint64_t period) : p_(period), rows_(period) {}
    void admit(std::uint64_t n) const override { require_period(p_, n); }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k >= stream::kLongChunk) return chunk(in[0], in[1], in[2], k, out);
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            rows_.push(in[1][i], in[2][i]);
            out[0][i] = NaN;
            if (!rows_.full(n_)) continue;
            double hh, ll;
            rows_.extremes<false>(hh, ll);
            out[0][i] = williams_r(in[0][i], hh, ll);
        }
    }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        chunk(m.column(col::close), m.column(col::high), m.column(col::low), m.rows, out);
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        rows_.fields(f, n_);
    }

private:
    template <class X>
    void chunk(const X& close, const X& high, const X& low, std::size_t k, double* const* out) {
        rows_.run_long(high, low, k, [&](const auto& x, std::size_t from, std::size_t at) {
            extremes_from<false>(x[0], x[1], stream::rows_from(close, at), p_, from, out[0] + at,
                                 [](double c, double h, double l) { return williams_r(c, h, l); });
        });
        n_ += k;
    }

    std::uint64_t p_;
    HighLowTail rows_;
};

}  // namespace

std::unique_ptr<stream::Kernel> cmo(std::uint64_t period) { return std::make_unique<Cmo>(period); }
std::unique_ptr<stream::Kernel> macd(std::uint64_t fast_period, std::uint64_t slow_period,
                                     std::uint64_t signal_period) {
    return std::make_unique<Macd>(
        MacdStep{ema_coefficients(fast_period), ema_coefficients(slow_period), ema_coefficients(signal_period)});
}
std::unique_ptr<stream::Kernel> rsi(std::uint64_t period) { return std::make_unique<Rsi>(period); }

std::unique_ptr<stream::Kernel> srsi(std::uint64_t period, std::uint64_t period_stoch, std::uint64_t k_period,
                                     std::uint64_t d_period) {
    return std::make_unique<Srsi>(period, period_stoch, k_period, d_period);
}
std::unique_ptr<stream::Kernel> rsx(std::uint64_t period) { return std::make_unique<Rsx>(period); }
std::unique_ptr<stream::Kernel> lrsi(double alpha) { return std::make_unique<Lrsi>(alpha); }
std::unique_ptr<stream::Kernel> cfo(std::uint64_t period, double scalar) {
    return std::make_unique<Cfo>(period, scalar);
}
std::unique_ptr<stream::Kernel> fosc(std::uint64_t period) { return std::make_unique<Fosc>(period); }
std::unique_ptr<stream::Kernel> cg(std::uint64_t period) { return std::make_unique<Cg>(period); }
std::unique_ptr<stream::Kernel> dpo(std::uint64_t period) { return std::make_unique<Dpo>(period); }
std::unique_ptr<stream::Kernel> fisher(std::uint64_t period) { return std::make_unique<Fisher>(period); }
std::unique_ptr<stream::Kernel> mass(std::uint64_t period) { return std::make_unique<Mass>(period); }
std::unique_ptr<stream::Kernel> pfe(std::uint64_t period, std::uint64_t smoothing) {
    return std::make_unique<Pfe>(period, smoothing);
}
std::unique_ptr<stream::Kernel> dti(std::uint64_t r, std::uint64_t s, std::uint64_t u) {
    return std::make_unique<Dti>(r, s, u);
}

std::unique_ptr<stream::Kernel> wt(std::uint64_t wtchannellen, std::uint64_t wtaveragelen, std::uint64_t wtmalen,
                                   double oblevel, double oslevel, std::string_view source_type) {
    return std::make_unique<Wt>(wtchannellen, wtaveragelen, wtmalen, oblevel, oslevel, source_type);
}

std::unique_ptr<stream::Kernel> stoch(std::uint64_t fastk_period, std::uint64_t slowk_period, std::uint64_t,
                                      std::uint64_t slowd_period, std::uint64_t) {
    return std::make_unique<Stoch>(fastk_period, slowk_period, slowd_period);
}
std::unique_ptr<stream::Kernel> stochf(std::uint64_t fastk_period, std::uint64_t fastd_period, std::uint64_t) {
    return std::make_unique<Stochf>(fastk_period, fastd_period);
}
std::unique_ptr<stream::Kernel> willr(std::uint64_t period) { return std::make_unique<Willr>(period); }

}  // namespace korva::osc::streams
