#pragma once
// Interfaces to the host's objects. The Python binding adapts any Python object with
// the right attributes to these; a C++ host implements them directly.

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "plintrove/core/graph_analysis.h"
#include "plintrove/core/queue_item_fields.h"
#include "plintrove/core/records.h"
#include "plintrove/value/value.h"

namespace plintrove {

// The library identity every insert is attributed to. Attributes are read at each write.
class Identity {
public:
    struct Ids {
        Value instance_id;
        Value author_id;
    };
    virtual ~Identity() = default;
    // Both attributes, instance_id first, read together: a host adapter pays for reaching
    // the host's objects once per write.
    virtual Ids read() const = 0;
};

// Renders a stored status or reason for people: returns a mapping holding at least
// "rendered" and "machine". `kind` is "status", "rejection_reason" or "failure_reason".
using ReasonDescriber = std::function<Value(const std::string& text, const std::string& kind)>;

// One queue item of the writer: the fields it reads (every key but "stats") and the
// backtest statistics, absent when the item carried none.
struct QueueItem {
    QueueItemFields fields;  // without the fields that came prepared or as text below
    std::optional<BacktestStats> stats;
    std::optional<PreparedGraph> prepared_graph;
    // Fields only ever stored as JSON text, written to it where the item was read:
    // metaparameters when true, per_column_stats when not None, and the statistics'
    // liquidity_metrics when not None (they are None in `stats` then).
    std::optional<std::string> metaparameters_json;
    std::optional<std::string> per_column_stats_json;
    std::optional<std::string> liquidity_metrics_json;
    // Set when the host's item could not be read (not a mapping, unconvertible values, no
    // usable stats); writing the item raises it, so the item fails its batch there.
    std::exception_ptr conversion_error;
};

// The host's inter-process queue. Both calls return nullopt where Python's queue raises
// (empty, closed, broken); errors are never reported further.
class EvaluationQueue {
public:
    virtual ~EvaluationQueue() = default;
    virtual std::optional<QueueItem> get(double timeout_seconds) = 0;
    virtual std::optional<QueueItem> get_nowait() = 0;
    // An item this side already took from the host's queue and has not handed out yet
    // (taking several in one go); never takes a new one.
    virtual std::optional<QueueItem> take_held() { return std::nullopt; }
};

// The host's search-status object.
class SearchStatus {
public:
    virtual ~SearchStatus() = default;
    virtual void set_error_code(const std::string& code) = 0;
    virtual void set_recovery_advice(const std::string& advice) = 0;
    virtual void set_running(bool running) = 0;
    virtual void append_error(const std::string& text) = 0;
};

}  // namespace plintrove
