#pragma once
// WriterThread: drains the host's evaluation queue on a background thread and writes the
// items in batches, one transaction per batch. It checks free disk space before each batch
// and, when the disk is nearly full or a batch fails twice, reports on the host's search
// status, stops the workers and stops itself.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "plintrove/core/constants.h"
#include "plintrove/core/host.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/storage/connection.h"

namespace plintrove {

inline constexpr std::size_t kWriterBatchSize = 100;
inline constexpr double kWriterFlushIntervalSeconds = 2.0;
inline constexpr double kWriterPollSeconds = 0.1;
inline constexpr double kWriterJoinTimeoutSeconds = 5.0;
inline constexpr double kFinalDrainGetTimeoutSeconds = 0.02;
inline constexpr double kFinalDrainIdleSeconds = 0.05;
inline constexpr double kFinalDrainLimitSeconds = 1.0;
inline constexpr double kWriteRetryPauseSeconds = 0.5;
// Items read off the queue ahead of the writer while it writes a batch: enough for several
// batches, so the queue's producers rarely wait on a full pipe, and few enough to bound memory.
inline constexpr std::size_t kWriterReadAheadItems = 1000;

inline constexpr const char* kDiskFullCode = "DISK_FULL";
inline constexpr const char* kDiskFullAdvice =
    "Free disk space or run delete_evaluations() to remove old data.";
inline constexpr const char* kWriteFailedCode = "DATABASE_WRITE_FAILED";
inline constexpr const char* kWriteFailedAdvice = "Check database file permissions and disk space.";

// A settable flag that threads can wait on, like Python's threading.Event.
class ThreadEvent {
public:
    void set();
    bool is_set() const;
    // Waits until set or until the time-out passes (a negative time-out waits forever);
    // returns whether the event is set.
    bool wait(double timeout_seconds);

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

class WriterThread {
public:
    using StopWorkers = std::function<void()>;

    // Starts nothing. The tracker is shared because a thread still finishing after stop()
    // has given up waiting must not outlive it; a host that owns the tracker otherwise can
    // pass a non-owning pointer and keep the tracker open until the thread has finished.
    WriterThread(std::shared_ptr<SearchTracker> tracker, std::shared_ptr<EvaluationQueue> queue,
                 std::shared_ptr<SearchStatus> status, StopWorkers stop_workers);
    // A thread still running is left to finish on its own (daemon semantics).
    ~WriterThread();
    WriterThread(const WriterThread&) = delete;
    WriterThread& operator=(const WriterThread&) = delete;

    // Runs run() on a new background thread. One object runs once: a second call raises
    // RuntimeError.
    void start();
    // Sets the stop event, then waits up to kWriterJoinTimeoutSeconds for the thread to
    // finish its final drain and flush; returns after that even if it is still running.
    void stop();

    std::vector<QueueItem> drain_queue(bool final = false);
    void run();
    // Never raises for write errors: they end in the status and stop the writer.
    void flush(const std::vector<QueueItem>& batch);
    // One transaction for the whole batch; raises the batch's error after rolling back.
    void do_write(const std::vector<QueueItem>& batch);
    void write_evaluation(Connection& conn, const QueueItem& item);

    // The free-space floor of the disk check, kDiskThreshold unless a test changes it.
    void set_disk_threshold(std::int64_t bytes);
    std::int64_t disk_threshold() const;

    const std::shared_ptr<ThreadEvent>& stop_event() const;
    // Set when the thread has finished (null before start()).
    std::shared_ptr<ThreadEvent> finished_event() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace plintrove
