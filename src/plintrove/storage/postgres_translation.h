#pragma once
// The tracker's SQLite-dialect statements, rewritten for PostgreSQL. Pure text functions:
// the connection plans each distinct statement text once and keeps the plan.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plintrove/storage/postgres_column_types.h"
#include "plintrove/value/value.h"

namespace plintrove {

// The text with leading and trailing whitespace removed, every run of whitespace folded to
// one blank, lower-cased.
std::string normalized_statement(std::string_view sql);

enum class StatementKind {
    Begin,           // "begin": sent as BEGIN
    BeginImmediate,  // "begin immediate": BEGIN, then the lock SQLite's write lock stands for
    Commit,     // handled by the connection's commit
    Rollback,   // handled by the connection's rollback
    Absorbed,   // SQLite-only (pragmas, key-counter resets): answered without the server
    Statement,  // translated and sent
};

StatementKind statement_kind(std::string_view normalized);

// "?" placeholders numbered as "$1".."$n", then the JSON-path filters rewritten as jsonb
// operators: json_extract(col, $i) = $j becomes (col::jsonb #> $i) = $j::jsonb, any other
// json_extract(col, $i) becomes (col::jsonb #>> $i). `uses_json_paths` tells whether the
// second rewrite applied, i.e. whether the parameters need translate_json_extract_params.
std::string translate_postgres_text(std::string_view sql, bool* uses_json_paths = nullptr);

// The parameters of a statement with JSON-path filters: each text starting with "$." is a
// path, sent as a text-array literal, and the parameter after it is the compared value,
// sent as compact JSON text (NULL when jsonb could not hold it).
Params translate_json_extract_params(const Params& params);

// A SQLite JSON path ("$.a.\"b.c\"") as a PostgreSQL text-array literal ({"a","b.c"}).
std::string postgres_json_path(std::string_view sqlite_path);

// One array element: backslashes doubled, double quotes escaped, the whole quoted.
std::string postgres_array_quote(std::string_view value);

// The outermost ORDER BY with SQLite's placement of NULL, which sorts before every value:
// NULLS FIRST on ascending terms, NULLS LAST on descending ones; terms that say where NULLs
// go are left alone. Applied to SELECT DISTINCT, which sorts its whole result anyway; other
// statements keep the order their indexes give (their sorted columns hold no NULL in rows
// the tracker writes).
std::string with_sqlite_null_order(std::string_view sql);

// The key column an INSERT into one of the tables whose generated keys callers read should
// return, or none.
std::optional<std::string_view> postgres_returning_column(std::string_view normalized_sql);

// What jsonb refuses in JSON text that json.dumps writes: the escape of a NUL character
// (\u0000) and the bare NaN, Infinity and -Infinity tokens. None when it takes all of it.
const char* jsonb_refusal(std::string_view json);

// Everything the connection needs to run one statement text, computed once per text.
struct PostgresStatementPlan {
    StatementKind kind = StatementKind::Statement;
    std::string sql;                   // translated text to send
    bool uses_json_paths = false;      // parameters go through translate_json_extract_params
    bool returns_key = false;          // the first row's first value is the lastrowid
    bool data_changing = false;        // INSERT/UPDATE/DELETE/REPLACE: opens a transaction
    // Parameters bound to a column that the JSON-path filters cast to jsonb.
    std::vector<std::size_t> jsonb_params;
    // The type of the column each parameter is bound to, where the text says which.
    std::vector<PostgresColumnType> param_types;
};

// The columns the JSON-path filters read as jsonb.
inline constexpr std::string_view kJsonbFilteredColumns[] = {"metaparameters"};

PostgresStatementPlan plan_postgres_statement(std::string_view sql);

// The column each "?" of `sql` is bound to, where the text says so (an INSERT's column
// list, "column = ?" / "column > ?" comparisons, SET assignments, also through
// "column = COALESCE(?, ...)"); empty where it does not. Used to type the values and to
// name the field in errors about values PostgreSQL cannot store.
std::vector<std::string> placeholder_columns(std::string_view sql);

}  // namespace plintrove
