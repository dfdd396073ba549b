#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"
#include "plintrove/core/logging.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/value/py_repr.h"

using namespace plintrove;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "plintrove-tracker-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (fs::path(path_) / name).string(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~EnvVar() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class TestIdentity : public Identity {
public:
    TestIdentity(std::string instance, std::string author) : instance_(instance), author_(author) {}
    Value instance_id() const override { return Value(instance_); }
    Value author_id() const override { return Value(author_); }
    std::string instance_, author_;
};

template <typename E>
std::string message_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const E& e) {
        return e.what();
    }
    return "<no error>";
}

// Reads the file through a connection of its own, as another process would.
std::vector<std::vector<std::string>> disk_rows(const std::string& db, const std::string& sql) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    std::vector<std::vector<std::string>> rows;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(h) << " in " << sql;
        sqlite3_close(h);
        return rows;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int c = 0; c < sqlite3_column_count(st); ++c) {
            const unsigned char* t = sqlite3_column_text(st, c);
            row.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return rows;
}

std::set<std::string> disk_columns(const std::string& db, const std::string& table) {
    std::set<std::string> out;
    for (auto& r : disk_rows(db, "PRAGMA table_info(" + table + ")")) out.insert(r[1]);
    return out;
}

void raw_exec(const std::string& db, const std::string& sql) {
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    char* err = nullptr;
    if (sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        ADD_FAILURE() << err;
        sqlite3_free(err);
    }
    sqlite3_close(h);
}

}  // namespace

TEST(TrackerConstruction, RejectsABadDataDirBeforeOpeningAnything) {
    EnvVar url("PLINTROVE_DB_URL", nullptr);
    TempDir dir;
    EXPECT_EQ(message_of<ValueError>([] { SearchTracker t(""); }), "data_dir must not be empty");
    EXPECT_EQ(message_of<IOError>([&] { SearchTracker t(dir.file("absent")); }),
              "Directory does not exist: " + dir.file("absent"));
    { std::ofstream(dir.file("plain")) << "x"; }
    EXPECT_EQ(message_of<IOError>([&] { SearchTracker t(dir.file("plain")); }),
              "Directory does not exist: " + dir.file("plain"));
    EXPECT_FALSE(fs::exists(dir.file("absent")));
}

TEST(TrackerConstruction, StorageSelectionFollowsTheEnvironment) {
    TempDir dir;
    {
        EnvVar url("PLINTROVE_DB_URL", "mysql://host/db");
        EXPECT_EQ(message_of<ValueError>([&] { SearchTracker t(dir.path()); }),
                  "PLINTROVE_DB_URL must start with postgresql:// or postgres:// for "
                  "SearchTracker Postgres storage.");
    }
    {
        EnvVar url("PLINTROVE_DB_URL", "POSTGRESQL://host/db");  // the prefix is case-sensitive
        EXPECT_NE(message_of<ValueError>([&] { SearchTracker t(dir.path()); }), "<no error>");
    }
    {
        EnvVar url("PLINTROVE_DB_URL", "postgres://host/db");
        EXPECT_NE(message_of<RuntimeError>([&] { SearchTracker t(dir.path()); }).find("PostgreSQL"),
                  std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir.file("tracking.db")));
    EnvVar url("PLINTROVE_DB_URL", "");
    SearchTracker t(dir.path());
    EXPECT_FALSE(t.db_url().has_value());
    EXPECT_EQ(t.db_path(), dir.file("tracking.db"));
    EXPECT_TRUE(fs::exists(dir.file("tracking.db")));
}

TEST(TrackerConstruction, CreatesTheFullSchemaAtVersionTwoAndIsIdempotent) {
    EnvVar url("PLINTROVE_DB_URL", nullptr);
    TempDir dir;
    const std::string db = dir.file("tracking.db");
    { SearchTracker t(dir.path()); t.close(); }
    EXPECT_EQ(disk_rows(db, "PRAGMA user_version")[0][0], "2");
    EXPECT_EQ(disk_rows(db, "PRAGMA journal_mode")[0][0], "wal");

    std::set<std::string> tables;
    for (auto& r : disk_rows(db, "SELECT name FROM sqlite_master WHERE type='table'")) tables.insert(r[0]);
    for (auto name : kDbInfoTables) EXPECT_TRUE(tables.count(std::string(name))) << name;
    EXPECT_TRUE(tables.count("sims"));

    std::set<std::string> indexes;
    for (auto& r : disk_rows(db, "SELECT name FROM sqlite_master WHERE type='index'")) indexes.insert(r[0]);
    for (const auto& entry : kTableIndexes) {
        for (std::size_t i = 0; i < entry.count; ++i) {
            EXPECT_TRUE(indexes.count(std::string(entry.names[i]))) << entry.names[i];
            auto owner = disk_rows(db, "SELECT tbl_name FROM sqlite_master WHERE name='" +
                                           std::string(entry.names[i]) + "'");
            EXPECT_EQ(owner[0][0], entry.table);
        }
    }

    // Every column the statements of the tracker name.
    const std::map<std::string, std::vector<std::string>> required{
        {"signal_evaluations",
         {"eval_id", "timestamp", "era_id", "graph_json", "tree_depth", "rotation_families_json",
          "passed_thresholds", "sharpe", "returns", "turnover", "drawdown", "delta_exposure",
          "max_weight", "quality_score", "agent_is_correlation", "per_column_stats_json",
          "rejection_reason", "named_universe", "metaparameters", "submitted",
          "liquidity_metrics_json", "source", "expression_elapsed_seconds", "is_correlation",
          "is_pnl_mi", "agent_is_pnl_mi", "failure_reason", "failure_detail", "signal_pool_id",
          "instance_id", "author_id"}},
        {"strategy_evaluations",
         {"referenced_signal_ids_json", "strategy_pool_id", "strategy_signal_pool", "instance_id"}},
        {"signal_function_usage",
         {"eval_id", "function_name", "rotation_family", "function_family", "function_subfamily"}},
        {"strategy_feature_usage", {"eval_id", "feature_name", "feature_family", "feature_subfamily"}},
        {"strategy_submission_queue",
         {"queue_id", "eval_id", "strategy_pool_id", "payload_json", "era_id", "priority",
          "created_at", "instance_id", "author_id"}},
        {"signal_submission_attempts",
         {"attempt_id", "eval_id", "signal_pool_id", "idempotency_key", "era_id", "payload_json",
          "started_at", "instance_id", "author_id"}},
        {"strategy_submission_status",
         {"status_id", "eval_id", "strategy_pool_id", "strategy_signal_pool", "submission_id",
          "sim_id", "era_id", "status", "submitted_at", "last_polled_at", "finalized_at",
          "is_stats_json", "payment_json", "payment_usdc", "useful_flag", "rejection_reason",
          "instance_id", "author_id"}},
        {"signal_submission_retry",
         {"retry_id", "eval_id", "signal_pool_id", "payload_json", "era_id", "retry_count",
          "last_rejection_reason", "retry_after", "created_at", "instance_id", "author_id"}},
    };
    for (const auto& [table, columns] : required) {
        auto have = disk_columns(db, table);
        for (const auto& c : columns) EXPECT_TRUE(have.count(c)) << table << "." << c;
    }
    auto sims = disk_columns(db, "sims");
    for (auto c : kSimInsertColumns) EXPECT_TRUE(sims.count(std::string(c))) << c;
    EXPECT_FALSE(disk_columns(db, "strategy_evaluations").count("signal_pool_id"));

    const std::string dump_sql = "SELECT type, name, sql FROM sqlite_master ORDER BY name";
    auto before = disk_rows(db, dump_sql);
    { SearchTracker again(dir.path()); again.close(); }
    EXPECT_EQ(disk_rows(db, dump_sql), before);
    EXPECT_EQ(disk_rows(db, "PRAGMA user_version")[0][0], "2");
    EXPECT_FALSE(fs::exists(db + ".pre-pool-redesign"));
}

TEST(TrackerConstruction, KeysUniquenessAndReferencesBehaveAsTheStatementsNeed) {
    EnvVar url("PLINTROVE_DB_URL", nullptr);
    TempDir dir;
    SearchTracker t(dir.path());
    ConnWrapper& c = t.conn();

    // Autoincrement keys keep a counter row named after the table.
    c.execute("INSERT INTO signal_evaluations (timestamp, era_id) VALUES (1.0, 1)");
    c.execute("INSERT INTO signal_function_usage (eval_id, function_name) VALUES (1, 'f')");
    c.commit();
    EXPECT_EQ((*c.execute("SELECT seq FROM sqlite_sequence WHERE name=?", {Value("signal_evaluations")})
                   .fetchone())[0],
              Value(1));

    c.execute("INSERT INTO signal_submission_attempts (eval_id, idempotency_key) VALUES (1, 'k')");
    Cursor dup = c.execute("INSERT OR IGNORE INTO signal_submission_attempts (eval_id, idempotency_key) "
                           "VALUES (1, 'k')");
    EXPECT_EQ(dup.rowcount(), 0);
    c.commit();

    // A status row needs its sims parent.
    EXPECT_EQ(message_of<DatabaseError>([&] {
                  c.execute("INSERT INTO signal_submission_status (eval_id, submission_id, sim_id, status) "
                            "VALUES (1, 's', 'sim-1', 'pending')");
              }),
              "FOREIGN KEY constraint failed");
    c.rollback();
    c.execute("INSERT INTO sims (id) VALUES ('sim-1')");
    c.execute("INSERT INTO signal_submission_status (eval_id, submission_id, sim_id, status) "
              "VALUES (1, 's', 'sim-1', 'pending')");
    // Evaluations are deletable although usage and submission rows still name them.
    c.execute("DELETE FROM signal_evaluations WHERE eval_id IN (?)", {Value(1)});
    c.commit();
    EXPECT_EQ((*c.execute("SELECT COUNT(*) FROM signal_submission_status").fetchone())[0], Value(1));
}

TEST(TrackerConstruction, OldEvaluationTablesGainTheMigratedColumns) {
    EnvVar url("PLINTROVE_DB_URL", nullptr);
    TempDir dir;
    const std::string db = dir.file("tracking.db");
    raw_exec(db,
             "CREATE TABLE signal_evaluations (eval_id INTEGER PRIMARY KEY AUTOINCREMENT, "
             "timestamp REAL, era_id INTEGER, graph_json TEXT, tree_depth INTEGER, "
             "passed_thresholds INTEGER, agent_is_correlation REAL, named_universe TEXT, "
             "metaparameters TEXT, signal_pool_id TEXT);"
             "INSERT INTO signal_evaluations (timestamp, era_id, signal_pool_id) VALUES (1.0, 3, 'p');");
    { SearchTracker t(dir.path()); t.close(); }
    EXPECT_FALSE(fs::exists(db + ".pre-pool-redesign"));
    auto columns = disk_columns(db, "signal_evaluations");
    for (const auto& [name, type] : kSignalEvalColumnMigrations) EXPECT_TRUE(columns.count(std::string(name))) << name;
    EXPECT_TRUE(columns.count("instance_id"));
    auto rows = disk_rows(db, "SELECT era_id, submitted, source, failure_detail FROM signal_evaluations");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"3", "0", "search", "NULL"}));
    EXPECT_EQ(disk_rows(db, "PRAGMA user_version")[0][0], "2");
}

TEST(TrackerConstruction, ADirectoryInPlaceOfTheFileFailsWithItsPath) {
    EnvVar url("PLINTROVE_DB_URL", nullptr);
    TempDir other;
    fs::create_directory(other.file("tracking.db"));
    try {
        SearchTracker t(other.path());
        FAIL() << "no error";
    } catch (const DatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find(other.file("tracking.db")), std::string::npos) << e.what();
    }
    EXPECT_TRUE(fs::is_directory(other.file("tracking.db")));
}

TEST(TrackerIdentity, ColumnsAreReadAtEachCallAndRequireAnIdentity) {
    EnvVar url("PLINTROVE_DB_URL", nullptr);
    TempDir dir;
    SearchTracker t(dir.path());
    EXPECT_EQ(message_of<ValueError>([&] { t.identity_columns(); }),
              "SearchTracker writes require an attached LibraryIdentity; call set_identity() "
              "before recording evaluations or submissions.");
    auto id = std::make_shared<TestIdentity>("inst-1", "alice");
    t.set_identity(id);
    EXPECT_EQ(t.current_identity(), id);
    IdentityColumns first = t.identity_columns();
    EXPECT_EQ(first.columns, (std::vector<std::string>{"instance_id", "author_id"}));
    EXPECT_EQ(first.values, (Params{Value("inst-1"), Value("alice")}));
    id->author_ = "bob";
    EXPECT_EQ(t.identity_columns().values, (Params{Value("inst-1"), Value("bob")}));
    t.set_identity(nullptr);
    EXPECT_EQ(t.current_identity(), nullptr);
    EXPECT_EQ(message_of<ValueError>([&] { t.identity_columns(); }).substr(0, 22), "SearchTracker writes r");
}

TEST(TrackerClose, ClosedTrackerRefusesUseAndCloseNeverRaises) {
    EnvVar url("PLINTROVE_DB_URL", nullptr);
    TempDir dir;
    SearchTracker t(dir.path());
    t.set_search_active(true);
    EXPECT_TRUE(t.search_active());
    t.close();
    EXPECT_TRUE(t.closed());
    EXPECT_EQ(message_of<IOError>([&] { t.check_closed(); }), "SearchTracker is closed");
    EXPECT_EQ(message_of<IOError>([&] { t.set_search_active(false); }), "SearchTracker is closed");
    t.close();  // harmless
    t.set_identity(std::make_shared<TestIdentity>("i", "a"));  // identity calls still work
    EXPECT_EQ(t.identity_columns().values[1], Value("a"));

    TempDir other;
    SearchTracker failing(other.path());
    std::vector<std::string> logged;
    set_log_sink([&](LogLevel level, const std::string& fmt, const std::vector<Value>& args) {
        logged.push_back(std::to_string(int(level)) + " " + fmt + " " + py_str(args.at(0)));
    });
    int calls = 0;
    failing.conn().replace_close([&] {
        ++calls;
        throw DatabaseError("disk I/O error", SQLITE_IOERR);
    });
    failing.close();
    failing.close();
    set_log_sink(nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(failing.closed());
    EXPECT_EQ(logged, std::vector<std::string>{"30 Error closing database connection: %s disk I/O error"});
}

namespace {

// Runs `fn` without the power to override file permissions: as itself when not root, else
// in a child that drops to an unprivileged user. Returns the DatabaseError text it raised.
std::string database_error_without_privileges(const std::function<void()>& fn) {
    if (geteuid() != 0) return message_of<DatabaseError>(fn);
    int fds[2];
    if (pipe(fds) != 0) return "<pipe failed>";
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::string text = "<could not drop privileges>";
        if (setgid(65534) == 0 && setuid(65534) == 0) text = message_of<DatabaseError>(fn);
        if (write(fds[1], text.data(), text.size()) < 0) _exit(2);
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return text;
}

}  // namespace

TEST(TrackerConstruction, UnwritableLocationsFailNamingTheFile) {
    EnvVar url("PLINTROVE_DB_URL", nullptr);
    TempDir dir;
    fs::create_directory(dir.file("locked"));
    fs::permissions(dir.file("locked"), fs::perms::owner_read | fs::perms::owner_exec |
                                            fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(dir.path(), fs::perms::all);
    const std::string locked_db = dir.file("locked/tracking.db");
    EXPECT_EQ(database_error_without_privileges([&] { SearchTracker t(dir.file("locked")); }),
              "unable to open database file (database file: " + locked_db + ")");
    EXPECT_FALSE(fs::exists(locked_db));

    fs::create_directory(dir.file("ro"));
    fs::permissions(dir.file("ro"), fs::perms::all);
    const std::string ro_db = dir.file("ro/tracking.db");
    { SearchTracker t(dir.file("ro")); t.close(); }
    fs::permissions(ro_db, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string before = [&] {
        std::ifstream in(ro_db, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();
    EXPECT_EQ(database_error_without_privileges([&] { SearchTracker t(dir.file("ro")); }),
              "attempt to write a readonly database (database file: " + ro_db + ")");
    std::ifstream in(ro_db, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), before);
}
