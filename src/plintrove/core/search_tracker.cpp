#include "plintrove/core/search_tracker.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"
#include "plintrove/core/identity_schema.h"
#include "plintrove/core/logging.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/core/schema.h"
#include "plintrove/core/trial_ledger.h"
#include "plintrove/storage/legacy_reset.h"
#include "plintrove/storage/postgres_bootstrap.h"
#include "plintrove/storage/postgres_connection.h"
#include "plintrove/storage/postgres_schema.h"
#include "plintrove/storage/postgres_url.h"
#include "plintrove/storage/sqlite_catalog.h"
#include "plintrove/storage/sqlite_connection.h"

namespace plintrove {

namespace fs = std::filesystem;

SearchTracker::SearchTracker(const std::string& data_dir, std::shared_ptr<Identity> identity,
                             bool read_only)
    : opened_pid_(getpid()) {
    if (data_dir.empty()) throw ValueError("data_dir must not be empty");
    std::error_code ec;
    if (!fs::is_directory(data_dir, ec)) throw IOError("Directory does not exist: " + data_dir);
    data_dir_ = data_dir;
    db_url_ = postgres_db_url_from_env();
    if (!db_url_) db_path_ = (fs::path(data_dir) / "tracking.db").string();
    identity_ = std::move(identity);

    if (db_url_) {
        conn_ = std::make_shared<ConnWrapper>(
            std::make_unique<PostgresConnection>(*db_url_, read_only));
        if (read_only) {
            assert_postgres_bootstrap_schema(conn_->real());
        } else {
            create_tables();
        }
        return;
    }
    if (read_only) {
        conn_ = std::make_shared<ConnWrapper>(open_sqlite_reader_connection(*db_path_));
        return;
    }
    std::unique_ptr<SqliteConnection> raw = open_sqlite_tracker_connection(*db_path_);
    try {
        raw = reset_pre_pool_redesign_sqlite_db_if_needed(*db_path_, std::move(raw));
    } catch (const DatabaseError& e) {
        throw with_database_path(e, *db_path_);
    }
    conn_ = std::make_shared<ConnWrapper>(std::move(raw));
    create_tables();
}

// The connection is released with the last reference to it; closing is the host's call.
SearchTracker::~SearchTracker() = default;

void SearchTracker::create_tables() {
    ConnWrapper& conn = *conn_;
    const bool postgres = conn.dialect() == "postgres";
    if (postgres) {
        assert_postgres_bootstrap_schema(conn.real());
        // Worker hosts may start together on a new database: IF NOT EXISTS does not make
        // concurrent CREATEs safe there (both pass the check, one fails on the catalogue's
        // unique key), so the schema is built in one transaction under the writer lock that
        // "BEGIN IMMEDIATE" takes, and committed at the end.
        conn.execute("BEGIN IMMEDIATE");
        for (const std::string& ddl : postgres_schema_ddls()) conn.execute(ddl);
    } else {
        for (std::string_view ddl : kSchemaDdls) conn.execute(ddl);
    }

    std::vector<std::string_view> identity_tables(kSearchTrackingFkTables.begin(),
                                                  kSearchTrackingFkTables.end());
    identity_tables.push_back("sims");
    if (postgres) {
        for (const std::string& statement : postgres_fk_column_statements(identity_tables))
            conn.execute(statement);
    } else {
        sqlite_ensure_fk_columns(conn, identity_tables);
        sqlite_ensure_columns(conn, kSqliteEvalColumnMigrations);
    }
    ensure_trial_ledger(conn);

    for (std::string_view index : kSchemaIndexes) conn.execute(index);
    for (const std::string& statement : fk_index_statements(identity_tables)) conn.execute(statement);

    // Written only when it differs, so that opening an up-to-date store commits nothing:
    // a tracker that only reads then never starts a checkpointer thread.
    if (!postgres) {
        const std::optional<Row> version = conn.execute("PRAGMA user_version").fetchone();
        if (!version || version->empty() || (*version)[0] != Value(kPoolV2SchemaVersion)) {
            conn.execute("PRAGMA user_version = " + std::to_string(kPoolV2SchemaVersion));
        }
    }
    if (conn.in_transaction()) conn.execute("COMMIT");
}

void SearchTracker::set_identity(std::shared_ptr<Identity> identity) {
    std::lock_guard<std::mutex> lock(identity_mutex_);
    identity_ = std::move(identity);
}

std::shared_ptr<Identity> SearchTracker::current_identity() const {
    std::lock_guard<std::mutex> lock(identity_mutex_);
    return identity_;
}

IdentityColumns SearchTracker::identity_columns() const {
    std::shared_ptr<Identity> identity = current_identity();
    if (!identity) {
        throw ValueError(
            "SearchTracker writes require an attached LibraryIdentity; call set_identity() "
            "before recording evaluations or submissions.");
    }
    // Read at each call: the host may change the attributes between writes.
    Identity::Ids ids = identity->read();
    return IdentityColumns{{std::move(ids.instance_id), std::move(ids.author_id)}};
}

const std::vector<std::string>& IdentityColumns::columns() {
    static const std::vector<std::string> names{std::string(kIdentityColumnNames[0]),
                                                std::string(kIdentityColumnNames[1])};
    return names;
}

void SearchTracker::check_closed() const {
    if (closed_.load()) throw IOError("SearchTracker is closed");
}

void SearchTracker::set_search_active(bool active) {
    OperationScope operation(*this);
    search_active_.store(active);
}

void SearchTracker::close() {
    // Waits for the operation in progress: closing under it would fail its statements.
    OperationScope operation(*this, OperationScope::Unchecked{});
    // Marked closed first, so the tracker counts as closed even when closing fails.
    if (closed_.exchange(true)) return;
    try {
        conn_->close();
    } catch (const std::exception& e) {
        log(LogLevel::Warning, "Error closing database connection: %s", {Value(e.what())});
    }
}

void SearchTracker::set_reason_describer(ReasonDescriber describer) {
    describer_ = std::move(describer);
}

}  // namespace plintrove
