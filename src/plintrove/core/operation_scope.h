#pragma once
// One public operation's hold on its tracker. Host threads and the writer share one
// connection, and a connection has one transaction state: without a lock spanning each
// operation, one thread's ROLLBACK or COMMIT ends another's half-done work. Every public
// operation opens a scope first and keeps it until its commit or rollback; the writer
// holds one for each batch. The lock is re-entrant, so an operation may call another (or
// host code it calls back may).
//
// An operation run inside a transaction it found open leaves that transaction usable when
// it fails, on every back end (the connection's enter_operation / leave_operation).
//
// Operations that are one unit (recording an evaluation with its usage rows) also ask the
// scope to roll back, when they raise, a transaction they opened; a transaction already
// open on entry belongs to the caller (who may have issued statements on the connection
// directly) and is left alone. The other writes keep their documented failure behaviour:
// they commit nothing and leave what they wrote pending on the connection.

#include <functional>
#include <mutex>

namespace plintrove {

class SearchTracker;

class OperationScope {
public:
    // Takes the tracker's operation lock, then checks that the tracker is open (raising
    // IOError("SearchTracker is closed") after close()).
    explicit OperationScope(SearchTracker& tracker);

    // Also rolls back, when the operation raises, a transaction it opened.
    struct RollBackOnFailure {};
    OperationScope(SearchTracker& tracker, RollBackOnFailure);

    // The writer's batches: the lock without the closed check (a batch on a closed tracker
    // fails on its first statement, as the writer reports); the batch ends its own
    // transaction.
    struct Unchecked {};
    OperationScope(SearchTracker& tracker, Unchecked);

    ~OperationScope();
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

private:
    SearchTracker& tracker_;
    std::unique_lock<std::recursive_mutex> lock_;
    bool caller_transaction_ = true;  // nothing to undo unless RollBackOnFailure finds none open
    int exceptions_on_entry_ = 0;
    bool entered_ = false;  // an operation on the connection (the writer's batches are not)
};

// A host whose threads hold a lock of their own while they call in (Python's GIL) must
// let go of it while waiting for an operation lock, or a thread holding the operation
// lock that needs the host lock (to read the identity, run a replaced statement or a
// describer) would wait forever. The hook receives the wait and runs it, releasing its
// own lock around it when the calling thread holds it. Install once, before any tracker
// is used from several threads; without a hook the wait runs as it is.
using OperationWaitHook = void (*)(const std::function<void()>& wait);
void set_operation_wait_hook(OperationWaitHook hook);

}  // namespace plintrove
