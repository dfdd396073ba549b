#include "plintrove/writer/writer_thread.h"

#include <sys/statvfs.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "plintrove/core/errors.h"
#include "plintrove/core/evaluation_recording.h"
#include "plintrove/core/evaluation_validation.h"
#include "plintrove/core/graph_analysis.h"
#include "plintrove/core/logging.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/core/trial_ledger.h"
#include "plintrove/value/py_repr.h"
#include "plintrove/writer/queue_reader.h"

namespace plintrove {

// ---- events ----------------------------------------------------------------------------

void ThreadEvent::set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
    }
    cv_.notify_all();
}

bool ThreadEvent::is_set() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
}

bool ThreadEvent::wait(double timeout_seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeout_seconds < 0) {
        cv_.wait(lock, [this] { return set_; });
    } else {
        cv_.wait_for(lock, std::chrono::duration<double>(timeout_seconds), [this] { return set_; });
    }
    return set_;
}

namespace {

// ---- clocks ----------------------------------------------------------------------------

double wall_now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

double monotonic_now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ---- disk check ------------------------------------------------------------------------

// os.path.dirname: everything before the last slash, trailing slashes removed unless the
// head is nothing but slashes.
std::string path_dirname(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    std::string head = path.substr(0, slash + 1);
    if (head.find_first_not_of('/') != std::string::npos) {
        while (!head.empty() && head.back() == '/') head.pop_back();
    }
    return head;
}

// Bytes available to an unprivileged user, as shutil.disk_usage reports them.
std::int64_t free_disk_bytes(const std::string& directory) {
    struct statvfs st {};
    if (::statvfs(directory.c_str(), &st) != 0) {
        const int err = errno;
        throw IOError("[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": " +
                      py_repr(std::string_view(directory)));
    }
    return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
}

// ---- statements ------------------------------------------------------------------------

constexpr std::string_view kBaseColumnText =
    "timestamp, era_id, graph_json, tree_depth, rotation_families_json, passed_thresholds, "
    "sharpe, returns, turnover, drawdown, delta_exposure, max_weight, quality_score, "
    "agent_is_correlation, per_column_stats_json, rejection_reason, named_universe, "
    "metaparameters, submitted, liquidity_metrics_json, source, expression_elapsed_seconds";
constexpr std::size_t kBaseColumnCount = 22;
constexpr std::string_view kStrategyColumnText =
    ", referenced_signal_ids_json, strategy_pool_id, strategy_signal_pool";
constexpr std::string_view kSignalColumnText = ", signal_pool_id";

// The insert text of one evaluation kind, made once.
std::string build_insert_sql(bool strategy) {
    std::string columns(kBaseColumnText);
    std::size_t count = kBaseColumnCount;
    if (strategy) {
        columns += kStrategyColumnText;
        count += 3;
    } else {
        columns += kSignalColumnText;
        count += 1;
    }
    for (const std::string& column : IdentityColumns::columns()) {
        columns += ", ";
        columns += column;
    }
    count += IdentityColumns::columns().size();
    std::string sql = "INSERT INTO ";
    sql += strategy ? kStrategyTables.eval_table : kSignalTables.eval_table;
    sql += " (";
    sql += columns;
    sql += ") VALUES (";
    for (std::size_t i = 0; i < count; ++i) sql += i == 0 ? "?" : ", ?";
    sql += ")";
    return sql;
}

const std::string& insert_sql(bool strategy) {
    static const std::string signal_sql = build_insert_sql(false);
    static const std::string strategy_sql = build_insert_sql(true);
    return strategy ? strategy_sql : signal_sql;
}

const Value& field_or(const QueueItemFields& fields, ItemKey key, const Value& fallback) {
    const Value* v = fields.find(key);
    return v != nullptr ? *v : fallback;
}

}  // namespace

// ---- state shared with the thread ------------------------------------------------------

// Everything the thread touches lives here, owned jointly by the WriterThread and the
// running thread, so a thread that outlives stop()'s wait still has all it uses.
struct WriterThread::State {
    std::shared_ptr<SearchTracker> tracker;
    std::shared_ptr<EvaluationQueue> queue;
    std::shared_ptr<SearchStatus> status;
    StopWorkers stop_workers;
    std::shared_ptr<ThreadEvent> stop_event = std::make_shared<ThreadEvent>();
    std::atomic<std::int64_t> disk_threshold{kDiskThreshold};

    std::mutex thread_mutex;  // start() and joining
    std::shared_ptr<ThreadEvent> finished;

    void drain_into(EvaluationQueue& from, std::vector<QueueItem>& items, bool final);
    // Up to kWriterPollSeconds for the next item, ending early when one comes.
    void wait_for_item(EvaluationQueue& from, std::vector<QueueItem>& batch);
    void run();
    void flush(const std::vector<QueueItem>& batch);
    void do_write(const std::vector<QueueItem>& batch);
    // `identity` holds the identity columns once the batch has read them; `ledger` gathers
    // the batch's trials for one ledger update per scope.
    void write_evaluation(Connection& conn, const QueueItem& item,
                          std::optional<IdentityColumns>& identity, TrialLedgerBatch& ledger);

    // Sets the failure on the status, stops the workers and this writer.
    void report_and_stop(const char* code, const char* advice,
                         const std::optional<std::string>& error);
};

void WriterThread::State::drain_into(EvaluationQueue& from, std::vector<QueueItem>& items,
                                     bool final) {
    // Any error from the queue, its "empty" error included, ends the drain unreported.
    auto take = [&from](bool blocking) -> std::optional<QueueItem> {
        try {
            return blocking ? from.get(kFinalDrainGetTimeoutSeconds) : from.get_nowait();
        } catch (const std::exception&) {
            return std::nullopt;
        }
    };
    if (!final) {
        while (std::optional<QueueItem> item = take(false)) items.push_back(std::move(*item));
        return;
    }
    // A producer's feeder thread may hand over an item put just before shutdown a little
    // later, so keep taking until the queue has been quiet for the idle window.
    double idle_deadline = monotonic_now() + kFinalDrainIdleSeconds;
    const double hard_deadline = monotonic_now() + kFinalDrainLimitSeconds;
    while (monotonic_now() < hard_deadline) {
        if (std::optional<QueueItem> item = take(true)) {
            items.push_back(std::move(*item));
            idle_deadline = monotonic_now() + kFinalDrainIdleSeconds;
        } else if (monotonic_now() >= idle_deadline) {
            break;
        }
    }
}

void WriterThread::State::wait_for_item(EvaluationQueue& from, std::vector<QueueItem>& batch) {
    // Waiting on the queue rather than on the stop event alone: an item that arrives is
    // taken at once instead of after the rest of a fixed pause, while producers blocked on
    // a full pipe wait for the writer. The time-out keeps a stop noticed within the poll.
    if (stop_event->is_set()) return;
    const double started = monotonic_now();
    try {
        if (std::optional<QueueItem> item = from.get(kWriterPollSeconds)) {
            batch.push_back(std::move(*item));
            return;
        }
    } catch (const std::exception&) {
        // Queue errors are not reported; they end the wait like an empty queue.
    }
    // A queue that answers at once (closed, broken, or not waiting on its own) must not
    // turn the loop into a spin: the rest of the poll is spent on the stop event.
    const double rest = kWriterPollSeconds - (monotonic_now() - started);
    if (rest > 0) stop_event->wait(rest);
}

void WriterThread::State::run() {
    // Items are read on the reader's thread while this one writes; everything else of the
    // loop sees the reader as it would see the host's queue.
    QueueReader reader(*queue, stop_event, kWriterReadAheadItems);
    std::vector<QueueItem> batch;
    double last_flush = wall_now();
    while (!stop_event->is_set()) {
        drain_into(reader, batch, false);
        const double now = wall_now();
        if (batch.size() >= kWriterBatchSize ||
            (!batch.empty() && now - last_flush >= kWriterFlushIntervalSeconds)) {
            flush(batch);
            batch = {};
            last_flush = wall_now();
        }
        wait_for_item(reader, batch);
    }
    drain_into(reader, batch, true);
    // What the reader had read is written too, and so is what the queue adapter took from
    // the host's queue in one go with the last items read.
    reader.stop();
    drain_into(reader, batch, false);
    while (std::optional<QueueItem> item = queue->take_held()) batch.push_back(std::move(*item));
    if (!batch.empty()) flush(batch);
}

void WriterThread::State::report_and_stop(const char* code, const char* advice,
                                          const std::optional<std::string>& error) {
    status->set_error_code(code);
    status->set_recovery_advice(advice);
    status->set_running(false);
    if (error) status->append_error(*error);
    stop_workers();
    stop_event->set();
}

void WriterThread::State::flush(const std::vector<QueueItem>& batch) {
    const std::optional<std::string>& db_path = tracker->db_path();
    if (db_path) {
        std::optional<std::int64_t> free_bytes;
        try {
            free_bytes = free_disk_bytes(path_dirname(*db_path));
        } catch (const std::exception& e) {
            log(LogLevel::Warning, "Disk space check failed: %s", {Value(e.what())});
        }
        if (free_bytes && *free_bytes < disk_threshold.load()) {
            report_and_stop(kDiskFullCode, kDiskFullAdvice, std::nullopt);
            return;
        }
    }
    try {
        do_write(batch);
        return;
    } catch (const std::exception&) {
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kWriteRetryPauseSeconds));
    try {
        do_write(batch);
    } catch (const std::exception& e) {
        report_and_stop(kWriteFailedCode, kWriteFailedAdvice,
                        std::string("Database write failed: ") + e.what());
    }
}

void WriterThread::State::do_write(const std::vector<QueueItem>& batch) {
    // The batch is one operation: host threads sharing the connection wait for its COMMIT
    // or ROLLBACK instead of landing statements inside it.
    OperationScope batch_scope(*tracker, OperationScope::Unchecked{});
    // Held for the batch: a tracker closed meanwhile fails its statements, never frees it.
    std::shared_ptr<ConnWrapper> conn = tracker->conn_ptr();
    conn->execute("BEGIN");
    try {
        // The identity is read once per batch, at the first item that needs it, so a host
        // identity costs one interpreter-lock round trip per batch rather than one per item:
        // under a busy host thread each round trip waits out a switch interval.
        std::optional<IdentityColumns> identity;
        TrialLedgerBatch ledger;
        for (const QueueItem& item : batch) write_evaluation(*conn, item, identity, ledger);
        ledger.write(*conn);
        conn->execute("COMMIT");
    } catch (...) {
        try {
            conn->execute("ROLLBACK");
        } catch (const std::exception& rollback_error) {
            log(LogLevel::Warning, "ROLLBACK failed during evaluation batch write: %s",
                {Value(rollback_error.what())});
        }
        throw;
    }
}

void WriterThread::State::write_evaluation(Connection& conn, const QueueItem& item,
                                           std::optional<IdentityColumns>& identity,
                                           TrialLedgerBatch& ledger) {
    if (item.conversion_error) std::rethrow_exception(item.conversion_error);
    const QueueItemFields& fields = item.fields;

    static const Value kNone;
    static const Value kSignal("signal");
    static const Value kStrategy("strategy");
    static const Value kDefaultEra(1);
    static const Value kTrue(true);
    static const Value kEmptyText("");
    static const Value kSearch("search");
    static const Value kEmptyList{List{}};
    static const Value kEmptyObjectJson("{}");

    const bool is_strategy = field_or(fields, ItemKey::Type, kSignal) == kStrategy;
    const Value& graph = field_or(fields, ItemKey::Graph, kNone);
    const Value& function_families = field_or(fields, ItemKey::FunctionFamilies, kNone);
    const Value& feature_families = field_or(fields, ItemKey::FeatureFamilies, kNone);
    const Value& metaparameters = field_or(fields, ItemKey::Metaparameters, kNone);
    const Value& per_column_stats = field_or(fields, ItemKey::PerColumnStats, kNone);

    const PreparedGraph* prepared = item.prepared_graph ? &*item.prepared_graph : nullptr;
    const GraphAnalysis analysis(graph, prepared);
    const std::int64_t tree_depth = analysis.depth();
    const GraphNames& names = analysis.names();
    const List& functions = names.functions;
    const List& features = names.features;
    Value rotation_families =
        rotation_families_param(rotation_families_of(functions, function_families));

    Value metaparameters_json = item.metaparameters_json ? Value(*item.metaparameters_json)
                                : metaparameters.truthy() ? json_param(metaparameters)
                                                          : kEmptyObjectJson;
    static const Value kNoMetrics;
    Value per_column_json = json_column(item.per_column_stats_json, per_column_stats);
    Value liquidity_json = json_column(item.liquidity_metrics_json,
                                       item.stats ? item.stats->liquidity_metrics : kNoMetrics);

    Params values;
    values.reserve(kBaseColumnCount + 5);
    values.emplace_back(wall_now());
    values.push_back(field_or(fields, ItemKey::EraId, kDefaultEra));
    values.push_back(prepared ? Value(prepared->json) : json_param(graph));
    values.emplace_back(tree_depth);
    values.push_back(std::move(rotation_families));
    values.emplace_back(field_or(fields, ItemKey::PassedThresholds, kTrue).truthy() ? 1 : 0);
    if (!item.stats) throw TypeError("queue item carries no stats");
    const BacktestStats& s = *item.stats;
    for (double stat : {s.sharpe, s.returns, s.turnover, s.drawdown, s.delta_exposure,
                        s.max_weight, s.quality_score, s.correlation}) {
        values.emplace_back(stat);
    }
    values.push_back(std::move(per_column_json));
    values.push_back(field_or(fields, ItemKey::RejectionReason, kNone));
    values.push_back(field_or(fields, ItemKey::NamedUniverse, kEmptyText));
    values.push_back(std::move(metaparameters_json));
    values.emplace_back(0);
    values.push_back(std::move(liquidity_json));
    values.push_back(field_or(fields, ItemKey::Source, kSearch));
    values.push_back(field_or(fields, ItemKey::ExpressionElapsedSeconds, kNone));

    const EvalTables& tables = is_strategy ? kStrategyTables : kSignalTables;
    const Value* pool = nullptr;
    if (is_strategy) {
        const Value& referenced = field_or(fields, ItemKey::ReferencedSignalIds, kEmptyList);
        const Value& pool_id = field_or(fields, ItemKey::StrategyPoolId, kNone);
        const Value& signal_pool = field_or(fields, ItemKey::StrategySignalPool, kNone);
        validate_pool_id_required(pool_id, "strategy_pool_id");
        validate_pool_id_required(signal_pool, "strategy_signal_pool");
        check_strategy_signal_pool_references(conn, pool_id, signal_pool, referenced);
        values.push_back(json_param(referenced));
        values.push_back(pool_id);
        pool = &pool_id;
        values.push_back(signal_pool);
    } else {
        const Value& pool_id = field_or(fields, ItemKey::SignalPoolId, kNone);
        validate_pool_id_required(pool_id, "signal_pool_id");
        values.push_back(pool_id);
        pool = &pool_id;
    }

    // Raises when no identity is attached.
    if (!identity) identity = tracker->identity_columns();
    values.insert(values.end(), identity->values.begin(), identity->values.end());

    Cursor cursor = conn.execute(insert_sql(is_strategy), values);
    const std::optional<std::int64_t> eval_id = cursor.lastrowid();
    if (!eval_id) {
        throw RuntimeError("INSERT INTO " + std::string(tables.eval_table) +
                           " returned no eval_id");
    }
    insert_usage_rows(conn, *eval_id, functions, features, tables.fn_table, tables.feat_table,
                      function_families, feature_families);
    store_custom_stats(conn, tables.eval_table, *eval_id, s.custom_stats);
    // The row keeps no failure reason; the mark tells readers what the ledger counts.
    const bool errored = !field_or(fields, ItemKey::FailureReason, kNone).is_none();
    if (errored) mark_trial_errored(conn, tables.eval_table, *eval_id);
    ledger.add(is_strategy,
               TrialScope{field_or(fields, ItemKey::EraId, kDefaultEra), *pool,
                          field_or(fields, ItemKey::NamedUniverse, kEmptyText),
                          field_or(fields, ItemKey::Source, kSearch)},
               *eval_id, s.sharpe, errored);
}

// ---- WriterThread ----------------------------------------------------------------------

WriterThread::WriterThread(std::shared_ptr<SearchTracker> tracker,
                           std::shared_ptr<EvaluationQueue> queue,
                           std::shared_ptr<SearchStatus> status, StopWorkers stop_workers)
    : state_(std::make_shared<State>()) {
    state_->tracker = std::move(tracker);
    state_->queue = std::move(queue);
    state_->status = std::move(status);
    state_->stop_workers = std::move(stop_workers);
}

WriterThread::~WriterThread() {
    // Joining here could wait on a thread that needs something the destroying thread holds
    // (the host's interpreter lock, for one); the thread owns what it uses, so let it go.
    std::lock_guard<std::mutex> lock(state_->thread_mutex);
    if (thread_.joinable()) thread_.detach();
}

void WriterThread::start() {
    std::lock_guard<std::mutex> lock(state_->thread_mutex);
    if (state_->finished) throw RuntimeError("WriterThread can only be started once");
    auto finished = std::make_shared<ThreadEvent>();
    state_->finished = finished;
    thread_ = std::thread([state = state_, finished]() mutable {
        try {
            state->run();
        } catch (abi::__forced_unwind&) {
            throw;  // thread cancellation must unwind to the end
        } catch (const std::exception& e) {
            log(LogLevel::Warning, "Writer thread stopped by an unexpected error: %s",
                {Value(e.what())});
        }
        // Let go of the host's objects before reporting the end, so that a host that has
        // seen the thread finish may shut down without this thread still holding them.
        state.reset();
        finished->set();
    });
}

void WriterThread::stop() {
    state_->stop_event->set();
    std::shared_ptr<ThreadEvent> finished = finished_event();
    if (!finished) return;
    if (finished->wait(kWriterJoinTimeoutSeconds)) {
        std::lock_guard<std::mutex> lock(state_->thread_mutex);
        if (thread_.joinable()) thread_.join();
    }
}

std::vector<QueueItem> WriterThread::drain_queue(bool final) {
    std::vector<QueueItem> items;
    state_->drain_into(*state_->queue, items, final);
    return items;
}

void WriterThread::run() { state_->run(); }

void WriterThread::flush(const std::vector<QueueItem>& batch) { state_->flush(batch); }

void WriterThread::do_write(const std::vector<QueueItem>& batch) { state_->do_write(batch); }

void WriterThread::write_evaluation(Connection& conn, const QueueItem& item) {
    std::optional<IdentityColumns> identity;
    TrialLedgerBatch ledger;
    state_->write_evaluation(conn, item, identity, ledger);
    ledger.write(conn);
}

void WriterThread::set_disk_threshold(std::int64_t bytes) { state_->disk_threshold.store(bytes); }

std::int64_t WriterThread::disk_threshold() const { return state_->disk_threshold.load(); }

const std::shared_ptr<ThreadEvent>& WriterThread::stop_event() const {
    return state_->stop_event;
}

std::shared_ptr<ThreadEvent> WriterThread::finished_event() const {
    std::lock_guard<std::mutex> lock(state_->thread_mutex);
    return state_->finished;
}

}  // namespace plintrove
