#include <gtest/gtest.h>

#include "test_support.h"
#include <sys/wait.h>
#include <unistd.h>

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
#include "plintrove/storage/legacy_reset.h"
#include "plintrove/storage/sqlite_connection.h"
#include "plintrove/value/py_repr.h"

using namespace plintrove;
using namespace plintrove::test_support;
namespace fs = std::filesystem;

namespace {


Value scalar(SqliteConnection& c, const std::string& sql, const Params& p = {}) {
    auto row = c.execute(sql, p).fetchone();
    return row ? (*row)[0] : Value("<no row>");
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

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

TEST(SqliteConnection, OpensInWalWithTheTrackerPragmas) {
    TempDir dir;
    auto conn = open_sqlite_tracker_connection(dir.file("tracking.db"));
    EXPECT_EQ(scalar(*conn, "PRAGMA journal_mode"), Value("wal"));
    EXPECT_EQ(scalar(*conn, "PRAGMA foreign_keys"), Value(1));
    EXPECT_EQ(scalar(*conn, "PRAGMA synchronous"), Value(1));  // NORMAL
    EXPECT_EQ(scalar(*conn, "PRAGMA busy_timeout"), Value(5000));
}

TEST(SqliteConnection, ImplicitTransactionsAndCountersFollowSqlite3) {
    TempDir dir;
    SqliteConnection c(dir.file("t.db"));
    c.execute("CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, k TEXT UNIQUE)");
    EXPECT_FALSE(c.in_transaction());  // schema statements run in autocommit
    // A statement that merely mentions INSERT later does not open one.
    c.execute("WITH x AS (SELECT 'INSERT') SELECT * FROM x");
    EXPECT_FALSE(c.in_transaction());
    c.commit();  // nothing open: no error

    Cursor first = c.execute("  \n insert INTO t (k) VALUES (?)", {Value("a")});
    EXPECT_TRUE(c.in_transaction());
    EXPECT_EQ(first.lastrowid(), 1);
    EXPECT_EQ(first.rowcount(), 1);
    c.rollback();
    EXPECT_FALSE(c.in_transaction());
    EXPECT_EQ(scalar(c, "SELECT COUNT(*) FROM t"), Value(0));

    c.execute("REPLACE INTO t (id, k) VALUES (1, 'a')");
    EXPECT_TRUE(c.in_transaction());
    EXPECT_EQ(c.execute("INSERT INTO t (k) VALUES (?)", {Value("b")}).lastrowid(), 2);
    // An ignored insert changes nothing and reports the connection's previous row id.
    Cursor ignored = c.execute("INSERT OR IGNORE INTO t (k) VALUES (?)", {Value("a")});
    EXPECT_EQ(ignored.rowcount(), 0);
    EXPECT_EQ(ignored.lastrowid(), 2);
    EXPECT_EQ(c.execute("UPDATE t SET k = k || 'x'").rowcount(), 2);
    EXPECT_EQ(c.execute("SELECT * FROM t").rowcount(), -1);
    c.commit();
    EXPECT_FALSE(c.in_transaction());

    c.execute("BEGIN IMMEDIATE");
    EXPECT_TRUE(c.in_transaction());
    c.execute("DELETE FROM t WHERE id = ?", {Value(1)});
    c.execute("COMMIT");
    EXPECT_FALSE(c.in_transaction());
    c.execute("BEGIN");
    EXPECT_EQ(message_of<DatabaseError>([&] { c.execute("BEGIN"); }),
              "cannot start a transaction within a transaction");
    c.execute("ROLLBACK");
    // A trailing comment is not a second statement.
    EXPECT_EQ(scalar(c, "SELECT COUNT(*) -- trailing\n FROM t"), Value(1));
}

TEST(SqliteConnection, CachedStatementsMatchTheirWholeTextThroughEviction) {
    TempDir dir;
    SqliteConnection c(dir.file("t.db"));
    // Texts of one length that differ only inside, alternating, and one buffer rewritten in
    // place: each runs its own statement.
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(scalar(c, "SELECT ? + 1", {Value(1)}), Value(2));
        EXPECT_EQ(scalar(c, "SELECT ? + 2", {Value(1)}), Value(3));
    }
    std::string text = "SELECT 'first'";
    EXPECT_EQ(scalar(c, text), Value("first"));
    text.replace(8, 5, "other");
    EXPECT_EQ(scalar(c, text), Value("other"));

    c.execute("PRAGMA synchronous=OFF");
    // More distinct texts than the cache holds, with a hot one in between: evicted and
    // recently used statements are prepared again, never run after being finalized.
    c.execute("CREATE TABLE t (n INTEGER)");
    for (int i = 0; i < 600; ++i) {
        EXPECT_EQ(scalar(c, "SELECT " + std::to_string(i % 300) + " + ?", {Value(1)}),
                  Value(i % 300 + 1));
        c.execute("INSERT INTO t (n) VALUES (?)", {Value(i)});
        EXPECT_TRUE(c.in_transaction());  // an insert opens one, cached or not
        c.commit();
    }
    EXPECT_EQ(scalar(c, "SELECT COUNT(*), SUM(n) FROM t"), Value(600));

    // A run refused at its second parameter leaves the first bound; the next run binds anew.
    EXPECT_EQ(message_of<DatabaseError>([&] {
                  c.execute("SELECT ?, ?", {Value("kept?"), Value(List{Value(1)})});
              }),
              "Error binding parameter 2: type 'list' is not supported");
    auto row = c.execute("SELECT ?, ?", {Value("a"), Value()}).fetchone();
    ASSERT_TRUE(row);
    EXPECT_EQ((*row)[0], Value("a"));
    EXPECT_TRUE((*row)[1].is_none());
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

TEST(SqliteConnection, OpeningErrorsNameTheFileAndLeaveItAlone) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    fs::create_directory(dir.file("locked"));
    fs::permissions(dir.file("locked"), fs::perms::owner_read | fs::perms::owner_exec |
                                            fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    const std::string locked_db = dir.file("locked/tracking.db");
    EXPECT_EQ(database_error_without_privileges([&] { open_sqlite_tracker_connection(locked_db); }),
              "unable to open database file (database file: " + locked_db + ")");
    EXPECT_FALSE(fs::exists(locked_db));

    const std::string ro_db = dir.file("ro.db");
    open_sqlite_tracker_connection(ro_db)->close();
    fs::permissions(ro_db, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string before = read_file(ro_db);
    EXPECT_EQ(database_error_without_privileges([&] { open_sqlite_tracker_connection(ro_db); }),
              "attempt to write a readonly database (database file: " + ro_db + ")");
    EXPECT_EQ(read_file(ro_db), before);
}

TEST(SqliteConnection, WalRefusalClosesAndNamesTheMode) {
    // An in-memory database answers "memory" to the WAL request, like a file system
    // that cannot hold the shared-memory index answers "delete".
    EXPECT_EQ(message_of<IOError>([] { open_sqlite_tracker_connection(":memory:"); }),
              "WAL mode failed to activate (got 'memory'). Check that ':memory:' is on a "
              "local filesystem with write access.");
}

TEST(Logging, WithoutASinkFormatsLikePython) {
    testing::internal::CaptureStderr();
    plintrove::log(LogLevel::Info, "Archived at %s; dropped %d item(s) %r %.2f 100%%",
                   {Value("/a b"), Value(3), Value("q"), Value(0.5)});
    plintrove::log(LogLevel::Warning, "mismatch %d", {Value("text")});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "INFO:plintrove.search_tracking:Archived at /a b; dropped 3 item(s) 'q' 0.50 100%\n"
              "WARNING:plintrove.search_tracking:mismatch %d 'text'\n");
}

TEST(LegacyDetection, RecognisesEveryOldLayoutMark) {
    auto needs_reset = [](const std::string& ddl) {
        TempDir dir;
        SqliteConnection c(dir.file("t.db"));
        std::string rest = ddl;
        for (std::size_t pos; (pos = rest.find(';')) != std::string::npos; rest = rest.substr(pos + 1))
            c.execute(rest.substr(0, pos));
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

TEST(LegacyReset, ArchiveMovesSideFilesAndNeverOverwritesAnEarlierArchive) {
    TempDir dir;
    const std::string db = dir.file("tracking.db");
    write_file(db + ".pre-pool-redesign", "first archive");
    write_file(db, "main");
    write_file(db + "-wal", "log");
    write_file(db + "-shm", "index");
    LogCapture log;
    const auto now = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch()).count();
    };
    const auto before = now();
    archive_pre_pool_redesign_sqlite_db(db, 0);
    const auto after = now();

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
