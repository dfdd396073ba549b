#include "json_text.h"

#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "plintrove/core/graph_walk.h"
#include "plintrove/value/json.h"
#include "plintrove/value/py_repr.h"
#include "str_utf8.h"

namespace plintrove::py {

namespace {

bool is_container(PyObject* obj) {
    return PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj);
}

// A container being written and where its items continue.
struct Frame {
    nb::object container;
    bool dict;
    Py_ssize_t pos = 0;
    Py_ssize_t written = 0;
    std::size_t members = 0;  // its entry among the graph members kept, when they are
};

// Keeps the value of a plain key that names a graph member.
void keep_member(GraphMembers& dict, std::string_view key, PyObject* value) {
    for (auto k : {graph_walk::GraphKey::Type, graph_walk::GraphKey::Node,
                   graph_walk::GraphKey::Children}) {
        if (key == graph_walk::key_text(k)) dict.members[static_cast<std::size_t>(k)] = value;
    }
}

// The text being written, in a buffer each thread keeps between calls (so its growth is paid
// once) and written through a pointer; it reaches the caller's string in one append. A call
// nested through host code that a conversion runs finds the buffer taken and uses its own.
class TextOut {
public:
    TextOut() {
        Buffers& kept = kept_buffers();
        if (!kept.taken) {
            kept.taken = true;
            buffers_ = &kept;
        }
        if (buffers_->text.size() < kStart) buffers_->text.resize(kStart);
        at_ = buffers_->text.data();
        end_ = at_ + buffers_->text.size();
    }
    ~TextOut() {
        if (buffers_ == &own_) return;
        buffers_->frames.clear();  // what an error left
        buffers_->taken = false;
        if (buffers_->text.size() > kKeep) buffers_->text = std::string();
    }
    TextOut(const TextOut&) = delete;
    TextOut& operator=(const TextOut&) = delete;

    void put(char c) {
        room(1);
        *at_++ = c;
    }
    void put(std::string_view s) {
        room(s.size());
        std::memcpy(at_, s.data(), s.size());
        at_ += s.size();
    }
    // A text that needs no escapes, between quotes, with what goes before and after it (views
    // of real characters: memcpy takes no null pointer, even for nothing).
    void put_plain_quoted(std::string_view before, std::string_view s, std::string_view after) {
        room(before.size() + s.size() + after.size() + 2);
        std::memcpy(at_, before.data(), before.size());
        at_ += before.size();
        *at_++ = '"';
        std::memcpy(at_, s.data(), s.size());
        at_ += s.size();
        *at_++ = '"';
        std::memcpy(at_, after.data(), after.size());
        at_ += after.size();
    }
    // A cleared string for the rare pieces written by the library's own writers.
    std::string& piece() {
        buffers_->piece.clear();
        return buffers_->piece;
    }
    void append_to(std::string& out) const {
        out.append(buffers_->text.data(), static_cast<std::size_t>(at_ - buffers_->text.data()));
    }
    // The walk's stack, kept with the buffer for the same reason.
    std::vector<Frame>& frames() { return buffers_->frames; }

private:
    static constexpr std::size_t kStart = 256;
    static constexpr std::size_t kKeep = std::size_t{1} << 16;

    struct Buffers {
        std::string text;  // all of it is room; the text written runs up to at_
        std::string piece;
        std::vector<Frame> frames;
        bool taken = false;
    };
    static Buffers& kept_buffers() {
        thread_local Buffers buffers;
        return buffers;
    }
    void room(std::size_t n) {
        if (n > static_cast<std::size_t>(end_ - at_)) [[unlikely]] grow(n);
    }
    [[gnu::noinline]] void grow(std::size_t n) {
        std::string& text = buffers_->text;
        const std::size_t len = static_cast<std::size_t>(at_ - text.data());
        text.resize(std::max(text.size() * 2, len + n));
        at_ = text.data() + len;
        end_ = text.data() + text.size();
    }

    Buffers own_;
    Buffers* buffers_ = &own_;
    char* at_ = nullptr;   // where the next byte goes
    char* end_ = nullptr;  // the end of the room
};

void put_quoted(std::string_view text, TextOut& out) {
    if (json_plain_prefix(text) == text.size()) {
        out.put_plain_quoted("", text, "");
    } else {
        std::string& piece = out.piece();
        json_quote_into(text, piece);
        out.put(piece);
    }
}

// A text's JSON literal; one with lone surrogates takes its converted form.
void write_text(PyObject* text, TextOut& out, JsonTextForms& forms) {
    Py_ssize_t size = 0;
    if (const char* data = str_utf8(text, &size)) {
        put_quoted(std::string_view(data, static_cast<std::size_t>(size)), out);
    } else {
        PyErr_Clear();
        forms.lone_surrogate = true;
        put_quoted(to_value(text).as_text(), out);
    }
}

void write_key(PyObject* key, TextOut& out, JsonTextForms& forms) {
    if (PyUnicode_Check(key)) {
        if (!PyUnicode_CheckExact(key)) forms.str_subclass_key = true;
        write_text(key, out, forms);
    } else {
        std::string& piece = out.piece();
        json_key_into(key_to_value(key), piece);
        out.put(piece);
        forms.non_text_key = true;
    }
}

// The usual key, an exact ASCII str needing no escapes, read in place.
bool plain_ascii_key(PyObject* key, std::string_view& text) {
    return exact_ascii_text(key, text) && json_plain_prefix(text) == text.size();
}

// The common scalars are read as to_value reads them, without its dispatch; ints beyond
// 64 bits and other numbers take the converted value's path.
void write_scalar(PyObject* obj, TextOut& out, JsonTextForms& forms) {
    if (PyUnicode_Check(obj)) {
        write_text(obj, out, forms);
        return;
    }
    if (obj == Py_None) {
        out.put("null");
        return;
    }
    if (PyBool_Check(obj)) {
        out.put(obj == Py_True ? std::string_view("true") : std::string_view("false"));
        return;
    }
    std::string& piece = out.piece();
    if (PyFloat_Check(obj)) {
        const double d = PyFloat_AS_DOUBLE(obj);
        if (std::isfinite(d)) {
            py_float_repr_into(d, piece);
        } else {
            json_dumps_into(Value(d), piece);
        }
    } else if (PyLong_Check(obj)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        json_dumps_into(overflow == 0 ? Value(v) : to_value(obj), piece);
    } else {
        json_dumps_into(to_value(obj), piece);
    }
    out.put(piece);
}

// Iterative, as to_value is, so no depth reaches the end of the C stack.
void write_json(PyObject* root, TextOut& out, JsonTextForms& forms,
                std::vector<GraphMembers>* members) {
    if (!is_container(root)) {
        write_scalar(root, out, forms);
        return;
    }
    std::vector<Frame>& stack = out.frames();
    auto open = [&](PyObject* obj) {
        const bool dict = PyDict_Check(obj);
        out.put(dict ? '{' : '[');
        stack.push_back(Frame{nb::borrow(obj), dict});
        if (dict && members != nullptr) {
            stack.back().members = members->size();
            members->push_back(GraphMembers{obj});
        }
    };
    open(root);
    while (true) {
        Frame& frame = stack.back();
        nb::object child;
        if (frame.dict) {
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            if (PyDict_Next(frame.container.ptr(), &frame.pos, &key, &value)) {
                nb::object held_key = nb::borrow(key);
                child = nb::borrow(value);
                const std::string_view before = frame.written++ > 0 ? ", " : "";
                std::string_view plain;
                if (plain_ascii_key(key, plain)) {
                    if (members != nullptr) keep_member((*members)[frame.members], plain, value);
                    out.put_plain_quoted(before, plain, ": ");
                } else {
                    out.put(before);
                    write_key(key, out, forms);
                    out.put(": ");
                }
            }
        } else if (frame.pos < PySequence_Fast_GET_SIZE(frame.container.ptr())) {
            // Re-read the size each time, as to_value does.
            child = nb::borrow(PySequence_Fast_GET_ITEM(frame.container.ptr(), frame.pos++));
            if (frame.written++ > 0) out.put(", ");
        }
        if (!child.is_valid()) {
            out.put(frame.dict ? '}' : ']');
            stack.pop_back();
            if (stack.empty()) return;
        } else if (is_container(child.ptr())) {
            if (stack.size() >= static_cast<std::size_t>(kMaxJsonDepth)) {
                PyErr_SetString(PyExc_RecursionError,
                                "maximum recursion depth exceeded while converting a Python object");
                throw nb::python_error();
            }
            open(child.ptr());
        } else {
            write_scalar(child.ptr(), out, forms);
        }
    }
}

}  // namespace

JsonTextForms write_json_text(nb::handle obj, std::string& out,
                              std::vector<GraphMembers>* members) {
    JsonTextForms forms;
    TextOut text;
    write_json(obj.ptr(), text, forms, members);
    text.append_to(out);
    return forms;
}

std::optional<std::string> json_text_arg(nb::handle obj, const char* name) {
    if (obj.is_none()) return std::nullopt;
    std::string text;
    try {
        write_json_text(obj, text);
    } catch (nb::python_error& e) {
        raise_argument_conversion_error(e, name);
    }
    return text;
}

}  // namespace plintrove::py
