#include "plintrove/value/py_repr.h"

#include <charconv>
#include <cmath>

#include "plintrove/value/printable.h"
#include "plintrove/value/utf8.h"

namespace plintrove {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, char32_t cp, int digits) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out.push_back(kHex[(cp >> shift) & 0xF]);
}

void repr_text_into(std::string_view text, std::string& out) {
    const bool has_single = text.find('\'') != std::string_view::npos;
    const bool has_double = text.find('"') != std::string_view::npos;
    const char quote = has_single && !has_double ? '"' : '\'';
    out.push_back(quote);
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* start = p;
        const char32_t cp = utf8::decode(p, end);
        if (cp == static_cast<char32_t>(quote) || cp == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(cp));
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (py_is_printable(cp)) {
            if (cp == utf8::kReplacement && p - start == 1) {
                utf8::append(out, cp);
            } else {
                out.append(start, p);
            }
        } else if (cp <= 0xFF) {
            out += "\\x";
            append_hex(out, cp, 2);
        } else if (cp <= 0xFFFF) {
            out += "\\u";
            append_hex(out, cp, 4);
        } else {
            out += "\\U";
            append_hex(out, cp, 8);
        }
    }
    out.push_back(quote);
}

void repr_into(const Value& v, std::string& out) {
    switch (v.kind()) {
        case Value::Kind::None: out += "None"; return;
        case Value::Kind::Bool: out += v.as_bool() ? "True" : "False"; return;
        case Value::Kind::Int: {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, v.as_int());
            out.append(buf, r.ptr);
            return;
        }
        case Value::Kind::BigInt: out += v.as_big_int().digits; return;
        case Value::Kind::Float: py_float_repr_into(v.as_float(), out); return;
        case Value::Kind::Text: repr_text_into(v.as_text(), out); return;
        case Value::Kind::List: {
            out.push_back('[');
            bool first = true;
            for (const Value& item : v.as_list()) {
                if (!first) out += ", ";
                first = false;
                repr_into(item, out);
            }
            out.push_back(']');
            return;
        }
        case Value::Kind::Map: {
            out.push_back('{');
            bool first = true;
            for (const auto& [key, item] : v.as_map()) {
                if (!first) out += ", ";
                first = false;
                repr_into(key, out);
                out += ": ";
                repr_into(item, out);
            }
            out.push_back('}');
            return;
        }
    }
}

}  // namespace

void py_float_repr_into(double d, std::string& out) {
    if (std::isnan(d)) {
        out += "nan";
        return;
    }
    if (std::isinf(d)) {
        out += d > 0 ? "inf" : "-inf";
        return;
    }
    // Shortest round-trip digits in scientific form ("-1.2345e+02"), re-laid out with
    // repr's rule: fixed notation for decimal exponents -4..15, else scientific.
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    const char* p = buf;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[20];
    int n = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[n++] = *p;
    }
    int exponent = 0;
    std::from_chars(p[1] == '+' ? p + 2 : p + 1, r.ptr, exponent);
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out.append(digits, static_cast<std::size_t>(n));
        } else {
            const int int_len = exponent + 1;
            if (n <= int_len) {
                out.append(digits, static_cast<std::size_t>(n));
                out.append(static_cast<std::size_t>(int_len - n), '0');
                out += ".0";
            } else {
                out.append(digits, static_cast<std::size_t>(int_len));
                out.push_back('.');
                out.append(digits + int_len, static_cast<std::size_t>(n - int_len));
            }
        }
        return;
    }
    out.push_back(digits[0]);
    if (n > 1) {
        out.push_back('.');
        out.append(digits + 1, static_cast<std::size_t>(n - 1));
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out.push_back('0');
    char ebuf[8];
    const auto er = std::to_chars(ebuf, ebuf + sizeof ebuf, magnitude);
    out.append(ebuf, er.ptr);
}

std::string py_float_repr(double d) {
    std::string out;
    py_float_repr_into(d, out);
    return out;
}

std::string py_repr(const Value& v) {
    std::string out;
    repr_into(v, out);
    return out;
}

std::string py_repr(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    repr_text_into(text, out);
    return out;
}

std::string py_str(const Value& v) {
    return v.is_text() ? v.as_text() : py_repr(v);
}

}  // namespace plintrove
