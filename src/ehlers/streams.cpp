// Streams of the recursive filters and the cycle indicators: the batch
// functions' steps (kernels.hpp, cycle_steps.hpp) and the state they carry
// between positions, with the windows their batch forms re-sum.
#include "streams.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "../helpers/errors.hpp"
#include "../helpers/result.hpp"
#include "cycle_steps.hpp"
#include "kernels.hpp"

namespace korva::ehlers::streams {
namespace {

using stream::Fields;
using stream::KernelOf;
using stream::saturated;
using stream::Tail;

// The newest value of a kept window, through which the window steps read
// back (the window holds at least the values they read).
const double* newest(const Tail& t) {
    const ContiguousView<double> w = t.window();
    return w.p + (w.n - 1);
}

// The 2-pole SuperSmoother's state: copies of the first two inputs, then the
// step over the previous input and the two previous outputs.
struct SmootherState {
    SuperSmoother c;
    double x1 = 0.0, o1 = 0.0, o2 = 0.0;

    explicit SmootherState(double p) : c(p) {}
    // The value at position n.
    double next(double v, std::uint64_t n) {
        const double o = n < 2 ? v : c.step(v, x1, o1, o2);
        x1 = v;
        o2 = o1;
        o1 = o;
        return o;
    }
    void fields(Fields& f) {
        for (double* v : {&x1, &o1, &o2}) f.num(*v);
    }
};

class Smoother : public KernelOf<Smoother> {
public:
    explicit Smoother(std::uint64_t period) : s_(static_cast<double>(period)) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) out[0][i] = s_.next(in[0][i], n_);
    }
    void fields(Fields& f) override {
        f.count(n_);
        s_.fields(f);
    }

private:
    SmootherState s_;
};

// The 1-pole high-pass: the first input, then the step over the previous
// input and output.
class HighPass : public KernelOf<HighPass> {
public:
    explicit HighPass(std::uint64_t period) : c_(static_cast<double>(period)) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double v = in[0][i];
            out[0][i] = o1_ = n_ == 0 ? v : c_.step(v, y1_, o1_);
            y1_ = v;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(y1_);
        f.num(o1_);
    }

private:
    HighPass1 c_;
    double y1_ = 0.0, o1_ = 0.0;
};

// The 3-pole SuperSmoother: copies of the first three inputs, then the step
// over the three previous outputs.
class Smoother3 : public KernelOf<Smoother3> {
public:
    explicit Smoother3(std::uint64_t period) : c_(static_cast<double>(period)) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double v = in[0][i];
            const double o = n_ < 3 ? v : c_.step(v, o1_, o2_, o3_);
            out[0][i] = o;
            o3_ = o2_;
            o2_ = o1_;
            o1_ = o;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&o1_, &o2_, &o3_}) f.num(*v);
    }

private:
    SuperSmoother3 c_;
    double o1_ = 0.0, o2_ = 0.0, o3_ = 0.0;
};

// The 2-pole high-pass: copies of the first two inputs, then the step over
// the two previous inputs and outputs.
class HighPassTwo : public KernelOf<HighPassTwo> {
public:
    explicit HighPassTwo(std::uint64_t period) : c_(static_cast<double>(period)) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double v = in[0][i];
            const double o = n_ < 2 ? v : c_.step(v, x1_, x2_, o1_, o2_);
            out[0][i] = o;
            x2_ = x1_;
            x1_ = v;
            o2_ = o1_;
            o1_ = o;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&x1_, &x2_, &o1_, &o2_}) f.num(*v);
    }

private:
    HighPass2 c_;
    double x1_ = 0.0, x2_ = 0.0, o1_ = 0.0, o2_ = 0.0;
};

// The band-pass chain: its state as the batch loop carries it.
class BandpassStream : public KernelOf<BandpassStream> {
public:
    BandpassStream(std::uint64_t period, double bandwidth) : c_(static_cast<double>(period), bandwidth) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const BandpassValues v = n_ == 0 ? s_.first(in[0][i]) : s_.next(c_, in[0][i], n_ == 1);
            out[0][i] = v.bp;
            out[1][i] = v.norm;
            out[2][i] = v.signal;
            out[3][i] = v.trigger;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&s_.x1, &s_.hp1, &s_.hp2, &s_.bp1, &s_.bp2, &s_.peak, &s_.nb1, &s_.tr1}) f.num(*v);
    }

private:
    Bandpass c_;
    BandpassState s_;
};

// reflex and trendflex: the SuperSmoother of the half period, the window of
// smoothed values the batch form re-sums (O(period) per value) and the mean
// square's recurrence. 0.0 before position `period`.
template <bool Reflex>
class Flex : public KernelOf<Flex<Reflex>> {
public:
    explicit Flex(std::uint64_t period)
        : p_(period), pd_(static_cast<double>(period)), s_(pd_ * 0.5), f_(saturated(period, 1)) {}
    void admit(std::uint64_t n) const override {
        // The batch function reads the mean square of position -1.
        if (p_ == 0 && n > 0) index_out_of_range(std::numeric_limits<std::size_t>::max(), static_cast<std::size_t>(n));
    }
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++this->n_) {
            f_.push(s_.next(in[0][i], this->n_));
            double o = 0.0;
            if (this->n_ >= p_) {
                const ContiguousView<double> w = f_.window();
                const double r = flex_window<Reflex, double>(w.p, w.n - 1, static_cast<std::size_t>(p_), pd_);
                o = flex_output<Reflex>(r, ms_);
            }
            out[0][i] = o;
        }
    }
    void fields(Fields& f) override {
        f.count(this->n_);
        s_.fields(f);
        f.num(ms_);
        f_.fields(f, this->n_);
    }

private:
    std::uint64_t p_;
    double pd_;
    SmootherState s_;
    Tail f_;  // the smoothed values of the last period + 1 positions
    double ms_ = 0.0;
};

// itrend: the trendline's recurrence over the last two inputs and outputs,
// and the last 21 values of the trendline for the trigger.
class ItrendStream : public KernelOf<ItrendStream> {
public:
    explicit ItrendStream(double alpha) : c_(alpha), it_(21) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double v = in[0][i];
            double it = v;
            if (n_ >= 7) {
                it = c_.step(v, x1_, x2_, it_.back(0), it_.back(1));
            } else if (n_ >= 2) {
                it = Itrend::warm(v, x1_, x2_);
            }
            x2_ = x1_;
            x1_ = v;
            it_.push(it);
            const double t = Itrend::trigger(it, it_.back(n_ >= 20 ? 20 : 0));
            out[0][i] = Itrend::signal(t, it);
            out[1][i] = it;
            out[2][i] = t;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(x1_);
        f.num(x2_);
        it_.fields(f, n_);
    }

private:
    Itrend c_;
    Tail it_;
    double x1_ = 0.0, x2_ = 0.0;
};

// voss: 0.0 up to position max(period, 3 * predict, 5); then the filter's
// recurrence, and the output re-summed from the last 3 * predict outputs
// (O(predict) per value).
class VossStream : public KernelOf<VossStream> {
public:
    VossStream(std::uint64_t period, std::uint64_t predict, double bandwidth)
        : c_(static_cast<double>(period), bandwidth),
          // 3 * predict, saturated: an order beyond any history is never reached.
          order_(saturated(saturated(predict, predict), predict)),
          start_(std::max<std::uint64_t>({period, order_, 5})),
          past_(order_) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double v = in[0][i];
            double filt = 0.0, o = 0.0;
            if (n_ > start_) {
                // Past the start the order is below the rows fed: the weights
                // cost no more than the history.
                const std::size_t order = static_cast<std::size_t>(order_);
                if (weight_.size() != order) weight_ = Voss::weights(order);
                filt = c_.filter(v, x2_, f1_, f2_);
                o = Voss::value(Voss::scale(order), filt, past_.window().p, weight_.data(), order);
            }
            x2_ = x1_;
            x1_ = v;
            f2_ = f1_;
            f1_ = filt;
            past_.push(o);
            out[0][i] = o;
            out[1][i] = filt;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&x1_, &x2_, &f1_, &f2_}) f.num(*v);
        past_.fields(f, n_);
    }

private:
    Voss c_;
    std::uint64_t order_, start_;
    Tail past_;  // the last `order` outputs
    std::vector<double> weight_;  // built at the first position computed
    double x1_ = 0.0, x2_ = 0.0, f1_ = 0.0, f2_ = 0.0;
};

// edcf: the distances re-summed over the last period values (O(period) per
// value), and the running sums over the distances of the last period
// positions. NaN before position 2 * period, and for periods below 2.
class Edcf : public KernelOf<Edcf> {
public:
    explicit Edcf(std::uint64_t period)
        : p_(period), first_(saturated(period, period)), x_(saturated(period, 1)), dist_(saturated(period, 1)) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double v = in[0][i];
            out[0][i] = NaN;
            if (p_ < 2) continue;
            x_.push(v);
            // Only positions from period + 1 on enter a window.
            const double d = n_ > p_ ? edcf_distance<double>(newest(x_), static_cast<std::size_t>(p_)) : 0.0;
            out[0][i] = next(sums_, v, d, 1);
            dist_.push(d);
        }
    }
    // The distance needs the last period values with the new one after
    // them: copied (O(period), as the distance itself) to a buffer of its own.
    void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>&) const override {
        const double v = in[0][0];
        out[0][0] = NaN;
        if (p_ < 2) return;
        double d = 0.0;
        if (n_ > p_) {
            const auto p = static_cast<std::size_t>(p_);
            const ContiguousView<double> w = x_.window();
            peek_x_.resize(p);
            std::copy(w.p + (w.n - (p - 1)), w.p + w.n, peek_x_.begin());
            peek_x_[p - 1] = v;
            d = edcf_distance<double>(peek_x_.data() + (p - 1), p);
        }
        EdcfSums sums = sums_;
        out[0][0] = next(sums, v, d, 0);
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(sums_.num);
        f.num(sums_.den);
        // Nothing is kept for periods below 2.
        x_.fields(f, p_ < 2 ? 0 : n_);
        dist_.fields(f, p_ < 2 ? 0 : n_);
    }

private:
    // Row n_'s value from v and its distance d, the sums moving on; the
    // distances not yet kept, the values `kept` (0 or 1) with v in.
    double next(EdcfSums& sums, double v, double d, std::size_t kept) const {
        if (n_ <= p_) return NaN;
        if (n_ <= first_) {
            sums.add(d, v);
            return n_ == first_ ? sums.value() : NaN;
        }
        const std::size_t o = static_cast<std::size_t>(p_);
        sums.slide(dist_.back(o - 1), x_.back(o - 1 + kept), d, v);
        return sums.value();
    }
    std::uint64_t p_, first_;
    Tail x_, dist_;  // the last period + 1 values and distances
    EdcfSums sums_;
    mutable stream::Scratch peek_x_;  // peek's copy of the last values
};

// correlation_cycle: the window of the L values before each position (NaN as
// 0.0), re-summed against the tables at each position (O(L) per value), and
// the previous angles. The tables are built at the first position with a
// full window, so they cost no more than the history.
class CorrelationCycle : public KernelOf<CorrelationCycle> {
public:
    CorrelationCycle(std::uint64_t period, double threshold)
        : len_(std::max<std::uint64_t>(period, 2)), threshold_(threshold), x_(len_) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            double re = NaN, im = NaN;
            if (n_ >= len_) {
                if (!tables_) tables_.emplace(static_cast<std::size_t>(len_));
                double sx, sxc, sxs, sxx;
                const ContiguousView<double> w = x_.window();
                tables_->window<double>(w.p + w.n, sx, sxc, sxs, sxx);
                tables_->values(sx, sxc, sxs, sxx, re, im);
            }
            const double v = in[0][i];
            x_.push(std::isnan(v) ? 0.0 : v);
            double state;
            out[2][i] = angle_.step(re, im, threshold_, state);
            out[0][i] = re;
            out[1][i] = im;
            out[3][i] = state;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(angle_.raw);
        f.num(angle_.angle);
        x_.fields(f, n_);
    }

private:
    std::uint64_t len_;
    double threshold_;
    Tail x_;  // the last L values, NaN as 0.0
    CycleAngle angle_;
    std::optional<CorrelationTables> tables_;
};

// mama: the batch loop's state (its rings of working values and its
// recurrences) and the last three inputs, clamped at the first.
class Mama : public KernelOf<Mama> {
public:
    Mama(double fastlimit, double slowlimit) : fl_(fastlimit), sl_(slowlimit) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double v = in[0][i];
            if (n_ == 0) {
                x1_ = x2_ = x3_ = v;
            } else {
                s_.step(static_cast<std::size_t>(n_), v, x1_, x2_, x3_, fl_, sl_);
                x3_ = x2_;
                x2_ = x1_;
                x1_ = v;
            }
            out[0][i] = s_.mama;
            out[1][i] = s_.fama;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&x1_, &x2_, &x3_}) f.num(*v);
        for (double* ring : {s_.smooth, s_.det, s_.q1s, s_.i1s})
            for (std::size_t j = 0; j < MamaState::kRing; ++j) f.num(ring[j]);
        for (double* v : {&s_.i2, &s_.q2, &s_.re, &s_.im, &s_.period, &s_.phase, &s_.mama, &s_.fama}) f.num(*v);
    }

private:
    double fl_, sl_;
    MamaState s_;
    double x1_ = 0.0, x2_ = 0.0, x3_ = 0.0;
};

// pma: the last seven inputs and weighted means and the last four
// predictions, the windows its steps read. NaN before position 6.
class Pma : public KernelOf<Pma> {
public:
    Pma() : x_(7), w_(7), predict_(4) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            x_.push(in[0][i]);
            // Weighted means before position 6 are 0.0, predictions NaN.
            const bool on = n_ >= 6;
            w_.push(on ? pma_weighted<double>(newest(x_)) : 0.0);
            predict_.push(on ? pma_predict<double>(newest(w_)) : NaN);
            out[0][i] = predict_.back(0);
            out[1][i] = on ? pma_trigger<double>(newest(predict_)) : NaN;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        x_.fields(f, n_);
        w_.fields(f, n_);
        predict_.fields(f, n_);
    }

private:
    Tail x_, w_, predict_;
};

}  // namespace

std::unique_ptr<stream::Kernel> supersmoother(std::uint64_t period) { return std::make_unique<Smoother>(period); }
std::unique_ptr<stream::Kernel> high_pass(std::uint64_t period) { return std::make_unique<HighPass>(period); }
std::unique_ptr<stream::Kernel> supersmoother_3_pole(std::uint64_t period) {
    return std::make_unique<Smoother3>(period);
}
std::unique_ptr<stream::Kernel> high_pass_2_pole(std::uint64_t period) { return std::make_unique<HighPassTwo>(period); }
std::unique_ptr<stream::Kernel> bandpass(std::uint64_t period, double bandwidth) {
    return std::make_unique<BandpassStream>(period, bandwidth);
}

std::unique_ptr<stream::Kernel> reflex(std::uint64_t period) { return std::make_unique<Flex<true>>(period); }
std::unique_ptr<stream::Kernel> trendflex(std::uint64_t period) { return std::make_unique<Flex<false>>(period); }
std::unique_ptr<stream::Kernel> itrend(double alpha) { return std::make_unique<ItrendStream>(alpha); }
std::unique_ptr<stream::Kernel> voss(std::uint64_t period, std::uint64_t predict, double bandwidth) {
    return std::make_unique<VossStream>(period, predict, bandwidth);
}
std::unique_ptr<stream::Kernel> edcf(std::uint64_t period) { return std::make_unique<Edcf>(period); }
std::unique_ptr<stream::Kernel> correlation_cycle(std::uint64_t period, double threshold) {
    return std::make_unique<CorrelationCycle>(period, threshold);
}
std::unique_ptr<stream::Kernel> mama(double fastlimit, double slowlimit) {
    return std::make_unique<Mama>(fastlimit, slowlimit);
}
std::unique_ptr<stream::Kernel> pma() { return std::make_unique<Pma>(); }

}  // namespace korva::ehlers::streams
