#pragma once
// QueueReader: takes items off the host's queue on a thread of its own, so that reading the
// next items (the host's unpickling and their conversion, both under the host's interpreter
// lock) goes on while the writer writes a batch (which runs without that lock). The writer
// sees it as a queue: a drain still takes everything available, because a non-blocking get
// answers "empty" only once the reader has found the host's queue empty too.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "plintrove/core/host.h"

namespace plintrove {

class ThreadEvent;

class QueueReader final : public EvaluationQueue {
public:
    // Starts reading at once. At most `capacity` items are read ahead of the writer; the
    // blocking gets on `source` use the writer's poll, and the final drain's time-out once
    // `stop_event` is set, so a stop is seen as soon as the writer's own wait would see it.
    QueueReader(EvaluationQueue& source, std::shared_ptr<ThreadEvent> stop_event,
                std::size_t capacity);
    ~QueueReader() override;
    QueueReader(const QueueReader&) = delete;
    QueueReader& operator=(const QueueReader&) = delete;

    // The next item read, waiting up to the time-out for one.
    std::optional<QueueItem> get(double timeout_seconds) override;
    // The next item read; with none read yet, waits until the reader has one or has found
    // the host's queue empty. After stop(), only what was read before.
    std::optional<QueueItem> get_nowait() override;

    // Stops reading and waits for the reading thread to end (it first finishes the take in
    // hand: one chunk, or one blocking get).
    // Items read before stay to be taken; items the source holds in hand stay with it.
    void stop();

private:
    void run();
    // The oldest item read, if any. Lock held.
    std::optional<QueueItem> take_locked();

    EvaluationQueue& source_;
    std::shared_ptr<ThreadEvent> stop_event_;
    const std::size_t capacity_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<QueueItem> items_;
    bool source_empty_ = false;  // the last take found nothing, and nothing came since
    bool stopping_ = false;
    bool ended_ = false;  // the reading thread has ended, however it ended
    std::thread thread_;
};

}  // namespace plintrove
