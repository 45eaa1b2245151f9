// Streams of the volatility bands (see helpers/stream.hpp).
#pragma once
#include <cstdint>
#include <memory>
#include <string_view>

#include "../helpers/stream.hpp"

namespace korva::bands::streams {

// Fed close, high and low.
std::unique_ptr<stream::Kernel> atr(std::uint64_t period);
std::unique_ptr<stream::Kernel> chande(std::uint64_t period, double mult, std::string_view direction);
std::unique_ptr<stream::Kernel> chop(std::uint64_t period, double scalar, std::uint64_t drift);
// Fed the series.
std::unique_ptr<stream::Kernel> bollinger_bands(std::uint64_t period, double devup, double devdn);
std::unique_ptr<stream::Kernel> bollinger_bands_width(std::uint64_t period, double mult);

}  // namespace korva::bands::streams
