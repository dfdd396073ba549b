#include "plintrove/storage/normalized_index_sql.h"

namespace plintrove {

namespace {

// The ASCII characters Python's \s matches in text.
bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

}  // namespace

std::string normalized_index_sql(std::optional<std::string_view> sql) {
    std::string out;
    if (!sql) return out;
    bool pending_blank = false;
    for (char c : *sql) {
        if (is_space(c)) {
            pending_blank = !out.empty();
            continue;
        }
        if (pending_blank) out += ' ';
        pending_blank = false;
        out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

}  // namespace plintrove
