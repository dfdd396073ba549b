#include "plintrove/storage/sqlite_json_extract.h"

#include <cmath>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

// A path read once per statement (the filters bind it as a parameter, the same for every
// row). An unreadable step is kept as a mark at its place, so a document that ends before
// it still gives NULL, as when the path was read step by step alongside the document.
struct Path {
    bool bad_root = false;
    std::vector<Step> steps;
    bool bad_step = false;
};

Path read_path(std::string_view text) {
    Path path;
    if (text.empty() || text[0] != '$') {
        path.bad_root = true;
        return path;
    }
    std::size_t pos = 1;
    try {
        Step step;
        while (next_step(text, pos, step)) path.steps.push_back(step);
    } catch (const std::invalid_argument&) {
        path.bad_step = true;
    }
    return path;
}

// Thrown when the document is not JSON that json.loads would read.
struct MalformedJson {};

std::size_t skip_blanks(std::string_view t, std::size_t i) {
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t' || t[i] == '\n' || t[i] == '\r')) ++i;
    return i;
}

// Just past the string literal whose opening quote is at `i`.
std::size_t string_end(std::string_view t, std::size_t i) {
    for (++i; i < t.size(); ++i) {
        if (t[i] == '\\') {
            ++i;
        } else if (t[i] == '"') {
            return i + 1;
        }
    }
    throw MalformedJson{};
}

// Just past the value starting at `i`.
std::size_t value_end(std::string_view t, std::size_t i) {
    if (i >= t.size()) throw MalformedJson{};
    if (t[i] == '"') return string_end(t, i);
    if (t[i] == '{' || t[i] == '[') {
        int depth = 0;
        for (; i < t.size(); ++i) {
            const char c = t[i];
            if (c == '"') {
                i = string_end(t, i) - 1;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if ((c == '}' || c == ']') && --depth == 0) {
                return i + 1;
            }
        }
        throw MalformedJson{};
    }
    while (i < t.size() && t[i] != ',' && t[i] != '}' && t[i] != ']' && t[i] != ' ' &&
           t[i] != '\t' && t[i] != '\n' && t[i] != '\r') {
        ++i;
    }
    return i;
}

// After the member or element at `i`: the start of the next one, or npos at the end of
// the container (`close`).
std::size_t next_member(std::string_view t, std::size_t i, char close) {
    i = skip_blanks(t, value_end(t, i));
    if (i < t.size() && t[i] == ',') return skip_blanks(t, i + 1);
    if (i < t.size() && t[i] == close) return std::string_view::npos;
    throw MalformedJson{};
}

// The text of the member the path names, or none when there is none. Only the containers
// on the way are scanned, and nothing is decoded but the keys compared: a filter reads one
// member of every row, and decoding whole documents made it several times slower than
// SQLite's own function.
std::optional<std::string_view> locate(std::string_view t, const Path& path) {
    if (path.bad_root) throw std::invalid_argument("root");
    std::size_t at = skip_blanks(t, 0);
    for (const Step& step : path.steps) {
        if (at >= t.size()) throw MalformedJson{};
        const char open = step.key ? '{' : '[';
        const char close = step.key ? '}' : ']';
        if (t[at] != open) return std::nullopt;
        std::size_t i = skip_blanks(t, at + 1);
        if (i < t.size() && t[i] == close) return std::nullopt;
        for (std::size_t n = 0;; ++n) {
            if (step.key) {
                if (i >= t.size() || t[i] != '"') throw MalformedJson{};
                const std::size_t key_end = string_end(t, i);
                std::string_view raw = t.substr(i + 1, key_end - i - 2);
                const bool match = raw.find('\\') == std::string_view::npos
                                       ? raw == *step.key
                                       : json_loads(t.substr(i, key_end - i)).as_text() == *step.key;
                i = skip_blanks(t, key_end);
                if (i >= t.size() || t[i] != ':') throw MalformedJson{};
                i = skip_blanks(t, i + 1);
                if (match) break;
            } else if (n == step.index) {
                break;
            }
            i = next_member(t, i, close);
            if (i == std::string_view::npos) return std::nullopt;
        }
        at = i;
    }
    if (path.bad_step) throw std::invalid_argument("step");
    return t.substr(at, value_end(t, at) - at);
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
    const auto* path_chars = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
    std::string_view json_text(json, static_cast<std::size_t>(sqlite3_value_bytes(argv[0])));
    std::string_view path_text(path_chars, static_cast<std::size_t>(sqlite3_value_bytes(argv[1])));
    auto* path = static_cast<Path*>(sqlite3_get_auxdata(ctx, 1));
    if (!path) {
        path = new Path(read_path(path_text));
        sqlite3_set_auxdata(ctx, 1, path, [](void* p) { delete static_cast<Path*>(p); });
        // SQLite may free it at once when it cannot keep it for the next row.
        path = static_cast<Path*>(sqlite3_get_auxdata(ctx, 1));
        if (!path) {
            sqlite3_result_error_nomem(ctx);
            return;
        }
    }
    std::optional<std::string_view> found;
    try {
        found = locate(json_text, *path);
    } catch (const MalformedJson&) {
        sqlite3_result_error(ctx, "malformed JSON", -1);
        return;
    } catch (const std::exception&) {
        std::string message = "JSON path error near '" + std::string(path_text) + "'";
        sqlite3_result_error(ctx, message.c_str(), -1);
        return;
    }
    if (!found) {
        sqlite3_result_null(ctx);
        return;
    }
    try {
        set_result(ctx, json_loads(*found));
    } catch (const std::exception&) {
        sqlite3_result_error(ctx, "malformed JSON", -1);
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
