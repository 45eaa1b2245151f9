// The stream registry (see stream_table.hpp).
#include "stream_table.hpp"

#include "../bands/streams.hpp"
#include "../moving_averages/streams.hpp"
#include "../oscillators/streams.hpp"

namespace korva::stream {
namespace {

using enum Approach;

constexpr Entry registry[] = {
    entry<ma::streams::dema>("dema", Recurrence),
    entry<ma::streams::ema>("ema", Recurrence),
    entry<ma::streams::sma>("sma", RunningSums),
    entry<ma::streams::smma>("smma", Recurrence),
    entry<ma::streams::tema>("tema", Recurrence),
    entry<ma::streams::trix>("trix", Recurrence),
    entry<ma::streams::wilders>("wilders", Recurrence),
    entry<ma::streams::wma>("wma", WindowResum),
    entry<osc::streams::macd>("macd", Recurrence),
    entry<osc::streams::rsi>("rsi", Recurrence),
    entry<bands::streams::atr>("atr", Recurrence).reads({col::close, col::high, col::low}),
    entry<bands::streams::bollinger_bands>("bollinger_bands", RunningSums),
};

}  // namespace

std::span<const Entry> streams() { return registry; }

const Entry* find(std::string_view name) {
    for (const Entry& e : registry) {
        if (name == e.name) return &e;
    }
    return nullptr;
}

}  // namespace korva::stream
