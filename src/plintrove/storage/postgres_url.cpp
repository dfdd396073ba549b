#include "plintrove/storage/postgres_url.h"

#include <cstdlib>
#include <string_view>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"

namespace plintrove {

std::optional<std::string> postgres_db_url_from_env() {
    const char* raw = std::getenv(kDbUrlEnvVar);
    if (!raw || !*raw) return std::nullopt;
    std::string_view url(raw);
    for (std::string_view prefix : kPostgresUrlPrefixes) {
        if (url.starts_with(prefix)) return std::string(url);
    }
    throw ValueError(
        "PLINTROVE_DB_URL must start with postgresql:// or postgres:// for SearchTracker "
        "Postgres storage.");
}

}  // namespace plintrove
