#include "plintrove/storage/legacy_reset.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "plintrove/core/errors.h"
#include "plintrove/core/logging.h"
#include "plintrove/storage/sqlite_catalog.h"

namespace plintrove {

namespace fs = std::filesystem;

namespace {

struct RequiredColumns {
    std::string_view table;
    std::array<std::string_view, 3> columns;  // unused slots are empty
};

constexpr std::array<RequiredColumns, 8> kRequiredColumns{{
    {"signal_evaluations", {"signal_pool_id", "agent_is_correlation"}},
    {"strategy_evaluations", {"strategy_pool_id", "strategy_signal_pool", "agent_is_correlation"}},
    {"signal_submission_queue", {"signal_pool_id"}},
    {"strategy_submission_queue", {"strategy_pool_id"}},
    {"signal_submission_status", {"signal_pool_id"}},
    {"strategy_submission_status", {"strategy_pool_id", "strategy_signal_pool"}},
    {"signal_submission_retry", {"signal_pool_id"}},
    {"strategy_submission_retry", {"strategy_pool_id"}},
}};

constexpr std::array<std::string_view, 4> kLegacyTables{"submission_queue", "submission_attempts",
                                                        "submission_status", "submission_retry"};
constexpr std::array<std::string_view, 3> kLegacyColumns{"pool_id", "correlation", "is_weights_mi"};
constexpr std::array<std::string_view, 3> kQueueTables{"submission_queue", "signal_submission_queue",
                                                       "strategy_submission_queue"};

// shutil.move: rename, or copy and delete when the target is on another file system.
void move_path(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec == std::errc::cross_device_link) {
        ec.clear();
        fs::copy(from, to, fs::copy_options::overwrite_existing | fs::copy_options::recursive, ec);
        if (!ec) fs::remove_all(from, ec);
    }
    if (ec) {
        throw IOError("[Errno " + std::to_string(ec.value()) + "] " + ec.message() + ": '" + from +
                      "' -> '" + to + "'");
    }
}

}  // namespace

bool sqlite_needs_pre_pool_redesign_reset(Connection& conn) {
    for (std::string_view table : kLegacyTables) {
        if (sqlite_table_exists(conn, table)) return true;
    }
    for (const RequiredColumns& entry : kRequiredColumns) {
        if (!sqlite_table_exists(conn, entry.table)) continue;
        const std::set<std::string> columns = sqlite_table_columns(conn, entry.table);
        for (std::string_view legacy : kLegacyColumns) {
            if (columns.count(std::string(legacy))) return true;
        }
        if (entry.table == "strategy_evaluations" && columns.count("signal_pool_id")) return true;
        for (std::string_view required : entry.columns) {
            if (!required.empty() && !columns.count(std::string(required))) return true;
        }
    }
    return false;
}

std::int64_t sqlite_pre_redesign_queue_count(Connection& conn) {
    std::int64_t total = 0;
    for (std::string_view table : kQueueTables) {
        if (!sqlite_table_exists(conn, table)) continue;
        try {
            auto row = conn.execute("SELECT COUNT(*) FROM " + std::string(table)).fetchone();
            if (row && !row->empty() && (*row)[0].is_int()) total += (*row)[0].as_int();
        } catch (const DatabaseError&) {
            // An unreadable queue counts as empty; the archive keeps whatever it holds.
        }
    }
    return total;
}

void archive_pre_pool_redesign_sqlite_db(const std::string& db_path,
                                         std::int64_t dropped_queue_count) {
    std::string archive = db_path + ".pre-pool-redesign";
    std::error_code ec;
    if (fs::exists(archive, ec)) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        archive += '.';
        archive += std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count());
    }
    move_path(db_path, archive);
    for (const char* suffix : {"-wal", "-shm"}) {
        if (fs::exists(db_path + suffix, ec)) move_path(db_path + suffix, archive + suffix);
    }
    log(LogLevel::Info,
        "Archived pre-pool-redesign SQLite tracker database at %s; dropped %d pre-redesign "
        "queued item(s).",
        {Value(archive), Value(static_cast<long long>(dropped_queue_count))});
}

std::unique_ptr<SqliteConnection> reset_pre_pool_redesign_sqlite_db_if_needed(
    const std::string& db_path, std::unique_ptr<SqliteConnection> raw_conn) {
    if (!sqlite_needs_pre_pool_redesign_reset(*raw_conn)) return raw_conn;
    const std::int64_t dropped = sqlite_pre_redesign_queue_count(*raw_conn);
    try {
        raw_conn->execute("PRAGMA wal_checkpoint(FULL)");
    } catch (const DatabaseError&) {
        // The log file then moves with the archive unchanged.
    }
    raw_conn->close();
    raw_conn.reset();
    archive_pre_pool_redesign_sqlite_db(db_path, dropped);
    return open_sqlite_tracker_connection(db_path);
}

}  // namespace plintrove
