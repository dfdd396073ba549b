#include "plintrove/value/value.h"

#include <charconv>
#include <cmath>
#include <string>
#include <type_traits>

#include "plintrove/core/errors.h"

namespace plintrove {

namespace {

enum class Order { Less, Equal, Greater, Unordered };

template <typename T>
Order order_of(const T& a, const T& b) {
    return a < b ? Order::Less : (b < a ? Order::Greater : Order::Equal);
}

Order reverse(Order o) {
    switch (o) {
        case Order::Less: return Order::Greater;
        case Order::Greater: return Order::Less;
        default: return o;
    }
}

// Signed canonical decimal integers (no leading zeros, no "-0").
Order compare_decimal(std::string_view a, std::string_view b) {
    const bool neg_a = !a.empty() && a.front() == '-';
    const bool neg_b = !b.empty() && b.front() == '-';
    if (neg_a != neg_b) return neg_a ? Order::Less : Order::Greater;
    if (neg_a) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    Order magnitude = a.size() != b.size() ? order_of(a.size(), b.size()) : order_of(a, b);
    return neg_a ? reverse(magnitude) : magnitude;
}

std::string int_digits(std::int64_t i) { return std::to_string(i); }

// The exact integer part of a finite double, in decimal.
std::string truncated_digits(double d) {
    char buf[400];
    const double t = std::trunc(d);
    auto r = std::to_chars(buf, buf + sizeof buf, t, std::chars_format::fixed, 0);
    std::string s(buf, r.ptr);
    return s == "-0" ? "0" : s;
}

// int64 against double, exactly (Python never rounds the integer to a double).
Order compare_int_float(std::int64_t i, double d) {
    if (std::isnan(d)) return Order::Unordered;
    if (d >= 9223372036854775808.0) return Order::Less;
    if (d < -9223372036854775808.0) return Order::Greater;
    const double t = std::trunc(d);
    const auto ti = static_cast<std::int64_t>(t);
    if (i != ti) return order_of(i, ti);
    const double frac = d - t;
    return frac > 0 ? Order::Less : (frac < 0 ? Order::Greater : Order::Equal);
}

Order compare_big_float(const BigInt& b, double d) {
    if (std::isnan(d)) return Order::Unordered;
    if (std::isinf(d)) return d > 0 ? Order::Less : Order::Greater;
    Order o = compare_decimal(b.digits, truncated_digits(d));
    if (o != Order::Equal) return o;
    const double frac = d - std::trunc(d);
    return frac > 0 ? Order::Less : (frac < 0 ? Order::Greater : Order::Equal);
}

// Python's numeric comparison; both values must satisfy is_number().
Order compare_numbers(const Value& a, const Value& b) {
    using K = Value::Kind;
    auto int_of = [](const Value& v) {
        return v.is_bool() ? static_cast<std::int64_t>(v.as_bool()) : v.as_int();
    };
    const K ka = a.is_bool() ? K::Int : a.kind();
    const K kb = b.is_bool() ? K::Int : b.kind();
    if (ka == K::Int && kb == K::Int) return order_of(int_of(a), int_of(b));
    if (ka == K::Float && kb == K::Float) {
        const double x = a.as_float(), y = b.as_float();
        if (std::isnan(x) || std::isnan(y)) return Order::Unordered;
        return order_of(x, y);
    }
    if (ka == K::Int && kb == K::Float) return compare_int_float(int_of(a), b.as_float());
    if (ka == K::Float && kb == K::Int) return reverse(compare_int_float(int_of(b), a.as_float()));
    if (ka == K::BigInt && kb == K::BigInt)
        return compare_decimal(a.as_big_int().digits, b.as_big_int().digits);
    if (ka == K::BigInt && kb == K::Int)
        return compare_decimal(a.as_big_int().digits, int_digits(int_of(b)));
    if (ka == K::Int && kb == K::BigInt)
        return compare_decimal(int_digits(int_of(a)), b.as_big_int().digits);
    if (ka == K::BigInt) return compare_big_float(a.as_big_int(), b.as_float());
    return reverse(compare_big_float(b.as_big_int(), a.as_float()));
}

}  // namespace

Mapping::Mapping(std::initializer_list<Item> items) {
    items_.reserve(items.size());
    for (const Item& item : items) set(item.first, item.second);
}

Mapping Mapping::from_unique_items(std::vector<Item> items) {
    Mapping m;
    m.items_ = std::move(items);
    return m;
}

const Value* Mapping::find(const Value& key) const {
    if (key.is_text()) return find(std::string_view(key.as_text()));
    for (const Item& item : items_) {
        if (item.first == key) return &item.second;
    }
    return nullptr;
}

const Value* Mapping::find(std::string_view text_key) const {
    for (const Item& item : items_) {
        if (item.first.is_text() && item.first.as_text() == text_key) return &item.second;
    }
    return nullptr;
}

void Mapping::set(Value key, Value value) {
    for (Item& item : items_) {
        if (item.first == key) {
            item.second = std::move(value);
            return;
        }
    }
    items_.emplace_back(std::move(key), std::move(value));
}

bool Mapping::operator==(const Mapping& other) const {
    if (items_.size() != other.items_.size()) return false;
    for (const Item& item : items_) {
        const Value* theirs = other.find(item.first);
        if (theirs == nullptr || !(item.second == *theirs)) return false;
    }
    return true;
}

namespace {

// Levels freed by recursion before the explicit stack takes over: covers the items, tables
// and statistics values travel as without a heap-allocated stack, and bounds the frames.
constexpr int kRecursiveReleaseDepth = 16;

}  // namespace

void Value::release_children(int depth, std::vector<Value>& pending) noexcept {
    auto release = [depth, &pending](Value& child) {
        if (child.kind() < Kind::List) return;
        if (depth < kRecursiveReleaseDepth) {
            child.release_children(depth + 1, pending);
        } else {
            pending.push_back(std::move(child));
        }
        // Left empty, so its parent's destructor does not walk it again.
        child.v_ = std::monostate{};
    };
    if (auto* list = std::get_if<std::shared_ptr<const List>>(&v_)) {
        if (list->use_count() != 1) return;
        for (Value& child : const_cast<List&>(**list)) release(child);
    } else if (auto* map = std::get_if<std::shared_ptr<const Mapping>>(&v_)) {
        if (map->use_count() != 1) return;
        for (auto& [key, child] : const_cast<Mapping&>(**map).items_) release(child);
    }
}

void Value::release_nested() noexcept {
    std::vector<Value> pending;
    release_children(0, pending);
    while (!pending.empty()) {
        Value next = std::move(pending.back());
        pending.pop_back();
        next.release_children(0, pending);
    }
}

bool Value::truthy() const {
    switch (kind()) {
        case Kind::None: return false;
        case Kind::Bool: return as_bool();
        case Kind::Int: return as_int() != 0;
        case Kind::BigInt: return as_big_int().digits != "0";
        case Kind::Float: return as_float() != 0.0;
        case Kind::Text: return !as_text().empty();
        case Kind::List: return !as_list().empty();
        case Kind::Map: return !as_map().empty();
    }
    return false;
}

const Value* Value::get(std::string_view key) const {
    return is_map() ? as_map().find(key) : nullptr;
}

bool Value::operator==(const Value& other) const {
    if (is_number() && other.is_number()) return compare_numbers(*this, other) == Order::Equal;
    if (kind() != other.kind()) return false;
    switch (kind()) {
        case Kind::None: return true;
        case Kind::Text: return as_text() == other.as_text();
        case Kind::List: {
            const auto& a = std::get<std::shared_ptr<const List>>(v_);
            const auto& b = std::get<std::shared_ptr<const List>>(other.v_);
            return a == b || *a == *b;
        }
        case Kind::Map: {
            const auto& a = std::get<std::shared_ptr<const Mapping>>(v_);
            const auto& b = std::get<std::shared_ptr<const Mapping>>(other.v_);
            return a == b || *a == *b;
        }
        default: return false;  // numbers were handled above
    }
}

const char* py_type_name(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::None: return "NoneType";
        case Value::Kind::Bool: return "bool";
        case Value::Kind::Int:
        case Value::Kind::BigInt: return "int";
        case Value::Kind::Float: return "float";
        case Value::Kind::Text: return "str";
        case Value::Kind::List: return "list";
        case Value::Kind::Map: return "dict";
    }
    return "object";
}

bool py_less(const Value& a, const Value& b) {
    if (a.is_number() && b.is_number()) return compare_numbers(a, b) == Order::Less;
    if (a.is_text() && b.is_text()) return a.as_text() < b.as_text();  // bytewise = code point order
    if (a.is_list() && b.is_list()) {
        const List& x = a.as_list();
        const List& y = b.as_list();
        for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
            if (!(x[i] == y[i])) return py_less(x[i], y[i]);
        }
        return x.size() < y.size();
    }
    throw TypeError(std::string("'<' not supported between instances of '") + py_type_name(a) +
                    "' and '" + py_type_name(b) + "'");
}

}  // namespace plintrove
