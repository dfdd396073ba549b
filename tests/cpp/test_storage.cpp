#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "plintrove/storage/sqlite_connection.h"

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
