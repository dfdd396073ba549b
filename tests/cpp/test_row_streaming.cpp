// Streaming a statement's rows through a replaced execute: the hook's rows, not the file's.

#include <gtest/gtest.h>

#include "test_support.h"
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "plintrove/storage/conn_wrapper.h"
#include "plintrove/storage/sqlite_connection.h"

using namespace plintrove;
using namespace plintrove::test_support;

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
