// Publish/subscribe: the subscription list, the per-subscriber queues, the
// frame, per-subscription and global byte budgets, delivery and the
// subscriber's stream with heartbeats. An event's frame is built once and
// shared by every queue it lands on; its bytes stay reserved in the global
// counter until the last queue or stream lets go of it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.hpp"

namespace korva::coordination {

namespace limits {
constexpr std::uint64_t kFrame = 16773120;  // 16 MiB - 4096
constexpr std::uint64_t kSubscriptionQueue = 16777216;  // 16 MiB
constexpr std::uint64_t kGlobalQueue = 67108864;  // 64 MiB
constexpr std::uint64_t kEventOverhead = 128;
constexpr std::size_t kSubscriptions = 32;
constexpr std::int64_t kHeartbeatNs = 2'000'000'000;
constexpr std::int64_t kFrameWriteNs = 2'000'000'000;
}  // namespace limits

struct Event {
    Event(std::string f, std::shared_ptr<std::atomic<std::uint64_t>> g) : frame(std::move(f)), global(std::move(g)) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event() { global->fetch_sub(frame.size()); }  // returns the reservation made at publish

    const std::string frame;
    const std::shared_ptr<std::atomic<std::uint64_t>> global;
};

// Shared by a list entry (the sending side) and the subscriber's connection
// thread (the receiving side).
class SubscriberQueue {
public:
    enum class Wait { Items, TimedOut, SenderGone };

    std::atomic<bool> active{true};
    // Sum of (frame length + 128) over queued events and those being written.
    std::atomic<std::uint64_t> queued{0};

    // False once the receiving side has gone. Never blocks for long: the
    // mutex guards only this queue and is never held while waiting for I/O.
    // Does not wake the receiver; the publisher calls wake() once it has
    // queued everything it is about to queue (see Channels::deliver).
    bool push(std::shared_ptr<const Event> event);
    void wake();
    // Takes queued events into `out` (at least one, then more while they fit
    // in `max_items` and `max_bytes` of frames), waiting until `deadline_ns`
    // for the first.
    Wait take(std::vector<std::shared_ptr<const Event>>& out, std::size_t max_items, std::size_t max_bytes,
              std::int64_t deadline_ns);
    void close_sender();
    // Discards queued events, releasing their reservations.
    void close_receiver();

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::shared_ptr<const Event>> items_;
    bool sender_open_ = true;
    bool receiver_open_ = true;
};

class Channels {
public:
    Channels();
    ~Channels();
    Channels(const Channels&) = delete;
    Channels& operator=(const Channels&) = delete;

    // The three calls below run with the store lock held.
    // Queues `frame` (already within the frame budget) for every matching
    // subscription; replies with the delivery count. The queues that received
    // it are added to `to_wake` (once each): waking them is left to the
    // caller, outside the lock and after any further pipelined publishes, so
    // that a subscriber wakes once per burst rather than once per event.
    Reply deliver(std::string_view ns, std::string_view channel, std::string&& frame,
                  std::vector<std::shared_ptr<SubscriberQueue>>& to_wake);
    void prune_inactive();
    // Registers a subscription; nullptr or the failure text.
    const char* add(std::string_view ns, std::string_view prefix, std::shared_ptr<SubscriberQueue> queue);

    // Bytes of distinct frames currently queued or being written.
    std::uint64_t global_queued() const { return global_->load(); }
    // How far the queued bytes have come down from their highest point since
    // the last call (called under the store lock, once a second).
    std::uint64_t take_drained();

private:
    struct Subscription;
    std::vector<Subscription> list_;
    std::shared_ptr<std::atomic<std::uint64_t>> global_;
    std::uint64_t peak_ = 0;  // highest global queued bytes seen since take_drained()
};

// Builds the frame of a "publish" request; on failure sets `error`.
bool build_frame(std::string_view channel, const std::string& payload, std::string& frame, const char*& error);

// Runs a subscriber's stream after its confirmation line was written, until
// the subscription ends. Never holds the store lock.
void stream_events(Transport& transport, SubscriberQueue& queue);

}  // namespace korva::coordination
