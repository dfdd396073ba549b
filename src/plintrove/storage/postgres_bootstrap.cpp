#include "plintrove/storage/postgres_bootstrap.h"

#include <optional>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/storage/postgres_error.h"

namespace plintrove {

namespace {

constexpr std::int64_t kMinimumServerVersion = 100000;

void ignore_notice(void*, const char*) {}

}  // namespace

void configure_postgres_connection(const LibPq& pq, PGconn* conn) {
    pq.setNoticeProcessor(conn, ignore_notice, nullptr);
}

void assert_postgres_bootstrap_schema(Connection& conn) {
    std::optional<Row> row =
        conn.execute("SELECT current_setting('server_version_num')::integer, "
                     "current_setting('server_version')")
            .fetchone();
    if (!row || !(*row)[0].is_int()) throw RuntimeError("Could not read the PostgreSQL server version.");
    if ((*row)[0].as_int() < kMinimumServerVersion) {
        throw RuntimeError("PostgreSQL server " + (*row)[1].as_text() +
                           " is too old for SearchTracker storage: version 10 or later is "
                           "required (identity keys, INSERT ... ON CONFLICT, jsonb).");
    }
    try {
        row = conn.execute("SELECT ('{\"a\": {\"b\": 1}}'::jsonb #> '{a,b}') = '1'::jsonb, "
                           "'{\"a\": \"x\"}'::jsonb #>> '{a}'")
                  .fetchone();
    } catch (const PostgresError& e) {
        throw RuntimeError("PostgreSQL server lacks the jsonb type with its #> and #>> "
                           "operators, which SearchTracker's settings filters use.",
                           std::current_exception());
    }
    if (!row || (*row)[0] != Value(1) || (*row)[1] != Value("x")) {
        throw RuntimeError("PostgreSQL server's jsonb #> and #>> operators do not behave as "
                           "SearchTracker's settings filters require.");
    }
}

}  // namespace plintrove
