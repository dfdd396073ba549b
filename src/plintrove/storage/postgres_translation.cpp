#include "plintrove/storage/postgres_translation.h"

#include <array>
#include <cctype>
#include <regex>
#include <utility>

#include "plintrove/core/errors.h"
#include "plintrove/storage/postgres_column_types.h"
#include "plintrove/storage/postgres_schema.h"
#include "plintrove/value/json.h"

namespace plintrove {

namespace {

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

bool is_identifier_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.';
}

// The tables whose generated keys callers read back as lastrowid.
constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kReturningIds{{
    {"signal_evaluations", "eval_id"},
    {"strategy_evaluations", "eval_id"},
    {"signal_submission_queue", "queue_id"},
    {"strategy_submission_queue", "queue_id"},
    {"signal_submission_attempts", "attempt_id"},
    {"strategy_submission_attempts", "attempt_id"},
    {"signal_submission_status", "status_id"},
    {"strategy_submission_status", "status_id"},
    {"signal_submission_retry", "retry_id"},
    {"strategy_submission_retry", "retry_id"},
}};

const std::regex& json_extract_eq_re() {
    static const std::regex re(R"(json_extract\(([^,]+),\s*(\$\d+)\)\s*=\s*(\$\d+))");
    return re;
}

const std::regex& json_extract_re() {
    static const std::regex re(R"(json_extract\(([^,]+),\s*(\$\d+)\))");
    return re;
}

// The label of one path step as text: a quoted label is decoded as a JSON string, or,
// when it is not valid JSON, loses its surrounding quotes.
std::string path_label(std::string_view label) {
    if (!label.starts_with('"')) return std::string(label);
    try {
        Value decoded = json_loads(label);
        if (decoded.is_text()) return decoded.as_text();
    } catch (const Error&) {
    }
    while (!label.empty() && label.front() == '"') label.remove_prefix(1);
    while (!label.empty() && label.back() == '"') label.remove_suffix(1);
    return std::string(label);
}

}  // namespace

std::string normalized_statement(std::string_view sql) {
    sql = trimmed(sql);
    std::string out;
    out.reserve(sql.size());
    bool in_blank = false;
    for (char c : sql) {
        if (is_blank(c)) {
            in_blank = true;
            continue;
        }
        if (in_blank) out += ' ';
        in_blank = false;
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

StatementKind statement_kind(std::string_view normalized) {
    if (normalized == "begin") return StatementKind::Begin;
    if (normalized == "begin immediate") return StatementKind::BeginImmediate;
    if (normalized == "commit") return StatementKind::Commit;
    if (normalized == "rollback") return StatementKind::Rollback;
    if (normalized.starts_with("pragma ") || normalized.starts_with("delete from sqlite_sequence"))
        return StatementKind::Absorbed;
    return StatementKind::Statement;
}

std::string translate_postgres_text(std::string_view sql, bool* uses_json_paths) {
    std::string out;
    out.reserve(sql.size() + 16);
    int n = 0;
    for (char c : sql) {
        if (c == '?') {
            out += '$';
            out += std::to_string(++n);
        } else {
            out += c;
        }
    }
    const bool json = out.find("json_extract(") != std::string::npos;
    if (json) {
        out = std::regex_replace(out, json_extract_eq_re(), "($1::jsonb #> $2) = $3::jsonb");
        out = std::regex_replace(out, json_extract_re(), "($1::jsonb #>> $2)");
    }
    if (uses_json_paths) *uses_json_paths = json;
    return out;
}

Params translate_json_extract_params(const Params& params) {
    Params out;
    out.reserve(params.size());
    for (std::size_t i = 0; i < params.size();) {
        const Value& p = params[i];
        if (p.is_text() && p.as_text().starts_with("$.")) {
            out.emplace_back(postgres_json_path(p.as_text()));
            if (i + 1 < params.size()) {
                std::string encoded;
                json_dumps_compact_into(params[i + 1], encoded);
                // A value jsonb cannot hold (NaN, Infinity) is in no stored document: compared
                // as NULL it matches nothing, as a NaN bound on SQLite (NULL there too) does.
                if (jsonb_refusal(encoded)) out.emplace_back();
                else out.emplace_back(std::move(encoded));
                i += 2;
            } else {
                i += 1;
            }
        } else {
            out.push_back(p);
            i += 1;
        }
    }
    return out;
}

std::string postgres_json_path(std::string_view sqlite_path) {
    std::string_view rest = sqlite_path.empty() ? sqlite_path : sqlite_path.substr(1);
    std::string out = "{";
    bool first = true;
    std::size_t i = 0;
    while (i < rest.size()) {
        if (rest[i] != '.' || i + 1 >= rest.size()) {
            ++i;
            continue;
        }
        std::size_t start = i + 1;
        std::size_t end = std::string_view::npos;
        if (rest[start] == '"') {
            for (std::size_t j = start + 1; j < rest.size(); ++j) {
                if (rest[j] == '\\' && j + 1 < rest.size()) {
                    ++j;
                } else if (rest[j] == '"') {
                    end = j + 1;
                    break;
                }
            }
        }
        if (end == std::string_view::npos) {
            end = start;
            while (end < rest.size() && rest[end] != '.') ++end;
            if (end == start) {  // an empty step matches nothing
                ++i;
                continue;
            }
        }
        if (!first) out += ',';
        first = false;
        out += postgres_array_quote(path_label(rest.substr(start, end - start)));
        i = end;
    }
    out += '}';
    return out;
}

std::string postgres_array_quote(std::string_view value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else out += c;
    }
    out += '"';
    return out;
}

std::string with_sqlite_null_order(std::string_view sql) {
    std::string lower(sql);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // The last ORDER BY outside parentheses: the one of the outermost SELECT.
    std::size_t clause = std::string::npos;
    int depth = 0;
    for (std::size_t i = 0; i < lower.size(); ++i) {
        if (lower[i] == '(') ++depth;
        else if (lower[i] == ')') --depth;
        else if (depth == 0 && lower.compare(i, 8, "order by") == 0 &&
                 (i == 0 || is_blank(lower[i - 1])))
            clause = i + 8;
    }
    if (clause == std::string::npos) return std::string(sql);

    std::string out(sql.substr(0, clause));
    auto end_term = [&](std::size_t from, std::size_t to) {
        std::string_view term = trimmed(sql.substr(from, to - from));
        std::string_view lower_term = trimmed(std::string_view(lower).substr(from, to - from));
        out += sql.substr(from, to - from);
        if (term.empty() || lower_term.find(" nulls ") != std::string_view::npos) return;
        // Appended right after the term, before the blanks that followed it.
        const std::size_t blanks = (to - from) - (term.data() - (sql.data() + from)) - term.size();
        out.resize(out.size() - blanks);
        out += lower_term.ends_with(" desc") ? " NULLS LAST" : " NULLS FIRST";
        out += sql.substr(to - blanks, blanks);
    };
    std::size_t start = clause;
    depth = 0;
    std::size_t i = clause;
    for (; i < lower.size(); ++i) {
        const char c = lower[i];
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (depth == 0) break;
            --depth;
        } else if (depth == 0 && c == ',') {
            end_term(start, i);
            out += ',';
            start = i + 1;
        } else if (depth == 0 && is_blank(c) &&
                   (lower.compare(i + 1, 6, "limit ") == 0 || lower.compare(i + 1, 7, "offset ") == 0)) {
            break;
        }
    }
    end_term(start, i);
    out += sql.substr(i);
    return out;
}

std::optional<std::string_view> postgres_returning_column(std::string_view normalized_sql) {
    constexpr std::string_view kInsert = "insert into ";
    if (!normalized_sql.starts_with(kInsert)) return std::nullopt;
    std::string_view rest = normalized_sql.substr(kInsert.size());
    for (const auto& [table, key] : kReturningIds) {
        if (rest.starts_with(table) && rest.size() > table.size() &&
            (rest[table.size()] == ' ' || rest[table.size()] == '('))
            return key;
    }
    return std::nullopt;
}

const char* jsonb_refusal(std::string_view json) {
    bool in_string = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (in_string) {
            if (c == '"') {
                in_string = false;
            } else if (c == '\\' && i + 1 < json.size()) {
                if (json[i + 1] == 'u' && json.substr(i + 2, 4) == "0000")
                    return "JSON holding \\u0000, which jsonb cannot hold";
                ++i;  // skip the escaped character
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == 'N' || c == 'I') {
            return "JSON holding NaN or Infinity, which jsonb cannot hold";
        }
    }
    return nullptr;
}

PostgresStatementPlan plan_postgres_statement(std::string_view sql) {
    PostgresStatementPlan plan;
    const std::string normalized = normalized_statement(sql);
    plan.kind = statement_kind(normalized);
    if (plan.kind != StatementKind::Statement) return plan;

    plan.sql = translate_postgres_text(sql, &plan.uses_json_paths);
    // Column types written for SQLite mean something else here (REAL is 4 bytes, INTEGER 4,
    // AUTOINCREMENT unknown): table statements get the types that hold the same values.
    if (normalized.starts_with("create table ") || normalized.starts_with("alter table "))
        plan.sql = postgres_table_ddl(plan.sql);
    // SQLite's "REINDEX name" rebuilds an index; PostgreSQL needs to be told what it names.
    constexpr std::string_view kReindex = "reindex ";
    if (normalized.starts_with(kReindex) &&
        normalized.find(' ', kReindex.size()) == std::string::npos) {
        plan.sql = "REINDEX INDEX " + std::string(trimmed(trimmed(sql).substr(kReindex.size())));
    }
    if (normalized.starts_with("select distinct ")) plan.sql = with_sqlite_null_order(plan.sql);
    if (std::optional<std::string_view> key = postgres_returning_column(normalized)) {
        plan.returns_key = true;
        if (normalized.find(" returning ") == std::string::npos) {
            plan.sql += " RETURNING ";
            plan.sql += *key;
        }
    }
    for (std::string_view verb : {"insert", "update", "delete", "replace"}) {
        if (normalized.starts_with(verb)) plan.data_changing = true;
    }
    const std::vector<std::string> columns = placeholder_columns(sql);
    plan.param_types.reserve(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        plan.param_types.push_back(postgres_column_type(columns[i]));
        if (!plan.data_changing) continue;
        for (std::string_view jsonb : kJsonbFilteredColumns)
            if (columns[i] == jsonb) plan.jsonb_params.push_back(i);
    }
    return plan;
}

std::vector<std::string> placeholder_columns(std::string_view sql) {
    std::vector<std::size_t> marks;
    for (std::size_t i = 0; i < sql.size(); ++i)
        if (sql[i] == '?') marks.push_back(i);
    std::vector<std::string> names(marks.size());

    // Comparisons and assignments: the identifier before "=", "<", ">" (alias dropped).
    for (std::size_t k = 0; k < marks.size(); ++k) {
        std::size_t p = marks[k];
        while (p > 0 && is_blank(sql[p - 1])) --p;
        // "column = COALESCE(?, column)" assigns the value to the column as well.
        constexpr std::string_view kCoalesce = "coalesce(";
        if (p >= kCoalesce.size() &&
            normalized_statement(sql.substr(p - kCoalesce.size(), kCoalesce.size())) == kCoalesce) {
            p -= kCoalesce.size();
            while (p > 0 && is_blank(sql[p - 1])) --p;
        }
        std::size_t op = p;
        while (p > 0 && (sql[p - 1] == '=' || sql[p - 1] == '<' || sql[p - 1] == '>' ||
                         sql[p - 1] == '!'))
            --p;
        if (p == op) continue;
        while (p > 0 && is_blank(sql[p - 1])) --p;
        std::size_t end = p;
        while (p > 0 && is_identifier_char(sql[p - 1])) --p;
        std::string_view ident = sql.substr(p, end - p);
        if (std::size_t dot = ident.rfind('.'); dot != std::string_view::npos)
            ident.remove_prefix(dot + 1);
        names[k] = std::string(ident);
    }

    // An INSERT's VALUES list lines up with its column list.
    const std::string normalized = normalized_statement(sql);
    if (!normalized.starts_with("insert")) return names;
    const std::size_t open = sql.find('(');
    const std::size_t close = open == std::string_view::npos ? open : sql.find(')', open);
    if (close == std::string_view::npos) return names;
    std::vector<std::string> columns;
    std::string_view list = sql.substr(open + 1, close - open - 1);
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) comma = list.size();
        columns.emplace_back(trimmed(list.substr(start, comma - start)));
        start = comma + 1;
    }
    const std::size_t values_open = sql.find('(', close + 1);
    const std::size_t values_close =
        values_open == std::string_view::npos ? values_open : sql.find(')', values_open);
    if (values_close == std::string_view::npos) return names;
    std::size_t item = 0;
    for (std::size_t k = 0; k < marks.size(); ++k) {
        if (marks[k] < values_open || marks[k] > values_close) continue;
        // The item index is the number of commas between "(" and this mark.
        item = 0;
        for (std::size_t i = values_open + 1; i < marks[k]; ++i)
            if (sql[i] == ',') ++item;
        if (item < columns.size()) names[k] = columns[item];
    }
    return names;
}

}  // namespace plintrove
