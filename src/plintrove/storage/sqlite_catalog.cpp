#include "plintrove/storage/sqlite_catalog.h"

namespace plintrove {

std::string quote_sqlite_identifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

bool sqlite_table_exists(Connection& conn, std::string_view table_name) {
    return conn
        .execute("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?", {Value(table_name)})
        .fetchone()
        .has_value();
}

std::set<std::string> sqlite_table_columns(Connection& conn, std::string_view table_name) {
    std::set<std::string> names;
    for (const Row& row :
         conn.execute("PRAGMA table_info(" + quote_sqlite_identifier(table_name) + ")").fetchall()) {
        if (row.size() > 1 && row[1].is_text()) names.insert(row[1].as_text());
    }
    return names;
}

void sqlite_ensure_columns(Connection& conn, std::span<const TableColumns> table_columns) {
    for (const TableColumns& entry : table_columns) {
        if (!sqlite_table_exists(conn, entry.table)) continue;
        const std::set<std::string> existing = sqlite_table_columns(conn, entry.table);
        const std::string quoted = quote_sqlite_identifier(entry.table);
        for (const auto& [column, type] : entry.columns) {
            if (existing.count(std::string(column))) continue;
            conn.execute("ALTER TABLE " + quoted + " ADD COLUMN " + std::string(column) + " " +
                         std::string(type));
        }
    }
}

}  // namespace plintrove
