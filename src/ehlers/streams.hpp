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
std::unique_ptr<stream::Kernel> reflex(std::uint64_t period);
std::unique_ptr<stream::Kernel> trendflex(std::uint64_t period);
std::unique_ptr<stream::Kernel> itrend(double alpha);
std::unique_ptr<stream::Kernel> voss(std::uint64_t period, std::uint64_t predict, double bandwidth);
std::unique_ptr<stream::Kernel> edcf(std::uint64_t period);
std::unique_ptr<stream::Kernel> correlation_cycle(std::uint64_t period, double threshold);
std::unique_ptr<stream::Kernel> mama(double fastlimit, double slowlimit);
std::unique_ptr<stream::Kernel> pma();

}  // namespace korva::ehlers::streams
