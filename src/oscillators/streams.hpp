// Streams of the oscillators (see helpers/stream.hpp).
#pragma once
#include <cstdint>
#include <memory>
#include <string_view>

#include "../helpers/stream.hpp"

namespace korva::osc::streams {

std::unique_ptr<stream::Kernel> macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period);
std::unique_ptr<stream::Kernel> rsi(std::uint64_t period);
std::unique_ptr<stream::Kernel> cmo(std::uint64_t period);
std::unique_ptr<stream::Kernel> srsi(std::uint64_t period, std::uint64_t period_stoch, std::uint64_t k_period,
                                     std::uint64_t d_period);
std::unique_ptr<stream::Kernel> rsx(std::uint64_t period);
std::unique_ptr<stream::Kernel> lrsi(double alpha);
std::unique_ptr<stream::Kernel> cfo(std::uint64_t period, double scalar);
std::unique_ptr<stream::Kernel> fosc(std::uint64_t period);
std::unique_ptr<stream::Kernel> cg(std::uint64_t period);
std::unique_ptr<stream::Kernel> dpo(std::uint64_t period);
std::unique_ptr<stream::Kernel> fisher(std::uint64_t period);
std::unique_ptr<stream::Kernel> mass(std::uint64_t period);
std::unique_ptr<stream::Kernel> pfe(std::uint64_t period, std::uint64_t smoothing);
std::unique_ptr<stream::Kernel> dti(std::uint64_t r, std::uint64_t s, std::uint64_t u);
std::unique_ptr<stream::Kernel> stoch(std::uint64_t fastk_period, std::uint64_t slowk_period,
                                      std::uint64_t slowk_matype, std::uint64_t slowd_period,
                                      std::uint64_t slowd_matype);
std::unique_ptr<stream::Kernel> stochf(std::uint64_t fastk_period, std::uint64_t fastd_period,
                                       std::uint64_t fastd_matype);
std::unique_ptr<stream::Kernel> willr(std::uint64_t period);
std::unique_ptr<stream::Kernel> wt(std::uint64_t wtchannellen, std::uint64_t wtaveragelen, std::uint64_t wtmalen,
                                   double oblevel, double oslevel, std::string_view source_type);

}  // namespace korva::osc::streams
