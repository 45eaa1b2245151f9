// The stream registry (see stream_table.hpp).
#include "stream_table.hpp"

#include <algorithm>
#include <vector>

#include "../bands/streams.hpp"
#include "../candle/streams.hpp"
#include "../ehlers/streams.hpp"
#include "../moving_averages/streams.hpp"
#include "../oscillators/streams.hpp"
#include "../statistical/streams.hpp"
#include "../trend/streams.hpp"
#include "../volume/streams.hpp"

namespace korva::stream {
namespace {

using enum Approach;
using args::Arg;

std::uint64_t uint_at(std::span<const Arg> a, std::size_t i) { return std::get<std::uint64_t>(a[i]); }

// The rows before the newest one of a window of w.
constexpr std::uint64_t before(std::uint64_t w) { return w > 0 ? w - 1 : 0; }

// The batch function's failure for a zero period, whatever the rows.
template <std::size_t I>
void zero_period(std::span<const Arg> a, std::uint64_t n) {
    if (uint_at(a, I) == 0) index_out_of_range(static_cast<std::size_t>(-1), static_cast<std::size_t>(n));
}

template <std::size_t I>
std::uint64_t period_at(std::span<const Arg> a) {
    return uint_at(a, I);
}

// Twice the period and a few rows more.
template <std::size_t I>
std::uint64_t twice(std::span<const Arg> a) {
    return saturated(saturated(uint_at(a, I), uint_at(a, I)), 2);
}

// The batch function itself on the rows it reads for the newest positions.
class Rerun : public KernelOf<Rerun> {
public:
    Rerun(const table::Function& fn, std::size_t data, bool candles, std::uint64_t lookback, std::span<const Arg> all,
          Admit admit, std::span<const Arg> params)
        : fn_(&fn), data_(data), cols_(candles ? 6 : 1), keep_(before(lookback)), admit_(admit), count_(params.size()) {
        std::copy(all.begin(), all.end(), args_.begin());
        std::copy(params.begin(), params.end(), params_.begin());
    }
    void admit(std::uint64_t n) const override {
        if (admit_) admit_(std::span<const Arg>(params_.data(), count_), n);
    }
    // The kept rows and the new ones go to the batch function as one input;
    // a position with a full window before it has its batch value there.
    // A long chunk is not copied: its positions from `keep_` on have their
    // whole window inside it, so the batch function runs on the chunk in
    // place for them, and on the kept rows and the chunk's first `keep_`
    // rows for the others. On a fresh stream the chunk is the whole history.
    void feed(const double* const* in, std::size_t k, double* const* out) override {
        if (k == 0) return;
        Arg chunk;
        if (whole_windows(k) && in_place(in, k, chunk)) {
            feed_long(in, chunk, k, out);
            return;
        }
        append(in, 0, k);
        take(run(rows_), k, out, 0);
        const std::size_t m = rows_.size() / cols_;
        if (m > keep_) rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>((m - keep_) * cols_));
        n_ += k;
    }
    // The candle matrix itself is the batch function's input there, as a
    // caller's own call would pass it.
    bool feed_rows(const MatrixView& m, double* const* out) override {
        if (cols_ != 6 || !whole_windows(m.rows)) return false;
        SeriesView columns[6];
        for (std::size_t c = 0; c < 6; ++c) columns[c] = m.column(c);
        feed_long(columns, Arg{m}, m.rows, out);
        return true;
    }
    // On a fresh stream the chunk is the whole history: the batch function's
    // result on it is the stream's.
    bool feed_whole(const double* const* in, const MatrixView* rows, std::size_t k, Value& result) override {
        Arg chunk;
        if (n_ != 0 || k == 0) return false;
        if (rows) {
            if (cols_ != 6) return false;
            chunk = *rows;
        } else if (!in_place(in, k, chunk)) {
            return false;
        }
        result = run(chunk);
        const std::size_t from = k - std::min<std::size_t>(k, keep_);
        if (rows) {
            SeriesView columns[6];
            for (std::size_t c = 0; c < 6; ++c) columns[c] = rows->column(c);
            append(columns, from, k);
        } else {
            append(in, from, k);
        }
        n_ = k;
        return true;
    }
    void fields(Fields& f) override {
        f.count(n_);
        f.values(rows_);
        const std::uint64_t rows = rows_.size() / cols_;
        if (rows_.size() % cols_ != 0 || rows != (n_ < keep_ ? n_ : keep_)) throw ValueError("invalid stream state");
    }

private:
    // Whether positions of a chunk of k rows have their whole window in it
    // (the kept rows are then the window of its first positions).
    bool whole_windows(std::size_t k) const { return n_ == 0 || (n_ >= keep_ && k > static_cast<std::size_t>(keep_)); }
    // The chunk's leading positions over the kept rows, the rest over the
    // chunk itself (`chunk`, the same rows as in[]).
    template <class X>
    void feed_long(const X* in, const Arg& chunk, std::size_t k, double* const* out) {
        const std::size_t lead = n_ == 0 ? 0 : static_cast<std::size_t>(keep_);
        if (lead > 0) {
            append(in, 0, lead);
            take(run(rows_), lead, out, 0);
        }
        if (k > lead) take(run(chunk), k - lead, out, lead);
        rows_.clear();
        append(in, k - std::min<std::size_t>(k, keep_), k);
        n_ += k;
    }
    // Rows [a, b) of a chunk (arrays or column views) appended to the kept
    // rows, row-major.
    template <class X>
    void append(const X* in, std::size_t a, std::size_t b) {
        const std::size_t held = rows_.size() / cols_;
        rows_.resize((held + b - a) * cols_);
        for (std::size_t i = a; i < b; ++i)
            for (std::size_t c = 0; c < cols_; ++c) rows_[(held + i - a) * cols_ + c] = in[c][i];
    }
    // The chunk as the batch function's input without a copy: a series, or
    // candle columns that extend hands over one after another in one block
    // (a Fortran-order matrix); false for columns laid out otherwise.
    bool in_place(const double* const* in, std::size_t k, Arg& chunk) const {
        const char* base = reinterpret_cast<const char*>(in[0]);
        constexpr auto step = static_cast<std::ptrdiff_t>(sizeof(double));
        if (cols_ == 1) {
            chunk = SeriesView{base, step, k};
            return true;
        }
        for (std::size_t c = 1; c < cols_; ++c)
            if (in[c] != in[0] + c * k) return false;
        chunk = MatrixView{base, step, step * static_cast<std::ptrdiff_t>(k), k, cols_};
        return true;
    }
    // The batch function on the kept rows (row-major) or on a chunk.
    Value run(const std::vector<double>& rows) {
        const std::size_t m = rows.size() / cols_;
        const char* base = reinterpret_cast<const char*>(rows.data());
        constexpr auto step = static_cast<std::ptrdiff_t>(sizeof(double));
        if (cols_ == 1) return run(Arg{SeriesView{base, step, m}});
        return run(Arg{MatrixView{base, step * static_cast<std::ptrdiff_t>(cols_), step, m, cols_}});
    }
    Value run(const Arg& data) {
        args_[data_] = data;
        return fn_->impl(std::span<const Arg>(args_.data(), fn_->count));
    }
    // The last `count` positions of each output of v into out[q][at ..].
    static void take(Value v, std::size_t count, double* const* out, std::size_t at) {
        std::size_t q = 0;
        const auto last = [&](Value& item) {
            Series& s = std::get<Series>(item.v);
            std::copy_n(s.data() + (s.size() - count), count, out[q++] + at);
        };
        if (auto* t = std::get_if<Tuple>(&v.v)) {
            for (Value& item : *t) last(item);
        } else if (auto* d = std::get_if<Dict>(&v.v)) {
            for (auto& item : d->items) last(item.second);
        } else {
            last(v);
        }
    }

    const table::Function* fn_;
    std::size_t data_, cols_;
    std::uint64_t keep_;
    Admit admit_;
    std::size_t count_;
    std::array<Arg, args::kMaxParams> args_{}, params_{};
    std::vector<double> rows_;  // the last rows, row-major
};

constexpr Entry registry[] = {
    entry<ma::streams::dema>("dema", Recurrence),
    entry<ma::streams::ema>("ema", Recurrence),
    entry<ma::streams::kama>("kama", Recurrence),
    entry<ma::streams::sma>("sma", RunningSums),
    entry<ma::streams::smma>("smma", Recurrence),
    entry<ma::streams::zlema>("zlema", Recurrence),
    entry<ma::streams::t3>("t3", Recurrence).reads({0, 1, 2, 3, 4, 5}),
    entry<ma::streams::tema>("tema", Recurrence),
    entry<ma::streams::trix>("trix", Recurrence),
    entry<ma::streams::vwma>("vwma", RunningSums).reads({col::close, col::volume}),
    entry<ma::streams::wilders>("wilders", Recurrence),
    entry<ma::streams::wma>("wma", WindowResum),
    entry<ma::streams::frama>("frama", WindowResum).reads({col::close, col::high, col::low}),
    entry<ma::streams::hwma>("hwma", Recurrence),
    entry<ma::streams::jma>("jma", Recurrence),
    entry<ma::streams::maaq>("maaq", RunningSums),
    entry<ma::streams::mcginley_dynamic>("mcginley_dynamic", Recurrence),
    entry<ma::streams::mwdx>("mwdx", Recurrence),
    entry<ma::streams::vidya>("vidya", WindowResum),
    entry<ma::streams::vwap>("vwap", RunningSums).reads({0, 1, 2, 3, 4, 5}),
    entry<osc::streams::cmo>("cmo", RunningSums),
    entry<osc::streams::macd>("macd", Recurrence),
    entry<osc::streams::rsi>("rsi", Recurrence),
    entry<osc::streams::cfo>("cfo", RunningSums),
    entry<osc::streams::cg>("cg", RunningSums),
    entry<osc::streams::dpo>("dpo", RunningSums),
    entry<osc::streams::fosc>("fosc", RunningSums),
    entry<osc::streams::fisher>("fisher", WindowResum).reads({col::high, col::low}),
    entry<osc::streams::lrsi>("lrsi", Recurrence).reads({col::high, col::low}),
    entry<osc::streams::rsx>("rsx", Recurrence),
    entry<osc::streams::srsi>("srsi", WindowResum),
    entry<osc::streams::mass>("mass", WindowResum).reads({col::high, col::low}),
    entry<osc::streams::pfe>("pfe", RunningSums),
    entry<osc::streams::dti>("dti", Recurrence).reads({col::high, col::low}),
    entry<osc::streams::wt>("wt", Recurrence).reads({col::open, col::close, col::high, col::low}),
    entry<osc::streams::stoch>("stoch", WindowResum).reads({col::close, col::high, col::low}),
    entry<osc::streams::stochf>("stochf", WindowResum).reads({col::close, col::high, col::low}),
    entry<osc::streams::willr>("willr", WindowResum).reads({col::close, col::high, col::low}),
    entry<bands::streams::atr>("atr", Recurrence).reads({col::close, col::high, col::low}),
    entry<bands::streams::bollinger_bands>("bollinger_bands", RunningSums),
    entry<bands::streams::bollinger_bands_width>("bollinger_bands_width", RunningSums),
    entry<trend::streams::adx>("adx", Recurrence).reads({col::close, col::high, col::low}),
    entry<trend::streams::adxr>("adxr", WindowResum).reads({col::close, col::high, col::low}).narrow_index(),
    entry<trend::streams::dm>("dm", Recurrence).reads({col::close, col::high, col::low}),
    entry<trend::streams::di>("di", Recurrence).reads({col::close, col::high, col::low}),
    entry<trend::streams::sar>("sar", Recurrence).reads({col::high, col::low}).narrow_index(),
    entry<trend::streams::supertrend>("supertrend", Recurrence).reads({col::close, col::high, col::low}).narrow_index(),
    entry<ehlers::streams::high_pass>("high_pass", Recurrence),
    entry<ehlers::streams::supersmoother>("supersmoother", Recurrence),
    entry<ehlers::streams::bandpass>("bandpass", Recurrence),
    entry<ehlers::streams::high_pass_2_pole>("high_pass_2_pole", Recurrence),
    entry<ehlers::streams::supersmoother_3_pole>("supersmoother_3_pole", Recurrence),
    entry<ehlers::streams::correlation_cycle>("correlation_cycle", WindowResum),
    entry<ehlers::streams::edcf>("edcf", RunningSums),
    entry<ehlers::streams::itrend>("itrend", Recurrence),
    entry<ehlers::streams::mama>("mama", Recurrence),
    entry<ehlers::streams::pma>("pma", WindowResum),
    entry<ehlers::streams::reflex>("reflex", WindowResum),
    entry<ehlers::streams::trendflex>("trendflex", WindowResum),
    entry<ehlers::streams::voss>("voss", WindowResum),
    rerun("cci", period_at<0>).reads({0, 1, 2, 3, 4, 5}),
    rerun("donchian", period_at<0>, zero_period<0>).reads({0, 1, 2, 3, 4, 5}),
    rerun("aroonosc", period_at<0>).reads({0, 1, 2, 3, 4, 5}),
    rerun("linearreg", period_at<0>),
    rerun("moving_std", period_at<0>),
    rerun("cwma", twice<0>),
    rerun("sqwma", twice<0>),
    rerun("srwma", twice<0>),
    rerun("vpwma", twice<0>),
    rerun("nma", twice<0>),
    rerun("hma", twice<0>),
    rerun("epma", [](std::span<const Arg> a) { return saturated(twice<0>(a), uint_at(a, 1)); }),
    // Volume, trend overlays, channels, candle series and array helpers.
    entry<volume::streams::adosc>("adosc", Recurrence).reads({col::close, col::high, col::low, col::volume}),
    entry<volume::streams::cvi>("cvi", Recurrence).reads({col::high, col::low}),
    entry<volume::streams::emv>("emv", WindowResum).reads({col::high, col::low, col::volume}),
    entry<volume::streams::wad>("wad", RunningSums).reads({col::open, col::high, col::low}),
    entry<trend::streams::alligator>("alligator", Recurrence),
    entry<trend::streams::safezonestop>("safezonestop", Recurrence).reads({col::high, col::low}).narrow_index(),
    entry<trend::streams::vi>("vi", WindowResum).reads({col::close, col::high, col::low}),
    entry<bands::streams::chande>("chande", Recurrence).reads({col::close, col::high, col::low}),
    entry<bands::streams::chop>("chop", RunningSums).reads({col::close, col::high, col::low}),
    entry<candle::streams::emd>("emd", Recurrence).reads({col::high, col::low}),
    entry<candle::streams::heikin_ashi_candles>("heikin_ashi_candles", Recurrence)
        .reads({col::open, col::close, col::high, col::low}),
    entry<candle::streams::qstick>("qstick", RunningSums).reads({col::open, col::close}),
    entry<statistical::streams::shift>("shift", WindowResum),
};

}  // namespace

std::size_t table_arguments(const table::Function& fn, std::span<const Arg> params,
                            std::array<Arg, args::kMaxParams>& all) {
    std::size_t data = 0, next = 0;
    for (std::size_t i = 0; i < fn.count; ++i) {
        const args::Param& p = fn.params[i];
        if (stream_param(p)) {
            all[i] = params[next++];
        } else if (p.type == args::Type::Bool) {
            all[i] = true;
        } else {
            data = i;
        }
    }
    return data;
}

std::unique_ptr<Kernel> window_rerun(const Entry& e, std::span<const Arg> params) {
    const table::Function* fn = nullptr;
    for (const table::Function& f : table::functions()) {
        if (std::string_view(f.name) == e.name) fn = &f;
    }
    if (!fn) throw InternalError("a stream names no function of the table");
    // The data is filled in at each run.
    std::array<Arg, args::kMaxParams> all{};
    const std::size_t data = table_arguments(*fn, params, all);
    const bool candles = fn->params[data].type == args::Type::Candles;
    return std::make_unique<Rerun>(*fn, data, candles, e.lookback(params), std::span<const Arg>(all.data(), fn->count),
                                   e.admit, params);
}

std::span<const Entry> streams() { return registry; }

const Entry* find(std::string_view name) {
    for (const Entry& e : registry) {
        if (name == e.name) return &e;
    }
    return nullptr;
}

}  // namespace korva::stream
