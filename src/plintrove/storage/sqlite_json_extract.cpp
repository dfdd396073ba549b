#include "plintrove/storage/sqlite_json_extract.h"

#include <cmath>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "plintrove/value/json.h"
#include "plintrove/value/value.h"

namespace plintrove {

namespace {

constexpr int kFirstVersionReadingNaN = 3042000;

// One step of a path: a member name, or an array index.
struct Step {
    std::optional<std::string> key;
    std::size_t index = 0;
};

// Reads the next step at `pos` of a path ("$" then .name, ."quoted name" or [n]); false at
// the end; throws std::invalid_argument on anything else.
bool next_step(std::string_view path, std::size_t& pos, Step& step) {
    if (pos >= path.size()) return false;
    if (path[pos] == '.') {
        ++pos;
        if (pos < path.size() && path[pos] == '"') {
            std::size_t end = pos + 1;
            while (end < path.size() && path[end] != '"') end += path[end] == '\\' ? 2 : 1;
            if (end >= path.size()) throw std::invalid_argument("unterminated name");
            Value name = json_loads(path.substr(pos, end + 1 - pos));
            step.key = name.as_text();
            pos = end + 1;
        } else {
            std::size_t end = path.find_first_of(".[", pos);
            if (end == std::string_view::npos) end = path.size();
            step.key = std::string(path.substr(pos, end - pos));
            pos = end;
        }
        return true;
    }
    if (path[pos] == '[') {
        std::size_t end = path.find(']', pos);
        if (end == std::string_view::npos || end == pos + 1) throw std::invalid_argument("index");
        std::string digits(path.substr(pos + 1, end - pos - 1));
        char* stop = nullptr;
        step.key.reset();
        step.index = std::strtoull(digits.c_str(), &stop, 10);
        if (*stop != '\0') throw std::invalid_argument("index");
        pos = end + 1;
        return true;
    }
    throw std::invalid_argument("step");
}

// The member the path names, or null when there is none.
const Value* follow(const Value& doc, std::string_view path) {
    if (path.empty() || path[0] != '$') throw std::invalid_argument("root");
    const Value* at = &doc;
    std::size_t pos = 1;
    Step step;
    while (next_step(path, pos, step)) {
        if (step.key) {
            if (!at->is_map()) return nullptr;
            at = at->as_map().find(Value(*step.key));
        } else {
            if (!at->is_list() || step.index >= at->as_list().size()) return nullptr;
            at = &at->as_list()[step.index];
        }
        if (at == nullptr) return nullptr;
    }
    return at;
}

void set_result(sqlite3_context* ctx, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::None: sqlite3_result_null(ctx); return;
        case Value::Kind::Bool: sqlite3_result_int(ctx, v.as_bool() ? 1 : 0); return;
        case Value::Kind::Int: sqlite3_result_int64(ctx, v.as_int()); return;
        case Value::Kind::BigInt:
            sqlite3_result_double(ctx, std::strtod(v.as_big_int().digits.c_str(), nullptr));
            return;
        case Value::Kind::Float:
            if (std::isnan(v.as_float())) {
                sqlite3_result_null(ctx);
            } else {
                sqlite3_result_double(ctx, v.as_float());
            }
            return;
        case Value::Kind::Text:
            sqlite3_result_text64(ctx, v.as_text().data(), v.as_text().size(), SQLITE_TRANSIENT,
                                  SQLITE_UTF8);
            return;
        case Value::Kind::List:
        case Value::Kind::Map: {
            // SQLite's minified text of a container: no blanks, keys in their stored order.
            std::string text;
            json_dumps_compact_into(v, text);
            sqlite3_result_text64(ctx, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
            return;
        }
    }
}

void json_extract(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    const auto* json = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const auto* path = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
    std::string_view json_text(json, static_cast<std::size_t>(sqlite3_value_bytes(argv[0])));
    std::string_view path_text(path, static_cast<std::size_t>(sqlite3_value_bytes(argv[1])));
    Value doc;
    try {
        doc = json_loads(json_text);
    } catch (const std::exception&) {
        sqlite3_result_error(ctx, "malformed JSON", -1);
        return;
    }
    try {
        const Value* found = follow(doc, path_text);
        if (found == nullptr) {
            sqlite3_result_null(ctx);
        } else {
            set_result(ctx, *found);
        }
    } catch (const std::exception&) {
        std::string message = "JSON path error near '" + std::string(path_text) + "'";
        sqlite3_result_error(ctx, message.c_str(), -1);
    }
}

}  // namespace

void install_json_extract(sqlite3* db) {
    if (sqlite3_libversion_number() >= kFirstVersionReadingNaN) return;
    sqlite3_create_function_v2(db, "json_extract", 2,
                               SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                               &json_extract, nullptr, nullptr, nullptr);
}

}  // namespace plintrove
