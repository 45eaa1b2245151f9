// Subscription list, queues, budgets and the subscriber stream (see
// channels.hpp).
#include "channels.hpp"

#include <algorithm>

#include "platform.hpp"

namespace korva::coordination {

// ---- queue -------------------------------------------------------------------------

bool SubscriberQueue::push(std::shared_ptr<const Event> event) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!receiver_open_) return false;
    items_.push_back(std::move(event));
    return true;
}

void SubscriberQueue::wake() { ready_.notify_one(); }

SubscriberQueue::Wait SubscriberQueue::take(std::vector<std::shared_ptr<const Event>>& out, std::size_t max_items,
                                            std::size_t max_bytes, std::int64_t deadline_ns) {
    std::unique_lock<std::mutex> guard(mutex_);
    for (;;) {
        if (!items_.empty()) {
            std::size_t bytes = 0;
            do {
                bytes += items_.front()->frame.size();
                out.push_back(std::move(items_.front()));
                items_.pop_front();
            } while (!items_.empty() && out.size() < max_items && bytes + items_.front()->frame.size() <= max_bytes);
            return Wait::Items;
        }
        if (!sender_open_) return Wait::SenderGone;
        std::int64_t left = deadline_ns - platform::monotonic_ns();
        if (left <= 0) return Wait::TimedOut;
        ready_.wait_for(guard, std::chrono::nanoseconds(left));
    }
}

void SubscriberQueue::close_sender() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        sender_open_ = false;
    }
    ready_.notify_all();
}

void SubscriberQueue::close_receiver() {
    std::deque<std::shared_ptr<const Event>> dropped;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        receiver_open_ = false;
        dropped.swap(items_);
    }
    // `dropped` releases its events (and their global reservations) here,
    // outside the queue's mutex.
}

// ---- list ------------------------------------------------------------------------------

struct Channels::Subscription {
    std::shared_ptr<SubscriberQueue> queue;
    std::string ns;
    std::string prefix;

    Subscription(std::shared_ptr<SubscriberQueue> q, std::string_view n, std::string_view p)
        : queue(std::move(q)), ns(n), prefix(p) {}
    Subscription(Subscription&&) noexcept = default;
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            release();
            queue = std::move(other.queue);
            ns = std::move(other.ns);
            prefix = std::move(other.prefix);
        }
        return *this;
    }
    ~Subscription() { release(); }

    // Dropping the list entry drops the sending side: a waiting subscriber
    // wakes, drains what is left and ends.
    void release() {
        if (queue) {
            queue->close_sender();
            queue.reset();
        }
    }
    bool matches(std::string_view n, std::string_view channel) const {
        return ns == n && channel.substr(0, prefix.size()) == prefix;
    }
};

Channels::Channels() : global_(std::make_shared<std::atomic<std::uint64_t>>(0)) {}
Channels::~Channels() = default;

namespace {
// Adds `amount` to `counter` unless the total would pass `limit`.
bool reserve(std::atomic<std::uint64_t>& counter, std::uint64_t amount, std::uint64_t limit) {
    std::uint64_t current = counter.load();
    do {
        if (current > limit || amount > limit - current) return false;
    } while (!counter.compare_exchange_weak(current, current + amount));
    return true;
}
}  // namespace

Reply Channels::deliver(std::string_view ns, std::string_view channel, std::string&& frame,
                        std::vector<std::shared_ptr<SubscriberQueue>>& to_wake) {
    bool any = std::any_of(list_.begin(), list_.end(),
                           [&](const Subscription& s) { return s.queue->active.load() && s.matches(ns, channel); });
    if (!any) return Reply::integer(0);

    const std::uint64_t length = frame.size();
    if (!reserve(*global_, length, limits::kGlobalQueue)) return Reply::fail(text::kGlobalBudget);
    peak_ = std::max(peak_, global_->load(std::memory_order_relaxed));
    std::shared_ptr<const Event> event;
    try {
        event = std::make_shared<const Event>(std::move(frame), global_);
    } catch (...) {
        global_->fetch_sub(length);
        throw;
    }

    std::int64_t delivered = 0;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < list_.size(); ++i) {
        Subscription& s = list_[i];
        SubscriberQueue& q = *s.queue;
        bool keep = true;
        if (!q.active.load()) {
            keep = false;
        } else if (s.matches(ns, channel)) {
            if (!reserve(q.queued, length + limits::kEventOverhead, limits::kSubscriptionQueue)) {
                q.active.store(false);  // too slow: dropped, its stream ends
                keep = false;
            } else if (!q.push(event)) {
                q.queued.fetch_sub(length + limits::kEventOverhead);
                q.active.store(false);
                keep = false;
            } else {
                ++delivered;
                if (std::find(to_wake.begin(), to_wake.end(), s.queue) == to_wake.end()) to_wake.push_back(s.queue);
            }
        }
        if (keep) {
            if (kept != i) list_[kept] = std::move(s);
            ++kept;
        }
    }
    list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(kept), list_.end());
    return Reply::integer(delivered);
}

std::uint64_t Channels::take_drained() {
    const std::uint64_t now = global_->load();
    const std::uint64_t drained = peak_ > now ? peak_ - now : 0;
    peak_ = now;
    return drained;
}

void Channels::prune_inactive() {
    list_.erase(
        std::remove_if(list_.begin(), list_.end(), [](const Subscription& s) { return !s.queue->active.load(); }),
        list_.end());
}

const char* Channels::add(std::string_view ns, std::string_view prefix, std::shared_ptr<SubscriberQueue> queue) {
    prune_inactive();
    if (list_.size() >= limits::kSubscriptions) return text::kSubscriptionLimit;
    list_.emplace_back(std::move(queue), ns, prefix);
    return nullptr;
}

bool build_frame(std::string_view channel, const std::string& payload, std::string& frame, const char*& error) {
    frame.clear();
    if (!append_event_header(channel, payload.size(), frame)) {
        error = text::kSerialization;
        return false;
    }
    if (frame.size() + payload.size() > limits::kFrame) {
        error = text::kFrameBudget;
        return false;
    }
    frame += payload;
    return true;
}

// ---- subscriber stream -------------------------------------------------------------------------

namespace {
// How often an idle subscriber looks at its socket for the peer's end, so a
// vanished subscriber frees its slot well before its next heartbeat.
constexpr std::int64_t kPeerCheckNs = 200'000'000;
// A stream writes whatever is queued when it wakes, in one gathering write of
// at most this many frames and bytes (more only when one frame is larger).
// It never waits for more to arrive: under a steady stream the batches grow
// by themselves while a write is in progress, and each frame's delay stays
// within one write of the ones before it.
constexpr std::size_t kBatch = 64;
constexpr std::size_t kBatchBytes = 256 * 1024;
}  // namespace

void stream_events(Transport& transport, SubscriberQueue& queue) {
    std::vector<std::shared_ptr<const Event>> batch;
    batch.reserve(kBatch);
    std::vector<std::string_view> parts;
    parts.reserve(kBatch);
    // A peer that hung up right after subscribing ends the stream at once.
    bool failed = transport.peer_gone();
    while (!failed && queue.active.load()) {
        const std::int64_t heartbeat_at = platform::monotonic_ns() + limits::kHeartbeatNs;
        SubscriberQueue::Wait outcome;
        for (;;) {
            std::int64_t slice = std::min(heartbeat_at, platform::monotonic_ns() + kPeerCheckNs);
            outcome = queue.take(batch, kBatch, kBatchBytes, slice);
            if (outcome != SubscriberQueue::Wait::TimedOut) break;
            if (transport.peer_gone()) {
                failed = true;
                break;
            }
            if (!queue.active.load() || platform::monotonic_ns() >= heartbeat_at) break;
        }
        if (failed || outcome == SubscriberQueue::Wait::SenderGone) break;
        if (outcome == SubscriberQueue::Wait::TimedOut) {
            if (!queue.active.load()) break;
            if (!transport.write_all(kHeartbeatFrame)) failed = true;
            continue;
        }
        // Each frame must leave within 2 seconds of being taken; frames taken
        // together share that instant and go out in one gathering write.
        const std::int64_t deadline = platform::monotonic_ns() + limits::kFrameWriteNs;
        parts.clear();
        for (const auto& event : batch) parts.emplace_back(event->frame);
        if (!transport.write_by(parts.data(), parts.size(), deadline, queue.active)) failed = true;
        for (auto& event : batch) {
            queue.queued.fetch_sub(event->frame.size() + limits::kEventOverhead);
            event.reset();
        }
        batch.clear();
    }
    queue.active.store(false);
    queue.close_receiver();
}

}  // namespace korva::coordination
