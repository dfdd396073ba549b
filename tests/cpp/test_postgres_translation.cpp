// The SQLite-to-PostgreSQL rewrite of statements and parameters, the PostgreSQL table
// statements, and the libpq loader's failure. None of these needs a server.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/schema.h"
#include "plintrove/queries/filters.h"
#include "plintrove/storage/libpq_library.h"
#include "plintrove/storage/postgres_column_types.h"
#include "plintrove/storage/postgres_schema.h"
#include "plintrove/storage/postgres_translation.h"
#include "plintrove/value/json.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {
namespace {

TEST(PostgresTranslation, StatementKindsFollowTheNormalizedText) {
    struct Case {
        const char* sql;
        StatementKind kind;
    };
    const Case cases[] = {
        {"  BEGIN \n\t IMMEDIATE  ", StatementKind::BeginImmediate},
        {"begin", StatementKind::Begin},
        {"BEGIN EXCLUSIVE", StatementKind::Statement},
        {"Commit", StatementKind::Commit},
        {" ROLLBACK\n", StatementKind::Rollback},
        {"PRAGMA user_version = 2", StatementKind::Absorbed},
        {"DELETE FROM sqlite_sequence WHERE name=?", StatementKind::Absorbed},
        {"DELETE FROM signal_evaluations WHERE era_id != ?", StatementKind::Statement},
        {"SELECT 1", StatementKind::Statement},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plan_postgres_statement(c.sql).kind, c.kind) << c.sql;
    }
    EXPECT_EQ(normalized_statement("  Insert\n INTO   t(a)  "), "insert into t(a)");
}

TEST(PostgresTranslation, PlaceholdersNumberedAndKeysReturned) {
    struct Case {
        const char* sql;
        const char* translated;
        bool returns_key;
        bool data_changing;
    };
    const Case cases[] = {
        {"SELECT a FROM t WHERE b = ? AND c IN (?,?)", "SELECT a FROM t WHERE b = $1 AND c IN ($2,$3)",
         false, false},
        {"INSERT INTO signal_evaluations (era_id, sharpe) VALUES (?, ?)",
         "INSERT INTO signal_evaluations (era_id, sharpe) VALUES ($1, $2) RETURNING eval_id", true, true},
        {"insert into strategy_submission_retry(eval_id) values (?)",
         "insert into strategy_submission_retry(eval_id) values ($1) RETURNING retry_id", true, true},
        {"INSERT INTO signal_submission_attempts (eval_id) VALUES (?) RETURNING attempt_id, eval_id",
         "INSERT INTO signal_submission_attempts (eval_id) VALUES ($1) RETURNING attempt_id, eval_id",
         true, true},
        // Not a table whose key is read back, or not a plain INSERT INTO.
        {"INSERT INTO signal_function_usage (eval_id) VALUES (?)",
         "INSERT INTO signal_function_usage (eval_id) VALUES ($1)", false, true},
        {"INSERT INTO signal_evaluations_archive (a) VALUES (?)",
         "INSERT INTO signal_evaluations_archive (a) VALUES ($1)", false, true},
        {"INSERT OR IGNORE INTO signal_submission_attempts (a) VALUES (?)",
         "INSERT OR IGNORE INTO signal_submission_attempts (a) VALUES ($1)", false, true},
        {"UPDATE signal_submission_status SET status=? WHERE status_id=?",
         "UPDATE signal_submission_status SET status=$1 WHERE status_id=$2", false, true},
        // SQLite's index rebuild names the index alone.
        {"REINDEX idx_signal_era", "REINDEX INDEX idx_signal_era", false, false},
        {"REINDEX TABLE signal_evaluations", "REINDEX TABLE signal_evaluations", false, false},
        // Table statements written for SQLite get the types that hold the same values.
        {"ALTER TABLE \"t\" ADD COLUMN custom_stats_json TEXT",
         "ALTER TABLE \"t\" ADD COLUMN custom_stats_json TEXT COLLATE \"C\"", false, false},
        {"CREATE TABLE IF NOT EXISTS t (n INTEGER NOT NULL)",
         "CREATE TABLE IF NOT EXISTS t (n BIGINT NOT NULL)", false, false},
    };
    for (const Case& c : cases) {
        const PostgresStatementPlan plan = plan_postgres_statement(c.sql);
        EXPECT_EQ(plan.sql, c.translated) << c.sql;
        EXPECT_EQ(plan.returns_key, c.returns_key) << c.sql;
        EXPECT_EQ(plan.data_changing, c.data_changing) << c.sql;
    }
}

TEST(PostgresTranslation, SettingsFilterBecomesJsonbComparison) {
    SettingsFilter filter;
    filter.era_id = Value(3);
    filter.metaparameters = json_loads(R"({"pool_a": {"lookback": 20, "mode": "fast"}})");
    filter.source = Value("search");
    const FilterClauses built = build_settings_filter("e", filter);
    const std::string sql = "SELECT e.eval_id FROM signal_evaluations e " + join_clauses(built.clauses);

    const PostgresStatementPlan plan = plan_postgres_statement(sql);
    EXPECT_TRUE(plan.uses_json_paths);
    EXPECT_EQ(plan.sql,
              "SELECT e.eval_id FROM signal_evaluations e WHERE e.era_id = $1 AND "
              "(e.metaparameters::jsonb #> $2) = $3::jsonb AND "
              "(e.metaparameters::jsonb #> $4) = $5::jsonb AND e.source = $6");
    // The number stays a JSON number, the text keeps its JSON quotes.
    EXPECT_EQ(translate_json_extract_params(built.params),
              (Params{Value(3), Value(R"({"pool_a","lookback"})"), Value("20"),
                      Value(R"({"pool_a","mode"})"), Value(R"("fast")"), Value("search")}));

    // A path whose value is read rather than compared comes back as text.
    EXPECT_EQ(translate_postgres_text("SELECT json_extract(metaparameters, ?) FROM t"),
              "SELECT (metaparameters::jsonb #>> $1) FROM t");
}

TEST(PostgresTranslation, DistinctListsSortNullFirstAsSqliteDoes) {
    EXPECT_EQ(plan_postgres_statement("SELECT DISTINCT era_id FROM (SELECT era_id FROM a UNION "
                                      "SELECT era_id FROM b ORDER BY x) AS combined ORDER BY era_id ASC")
                  .sql,
              "SELECT DISTINCT era_id FROM (SELECT era_id FROM a UNION SELECT era_id FROM b "
              "ORDER BY x) AS combined ORDER BY era_id ASC NULLS FIRST");
    EXPECT_EQ(with_sqlite_null_order("SELECT a FROM t order by a, f(b, c)  DESC , d nulls last "
                                     "LIMIT 3"),
              "SELECT a FROM t order by a NULLS FIRST, f(b, c)  DESC NULLS LAST , d nulls last "
              "LIMIT 3");
    EXPECT_EQ(with_sqlite_null_order("SELECT a FROM t"), "SELECT a FROM t");
    // Other statements keep the order an index can give.
    EXPECT_EQ(plan_postgres_statement("SELECT a FROM t ORDER BY timestamp DESC LIMIT ?").sql,
              "SELECT a FROM t ORDER BY timestamp DESC LIMIT $1");
}

TEST(PostgresTranslation, JsonPathParametersPairWithTheirValues) {
    struct Case {
        Params in;
        Params out;
    };
    const Case cases[] = {
        // Non-ASCII text is escaped, containers are compact, a trailing path stands alone.
        {{Value("$.\"p\".\"s\""), Value("\xc3\xa9")}, {Value("{\"p\",\"s\"}"), Value("\"\\u00e9\"")}},
        {{Value("$.a"), json_loads(R"({"k": [1, 2.5, null, true]})")},
         {Value("{\"a\"}"), Value(R"({"k":[1,2.5,null,true]})")}},
        {{Value(1), Value("$.a")}, {Value(1), Value("{\"a\"}")}},
        // What jsonb cannot hold is in no stored document: compared as NULL.
        {{Value("$.a"), Value(std::nan(""))}, {Value("{\"a\"}"), Value()}},
        {{Value("$.a"), json_loads(R"([1, -Infinity])")}, {Value("{\"a\"}"), Value()}},
        // Text that is not a path passes unchanged, even when it looks like JSON.
        {{Value("$a"), Value("\"x\"")}, {Value("$a"), Value("\"x\"")}},
    };
    for (const Case& c : cases) EXPECT_EQ(translate_json_extract_params(c.in), c.out);
}

TEST(PostgresTranslation, JsonPathLabelsAreArrayQuoted) {
    struct Case {
        const char* path;
        const char* literal;
    };
    const Case cases[] = {
        {"$.a.b", R"({"a","b"})"},
        {R"($."pool.a"."look back")", R"({"pool.a","look back"})"},
        // A label holding a double quote or a backslash has it escaped by a backslash.
        {R"($."say \"hi\"")", R"({"say \"hi\""})"},
        {R"($."back\\slash")", R"({"back\\slash"})"},
        // Not valid JSON: only the surrounding quotes go.
        {R"($."bad\q")", R"({"bad\\q"})"},
        {R"($."\u00e9")", "{\"\xc3\xa9\"}"},
        {"$", "{}"},
        {"$..a", R"({"a"})"},
    };
    for (const Case& c : cases) EXPECT_EQ(postgres_json_path(c.path), c.literal) << c.path;

    EXPECT_EQ(postgres_array_quote("word"), "\"word\"");
    EXPECT_EQ(postgres_array_quote(R"(a\b"c)"), R"("a\\b\"c")");
}

TEST(PostgresTranslation, PlaceholderColumnsNameTheFieldOfEachValue) {
    EXPECT_EQ(placeholder_columns("INSERT INTO signal_evaluations (era_id, graph_json, metaparameters) "
                                  "VALUES (?, ?, ?)"),
              (std::vector<std::string>{"era_id", "graph_json", "metaparameters"}));
    EXPECT_EQ(placeholder_columns("UPDATE t SET status=?, last_polled_at = ? WHERE e.status_id=? "
                                  "AND created_at >= ? LIMIT ?"),
              (std::vector<std::string>{"status", "last_polled_at", "status_id", "created_at", ""}));

    // A value assigned through COALESCE belongs to the column it is assigned to.
    EXPECT_EQ(placeholder_columns("UPDATE t SET finalized_at=COALESCE(?, finalized_at), "
                                  "payment_usdc = coalesce( ?, payment_usdc) WHERE x=?"),
              (std::vector<std::string>{"finalized_at", "payment_usdc", "x"}));
    EXPECT_EQ(plan_postgres_statement("UPDATE signal_evaluations SET agent_is_correlation=? "
                                      "WHERE e.eval_id=? AND named_universe = ? LIMIT ?")
                  .param_types,
              (std::vector<PostgresColumnType>{PostgresColumnType::Real, PostgresColumnType::Integer,
                                               PostgresColumnType::Text, PostgresColumnType::Unknown}));

    // Only the column the JSON-path filters cast to jsonb is checked for what jsonb refuses.
    const PostgresStatementPlan plan = plan_postgres_statement(
        "INSERT INTO signal_evaluations (graph_json, metaparameters) VALUES (?, ?)");
    EXPECT_EQ(plan.jsonb_params, (std::vector<std::size_t>{1}));
    EXPECT_TRUE(plan_postgres_statement("SELECT metaparameters FROM t WHERE metaparameters = ?")
                    .jsonb_params.empty());
}

TEST(PostgresTranslation, JsonbRefusesNulEscapesAndNonFiniteNumbersOnly) {
    struct Case {
        const char* json;
        bool refused;
    };
    const Case cases[] = {
        {R"({"p": {"x": 1.5e+300, "y": "NaN Infinity"}})", false},
        {R"({"p": {"x": NaN}})", true},
        {R"({"p": [1, -Infinity]})", true},
        {R"({"p": "a\u0000b"})", true},
        // An escaped backslash followed by the text u0000 is no NUL.
        {R"({"p": "a\\u0000"})", false},
        {R"({"p\"": "\u00001"})", true},
    };
    for (const Case& c : cases) EXPECT_EQ(jsonb_refusal(c.json) != nullptr, c.refused) << c.json;
}

TEST(PostgresColumnTypes, ValuesConvertedAsSqliteConvertsThemOrRefused) {
    using T = PostgresColumnType;
    using F = ColumnValue::Form;
    struct Case {
        Value value;
        T type;
        F form;
        const char* text;
    };
    const Case cases[] = {
        {Value(" 1.50 "), T::Real, F::Text, "1.5"},
        {Value("+12"), T::Real, F::Text, "12"},
        {Value(""), T::Real, F::Refused, "the text '' in a double precision column"},
        {Value("nan"), T::Real, F::Refused, "the text 'nan' in a double precision column"},
        {Value("1e999"), T::Real, F::Refused, "the text '1e999' in a double precision column"},
        {Value(1.5), T::Real, F::AsIs, ""},
        {Value(3), T::Real, F::AsIs, ""},
        {Value(" +12 "), T::Integer, F::Text, "12"},
        {Value("2.0"), T::Integer, F::Text, "2"},
        {Value("9223372036854775807"), T::Integer, F::Text, "9223372036854775807"},
        {Value(1e15), T::Integer, F::Text, "1000000000000000"},
        {Value("1.5"), T::Integer, F::Refused, "the text '1.5' in a bigint column"},
        {Value("9223372036854775808"), T::Integer, F::Refused,
         "the text '9223372036854775808' in a bigint column"},
        {Value(-1.5), T::Integer, F::Refused, "the real number -1.5 in a bigint column"},
        {Value(5), T::Text, F::Text, "5"},
        {Value(true), T::Text, F::Text, "1"},
        {Value(0.25), T::Text, F::Text, "0.25"},
        {Value(1e20), T::Text, F::Text, "1.0e+20"},
        {Value(1.0 / 3), T::Text, F::Text, "0.333333333333333"},
        {Value(-0.0), T::Text, F::Text, "0.0"},
        {Value(), T::Integer, F::AsIs, ""},
        {Value("x"), T::Unknown, F::AsIs, ""},
    };
    for (const Case& c : cases) {
        const ColumnValue got = postgres_column_value(c.value, c.type);
        EXPECT_EQ(got.form, c.form) << py_repr(c.value);
        EXPECT_EQ(got.text, c.text) << py_repr(c.value);
    }
    // Types come from the tables, whichever table a column is in; other names are unknown.
    EXPECT_EQ(postgres_column_type("era_id"), T::Integer);
    EXPECT_EQ(postgres_column_type("payment_usdc"), T::Real);
    EXPECT_EQ(postgres_column_type("instance_id"), T::Text);
    EXPECT_EQ(postgres_column_type("sharpe_m2"), T::Unknown);
}

TEST(PostgresSchema, TypesMappedToWhatHoldsTheSameValues) {
    EXPECT_EQ(postgres_table_ddl("CREATE TABLE t (\n    id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                                 "    n INTEGER NOT NULL DEFAULT 0,\n    x REAL,\n"
                                 "    s TEXT REFERENCES sims(id),\n    r REAL,\n    t TEXT\n)"),
              "CREATE TABLE t (\n    id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,\n"
              "    n BIGINT NOT NULL DEFAULT 0,\n    x DOUBLE PRECISION,\n"
              "    s TEXT COLLATE \"C\" REFERENCES sims(id),\n    r DOUBLE PRECISION,\n"
              "    t TEXT COLLATE \"C\"\n)");

    // Every table keeps its statement, and no SQLite-only type survives.
    const std::vector<std::string>& ddls = postgres_schema_ddls();
    ASSERT_EQ(ddls.size(), kSchemaDdls.size());
    int identity_keys = 0;
    for (const std::string& ddl : ddls) {
        EXPECT_EQ(ddl.find("AUTOINCREMENT"), std::string::npos) << ddl;
        EXPECT_EQ(ddl.find(" INTEGER"), std::string::npos) << ddl;
        EXPECT_EQ(ddl.find(" REAL"), std::string::npos) << ddl;
        if (ddl.find("GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY") != std::string::npos) ++identity_keys;
        // The connection maps every table statement again on its way to the server.
        EXPECT_EQ(postgres_table_ddl(ddl), ddl);
    }
    EXPECT_EQ(identity_keys, 10);  // evaluations, queues, attempts, statuses, retries
}

TEST(LibPqLoader, MissingLibraryNamesTheRequirementAndCarriesTheLoaderError) {
    try {
        load_libpq("libpq-absent-for-test.so.5");
        FAIL() << "loading a missing library succeeded";
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "psycopg2-binary is required when PLINTROVE_DB_URL uses Postgres.");
        ASSERT_TRUE(e.cause());
        try {
            std::rethrow_exception(e.cause());
        } catch (const RuntimeError& cause) {
            EXPECT_NE(std::string(cause.what()).find("libpq-absent-for-test.so.5"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace plintrove
