// JSON writer and decoder with Python's json module as the reference for every byte.
//
// The decoder is written here rather than taken from a JSON library: Python's acceptance
// rules (integers of any size, NaN and the infinities, duplicate keys where the last value
// wins in the first key's place, its exact error messages and positions) are easier to
// match in a small recursive parser than to bolt onto a general one, and it stays fast
// enough for decoding every history row. Its grammar is JsonReader (json_reader.h); the
// pieces below are the parts of it that do not depend on what the values become.

#include "plintrove/value/json.h"
#include "plintrove/value/json_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <unordered_map>

#include "plintrove/core/errors.h"
#include "plintrove/value/py_repr.h"
#include "plintrove/value/utf8.h"

namespace plintrove {

namespace {

constexpr int kMaxDepth = kMaxJsonDepth;

constexpr char kHex[] = "0123456789abcdef";

void append_u_escape(std::string& out, char32_t unit) {
    const char esc[6] = {'\\', 'u', kHex[(unit >> 12) & 0xF], kHex[(unit >> 8) & 0xF],
                         kHex[(unit >> 4) & 0xF], kHex[unit & 0xF]};
    out.append(esc, 6);
}

void append_quoted(std::string& out, std::string_view text) {
    out.push_back('"');
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* run = p;
        p += json_plain_prefix(std::string_view(p, static_cast<std::size_t>(end - p)));
        out.append(run, p);
        if (p == end) break;
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x80) {
            char32_t cp = utf8::decode(p, end);
            if (cp >= 0x10000) {
                cp -= 0x10000;
                append_u_escape(out, 0xD800 + (cp >> 10));
                append_u_escape(out, 0xDC00 + (cp & 0x3FF));
            } else {
                append_u_escape(out, cp);
            }
            continue;
        }
        ++p;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default: append_u_escape(out, c);
        }
    }
    out.push_back('"');
}

void append_int(std::string& out, std::int64_t i) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, i);
    out.append(buf, r.ptr);
}

[[noreturn]] void throw_depth(const char* what) {
    throw RecursionError(std::string("maximum recursion depth exceeded while ") + what);
}

using ItemRef = const Mapping::Item*;

// list.sort() of the items as Python 3.11 runs it on short lists (a natural run, then
// binary insertion), so that keys that cannot be ordered fail on the same pair, with the
// same operand order in the message, as sort_keys=True does.
void python_sort(std::vector<ItemRef>& a) {
    const std::size_t n = a.size();
    if (n < 2) return;
    auto lt = [](ItemRef x, ItemRef y) { return py_less(x->first, y->first); };
    std::size_t run = 2;
    if (lt(a[1], a[0])) {
        while (run < n && lt(a[run], a[run - 1])) ++run;
        std::reverse(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(run));
    } else {
        while (run < n && !lt(a[run], a[run - 1])) ++run;
    }
    for (std::size_t start = run; start < n; ++start) {
        ItemRef pivot = a[start];
        std::size_t l = 0, r = start;
        do {
            const std::size_t mid = l + ((r - l) >> 1);
            if (lt(pivot, a[mid])) {
                r = mid;
            } else {
                l = mid + 1;
            }
        } while (l < r);
        std::move_backward(a.begin() + static_cast<std::ptrdiff_t>(l),
                           a.begin() + static_cast<std::ptrdiff_t>(start),
                           a.begin() + static_cast<std::ptrdiff_t>(start) + 1);
        a[l] = pivot;
    }
}

// kCompact: separators "," and ":", sorted keys, no NaN or infinities.
template <bool kCompact>
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}

    void write(const Value& v, int depth) {
        switch (v.kind()) {
            case Value::Kind::None: out_ += "null"; return;
            case Value::Kind::Bool: out_ += v.as_bool() ? "true" : "false"; return;
            case Value::Kind::Int: append_int(out_, v.as_int()); return;
            case Value::Kind::BigInt: out_ += v.as_big_int().digits; return;
            case Value::Kind::Float: write_float(v.as_float()); return;
            case Value::Kind::Text: append_quoted(out_, v.as_text()); return;
            case Value::Kind::List: write_list(v.as_list(), depth + 1); return;
            case Value::Kind::Map: write_map(v.as_map(), depth + 1); return;
        }
    }

    // Keys become text the way json.dumps converts them.
    void write_key(const Value& key) {
        switch (key.kind()) {
            case Value::Kind::Text: append_quoted(out_, key.as_text()); return;
            case Value::Kind::Float:
                out_.push_back('"');
                write_float(key.as_float());
                out_.push_back('"');
                return;
            case Value::Kind::Bool: out_ += key.as_bool() ? "\"true\"" : "\"false\""; return;
            case Value::Kind::None: out_ += "\"null\""; return;
            case Value::Kind::Int:
                out_.push_back('"');
                append_int(out_, key.as_int());
                out_.push_back('"');
                return;
            case Value::Kind::BigInt:
                out_.push_back('"');
                out_ += key.as_big_int().digits;
                out_.push_back('"');
                return;
            case Value::Kind::List:
            case Value::Kind::Map:
                throw TypeError(std::string("keys must be str, int, float, bool or None, not ") +
                                py_type_name(key));
        }
    }

private:
    static constexpr const char* kItemSep = kCompact ? "," : ", ";
    static constexpr const char* kKeySep = kCompact ? ":" : ": ";

    void write_float(double d) {
        if (std::isfinite(d)) {
            py_float_repr_into(d, out_);
            return;
        }
        if (kCompact) throw ValueError("Out of range float values are not JSON compliant");
        out_ += std::isnan(d) ? "NaN" : (d > 0 ? "Infinity" : "-Infinity");
    }

    void write_list(const List& list, int depth) {
        if (depth > kMaxDepth) throw_depth("encoding a JSON object");
        out_.push_back('[');
        bool first = true;
        for (const Value& item : list) {
            if (!first) out_ += kItemSep;
            first = false;
            write(item, depth);
        }
        out_.push_back(']');
    }

    void write_item(const Mapping::Item& item, bool first, int depth) {
        if (!first) out_ += kItemSep;
        write_key(item.first);
        out_ += kKeySep;
        write(item.second, depth);
    }

    void write_map(const Mapping& map, int depth) {
        if (depth > kMaxDepth) throw_depth("encoding a JSON object");
        out_.push_back('{');
        if constexpr (kCompact) {
            std::vector<ItemRef> order;
            order.reserve(map.size());
            bool all_text = true;
            for (const auto& item : map) {
                order.push_back(&item);
                all_text = all_text && item.first.is_text();
            }
            if (all_text) {
                std::sort(order.begin(), order.end(), [](ItemRef x, ItemRef y) {
                    return x->first.as_text() < y->first.as_text();
                });
            } else {
                python_sort(order);
            }
            for (std::size_t i = 0; i < order.size(); ++i) write_item(*order[i], i == 0, depth);
        } else {
            bool first = true;
            for (const auto& item : map) {
                write_item(item, first, depth);
                first = false;
            }
        }
        out_.push_back('}');
    }

    std::string& out_;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// float() of the number text; values beyond the double range become +-inf or +-0.0.
double to_double(const char* start, const char* end, const char* int_start, const char* int_end) {
    double d = 0;
    const auto r = std::from_chars(start, end, d);
    if (r.ec != std::errc::result_out_of_range) return d;
    // Decide between overflow and underflow from the position of the first significant
    // digit and the exponent.
    long long magnitude;
    const char* c = int_start;
    while (c < int_end && *c == '0') ++c;
    if (c < int_end) {
        magnitude = int_end - c;
    } else {
        const char* f = int_end < end && *int_end == '.' ? int_end + 1 : int_end;
        const char* first = f;
        while (f < end && *f == '0') ++f;
        magnitude = -(f - first);
    }
    const char* e = std::find_if(int_end, end, [](char ch) { return ch == 'e' || ch == 'E'; });
    if (e != end) {
        bool negative_exp = false;
        ++e;
        if (*e == '+' || *e == '-') negative_exp = *e++ == '-';
        long long exponent = 0;
        for (; e < end && exponent < 1000000000; ++e) exponent = exponent * 10 + (*e - '0');
        magnitude += negative_exp ? -exponent : exponent;
    }
    const bool negative = *start == '-';
    const double result = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -result : result;
}

char32_t hex4(const char* begin, const char* h, const char* u) {
    char32_t cp = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = hex_value(h[i]);
        if (d < 0) json_detail::fail("Invalid \\uXXXX escape", begin, u);
        cp = (cp << 4) | static_cast<char32_t>(d);
    }
    return cp;
}

// u points at the 'u' of a \uXXXX escape; returns the position after the escape (or after
// the low half of a surrogate pair). Like Python, it wants at least one character after the
// digits, and joins a pair only when another follows the pair.
const char* unicode_escape(const char* begin, const char* u, const char* end, std::string& out) {
    const char* h = u + 1;
    if (end - h <= 4) json_detail::fail("Invalid \\uXXXX escape", begin, u);
    char32_t cp = hex4(begin, h, u);
    const char* next = h + 4;
    if (cp >= 0xD800 && cp <= 0xDBFF && end - next > 6 && next[0] == '\\' && next[1] == 'u') {
        const char32_t low = hex4(begin, next + 2, next + 1);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            next += 6;
        }
    }
    utf8::append(out, cp);
    return next;
}

// Values of the library, as json_loads returns them.
struct ValueBuilder {
    using Result = Value;
    using ListParts = List;
    // Duplicate keys are found by scanning while an object is small and through an index
    // built once it grows, so detection stays linear.
    struct MapParts {
        std::vector<Mapping::Item> items;
        std::unordered_map<std::string, std::size_t> index;
    };
    static constexpr std::size_t kIndexFrom = 16;

    Value null() { return Value(); }
    Value boolean(bool b) { return Value(b); }
    Value integer(std::int64_t i) { return Value(i); }
    Value big_integer(std::string_view digits) { return Value(BigInt{std::string(digits)}); }
    Value real(double d) { return Value(d); }
    Value text(std::string_view s) { return Value(std::string(s)); }
    List begin_list() { return {}; }
    void add_item(List& list, Value&& v) { list.push_back(std::move(v)); }
    Value end_list(List& list) { return Value(std::move(list)); }
    MapParts begin_map() { return {}; }
    void add_member(MapParts& m, std::string_view key, Value&& v) {
        std::size_t found = m.items.size();
        if (m.items.size() < kIndexFrom) {
            for (std::size_t i = 0; i < m.items.size(); ++i) {
                if (m.items[i].first.as_text() == key) {
                    found = i;
                    break;
                }
            }
        } else {
            if (m.index.empty()) {
                for (std::size_t i = 0; i < m.items.size(); ++i)
                    m.index.emplace(m.items[i].first.as_text(), i);
            }
            auto [it, inserted] = m.index.emplace(std::string(key), m.items.size());
            if (!inserted) found = it->second;
        }
        if (found < m.items.size()) {
            m.items[found].second = std::move(v);
        } else {
            m.items.emplace_back(Value(key), std::move(v));
        }
    }
    Value end_map(MapParts& m) { return Value(Mapping::from_unique_items(std::move(m.items))); }
};

}  // namespace

namespace json_detail {

// Python reports positions in code points, with a 1-based line and column.
void fail(const char* message, const char* begin, const char* at) {
    std::size_t pos = 0, line = 1, last_newline = 0;
    bool seen_newline = false;
    for (const char* c = begin; c < at; ++c) {
        if ((static_cast<unsigned char>(*c) & 0xC0) == 0x80) continue;
        if (*c == '\n') {
            ++line;
            last_newline = pos;
            seen_newline = true;
        }
        ++pos;
    }
    const std::size_t column = seen_newline ? pos - last_newline : pos + 1;
    char buf[96];
    std::snprintf(buf, sizeof buf, ": line %zu column %zu (char %zu)", line, column, pos);
    throw ValueError(std::string(message) + buf);
}

void fail_depth(const char* container) {
    throw_depth((std::string("decoding a JSON ") + container + " from a unicode string").c_str());
}

NumberKind number(const char* begin, const char*& p, const char* end, std::int64_t& small,
                  std::string_view& big, double& real) {
    const char* start = p;
    const char* q = p;
    if (*q == '-' && ++q >= end) fail("Expecting value", begin, start);
    const char* int_start = q;
    if (*q >= '1' && *q <= '9') {
        ++q;
        while (q < end && is_digit(*q)) ++q;
    } else if (*q == '0') {
        ++q;
    } else {
        fail("Expecting value", begin, start);
    }
    const char* int_end = q;
    bool is_float = false;
    if (end - q > 1 && *q == '.' && is_digit(q[1])) {
        is_float = true;
        q += 2;
        while (q < end && is_digit(*q)) ++q;
    }
    // An exponent without digits is not part of the number (Python backs off to the 'e').
    if (end - q > 1 && (*q == 'e' || *q == 'E')) {
        const char* e = q++;
        if (end - q > 1 && (*q == '-' || *q == '+')) ++q;
        while (q < end && is_digit(*q)) ++q;
        if (is_digit(q[-1])) {
            is_float = true;
        } else {
            q = e;
        }
    }
    p = q;
    if (is_float) {
        real = to_double(start, q, int_start, int_end);
        return NumberKind::Real;
    }
    const bool negative = start != int_start;
    const auto n = static_cast<std::size_t>(int_end - int_start);
    if (n <= 19) {
        std::uint64_t magnitude = 0;
        for (const char* c = int_start; c < int_end; ++c) magnitude = magnitude * 10 + (*c - '0');
        constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
        if (magnitude <= kMax) {
            const auto i = static_cast<std::int64_t>(magnitude);
            small = negative ? -i : i;
            return NumberKind::Small;
        }
        if (negative && magnitude == kMax + 1) {
            small = std::numeric_limits<std::int64_t>::min();
            return NumberKind::Small;
        }
    }
    big = std::string_view(start, static_cast<std::size_t>(int_end - start));
    return NumberKind::Big;
}

std::string_view string(const char* begin, const char*& p, const char* end,
                        std::string& scratch, bool& escaped) {
    const char* quote = p++;
    const char* q = p;
    while (q < end && json_detail::kStringPlain[static_cast<unsigned char>(*q)]) ++q;
    if (q < end && *q == '"') {
        std::string_view s(p, static_cast<std::size_t>(q - p));
        p = q + 1;
        escaped = false;
        return s;
    }
    scratch.assign(p, q);
    while (true) {
        if (q >= end) fail("Unterminated string starting at", begin, quote);
        if (*q == '"') break;
        if (*q != '\\') fail("Invalid control character at", begin, q);
        const char* backslash = q++;
        if (q >= end) fail("Unterminated string starting at", begin, quote);
        switch (*q) {
            case '"': scratch.push_back('"'); break;
            case '\\': scratch.push_back('\\'); break;
            case '/': scratch.push_back('/'); break;
            case 'b': scratch.push_back('\b'); break;
            case 'f': scratch.push_back('\f'); break;
            case 'n': scratch.push_back('\n'); break;
            case 'r': scratch.push_back('\r'); break;
            case 't': scratch.push_back('\t'); break;
            case 'u': q = unicode_escape(begin, q, end, scratch) - 1; break;
            default: fail("Invalid \\escape", begin, backslash);
        }
        ++q;
        const char* run = q;
        while (q < end && json_detail::kStringPlain[static_cast<unsigned char>(*q)]) ++q;
        scratch.append(run, q);
    }
    p = q + 1;
    escaped = true;
    return scratch;
}

}  // namespace json_detail

void json_dumps_into(const Value& v, std::string& out) {
    const std::size_t mark = out.size();
    try {
        Writer<false>(out).write(v, 0);
    } catch (...) {
        out.resize(mark);
        throw;
    }
}

std::string json_dumps(const Value& v) {
    std::string out;
    out.reserve(256);
    json_dumps_into(v, out);
    return out;
}

std::string json_dumps_compact_sorted(const Value& v) {
    std::string out;
    Writer<true>(out).write(v, 0);
    return out;
}

Value json_loads(std::string_view text) {
    ValueBuilder builder;
    return json_read(text, builder);
}

std::string json_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_quoted(out, text);
    return out;
}

void json_quote_into(std::string_view text, std::string& out) { append_quoted(out, text); }

void json_key_into(const Value& key, std::string& out) { Writer<false>(out).write_key(key); }

void json_dumps_compact_into(const Value& v, std::string& out) {
    switch (v.kind()) {
        case Value::Kind::Text: out += json_quote(v.as_text()); break;
        case Value::Kind::List: {
            out += '[';
            bool first = true;
            for (const Value& item : v.as_list()) {
                if (!first) out += ',';
                first = false;
                json_dumps_compact_into(item, out);
            }
            out += ']';
            break;
        }
        case Value::Kind::Map: {
            out += '{';
            bool first = true;
            for (const auto& [key, item] : v.as_map()) {
                if (!first) out += ',';
                first = false;
                // JSON keys are text: other scalar keys take their JSON spelling.
                out += json_quote(key.is_text() ? key.as_text() : json_dumps(key));
                out += ':';
                json_dumps_compact_into(item, out);
            }
            out += '}';
            break;
        }
        default: json_dumps_into(v, out); break;
    }
}

}  // namespace plintrove
