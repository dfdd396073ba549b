#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/logging.h"
#include "plintrove/storage/conn_wrapper.h"
#include "plintrove/storage/legacy_reset.h"
#include "plintrove/storage/normalized_index_sql.h"
#include "plintrove/storage/sqlite_catalog.h"
#include "plintrove/storage/sqlite_connection.h"
#include "plintrove/value/py_repr.h"

using namespace plintrove;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "plintrove-storage-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (fs::path(path_) / name).string(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
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

Value scalar(SqliteConnection& c, const std::string& sql, const Params& p = {}) {
    auto row = c.execute(sql, p).fetchone();
    return row ? (*row)[0] : Value("<no row>");
}

}  // namespace

TEST(SqliteConnection, OpensInWalWithTheTrackerPragmas) {
    TempDir dir;
    auto conn = open_sqlite_tracker_connection(dir.file("tracking.db"));
    EXPECT_EQ(scalar(*conn, "PRAGMA journal_mode"), Value("wal"));
    EXPECT_EQ(scalar(*conn, "PRAGMA foreign_keys"), Value(1));
    EXPECT_EQ(scalar(*conn, "PRAGMA synchronous"), Value(1));  // NORMAL
    EXPECT_EQ(scalar(*conn, "PRAGMA busy_timeout"), Value(5000));
    EXPECT_TRUE(fs::exists(dir.file("tracking.db")));
}

TEST(SqliteConnection, ImplicitTransactionsFollowSqlite3) {
    TempDir dir;
    SqliteConnection c(dir.file("t.db"));
    c.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v)");
    EXPECT_FALSE(c.in_transaction());  // schema statements run in autocommit
    c.execute("SELECT * FROM t");
    EXPECT_FALSE(c.in_transaction());
    c.commit();  // nothing open: no error

    c.execute("  \n insert INTO t (v) VALUES (?)", {Value(1)});
    EXPECT_TRUE(c.in_transaction());
    c.rollback();
    EXPECT_FALSE(c.in_transaction());
    EXPECT_EQ(scalar(c, "SELECT COUNT(*) FROM t"), Value(0));

    c.execute("REPLACE INTO t (id, v) VALUES (1, 'a')");
    EXPECT_TRUE(c.in_transaction());
    c.commit();
    EXPECT_FALSE(c.in_transaction());

    // A statement that merely mentions INSERT later does not open one.
    c.execute("WITH x AS (SELECT 1) SELECT * FROM x");
    EXPECT_FALSE(c.in_transaction());

    c.execute("BEGIN IMMEDIATE");
    EXPECT_TRUE(c.in_transaction());
    c.execute("UPDATE t SET v='b'");
    c.execute("COMMIT");
    EXPECT_FALSE(c.in_transaction());
    EXPECT_EQ(scalar(c, "SELECT v FROM t"), Value("b"));

    c.execute("BEGIN");
    EXPECT_EQ(message_of<DatabaseError>([&] { c.execute("BEGIN"); }),
              "cannot start a transaction within a transaction");
    c.execute("ROLLBACK");
}

TEST(SqliteConnection, LastrowidAndRowcountAsSqlite3ReportsThem) {
    TempDir dir;
    SqliteConnection c(dir.file("t.db"));
    c.execute("CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, k TEXT UNIQUE)");
    Cursor first = c.execute("INSERT INTO t (k) VALUES (?)", {Value("a")});
    EXPECT_EQ(first.lastrowid(), 1);
    EXPECT_EQ(first.rowcount(), 1);
    EXPECT_EQ(c.execute("INSERT INTO t (k) VALUES (?)", {Value("b")}).lastrowid(), 2);
    // An ignored insert changes nothing and reports the connection's previous row id.
    Cursor ignored = c.execute("INSERT OR IGNORE INTO t (k) VALUES (?)", {Value("a")});
    EXPECT_EQ(ignored.rowcount(), 0);
    EXPECT_EQ(ignored.lastrowid(), 2);
    EXPECT_EQ(c.execute("UPDATE t SET k = k || 'x'").rowcount(), 2);
    EXPECT_EQ(c.execute("DELETE FROM t WHERE id = ?", {Value(1)}).rowcount(), 1);
    EXPECT_EQ(c.execute("SELECT * FROM t").rowcount(), -1);
    c.commit();
}

TEST(SqliteConnection, RowsAndParametersConvertLikeSqlite3) {
    TempDir dir;
    SqliteConnection c(dir.file("t.db"));
    Cursor cur = c.execute("SELECT ?, ?, ?, ?, ?, ?",
                           {Value(), Value(true), Value(7), Value(2.5), Value("tx\xc3\xa9"), Value(false)});
    auto rows = cur.fetchall();
    ASSERT_EQ(rows.size(), 1u);
    const Row& r = rows[0];
    EXPECT_TRUE(r[0].is_none());
    EXPECT_TRUE(r[1].is_int());
    EXPECT_EQ(r[1].as_int(), 1);
    EXPECT_EQ(r[2].as_int(), 7);
    EXPECT_TRUE(r[3].is_float());
    EXPECT_EQ(r[3].as_float(), 2.5);
    EXPECT_EQ(r[4].as_text(), "tx\xc3\xa9");
    EXPECT_EQ(r[5].as_int(), 0);
    EXPECT_FALSE(cur.fetchone().has_value());
    EXPECT_TRUE(cur.fetchall().empty());

    // fetchone then fetchall returns only what is left, in order.
    Cursor three = c.execute("SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3");
    EXPECT_EQ((*three.fetchone())[0], Value(1));
    auto rest = three.fetchall();
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[1][0], Value(3));
}

TEST(SqliteConnection, BindingErrorsUseSqlite3Wording) {
    TempDir dir;
    SqliteConnection c(dir.file("t.db"));
    EXPECT_EQ(message_of<TypeError>([&] { c.execute("SELECT ?, ?", {Value(1), Value(List{})}); }),
              "Error binding parameter 2: type 'list' is not supported");
    EXPECT_EQ(message_of<TypeError>([&] { c.execute("SELECT ?", {Value(Mapping{})}); }),
              "Error binding parameter 1: type 'dict' is not supported");
    EXPECT_EQ(message_of<ValueError>(
                  [&] { c.execute("SELECT ?", {Value(BigInt{"99999999999999999999"})}); }),
              "Python int too large to convert to SQLite INTEGER");
    try {
        c.execute("SELECT ?, ?", {Value(1)});
        FAIL() << "no error";
    } catch (const DatabaseError& e) {
        EXPECT_STREQ(e.what(),
                     "Incorrect number of bindings supplied. The current statement uses 2, and "
                     "there are 1 supplied.");
    }
    EXPECT_EQ(message_of<DatabaseError>([&] { c.execute("SELECT 1; SELECT 2"); }),
              "You can only execute one statement at a time.");
    // A trailing comment is not a second statement; the statement still works afterwards.
    EXPECT_EQ(scalar(c, "SELECT ? -- trailing\n", {Value(4)}), Value(4));
    EXPECT_EQ(scalar(c, "SELECT ?, ?", {Value(5), Value(6)}), Value(5));
}

TEST(SqliteConnection, StorageErrorsCarryTheExtendedCode) {
    TempDir dir;
    SqliteConnection c(dir.file("t.db"));
    c.execute("CREATE TABLE t (k TEXT UNIQUE)");
    c.execute("INSERT INTO t VALUES ('a')");
    try {
        c.execute("INSERT INTO t VALUES ('a')");
        FAIL() << "no error";
    } catch (const DatabaseError& e) {
        EXPECT_STREQ(e.what(), "UNIQUE constraint failed: t.k");
        EXPECT_EQ(e.sqlite_code(), SQLITE_CONSTRAINT_UNIQUE);
    }
    try {
        c.execute("SELECT nope FROM t");
        FAIL() << "no error";
    } catch (const DatabaseError& e) {
        EXPECT_STREQ(e.what(), "no such column: nope");
        EXPECT_EQ(e.sqlite_code(), SQLITE_ERROR);
    }
    c.commit();
    EXPECT_EQ(scalar(c, "SELECT COUNT(*) FROM t"), Value(1));
}

TEST(SqliteConnection, CloseIsIdempotentAndRefusesLaterUse) {
    TempDir dir;
    SqliteConnection c(dir.file("t.db"));
    c.close();
    c.close();
    EXPECT_EQ(message_of<DatabaseError>([&] { c.execute("SELECT 1"); }),
              "Cannot operate on a closed database.");
    EXPECT_EQ(message_of<DatabaseError>([&] { c.commit(); }), "Cannot operate on a closed database.");
}

TEST(SqliteConnection, SharedByThreadsWithoutMixingResults) {
    TempDir dir;
    auto conn = open_sqlite_tracker_connection(dir.file("tracking.db"));
    conn->execute("CREATE TABLE t (id INTEGER PRIMARY KEY, thread INTEGER, n INTEGER)");
    constexpr int kThreads = 4, kRows = 150;
    std::vector<std::thread> threads;
    std::vector<std::set<std::int64_t>> ids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kRows; ++n) {
                Cursor cur = conn->execute("INSERT INTO t (thread, n) VALUES (?, ?)", {Value(t), Value(n)});
                ids[t].insert(*cur.lastrowid());
                // Every thread's own SELECT sees a full, consistent row set.
                auto rows = conn->execute("SELECT thread, n FROM t WHERE id = ?", {Value(*cur.lastrowid())}).fetchall();
                EXPECT_EQ(rows.size(), 1u);
                conn->commit();
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::int64_t> all;
    for (auto& s : ids) all.insert(s.begin(), s.end());
    EXPECT_EQ(all.size(), std::size_t(kThreads * kRows));
    EXPECT_EQ(scalar(*conn, "SELECT COUNT(*) FROM t"), Value(kThreads * kRows));
}

TEST(SqliteConnection, AForkedChildMayNeitherUseNorCloseTheParentsConnection) {
    TempDir dir;
    auto conn = open_sqlite_tracker_connection(dir.file("tracking.db"));
    conn->execute("CREATE TABLE t (v)");
    pid_t child = fork();
    if (child == 0) {
        int status = 0;
        try {
            conn->execute("SELECT 1");
            status = 1;
        } catch (const RuntimeError& e) {
            if (std::string(e.what()).find("cannot be used in process") == std::string::npos) status = 2;
        } catch (...) {
            status = 3;
        }
        conn->close();  // must leave the parent's handle alone
        _exit(status);
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 0);
    conn->execute("INSERT INTO t VALUES (1)");
    conn->commit();
    EXPECT_EQ(scalar(*conn, "SELECT COUNT(*) FROM t"), Value(1));
}

TEST(SqliteConnection, OpeningErrorsNameThePathAndKeepTheFile) {
    TempDir dir;
    try {
        SqliteConnection c(dir.file("missing/tracking.db"));
        FAIL() << "no error";
    } catch (const DatabaseError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "unable to open database file (database file: " + dir.file("missing/tracking.db") + ")");
        EXPECT_EQ(e.sqlite_code() & 0xff, SQLITE_CANTOPEN);
    }

    const std::string junk(200, 'x');
    { std::ofstream(dir.file("tracking.db"), std::ios::binary) << junk; }
    try {
        open_sqlite_tracker_connection(dir.file("tracking.db"));
        FAIL() << "no error";
    } catch (const DatabaseError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "file is not a database (database file: " + dir.file("tracking.db") + ")");
        EXPECT_EQ(e.sqlite_code(), SQLITE_NOTADB);
    }
    std::ifstream in(dir.file("tracking.db"), std::ios::binary);
    std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(back, junk);
    EXPECT_FALSE(fs::exists(dir.file("tracking.db-wal")));
}

TEST(SqliteConnection, WalRefusalClosesAndNamesTheMode) {
    // An in-memory database answers "memory" to the WAL request, like a file system
    // that cannot hold the shared-memory index answers "delete".
    try {
        open_sqlite_tracker_connection(":memory:");
        FAIL() << "no error";
    } catch (const IOError& e) {
        EXPECT_STREQ(e.what(),
                     "WAL mode failed to activate (got 'memory'). Check that ':memory:' is on a "
                     "local filesystem with write access.");
    }
}

TEST(ConnWrapper, ReplacementsRunInsteadOfTheRealCalls) {
    TempDir dir;
    ConnWrapper w(std::make_unique<SqliteConnection>(dir.file("t.db")));
    w.execute("CREATE TABLE t (v)");
    std::vector<std::string> seen;
    w.replace_execute([&](std::string_view sql, const Params& p) {
        seen.emplace_back(sql);
        return w.real().execute(sql, p);
    });
    int commits = 0;
    w.replace_commit([&] { ++commits; });
    EXPECT_TRUE(w.execute_replaced());
    w.execute("INSERT INTO t VALUES (?)", {Value(1)});
    w.commit();  // swallowed by the replacement: the insert stays pending
    EXPECT_EQ(commits, 1);
    EXPECT_TRUE(w.in_transaction());
    w.rollback();  // always the real one
    EXPECT_FALSE(w.in_transaction());
    EXPECT_EQ(seen, std::vector<std::string>{"INSERT INTO t VALUES (?)"});

    w.replace_execute({});
    w.replace_commit({});
    EXPECT_FALSE(w.execute_replaced());
    w.execute("INSERT INTO t VALUES (2)");
    w.commit();
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ((*w.execute("SELECT COUNT(*) FROM t").fetchone())[0], Value(1));
    EXPECT_FALSE(w.dialect().has_value());

    bool closed_by_hook = false;
    w.replace_close([&] { closed_by_hook = true; });
    w.close();
    EXPECT_TRUE(closed_by_hook);
    EXPECT_EQ((*w.execute("SELECT 1").fetchone())[0], Value(1));  // the real one stayed open
}

TEST(Logging, SinkReceivesFormatAndArgsAndDefaultFormatsLikePython) {
    std::vector<std::string> got;
    set_log_sink([&](LogLevel level, const std::string& fmt, const std::vector<Value>& args) {
        got.push_back(std::to_string(static_cast<int>(level)) + "|" + fmt + "|" + std::to_string(args.size()));
    });
    log(LogLevel::Warning, "x %s", {Value("y")});
    EXPECT_EQ(got, std::vector<std::string>{"30|x %s|1"});

    set_log_sink(nullptr);
    testing::internal::CaptureStderr();
    log(LogLevel::Info, "Archived at %s; dropped %d item(s) %r %.2f 100%%",
        {Value("/a b"), Value(3), Value("q"), Value(0.5)});
    log(LogLevel::Warning, "mismatch %d", {Value("text")});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "INFO:plintrove.search_tracking:Archived at /a b; dropped 3 item(s) 'q' 0.50 100%\n"
              "WARNING:plintrove.search_tracking:mismatch %d 'text'\n");
}

// ---- catalogue, legacy detection and reset ---------------------------------------------

namespace {

struct LogCapture {
    std::vector<std::string> lines;
    LogCapture() {
        set_log_sink([this](LogLevel level, const std::string& fmt, const std::vector<Value>& args) {
            std::string line = std::to_string(static_cast<int>(level)) + " " + fmt;
            for (const Value& a : args) line += " | " + py_str(a);
            lines.push_back(line);
        });
    }
    ~LogCapture() { set_log_sink(nullptr); }
};

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(SqliteCatalog, TablesColumnsAndQuotedNames) {
    TempDir dir;
    SqliteConnection c(dir.file("t.db"));
    c.execute("CREATE TABLE \"odd\"\"name\" (a, \"b c\")");
    c.execute("CREATE VIEW v AS SELECT 1 AS x");
    EXPECT_TRUE(sqlite_table_exists(c, "odd\"name"));
    EXPECT_FALSE(sqlite_table_exists(c, "v"));
    EXPECT_FALSE(sqlite_table_exists(c, "absent"));
    EXPECT_EQ(sqlite_table_columns(c, "odd\"name"), (std::set<std::string>{"a", "b c"}));
    EXPECT_TRUE(sqlite_table_columns(c, "absent").empty());
    EXPECT_EQ(quote_sqlite_identifier("a\"b"), "\"a\"\"b\"");
}

TEST(SqliteCatalog, EnsureColumnsAddsOnlyWhatIsMissing) {
    TempDir dir;
    ConnWrapper w(std::make_unique<SqliteConnection>(dir.file("t.db")));
    w.execute("CREATE TABLE t (a)");
    w.execute("INSERT INTO t VALUES (1)");
    w.commit();
    std::vector<std::string> statements;
    w.replace_execute([&](std::string_view sql, const Params& p) {
        statements.emplace_back(sql);
        return w.real().execute(sql, p);
    });
    const std::array<ColumnType, 3> columns{{{"a", "TEXT"}, {"b", "INTEGER NOT NULL DEFAULT 0"}, {"c", "TEXT"}}};
    const std::array<TableColumns, 2> entries{{{"missing", columns}, {"t", columns}}};
    sqlite_ensure_columns(w, entries);
    std::vector<std::string> alters;
    for (const auto& s : statements)
        if (s.rfind("ALTER", 0) == 0) alters.push_back(s);
    EXPECT_EQ(alters, (std::vector<std::string>{"ALTER TABLE \"t\" ADD COLUMN b INTEGER NOT NULL DEFAULT 0",
                                                "ALTER TABLE \"t\" ADD COLUMN c TEXT"}));
    EXPECT_FALSE(sqlite_table_exists(w, "missing"));
    EXPECT_EQ((*w.execute("SELECT a, b, c FROM t").fetchone()), (Row{Value(1), Value(0), Value()}));

    statements.clear();
    sqlite_ensure_columns(w, entries);  // everything present: reads only
    for (const auto& s : statements) EXPECT_TRUE(s.rfind("ALTER", 0) != 0) << s;
}

TEST(LegacyDetection, RecognisesEveryOldLayoutMark) {
    auto needs_reset = [](const std::string& ddl) {
        TempDir dir;
        SqliteConnection c(dir.file("t.db"));
        if (!ddl.empty()) {
            std::string rest = ddl;
            std::size_t pos;
            while ((pos = rest.find(';')) != std::string::npos) {
                c.execute(rest.substr(0, pos));
                rest = rest.substr(pos + 1);
            }
        }
        return sqlite_needs_pre_pool_redesign_reset(c);
    };
    const std::string current_signal =
        "CREATE TABLE signal_evaluations (eval_id, signal_pool_id, agent_is_correlation);";
    const std::string current_strategy =
        "CREATE TABLE strategy_evaluations (eval_id, strategy_pool_id, strategy_signal_pool, "
        "agent_is_correlation);";

    EXPECT_FALSE(needs_reset(""));
    EXPECT_FALSE(needs_reset(current_signal + current_strategy));
    EXPECT_TRUE(needs_reset(current_signal + "CREATE TABLE submission_status (x);"));
    EXPECT_TRUE(needs_reset("CREATE TABLE signal_evaluations (eval_id, signal_pool_id);"));
    EXPECT_TRUE(needs_reset(
        "CREATE TABLE strategy_evaluations (strategy_pool_id, strategy_signal_pool, "
        "agent_is_correlation, signal_pool_id);"));
    EXPECT_TRUE(needs_reset(current_signal + "CREATE TABLE signal_submission_queue (signal_pool_id, pool_id);"));
    EXPECT_TRUE(needs_reset(
        "CREATE TABLE signal_evaluations (signal_pool_id, agent_is_correlation, correlation);"));
    EXPECT_TRUE(needs_reset("CREATE TABLE strategy_submission_retry (strategy_pool_id, is_weights_mi);"));
    EXPECT_TRUE(needs_reset("CREATE TABLE strategy_submission_status (strategy_pool_id);"));
    // Tables outside the detection list do not matter, whatever their columns.
    EXPECT_FALSE(needs_reset("CREATE TABLE sims (id, pool_id);"));
}

TEST(LegacyReset, ArchivesAnOldDatabaseAndOpensAnEmptyOne) {
    TempDir dir;
    const std::string db = dir.file("tracking.db");
    {
        auto old = open_sqlite_tracker_connection(db);
        old->execute("CREATE TABLE submission_queue (id INTEGER PRIMARY KEY, pool_id TEXT)");
        old->execute("CREATE TABLE signal_submission_queue (id INTEGER PRIMARY KEY, signal_pool_id TEXT)");
        for (int i = 0; i < 3; ++i) old->execute("INSERT INTO submission_queue (pool_id) VALUES ('p')");
        old->execute("INSERT INTO signal_submission_queue (signal_pool_id) VALUES ('p')");
        old->commit();
        EXPECT_EQ(sqlite_pre_redesign_queue_count(*old), 4);
    }
    LogCapture log;
    auto conn = reset_pre_pool_redesign_sqlite_db_if_needed(db, open_sqlite_tracker_connection(db));
    EXPECT_TRUE(conn->execute("SELECT name FROM sqlite_master").fetchall().empty());
    EXPECT_EQ((*conn->execute("PRAGMA journal_mode").fetchone())[0], Value("wal"));
    EXPECT_EQ(log.lines,
              std::vector<std::string>{
                  "20 Archived pre-pool-redesign SQLite tracker database at %s; dropped %d "
                  "pre-redesign queued item(s). | " + db + ".pre-pool-redesign | 4"});
    SqliteConnection archived(db + ".pre-pool-redesign");
    EXPECT_EQ((*archived.execute("SELECT COUNT(*) FROM submission_queue").fetchone())[0], Value(3));

    // A current database is handed back untouched.
    conn->execute("CREATE TABLE signal_evaluations (signal_pool_id, agent_is_correlation)");
    SqliteConnection* same = conn.get();
    auto kept = reset_pre_pool_redesign_sqlite_db_if_needed(db, std::move(conn));
    EXPECT_EQ(kept.get(), same);
    EXPECT_EQ(log.lines.size(), 1u);
}

TEST(LegacyReset, ArchiveMovesSideFilesAndNeverOverwritesAnEarlierArchive) {
    TempDir dir;
    const std::string db = dir.file("tracking.db");
    write_file(db + ".pre-pool-redesign", "first archive");
    write_file(db, "main");
    write_file(db + "-wal", "log");
    write_file(db + "-shm", "index");
    LogCapture log;
    const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    archive_pre_pool_redesign_sqlite_db(db, 0);
    const auto after = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count();

    EXPECT_EQ(read_file(db + ".pre-pool-redesign"), "first archive");
    std::string archive;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        std::string name = entry.path().filename().string();
        if (name.rfind("tracking.db.pre-pool-redesign.", 0) == 0 && name.find('-', 30) == std::string::npos)
            archive = entry.path().string();
    }
    ASSERT_FALSE(archive.empty());
    const long long stamp = std::stoll(archive.substr(archive.rfind('.') + 1));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(read_file(archive), "main");
    EXPECT_EQ(read_file(archive + "-wal"), "log");
    EXPECT_EQ(read_file(archive + "-shm"), "index");
    EXPECT_FALSE(fs::exists(db));
    EXPECT_FALSE(fs::exists(db + "-wal"));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find(" | " + archive + " | 0"), std::string::npos);
}

TEST(LegacyReset, AFailedMoveRaisesWithoutLogging) {
    TempDir dir;
    LogCapture log;
    const std::string db = dir.file("tracking.db");
    EXPECT_EQ(message_of<IOError>([&] { archive_pre_pool_redesign_sqlite_db(db, 1); }),
              "[Errno 2] No such file or directory: '" + db + "' -> '" + db + ".pre-pool-redesign'");
    EXPECT_TRUE(log.lines.empty());
}

TEST(NormalizedIndexSql, CollapsesBlanksAndUppercases) {
    EXPECT_EQ(normalized_index_sql(std::nullopt), "");
    EXPECT_EQ(normalized_index_sql(""), "");
    EXPECT_EQ(normalized_index_sql("  create index  idx_a\n\ton t(a,  b)  \n"),
              "CREATE INDEX IDX_A ON T(A, B)");
    EXPECT_EQ(normalized_index_sql("CREATE INDEX idx_a ON t(a, b)"),
              normalized_index_sql("create   index idx_a\non t(a, b)"));
}
