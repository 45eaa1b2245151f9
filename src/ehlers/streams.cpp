// Streams of the recursive filters: the batch filters' steps (kernels.hpp)
// and the state they carry between positions.
#include "streams.hpp"

#include "kernels.hpp"

namespace korva::ehlers::streams {
namespace {

using stream::Fields;
using stream::KernelOf;

// The 2-pole SuperSmoother: copies of the first two inputs, then the step
// over the previous input and the two previous outputs.
class Smoother : public KernelOf<Smoother> {
public:
    explicit Smoother(std::uint64_t period) : c_(static_cast<double>(period)) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            const double v = in[0][i];
            const double o = n_ < 2 ? v : c_.step(v, x1_, o1_, o2_);
            out[0][i] = o;
            x1_ = v;
            o2_ = o1_;
            o1_ = o;
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        for (double* v : {&x1_, &o1_, &o2_}) f.num(*v);
    }

private:
    SuperSmoother c_;
    double x1_ = 0.0, o1_ = 0.0, o2_ = 0.0;
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

}  // namespace korva::ehlers::streams
