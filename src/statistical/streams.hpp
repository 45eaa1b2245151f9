// Streams of the statistical family (see helpers/stream.hpp).
#pragma once
#include <cstdint>
#include <memory>

#include "../helpers/stream.hpp"

namespace korva::statistical::streams {

// Fed the series.
std::unique_ptr<stream::Kernel> shift(std::int64_t periods);

}  // namespace korva::statistical::streams
