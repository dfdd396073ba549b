#include "plintrove/storage/conn_wrapper.h"

namespace plintrove {

ConnWrapper::ConnWrapper(std::unique_ptr<Connection> real) : real_(std::move(real)) {}

// Each replaceable call copies its hook under the mutex and runs it outside, so a hook
// may replace itself (or another) and two threads never hold the mutex while SQL runs.

Cursor ConnWrapper::execute(std::string_view sql, const Params& params) {
    std::shared_ptr<const ExecuteFn> fn;
    {
        std::lock_guard<std::mutex> lock(hooks_mutex_);
        fn = execute_fn_;
    }
    return fn ? (*fn)(sql, params) : real_->execute(sql, params);
}

void ConnWrapper::for_each_row(std::string_view sql, const Params& params, const RowFn& on_row) {
    if (execute_replaced()) {
        Connection::for_each_row(sql, params, on_row);  // through execute, hence the hook
        return;
    }
    real_->for_each_row(sql, params, on_row);
}

void ConnWrapper::execute_unread(std::string_view sql, const Params& params) {
    std::shared_ptr<const ExecuteFn> fn;
    {
        std::lock_guard<std::mutex> lock(hooks_mutex_);
        fn = execute_fn_;
    }
    fn ? (void)(*fn)(sql, params) : real_->execute_unread(sql, params);
}

void ConnWrapper::commit() {
    std::shared_ptr<const ActionFn> fn;
    {
        std::lock_guard<std::mutex> lock(hooks_mutex_);
        fn = commit_fn_;
    }
    fn ? (*fn)() : real_->commit();
}

void ConnWrapper::close() {
    std::shared_ptr<const ActionFn> fn;
    {
        std::lock_guard<std::mutex> lock(hooks_mutex_);
        fn = close_fn_;
    }
    fn ? (*fn)() : real_->close();
}

void ConnWrapper::rollback() { real_->rollback(); }

bool ConnWrapper::in_transaction() { return real_->in_transaction(); }
void ConnWrapper::enter_operation() { real_->enter_operation(); }
void ConnWrapper::leave_operation(bool failed) { real_->leave_operation(failed); }

void ConnWrapper::check_params(const Params& params, const std::vector<std::string>& columns) {
    real_->check_params(params, columns);
}

void ConnWrapper::check_statement(std::string_view sql, const Params& params) {
    real_->check_statement(sql, params);
}

std::optional<std::string> ConnWrapper::dialect() const { return real_->dialect(); }

void ConnWrapper::replace_execute(ExecuteFn fn) {
    auto next = fn ? std::make_shared<const ExecuteFn>(std::move(fn)) : nullptr;
    std::lock_guard<std::mutex> lock(hooks_mutex_);
    execute_fn_ = std::move(next);
}

void ConnWrapper::replace_commit(ActionFn fn) {
    auto next = fn ? std::make_shared<const ActionFn>(std::move(fn)) : nullptr;
    std::lock_guard<std::mutex> lock(hooks_mutex_);
    commit_fn_ = std::move(next);
}

void ConnWrapper::replace_close(ActionFn fn) {
    auto next = fn ? std::make_shared<const ActionFn>(std::move(fn)) : nullptr;
    std::lock_guard<std::mutex> lock(hooks_mutex_);
    close_fn_ = std::move(next);
}

bool ConnWrapper::execute_replaced() const {
    std::lock_guard<std::mutex> lock(hooks_mutex_);
    return execute_fn_ != nullptr;
}

bool ConnWrapper::commit_replaced() const {
    std::lock_guard<std::mutex> lock(hooks_mutex_);
    return commit_fn_ != nullptr;
}

bool ConnWrapper::close_replaced() const {
    std::lock_guard<std::mutex> lock(hooks_mutex_);
    return close_fn_ != nullptr;
}

}  // namespace plintrove
