// Streams of the core averages: each keeps the state its batch function
// carries and advances it with the same kernels (helpers/smoothing.hpp,
// steps.hpp), so a value fed now is the batch value at that position.
#pragma GCC diagnostic ignored "-Wpsabi"  // wide vectors stay inside inlined code
#include "streams.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "../helpers/price_source.hpp"
#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/result.hpp"
#include "../helpers/smoothing.hpp"
#include "steps.hpp"

namespace korva::ma::streams {
namespace {

using stream::Fields;
using stream::KernelOf;
using stream::Scratch;
using stream::Tail;

void fill_nan(double* out, std::size_t k) { std::fill_n(out, k, NaN); }

// ema and wilders: the recurrence seeded with the first value. ema's batch
// form is all NaN while the history is shorter than the period (Warm).
template <bool Warm>
class Seeded : public KernelOf<Seeded<Warm>> {
public:
    Seeded(EmaCoefficients c, std::uint64_t period) : c_(c), period_(period) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k == 0) return;
        const ContiguousView<double> x{in[0], k};
        std::size_t first = 0;
        if (this->n_ == 0) {
            e_ = out[0][0] = x[0];
            first = 1;
        }
        e_ = recurrence_from(x, first, k, c_, e_, out[0]);
        this->n_ += k;
        if (Warm && this->n_ < period_) fill_nan(out[0], k);
    }
    void fields(Fields& f) override {
        f.count(this->n_);
        f.num(e_);
    }

private:
    EmaCoefficients c_;
    std::uint64_t period_;
    double e_ = 0.0;
};

// The NaN-aware rolling mean: the running sum and count, and the window
// whose leaving values it subtracts.
class Sma : public KernelOf<Sma> {
public:
    explicit Sma(std::uint64_t p) : p_(p), tail_(p) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            out[0][i] = next(m_, in[0][i]);
            tail_.push(in[0][i]);
        }
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        RollingMean m = m_;
        out[0][0] = next(m, in[0][0]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(m_.sum);
        f.count(m_.count);
        tail_.fields(f, n_);
        // The running count is the window's non-NaN values: a count that
        // disagrees would divide the sum by another number of them.
        const ContiguousView<double> w = tail_.window();
        std::uint64_t held = 0;
        for (std::size_t i = 0; i < w.size(); ++i) held += std::isnan(w[i]) ? 0 : 1;
        if (m_.count != held) throw ValueError("invalid stream state");
    }

private:
    // The mean at row n_, v entering `m` (the window not yet moved on).
    double next(RollingMean& m, double v) const {
        if (p_ == 0) return NaN;
        if (n_ < p_) {
            m.add(v);
        } else {
            m.slide(tail_.back(static_cast<std::size_t>(p_ - 1)), v);
        }
        return n_ + 1 >= p_ ? m.mean() : NaN;
    }
    std::uint64_t p_;
    RollingMean m_;
    Tail tail_;
};

// smma: NaN until the plain mean of the first `length` values seeds the
// Wilder recurrence.
class Smma : public KernelOf<Smma> {
public:
    explicit Smma(std::uint64_t length) : length_(length), c_(wilder_coefficients(length)) {}
    void admit(std::uint64_t n) const override {
        if (length_ == 0) index_out_of_range(static_cast<std::size_t>(-1), static_cast<std::size_t>(n));
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        std::size_t i = 0;
        for (; i < k && n_ < length_; ++i, ++n_) {
            seed_.add(in[0][i]);
            out[0][i] = NaN;
            if (n_ + 1 == length_) out[0][i] = e_ = seed_.mean(length_);
        }
        if (i == k) return;
        e_ = recurrence_from(ContiguousView<double>{in[0], k}, i, k, c_, e_, out[0]);
        n_ += k - i;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(seed_.sum);
        f.num(e_);
    }

private:
    std::uint64_t length_;
    EmaCoefficients c_;
    PlainMean seed_;
    double e_ = 0.0;
};

// The linear-weighted mean of the window, summed afresh at each position as
// the batch form does: O(period) per value.
class Wma : public KernelOf<Wma> {
public:
    explicit Wma(std::uint64_t p) : p_(p), tail_(p) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            tail_.push(in[0][i]);
            out[0][i] = p_ > 0 && n_ + 1 >= p_ ? linear_weighted_mean(tail_.window(), p_ - 1, p_) : NaN;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        tail_.fields(f, n_);
    }

private:
    std::uint64_t p_;
    Tail tail_;
};

// dema and tema: chained EMA stages, every stage seeded with x[0]; position
// 0 of a one-value history is x[0] itself for dema.
template <class Step, bool LoneFirst>
class Chain : public KernelOf<Chain<Step, LoneFirst>> {
public:
    explicit Chain(EmaCoefficients c) : step_{{c}} {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k == 0) return;
        std::size_t first = 0;
        if (this->n_ == 0) {
            const double x0 = in[0][0];
            for (double& v : s_) v = x0;
            out[0][0] = LoneFirst && k == 1 ? x0 : Step::first(x0);
            first = 1;
        }
        rec::run(step_, in, out, first, k, s_);
        this->n_ += k;
    }
    void fields(Fields& f) override {
        f.count(this->n_);
        for (double& v : s_) f.num(v);
    }

private:
    Step step_;
    double s_[Step::kState] = {};
};

// trix: the EMA stages of log prices; position 0 has no change.
class Trix : public KernelOf<Trix> {
public:
    explicit Trix(EmaCoefficients c) : step_{{c}} {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k == 0) return;
        logs_.resize(k);
        for (std::size_t i = 0; i < k; ++i) logs_[i] = TrixStep::input(in[0][i]);
        std::size_t first = 0;
        if (n_ == 0) {
            for (double& v : s_) v = logs_[0];
            out[0][0] = NaN;
            first = 1;
        }
        const double* l[1] = {logs_.data()};
        rec::run(step_, l, out, first, k, s_);
        n_ += k;
        if (logs_.capacity() > 4096) logs_.release();
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double& v : s_) f.num(v);
    }

private:
    TrixStep step_;
    double s_[TrixStep::kState] = {};
    Scratch logs_;  // of one call
};

// kama: copies of the input up to position period - 1, then the adaptive
// step over the running volatility of the window.
class Kama : public KernelOf<Kama> {
public:
    Kama(std::uint64_t period, std::uint64_t fast, std::uint64_t slow)
        : p_(period), step_(fast, slow), tail_(stream::saturated(period, 1)) {}
    void admit(std::uint64_t n) const override {
        if (p_ == 0 && n > 0) index_out_of_range(static_cast<std::size_t>(-1), static_cast<std::size_t>(n));
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            out[0][i] = next(vol_, prev_, in[0][i]);
            tail_.push(in[0][i]);
        }
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double vol = vol_, prev = prev_;
        out[0][0] = next(vol, prev, in[0][0]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(vol_);
        f.num(prev_);
        tail_.fields(f, n_);
    }

private:
    // The value at row n_ (the window not yet moved on).
    double next(double& vol, double& prev, double v) const {
        if (n_ < p_) {
            if (n_ > 0) vol = KamaStep::enter(vol, tail_.back(0), v);
            return prev = v;
        }
        vol = KamaStep::enter(vol, tail_.back(0), v);
        const double then = tail_.back(static_cast<std::size_t>(p_ - 1));
        if (n_ > p_) vol = KamaStep::leave(vol, tail_.back(static_cast<std::size_t>(p_)), then);
        return prev = step_.value(vol, prev, v, then);
    }
    std::uint64_t p_;
    KamaStep step_;
    Tail tail_;
    double vol_ = 0.0, prev_ = 0.0;
};

// The price a source_type names, formed by the batch's price source from
// the rows of one call (the candle columns in order).
class Prices {
public:
    explicit Prices(std::string_view source_type) : source_(source_type) {}
    const double* of(const double* const* in, std::size_t k) {
        rows_.resize(6 * k);
        for (std::size_t i = 0; i < k; ++i)
            for (std::size_t c = 0; c < 6; ++c) rows_[6 * i + c] = in[c][i];
        constexpr auto step = static_cast<std::ptrdiff_t>(sizeof(double));
        const MatrixView m{reinterpret_cast<const char*>(rows_.data()), 6 * step, step, k, 6};
        const PriceSource price(m, source_, NameCase::Fold, derived_);
        prices_.resize(k);
        with_view(price.view(), [&](const auto& y) {
            for (std::size_t i = 0; i < k; ++i) prices_[i] = y[i];
        });
        return prices_.data();
    }
    // Scratch only: a large call's buffers are not kept.
    void trim() {
        if (rows_.capacity() > 6 * 4096) {
            rows_.release();
            prices_.release();
            derived_.release();
        }
    }

private:
    std::string source_;
    Scratch rows_, prices_, derived_;
};

// t3: the price its source_type names, then the six EMA stages.
class T3 : public KernelOf<T3> {
public:
    T3(std::uint64_t period, double vfactor, std::string_view source_type)
        : step_(period, vfactor), prices_(source_type) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k == 0) return;
        const double* y[1] = {prices_.of(in, k)};
        std::size_t first = 0;
        if (n_ == 0) {
            for (double& v : s_) v = y[0][0];
            out[0][0] = step_.first(y[0][0]);
            first = 1;
        }
        rec::run(step_, y, out, first, k, s_);
        n_ += k;
        prices_.trim();
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double& v : s_) f.num(v);
    }

private:
    T3Step step_;
    Prices prices_;
    double s_[6] = {};
};

// zlema: the EMA of the lag-compensated price from position `lag` on; the
// batch form is all NaN while the history is no longer than the period.
class Zlema : public KernelOf<Zlema> {
public:
    explicit Zlema(std::uint64_t period)
        : period_(period), lag_((period - 1) / 2), c_(ema_coefficients(period)), tail_(stream::saturated(lag_, 1)) {}
    void admit(std::uint64_t n) const override {
        if (period_ < n && lag_ >= n) index_out_of_range(static_cast<std::size_t>(lag_), static_cast<std::size_t>(n));
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            out[0][i] = next(e_, in[0][i]);
            tail_.push(in[0][i]);
        }
        if (!shown(n_)) std::fill_n(out[0], k, NaN);
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double e = e_;
        out[0][0] = next(e, in[0][0]);
        if (!shown(n_ + 1)) out[0][0] = NaN;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(e_);
        tail_.fields(f, n_);
    }

private:
    // The average at row n_ (v not yet kept: the value `lag` rows back is
    // the kept one lag - 1 back, or v itself).
    double next(double& e, double v) const {
        if (n_ < lag_) return NaN;
        const double x = zlema_input(v, lag_ == 0 ? v : tail_.back(static_cast<std::size_t>(lag_ - 1)));
        return e = n_ == lag_ ? x : smooth(c_, e, x);
    }
    // Whether a history of `fed` rows shows anything.
    bool shown(std::uint64_t fed) const { return fed > period_; }
    std::uint64_t period_, lag_;
    EmaCoefficients c_;
    Tail tail_;
    double e_ = 0.0;
};

// vwma: the leading totals, and the trailing totals formed again from the
// rows `period` back (kept), as the batch form does.
class Vwma : public KernelOf<Vwma> {
public:
    explicit Vwma(std::uint64_t period) : p_(period), closes_(period), volumes_(period) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *close = in[0], *volume = in[1];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            out[0][i] = next(lead_, trail_, close[i], volume[i]);
            closes_.push(close[i]);
            volumes_.push(volume[i]);
        }
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        VwmaTotals lead = lead_, trail = trail_;
        out[0][0] = next(lead, trail, in[0][0], in[1][0]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&lead_.price_volume, &lead_.volume, &trail_.price_volume, &trail_.volume}) f.num(*v);
        closes_.fields(f, n_);
        volumes_.fields(f, n_);
    }

private:
    // The value at row n_ (the rows not yet kept).
    double next(VwmaTotals& lead, VwmaTotals& trail, double close, double volume) const {
        lead.add(close, volume, n_ == 0);
        double num = lead.price_volume, den = lead.volume;
        if (n_ >= p_) {
            const auto back = static_cast<std::size_t>(p_ - 1);
            const double c = p_ == 0 ? close : closes_.back(back);
            const double v = p_ == 0 ? volume : volumes_.back(back);
            trail.add(c, v, n_ == p_);
            num = lead.price_volume - trail.price_volume;
            den = lead.volume - trail.volume;
        }
        return VwmaTotals::value(num, den);
    }
    std::uint64_t p_;
    VwmaTotals lead_, trail_;
    Tail closes_, volumes_;
};

// jma, hwma and mcginley_dynamic: the batch step's state, one value at a
// time; the first value seeds it.
class Jma : public KernelOf<Jma> {
public:
    Jma(std::uint64_t period, double phase, std::uint64_t power) : step_(period, phase, power) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) out[0][i] = n_ == 0 ? s_.out = in[0][i] : step_.next(s_, in[0][i]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&s_.ma1, &s_.det0, &s_.det1, &s_.out}) f.num(*v);
    }

private:
    JmaStep step_;
    JmaStep::State s_;
};

class Hwma : public KernelOf<Hwma> {
public:
    Hwma(double na, double nb, double nc) : step_(na, nb, nc) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            if (n_ == 0) s_ = {in[0][i], 0.0, 0.0};
            out[0][i] = step_.next(s_, in[0][i]);
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&s_.f, &s_.vel, &s_.acc}) f.num(*v);
    }

private:
    HwmaStep step_;
    HwmaStep::State s_;
};

class McGinley : public KernelOf<McGinley> {
public:
    McGinley(std::uint64_t period, double k) : step_(period, k) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) out[0][i] = md_ = n_ == 0 ? in[0][i] : step_.next(md_, in[0][i]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(md_);
    }

private:
    McGinleyStep step_;
    double md_ = 0.0;
};

// maaq: copies of the input up to position period - 1, then the adaptive
// step over the sliding noise of the last `period` changes.
class Maaq : public KernelOf<Maaq> {
public:
    Maaq(std::uint64_t period, std::uint64_t fast, std::uint64_t slow)
        : p_(period), step_(fast, slow), tail_(stream::saturated(period, 1)) {}
    void admit(std::uint64_t n) const override {
        if (p_ == 0 && n > 0) index_out_of_range(static_cast<std::size_t>(-1), static_cast<std::size_t>(n));
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            out[0][i] = next(noise_, prev_, in[0][i]);
            tail_.push(in[0][i]);
        }
    }
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        double noise = noise_, prev = prev_;
        out[0][0] = next(noise, prev, in[0][0]);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(noise_);
        f.num(prev_);
        tail_.fields(f, n_);
    }

private:
    // The value at row n_ (the window not yet moved on).
    double next(double& noise, double& prev, double v) const {
        if (n_ > 0 && n_ <= p_) noise = noise + MaaqStep::change(tail_.back(0), v);
        if (n_ < p_) return prev = v;
        const auto back = static_cast<std::size_t>(p_ - 1);
        if (n_ > p_) {
            const double leaving = MaaqStep::change(tail_.back(back + 1), tail_.back(back));
            noise = MaaqStep::slide(noise, MaaqStep::change(tail_.back(0), v), leaving);
        }
        return prev = step_.value(noise, prev, v, tail_.back(back));
    }
    std::uint64_t p_;
    MaaqStep step_;
    Tail tail_;
    double noise_ = -0.0, prev_ = 0.0;
};

// frama: NaN until the mean of the first w closes seeds the average, then
// each bar blends with the smoothing the fractal dimension of the w bars
// before it gives (their highs and lows kept, re-scanned at each bar as
// the batch form does: O(w) per value).
class Frama : public KernelOf<Frama> {
public:
    Frama(std::uint64_t window, std::uint64_t fc, std::uint64_t sc)
        : window_(window),
          // An odd window becomes the next even one; the largest odd window
          // is longer than any history anyway.
          step_(window == std::numeric_limits<std::uint64_t>::max() ? window : window + window % 2, fc, sc),
          highs_(step_.w),
          lows_(step_.w) {}
    void admit(std::uint64_t n) const override {
        if (window_ == 0) index_out_of_range(static_cast<std::size_t>(-1), static_cast<std::size_t>(n));
        if (n > step_.w) step_.check();
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *close = in[0], *high = in[1], *low = in[2];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            if (n_ < step_.w) {
                seed_ = seed_ + close[i];
                out[0][i] = NaN;
                if (n_ + 1 == step_.w) out[0][i] = prev_ = seed_ / static_cast<double>(step_.w);
            } else {
                dim_ = step_.dimension(highs_.window(), lows_.window(), 0, dim_);
                out[0][i] = prev_ = FramaStep::blend(step_.alpha(dim_), prev_, close[i]);
            }
            highs_.push(high[i]);
            lows_.push(low[i]);
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&seed_, &dim_, &prev_}) f.num(*v);
        highs_.fields(f, n_);
        lows_.fields(f, n_);
    }

private:
    std::uint64_t window_;
    FramaStep step_;
    Tail highs_, lows_;
    double seed_ = -0.0, dim_ = 0.0, prev_ = 0.0;
};

// vidya: the momentum mode carries its sums while the window starts at the
// first value and re-sums the last m changes after that; the volatility
// mode re-sums the last `length` values at every position, as the batch
// form does (O(window) per value).
class Vidya : public KernelOf<Vidya> {
public:
    Vidya(std::uint64_t length, bool fix_cmo, bool select)
        : step_(length),
          select_(select),
          m_(select ? (fix_cmo ? 9 : length) : length),
          tail_(select ? stream::saturated(m_, 1) : length) {
        VidyaStep::start(up_, down_);
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double v = in[0][i];
            tail_.push(v);
            if (n_ == 0) {
                out[0][i] = prev_ = v;
                continue;
            }
            double kk;
            if (!select_) {
                const ContiguousView<double> x = tail_.window();
                kk = step_.volatility_factor(x, 0, x.size());
            } else if (VidyaStep::window_start(static_cast<std::size_t>(n_), m_) == 0) {
                VidyaStep::tally(v - tail_.back(1), up_, down_);
                kk = step_.momentum_factor(up_, down_);
            } else {
                // The last m changes: the m + 1 values kept.
                const ContiguousView<double> x = tail_.window();
                double up, down;
                VidyaStep::tally_changes(x, 1, x.size() - 1, up, down);
                kk = step_.momentum_factor(up, down);
            }
            out[0][i] = prev_ = VidyaStep::blend(kk, prev_, v);
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&up_, &down_, &prev_}) f.num(*v);
        tail_.fields(f, n_);
    }

private:
    VidyaStep step_;
    bool select_;
    std::uint64_t m_;
    Tail tail_;
    double up_ = 0.0, down_ = 0.0, prev_ = 0.0;
};

// vwap: the running totals since the period of the previous row began, and
// that period's key.
class Vwap : public KernelOf<Vwap> {
public:
    Vwap(std::string_view source_type, std::string_view anchor) : step_(anchor), prices_(source_type) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k == 0) return;
        const double* y = prices_.of(in, k);
        const double *ts = in[0], *volume = in[5];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const std::int64_t key = step_.key(ts[i]);
            out[0][i] = VwapStep::add(cum_v_, cum_pv_, n_ > 0 && key != prev_, volume[i], y[i]);
            prev_ = key;
        }
        prices_.trim();
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(cum_v_);
        f.num(cum_pv_);
        auto key = static_cast<std::uint64_t>(prev_);
        f.count(key);
        prev_ = static_cast<std::int64_t>(key);
    }

private:
    VwapStep step_;
    Prices prices_;
    double cum_v_ = 0.0, cum_pv_ = 0.0;
    std::int64_t prev_ = 0;
};

}  // namespace

std::unique_ptr<stream::Kernel> vwma(std::uint64_t period) { return std::make_unique<Vwma>(period); }
std::unique_ptr<stream::Kernel> zlema(std::uint64_t period) { return std::make_unique<Zlema>(period); }
std::unique_ptr<stream::Kernel> t3(std::uint64_t period, double vfactor, std::string_view source_type) {
    return std::make_unique<T3>(period, vfactor, source_type);
}
std::unique_ptr<stream::Kernel> kama(std::uint64_t period, std::uint64_t fast_length, std::uint64_t slow_length) {
    return std::make_unique<Kama>(period, fast_length, slow_length);
}
std::unique_ptr<stream::Kernel> trix(std::uint64_t period) { return std::make_unique<Trix>(ema_coefficients(period)); }
std::unique_ptr<stream::Kernel> sma(std::uint64_t period) { return std::make_unique<Sma>(period); }
std::unique_ptr<stream::Kernel> ema(std::uint64_t period) {
    return std::make_unique<Seeded<true>>(ema_coefficients(period), period);
}
std::unique_ptr<stream::Kernel> smma(std::uint64_t length) { return std::make_unique<Smma>(length); }
std::unique_ptr<stream::Kernel> wilders(std::uint64_t period) {
    return std::make_unique<Seeded<false>>(wilder_coefficients(period), 0);
}
std::unique_ptr<stream::Kernel> wma(std::uint64_t period) { return std::make_unique<Wma>(period); }
std::unique_ptr<stream::Kernel> jma(std::uint64_t period, double phase, std::uint64_t power) {
    return std::make_unique<Jma>(period, phase, power);
}
std::unique_ptr<stream::Kernel> hwma(double na, double nb, double nc) { return std::make_unique<Hwma>(na, nb, nc); }
std::unique_ptr<stream::Kernel> mwdx(double factor) {
    return std::make_unique<Seeded<false>>(mwdx_coefficients(factor), 0);
}
std::unique_ptr<stream::Kernel> mcginley_dynamic(std::uint64_t period, double k) {
    return std::make_unique<McGinley>(period, k);
}
std::unique_ptr<stream::Kernel> maaq(std::uint64_t period, std::uint64_t fast_period, std::uint64_t slow_period) {
    return std::make_unique<Maaq>(period, fast_period, slow_period);
}
std::unique_ptr<stream::Kernel> frama(std::uint64_t window, std::uint64_t fc, std::uint64_t sc) {
    return std::make_unique<Frama>(window, fc, sc);
}
std::unique_ptr<stream::Kernel> vidya(std::uint64_t length, bool fix_cmo, bool select) {
    return std::make_unique<Vidya>(length, fix_cmo, select);
}
std::unique_ptr<stream::Kernel> vwap(std::string_view source_type, std::string_view anchor) {
    return std::make_unique<Vwap>(source_type, anchor);
}
std::unique_ptr<stream::Kernel> dema(std::uint64_t period) {
    return std::make_unique<Chain<DemaStep, true>>(ema_coefficients(period));
}
std::unique_ptr<stream::Kernel> tema(std::uint64_t period) {
    return std::make_unique<Chain<TemaStep, false>>(ema_coefficients(period));
}

}  // namespace korva::ma::streams
