// Streaming a statement's rows, from SQLite and through a replaced execute.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/storage/conn_wrapper.h"
#include "plintrove/storage/sqlite_connection.h"

using namespace plintrove;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "plintrove-stream-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (fs::path(path_) / name).string(); }

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

}  // namespace

TEST(SqliteConnection, ForEachRowStreamsWhatExecuteReturns) {
    TempDir dir;
    SqliteConnection c(dir.file("t.db"));
    c.execute("CREATE TABLE t (id INTEGER, name TEXT, x REAL)");
    const std::string long_name(100, 'n');  // beyond any short-string buffer
    for (int i = 0; i < 5; ++i) {
        c.execute("INSERT INTO t VALUES (?, ?, ?)",
                  {Value(i), i == 2 ? Value() : Value(i == 3 ? long_name : "f" + std::to_string(i)),
                   Value(i / 2.0)});
    }
    c.commit();
    const std::string sql = "SELECT id, name, x FROM t WHERE id >= ? ORDER BY id";
    std::vector<Row> streamed;
    c.for_each_row(sql, {Value(1)}, [&](const Row& r) { streamed.push_back(r); });
    EXPECT_EQ(streamed, c.execute(sql, {Value(1)}).fetchall());
    ASSERT_EQ(streamed.size(), 4u);
    EXPECT_TRUE(streamed[1][1].is_none());  // a NULL after a text in the reused row
    EXPECT_EQ(streamed[2][1].as_text(), long_name);

    EXPECT_EQ(message_of<DatabaseError>([&] { c.for_each_row(sql, {}, [](const Row&) {}); }),
              "Incorrect number of bindings supplied. The current statement uses 1, and there "
              "are 0 supplied.");
    // A callback that stops the scan with an error leaves the statement and the lock free.
    int calls = 0;
    EXPECT_EQ(message_of<ValueError>([&] {
                  c.for_each_row(sql, {Value(0)}, [&](const Row&) {
                      if (++calls == 2) throw ValueError("stop");
                  });
              }),
              "stop");
    EXPECT_EQ(calls, 2);
    std::thread other([&] { EXPECT_EQ(c.execute(sql, {Value(4)}).fetchall().size(), 1u); });
    other.join();
    calls = 0;
    c.for_each_row(sql, {Value(0)}, [&](const Row&) { ++calls; });
    EXPECT_EQ(calls, 5);
}

TEST(ConnWrapper, ForEachRowGoesThroughAReplacedExecute) {
    TempDir dir;
    ConnWrapper w(std::make_unique<SqliteConnection>(dir.file("t.db")));
    w.execute("CREATE TABLE t (v)");
    w.execute("INSERT INTO t VALUES (1), (2)");
    w.commit();
    std::vector<std::string> seen;
    w.replace_execute([&](std::string_view sql, const Params& p) {
        seen.emplace_back(sql);
        // The hook's own rows, so the test sees where the streamed rows come from.
        return Cursor({{Value("hooked"), p.at(0)}, {Value("again"), Value()}}, std::nullopt, -1);
    });
    std::vector<Row> got;
    w.for_each_row("SELECT v FROM t WHERE v > ?", {Value(0)}, [&](const Row& r) { got.push_back(r); });
    EXPECT_EQ(seen, std::vector<std::string>{"SELECT v FROM t WHERE v > ?"});
    EXPECT_EQ(got, (std::vector<Row>{{Value("hooked"), Value(0)}, {Value("again"), Value()}}));

    w.replace_execute({});
    got.clear();
    w.for_each_row("SELECT v FROM t WHERE v > ?", {Value(0)}, [&](const Row& r) { got.push_back(r); });
    EXPECT_EQ(got, (std::vector<Row>{{Value(1)}, {Value(2)}}));
    EXPECT_EQ(seen.size(), 1u);
}
