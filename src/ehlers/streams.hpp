// Streams of the cycle filters (see helpers/stream.hpp).
#pragma once
#include <cstdint>
#include <memory>

#include "../helpers/stream.hpp"

namespace korva::ehlers::streams {

std::unique_ptr<stream::Kernel> supersmoother(std::uint64_t period);
std::unique_ptr<stream::Kernel> high_pass(std::uint64_t period);
std::unique_ptr<stream::Kernel> supersmoother_3_pole(std::uint64_t period);
std::unique_ptr<stream::Kernel> high_pass_2_pole(std::uint64_t period);
std::unique_ptr<stream::Kernel> bandpass(std::uint64_t period, double bandwidth);

}  // namespace korva::ehlers::streams
