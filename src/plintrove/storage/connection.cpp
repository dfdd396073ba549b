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

}  // namespace plintrove
