// Subscription list, queues, budgets and the subscriber stream (see
// channels.hpp).
#include "channels.hpp"

#include <algorithm>

#include "platform.hpp"
#include "test_hooks.hpp"

namespace korva::coordination {

namespace {
// A write takes whatever is queued, up to this many frames and bytes (more
// only when one frame is larger). Nobody waits for more to arrive: under a
// steady stream the batches grow by themselves while a write is in
// progress, and each frame's delay stays within one write of the ones
// before it.
constexpr std::size_t kBatch = Outbox::kEvents;
constexpr std::size_t kBatchBytes = Outbox::kBytes;
// Batches a publisher writes to one stream before it leaves the rest to the
// stream's thread, so that other publishers' events cannot hold it up.
constexpr int kPublisherRounds = 4;

// The frames of `batch` less the bytes already sent.
std::size_t frames_of(const SubscriberQueue::Batch& batch, std::string_view* parts) {
    std::size_t count = 0;
    std::size_t skip = batch.sent;
    for (const auto& event : batch.events) {
        std::string_view frame = event->frame;
        if (skip >= frame.size()) {
            skip -= frame.size();
            continue;
        }
        frame.remove_prefix(skip);
        skip = 0;
        parts[count++] = frame;
    }
    return count;
}
}  // namespace

// ---- queue -------------------------------------------------------------------------

bool SubscriberQueue::push(std::shared_ptr<const Event> event) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!receiver_open_) return false;
    items_.push_back(std::move(event));
    return true;
}

void SubscriberQueue::take_locked(Batch& out, std::int64_t now) {
    std::size_t bytes = 0;
    out.sent = 0;
    out.deadline_ns = now + limits::kFrameWriteNs;
    do {
        bytes += items_.front()->frame.size();
        out.events.push_back(std::move(items_.front()));
        items_.pop_front();
    } while (!items_.empty() && out.events.size() < kBatch && bytes + items_.front()->frame.size() <= kBatchBytes);
    last_frame_ns_ = now;
}

void SubscriberQueue::release(Batch& batch) {
    for (auto& event : batch.events) {
        queued.fetch_sub(event->frame.size() + limits::kEventOverhead);
        event.reset();
    }
    batch.events.clear();
    batch.sent = 0;
}

void SubscriberQueue::send_queued() noexcept {
    Batch batch;
    std::string_view parts[kBatch];
    bool wake = false;
    try {
        batch.events.reserve(kBatch);  // take_locked then cannot throw
    } catch (...) {
        ready_.notify_one();  // no memory for a batch: the stream's thread writes
        return;
    }
    {
        std::unique_lock<std::mutex> guard(mutex_);
        if (items_.empty()) return;
        if (writing_) return;  // the writer looks at the queue again before it lets go
        if (failed_ || closing_ || !active.load()) {
            wake = true;  // the stream is ending: its thread discards the queue
        } else if (stream_ == nullptr || !carry_.events.empty()) {
            // Not streaming yet, or the socket was full: the stream's thread
            // writes, waiting as long as the frame deadline allows.
            wake = true;
        } else {
            writing_ = true;
            Transport& stream = *stream_;  // stays attached while the role is held
            // Rounds end once a publisher has dropped the subscription: whole
            // frames already out are fine, but the stream is ending.
            for (int round = 0; round < kPublisherRounds && !items_.empty() && active.load(); ++round) {
                take_locked(batch, platform::monotonic_ns());
                guard.unlock();
                const std::size_t count = frames_of(batch, parts);
                std::size_t total = 0;
                for (std::size_t i = 0; i < count; ++i) total += parts[i].size();
                const long sent = stream.try_write(parts, count);
                if (sent < 0 || static_cast<std::size_t>(sent) == total) release(batch);
                guard.lock();
                if (sent < 0) {  // the peer is gone: the stream ends here
                    failed_ = true;
                    active.store(false);
                    break;
                }
                if (static_cast<std::size_t>(sent) < total) {
                    batch.sent = static_cast<std::size_t>(sent);
                    carry_ = std::move(batch);
                    batch = Batch{};
                    break;
                }
            }
            writing_ = false;
            wake = !items_.empty() || !carry_.events.empty() || closing_ || !active.load();
        }
    }
    if (wake) ready_.notify_one();
}

void SubscriberQueue::attach(Transport& stream) {
    std::lock_guard<std::mutex> guard(mutex_);
    stream_ = &stream;
    last_frame_ns_ = platform::monotonic_ns();
}

SubscriberQueue::Wait SubscriberQueue::next(Batch& out, std::int64_t until_ns) {
    std::unique_lock<std::mutex> guard(mutex_);
    for (;;) {
        if (!active.load()) return Wait::Idle;
        const std::int64_t now = platform::monotonic_ns();
        std::int64_t wake_at = until_ns;
        if (!writing_) {
            if (!carry_.events.empty()) {
                out = std::move(carry_);
                carry_ = Batch{};
                writing_ = true;
                return Wait::Write;
            }
            if (!items_.empty()) {
                take_locked(out, now);
                writing_ = true;
                return Wait::Write;
            }
            if (!sender_open_) return Wait::SenderGone;
            if (now - last_frame_ns_ >= limits::kHeartbeatNs) {
                last_frame_ns_ = now;
                writing_ = true;
                return Wait::Heartbeat;
            }
            wake_at = std::min(wake_at, last_frame_ns_ + limits::kHeartbeatNs);
        }
        if (now >= until_ns) return Wait::Idle;
        ready_.wait_for(guard, std::chrono::nanoseconds(wake_at - now));
    }
}

void SubscriberQueue::end_write(bool failed) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (failed) {
        failed_ = true;
        active.store(false);
    }
    writing_ = false;
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
    Batch carried;
    {
        std::unique_lock<std::mutex> guard(mutex_);
        closing_ = true;
        ready_.wait(guard, [this] { return !writing_; });  // a publisher's send never waits
        receiver_open_ = false;
        stream_ = nullptr;
        dropped.swap(items_);
        carried = std::move(carry_);
        carry_ = Batch{};
    }
    // `dropped` and `carried` release their events (and their global
    // reservations) here, outside the queue's mutex.
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

void Outbox::send() noexcept {
    for (auto& queue : queues) queue->send_queued();
    queues.clear();
    events = 0;
    bytes = 0;
}

Reply Channels::deliver(std::string_view ns, std::string_view channel, std::string&& frame, Outbox& outbox) {
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
                if (std::find(outbox.queues.begin(), outbox.queues.end(), s.queue) == outbox.queues.end()) {
                    outbox.queues.push_back(s.queue);
                }
            }
        }
        if (keep) {
            if (kept != i) list_[kept] = std::move(s);
            ++kept;
        }
    }
    list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(kept), list_.end());
    if (delivered > 0) {
        ++outbox.events;
        outbox.bytes += length;
    }
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

void Channels::end_all() {
    for (Subscription& s : list_) s.queue->active.store(false);
    list_.clear();  // each entry drops its sending side, which wakes its stream
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
// How often an idle subscriber looks at its socket for a reset, so a
// subscriber whose connection failed frees its slot before its next
// heartbeat.
constexpr std::int64_t kPeerCheckNs = 200'000'000;
}  // namespace

void stream_events(Transport& transport, SubscriberQueue& queue) {
    SubscriberQueue::Batch batch;
    std::string_view parts[kBatch];
    // A connection that failed right after subscribing ends the stream at once.
    bool failed = transport.peer_gone();
    try {
        batch.events.reserve(kBatch);  // next() then cannot throw
    } catch (...) {
        failed = true;
    }
    if (!failed) queue.attach(transport);
    while (!failed && queue.active.load()) {
        const SubscriberQueue::Wait outcome = queue.next(batch, platform::monotonic_ns() + kPeerCheckNs);
        if (outcome == SubscriberQueue::Wait::SenderGone) break;
        if (outcome == SubscriberQueue::Wait::Idle) {
            failed = transport.peer_gone();
            continue;
        }
        if (outcome == SubscriberQueue::Wait::Heartbeat) {
            failed = !transport.write_all(kHeartbeatFrame);
            queue.end_write(failed);
            test_hooks::after_write(failed);
            continue;
        }
        // Frames taken together share the instant they were taken: each must
        // be out within 2 seconds of it.
        const std::size_t count = frames_of(batch, parts);
        failed = !transport.write_by(parts, count, batch.deadline_ns, queue.active);
        queue.end_write(failed);
        test_hooks::after_write(failed);
        queue.release(batch);
    }
    queue.active.store(false);
    queue.close_receiver();
}

}  // namespace korva::coordination
