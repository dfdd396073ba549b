#include "plintrove/storage/wal_checkpointer.h"

#include <pthread.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace plintrove {

namespace {

// How long a FULL, RESTART or TRUNCATE checkpoint waits for the writer's transaction or
// for readers before giving up until the next occasion.
constexpr int kCheckpointBusyMs = 2000;
constexpr auto kBusyRetry = std::chrono::microseconds(100);
// How often the thread looks for an idle log when no commit wakes it.
constexpr auto kIdlePoll = std::chrono::milliseconds(100);

using Clock = std::chrono::steady_clock;

std::int64_t page_size_of(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    std::int64_t size = 4096;
    if (sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        size = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    return size > 0 ? size : 4096;
}

}  // namespace

struct WalCheckpointer::State {
    sqlite3* db = nullptr;
    int passive_frames = 0;
    int restart_frames = 0;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool finished = false;
    // The thread runs only while there is log to take care of: it starts at a commit and
    // ends once an idle log has been checkpointed. A process that only reads then stays
    // single-threaded, and the C library's allocator keeps its lock-free fast path: a
    // thread merely waiting made co-occurrence scans 10% slower.
    bool running = false;
    std::thread thread;
    int frames = 0;  // the log's length in frames after the latest commit
    std::uint64_t commits = 0;
    Clock::time_point last_commit = Clock::now();
    std::uint64_t checked = 0;   // commits seen by the latest checkpoint
    std::uint64_t complete = 0;  // commits seen by the latest FULL or RESTART checkpoint
    int checked_frames = 0;      // the log's length then

    // Retries every kBusyRetry up to kCheckpointBusyMs. SQLite's own busy timeout sleeps
    // ever longer between tries, and a writer that never pauses for long would fill that
    // time with commits: the gaps between its transactions are short.
    static int on_busy(void*, int tries) {
        if (tries * kBusyRetry.count() >= kCheckpointBusyMs * 1000) return 0;
        std::this_thread::sleep_for(kBusyRetry);
        return 1;
    }
    // SQLite's commit hook of the shared connection; runs on the committing thread.
    static int on_commit(void* arg, sqlite3*, const char*, int frames);
    void start_thread();  // mutex held
    void run();
    // A passive checkpoint is due once the log has grown by the threshold since the last
    // one, or has passed it again after starting afresh. Mutex held.
    bool passive_due() const {
        return commits != checked && frames >= passive_frames &&
               (frames < checked_frames || frames - checked_frames >= passive_frames);
    }
    bool restart_due() const { return commits != checked && frames >= restart_frames; }
    void checkpoint(int mode) {
        int log = 0, done = 0;
        // A busy or failed checkpoint is tried again at the next occasion; the log only
        // grows meanwhile, and the next RESTART bounds it.
        sqlite3_wal_checkpoint_v2(db, "main", mode, &log, &done);
    }
};

int WalCheckpointer::State::on_commit(void* arg, sqlite3*, const char*, int frames) {
    auto* state = static_cast<State*>(arg);
    bool due;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->frames = frames;
        ++state->commits;
        state->last_commit = Clock::now();
        if (!state->running && !state->stopping) state->start_thread();
        due = frames >= state->passive_frames;
    }
    if (due) state->wake.notify_one();
    return SQLITE_OK;
}

void WalCheckpointer::State::start_thread() {
    // A thread that ended has given up the mutex for good, so this join is short.
    if (thread.joinable()) thread.join();
    try {
        thread = std::thread([this] {
            pthread_setname_np(pthread_self(), kThreadName);
            run();
        });
        running = true;
    } catch (const std::system_error&) {
        // No thread this time: the log grows until a later commit starts one.
    }
}

void WalCheckpointer::State::run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        wake.wait_for(lock, kIdlePoll, [&] { return stopping || restart_due() || passive_due(); });
        if (stopping) break;
        int mode;
        if (restart_due()) {
            mode = SQLITE_CHECKPOINT_RESTART;
        } else if (passive_due()) {
            mode = SQLITE_CHECKPOINT_PASSIVE;
        } else if (Clock::now() - last_commit >= std::chrono::duration<double>(kIdleSeconds)) {
            if (commits == complete) break;  // all in the main file: nothing left to do
            mode = SQLITE_CHECKPOINT_FULL;
        } else {
            continue;
        }
        const std::uint64_t seen = commits;
        checked_frames = frames;
        lock.unlock();
        checkpoint(mode);
        lock.lock();
        checked = seen;
        if (mode != SQLITE_CHECKPOINT_PASSIVE) complete = seen;
    }
    running = false;
}

std::unique_ptr<WalCheckpointer> WalCheckpointer::start(const std::string& path,
                                                        sqlite3* shared) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_handler(db, &State::on_busy, nullptr);
    // The checkpoint's own syncs follow the tracker's durability setting.
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    const std::int64_t page_size = page_size_of(db);

    auto* state = new State;
    state->db = db;
    state->passive_frames = static_cast<int>(kPassiveLogBytes / page_size);
    state->restart_frames = static_cast<int>(kRestartLogBytes / page_size);
    // Replaces SQLite's automatic checkpoint on the shared connection.
    sqlite3_wal_hook(shared, &State::on_commit, state);
    return std::unique_ptr<WalCheckpointer>(new WalCheckpointer(state, getpid()));
}

void WalCheckpointer::finish() {
    if (getpid() != owner_pid_) return;
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->finished) return;
        state_->finished = true;
        state_->stopping = true;
        thread = std::move(state_->thread);
    }
    state_->wake.notify_one();
    if (thread.joinable()) thread.join();
    state_->checkpoint(SQLITE_CHECKPOINT_TRUNCATE);
    sqlite3_close_v2(state_->db);
    state_->db = nullptr;
}

WalCheckpointer::~WalCheckpointer() {
    if (getpid() != owner_pid_) return;
    finish();
    delete state_;
}

}  // namespace plintrove
