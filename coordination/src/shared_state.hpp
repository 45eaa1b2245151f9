// The state every coordinator thread shares: identity (token, generation),
// the single store lock with the store and subscription list it guards, and
// the atomic connection count. Nothing here is touched without the lock
// except the immutable identity and the atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "channels.hpp"
#include "store.hpp"

namespace korva::coordination {

struct SharedState {
    SharedState(std::string token_, std::string generation_)
        : token(std::move(token_)),
          generation(std::move(generation_)),
          hello_value(dump_json(Json{{"generation", generation}, {"protocol", 2}})) {}

    const std::string token;
    const std::string generation;
    const std::string hello_value;  // serialised once

    std::mutex lock;  // guards store and channels
    Store store;
    Channels channels;

    std::atomic<std::uint32_t> connections{0};
    static constexpr std::uint32_t kConnectionLimit = 256;

    // Bytes of large buffers and drained event queues freed since the
    // allocator last handed its free memory back to the system; the sweeper
    // does that once they add up to kReturnMemoryAfter.
    std::atomic<std::uint64_t> released{0};
    static constexpr std::uint64_t kLargeBuffer = 64 * 1024;
    static constexpr std::uint64_t kReturnMemoryAfter = 1024 * 1024;
    void note_released(std::uint64_t bytes) {
        if (bytes >= kLargeBuffer) released.fetch_add(bytes, std::memory_order_relaxed);
    }
};

}  // namespace korva::coordination
