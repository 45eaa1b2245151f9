// Streams of the volume family (see helpers/stream.hpp).
#pragma once
#include <cstdint>
#include <memory>

#include "../helpers/stream.hpp"

namespace korva::volume::streams {

// Fed close, high, low and volume.
std::unique_ptr<stream::Kernel> adosc(std::uint64_t fast_period, std::uint64_t slow_period);
// Fed high and low.
std::unique_ptr<stream::Kernel> cvi(std::uint64_t period);
// Fed high, low and volume.
std::unique_ptr<stream::Kernel> emv(std::uint64_t length, double div);
// Fed open, high and low.
std::unique_ptr<stream::Kernel> wad();

}  // namespace korva::volume::streams
