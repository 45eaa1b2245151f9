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
std::unique_ptr<stream::Kernel> jma(std::uint64_t period, double phase, std::uint64_t power);
std::unique_ptr<stream::Kernel> hwma(double na, double nb, double nc);
std::unique_ptr<stream::Kernel> mwdx(double factor);
std::unique_ptr<stream::Kernel> mcginley_dynamic(std::uint64_t period, double k);
std::unique_ptr<stream::Kernel> maaq(std::uint64_t period, std::uint64_t fast_period, std::uint64_t slow_period);
std::unique_ptr<stream::Kernel> vidya(std::uint64_t length, bool fix_cmo, bool select);
// Fed close, high and low.
std::unique_ptr<stream::Kernel> frama(std::uint64_t window, std::uint64_t fc, std::uint64_t sc);
// Fed whole candle rows.
std::unique_ptr<stream::Kernel> vwap(std::string_view source_type, std::string_view anchor);

}  // namespace korva::ma::streams
