#pragma once
// The connection object the tracker issues every statement through. Its execute, commit
// and close can be replaced per instance (the host uses this to intercept or fail
// statements); without a replacement, calls go straight to the real connection.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "plintrove/storage/connection.h"

namespace plintrove {

class ConnWrapper : public Connection {
public:
    using ExecuteFn = std::function<Cursor(std::string_view sql, const Params& params)>;
    using ActionFn = std::function<void()>;

    explicit ConnWrapper(std::unique_ptr<Connection> real);

    Cursor execute(std::string_view sql, const Params& params = {}) override;
    // Streams from the real connection; with execute replaced, iterates the replacement's
    // cursor instead, so the replacement still sees every statement.
    void for_each_row(std::string_view sql, const Params& params, const RowFn& on_row) override;
    // Through the replacement of execute when there is one, so it sees every statement.
    void execute_unread(std::string_view sql, const Params& params) override;
    void commit() override;
    void rollback() override;
    void close() override;
    bool in_transaction() override;
    void enter_operation() override;
    void leave_operation(bool failed) override;
    void check_params(const Params& params, const std::vector<std::string>& columns = {}) override;
    void check_statement(std::string_view sql, const Params& params) override;
    std::optional<std::string> dialect() const override;

    // The real connection, bypassing any replacement.
    Connection& real() { return *real_; }

    // Install or remove (pass an empty function) a replacement.
    void replace_execute(ExecuteFn fn);
    void replace_commit(ActionFn fn);
    void replace_close(ActionFn fn);
    bool execute_replaced() const;
    bool commit_replaced() const;
    bool close_replaced() const;

private:
    std::unique_ptr<Connection> real_;
    mutable std::mutex hooks_mutex_;
    std::shared_ptr<const ExecuteFn> execute_fn_;
    std::shared_ptr<const ActionFn> commit_fn_;
    std::shared_ptr<const ActionFn> close_fn_;
};

}  // namespace plintrove
