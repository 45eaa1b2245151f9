// Streams: the state a batch computation carries from one position to the
// next, kept between calls and advanced with the batch computation's own
// step code. Fed the values of a history one chunk at a time, a stream gives
// for each new position what the batch function gives there on the whole
// history, bit for bit. Knows nothing about the interpreter: the module layer
// (src/module/stream.cpp) converts arguments and results.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "errors.hpp"
#include "views.hpp"

namespace korva::stream {

// Visits every field of a stream's state, to save it or to restore it.
class Fields {
public:
    virtual ~Fields() = default;
    virtual void num(double& v) = 0;
    virtual void count(std::uint64_t& v) = 0;
    virtual void values(std::vector<double>& v) = 0;
};

// p + extra without wrapping: a window longer than any history is never full.
constexpr std::uint64_t saturated(std::uint64_t p, std::uint64_t extra) {
    return p + extra < p ? static_cast<std::uint64_t>(-1) : p + extra;
}

// A chunk at least this long is fed through the batch function's own
// kernels (see run_long), once the state is past its start; shorter chunks
// take the per-value steps, for which the kernels' set-up would cost more
// than it saves. Either way gives the same bits.
inline constexpr std::size_t kLongChunk = 64;

// The last `w` values of a series, kept contiguous (so that a window can be
// handed to a batch kernel as a plain view) in a buffer of at most 2w values
// that grows with the history: a huge window costs only what was fed.
class Tail {
public:
    Tail() = default;
    explicit Tail(std::uint64_t w) : w_(w) {}
    void push(double v) {
        if (w_ == 0) return;
        if (buf_.size() / 2 >= w_) {
            // Full: keep the newest w - 1, then append (amortised O(1)).
            const std::size_t keep = static_cast<std::size_t>(w_) - 1;
            std::memmove(buf_.data(), buf_.data() + (buf_.size() - keep), keep * sizeof(double));
            buf_.resize(keep);
        }
        buf_.push_back(v);
    }
    // The values held, then x[0 .. k-1], contiguous: a batch kernel runs
    // over them as over its own series, the new values from index
    // `size() - k` on. settle() then keeps the newest w again.
    ContiguousView<double> join(const double* x, std::size_t k) {
        buf_.insert(buf_.end(), x, x + k);
        return ContiguousView<double>{buf_.data(), buf_.size()};
    }
    ContiguousView<double> join(const SeriesView& x, std::size_t k) {
        for (std::size_t i = 0; i < k; ++i) buf_.push_back(x[i]);
        return ContiguousView<double>{buf_.data(), buf_.size()};
    }
    void settle() {
        if (buf_.size() > w_) {
            const auto keep = static_cast<std::size_t>(w_);
            std::memmove(buf_.data(), buf_.data() + (buf_.size() - keep), keep * sizeof(double));
            buf_.resize(keep);
        }
    }
    // The newest w of x[0 .. k-1] in place of all held (k >= w).
    void refill(const double* x, std::size_t k) {
        const auto keep = static_cast<std::size_t>(w_);
        buf_.assign(x + (k - keep), x + k);
    }
    void refill(const SeriesView& x, std::size_t k) {
        const auto keep = static_cast<std::size_t>(w_);
        buf_.clear();
        for (std::size_t i = k - keep; i < k; ++i) buf_.push_back(x[i]);
    }
    std::uint64_t width() const { return w_; }
    // The value `back` positions before the newest (0: the newest).
    double back(std::size_t back) const { return buf_[buf_.size() - 1 - back]; }
    // The newest min(held, w) values, oldest first.
    ContiguousView<double> window() const {
        const std::size_t m = buf_.size() < w_ ? buf_.size() : static_cast<std::size_t>(w_);
        return ContiguousView<double>{buf_.data() + (buf_.size() - m), m};
    }
    // The values, and a check that they fit a stream that has been fed
    // `fed` of them (a restored state must not make a window read outside).
    void fields(Fields& f, std::uint64_t fed) {
        f.values(buf_);
        const std::uint64_t held = buf_.size();
        const std::uint64_t least = fed < w_ ? fed : w_;
        if (held < least || held > fed || held / 2 > w_) throw ValueError("invalid stream state");
    }

private:
    std::uint64_t w_ = 0;
    std::vector<double> buf_;
};

// A long chunk x[0 .. k-1] of each of N series (their tails of one width w)
// through a batch kernel, `run(views, from, at)`, which writes the positions
// from .. size-1 of the views to the outputs' positions at, at+1, ...: first
// over the kept values joined with the chunk's first min(k, w) (the windows
// that reach back into the kept values; a copy of at most 2w values), then
// over the chunk itself from w on, where every window lies in the chunk
// (as plain arrays, or as the candle matrix's columns read in place). The
// tails then hold the newest values. A kernel carrying running state
// between its positions is called in that order.
inline ContiguousView<double> chunk_view(const double* x, std::size_t k) { return ContiguousView<double>{x, k}; }
inline SeriesView chunk_view(const SeriesView& x, std::size_t) { return x; }

template <std::size_t N, class X, class Run>
void run_long(const std::array<Tail*, N>& tails, const std::array<X, N>& x, std::size_t k, Run&& run) {
    const std::uint64_t w = tails[0]->width();
    const std::size_t m = k < w ? k : static_cast<std::size_t>(w);
    std::array<ContiguousView<double>, N> v;
    for (std::size_t c = 0; c < N; ++c) v[c] = tails[c]->join(x[c], m);
    run(v, v[0].size() - m, std::size_t{0});
    if (m == k) {
        for (Tail* t : tails) t->settle();
        return;
    }
    std::array<decltype(chunk_view(x[0], k)), N> whole;
    for (std::size_t c = 0; c < N; ++c) whole[c] = chunk_view(x[c], k);
    run(whole, m, m);
    for (std::size_t c = 0; c < N; ++c) tails[c]->refill(x[c], k);
}

template <std::size_t N, class Run>
void run_long(const std::array<Tail*, N>& tails, const std::array<const double*, N>& x, std::size_t k, Run&& run) {
    run_long<N, const double*>(tails, x, k, run);
}

// The rows from `at` on of a view or array.
inline const double* rows_from(const double* x, std::size_t at) { return x + at; }
inline SeriesView rows_from(const SeriesView& x, std::size_t at) {
    return SeriesView{x.base + static_cast<std::ptrdiff_t>(at) * x.stride, x.stride, x.n - at};
}

// One stream. `feed` advances the state over k new rows: in[m] holds the k
// values of input m (a series: one input; candles: the columns the stream
// names, in order), out[q] receives the k values of output q, each as the
// batch function gives it at that position on the whole history (whose
// length is then `fed() + k`: a few functions' early positions depend on it).
class Kernel {
public:
    virtual ~Kernel() = default;
    virtual std::unique_ptr<Kernel> clone() const = 0;
    // Raises what the batch function raises on a history of n rows, if
    // anything, before any state changes.
    virtual void admit(std::uint64_t /*n*/) const {}
    virtual void feed(const double* const* in, std::size_t k, double* const* out) = 0;
    // A long chunk of candle rows read in place, as the batch function reads
    // its matrix (the columns copied out would cost as much as its kernel):
    // a kernel that can, does so and returns true; otherwise the caller
    // copies the columns and calls feed.
    virtual bool feed_rows(const MatrixView& /*candles*/, double* const* /*out*/) { return false; }
    // Every field of the state, rows fed first; a restored state that breaks
    // an invariant throws ValueError.
    virtual void fields(Fields& f) = 0;
    std::uint64_t fed() const { return n_; }

protected:
    std::uint64_t n_ = 0;
};

template <class K>
class KernelOf : public Kernel {
public:
    std::unique_ptr<Kernel> clone() const override { return std::make_unique<K>(static_cast<const K&>(*this)); }
};

// How a stream shares the batch computation (what the reference shows).
enum class Approach : std::uint8_t {
    Recurrence,  // the batch recurrence's state and step, O(1) per value
    RunningSums,  // the batch running sums and the window leaving them, O(1) per value
    WindowResum,  // the window the batch form re-sums, O(window) per value
    WindowRerun,  // the batch function itself on the last rows it reads, O(window) per value
};
constexpr const char* approach_name(Approach a) {
    switch (a) {
        case Approach::Recurrence: return "recurrence";
        case Approach::RunningSums: return "running sums";
        case Approach::WindowResum: return "window re-sum";
        case Approach::WindowRerun: return "window re-run";
    }
    return "?";
}

}  // namespace korva::stream
