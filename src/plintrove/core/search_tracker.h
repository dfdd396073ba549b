#pragma once
// SearchTracker: one data directory, one connection, the attached identity and the
// closed and search-active flags. The operations on it live beside their concepts
// (recording, queries, submission, maintenance) as functions taking the tracker.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/types.h>
#include <string>
#include <utility>
#include <vector>

#include "plintrove/core/host.h"
#include "plintrove/storage/conn_wrapper.h"
#include "plintrove/value/value.h"

namespace plintrove {

struct IdentityColumns {
    static const std::vector<std::string>& columns();  // ("instance_id", "author_id")
    Params values;  // read from the identity at the time of the call
};

class SearchTracker {
public:
    // Validates `data_dir`, opens the storage (archiving an old-layout file first) and
    // creates the tables. Raises ValueError / IOError / DatabaseError as the storage does.
    // `read_only` opens an existing store for reading only and changes nothing in it (no
    // archiving, no table creation); writes then fail with the storage's read-only error
    // (on PostgreSQL every transaction of the session is read-only).
    explicit SearchTracker(const std::string& data_dir,
                           std::shared_ptr<Identity> identity = nullptr, bool read_only = false);
    ~SearchTracker();
    SearchTracker(const SearchTracker&) = delete;
    SearchTracker& operator=(const SearchTracker&) = delete;

    void set_identity(std::shared_ptr<Identity> identity);
    std::shared_ptr<Identity> current_identity() const;
    // Raises ValueError when no identity is attached.
    IdentityColumns identity_columns() const;

    // Raises IOError("SearchTracker is closed") after close().
    void check_closed() const;
    bool closed() const { return closed_.load(); }

    void set_search_active(bool active);
    bool search_active() const { return search_active_.load(); }

    // Idempotent; a failure to close the connection is logged, never raised.
    void close();

    ConnWrapper& conn() { return *conn_; }
    const std::shared_ptr<ConnWrapper>& conn_ptr() const { return conn_; }
    const std::string& data_dir() const { return data_dir_; }
    const std::optional<std::string>& db_url() const { return db_url_; }
    const std::optional<std::string>& db_path() const { return db_path_; }

    // Held by each public operation for its whole transaction and by the writer for each
    // batch, through OperationScope.
    std::recursive_mutex& operation_mutex() { return operation_mutex_; }
    // The process that opened the connection; a forked child never takes the lock.
    pid_t opened_pid() const { return opened_pid_; }

    // The describer used by the reason catalogue; defaults to the built-in one.
    void set_reason_describer(ReasonDescriber describer);
    const ReasonDescriber& reason_describer() const { return describer_; }

private:
    void create_tables();

    std::string data_dir_;
    std::optional<std::string> db_url_;
    std::optional<std::string> db_path_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> search_active_{false};
    mutable std::mutex identity_mutex_;
    std::shared_ptr<Identity> identity_;
    std::shared_ptr<ConnWrapper> conn_;
    std::recursive_mutex operation_mutex_;
    pid_t opened_pid_;
    ReasonDescriber describer_;
};

}  // namespace plintrove
