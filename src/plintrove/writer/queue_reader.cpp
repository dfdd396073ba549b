#include "plintrove/writer/queue_reader.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cxxabi.h>
#include <exception>
#include <utility>
#include <vector>

#include "plintrove/writer/writer_thread.h"

namespace plintrove {

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// Items read before the writer is told of them; a queue adapter taking items in one go
// hands over about this many at a time anyway.
constexpr std::size_t kChunkItems = 128;

// Errors from the host's queue end a take like an empty queue; they are never reported.
template <typename Take>
std::optional<QueueItem> take_quietly(Take&& take) {
    try {
        return take();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

QueueReader::QueueReader(EvaluationQueue& source, std::shared_ptr<ThreadEvent> stop_event,
                         std::size_t capacity)
    : source_(source), stop_event_(std::move(stop_event)), capacity_(capacity) {
    thread_ = std::thread([this] {
        // Waiters must learn of the end even when the thread is unwound from inside the
        // host's interpreter (its shutdown ends threads that way).
        struct EndNotice {
            QueueReader& reader;
            ~EndNotice() {
                std::lock_guard<std::mutex> lock(reader.mutex_);
                reader.ended_ = true;
                reader.changed_.notify_all();
            }
        } notice{*this};
        pthread_setname_np(pthread_self(), "plintrove-read");
        run();
    });
}

QueueReader::~QueueReader() { stop(); }

void QueueReader::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void QueueReader::run() {
    std::vector<QueueItem> chunk;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (items_.size() >= capacity_) {
            changed_.wait(lock, [this] { return stopping_ || items_.size() < capacity_; });
            continue;
        }
        const std::size_t limit = std::min(capacity_ - items_.size(), kChunkItems);
        lock.unlock();
        // What the queue has now is handed over in one go: waking the writer for every
        // item would cost about as much as reading it.
        bool empty = false;
        while (chunk.size() < limit) {
            std::optional<QueueItem> item = take_quietly([this] { return source_.get_nowait(); });
            if (!item) {
                empty = true;
                break;
            }
            chunk.push_back(std::move(*item));
        }
        lock.lock();
        for (QueueItem& item : chunk) items_.push_back(std::move(item));
        chunk.clear();
        source_empty_ = empty;
        changed_.notify_all();
        if (!empty) continue;

        lock.unlock();
        const double timeout =
            stop_event_->is_set() ? kFinalDrainGetTimeoutSeconds : kWriterPollSeconds;
        const Clock::time_point started = Clock::now();
        std::optional<QueueItem> item = take_quietly([this, timeout] { return source_.get(timeout); });
        lock.lock();
        if (item) {
            items_.push_back(std::move(*item));
            source_empty_ = false;
            changed_.notify_all();
        } else {
            // A queue that answers at once (closed, broken, or not waiting on its own) must
            // not turn reading into a spin: the rest of the time-out is waited out here.
            changed_.wait_until(
                lock, started + std::chrono::duration_cast<Clock::duration>(Seconds(timeout)),
                [this] { return stopping_; });
        }
    }
}

std::optional<QueueItem> QueueReader::take_locked() {
    if (items_.empty()) return std::nullopt;
    QueueItem item = std::move(items_.front());
    items_.pop_front();
    if (items_.size() + 1 == capacity_) changed_.notify_all();  // room to read again
    return item;
}

std::optional<QueueItem> QueueReader::get(double timeout_seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, Seconds(timeout_seconds),
                      [this] { return !items_.empty() || stopping_ || ended_; });
    return take_locked();
}

std::optional<QueueItem> QueueReader::get_nowait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock,
                  [this] { return !items_.empty() || source_empty_ || stopping_ || ended_; });
    return take_locked();
}

}  // namespace plintrove
