// Small array utilities that replace NumPy idioms in the host's hot loops:
// locating an equal row, a rolling population deviation and a NaN-filled
// shift.
#pragma once
#include <cstdint>

#include "../helpers/result.hpp"
#include "../helpers/views.hpp"

namespace korva::statistical {

std::int64_t find_order_index(MatrixView orders, SeriesView order_array);
Series moving_std(SeriesView source, std::uint64_t period);
Series shift(SeriesView source, std::int64_t periods);

}  // namespace korva::statistical
