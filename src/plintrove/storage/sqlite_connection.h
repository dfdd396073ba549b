#pragma once
// The raw SQLite connection, with the behaviour of Python's sqlite3 module that the
// tracker relies on: implicit transactions before data-changing statements, lastrowid and
// rowcount as sqlite3 reports them, and its parameter binding rules. One connection is
// shared by the host's threads and the writer thread; it belongs to the process that
// opened it.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "plintrove/core/errors.h"
#include "plintrove/storage/connection.h"
#include "plintrove/storage/wal_checkpointer.h"

struct sqlite3;
struct sqlite3_stmt;

namespace plintrove {

class SqliteConnection : public Connection {
public:
    enum class Mode { ReadWrite, ReadOnly };
    // Opens the file for use from any thread, with a 5 s busy timeout: read-write creates
    // it if absent; read-only opens an existing file through a "mode=ro" URI, so it can
    // never take the write lock. Raises DatabaseError, its message ending with the path,
    // when it cannot.
    explicit SqliteConnection(const std::string& path, Mode mode = Mode::ReadWrite);
    ~SqliteConnection() override;
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    Cursor execute(std::string_view sql, const Params& params = {}) override;
    // Steps the statement under the connection's lock, handing `on_row` one reused row.
    void for_each_row(std::string_view sql, const Params& params, const RowFn& on_row) override;
    void commit() override;
    void rollback() override;
    // Idempotent. In a process other than the opening one the handle is left alone.
    void close() override;
    bool in_transaction() override;
    void check_params(const Params& params, const std::vector<std::string>& columns = {}) override;

    const std::string& path() const { return path_; }
    // True when SQLite could open the file for reading only (its permissions forbid writes).
    bool read_only();
    // Hands the write-ahead log's checkpoints to a WalCheckpointer of this connection's
    // own, stopped and the log truncated when the connection closes.
    void checkpoint_in_background();

private:
    struct CachedStatement {
        sqlite3_stmt* stmt;
        std::uint64_t last_used;
        bool dml;  // opens a transaction when none is open (see is_dml)
    };
    // A statement used lately: its text (the cache's key) and its entry.
    struct RecentStatement {
        const std::string* text = nullptr;
        CachedStatement* entry = nullptr;
    };
    // Lets the cache be searched with the caller's string_view, without a copy.
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

    struct RunResult {
        std::int64_t lastrowid;
        std::int64_t rowcount;
    };
    // Binds and steps one statement under the mutex, calling on_row(stmt, columns) for each
    // result row; lastrowid and rowcount are read under the same lock.
    template <typename OnRow>
    RunResult run(std::string_view sql, const Params& params, OnRow&& on_row);

    void check_process() const;
    void check_open() const;  // call with mutex_ held
    // Null for a text of blanks and comments only.
    CachedStatement* prepare_cached(std::string_view sql);
    [[noreturn]] void raise_last_error() const;
    void finalize_all();
    void end_transaction(const char* sql);

    std::string path_;
    pid_t owner_pid_;
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
    std::unordered_map<std::string, CachedStatement, TextHash, std::equal_to<>> cache_;
    std::uint64_t use_clock_ = 0;
    // Looked through before the cache: the writer and recording cycle through a few long
    // texts, and comparing one with a text of the same length costs less than hashing it.
    std::array<RecentStatement, 8> recent_{};
    std::size_t recent_next_ = 0;
    std::size_t recent_hint_ = 0;  // where the next look starts
    std::unique_ptr<WalCheckpointer> checkpointer_;
};

// `e` with " (database file: <path>)" appended to its message (once), keeping its code.
DatabaseError with_database_path(const DatabaseError& e, const std::string& path);

// Opens the tracker's file, switches it to write-ahead logging and sets the connection
// pragmas. Raises IOError when WAL cannot be enabled (the connection is closed first).
std::unique_ptr<SqliteConnection> open_sqlite_tracker_connection(const std::string& db_path);

// Opens an existing tracker file for reading only and reads its schema, so a missing file
// or one that is not a database fails here. Each read holds a WAL snapshot for one
// statement and never blocks a writer.
std::unique_ptr<SqliteConnection> open_sqlite_reader_connection(const std::string& db_path);

}  // namespace plintrove
