#pragma once
// Selection of PostgreSQL storage through the environment.

#include <optional>
#include <string>

namespace plintrove {

inline constexpr const char* kDbUrlEnvVar = "PLINTROVE_DB_URL";

// The value of PLINTROVE_DB_URL, unchanged, when it holds a PostgreSQL URL; none when it
// is unset or empty. Raises ValueError for a value of another scheme.
std::optional<std::string> postgres_db_url_from_env();

}  // namespace plintrove
