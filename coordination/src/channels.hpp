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
//
// Frames reach the subscriber's socket in queue order through one writer at
// a time. Usually the stream is idle when an event arrives, and the
// publisher's thread writes the frames itself with a send that never waits
// (send_queued, after the store lock is released): a subscriber thread woken
// for every burst cost more than the write, and on a busy machine it waited
// for a processor while its events aged. Whatever cannot go out at once (a
// full socket buffer, a write already in progress, a stream not yet started)
// is left to the subscriber's thread, which writes with the 2-second frame
// deadline, sends the heartbeats and ends the stream.
class SubscriberQueue {
public:
    // Events taken for one write; `sent` bytes of their frames are already
    // out, and the rest must be out by `deadline_ns`.
    struct Batch {
        std::vector<std::shared_ptr<const Event>> events;
        std::size_t sent = 0;
        std::int64_t deadline_ns = 0;
    };
    enum class Wait { Write, Heartbeat, Idle, SenderGone };

    std::atomic<bool> active{true};
    // Sum of (frame length + 128) over queued events and those being written.
    std::atomic<std::uint64_t> queued{0};

    // False once the receiving side has gone. Never blocks for long: the
    // mutex guards only this queue and is never held during I/O. Neither
    // writes nor wakes anyone; the publisher calls send_queued() once it has
    // queued everything it is about to queue (see Channels::deliver).
    bool push(std::shared_ptr<const Event> event);
    // Publisher side, outside the store lock: writes what is queued if no one
    // else is writing and the socket takes it without waiting; anything left
    // wakes the subscriber's thread.
    void send_queued() noexcept;
    // Discards queued events, releasing their reservations. Waits for a
    // publisher's write in progress, so the stream's transport can be closed
    // afterwards.
    void close_receiver();

    // Stream side. From attach() on, publishers may write frames to
    // `stream` (the subscription's confirmation has been written).
    void attach(Transport& stream);
    // Waits until `until_ns` at most for something to do. Write: the batch
    // to write is in `out`. Heartbeat: 2 seconds passed without a frame.
    // Both return with the writer's role held; end_write() gives it back.
    // Idle: nothing to do yet (or the subscription went inactive).
    // SenderGone: the list entry is gone and nothing is left to write.
    Wait next(Batch& out, std::int64_t until_ns);
    // Gives the writer's role back. After a failed write the stream is over
    // for every thread: it may end inside the frame whose write failed, but
    // no later frame may follow those bytes (the peer would read it as the
    // rest of the torn one), so the stream is marked failed and inactive
    // before anyone else can take the role.
    void end_write(bool failed);
    // Gives back the reservations of a written batch and empties it.
    void release(Batch& batch);
    void close_sender();

private:
    // Takes queued events (at least one) into `out`, as many as one write
    // takes; the mutex is held.
    void take_locked(Batch& out, std::int64_t now);

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::shared_ptr<const Event>> items_;
    Batch carry_;  // a publisher's batch the socket only took in part
    Transport* stream_ = nullptr;
    bool writing_ = false;  // someone holds the writer's role
    bool failed_ = false;  // a write failed: nothing more goes to the socket
    bool closing_ = false;  // the receiving side waits for the role
    std::int64_t last_frame_ns_ = 0;  // last frame or heartbeat taken for writing
    bool sender_open_ = true;
    bool receiver_open_ = true;
};

// The queues a connection's publishes have put events on since it last sent
// them, and how much those events add up to.
struct Outbox {
    // One write's worth: held events go out once they reach it, even while
    // more publishes are still arriving.
    static constexpr std::size_t kEvents = 64;
    static constexpr std::size_t kBytes = 256 * 1024;

    std::vector<std::shared_ptr<SubscriberQueue>> queues;
    std::size_t events = 0;
    std::size_t bytes = 0;

    bool empty() const { return queues.empty(); }
    bool full() const { return events >= kEvents || bytes >= kBytes; }
    // SubscriberQueue::send_queued on each queue, outside the store lock.
    void send() noexcept;
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
    // it are added to `outbox` (once each): sending is left to the caller,
    // outside the lock and after any further pipelined publishes, so that a
    // burst goes out in one write.
    Reply deliver(std::string_view ns, std::string_view channel, std::string&& frame, Outbox& outbox);
    void prune_inactive();
    // Ends every subscription (the clean stop of the test server).
    void end_all();
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
