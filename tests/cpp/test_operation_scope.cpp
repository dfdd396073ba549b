#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/core/search_tracker.h"
#include "test_support.h"

namespace plintrove {
namespace {

using test_support::TempDir;

std::int64_t sims(SearchTracker& t) {
    return t.conn().execute("SELECT COUNT(*) FROM sims").fetchone()->at(0).as_int();
}

void insert_sim(SearchTracker& t, const char* id) {
    t.conn().execute("INSERT INTO sims (id) VALUES (?)", {Value(id)});
}

TEST(OperationScope, FailureRollsBackOnlyWhatTheCallOpened) {
    TempDir dir;
    SearchTracker t(dir.path());
    // Without RollBackOnFailure a failed operation leaves its writes pending.
    try {
        OperationScope op(t);
        insert_sim(t, "pending");
        throw ValueError("late failure");
    } catch (const ValueError&) {
    }
    EXPECT_TRUE(t.conn().in_transaction());
    t.conn().rollback();

    try {
        OperationScope op(t, OperationScope::RollBackOnFailure{});
        insert_sim(t, "mine");
        {
            OperationScope nested(t);  // re-entrant, and not the opener
            insert_sim(t, "nested");
        }
        throw ValueError("late failure");
    } catch (const ValueError&) {
    }
    EXPECT_FALSE(t.conn().in_transaction());
    EXPECT_EQ(sims(t), 0);

    // A transaction open on entry is the caller's: left open, its work kept.
    insert_sim(t, "caller");
    try {
        OperationScope op(t, OperationScope::RollBackOnFailure{});
        insert_sim(t, "mine");
        throw ValueError("late failure");
    } catch (const ValueError&) {
    }
    EXPECT_TRUE(t.conn().in_transaction());
    EXPECT_EQ(sims(t), 2);
    t.conn().rollback();

    t.close();
    EXPECT_EQ(test_support::message_of<IOError>([&] { OperationScope op(t); }),
              "SearchTracker is closed");
}

std::atomic<int> g_waits{0};
void counting_hook(const std::function<void()>& wait) {
    ++g_waits;
    wait();
}

TEST(OperationScope, AnotherThreadWaitsThroughTheHookForTheWholeOperation) {
    TempDir dir;
    SearchTracker t(dir.path());
    set_operation_wait_hook(&counting_hook);
    std::atomic<bool> entered{false};
    std::thread other;
    {
        OperationScope op(t);
        insert_sim(t, "first");
        other = std::thread([&] {
            OperationScope theirs(t);
            entered = true;
            // The first operation has ended: its row is committed, no transaction open.
            EXPECT_FALSE(t.conn().in_transaction());
        });
        while (g_waits.load() == 0) std::this_thread::yield();
        EXPECT_FALSE(entered.load());
        t.conn().commit();
    }
    other.join();
    set_operation_wait_hook(nullptr);
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(g_waits.load(), 1);
    EXPECT_EQ(sims(t), 1);
}

}  // namespace
}  // namespace plintrove
