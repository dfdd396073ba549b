#pragma once
// Preparing a PostgreSQL session for the tracker, and checking that the server offers
// what the tracker's statements rely on.

#include <libpq-fe.h>

#include "plintrove/storage/connection.h"
#include "plintrove/storage/libpq_library.h"

namespace plintrove {

// Applied after every connect: the server's notices (such as "relation already exists,
// skipping" from the idempotent table statements) are not printed on the host's stderr.
void configure_postgres_connection(const LibPq& pq, PGconn* conn);

// Raises RuntimeError naming what is missing when the server is older than 10 (identity
// keys, INSERT ... ON CONFLICT) or lacks the jsonb path operators the settings filters use.
void assert_postgres_bootstrap_schema(Connection& conn);

}  // namespace plintrove
