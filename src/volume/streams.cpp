// Streams of the volume indicators: the batch functions' running values,
// advanced with their steps (steps.hpp).
#include "streams.hpp"

#include <cstddef>
#include <vector>

#include "../helpers/result.hpp"
#include "../helpers/smoothing.hpp"
#include "../helpers/sweeps.hpp"
#include "steps.hpp"

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
        const double *close = in[0], *high = in[1], *low = in[2], *volume = in[3];
        const std::uint64_t total = n_ + k;
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double mfv = money_flow_volume(high[i], low[i], close[i], volume[i]);
            if (n_ == 0) {
                const double v = st_.start(mfv);
                out[0][i] = total < 2 ? 0.0 : v;
            } else {
                out[0][i] = st_.step(cf_, cs_, mfv);
            }
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(st_.ad);
        f.num(st_.fast);
        f.num(st_.slow);
    }

private:
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
    void fields(Fields& f) override {
        f.count(n_);
        f.num(prev_[0]);
        f.num(prev_[1]);
        tail_.fields(f, n_);
    }

private:
    std::uint64_t len_;
    double div_;
    Tail tail_;
    double prev_[2] = {};  // high and low of the previous row
    std::vector<double> sums_;  // scratch of the window sum
};

// wad: the running sum of the rows' values and the previous open.
class Wad : public KernelOf<Wad> {
public:
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        const double *open = in[0], *high = in[1], *low = in[2];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            if (n_ > 0)
                sum_ = sum_ + wad_row(
                                  pc_, open[i], [&] { return low[i]; }, [&] { return high[i]; });
            pc_ = open[i];
            out[0][i] = sum_;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.num(pc_);
        f.num(sum_);
    }

private:
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
