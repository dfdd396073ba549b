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

// On PostgreSQL the same questions are answered from information_schema, so schema code
// written against these readers runs on both back ends.
bool sqlite_table_exists(Connection& conn, std::string_view table_name) {
    const char* sql = conn.dialect() == "postgres"
                          ? "SELECT 1 FROM information_schema.tables WHERE table_schema = "
                            "current_schema() AND table_type = 'BASE TABLE' AND table_name=?"
                          : "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?";
    return conn.execute(sql, {Value(table_name)}).fetchone().has_value();
}

std::set<std::string> sqlite_table_columns(Connection& conn, std::string_view table_name) {
    std::set<std::string> names;
    if (conn.dialect() == "postgres") {
        for (const Row& row : conn.execute("SELECT column_name FROM information_schema.columns "
                                           "WHERE table_schema = current_schema() AND table_name=?",
                                           {Value(table_name)})
                                  .fetchall()) {
            names.insert(row[0].as_text());
        }
        return names;
    }
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
