// Threads taking from the submission and retry queues: one tracker shared by all threads
// (one connection), and one tracker per thread (one connection each) on the same file.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <latch>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/submission/retry_queue.h"
#include "plintrove/submission/submission_queue.h"
#include "plintrove/submission/submission_recording.h"

using namespace plintrove;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "plintrove-submission-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class FixedIdentity : public Identity {
public:
    Value instance_id() const override { return Value("inst"); }
    Value author_id() const override { return Value("author"); }
};

std::unique_ptr<SearchTracker> open_tracker(const std::string& dir) {
    return std::make_unique<SearchTracker>(dir, std::make_shared<FixedIdentity>());
}

using Taken = std::multiset<std::pair<std::string, std::int64_t>>;

// Fills both queues with `items` items each; returns what a complete drain must hand out.
Taken fill(SearchTracker& t, int items) {
    Taken expected;
    for (int n = 0; n < items; ++n) {
        const char* type = n % 2 == 0 ? "signal" : "strategy";
        auto queue_id = (n % 3 == 0 ? requeue_submission : enqueue_submission)(
            t, n, Value(type), std::string("{}"), 1, Value("p"), Value("p"));
        expected.emplace(std::string("queue ") + type, *queue_id);
        auto retry_id =
            enqueue_retry(t, n, Value(type), std::string("{}"), 1, Value("r"), std::nullopt,
                          Value("p"), Value("p"));
        expected.emplace(std::string("retry ") + type, *retry_id);
    }
    return expected;
}

// Runs `threads` takers, each with the tracker `tracker_for(i)` gives it, until both queues
// are empty; returns everything handed out.
template <typename TrackerFor>
Taken drain(int threads, TrackerFor tracker_for) {
    Taken taken;
    std::mutex mutex;
    std::vector<std::thread> pool;
    std::latch start(threads);
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back([&, i] {
            SearchTracker& t = tracker_for(i);
            Taken mine;
            start.arrive_and_wait();
            bool more = true;
            while (more) {
                more = false;
                if (auto item = dequeue_submission(t)) {
                    mine.emplace("queue " + item->eval_type, item->queue_id);
                    more = true;
                }
                if (auto item = dequeue_retryable(t)) {
                    mine.emplace("retry " + item->eval_type, item->retry_id);
                    more = true;
                }
            }
            std::lock_guard<std::mutex> lock(mutex);
            taken.insert(mine.begin(), mine.end());
        });
    }
    for (auto& th : pool) th.join();
    return taken;
}

}  // namespace

TEST(SubmissionConcurrency, ThreadsSharingOneTrackerTakeEachItemOnce) {
    TempDir dir;
    auto tracker = open_tracker(dir.path());
    for (int run = 0; run < 3; ++run) {
        Taken expected = fill(*tracker, 150);
        Taken taken = drain(4, [&](int) -> SearchTracker& { return *tracker; });
        EXPECT_EQ(taken, expected) << "run " << run;
        EXPECT_FALSE(dequeue_submission(*tracker));
        EXPECT_FALSE(dequeue_retryable(*tracker));
    }
}

TEST(SubmissionConcurrency, ThreadsWithTheirOwnTrackersTakeEachItemOnce) {
    TempDir dir;
    std::vector<std::unique_ptr<SearchTracker>> trackers;
    for (int i = 0; i < 4; ++i) trackers.push_back(open_tracker(dir.path()));
    for (int run = 0; run < 3; ++run) {
        Taken expected = fill(*trackers[0], 100);
        Taken taken = drain(4, [&](int i) -> SearchTracker& { return *trackers[i]; });
        EXPECT_EQ(taken, expected) << "run " << run;
    }
}

TEST(SubmissionConcurrency, OneRecordingPerSimAcrossTrackers) {
    TempDir dir;
    std::vector<std::unique_ptr<SearchTracker>> trackers;
    for (int i = 0; i < 4; ++i) trackers.push_back(open_tracker(dir.path()));
    SearchTracker& setup = *trackers[0];
    setup.conn().execute("INSERT INTO signal_evaluations (signal_pool_id) VALUES ('p')");
    setup.conn().commit();
    for (int run = 0; run < 5; ++run) {
        std::string sim_id = "sim-" + std::to_string(run);
        std::vector<std::string> outcomes(trackers.size());
        std::vector<std::thread> pool;
        std::latch start(static_cast<std::ptrdiff_t>(trackers.size()));
        for (std::size_t i = 0; i < trackers.size(); ++i) {
            pool.emplace_back([&, i] {
                SubmissionRecordArgs args;
                args.eval_id = 1;
                args.eval_type = Value("signal");
                args.submission_id = Value("sub-" + std::to_string(i));
                args.era_id = Value(1);
                args.sim_id = Value(sim_id);
                start.arrive_and_wait();
                try {
                    record_submission_once_and_mark_submitted(*trackers[i], args);
                    outcomes[i] = "ok";
                } catch (const std::exception& e) {
                    outcomes[i] = e.what();
                }
            });
        }
        for (auto& th : pool) th.join();
        std::multiset<std::string> seen(outcomes.begin(), outcomes.end());
        EXPECT_EQ(seen.count("ok"), 1u) << "run " << run;
        EXPECT_EQ(seen.count("sim_id='" + sim_id + "' already submitted"), trackers.size() - 1);
        auto rows = setup.conn()
                        .execute("SELECT COUNT(*) FROM signal_submission_status WHERE sim_id=?",
                                 {Value(sim_id)})
                        .fetchone();
        EXPECT_EQ((*rows)[0], Value(1));
    }
}
