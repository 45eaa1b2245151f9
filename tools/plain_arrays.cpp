// The array allocator for front ends without the interpreter (the table
// describer, result harnesses): results live in plain heap blocks. The module
// itself allocates NumPy arrays instead (src/module/numpy_api.cpp).
#include <cstdlib>
#include <limits>
#include <new>

#include "helpers/result.hpp"

namespace korva::detail {

void* allocate_array(Dtype dtype, int nd, std::size_t rows, std::size_t cols, void** data) {
    const std::size_t item = dtype == Dtype::Bool ? 1 : sizeof(double);
    const std::size_t count = nd == 2 ? rows * cols : rows;
    if (nd == 2 && cols != 0 && rows > std::numeric_limits<std::size_t>::max() / cols) throw std::bad_alloc();
    if (count > std::numeric_limits<std::size_t>::max() / item) throw std::bad_alloc();
    // One byte at least, so that an empty result still has an owner.
    void* block = std::malloc(count * item > 0 ? count * item : 1);
    if (!block) throw std::bad_alloc();
    *data = block;
    return block;
}

void release_array(void* owner) noexcept { std::free(owner); }

}  // namespace korva::detail
