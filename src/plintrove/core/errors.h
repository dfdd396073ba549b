#pragma once
// The error kinds of the library. The Python binding maps each to the matching Python
// exception class; `cause` becomes the Python exception's __cause__.

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace plintrove {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message, std::exception_ptr cause = nullptr)
        : std::runtime_error(message), cause_(std::move(cause)) {}
    const std::exception_ptr& cause() const { return cause_; }

private:
    std::exception_ptr cause_;
};

class ValueError : public Error { using Error::Error; };
class TypeError : public Error { using Error::Error; };
class KeyError : public Error { using Error::Error; };
class RuntimeError : public Error { using Error::Error; };
// Nesting beyond what the JSON layer follows, where the host language runs out of recursion.
class RecursionError : public RuntimeError { using RuntimeError::RuntimeError; };
class IOError : public Error { using Error::Error; };

// An integer beyond what storage holds (64 bits).
class OverflowError : public Error { using Error::Error; };

// Text that cannot be encoded as UTF-8 (a lone surrogate carried from the host language).
// `position` counts code points, as the host's own encoder reports it.
class UnicodeEncodeError : public ValueError {
public:
    UnicodeEncodeError(std::string text, std::size_t position)
        : ValueError("'utf-8' codec can't encode a surrogate: surrogates not allowed"),
          text_(std::move(text)), position_(position) {}
    const std::string& text() const { return text_; }
    std::size_t position() const { return position_; }

private:
    std::string text_;
    std::size_t position_;
};

// Raised when a strategy references a signal of another pool.
class CrossPoolReferenceError : public ValueError { using ValueError::ValueError; };

// An error of the storage layer. `sqlite_code` is the extended SQLite result code
// (0 when the error did not come from SQLite). `origin` is an opaque handle to a
// host-language exception object that produced this error (for example one raised by
// a replaced `execute`), so the binding can re-raise the very same object.
class DatabaseError : public Error {
public:
    DatabaseError(const std::string& message, int sqlite_code,
                  std::shared_ptr<void> origin = nullptr)
        : Error(message), sqlite_code_(sqlite_code), origin_(std::move(origin)) {}
    int sqlite_code() const { return sqlite_code_; }
    const std::shared_ptr<void>& origin() const { return origin_; }

private:
    int sqlite_code_;
    std::shared_ptr<void> origin_;
};

// A host-language exception travelling through C++ unchanged (for example raised by a
// replaced `execute`, a describer or a queue). Only the binding creates and reads these.
class HostError : public Error {
public:
    HostError(const std::string& message, std::shared_ptr<void> origin)
        : Error(message), origin_(std::move(origin)) {}
    const std::shared_ptr<void>& origin() const { return origin_; }

private:
    std::shared_ptr<void> origin_;
};

}  // namespace plintrove
