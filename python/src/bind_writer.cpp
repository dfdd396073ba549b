#include <nanobind/stl/shared_ptr.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "bindings.h"
#include "convert.h"
#include "plintrove/writer/writer_thread.h"
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

    nb::class_<WriterThread>(m, "WriterThread", "Writer thread for batched DB writes.")
        .def(
            "__init__",
            [](WriterThread* self, nb::object tracker, nb::object queue, nb::object search_status,
               nb::object stop_workers_callback) {
                SearchTracker* found = nullptr;
                if (!nb::try_cast<SearchTracker*>(tracker, found) || found == nullptr) {
                    throw nb::type_error(("tracker must be a SearchTracker, not '" +
                                          nb::cast<std::string>(nb::type_name(tracker.type())) + "'")
                                             .c_str());
                }
                SearchTracker& t = *found;
                // The tracker stays alive as long as the thread may use it.
                std::shared_ptr<SearchTracker> shared_tracker(shared_python_ref(tracker), &t);
                new (self) WriterThread(std::move(shared_tracker),
                                        std::make_shared<PyEvaluationQueue>(queue),
                                        std::make_shared<PySearchStatus>(search_status),
                                        py_stop_workers(stop_workers_callback));
            },
            nb::arg("tracker").none(), nb::arg("queue").none(), nb::arg("search_status").none(),
            nb::arg("stop_workers_callback").none())
        .def("start", &WriterThread::start)
        .def("stop", &WriterThread::stop, nb::call_guard<nb::gil_scoped_release>())
        .def(
            "_drain_queue",
            [](WriterThread& w, nb::handle final) {
                const bool last = truth(final);
                std::vector<QueueItem> items;
                {
                    nb::gil_scoped_release release;
                    items = w.drain_queue(last);
                }
                return items_to_py(items);
            },
            nb::arg("final").none() = false, "Drain available items from the queue.")
        .def(
            "_flush",
            [](WriterThread& w, nb::handle batch) {
                std::vector<QueueItem> items = queue_items_from(batch);
                nb::gil_scoped_release release;
                w.flush(items);
            },
            nb::arg("batch"), "Flush a batch of items to the database.")
        .def(
            "_do_write",
            [](WriterThread& w, nb::handle batch) {
                std::vector<QueueItem> items = queue_items_from(batch);
                nb::gil_scoped_release release;
                w.do_write(items);
            },
            nb::arg("batch"), "Write a batch within a single transaction.")
        .def_prop_ro("_stop_event", [](const WriterThread& w) { return w.stop_event(); })
        .def_prop_ro("_thread",
                     [](const WriterThread& w) -> std::optional<WriterThreadHandle> {
                         std::shared_ptr<ThreadEvent> finished = w.finished_event();
                         if (!finished) return std::nullopt;
                         return WriterThreadHandle{std::move(finished)};
                     })
        .def_prop_rw("_disk_threshold", &WriterThread::disk_threshold,
                     &WriterThread::set_disk_threshold);
}

}  // namespace plintrove::py
