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
#include "platform.hpp"
#include "store.hpp"

namespace korva::coordination {

// The store lock. Operations hold it for well under a microsecond, so a
// thread that finds it taken spins for a few microseconds before it sleeps:
// going to sleep in the kernel and being woken again costs several times
// the wait it saves, and under load most contended waits were sleeps.
class StoreLock {
public:
    void lock() {
        for (int spin = 0; spin < kSpins; ++spin) {
            if (!held_.load(std::memory_order_relaxed) && mutex_.try_lock()) {
                held_.store(true, std::memory_order_relaxed);
                return;
            }
            platform::cpu_relax();
        }
        mutex_.lock();
        held_.store(true, std::memory_order_relaxed);
    }
    void unlock() {
        held_.store(false, std::memory_order_relaxed);
        mutex_.unlock();
    }

private:
    static constexpr int kSpins = 100;
    std::mutex mutex_;
    std::atomic<bool> held_{false};  // a hint for spinners; the mutex decides
};

struct SharedState {
    SharedState(std::string token_, std::string generation_)
        : token(std::move(token_)),
          generation(std::move(generation_)),
          hello_value(dump_json(Json{{"generation", generation}, {"protocol", 2}})) {}

    const std::string token;
    const std::string generation;
    const std::string hello_value;  // serialised once

    StoreLock lock;  // guards store and channels
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
