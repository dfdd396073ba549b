#pragma once
// The INSERT text of a row into a table: fixed table and column names, one "?" per value.

#include <string>
#include <string_view>
#include <vector>

#include "plintrove/storage/placeholder_list.h"

namespace plintrove {

// verb + table + " (" + columns joined by ", " + ") VALUES (" + "?"s joined by ", " + ")",
// where verb is "INSERT INTO " or "INSERT OR IGNORE INTO ".
inline std::string insert_statement(std::string_view verb, std::string_view table,
                                    const std::vector<std::string>& columns) {
    std::string sql(verb);
    sql += table;
    sql += " (";
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) sql += ", ";
        sql += columns[i];
    }
    sql += ") VALUES (";
    sql += placeholder_list(columns.size(), ", ");
    sql += ")";
    return sql;
}

}  // namespace plintrove
