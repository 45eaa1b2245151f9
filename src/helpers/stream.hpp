// Streams: the state a batch computation carries from one position to the
// next, kept between calls and advanced with the batch computation's own
// step code. Fed the values of a history one chunk at a time, a stream gives
// for each new position what the batch function gives there on the whole
// history, bit for bit. Knows nothing about the interpreter: the module layer
// (src/module/stream.cpp) converts arguments and results.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <typeinfo>
#include <vector>

#include "errors.hpp"
#include "result.hpp"
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
// kernels (see stream_batch.hpp), once the state is past its start; shorter chunks
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
    // `size() - k` on. unjoin(k) then drops them again.
    ContiguousView<double> join(const double* x, std::size_t k) {
        buf_.insert(buf_.end(), x, x + k);
        return ContiguousView<double>{buf_.data(), buf_.size()};
    }
    ContiguousView<double> join(const SeriesView& x, std::size_t k) {
        for (std::size_t i = 0; i < k; ++i) buf_.push_back(x[i]);
        return ContiguousView<double>{buf_.data(), buf_.size()};
    }
    void unjoin(std::size_t k) { buf_.resize(buf_.size() - k); }
    std::uint64_t width() const { return w_; }
    // How many values the buffer holds (held_after the pushes so far).
    std::uint64_t held() const { return buf_.size(); }
    // The value `back` positions before the newest (0: the newest).
    double back(std::size_t back) const { return buf_[buf_.size() - 1 - back]; }
    // The newest min(held, w) values, oldest first.
    ContiguousView<double> window() const {
        const std::size_t m = buf_.size() < w_ ? buf_.size() : static_cast<std::size_t>(w_);
        return ContiguousView<double>{buf_.data() + (buf_.size() - m), m};
    }
    // The values, and a check that they are as many as `fed` pushes leave
    // (a restored state must not make a window read outside, nor claim a
    // count of values its buffer disagrees with).
    void fields(Fields& f, std::uint64_t fed) {
        f.values(buf_);
        if (buf_.size() != held_after(fed, w_)) throw ValueError("invalid stream state");
    }
    // The values held after `fed` pushes: every one up to 2w, then w to 2w
    // in turn (a full buffer keeps the newest w - 1 before the next value).
    static constexpr std::uint64_t held_after(std::uint64_t fed, std::uint64_t w) {
        if (w == 0) return 0;
        if (fed <= w || fed - w <= w) return fed;
        return w + (fed - 2 * w - 1) % (w + 1);
    }

private:
    std::uint64_t w_ = 0;
    std::vector<double> buf_;
};

// A buffer used within one call (rows gathered for a batch step): a copy of
// a state starts its own empty and assigning a state keeps it, so that
// copying a state never copies what the last call left there.
class Scratch : public std::vector<double> {
public:
    Scratch() = default;
    Scratch(const Scratch&) : std::vector<double>() {}
    Scratch& operator=(const Scratch&) { return *this; }
    // Frees the storage (a large call's buffer is not kept).
    void release() { std::vector<double>().swap(*this); }
};

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
    // What feed(in, 1, out) writes, the state left exactly as it is (admit
    // has been asked first). This feeds the row to a copy of the state held
    // in `scratch`, assigned afresh each time so that its buffers are reused:
    // O(state). A kernel whose state keeps a window it only reads at a few
    // places overrides it with its row step run on copies of its scalars.
    virtual void peek(const double* const* in, double* const* out, std::unique_ptr<Kernel>& scratch) const {
        Kernel* held = scratch.get();
        if (held && typeid(*held) == typeid(*this)) {
            held->assign(*this);
        } else {
            scratch = clone();
        }
        scratch->feed(in, 1, out);
    }
    // A long chunk of candle rows read in place, as the batch function reads
    // its matrix (the columns copied out would cost as much as its kernel):
    // a kernel that can, does so and returns true; otherwise the caller
    // copies the columns and calls feed.
    virtual bool feed_rows(const MatrixView& /*candles*/, double* const* /*out*/) { return false; }
    // A long chunk on a fresh stream (in[], or the candle matrix `rows` when
    // not null) fed by running the batch function on it whole: its result is
    // the stream's, and is handed over as it is (copying it into fresh
    // arrays would cost about what the batch function does). A kernel that
    // feeds otherwise returns false, its state untouched.
    virtual bool feed_whole(const double* const* /*in*/, const MatrixView* /*rows*/, std::size_t /*k*/,
                            Value& /*result*/) {
        return false;
    }
    // Every field of the state, rows fed first; a restored state that breaks
    // an invariant throws ValueError.
    virtual void fields(Fields& f) = 0;
    std::uint64_t fed() const { return n_; }

protected:
    // This state becomes a copy of `from`, a kernel of the same type.
    virtual void assign(const Kernel& from) = 0;

    std::uint64_t n_ = 0;
};

template <class K>
class KernelOf : public Kernel {
public:
    std::unique_ptr<Kernel> clone() const override { return std::make_unique<K>(static_cast<const K&>(*this)); }

protected:
    void assign(const Kernel& from) override { static_cast<K&>(*this) = static_cast<const K&>(from); }
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
