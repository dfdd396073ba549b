#pragma once
// Taking one item out of a queue that is read across the tables of both evaluation types.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "plintrove/storage/conn_wrapper.h"
#include "plintrove/submission/submission_tables.h"
#include "plintrove/value/value.h"

namespace plintrove {

// Reads the first row of `select_sql` (its first column the row's key `id_column`), converts
// it, then deletes it from its type's `kind` table and commits. Between the SELECT and the
// DELETE another taker (a thread on this connection or another process) may remove the same
// row, so the item is ours only when our DELETE removed it; otherwise the next row is tried.
// A DELETE that reports no count at all is taken as having removed it. None when no row is
// left.
template <typename Item>
std::optional<Item> claim_item(ConnWrapper& conn, std::string_view select_sql,
                               const Params& params, std::string_view kind,
                               std::string_view id_column, Item (*item_from_row)(const Row&)) {
    while (true) {
        std::optional<Row> row = conn.execute(select_sql, params).fetchone();
        if (!row) return std::nullopt;
        Item item = item_from_row(*row);
        std::string sql = "DELETE FROM ";
        sql += submission_table(Value(item.eval_type), kind);
        sql += " WHERE ";
        sql += id_column;
        sql += "=?";
        std::int64_t removed = conn.execute(sql, {row->at(0)}).rowcount();
        conn.commit();
        if (removed != 0) return item;
    }
}

}  // namespace plintrove
