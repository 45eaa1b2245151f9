// Streams of the moving averages (see helpers/stream.hpp).
#pragma once
#include <cstdint>
#include <memory>
#include <string_view>

#include "../helpers/stream.hpp"

namespace korva::ma::streams {

std::unique_ptr<stream::Kernel> sma(std::uint64_t period);
std::unique_ptr<stream::Kernel> ema(std::uint64_t period);
std::unique_ptr<stream::Kernel> smma(std::uint64_t length);
std::unique_ptr<stream::Kernel> wilders(std::uint64_t period);
std::unique_ptr<stream::Kernel> wma(std::uint64_t period);
std::unique_ptr<stream::Kernel> dema(std::uint64_t period);
std::unique_ptr<stream::Kernel> tema(std::uint64_t period);
std::unique_ptr<stream::Kernel> trix(std::uint64_t period);
std::unique_ptr<stream::Kernel> zlema(std::uint64_t period);
// Fed close and volume.
std::unique_ptr<stream::Kernel> vwma(std::uint64_t period);
// Fed whole candle rows.
std::unique_ptr<stream::Kernel> t3(std::uint64_t period, double vfactor, std::string_view source_type);
std::unique_ptr<stream::Kernel> kama(std::uint64_t period, std::uint64_t fast_length, std::uint64_t slow_length);

}  // namespace korva::ma::streams
