// Streams of the oscillators (see helpers/stream.hpp).
#pragma once
#include <cstdint>
#include <memory>

#include "../helpers/stream.hpp"

namespace korva::osc::streams {

std::unique_ptr<stream::Kernel> macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period);
std::unique_ptr<stream::Kernel> rsi(std::uint64_t period);
std::unique_ptr<stream::Kernel> cmo(std::uint64_t period);

}  // namespace korva::osc::streams
