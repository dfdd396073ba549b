#include <nanobind/stl/shared_ptr.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "bindings.h"
#include "convert.h"
#include "plintrove/writer/writer_thread.h"
#include "python_ref.h"
#include "writer_adapters.h"

namespace plintrove::py {

namespace {

// What `_thread` shows of the running thread.
struct WriterThreadHandle {
    std::shared_ptr<ThreadEvent> finished;
};

nb::list items_to_py(const std::vector<QueueItem>& items) {
    nb::list out;
    for (const QueueItem& item : items) out.append(queue_item_to_py(item));
    return out;
}

// The writer as bound: the library's writer and the Python objects it was given, held
// here so that the garbage collector sees them. A callback that is a bound method of the
// object owning the writer makes a cycle only the collector can break.
struct BoundWriter {
    std::shared_ptr<ClearableRef> tracker, queue, status, callback;
    WriterThread writer;

    BoundWriter(SearchTracker& t, nb::handle tracker_obj, nb::handle queue_obj,
                nb::handle status_obj, nb::handle callback_obj)
        : tracker(clearable_ref(tracker_obj)),
          queue(clearable_ref(queue_obj)),
          status(clearable_ref(status_obj)),
          callback(clearable_ref(callback_obj)),
          // The tracker stays alive as long as the thread may use it.
          writer(std::shared_ptr<SearchTracker>(tracker, &t),
                 std::make_shared<PyEvaluationQueue>(queue), std::make_shared<PySearchStatus>(status),
                 py_stop_workers(callback)) {}

    // A running thread keeps what it uses alive, as a running Python thread does.
    bool running() const {
        std::shared_ptr<ThreadEvent> finished = writer.finished_event();
        return finished && !finished->is_set();
    }
};

int writer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    const BoundWriter* w = nb::inst_ptr<BoundWriter>(self);
    if (w->running()) return 0;
    for (const auto* ref : {&w->tracker, &w->queue, &w->status, &w->callback}) {
        if (int r = (*ref)->visit(visit, arg)) return r;
    }
    return 0;
}

// The tracker is kept: the writer's C++ side refers to it for as long as it lives, and any
// cycle through it also passes through the tracker's own clearable references.
int writer_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    BoundWriter* w = nb::inst_ptr<BoundWriter>(self);
    if (w->running()) return 0;
    w->queue->clear();
    w->status->clear();
    w->callback->clear();
    return 0;
}

PyType_Slot kWriterSlots[] = {{Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
                              {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
                              {0, nullptr}};

// The finished events of started writers. A writer still running at exit is left to run
// on, as a daemon thread is, and keeps what it uses alive; nanobind's report of instances
// alive at exit would list those, so it is turned off then (and only then).
std::mutex g_started_mutex;
std::vector<std::weak_ptr<ThreadEvent>> g_started;

void note_started(const BoundWriter& w) {
    std::lock_guard<std::mutex> lock(g_started_mutex);
    std::erase_if(g_started, [](const std::weak_ptr<ThreadEvent>& e) {
        auto event = e.lock();
        return !event || event->is_set();
    });
    g_started.push_back(w.writer.finished_event());
}

void quiet_leak_report_if_running() {
    std::lock_guard<std::mutex> lock(g_started_mutex);
    for (const auto& e : g_started) {
        auto event = e.lock();
        if (event && !event->is_set()) {
            nb::set_leak_warnings(false);
            return;
        }
    }
}

double timeout_or_forever(nb::handle timeout) {
    const auto seconds = from_arg<std::optional<double>>(timeout, "timeout");
    return seconds ? std::max(0.0, *seconds) : -1.0;
}

}  // namespace

void bind_writer(nb::module_& m) {
    nb::class_<ThreadEvent>(m, "_WriterEvent")
        .def("is_set", &ThreadEvent::is_set)
        .def("set", &ThreadEvent::set)
        .def(
            "wait",
            [](ThreadEvent& e, nb::handle timeout) {
                const double seconds = timeout_or_forever(timeout);
                nb::gil_scoped_release release;
                return e.wait(seconds);
            },
            nb::arg("timeout") = nb::none());

    nb::class_<WriterThreadHandle>(m, "_WriterThreadHandle")
        .def("is_alive", [](const WriterThreadHandle& h) { return !h.finished->is_set(); })
        .def(
            "join",
            [](WriterThreadHandle& h, nb::handle timeout) {
                const double seconds = timeout_or_forever(timeout);
                nb::gil_scoped_release release;
                h.finished->wait(seconds);
            },
            nb::arg("timeout") = nb::none());

    TypedClass<BoundWriter>(m, "WriterThread", nb::type_slots(kWriterSlots),
                            "Writer thread for batched DB writes.")
        .def(
            "__init__",
            [](BoundWriter* self, nb::object tracker, nb::object queue, nb::object search_status,
               nb::object stop_workers_callback) {
                SearchTracker* found = nullptr;
                if (!nb::try_cast<SearchTracker*>(tracker, found) || found == nullptr) {
                    throw nb::type_error(("tracker must be a SearchTracker, not '" +
                                          nb::cast<std::string>(nb::type_name(tracker.type())) + "'")
                                             .c_str());
                }
                new (self) BoundWriter(*found, tracker, queue, search_status, stop_workers_callback);
            },
            nb::arg("tracker").none(), nb::arg("queue").none(), nb::arg("search_status").none(),
            nb::arg("stop_workers_callback").none())
        .def("start",
             [](BoundWriter& w) {
                 w.writer.start();
                 note_started(w);
             })
        .def("stop", [](BoundWriter& w) { w.writer.stop(); },
             nb::call_guard<nb::gil_scoped_release>())
        .def(
            "_drain_queue",
            [](BoundWriter& w, nb::handle final) {
                const bool last = truth(final);
                std::vector<QueueItem> items;
                {
                    nb::gil_scoped_release release;
                    items = w.writer.drain_queue(last);
                }
                return items_to_py(items);
            },
            nb::arg("final").none() = false, "Drain available items from the queue.")
        .def(
            "_flush",
            [](BoundWriter& w, nb::handle batch) {
                std::vector<QueueItem> items = queue_items_from(batch);
                nb::gil_scoped_release release;
                w.writer.flush(items);
            },
            nb::arg("batch"), "Flush a batch of items to the database.")
        .def(
            "_do_write",
            [](BoundWriter& w, nb::handle batch) {
                std::vector<QueueItem> items = queue_items_from(batch);
                nb::gil_scoped_release release;
                w.writer.do_write(items);
            },
            nb::arg("batch"), "Write a batch within a single transaction.")
        .def_prop_ro("_stop_event", [](const BoundWriter& w) { return w.writer.stop_event(); })
        .def_prop_ro("_thread",
                     [](const BoundWriter& w) -> std::optional<WriterThreadHandle> {
                         std::shared_ptr<ThreadEvent> finished = w.writer.finished_event();
                         if (!finished) return std::nullopt;
                         return WriterThreadHandle{std::move(finished)};
                     })
        .def_prop_rw(
            "_disk_threshold", [](const BoundWriter& w) { return w.writer.disk_threshold(); },
            [](BoundWriter& w, std::int64_t bytes) { w.writer.set_disk_threshold(bytes); });
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(quiet_leak_report_if_running));
}

}  // namespace plintrove::py
