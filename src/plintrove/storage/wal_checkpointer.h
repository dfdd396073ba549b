#pragma once
// Folds the tracker's write-ahead log back into the database file on a thread of its own,
// through a connection of its own, so that no caller's commit pays for a checkpoint's
// reads, writes and fsyncs. SQLite's automatic checkpoint is replaced on the shared
// connection: that one runs inside whichever commit crosses its threshold.
//
// Passive checkpoints run once the log passes kPassiveLogBytes; they never wait for the
// writer, so a writer that never pauses could outrun them, and past kRestartLogBytes a
// RESTART checkpoint waits for the writer's current transaction and makes the next one
// start the log afresh, which bounds the log. A FULL checkpoint runs once commits have
// stopped for kIdleSeconds, and a TRUNCATE one when the checkpointer is finished.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

struct sqlite3;

namespace plintrove {

class WalCheckpointer {
public:
    static constexpr std::int64_t kPassiveLogBytes = 4 << 20;
    static constexpr std::int64_t kRestartLogBytes = 64 << 20;
    static constexpr double kIdleSeconds = 0.5;
    // The thread's name, as the system lists it.
    static constexpr const char* kThreadName = "plintrove-wal";

    // Opens its own connection to `path` and takes over `shared`'s commit notifications;
    // the thread starts at a commit and ends once the log is idle and checkpointed.
    // Returns null, leaving SQLite's automatic checkpoint in place, when the second
    // connection cannot be opened.
    static std::unique_ptr<WalCheckpointer> start(const std::string& path, sqlite3* shared);

    // Call once the shared connection is closed: stops the thread, truncates the log and
    // closes the checkpointer's connection. Idempotent.
    void finish();
    // In a forked child the thread does not exist and the connection belongs to the
    // parent: nothing is touched, and what the parent owned is left allocated.
    ~WalCheckpointer();

    WalCheckpointer(const WalCheckpointer&) = delete;
    WalCheckpointer& operator=(const WalCheckpointer&) = delete;

private:
    struct State;
    WalCheckpointer(State* state, pid_t owner) : state_(state), owner_pid_(owner) {}

    State* state_;
    pid_t owner_pid_;
};

}  // namespace plintrove
