// Streams of the oscillators: each keeps the state its batch function carries
// and advances it with the same steps (rsi_steps.hpp).
#pragma GCC diagnostic ignored "-Wpsabi"  // wide vectors stay inside inlined code
#include "streams.hpp"

#include "../helpers/recurrence_lanes.hpp"
#include "../helpers/result.hpp"
#include "momentum_steps.hpp"
#include "rsi_steps.hpp"

namespace korva::osc::streams {
namespace {

using stream::Fields;
using stream::KernelOf;
using stream::Tail;

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
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double v = in[0][i];
            out[0][i] = NaN;
            if (p_ > 0 && n_ > 0) {
                const double d = v - tail_.back(0);
                if (n_ <= p_) {
                    su_ = su_ + CmoMoves::up(d);
                    sd_ = sd_ + CmoMoves::down(d);
                } else {
                    const auto at = [&](std::uint64_t back) { return tail_.back(static_cast<std::size_t>(back)); };
                    CmoMoves::slide(su_, sd_, d, at(p_ - 1) - at(p_));
                }
                if (n_ >= p_) out[0][i] = CmoMoves::value(su_, sd_);
            }
            tail_.push(v);
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(su_);
        f.num(sd_);
        tail_.fields(f, n_);
    }

private:
    std::uint64_t p_;
    Tail tail_;
    double su_ = 0.0, sd_ = 0.0;
};

}  // namespace

std::unique_ptr<stream::Kernel> cmo(std::uint64_t period) { return std::make_unique<Cmo>(period); }
std::unique_ptr<stream::Kernel> macd(std::uint64_t fast_period, std::uint64_t slow_period,
                                     std::uint64_t signal_period) {
    return std::make_unique<Macd>(
        MacdStep{ema_coefficients(fast_period), ema_coefficients(slow_period), ema_coefficients(signal_period)});
}
std::unique_ptr<stream::Kernel> rsi(std::uint64_t period) { return std::make_unique<Rsi>(period); }

}  // namespace korva::osc::streams
