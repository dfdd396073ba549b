// The ceiling of the writer benchmark: the SQLite C API alone inserting the very rows a
// writer run stored, with prepared statements, one transaction per batch.
//
//   raw_sqlite_ceiling SOURCE_DB TARGET_DB BATCH_SIZE [background-checkpoints]
//
// SOURCE_DB holds signal evaluations written by the writer; TARGET_DB is a fresh database
// with the same schema. Every evaluation row of the source is inserted again with its
// usage rows, its new eval_id taken from the insert as the writer does, and each
// transaction folds its trials into the trial ledger with the library's own statement, one
// per scope, as the writer and recording do. With
// "background-checkpoints" the log is checkpointed off the loop's thread as the tracker's own
// connection does it; BATCH_SIZE 1 then is direct recording's one commit per evaluation.
// BATCH_SIZE 0 does all of it but store the rows: what the loop alone costs is what a run
// costs more than that one. Prints one line of
// JSON: {"evaluations": N, "seconds": S, "rows_per_second": R, "cpu_seconds": C}, the CPU
// time (user and system, every thread of the process) spent in the loop.

#include <sqlite3.h>
#include <sys/resource.h>

#include "plintrove/core/trial_ledger.h"
#include "plintrove/storage/wal_checkpointer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

const char* const kEvalColumns =
    "timestamp, era_id, graph_json, tree_depth, rotation_families_json, passed_thresholds, "
    "sharpe, returns, turnover, drawdown, delta_exposure, max_weight, quality_score, "
    "agent_is_correlation, per_column_stats_json, rejection_reason, named_universe, "
    "metaparameters, submitted, liquidity_metrics_json, source, expression_elapsed_seconds, "
    "signal_pool_id, instance_id, author_id";
constexpr int kEvalColumnCount = 25;

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

void check(sqlite3* db, int rc, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
    }
}

void prepare(sqlite3* db, const std::string& sql, Statement& s) {
    check(db, sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s.stmt, nullptr),
          sql.c_str());
}

void exec(sqlite3* db, const char* sql) { check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), sql); }

// A stored row: protected copies of its values.
using Values = std::vector<sqlite3_value*>;

struct Evaluation {
    Values columns;
    std::vector<Values> functions;  // function_name, rotation_family, function_family, subfamily
    std::vector<Values> features;   // feature_name, feature_family, feature_subfamily
};

Values read_values(sqlite3_stmt* stmt, int first, int count) {
    Values v;
    for (int i = first; i < first + count; ++i) v.push_back(sqlite3_value_dup(sqlite3_column_value(stmt, i)));
    return v;
}

std::vector<Evaluation> load(const char* path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        throw std::runtime_error(std::string("cannot open ") + path);
    }
    std::vector<Evaluation> evals;
    std::map<sqlite3_int64, std::size_t> index;
    {
        Statement s;
        prepare(db, std::string("SELECT eval_id, ") + kEvalColumns +
                        " FROM signal_evaluations ORDER BY eval_id", s);
        while (sqlite3_step(s.stmt) == SQLITE_ROW) {
            index[sqlite3_column_int64(s.stmt, 0)] = evals.size();
            evals.push_back({read_values(s.stmt, 1, kEvalColumnCount), {}, {}});
        }
    }
    {
        Statement s;
        prepare(db, "SELECT eval_id, function_name, rotation_family, function_family, "
                    "function_subfamily FROM signal_function_usage ORDER BY rowid", s);
        while (sqlite3_step(s.stmt) == SQLITE_ROW) {
            evals[index.at(sqlite3_column_int64(s.stmt, 0))].functions.push_back(
                read_values(s.stmt, 1, 4));
        }
    }
    {
        Statement s;
        prepare(db, "SELECT eval_id, feature_name, feature_family, feature_subfamily "
                    "FROM signal_feature_usage ORDER BY rowid", s);
        while (sqlite3_step(s.stmt) == SQLITE_ROW) {
            evals[index.at(sqlite3_column_int64(s.stmt, 0))].features.push_back(
                read_values(s.stmt, 1, 3));
        }
    }
    sqlite3_close(db);
    return evals;
}

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void step_and_reset(sqlite3* db, sqlite3_stmt* stmt) {
    check(db, sqlite3_step(stmt), sqlite3_sql(stmt));
    sqlite3_reset(stmt);
}

// Columns of kEvalColumns the ledger reads.
constexpr int kEraColumn = 1, kSharpeColumn = 6, kUniverseColumn = 16, kSourceColumn = 20,
              kPoolColumn = 22;

std::string text_of(sqlite3_value* v) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_value_bytes(v))) : "";
}

// era, pool, named universe, source
using Scope = std::tuple<sqlite3_int64, std::string, std::string, std::string>;

void write_ledger(sqlite3* db, sqlite3_stmt* upsert, const std::map<Scope, plintrove::TrialTally>& scopes) {
    for (const auto& [scope, t] : scopes) {
        const auto& [era, pool, universe, source] = scope;
        sqlite3_bind_int64(upsert, 1, era);
        sqlite3_bind_text(upsert, 2, pool.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(upsert, 3, universe.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(upsert, 4, source.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(upsert, 5, t.trials);
        sqlite3_bind_int64(upsert, 6, t.errored);
        sqlite3_bind_int64(upsert, 7, t.nonfinite);
        sqlite3_bind_int64(upsert, 8, t.moments.count);
        sqlite3_bind_double(upsert, 9, t.moments.mean);
        sqlite3_bind_double(upsert, 10, t.moments.m2);
        if (t.sharpe_max) sqlite3_bind_double(upsert, 11, *t.sharpe_max);
        else sqlite3_bind_null(upsert, 11);
        if (t.best_eval_id) sqlite3_bind_int64(upsert, 12, *t.best_eval_id);
        else sqlite3_bind_null(upsert, 12);
        sqlite3_bind_int64(upsert, 13, 0);
        step_and_reset(db, upsert);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool background = argc == 5 && std::string(argv[4]) == "background-checkpoints";
    if (argc != 4 && !background) {
        std::fprintf(stderr, "usage: %s SOURCE_DB TARGET_DB BATCH_SIZE [background-checkpoints]\n",
                     argv[0]);
        return 2;
    }
    try {
        const std::vector<Evaluation> evals = load(argv[1]);
        char* batch_end = nullptr;
        const std::size_t batch_size = std::strtoul(argv[3], &batch_end, 10);
        if (batch_end == argv[3] || *batch_end != '\0') {
            throw std::runtime_error("BATCH_SIZE must be a number");
        }
        const std::size_t stored = batch_size == 0 ? 0 : evals.size();

        sqlite3* db = nullptr;
        // One thread uses the connection, as the tracker's lock makes of its own.
        if (sqlite3_open_v2(argv[2], &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("cannot open ") + argv[2]);
        }
        // The tracker's own connection settings.
        sqlite3_busy_timeout(db, 5000);
        exec(db, "PRAGMA journal_mode=WAL");
        exec(db, "PRAGMA foreign_keys=ON");
        exec(db, "PRAGMA synchronous=NORMAL");
        std::unique_ptr<plintrove::WalCheckpointer> checkpointer;
        if (background) checkpointer = plintrove::WalCheckpointer::start(argv[2], db);

        std::string placeholders;
        for (int i = 0; i < kEvalColumnCount; ++i) placeholders += i == 0 ? "?" : ", ?";
        Statement insert_eval, insert_fn, insert_feat, upsert_ledger;
        prepare(db, plintrove::trial_ledger_upsert_sql(false), upsert_ledger);
        prepare(db, std::string("INSERT INTO signal_evaluations (") + kEvalColumns +
                        ") VALUES (" + placeholders + ")", insert_eval);
        prepare(db, "INSERT INTO signal_function_usage (eval_id, function_name, "
                    "rotation_family, function_family, function_subfamily) "
                    "VALUES (?, ?, ?, ?, ?)", insert_fn);
        prepare(db, "INSERT INTO signal_feature_usage (eval_id, feature_name, feature_family, "
                    "feature_subfamily) VALUES (?, ?, ?, ?)", insert_feat);

        const auto started = std::chrono::steady_clock::now();
        const double cpu_started = process_cpu_seconds();
        for (std::size_t first = 0; first < stored; first += batch_size) {
            exec(db, "BEGIN");
            const std::size_t end = std::min(stored, first + batch_size);
            std::map<Scope, plintrove::TrialTally> scopes;
            for (std::size_t e = first; e < end; ++e) {
                const Evaluation& ev = evals[e];
                for (int i = 0; i < kEvalColumnCount; ++i) {
                    sqlite3_bind_value(insert_eval.stmt, i + 1, ev.columns[i]);
                }
                step_and_reset(db, insert_eval.stmt);
                const sqlite3_int64 eval_id = sqlite3_last_insert_rowid(db);
                sqlite3_value* sharpe = ev.columns[kSharpeColumn];
                scopes[Scope{sqlite3_value_int64(ev.columns[kEraColumn]),
                             text_of(ev.columns[kPoolColumn]), text_of(ev.columns[kUniverseColumn]),
                             text_of(ev.columns[kSourceColumn])}]
                    .add(eval_id,
                         sqlite3_value_type(sharpe) == SQLITE_NULL
                             ? std::nullopt
                             : std::optional<double>(sqlite3_value_double(sharpe)),
                         false);
                for (const Values& row : ev.functions) {
                    sqlite3_bind_int64(insert_fn.stmt, 1, eval_id);
                    for (int i = 0; i < 4; ++i) sqlite3_bind_value(insert_fn.stmt, i + 2, row[i]);
                    step_and_reset(db, insert_fn.stmt);
                }
                for (const Values& row : ev.features) {
                    sqlite3_bind_int64(insert_feat.stmt, 1, eval_id);
                    for (int i = 0; i < 3; ++i) sqlite3_bind_value(insert_feat.stmt, i + 2, row[i]);
                    step_and_reset(db, insert_feat.stmt);
                }
            }
            write_ledger(db, upsert_ledger.stmt, scopes);
            exec(db, "COMMIT");
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double cpu_seconds = process_cpu_seconds() - cpu_started;
        std::printf("{\"evaluations\": %zu, \"seconds\": %.6f, \"rows_per_second\": %.1f, "
                    "\"cpu_seconds\": %.6f}\n",
                    stored, seconds, stored / seconds, cpu_seconds);
        sqlite3_close(db);
        if (checkpointer) checkpointer->finish();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "raw_sqlite_ceiling: %s\n", e.what());
        return 1;
    }
    return 0;
}
