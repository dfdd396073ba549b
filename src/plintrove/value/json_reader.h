#pragma once
// The grammar of json.loads, written once for every kind of result. JsonReader walks the text
// and hands each value to a Builder that makes its own objects: library Values (json_loads),
// Python objects straight from stored text (the binding), or nothing at all (a check that
// the text would decode). All of them therefore accept, refuse and report exactly alike.
//
// A Builder provides:
//   using Result;                               what a value becomes
//   using ListParts; using MapParts;            a container being filled
//   Result null(); Result boolean(bool); Result integer(std::int64_t);
//   Result big_integer(std::string_view digits);  beyond 64 bits, optional leading '-'
//   Result real(double);
//   Result text(std::string_view utf8);         lone surrogates as three-byte sequences
//   ListParts begin_list(); void add_item(ListParts&, Result&&); Result end_list(ListParts&);
//   MapParts begin_map();
//   void add_member(MapParts&, std::string_view key, Result&&);  a repeated key keeps its
//                                               first place and takes the last value
//   Result end_map(MapParts&);

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "plintrove/value/json.h"

namespace plintrove {

namespace json_detail {

// ValueError with Python's JSONDecodeError message for `message` at `at` in the text.
[[noreturn]] void fail(const char* message, const char* begin, const char* at);
// RecursionError for nesting beyond kMaxJsonDepth ("array" or "object").
[[noreturn]] void fail_depth(const char* container);

// The number at p (which json.loads would read as one); advances p. Integers that fit in 64
// bits come back in `small`, larger ones as their text in `big`; reals in `real`.
enum class NumberKind { Small, Big, Real };
NumberKind number(const char* begin, const char*& p, const char* end, std::int64_t& small,
                  std::string_view& big, double& real);

// The string literal whose opening quote is at p, decoded; advances p past its closing
// quote. One without escapes comes back as a view into the text, others are written to
// `scratch` (and `escaped` is set).
std::string_view string(const char* begin, const char*& p, const char* end,
                        std::string& scratch, bool& escaped);

// Bytes that a JSON string literal may hold unescaped (json.loads is strict about control
// characters).
inline constexpr std::array<bool, 256> kStringPlain = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 256; ++c) t[c] = c != '"' && c != '\\';
    return t;
}();

// string(), with the common literal without escapes read in line.
inline std::string_view read_string(const char* begin, const char*& p, const char* end,
                                    std::string& scratch, bool& escaped) {
    const char* q = p + 1;
    while (q < end && kStringPlain[static_cast<unsigned char>(*q)]) ++q;
    if (q < end && *q == '"') {
        const std::string_view s(p + 1, static_cast<std::size_t>(q - p - 1));
        p = q + 1;
        escaped = false;
        return s;
    }
    return string(begin, p, end, scratch, escaped);
}

}  // namespace json_detail

template <typename Builder>
class JsonReader {
public:
    using Result = typename Builder::Result;

    JsonReader(std::string_view text, Builder& builder)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), b_(builder) {}

    Result document() {
        if (end_ - p_ >= 3 && std::string_view(p_, 3) == "\xEF\xBB\xBF")
            json_detail::fail("Unexpected UTF-8 BOM (decode using utf-8-sig)", begin_, p_);
        skip_ws();
        Result v = value(0);
        skip_ws();
        if (p_ != end_) json_detail::fail("Extra data", begin_, p_);
        return v;
    }

private:
    void skip_ws() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() ||
            std::string_view(p_, word.size()) != word)
            return false;
        p_ += word.size();
        return true;
    }

    Result value(int depth) {
        if (p_ >= end_) json_detail::fail("Expecting value", begin_, p_);
        switch (*p_) {
            case '"': {
                bool escaped = false;
                return b_.text(json_detail::read_string(begin_, p_, end_, scratch_, escaped));
            }
            case '{': ++p_; return object(depth + 1);
            case '[': ++p_; return array(depth + 1);
            case 'n': if (literal("null")) return b_.null(); break;
            case 't': if (literal("true")) return b_.boolean(true); break;
            case 'f': if (literal("false")) return b_.boolean(false); break;
            case 'N': if (literal("NaN")) return b_.real(__builtin_nan("")); break;
            case 'I': if (literal("Infinity")) return b_.real(__builtin_inf()); break;
            case '-': if (literal("-Infinity")) return b_.real(-__builtin_inf()); break;
            default: break;
        }
        std::int64_t small = 0;
        std::string_view big;
        double real = 0;
        switch (json_detail::number(begin_, p_, end_, small, big, real)) {
            case json_detail::NumberKind::Small: return b_.integer(small);
            case json_detail::NumberKind::Big: return b_.big_integer(big);
            case json_detail::NumberKind::Real: break;
        }
        return b_.real(real);
    }

    Result array(int depth) {
        if (depth > kMaxJsonDepth) json_detail::fail_depth("array");
        auto parts = b_.begin_list();
        skip_ws();
        if (p_ >= end_ || *p_ != ']') {
            while (true) {
                b_.add_item(parts, value(depth));
                skip_ws();
                if (p_ < end_ && *p_ == ']') break;
                if (p_ >= end_ || *p_ != ',') json_detail::fail("Expecting ',' delimiter", begin_, p_);
                ++p_;
                skip_ws();
            }
        }
        ++p_;
        return b_.end_list(parts);
    }

    Result object(int depth) {
        if (depth > kMaxJsonDepth) json_detail::fail_depth("object");
        auto parts = b_.begin_map();
        skip_ws();
        if (p_ >= end_ || *p_ != '}') {
            std::string key;
            while (true) {
                if (p_ >= end_ || *p_ != '"')
                    json_detail::fail("Expecting property name enclosed in double quotes", begin_, p_);
                // The key outlives the scratch buffer, which the member's value reuses.
                bool escaped = false;
                const std::string_view view = json_detail::read_string(begin_, p_, end_, scratch_, escaped);
                if (escaped) key.assign(view);
                skip_ws();
                if (p_ >= end_ || *p_ != ':') json_detail::fail("Expecting ':' delimiter", begin_, p_);
                ++p_;
                skip_ws();
                Result v = value(depth);
                b_.add_member(parts, escaped ? std::string_view(key) : view, std::move(v));
                skip_ws();
                if (p_ < end_ && *p_ == '}') break;
                if (p_ >= end_ || *p_ != ',') json_detail::fail("Expecting ',' delimiter", begin_, p_);
                ++p_;
                skip_ws();
            }
        }
        ++p_;
        return b_.end_map(parts);
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    Builder& b_;
    std::string scratch_;  // escaped strings, decoded
};

// Decodes `text` with `builder`, as json.loads(text) would.
template <typename Builder>
typename Builder::Result json_read(std::string_view text, Builder& builder) {
    return JsonReader<Builder>(text, builder).document();
}

// The builder that makes nothing: json_read with it raises exactly what json_loads would.
struct JsonCheck {
    struct Result {};
    struct ListParts {};
    struct MapParts {};
    Result null() { return {}; }
    Result boolean(bool) { return {}; }
    Result integer(std::int64_t) { return {}; }
    Result big_integer(std::string_view) { return {}; }
    Result real(double) { return {}; }
    Result text(std::string_view) { return {}; }
    ListParts begin_list() { return {}; }
    void add_item(ListParts&, Result&&) {}
    Result end_list(ListParts&) { return {}; }
    MapParts begin_map() { return {}; }
    void add_member(MapParts&, std::string_view, Result&&) {}
    Result end_map(MapParts&) { return {}; }
};

}  // namespace plintrove
