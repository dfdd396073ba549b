#pragma once
// A dynamically typed value with Python's semantics: the currency in which graphs,
// metaparameters, family tables, statistics mappings and SQL parameters travel.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace plintrove {

class Value;
using List = std::vector<Value>;

// An insertion-ordered mapping. Keys are scalar Values (text in JSON, but Python dicts
// may also carry integer, float, bool or None keys).
class Mapping {
public:
    using Item = std::pair<Value, Value>;

    Mapping() = default;
    // Like a dict display: a repeated key keeps its first place and takes the last value.
    Mapping(std::initializer_list<Item> items);
    // Takes items whose keys are already pairwise distinct (the JSON decoder's output).
    static Mapping from_unique_items(std::vector<Item> items);

    // Lookup by key, following Python's equality for scalar keys (1 == 1.0 == True).
    const Value* find(const Value& key) const;
    const Value* find(std::string_view text_key) const;
    const Value* find(const char* text_key) const { return find(std::string_view(text_key)); }
    // Python `d[key] = value`: replaces in place, else appends.
    void set(Value key, Value value);

    const std::vector<Item>& items() const { return items_; }
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

    bool operator==(const Mapping& other) const;  // order-insensitive, like dict ==

private:
    friend class Value;
    std::vector<Item> items_;
};

// Integers beyond 64 bits keep their decimal text so they survive a round trip.
struct BigInt {
    std::string digits;  // optional leading '-', then decimal digits without leading zeros
    bool operator==(const BigInt&) const = default;
};

class Value {
public:
    enum class Kind : std::uint8_t { None, Bool, Int, BigInt, Float, Text, List, Map };

    Value() = default;  // None
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(BigInt b) : v_(std::move(b)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    // Containers are created non-const, so the last owner may take their children apart
    // when it goes (see release_nested).
    Value(List l) : v_(std::shared_ptr<const List>(std::make_shared<List>(std::move(l)))) {}
    Value(Mapping m)
        : v_(std::shared_ptr<const Mapping>(std::make_shared<Mapping>(std::move(m)))) {}

    Value(const Value&) = default;
    Value(Value&&) noexcept = default;
    Value& operator=(const Value&) = default;
    Value& operator=(Value&&) noexcept = default;
    ~Value() {
        if (kind() >= Kind::List) release_nested();
    }

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool is_none() const { return kind() == Kind::None; }
    bool is_bool() const { return kind() == Kind::Bool; }
    bool is_int() const { return kind() == Kind::Int; }
    bool is_big_int() const { return kind() == Kind::BigInt; }
    bool is_float() const { return kind() == Kind::Float; }
    bool is_number() const { return is_int() || is_float() || is_big_int() || is_bool(); }
    bool is_text() const { return kind() == Kind::Text; }
    bool is_list() const { return kind() == Kind::List; }
    bool is_map() const { return kind() == Kind::Map; }

    // Unchecked accessors: call only after testing the kind.
    bool as_bool() const { return std::get<bool>(v_); }
    std::int64_t as_int() const { return std::get<std::int64_t>(v_); }
    const BigInt& as_big_int() const { return std::get<BigInt>(v_); }
    double as_float() const { return std::get<double>(v_); }
    const std::string& as_text() const { return std::get<std::string>(v_); }
    const List& as_list() const { return *std::get<std::shared_ptr<const List>>(v_); }
    const Mapping& as_map() const { return *std::get<std::shared_ptr<const Mapping>>(v_); }

    // Python's truth value: None, False, 0, 0.0, "", [] and {} are false.
    bool truthy() const;

    // Mapping member lookup by text key; nullptr when this is not a mapping or lacks it.
    const Value* get(std::string_view key) const;

    // Python ==, with 1 == 1.0 == True and order-insensitive mappings.
    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }

private:
    // Frees nested containers so that dropping a value nested arbitrarily deep cannot
    // exhaust the call stack: the first levels by recursion, any deeper by an explicit stack.
    void release_nested() noexcept;
    // When this is the only owner of a container, empties its container children: those
    // `depth` levels below the top are handed to `pending`, the others freed in place.
    void release_children(int depth, std::vector<Value>& pending) noexcept;

    std::variant<std::monostate, bool, std::int64_t, BigInt, double, std::string,
                 std::shared_ptr<const List>, std::shared_ptr<const Mapping>>
        v_;
};

// Python's type name of the value: NoneType, bool, int, float, str, list, dict.
const char* py_type_name(const Value& v);

// Python's a < b: numbers compare exactly across int, float and bool, text by code
// point, lists lexicographically. Other pairs raise TypeError("'<' not supported
// between instances of 'X' and 'Y'").
bool py_less(const Value& a, const Value& b);

using Params = std::vector<Value>;
using Row = std::vector<Value>;

}  // namespace plintrove
