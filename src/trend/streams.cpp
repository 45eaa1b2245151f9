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
#include "../helpers/stream_batch.hpp"
#include "../helpers/stream_deque.hpp"
#include "../helpers/sweeps.hpp"
#include "../helpers/true_range.hpp"
#include "../helpers/unrolled_sum.hpp"
#include "directional.hpp"
#include "directional_steps.hpp"
#include "overlay_steps.hpp"
#include "overlays.hpp"

namespace korva::trend::streams {
namespace {

using stream::Fields;
using stream::KernelOf;
using stream::Tail;

// A chunk's column as the batch kernels read one.
SeriesView column_of(const double* p, std::size_t k) {
    return SeriesView{reinterpret_cast<const char*>(p), static_cast<std::ptrdiff_t>(sizeof(double)), k};
}
// A column of the candle matrix, read in place.
SeriesView column_of(const SeriesView& x, std::size_t) { return x; }

// Close, high and low of row k - 1 of a chunk, for the next chunk's first row.
template <class X>
void last_row(const X& close, const X& high, const X& low, std::size_t k, double* prev) {
    prev[0] = close[k - 1];
    prev[1] = high[k - 1];
    prev[2] = low[k - 1];
}

// The inputs of the directional recurrences for rows [a, b) of a chunk, as
// rec::run_blocked asks for them: the true range (Ranged) and the two
// movements, each row against the one before it. Row 0 of the chunk is
// against `prev` (close, high and low of the last row fed before it); the
// others come from the batch functions' vector kernel (movement_rows).
template <bool Ranged, class X = const double*>
struct ChunkRows {
    X close, high, low;
    std::size_t k;
    const double* prev;
    void operator()(std::size_t a, std::size_t b, double* const* bufs) const {
        double* const tr = Ranged ? bufs[0] : nullptr;
        double* const plus = bufs[Ranged ? 1 : 0];
        double* const minus = bufs[Ranged ? 2 : 1];
        std::size_t first = a;
        if (a == 0) {
            const Movement mv = directional_movement(high[0] - prev[1], prev[2] - low[0]);
            if (Ranged) tr[0] = true_range_step(high[0], low[0], prev[0]);
            plus[0] = mv.plus;
            minus[0] = mv.minus;
            first = 1;
        }
        if (first < b) {
            const std::size_t at = first - a;
            movement_rows(column_of(high, k), column_of(low, k), column_of(close, k), first, b,
                          Ranged ? tr + at : nullptr, plus + at, minus + at);
        }
    }
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
    void feed(const double* const* in, std::size_t k, double* const* out) override { run(in[0], in[1], in[2], k, out); }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        run(m.column(col::close), m.column(col::high), m.column(col::low), m.rows, out);
        return true;
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
    // The rows (arrays, or the candle matrix's columns in place).
    template <class X>
    void run(const X& close, const X& high, const X& low, std::size_t k, double* const* out) {
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
            // The rest: the batch function's rows and recurrence.
            double* o[2] = {out[0], out[1]};
            rec::run_blocked(step_, ChunkRows<Di, X>{close, high, low, k, prev_}, o, i, k, s_);
            last_row(close, high, low, k, prev_);
            this->n_ += k - i;
        }
        // di of a single row has nothing to show yet.
        if (Di && start == 0 && this->n_ < 2 && k > 0) out[0][0] = out[1][0] = NaN;
    }

    std::uint64_t p_;
    std::conditional_t<Di, DiStep, DmStep> step_{};
    DirectionalSeed seed_;
    double prev_[3] = {};  // close, high and low of the previous row
    double s_[3] = {};
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
        // The state in locals that the stores cannot change.
        std::uint64_t n = n_;
        WilderAtr atr = atr_;
        SupertrendState st = st_;
        const SupertrendBands bands = bands_;
        double prev = close_;
        for (std::size_t i = 0; i < k; ++i, ++n) {
            const double tr = n == 0 ? true_range_first(high + i, low + i) : true_range_step(high[i], low[i], prev);
            out[1][i] = 0.0;
            if (n + 1 < p_) {
                atr.seed(tr);
                out[0][i] = 0.0;
            } else if (n + 1 == p_) {
                atr.seed(tr);
                out[0][i] = st.start(bands, atr.start(), high[i], low[i], close[i]);
            } else {
                out[0][i] = st.step(bands, atr.step(tr), high[i], low[i], close[i], prev, out[1][i]);
            }
            prev = close[i];
        }
        n_ = n;
        atr_ = atr;
        st_ = st;
        close_ = prev;
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
        // The batch loop, its state in a local that the stores cannot change.
        SarState st = st_;
        for (std::size_t j = i; j < k; ++j) out[0][j] = st.step(high[j], low[j]);
        st_ = st;
        n_ += k - i;
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
    void feed(const double* const* in, std::size_t k, double* const* out) override { run(in[0], in[1], in[2], k, out); }
    bool feed_rows(const MatrixView& m, double* const* out) override {
        run(m.column(col::close), m.column(col::high), m.column(col::low), m.rows, out);
        return true;
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
    // The rows (arrays, or the candle matrix's columns in place).
    template <class X>
    void run(const X& close, const X& high, const X& low, std::size_t k, double* const* out) {
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
        double* o[1] = {out[0]};
        rec::run_blocked(step_, ChunkRows<true, X>{close, high, low, k, prev_}, o, i, k, s_);
        last_row(close, high, low, k, prev_);
        n_ += k - i;
    }

    std::uint64_t p_;
    AdxSeed seed_;
    AdxStep step_;
    double prev_[3] = {};  // close, high and low of the previous row
    double sum_ = -0.0;
    double s_[4] = {};
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
        // One by one until the chunk holds the rows its windows and ratings
        // read back (2p), then the batch function's steps.
        const std::uint64_t twice = stream::saturated(p_, p_);
        const std::size_t one_by_one = p_ == 0 || k <= twice ? k : static_cast<std::size_t>(twice);
        for (std::size_t i = 0; i < one_by_one; ++i, ++n_) {
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
            if (n_ >= p_) out[0][i] = AdxrStep::rating(adx, adxs_.back(static_cast<std::size_t>(p_)));
        }
        if (one_by_one < k) feed_long(close, high, low, one_by_one, k, out[0]);
    }
    // On a fresh stream that reaches its first rating, the batch function's
    // passes over the rows give its result, and leave the sums and the DX
    // and ADX values the windows keep.
    bool feed_whole(const double* const*, const MatrixView* rows, std::size_t k, Value& result) override {
        if (n_ != 0 || !rows || p_ == 0 || p_ >= k) return false;
        const std::size_t dx_from = k - stream::pushes_needed(dxs_.width(), 0, k);
        const std::size_t adx_from = k - stream::pushes_needed(adxs_.width(), 0, k);
        AdxrEnd end;
        end.from = std::min(dx_from, adx_from);
        result = adxr_over(*rows, p_, end);
        std::copy_n(end.s, 3, s_);
        const std::size_t last = k - 1;
        prev_[0] = rows->column(col::close)[last];
        prev_[1] = rows->column(col::high)[last];
        prev_[2] = rows->column(col::low)[last];
        stream::push_newest(dxs_, k, [&](std::size_t j) { return end.dx[j - end.from]; });
        // No ADX before the first full window of DX values.
        stream::push_newest(adxs_, k, [&](std::size_t j) { return j + 1 < p_ ? NaN : end.adx[j - end.from]; });
        n_ = k;
        return true;
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
    // Rows [i0, k) of a chunk, i0 = 2p: DX by the batch recurrence over the
    // rows from i0 on, each window of p DX values (the last p - 1 kept ones
    // first) summed afresh as the batch function sums them, then rated.
    void feed_long(const double* close, const double* high, const double* low, std::size_t i0, std::size_t k,
                   double* out) {
        const std::size_t p = static_cast<std::size_t>(p_), rows = k - i0, m = rows + (p - 1);
        const double pd = static_cast<double>(p_);
        sums_.resize(2 * m);
        double *const dx = sums_.data(), *const adx = dx + m;  // entry t: row i0 - (p - 1) + t
        for (std::size_t t = 0; t + 1 < p; ++t) dx[t] = dxs_.back(p - 2 - t);
        const double before[3] = {close[i0 - 1], high[i0 - 1], low[i0 - 1]};
        double* o[1] = {dx + (p - 1)};
        rec::run_blocked(step_, ChunkRows<true>{close + i0, high + i0, low + i0, rows, before}, o, 0, rows, s_);
        fresh_window_sums(dx, m, p_, adx);
        for (std::size_t t = p - 1; t < m; ++t) adx[t] = adx[t] / pd;
        for (std::size_t j = i0; j < k; ++j) {
            const double then = j - p >= i0 ? adx[j - i0 - 1] : adxs_.back(i0 - 1 - (j - p));
            out[j] = AdxrStep::rating(adx[j - i0 + (p - 1)], then);
        }
        stream::push_newest(dxs_, rows, [&](std::size_t j) { return dx[j + (p - 1)]; });
        stream::push_newest(adxs_, rows, [&](std::size_t j) { return adx[j + (p - 1)]; });
        last_row(close, high, low, k, prev_);
        n_ += rows;
        if (sums_.capacity() > 4096) sums_ = std::vector<double>();
    }

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
        // Windows that reach back before the chunk one by one; those inside
        // it (from row p on) by the batch function's window sums.
        const std::size_t one_by_one = p_ == 0 || k <= p_ ? k : static_cast<std::size_t>(p_);
        for (std::size_t i = 0; i < one_by_one; ++i, ++n_) {
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
        if (one_by_one == k) return;
        const std::size_t p = one_by_one;
        vortex_windows(column_of(high, k), column_of(low, k), column_of(close, k), p, k, p, out[0] + p, out[1] + p);
        // The last p rows' ranges and movements are kept for later windows.
        stream::push_newest(tr_, k - p,
                            [&](std::size_t j) { return true_range_step(high[p + j], low[p + j], close[p + j - 1]); });
        const auto move = [&](std::size_t r, bool plus) {
            double up, down;
            vortex_moves(high[r], low[r], high[r - 1], low[r - 1], up, down);
            return plus ? up : down;
        };
        stream::push_newest(up_, k - p, [&](std::size_t j) { return move(p + j, true); });
        stream::push_newest(down_, k - p, [&](std::size_t j) { return move(p + j, false); });
        last_row(close, high, low, k, prev_);
        n_ += k - p;
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
        // One by one until every line is drawn from its shifted values.
        constexpr std::uint64_t kSteady = kJaw.period + kJaw.shift;
        std::size_t i = 0;
        for (; i < k && n_ < kSteady; ++i, ++n_) {
            if (n_ < kJaw.period) sum_ = alligator_sum(static_cast<std::size_t>(n_), sum_, x[i]);
            for (std::size_t q = 0; q < 3; ++q) {
                const AlligatorLine& line = *kLines[q];
                if (n_ + 1 == line.period) v_[q] = line.seed(sum_);
                if (n_ >= line.period) v_[q] = line.step(v_[q], x[i]);
                drawn_[q].push(n_ + 1 >= line.period ? v_[q] : NaN);
                out[q][i] = shows && n_ >= line.period - 1 + line.shift ? drawn_[q].back(line.shift) : NaN;
            }
        }
        if (i == k) return;
        // The batch function's line steps, each value drawn `shift` rows on;
        // the rows whose drawn value precedes the chunk's rest read it kept.
        for (std::size_t q = 0; q < 3; ++q) {
            const AlligatorLine line = *kLines[q];
            const std::size_t sh = line.shift;
            double* const o = out[q];
            for (std::size_t j = i; j < k && j < i + sh; ++j) o[j] = drawn_[q].back(sh - 1 - (j - i));
            double v = v_[q];
            const std::size_t kept_from = k - stream::pushes_needed(sh + 1, n_, k - i);
            for (std::size_t j = i; j < k; ++j) {
                v = line.step(v, x[j]);
                if (j + sh < k) o[j + sh] = v;
                if (j >= kept_from) drawn_[q].push(v);
            }
            v_[q] = v;
        }
        n_ += k - i;
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
          period_(period),
          lookback_(max_lookback),
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
    // On a fresh stream the batch function's passes over the rows give its
    // result, and leave the movement sums and the window's queue.
    bool feed_whole(const double* const*, const MatrixView* rows, std::size_t k, Value& result) override {
        if (n_ != 0 || !rows || k < 2) return false;
        SafezoneEnd end;
        result = safezonestop_over(*rows, period_, step_.mult, lookback_, step_.is_long, end);
        step_.plus = end.plus;
        step_.minus = end.minus;
        prev_[0] = rows->column(col::high)[k - 1];
        prev_[1] = rows->column(col::low)[k - 1];
        for (std::size_t j = 0; j < end.rows.size(); ++j) q_.push_back(end.rows[j], end.values[j]);
        if (window_ == static_cast<std::uint64_t>(-1)) q_.keep_front();
        n_ = k;
        return true;
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
    std::uint64_t period_, lookback_, window_;
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
