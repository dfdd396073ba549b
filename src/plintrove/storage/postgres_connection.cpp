#include "plintrove/storage/postgres_connection.h"

#include <poll.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "plintrove/core/logging.h"
#include "plintrove/storage/libpq_library.h"
#include "plintrove/storage/lone_surrogates.h"
#include "plintrove/storage/postgres_bootstrap.h"

namespace plintrove {

namespace {

// Type OIDs of the server's built-in types (pg_type.dat).
constexpr Oid kBoolOid = 16;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kOidOid = 26;
constexpr Oid kFloat4Oid = 700;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kNumericOid = 1700;

constexpr const char* kWriteLockSql = "SELECT pg_advisory_xact_lock(7291564031)";

// Past this many distinct texts a statement runs unnamed instead of being prepared, so a
// host issuing ever-new texts cannot grow the server session without bound.
constexpr std::size_t kMaxPrepared = 1024;
constexpr std::size_t kMaxPlans = 4096;
// Unread statements are flushed well before either side's socket buffer could fill.
constexpr std::size_t kMaxUnread = 512;

std::string trim_message(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

bool parse_int(const char* text, int length, std::int64_t& out) {
    auto [end, ec] = std::from_chars(text, text + length, out);
    return ec == std::errc() && end == text + length;
}

Value parse_float(const char* text, int length) {
    double d = 0;
    auto [end, ec] = std::from_chars(text, text + length, d);
    if (ec == std::errc() && end == text + length) return Value(d);
    // The server spells the specials "NaN", "Infinity", "-Infinity".
    std::string_view s(text, static_cast<std::size_t>(length));
    if (s == "NaN") return Value(std::nan(""));
    if (s == "Infinity") return Value(HUGE_VAL);
    if (s == "-Infinity") return Value(-HUGE_VAL);
    return Value(std::string(s));
}

// Values typed as SQLite returns them: integers (also the bigint and numeric results of
// sums and counts) as integers, reals as floats, truth values as 0/1, the rest as text.
Value column_value(const LibPq& pq, const PGresult* res, int row, int col, Oid type) {
    if (pq.getisnull(res, row, col)) return Value();
    const char* text = pq.getvalue(res, row, col);
    const int length = pq.getlength(res, row, col);
    switch (type) {
        case kInt8Oid:
        case kInt4Oid:
        case kInt2Oid:
        case kOidOid: {
            std::int64_t v = 0;
            if (parse_int(text, length, v)) return Value(static_cast<long long>(v));
            break;
        }
        case kFloat4Oid:
        case kFloat8Oid: return parse_float(text, length);
        case kNumericOid: {
            std::int64_t v = 0;
            if (parse_int(text, length, v)) return Value(static_cast<long long>(v));
            if (std::memchr(text, '.', static_cast<std::size_t>(length)) == nullptr &&
                std::strpbrk(text, "eEN") == nullptr) {
                std::string_view digits(text, static_cast<std::size_t>(length));
                return Value(BigInt{std::string(digits)});
            }
            return parse_float(text, length);
        }
        case kBoolOid: return Value(static_cast<long long>(text[0] == 't' ? 1 : 0));
        default: break;
    }
    return Value(std::string(text, static_cast<std::size_t>(length)));
}

// Names the field of a parameter in errors: by the column the statement binds it to, or
// by the columns the caller gave.
struct FieldNames {
    std::string_view sql;
    const std::vector<std::string>* columns = nullptr;

    std::string operator()(std::size_t index) const {
        const std::vector<std::string> parsed =
            columns ? std::vector<std::string>() : placeholder_columns(sql);
        const std::vector<std::string>& names = columns ? *columns : parsed;
        std::string name = "parameter " + std::to_string(index + 1);
        if (index < names.size() && !names[index].empty()) name += " (" + names[index] + ")";
        return name;
    }
};

[[noreturn]] void refuse(const FieldNames& names, std::size_t index, const std::string& what,
                         const char* sqlstate) {
    throw PostgresError("PostgreSQL cannot store " + names(index) + ": " + what,
                        PostgresError::Kind::Database, sqlstate);
}

const char* kind_name(const Value& v) {
    return v.is_list() ? "list" : v.is_map() ? "dict" : "object";
}

// The text forms and types of one statement's parameters. Integers are sent typed, so
// they compare and sum as numbers; reals, text and NULL are left for the server to type
// from the column they meet, as a literal would be. A value meeting a column of another
// type is converted or refused first, as that column's type decides.
struct BoundParams {
    std::vector<Oid> types;
    std::vector<const char*> values;
    std::vector<std::string> numbers;
    std::string signature;  // one letter per type: the prepared statement's key

    BoundParams(const FieldNames& names, const Params& params, const PostgresStatementPlan& plan) {
        const std::size_t n = params.size();
        types.resize(n);
        values.resize(n);
        numbers.resize(n);
        signature.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Value& v = params[i];
            if (v.is_float() && std::isnan(v.as_float())) {
                // SQLite binds NaN as NULL, whatever the column.
                types[i] = 0;
                values[i] = nullptr;
                signature[i] = 'u';
                continue;
            }
            if (i < plan.param_types.size() && !postgres_column_takes(v, plan.param_types[i])) {
                ColumnValue converted = postgres_column_value(v, plan.param_types[i]);
                if (converted.form == ColumnValue::Form::Refused)
                    refuse(names, i, converted.text, "22P02");
                if (converted.form == ColumnValue::Form::Text) {
                    numbers[i] = std::move(converted.text);
                    values[i] = numbers[i].c_str();
                    types[i] = 0;
                    signature[i] = 'u';
                    continue;
                }
            }
            char buffer[32];
            switch (v.kind()) {
                case Value::Kind::None:
                    types[i] = 0;
                    values[i] = nullptr;
                    signature[i] = 'u';
                    break;
                case Value::Kind::Bool:
                case Value::Kind::Int: {
                    const std::int64_t x = v.is_bool() ? (v.as_bool() ? 1 : 0) : v.as_int();
                    auto end = std::to_chars(buffer, buffer + sizeof buffer, x).ptr;
                    numbers[i].assign(buffer, end);
                    types[i] = kInt8Oid;
                    signature[i] = 'i';
                    break;
                }
                case Value::Kind::Float: {
                    // Untyped like text: a real meets a REAL column exactly (shortest
                    // round-trip digits), and an integer column refuses 1.5 instead of
                    // silently rounding it, as a float8 parameter would.
                    const double x = v.as_float();
                    if (std::isinf(x)) numbers[i] = x > 0 ? "Infinity" : "-Infinity";
                    else numbers[i].assign(buffer, std::to_chars(buffer, buffer + sizeof buffer, x).ptr);
                    types[i] = 0;
                    signature[i] = 'u';
                    break;
                }
                case Value::Kind::Text: {
                    const std::string& text = v.as_text();
                    if (text.find('\0') != std::string::npos)
                        refuse(names, i, "text with a NUL character", "22021");
                    refuse_lone_surrogates(text);
                    types[i] = 0;
                    values[i] = text.c_str();
                    signature[i] = 'u';
                    break;
                }
                case Value::Kind::BigInt:
                    // The error kind Python's own drivers raise for such an integer.
                    throw OverflowError("PostgreSQL cannot store " + names(i) +
                                        ": the integer " + v.as_big_int().digits +
                                        " does not fit in 64 bits");
                default:
                    // A DB-API programming error, which this storage's DatabaseError covers.
                    throw PostgresError("Error binding parameter " + std::to_string(i + 1) +
                                            ": type '" + kind_name(v) + "' is not supported",
                                        PostgresError::Kind::Database);
            }
            if (!numbers[i].empty()) values[i] = numbers[i].c_str();
        }
        for (std::size_t i : plan.jsonb_params) {
            if (i >= n || !params[i].is_text()) continue;
            if (const char* why = jsonb_refusal(params[i].as_text()))
                refuse(names, i, why, std::strstr(why, "NaN") ? "22P02" : "22P05");
        }
    }
};

pid_t current_pid() { return getpid(); }

}  // namespace

PostgresConnection::PostgresConnection(std::string db_url, bool read_only)
    : db_url_(std::move(db_url)), read_only_(read_only), owner_pid_(current_pid()) {
    libpq();  // a missing library fails here, before anything else
    std::lock_guard<std::mutex> lock(mutex_);
    connect();
}

PostgresConnection::~PostgresConnection() {
    try {
        close();
    } catch (...) {
        // A destructor cannot report.
    }
}

void PostgresConnection::check_process() const {
    const pid_t now = current_pid();
    if (now != owner_pid_) {
        throw RuntimeError("PostgreSQL connection was opened in process " +
                           std::to_string(owner_pid_) + " and cannot be used in process " +
                           std::to_string(now) +
                           " (after fork()); create a new SearchTracker in this process.");
    }
}

void PostgresConnection::connect() {
    std::lock_guard<std::recursive_mutex> lock(connect_lock_);
    const LibPq& pq = libpq();
    // Later keywords override what the URL says: the tracker sends and reads UTF-8.
    const char* keywords[] = {"dbname", "client_encoding", "fallback_application_name", nullptr};
    const char* values[] = {db_url_.c_str(), "UTF8", "plintrove", nullptr};
    PGconn* conn = pq.connectdbParams(keywords, values, 1);
    if (!conn || pq.status(conn) != CONNECTION_OK) {
        std::string message = conn ? trim_message(pq.errorMessage(conn)) : "out of memory";
        if (conn) pq.finish(conn);
        throw PostgresError(message, PostgresError::Kind::Operational);
    }
    if (read_only_) {
        // Set before pipelining starts, so it never stands queued as if it were a statement.
        bool set = pq.sendQueryParams(conn, "SET default_transaction_read_only = on", 0, nullptr,
                                      nullptr, nullptr, nullptr, 0) != 0;
        while (PGresult* res = pq.getResult(conn)) {
            set = set && pq.resultStatus(res) == PGRES_COMMAND_OK;
            pq.clear(res);
        }
        if (!set) {
            std::string message = trim_message(pq.errorMessage(conn));
            pq.finish(conn);
            throw PostgresError(message, PostgresError::Kind::Operational);
        }
    }
    if (!pq.enterPipelineMode(conn)) {
        std::string message = trim_message(pq.errorMessage(conn));
        pq.finish(conn);
        throw PostgresError(message, PostgresError::Kind::Operational);
    }
    conn_ = conn;
    closed_by_user_ = false;
    prepared_.clear();
    pending_.clear();
    begin_pending_ = false;
    savepoint_wanted_ = false;
    savepoint_set_ = false;
    configure_postgres_connection(pq, conn);
}

void PostgresConnection::reconnect() {
    std::lock_guard<std::recursive_mutex> lock(connect_lock_);
    if (conn_) libpq().finish(conn_);
    conn_ = nullptr;
    connect();
}

bool PostgresConnection::connection_is_closed() const {
    return !conn_ || closed_by_user_ || libpq().status(conn_) != CONNECTION_OK;
}

void PostgresConnection::ensure_open() {
    // A session closed by close() is replaced like a lost one: the tracker refuses use once
    // closed, so only a holder of the connection itself (a writer still running) gets here.
    if (connection_is_closed()) {
        reconnect();
        return;
    }
    // A server that ended the session (a restart, pg_terminate_backend) has said so on the
    // socket; reading it now lets an idle connection be replaced before the statement
    // instead of failing it.
    const LibPq& pq = libpq();
    const bool had_transaction = transaction_open_locally() || !pending_.empty();
    // The farewell message and the end of the stream may arrive in separate reads.
    bool alive = true;
    for (int reads = 0; alive && reads < 4; ++reads) {
        pollfd fd{pq.socket(conn_), POLLIN, 0};
        if (::poll(&fd, 1, 0) <= 0) break;
        alive = pq.consumeInput(conn_) && pq.status(conn_) == CONNECTION_OK;
    }
    if (alive) return;
    if (!had_transaction) {
        reconnect();
        return;
    }
    std::string message = trim_message(pq.errorMessage(conn_));
    pending_.clear();
    begin_pending_ = false;
    throw PostgresError(message.empty() ? "server closed the connection unexpectedly" : message,
                        PostgresError::Kind::Operational);
}

bool PostgresConnection::transaction_open_locally() const {
    return begin_pending_ || libpq().transactionStatus(conn_) != PQTRANS_IDLE;
}

const PostgresStatementPlan& PostgresConnection::plan_for(std::string_view sql) {
    auto found = plans_.find(sql);
    if (found != plans_.end()) return found->second;
    if (plans_.size() >= kMaxPlans) plans_.clear();
    return plans_.emplace(std::string(sql), plan_postgres_statement(sql)).first->second;
}

void PostgresConnection::send_command(const char* sql) {
    const LibPq& pq = libpq();
    if (!pq.sendQueryParams(conn_, sql, 0, nullptr, nullptr, nullptr, nullptr, 0))
        raise_connection_error("could not send a statement to the server");
    pending_.push_back({Pending::What::Command, {}, {}});
}

void PostgresConnection::send_statement(const PostgresStatementPlan& plan, std::string_view sql,
                                        const Params& params) {
    const LibPq& pq = libpq();
    Params translated;
    const Params& bound_params =
        plan.uses_json_paths ? (translated = translate_json_extract_params(params)) : params;
    // Every value is checked before anything of the statement is sent.
    BoundParams bound(FieldNames{sql}, bound_params, plan);
    const int n = static_cast<int>(bound.types.size());

    if (savepoint_wanted_) {
        savepoint_wanted_ = false;
        if (transaction_open_locally()) {
            send_command("SAVEPOINT plintrove_operation");
            savepoint_set_ = true;
        }
    }

    if (plan.data_changing && !transaction_open_locally()) {
        send_command("BEGIN");
        begin_pending_ = true;
        implicit_begin_queued_ = true;
    }

    std::string key = plan.sql;
    key += '\0';
    key += bound.signature;
    auto found = prepared_.find(key);
    const char* name = nullptr;
    if (found != prepared_.end()) {
        name = found->second.c_str();
    } else if (prepared_.size() < kMaxPrepared) {
        std::string fresh = "plintrove_" + std::to_string(++prepared_serial_);
        if (!pq.sendPrepare(conn_, fresh.c_str(), plan.sql.c_str(), n, bound.types.data()))
            raise_connection_error("could not send a statement to the server");
        // Usable by the statements queued after it; dropped again if preparing fails.
        name = prepared_.emplace(key, std::move(fresh)).first->second.c_str();
        pending_.push_back({Pending::What::Prepare, std::move(key), {}});
    }
    const int ok = name ? pq.sendQueryPrepared(conn_, name, n, bound.values.data(), nullptr,
                                               nullptr, 0)
                        : pq.sendQueryParams(conn_, plan.sql.c_str(), n, bound.types.data(),
                                             bound.values.data(), nullptr, nullptr, 0);
    if (!ok) raise_connection_error("could not send a statement to the server");
    pending_.push_back({Pending::What::Command, {}, std::string(sql)});
}

void PostgresConnection::raise_connection_error(const char* fallback) {
    std::string message = trim_message(libpq().errorMessage(conn_));
    pending_.clear();
    begin_pending_ = false;
    implicit_begin_queued_ = false;
    throw PostgresError(message.empty() ? fallback : message, PostgresError::Kind::Operational);
}

PostgresConnection::Result PostgresConnection::sync(const RowFn* stream) {
    const LibPq& pq = libpq();
    if (!pq.pipelineSync(conn_) || pq.flush(conn_) != 0)
        raise_connection_error("could not send a statement to the server");

    Result last;
    std::optional<PostgresError> failure;
    std::vector<Pending> pending = std::move(pending_);
    pending_.clear();
    begin_pending_ = false;
    const bool opened_transaction = implicit_begin_queued_;
    implicit_begin_queued_ = false;
    std::exception_ptr stream_error;
    Row streamed;
    for (const Pending& item : pending) {
        // Streaming hands the last command's rows over one at a time, never holding them all.
        const bool streaming = stream && &item == &pending.back();
        if (streaming) pq.setSingleRowMode(conn_);
        PGresult* res = pq.getResult(conn_);
        while (streaming && res && pq.resultStatus(res) == PGRES_SINGLE_TUPLE) {
            if (!stream_error) {
                const int ncols = pq.nfields(res);
                streamed.resize(static_cast<std::size_t>(ncols));
                for (int c = 0; c < ncols; ++c)
                    streamed[static_cast<std::size_t>(c)] = column_value(pq, res, 0, c, pq.ftype(res, c));
                try {
                    (*stream)(streamed);
                } catch (...) {
                    // The rest of the answer is still read, so the session stays usable.
                    stream_error = std::current_exception();
                }
            }
            pq.clear(res);
            res = pq.getResult(conn_);
        }
        if (!res) {
            // Nothing more will come: the connection broke.
            if (!failure) failure.emplace(trim_message(pq.errorMessage(conn_)),
                                          PostgresError::Kind::Operational);
            break;
        }
        const ExecStatusType status = pq.resultStatus(res);
        last = Result{};
        if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
            const int nrows = pq.ntuples(res);
            const int ncols = pq.nfields(res);
            if (status == PGRES_TUPLES_OK && nrows > 0) {
                std::vector<Oid> types(static_cast<std::size_t>(ncols));
                for (int c = 0; c < ncols; ++c) types[static_cast<std::size_t>(c)] = pq.ftype(res, c);
                last.rows.reserve(static_cast<std::size_t>(nrows));
                for (int r = 0; r < nrows; ++r) {
                    Row row;
                    row.reserve(static_cast<std::size_t>(ncols));
                    for (int c = 0; c < ncols; ++c)
                        row.push_back(column_value(pq, res, r, c, types[static_cast<std::size_t>(c)]));
                    last.rows.push_back(std::move(row));
                }
            }
            const char* count = pq.cmdTuples(res);
            std::int64_t n = 0;
            if (count && *count && parse_int(count, static_cast<int>(std::strlen(count)), n))
                last.rowcount = n;
        } else {
            if (item.what == Pending::What::Prepare) prepared_.erase(item.prepared_key);
            if (status != PGRES_PIPELINE_ABORTED && !failure) {
                const char* state = pq.resultErrorField(res, PG_DIAG_SQLSTATE);
                std::string message = trim_message(pq.resultErrorField(res, PG_DIAG_MESSAGE_PRIMARY));
                if (message.empty()) message = trim_message(pq.resultErrorMessage(res));
                if (const char* detail = pq.resultErrorField(res, PG_DIAG_MESSAGE_DETAIL))
                    message += "\nDETAIL:  " + trim_message(detail);
                if (const char* context = pq.resultErrorField(res, PG_DIAG_CONTEXT)) {
                    message += "\nCONTEXT:  " + trim_message(context);
                    // "... parameter $2 = '...'": name the field the value was meant for.
                    const char* mark = std::strstr(context, "parameter $");
                    std::size_t index = 0;
                    if (mark && std::sscanf(mark, "parameter $%zu", &index) == 1 && index > 0)
                        message += " (" + FieldNames{item.sql}(index - 1) + ")";
                }
                std::string sqlstate = state ? state : "";
                failure.emplace(message, sqlstate.empty() ? PostgresError::Kind::Operational
                                                          : PostgresError::kind_of_sqlstate(sqlstate),
                                sqlstate);
            }
        }
        pq.clear(res);
        // Each command's results end with a null result.
        while (PGresult* extra = pq.getResult(conn_)) pq.clear(extra);
    }
    if (pq.status(conn_) == CONNECTION_OK) {
        PGresult* res = pq.getResult(conn_);
        while (res && pq.resultStatus(res) != PGRES_PIPELINE_SYNC) {
            pq.clear(res);
            res = pq.getResult(conn_);
        }
        if (res) pq.clear(res);
    } else if (!failure) {
        failure.emplace(trim_message(pq.errorMessage(conn_)), PostgresError::Kind::Operational);
    }
    if (pq.status(conn_) != CONNECTION_OK || pq.transactionStatus(conn_) == PQTRANS_IDLE) {
        savepoint_set_ = false;  // ended with its transaction
    }
    if (failure && opened_transaction && pq.status(conn_) == CONNECTION_OK &&
        pq.transactionStatus(conn_) == PQTRANS_INERROR) {
        // The statement that opened this transaction failed, so nothing of it was written;
        // left aborted, the transaction would refuse every later statement on the shared
        // session, where SQLite just undoes the one statement. End it.
        send_command("ROLLBACK");
        try {
            sync();
        } catch (const PostgresError&) {
            // The statement's own error is the one to report.
        }
    }
    if (failure) throw *failure;
    if (stream_error) std::rethrow_exception(stream_error);
    return last;
}

void PostgresConnection::check_params(const Params& params, const std::vector<std::string>& columns) {
    PostgresStatementPlan plan;
    for (const std::string& column : columns) plan.param_types.push_back(postgres_column_type(column));
    BoundParams(FieldNames{{}, &columns}, params, plan);
}

void PostgresConnection::check_statement(std::string_view sql, const Params& params) {
    check_process();
    std::lock_guard<std::mutex> lock(mutex_);
    const PostgresStatementPlan& plan = plan_for(sql);
    if (plan.kind != StatementKind::Statement) return;
    Params translated;
    const Params& bound_params =
        plan.uses_json_paths ? (translated = translate_json_extract_params(params)) : params;
    BoundParams(FieldNames{sql}, bound_params, plan);
}

void PostgresConnection::drop_pending() {
    pending_.clear();
    begin_pending_ = false;
    implicit_begin_queued_ = false;
    savepoint_set_ = false;
}

Cursor PostgresConnection::execute(std::string_view sql, const Params& params) {
    check_process();
    std::unique_lock<std::mutex> lock(mutex_);
    const PostgresStatementPlan& plan = plan_for(sql);
    switch (plan.kind) {
        case StatementKind::Begin:
        case StatementKind::BeginImmediate:
            ensure_open();
            send_command("BEGIN");
            // SQLite's BEGIN IMMEDIATE takes the database's write lock before the checks
            // that follow it (record-once, deletions); PostgreSQL's BEGIN takes nothing, so
            // these transactions take one lock of their own, held to their end, and run one
            // at a time across every connection to the database.
            if (plan.kind == StatementKind::BeginImmediate) send_command(kWriteLockSql);
            // Sent with the transaction's first statement: one round trip less.
            begin_pending_ = true;
            return Cursor();
        case StatementKind::Commit:
            lock.unlock();
            commit();
            return Cursor();
        case StatementKind::Rollback:
            lock.unlock();
            rollback();
            return Cursor();
        case StatementKind::Absorbed: return Cursor();
        case StatementKind::Statement: break;
    }
    ensure_open();
    send_statement(plan, sql, params);
    Result result = sync();
    std::optional<std::int64_t> lastrowid;
    if (plan.returns_key && !result.rows.empty()) {
        const Value& key = result.rows.front().front();
        if (key.is_int()) lastrowid = key.as_int();
        // The key row is the insert's answer, not a row to fetch.
        result.rows.erase(result.rows.begin());
    }
    return Cursor(std::move(result.rows), lastrowid, result.rowcount);
}

void PostgresConnection::for_each_row(std::string_view sql, const Params& params,
                                      const RowFn& on_row) {
    check_process();
    std::unique_lock<std::mutex> lock(mutex_);
    const PostgresStatementPlan& plan = plan_for(sql);
    if (plan.kind != StatementKind::Statement || plan.returns_key) {
        lock.unlock();
        Connection::for_each_row(sql, params, on_row);
        return;
    }
    ensure_open();
    send_statement(plan, sql, params);
    sync(&on_row);
}

void PostgresConnection::execute_unread(std::string_view sql, const Params& params) {
    check_process();
    std::unique_lock<std::mutex> lock(mutex_);
    const PostgresStatementPlan& plan = plan_for(sql);
    if (plan.kind != StatementKind::Statement || plan.returns_key || !plan.data_changing) {
        lock.unlock();
        execute(sql, params);
        return;
    }
    ensure_open();
    send_statement(plan, sql, params);
    if (pending_.size() >= kMaxUnread) sync();
}

void PostgresConnection::commit() {
    check_process();
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_is_closed()) {
        reconnect();
        throw PostgresError("connection already closed before commit",
                            PostgresError::Kind::Interface);
    }
    try {
        ensure_open();
    } catch (const PostgresError&) {
        // The server dropped the connection and the transaction with it.
        reconnect();
        throw PostgresError("connection already closed before commit",
                            PostgresError::Kind::Interface);
    }
    if (connection_is_closed()) {
        // ensure_open replaced a dropped idle connection: there was nothing to commit.
        return;
    }
    if (pending_.empty() && !transaction_open_locally()) return;  // nothing open
    try {
        send_command("COMMIT");
        sync();
    } catch (const PostgresError&) {
        if (connection_is_closed()) reconnect();
        throw;
    }
}

void PostgresConnection::rollback() {
    check_process();
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_is_closed()) {
        reconnect();
        return;
    }
    try {
        ensure_open();
    } catch (const PostgresError&) {
        reconnect();  // the transaction went with the connection
        return;
    }
    if (pending_.empty() && !transaction_open_locally()) return;
    try {
        send_command("ROLLBACK");
        sync();
    } catch (const PostgresError&) {
        if (!connection_is_closed()) {
            // Failures of unread statements are moot once rolled back; only the rollback's
            // own failure counts, and the transaction state tells whether it happened.
            if (libpq().transactionStatus(conn_) == PQTRANS_IDLE) return;
            throw;
        }
        reconnect();
    }
}

void PostgresConnection::close() {
    if (current_pid() != owner_pid_) {
        // The session belongs to the parent: closing it here would end it for the parent.
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::lock_guard<std::recursive_mutex> connect(connect_lock_);
    if (!conn_) return;
    libpq().finish(conn_);
    conn_ = nullptr;
    closed_by_user_ = true;
    drop_pending();
}

bool PostgresConnection::in_transaction() {
    check_process();
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_is_closed()) return false;
    return transaction_open_locally() || !pending_.empty();
}

void PostgresConnection::enter_operation() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (++operation_depth_ > 1 || connection_is_closed()) return;
    // A transaction already aborted has nothing to keep: its savepoint would fail too.
    savepoint_wanted_ = (transaction_open_locally() || !pending_.empty()) &&
                        libpq().transactionStatus(conn_) != PQTRANS_INERROR;
}

void PostgresConnection::leave_operation(bool failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (operation_depth_ > 0 && --operation_depth_ > 0) return;
    savepoint_wanted_ = false;
    if (!savepoint_set_ || connection_is_closed()) return;
    try {
        if (failed) {
            // A failure still unread would abort the transaction at its next statement:
            // read it now, while it can still be undone.
            if (!pending_.empty()) {
                try {
                    sync();
                } catch (const PostgresError&) {
                    // Undone below with the rest of the operation (or gone with a lost
                    // connection); the operation's own error is the one raised.
                }
            }
            if (savepoint_set_ && libpq().transactionStatus(conn_) == PQTRANS_INERROR) {
                send_command("ROLLBACK TO SAVEPOINT plintrove_operation");
            }
        }
        if (savepoint_set_) {
            // Sent with the next statement, commit or rollback.
            send_command("RELEASE SAVEPOINT plintrove_operation");
            if (failed) sync();
        }
    } catch (const std::exception& e) {
        log(LogLevel::Warning, "ending an operation's savepoint failed: %s", {Value(e.what())});
    }
    savepoint_set_ = false;
}

int PostgresConnection::closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_by_user_) return 1;
    return connection_is_closed() ? 2 : 0;
}

int PostgresConnection::transaction_status() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!conn_) return PQTRANS_UNKNOWN;
    return static_cast<int>(libpq().transactionStatus(conn_));
}

int PostgresConnection::server_version() {
    std::lock_guard<std::mutex> lock(mutex_);
    return conn_ ? libpq().serverVersion(conn_) : 0;
}

}  // namespace plintrove
