#pragma once
// A PostgreSQL connection that runs the tracker's SQLite-dialect statements: each text is
// translated once, prepared once per server connection, and bound server-side. It keeps
// SQLite's transaction rule (INSERT/UPDATE/DELETE open a transaction, other statements run
// in autocommit), reconnects when the server connection is gone, and is shared by the
// host's threads and the writer: one mutex serialises each statement on the libpq handle.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "plintrove/storage/connection.h"
#include "plintrove/storage/postgres_error.h"
#include "plintrove/storage/postgres_translation.h"

struct pg_conn;
struct pg_result;

namespace plintrove {

class PostgresConnection : public Connection {
public:
    // Loads libpq (RuntimeError when it is missing) and connects (PostgresError when the
    // server cannot be reached). A `read_only` session's transactions read only, so its
    // writes fail as on a SQLite file opened for reading.
    explicit PostgresConnection(std::string db_url, bool read_only = false);
    ~PostgresConnection() override;
    PostgresConnection(const PostgresConnection&) = delete;
    PostgresConnection& operator=(const PostgresConnection&) = delete;

    Cursor execute(std::string_view sql, const Params& params = {}) override;
    // Rows arrive one at a time (libpq's single-row mode), so a scan of millions of rows
    // never holds them all.
    void for_each_row(std::string_view sql, const Params& params, const RowFn& on_row) override;
    // Queued behind the statements still to be sent; its failure is reported by the next
    // statement, commit or rollback.
    void execute_unread(std::string_view sql, const Params& params) override;
    // Fails with InterfaceError "connection already closed before commit" when the server
    // connection was lost (after reconnecting, so the next call works).
    void commit() override;
    // A lost connection counts as rolled back.
    void rollback() override;
    // What binding would refuse (NUL, lone surrogates, big integers, containers, values
    // the column cannot hold), raised before a write of several statements sends its first.
    void check_params(const Params& params, const std::vector<std::string>& columns = {}) override;
    void check_statement(std::string_view sql, const Params& params) override;
    // Ends the session. A later statement, commit or rollback finds it closed and opens a
    // new one, as after a lost connection.
    void close() override;
    bool in_transaction() override;
    // An operation that finds a transaction open (the caller's) runs after a savepoint,
    // set with its first statement. When one of its statements fails, the server aborts
    // the whole transaction; the operation's end then rolls back to the savepoint, so the
    // caller's transaction goes on as it was before the operation, as on SQLite.
    void enter_operation() override;
    void leave_operation(bool failed) override;
    std::optional<std::string> dialect() const override { return "postgres"; }

    // The raw connection's view: 0 open, 1 closed by close(), 2 broken.
    int closed();
    // libpq's transaction status: 0 idle, 1 active, 2 in a transaction, 3 in a failed
    // transaction, 4 unknown (no usable connection).
    int transaction_status();
    int server_version();

private:
    struct Pending {
        enum class What { Prepare, Command } what;
        std::string prepared_key;  // Prepare: the cache entry to confirm
        std::string sql;           // Command: the statement as given, to name fields in errors
    };
    struct Result {
        std::vector<Row> rows;
        std::int64_t rowcount = -1;
    };
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

    // All of these are called with mutex_ held.
    void connect();
    void reconnect();
    void check_process() const;
    bool connection_is_closed() const;
    // Reconnects a connection that is closed or that the server has dropped. A drop found
    // while a transaction was open is an error: the transaction is gone.
    void ensure_open();
    const PostgresStatementPlan& plan_for(std::string_view sql);
    // Queues the statement (and the BEGIN it needs) for sending.
    void send_statement(const PostgresStatementPlan& plan, std::string_view sql,
                        const Params& params);
    void send_command(const char* sql);
    // Sends everything queued, waits for every answer and returns the last command's.
    // Raises the first failure among them.
    // With `stream`, the last command's rows go to it one at a time instead of into the result.
    Result sync(const RowFn* stream = nullptr);
    void drop_pending();
    [[noreturn]] void raise_connection_error(const char* fallback);
    bool transaction_open_locally() const;

    std::string db_url_;
    bool read_only_;
    pid_t owner_pid_;
    pg_conn* conn_ = nullptr;
    bool closed_by_user_ = false;
    std::mutex mutex_;
    // Held while the server connection is replaced or closed (re-entrant: reconnect runs
    // inside statements that already hold it).
    std::recursive_mutex connect_lock_;
    std::unordered_map<std::string, PostgresStatementPlan, TextHash, std::equal_to<>> plans_;
    std::unordered_map<std::string, std::string> prepared_;  // translated text + types -> name
    std::uint64_t prepared_serial_ = 0;
    std::vector<Pending> pending_;
    bool begin_pending_ = false;  // a BEGIN is queued but its answer not yet read
    bool implicit_begin_queued_ = false;  // the queued batch opens its own transaction
    int operation_depth_ = 0;
    bool savepoint_wanted_ = false;  // the operation found a transaction open; none set yet
    bool savepoint_set_ = false;     // queued or set, in the transaction still open
};

}  // namespace plintrove
