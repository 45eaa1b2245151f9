// Streams of the candle-shaped series (see helpers/stream.hpp).
#pragma once
#include <cstdint>
#include <memory>

#include "../helpers/stream.hpp"

namespace korva::candle::streams {

// Fed open, close, high and low.
std::unique_ptr<stream::Kernel> heikin_ashi_candles();
// Fed open and close.
std::unique_ptr<stream::Kernel> qstick(std::uint64_t period);
// Fed high and low.
std::unique_ptr<stream::Kernel> emd(std::uint64_t period, double delta, double fraction);

}  // namespace korva::candle::streams
