// Streams of the trend family (see helpers/stream.hpp).
#pragma once
#include <cstdint>
#include <memory>

#include "../helpers/stream.hpp"

namespace korva::trend::streams {

// Fed close, high and low.
std::unique_ptr<stream::Kernel> dm(std::uint64_t period);
std::unique_ptr<stream::Kernel> di(std::uint64_t period);
std::unique_ptr<stream::Kernel> adx(std::uint64_t period);
std::unique_ptr<stream::Kernel> adxr(std::uint64_t period);
std::unique_ptr<stream::Kernel> supertrend(std::uint64_t period, double factor);
std::unique_ptr<stream::Kernel> vi(std::uint64_t period);
// Fed high and low.
std::unique_ptr<stream::Kernel> sar(double acceleration, double maximum);
std::unique_ptr<stream::Kernel> safezonestop(std::uint64_t period, double mult, std::uint64_t max_lookback,
                                             bool direction);
// Fed the series.
std::unique_ptr<stream::Kernel> alligator();

}  // namespace korva::trend::streams
