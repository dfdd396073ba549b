#pragma once
// The host's queue, search status and stop-workers callback seen through the writer's
// interfaces. Each adapter holds a strong reference to its Python object and takes the GIL
// only around its own calls into Python, so the writer runs every statement without it;
// after the interpreter has begun to finalize they no longer enter Python at all. Once the
// garbage collector has cleared the reference (breaking a cycle), the adapter does nothing.

#include <nanobind/nanobind.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/host.h"
#include "python_ref.h"

namespace nb = nanobind;

namespace plintrove::py {

// The error of an item that could not be read; it keeps the item so that it can be
// handed back to Python as it came off the queue.
class UnreadableItemError : public HostError {
public:
    UnreadableItemError(const std::string& message, std::shared_ptr<void> exception,
                        std::shared_ptr<PyObject> item)
        : HostError(message, std::move(exception)), item_(std::move(item)) {}
    const std::shared_ptr<PyObject>& item() const { return item_; }

private:
    std::shared_ptr<PyObject> item_;
};

// Reads the keys the writer uses from a queue item (a dict, or anything with `.get`). A
// failure is kept in the item and raised when the item is written. GIL held.
QueueItem queue_item_from(nb::handle item);
std::vector<QueueItem> queue_items_from(nb::handle items);
// The item as a dict of the keys it carried, its family tables holding the entries of the
// graph's names (an unreadable item comes back unchanged).
nb::object queue_item_to_py(const QueueItem& item);

// Any object with `get(timeout=...)` and `get_nowait()`, each raising when nothing comes.
class PyEvaluationQueue final : public EvaluationQueue {
public:
    explicit PyEvaluationQueue(std::shared_ptr<ClearableRef> queue);
    std::optional<QueueItem> get(double timeout_seconds) override;
    std::optional<QueueItem> get_nowait() override;
    std::optional<QueueItem> take_held() override;

private:
    std::optional<QueueItem> take_held_locked();

    std::shared_ptr<ClearableRef> queue_;
    // Taken before the GIL, never while holding it: the writer's reader and a host thread
    // draining the same writer may both be taking.
    std::mutex mutex_;
    // Items taken under one GIL acquisition and not yet handed out. `exhausted_` records
    // that the take ended because the queue raised, which ends the caller's drain too.
    std::deque<QueueItem> taken_;
    bool exhausted_ = false;
};

// Any object with `error_code`, `recovery_advice`, `running` and an `errors` list. A
// failure of one of these updates goes to sys.unraisablehook; the writer carries on.
class PySearchStatus final : public SearchStatus {
public:
    explicit PySearchStatus(std::shared_ptr<ClearableRef> status);
    void set_error_code(const std::string& code) override;
    void set_recovery_advice(const std::string& advice) override;
    void set_running(bool running) override;
    void append_error(const std::string& text) override;

private:
    void set_attribute(const char* name, PyObject* value);
    std::shared_ptr<ClearableRef> status_;
};

// Calls the callable under the GIL; what it raises goes to sys.unraisablehook.
std::function<void()> py_stop_workers(std::shared_ptr<ClearableRef> callback);

}  // namespace plintrove::py
