#include "plintrove/core/operation_scope.h"

#include <unistd.h>

#include <atomic>
#include <exception>

#include "plintrove/core/logging.h"
#include "plintrove/core/search_tracker.h"

namespace plintrove {

namespace {

std::atomic<OperationWaitHook> g_wait_hook{nullptr};

std::unique_lock<std::recursive_mutex> take_lock(SearchTracker& tracker) {
    // A forked child inherits the lock in whatever state a parent thread left it; the
    // connection refuses use there anyway, so the child must reach that refusal, not hang.
    if (getpid() != tracker.opened_pid()) return {};
    std::recursive_mutex& mutex = tracker.operation_mutex();
    if (mutex.try_lock()) return std::unique_lock<std::recursive_mutex>(mutex, std::adopt_lock);
    std::unique_lock<std::recursive_mutex> lock(mutex, std::defer_lock);
    OperationWaitHook hook = g_wait_hook.load();
    if (hook != nullptr) {
        hook([&lock] { lock.lock(); });
    } else {
        lock.lock();
    }
    return lock;
}

}  // namespace

void set_operation_wait_hook(OperationWaitHook hook) { g_wait_hook.store(hook); }

OperationScope::OperationScope(SearchTracker& tracker)
    : tracker_(tracker), lock_(take_lock(tracker)), exceptions_on_entry_(std::uncaught_exceptions()) {
    tracker.check_closed();
    tracker.conn().enter_operation();
    entered_ = true;
}

OperationScope::OperationScope(SearchTracker& tracker, RollBackOnFailure)
    : OperationScope(tracker) {
    caller_transaction_ = tracker.conn().in_transaction();
}

OperationScope::OperationScope(SearchTracker& tracker, Unchecked)
    : tracker_(tracker), lock_(take_lock(tracker)), exceptions_on_entry_(std::uncaught_exceptions()) {}

OperationScope::~OperationScope() {
    const bool failed = std::uncaught_exceptions() > exceptions_on_entry_;
    if (entered_) tracker_.conn().leave_operation(failed);
    if (caller_transaction_ || !failed) return;
    try {
        if (tracker_.conn().in_transaction()) tracker_.conn().rollback();
    } catch (const std::exception& e) {
        // The operation's own error is the one to raise; this one is only logged.
        log(LogLevel::Warning, "ROLLBACK failed after a failed operation: %s", {Value(e.what())});
    }
}

}  // namespace plintrove
