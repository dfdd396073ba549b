#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/writer/writer_thread.h"

using namespace plintrove;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "plintrove-writer-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class FixedIdentity : public Identity {
public:
    Value instance_id() const override { return Value("inst"); }
    Value author_id() const override { return Value("author"); }
};

QueueItem signal_item(double sharpe, Value pool = Value("pool_a")) {
    QueueItem item;
    item.fields = Value(Mapping{
        {Value("graph"), Value(Mapping{{Value("type"), Value("rotation")},
                                       {Value("node"), Value("rank")},
                                       {Value("children"),
                                        Value(List{Value(Mapping{{Value("type"), Value("feature")},
                                                                 {Value("node"), Value("close")}})})}})},
        {Value("signal_pool_id"), std::move(pool)}});
    item.stats = BacktestStats{};
    item.stats->sharpe = sharpe;
    return item;
}

// Items that become available at fixed offsets from the queue's creation; get() waits for
// the next one up to its time-out, as a queue fed by another process's thread would.
class ScriptedQueue : public EvaluationQueue {
public:
    explicit ScriptedQueue(std::vector<double> offsets) : start_(Clock::now()) {
        for (double offset : offsets) pending_.push_back(offset);
    }
    std::optional<QueueItem> get(double timeout) override {
        if (!pending_.empty()) {
            const double wait = std::min(timeout, pending_.front() - since(start_));
            if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
        }
        return get_nowait();
    }
    std::optional<QueueItem> get_nowait() override {
        if (pending_.empty() || pending_.front() > since(start_)) return std::nullopt;
        pending_.pop_front();
        return signal_item(static_cast<double>(taken_++));
    }
    Clock::time_point start() const { return start_; }

private:
    Clock::time_point start_;
    std::deque<double> pending_;
    int taken_ = 0;
};

// Everything ready at once; optionally raising where a Python queue would raise.
class ReadyQueue : public EvaluationQueue {
public:
    ReadyQueue(std::size_t n, bool raise) : raise_(raise) {
        for (std::size_t i = 0; i < n; ++i) items_.push_back(signal_item(static_cast<double>(i)));
    }
    std::optional<QueueItem> get(double timeout) override {
        if (raise_) throw std::runtime_error("queue is closed");
        std::this_thread::sleep_for(std::chrono::duration<double>(timeout));
        return get_nowait();
    }
    std::optional<QueueItem> get_nowait() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (items_.empty()) {
            if (raise_) throw std::runtime_error("queue is closed");
            return std::nullopt;
        }
        QueueItem item = std::move(items_.front());
        items_.pop_front();
        return item;
    }
    void push(QueueItem item) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(item));
    }

private:
    bool raise_;
    std::mutex mutex_;
    std::deque<QueueItem> items_;
};

class RecordingStatus : public SearchStatus {
public:
    void set_error_code(const std::string& c) { code = c; }
    void set_recovery_advice(const std::string& a) { advice = a; }
    void set_running(bool r) { running = r; }
    void append_error(const std::string& e) { errors.push_back(e); }
    std::string code, advice;
    bool running = true;
    std::vector<std::string> errors;
};

struct Host {
    TempDir dir;
    std::shared_ptr<SearchTracker> tracker =
        std::make_shared<SearchTracker>(dir.path(), std::make_shared<FixedIdentity>());
    std::shared_ptr<RecordingStatus> status = std::make_shared<RecordingStatus>();
    std::atomic<int> stops{0};
    std::vector<std::string> statements;

    Host() {
        tracker->conn().replace_execute([this](std::string_view sql, const Params& params) {
            statements.emplace_back(sql);
            return tracker->conn().real().execute(sql, params);
        });
    }
    ~Host() { tracker->close(); }

    std::unique_ptr<WriterThread> writer(std::shared_ptr<EvaluationQueue> q) {
        return std::make_unique<WriterThread>(tracker, std::move(q), status, [this] { ++stops; });
    }
    std::int64_t stored() {
        return tracker->conn().real().execute("SELECT COUNT(*) FROM signal_evaluations")
            .fetchone()->at(0).as_int();
    }
    long count(const std::string& sql) const {
        return std::count(statements.begin(), statements.end(), sql);
    }
};

}  // namespace

TEST(WriterFinalDrain, TakesItemsUntilTheQueueHasBeenQuietForTheIdleWindow) {
    auto q = std::make_shared<ScriptedQueue>(std::vector<double>{0.0, 0.03, 0.06, 0.25});
    WriterThread w(nullptr, q, nullptr, nullptr);
    std::vector<QueueItem> items = w.drain_queue(true);
    const double elapsed = since(q->start());
    EXPECT_EQ(items.size(), 3u);  // the item at 0.25 s comes after 0.05 s of quiet
    EXPECT_GE(elapsed, 0.06 + kFinalDrainIdleSeconds - 0.005);
    EXPECT_LT(elapsed, 0.2);
}

TEST(WriterFinalDrain, EndsAtTheHardLimitWhileItemsKeepComing) {
    std::vector<double> offsets;
    for (int i = 0; i < 300; ++i) offsets.push_back(0.01 * i);
    auto q = std::make_shared<ScriptedQueue>(offsets);
    WriterThread w(nullptr, q, nullptr, nullptr);
    std::vector<QueueItem> items = w.drain_queue(true);
    const double elapsed = since(q->start());
    EXPECT_GE(elapsed, kFinalDrainLimitSeconds - 0.005);
    EXPECT_LT(elapsed, kFinalDrainLimitSeconds + kFinalDrainGetTimeoutSeconds + 0.1);
    EXPECT_GT(items.size(), 80u);
    EXPECT_LT(items.size(), 110u);
}

TEST(WriterFinalDrain, OrdinaryDrainNeverWaitsAndQueueErrorsEndDrains) {
    auto scripted = std::make_shared<ScriptedQueue>(std::vector<double>{0.0, 0.5});
    WriterThread w(nullptr, scripted, nullptr, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(w.drain_queue().size(), 1u);
    EXPECT_LT(since(start), 0.01);

    WriterThread raising(nullptr, std::make_shared<ReadyQueue>(2, true), nullptr, nullptr);
    EXPECT_EQ(raising.drain_queue().size(), 2u);
    EXPECT_TRUE(raising.drain_queue(true).empty());
}

TEST(WriterThreadRun, ReadyItemsMakeOneTransactionAndShutdownFlushesTheRest) {
    Host host;
    auto q = std::make_shared<ReadyQueue>(250, false);
    auto w = host.writer(q);
    w->start();
    const auto start = Clock::now();
    while (host.stored() < 250 && since(start) < 2.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(host.stored(), 250);
    q->push(signal_item(1000.0));  // below the batch size: written by the final flush
    w->stop();
    EXPECT_TRUE(w->finished_event()->is_set());
    EXPECT_EQ(host.stored(), 251);
    EXPECT_EQ(host.count("BEGIN"), 2);
    EXPECT_EQ(host.count("COMMIT"), 2);
    EXPECT_EQ(host.stops.load(), 0);
    EXPECT_TRUE(host.status->running);
    EXPECT_THROW(w->start(), RuntimeError);  // one object runs once
}
