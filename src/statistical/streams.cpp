// Streams of the statistical family.
#include "streams.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "../helpers/result.hpp"
#include "../helpers/stream_batch.hpp"

namespace korva::statistical::streams {
namespace {

using stream::Fields;
using stream::KernelOf;
using stream::Tail;

// shift: a lag of k keeps the last k + 1 values and shows the oldest (the
// values' bits move unchanged). A lead of k shows values k rows later, so
// a position has one only while those rows are in the same chunk: update
// gives NaN, as the batch function does at the last position.
class Shift : public KernelOf<Shift> {
public:
    explicit Shift(std::int64_t periods)
        : lag_(periods >= 0),
          k_(lag_ ? static_cast<std::uint64_t>(periods) : 0 - static_cast<std::uint64_t>(periods)),
          tail_(lag_ ? stream::saturated(k_, 1) : 0) {}
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (lag_ && k >= stream::kLongChunk) {
            // The batch function's move of bit patterns: position j shows
            // the value at j - k_.
            stream::run_long<1>({&tail_}, {in[0]}, k, [&](const auto& v, std::size_t from, std::size_t at) {
                const ContiguousView<double> x = v[0];
                const std::size_t lag = k_ < x.size() ? static_cast<std::size_t>(k_) : x.size();
                const std::size_t first = std::max(from, lag);
                double* o = out[0] + at;
                std::fill_n(o, first - from, NaN);
                if (first < x.size())
                    std::memcpy(o + (first - from), x.p + (first - lag), (x.size() - first) * sizeof(double));
            });
            n_ += k;
            return;
        }
        const double* x = in[0];
        for (std::size_t i = 0; i < k; ++i, ++n_) {
            if (lag_) {
                tail_.push(x[i]);
                out[0][i] = n_ >= k_ ? tail_.back(static_cast<std::size_t>(k_)) : NaN;
            } else {
                out[0][i] = k_ < k - i ? x[i + static_cast<std::size_t>(k_)] : NaN;
            }
        }
    }
    void fields(Fields& f) override {
        f.count(n_);
        tail_.fields(f, n_);
    }

private:
    bool lag_;
    std::uint64_t k_;
    Tail tail_;
};

}  // namespace

std::unique_ptr<stream::Kernel> shift(std::int64_t periods) { return std::make_unique<Shift>(periods); }

}  // namespace korva::statistical::streams
