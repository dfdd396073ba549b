#pragma once
// Errors of the PostgreSQL storage: a DatabaseError with the server's SQLSTATE and the
// kind the binding raises it as (the module's DatabaseError, OperationalError,
// IntegrityError or InterfaceError).

#include <memory>
#include <string>
#include <string_view>

#include "plintrove/core/errors.h"

namespace plintrove {

class PostgresError : public DatabaseError {
public:
    enum class Kind { Database, Operational, Integrity, Interface };

    PostgresError(const std::string& message, Kind kind, std::string sqlstate = {},
                  std::shared_ptr<void> origin = nullptr)
        : DatabaseError(message, 0, std::move(origin)), kind_(kind), sqlstate_(std::move(sqlstate)) {}

    Kind kind() const { return kind_; }
    // Five characters from the server; empty for errors of the client side (a lost
    // connection, a closed connection).
    const std::string& sqlstate() const { return sqlstate_; }

    // The kind for a server error: class 23 is a constraint violation; connection, resource,
    // operator-intervention and system errors are operational (the statement may succeed
    // later); the rest (syntax, data, transaction state) are plain database errors.
    static Kind kind_of_sqlstate(std::string_view sqlstate) {
        if (sqlstate.size() < 2) return Kind::Operational;
        const std::string_view cls = sqlstate.substr(0, 2);
        if (cls == "23") return Kind::Integrity;
        if (cls == "08" || cls == "40" || cls == "53" || cls == "54" || cls == "55" ||
            cls == "57" || cls == "58" || cls == "HV")
            return Kind::Operational;
        return Kind::Database;
    }

private:
    Kind kind_;
    std::string sqlstate_;
};

}  // namespace plintrove
