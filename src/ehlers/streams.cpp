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

}  // namespace

std::unique_ptr<stream::Kernel> supersmoother(std::uint64_t period) { return std::make_unique<Smoother>(period); }
std::unique_ptr<stream::Kernel> high_pass(std::uint64_t period) { return std::make_unique<HighPass>(period); }

}  // namespace korva::ehlers::streams
