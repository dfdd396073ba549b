#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>
#include <vector>

#include "plintrove/writer/writer_thread.h"

// The final drain's idle window, with items at exact offsets no worker process can keep to.
using namespace plintrove;

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

QueueItem signal_item(double sharpe) {
    QueueItem item;
    item.fields.add(ItemKey::SignalPoolId, Value("pool_a"));
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
