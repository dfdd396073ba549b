#include "plintrove/storage/connection.h"

namespace plintrove {

std::optional<Row> Cursor::fetchone() {
    if (pos_ >= rows_.size()) return std::nullopt;
    return std::move(rows_[pos_++]);
}

std::vector<Row> Cursor::fetchall() {
    std::vector<Row> rest;
    rest.reserve(rows_.size() - pos_);
    for (; pos_ < rows_.size(); ++pos_) rest.push_back(std::move(rows_[pos_]));
    return rest;
}

void Connection::for_each_row(std::string_view sql, const Params& params, const RowFn& on_row) {
    Cursor cursor = execute(sql, params);
    while (std::optional<Row> row = cursor.fetchone()) on_row(*row);
}

void Connection::check_params(const Params&, const std::vector<std::string>&) {}

void Connection::check_statement(std::string_view, const Params& params) { check_params(params); }

}  // namespace plintrove
