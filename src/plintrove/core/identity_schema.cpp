#include "plintrove/core/identity_schema.h"

#include "plintrove/core/constants.h"
#include "plintrove/storage/sqlite_catalog.h"

namespace plintrove {

namespace {

constexpr std::array<ColumnType, 2> kIdentityColumns{{{"instance_id", "TEXT"}, {"author_id", "TEXT"}}};

}  // namespace

void sqlite_ensure_fk_columns(Connection& conn, const std::vector<std::string_view>& tables) {
    std::vector<TableColumns> entries;
    entries.reserve(tables.size());
    for (std::string_view table : tables) entries.push_back({table, kIdentityColumns});
    sqlite_ensure_columns(conn, entries);
}

std::vector<std::string> postgres_fk_column_statements(const std::vector<std::string_view>& tables) {
    std::vector<std::string> statements;
    statements.reserve(tables.size() * kIdentityColumns.size());
    for (std::string_view table : tables) {
        for (const ColumnType& column : kIdentityColumns) {
            statements.push_back("ALTER TABLE " + std::string(table) + " ADD COLUMN IF NOT EXISTS " +
                                 std::string(column.first) + " " + std::string(column.second));
        }
    }
    return statements;
}

std::vector<std::string> fk_index_statements(const std::vector<std::string_view>& tables) {
    std::vector<std::string> statements;
    statements.reserve(tables.size());
    for (std::string_view table : tables) {
        const std::string name(table);
        statements.push_back("CREATE INDEX IF NOT EXISTS idx_" + name + "_identity ON " + name +
                             "(instance_id, author_id)");
    }
    return statements;
}

}  // namespace plintrove
