#include "plintrove/storage/sqlite_connection.h"

#include <pthread.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>

#include "plintrove/storage/lone_surrogates.h"
#include "plintrove/storage/sqlite_json_extract.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr std::size_t kStatementCacheSize = 256;

std::atomic<pid_t> cached_pid{0};

// getpid() is a system call; every statement checks the process, so keep the id and
// refresh it in the child of each fork().
pid_t current_pid() {
    static const bool registered = [] {
        cached_pid.store(getpid());
        pthread_atfork(nullptr, nullptr, [] { cached_pid.store(getpid()); });
        return true;
    }();
    (void)registered;
    return cached_pid.load(std::memory_order_relaxed);
}

// sqlite3's rule: a statement whose text, after leading blanks, starts with one of these
// words (any case) opens a transaction when none is open.
bool is_dml(std::string_view sql) {
    std::size_t i = 0;
    while (i < sql.size() && (sql[i] == ' ' || sql[i] == '\t' || sql[i] == '\n' || sql[i] == '\r')) ++i;
    auto starts = [&](std::string_view word) {
        if (sql.size() - i < word.size()) return false;
        for (std::size_t k = 0; k < word.size(); ++k)
            if (std::tolower(static_cast<unsigned char>(sql[i + k])) != word[k]) return false;
        return true;
    };
    return starts("insert") || starts("update") || starts("delete") || starts("replace");
}

// Skips blanks and SQL comments, as sqlite3 does before deciding that a tail is empty.
bool only_comments_left(const char* p, const char* end) {
    while (p < end) {
        if (std::isspace(static_cast<unsigned char>(*p))) {
            ++p;
        } else if (p + 1 < end && p[0] == '-' && p[1] == '-') {
            while (p < end && *p != '\n') ++p;
        } else if (p + 1 < end && p[0] == '/' && p[1] == '*') {
            p += 2;
            while (p + 1 < end && !(p[0] == '*' && p[1] == '/')) ++p;
            if (p + 1 >= end) return true;  // an unterminated comment runs to the end
            p += 2;
        } else {
            return false;
        }
    }
    return true;
}

const char* kind_name(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::List: return "list";
        case Value::Kind::Map: return "dict";
        default: return "object";
    }
}

// Raises the refusal of a value that has no storage type (a big integer, a container);
// returns for any other value. `position` counts from 1, as the message does.
void refuse_unbindable(const Value& v, int position) {
    switch (v.kind()) {
        case Value::Kind::BigInt:
            throw OverflowError("Python int too large to convert to SQLite INTEGER");
        case Value::Kind::List:
        case Value::Kind::Map:
            throw DatabaseError("Error binding parameter " + std::to_string(position) +
                                    ": type '" + kind_name(v) + "' is not supported",
                                SQLITE_MISUSE);
        default: return;
    }
}

Value column_value(sqlite3_stmt* stmt, int col) {
    switch (sqlite3_column_type(stmt, col)) {
        case SQLITE_INTEGER: return Value(static_cast<long long>(sqlite3_column_int64(stmt, col)));
        case SQLITE_FLOAT: return Value(sqlite3_column_double(stmt, col));
        case SQLITE_NULL: return Value();
        default: {
            // TEXT; the tracker stores no BLOBs, and any that appear are read as their bytes.
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
            int n = sqlite3_column_bytes(stmt, col);
            return Value(std::string(text ? text : "", static_cast<std::size_t>(n)));
        }
    }
}

// A "file:" URI naming `path` with mode=ro; the characters a URI gives meaning to are
// percent-encoded.
std::string read_only_uri(const std::string& path) {
    std::string uri = "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            static constexpr char kHex[] = "0123456789ABCDEF";
            const auto byte = static_cast<unsigned char>(c);
            uri += '%';
            uri += kHex[byte >> 4];
            uri += kHex[byte & 0xF];
        } else {
            uri += c;
        }
    }
    return uri + "?mode=ro";
}

}  // namespace

DatabaseError with_database_path(const DatabaseError& e, const std::string& path) {
    const std::string suffix = " (database file: " + path + ")";
    std::string message = e.what();
    if (!message.ends_with(suffix)) message += suffix;
    return DatabaseError(message, e.sqlite_code(), e.origin());
}

SqliteConnection::SqliteConnection(const std::string& path, Mode mode)
    : path_(path), owner_pid_(current_pid()) {
    const bool read_only = mode == Mode::ReadOnly;
    const std::string name = read_only ? read_only_uri(path) : path;
    const int flags = read_only ? SQLITE_OPEN_READONLY | SQLITE_OPEN_URI
                                : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    // Every use of the handle is under mutex_, so SQLite's own per-call locking of the
    // connection would only be paid twice.
    int rc = sqlite3_open_v2(name.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        int code = db_ ? sqlite3_extended_errcode(db_) : rc;
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw with_database_path(DatabaseError(message, code), path);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    install_json_extract(db_);
}

SqliteConnection::~SqliteConnection() {
    try {
        close();
    } catch (...) {
        // A destructor cannot report; close() only fails on misuse.
    }
}

void SqliteConnection::check_process() const {
    pid_t now = current_pid();
    if (now != owner_pid_) {
        throw RuntimeError("SQLite connection to '" + path_ + "' was opened in process " +
                           std::to_string(owner_pid_) + " and cannot be used in process " +
                           std::to_string(now) +
                           " (after fork()); create a new SearchTracker in this process.");
    }
}

void SqliteConnection::check_open() const {
    if (!db_) throw DatabaseError("Cannot operate on a closed database.", SQLITE_MISUSE);
}

void SqliteConnection::raise_last_error() const {
    throw DatabaseError(sqlite3_errmsg(db_), sqlite3_extended_errcode(db_));
}

SqliteConnection::CachedStatement* SqliteConnection::prepare_cached(std::string_view sql) {
    // Looked through from the one after the last found: a cycle of statements finds each
    // at its first look.
    for (std::size_t looked = 0, at = recent_hint_; looked < recent_.size();
         ++looked, at = (at + 1) % recent_.size()) {
        const RecentStatement& recent = recent_[at];
        if (recent.text != nullptr && recent.text->size() == sql.size() &&
            std::memcmp(recent.text->data(), sql.data(), sql.size()) == 0) {
            recent_hint_ = (at + 1) % recent_.size();
            recent.entry->last_used = ++use_clock_;
            return recent.entry;
        }
    }
    auto remember = [this](auto& cached) {
        recent_[recent_next_] = {&cached.first, &cached.second};
        recent_next_ = (recent_next_ + 1) % recent_.size();
        return &cached.second;
    };
    auto found = cache_.find(sql);
    if (found != cache_.end()) {
        found->second.last_used = ++use_clock_;
        return remember(*found);
    }
    std::string key(sql);
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v3(db_, key.data(), static_cast<int>(key.size()),
                                SQLITE_PREPARE_PERSISTENT, &stmt, &tail);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        raise_last_error();
    }
    if (tail && !only_comments_left(tail, key.data() + key.size())) {
        sqlite3_finalize(stmt);
        throw DatabaseError("You can only execute one statement at a time.", SQLITE_MISUSE);
    }
    if (!stmt) return nullptr;  // blanks and comments only: nothing to run
    if (cache_.size() >= kStatementCacheSize) {
        auto oldest = std::min_element(cache_.begin(), cache_.end(), [](const auto& a, const auto& b) {
            return a.second.last_used < b.second.last_used;
        });
        sqlite3_finalize(oldest->second.stmt);
        cache_.erase(oldest);
        recent_ = {};
    }
    const bool dml = is_dml(key);
    auto [added, inserted] = cache_.emplace(std::move(key), CachedStatement{stmt, ++use_clock_, dml});
    return remember(*added);
}

template <typename OnRow>
SqliteConnection::RunResult SqliteConnection::run(std::string_view sql, const Params& params,
                                                  OnRow&& on_row) {
    check_process();
    std::lock_guard<std::mutex> lock(mutex_);
    check_open();
    const CachedStatement* cached = prepare_cached(sql);
    if (!cached) return {sqlite3_last_insert_rowid(db_), -1};
    sqlite3_stmt* stmt = cached->stmt;
    const bool dml = cached->dml;
    // Bindings are left in place: every run binds every parameter before it steps.
    struct Reset {
        sqlite3_stmt* s;
        ~Reset() { sqlite3_reset(s); }
    } reset{stmt};

    const int expected = sqlite3_bind_parameter_count(stmt);
    if (static_cast<std::size_t>(expected) != params.size()) {
        throw DatabaseError("Incorrect number of bindings supplied. The current statement uses " +
                                std::to_string(expected) + ", and there are " +
                                std::to_string(params.size()) + " supplied.",
                            SQLITE_MISUSE);
    }
    for (int i = 0; i < expected; ++i) {
        const Value& v = params[static_cast<std::size_t>(i)];
        int rc = SQLITE_OK;
        switch (v.kind()) {
            case Value::Kind::None: rc = sqlite3_bind_null(stmt, i + 1); break;
            case Value::Kind::Bool: rc = sqlite3_bind_int64(stmt, i + 1, v.as_bool() ? 1 : 0); break;
            case Value::Kind::Int: rc = sqlite3_bind_int64(stmt, i + 1, v.as_int()); break;
            case Value::Kind::Float: rc = sqlite3_bind_double(stmt, i + 1, v.as_float()); break;
            case Value::Kind::Text:
                refuse_lone_surrogates(v.as_text());
                // The parameters outlive the statement's use (it is reset before return).
                rc = sqlite3_bind_text64(stmt, i + 1, v.as_text().data(), v.as_text().size(),
                                         SQLITE_STATIC, SQLITE_UTF8);
                break;
            default: refuse_unbindable(v, i + 1);
        }
        if (rc != SQLITE_OK) raise_last_error();
    }

    // The implicit BEGIN comes after binding (sqlite3 opens it first): a statement refused
    // at binding never ran, so it must not leave an empty transaction behind, which would
    // make the writer's next BEGIN fail on this shared connection.
    const bool opens_transaction = dml && sqlite3_get_autocommit(db_);
    if (opens_transaction) {
        sqlite3_stmt* begin = prepare_cached("BEGIN")->stmt;
        int rc = sqlite3_step(begin);
        if (rc != SQLITE_DONE) {
            DatabaseError error(sqlite3_errmsg(db_), sqlite3_extended_errcode(db_));
            sqlite3_reset(begin);
            throw error;
        }
        sqlite3_reset(begin);
    }

    const int ncols = sqlite3_column_count(stmt);
    for (;;) {
        int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) {
            // The transaction this statement opened holds nothing but the statement's own
            // undone work (a constraint, say): ending it loses nothing, and an empty
            // transaction left open would make the writer's next BEGIN fail.
            if (opens_transaction) {
                DatabaseError error(sqlite3_errmsg(db_), sqlite3_extended_errcode(db_));
                sqlite3_reset(stmt);
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                throw error;
            }
            raise_last_error();
        }
        on_row(stmt, ncols);
    }
    return {sqlite3_last_insert_rowid(db_), dml ? sqlite3_changes64(db_) : -1};
}

Cursor SqliteConnection::execute(std::string_view sql, const Params& params) {
    std::vector<Row> rows;
    RunResult done = run(sql, params, [&rows](sqlite3_stmt* stmt, int ncols) {
        Row row;
        row.reserve(static_cast<std::size_t>(ncols));
        for (int c = 0; c < ncols; ++c) row.push_back(column_value(stmt, c));
        rows.push_back(std::move(row));
    });
    return Cursor(std::move(rows), done.lastrowid, done.rowcount);
}

void SqliteConnection::for_each_row(std::string_view sql, const Params& params,
                                    const RowFn& on_row) {
    // One row vector for the whole scan: with short texts a row then costs no allocation.
    Row row;
    run(sql, params, [&](sqlite3_stmt* stmt, int ncols) {
        row.resize(static_cast<std::size_t>(ncols));
        for (int c = 0; c < ncols; ++c) row[static_cast<std::size_t>(c)] = column_value(stmt, c);
        on_row(row);
    });
}

void SqliteConnection::end_transaction(const char* sql) {
    check_process();
    std::lock_guard<std::mutex> lock(mutex_);
    check_open();
    if (sqlite3_get_autocommit(db_)) return;  // nothing open
    sqlite3_stmt* stmt = prepare_cached(sql)->stmt;
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        DatabaseError error(sqlite3_errmsg(db_), sqlite3_extended_errcode(db_));
        sqlite3_reset(stmt);
        throw error;
    }
    sqlite3_reset(stmt);
}

void SqliteConnection::commit() { end_transaction("COMMIT"); }

void SqliteConnection::rollback() { end_transaction("ROLLBACK"); }

void SqliteConnection::finalize_all() {
    for (auto& [sql, cached] : cache_) sqlite3_finalize(cached.stmt);
    cache_.clear();
    recent_ = {};
}

void SqliteConnection::close() {
    if (current_pid() != owner_pid_) {
        // SQLite forbids touching a connection inherited across fork(); the parent owns it.
        return;
    }
    std::unique_ptr<WalCheckpointer> checkpointer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return;
        finalize_all();
        sqlite3_close_v2(db_);
        db_ = nullptr;
        checkpointer = std::move(checkpointer_);
    }
    // With this connection gone no transaction of ours can hold the log back, so the
    // checkpointer's last checkpoint truncates it.
    if (checkpointer) checkpointer->finish();
}

void SqliteConnection::check_params(const Params& params, const std::vector<std::string>&) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Value& v = params[i];
        if (v.is_text()) {
            refuse_lone_surrogates(v.as_text());
        } else {
            refuse_unbindable(v, static_cast<int>(i + 1));
        }
    }
}

bool SqliteConnection::in_transaction() {
    check_process();
    std::lock_guard<std::mutex> lock(mutex_);
    check_open();
    return !sqlite3_get_autocommit(db_);
}

bool SqliteConnection::read_only() {
    check_process();
    std::lock_guard<std::mutex> lock(mutex_);
    check_open();
    return sqlite3_db_readonly(db_, "main") == 1;
}

void SqliteConnection::checkpoint_in_background() {
    check_process();
    std::lock_guard<std::mutex> lock(mutex_);
    check_open();
    if (!checkpointer_) checkpointer_ = WalCheckpointer::start(path_, db_);
}

std::unique_ptr<SqliteConnection> open_sqlite_tracker_connection(const std::string& db_path) {
    auto conn = std::make_unique<SqliteConnection>(db_path);
    try {
        // Only a new, empty file takes it. Smaller pages make each commit's log shorter,
        // but rows then spill onto overflow pages and indexes deepen: 1 and 2 KB pages
        // read the 1M-row store up to 2.4x slower.
        // The page cache stays at SQLite's default: a 16 or 64 MB one made the function and
        // feature statistics scans 1.8-2.4x slower (every page read then takes fresh memory)
        // and did not speed up recording.
        conn->execute("PRAGMA page_size=4096");
        auto row = conn->execute("PRAGMA journal_mode=WAL").fetchone();
        if (!row || row->empty() || !(*row)[0].is_text() || (*row)[0].as_text() != "wal") {
            std::string actual = row && !row->empty() ? py_str((*row)[0]) : "unknown";
            conn->close();
            throw IOError("WAL mode failed to activate (got '" + actual + "'). Check that '" +
                          db_path + "' is on a local filesystem with write access.");
        }
        conn->execute("PRAGMA foreign_keys=ON");
        conn->execute("PRAGMA synchronous=NORMAL");
        // SQLite silently falls back to reading a file it may not write; every tracker
        // needs to write, so say so now, naming the file, rather than at the first write.
        if (conn->read_only())
            throw DatabaseError("attempt to write a readonly database", SQLITE_READONLY);
        conn->checkpoint_in_background();
    } catch (const DatabaseError& e) {
        conn->close();
        throw with_database_path(e, db_path);
    }
    return conn;
}

std::unique_ptr<SqliteConnection> open_sqlite_reader_connection(const std::string& db_path) {
    auto conn = std::make_unique<SqliteConnection>(db_path, SqliteConnection::Mode::ReadOnly);
    try {
        conn->execute("SELECT COUNT(*) FROM sqlite_master").fetchone();
    } catch (const DatabaseError& e) {
        conn->close();
        throw with_database_path(e, db_path);
    }
    return conn;
}

}  // namespace plintrove
