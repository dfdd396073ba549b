#include "plintrove/core/logging.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>

#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

// Python's `format % args` for the conversions log formats use. Returns false when the
// format and the arguments do not match, as Python would raise.
bool percent_format(const std::string& fmt, const std::vector<Value>& args, std::string& out) {
    std::size_t next = 0;
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            continue;
        }
        std::size_t start = i++;
        if (i < fmt.size() && fmt[i] == '%') {
            out += '%';
            continue;
        }
        while (i < fmt.size() && std::string_view("-+ #0").find(fmt[i]) != std::string_view::npos) ++i;
        while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i]))) ++i;
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i]))) ++i;
        }
        if (i >= fmt.size() || next >= args.size()) return false;
        std::string spec = fmt.substr(start, i - start);  // flags, width, precision
        const Value& arg = args[next++];
        char conv = fmt[i];
        std::string piece;
        switch (conv) {
            case 's': piece = py_str(arg); break;
            case 'r': case 'a': piece = py_repr(arg); break;
            case 'd': case 'i': case 'u': {
                if (arg.is_bool()) piece.assign(1, arg.as_bool() ? '1' : '0');
                else if (arg.is_int()) piece = std::to_string(arg.as_int());
                else if (arg.is_big_int()) piece = arg.as_big_int().digits;
                else if (arg.is_float() && std::isfinite(arg.as_float()))
                    piece = std::to_string(static_cast<long long>(std::trunc(arg.as_float())));
                else return false;
                break;
            }
            case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'x': case 'X': case 'o': {
                bool integral = conv == 'x' || conv == 'X' || conv == 'o';
                if (integral && !(arg.is_int() || arg.is_bool())) return false;
                if (!integral && !(arg.is_int() || arg.is_bool() || arg.is_float())) return false;
                std::string cfmt = spec + (integral ? "ll" : "") + conv;
                char buf[512];
                if (integral) {
                    long long v = arg.is_bool() ? arg.as_bool() : arg.as_int();
                    std::snprintf(buf, sizeof buf, cfmt.c_str(), v);
                } else {
                    double v = arg.is_float() ? arg.as_float()
                               : arg.is_bool() ? double(arg.as_bool()) : double(arg.as_int());
                    std::snprintf(buf, sizeof buf, cfmt.c_str(), v);
                }
                out += buf;
                continue;
            }
            default: return false;
        }
        // Width and the '-' flag apply to the text conversions too.
        std::size_t width = 0;
        bool left = spec.find('-') != std::string::npos;
        std::size_t w = spec.find_first_of("123456789");
        std::size_t dot = spec.find('.');
        if (w != std::string::npos && (dot == std::string::npos || w < dot))
            width = std::stoul(spec.substr(w, dot == std::string::npos ? std::string::npos : dot - w));
        if (conv == 's' || conv == 'r' || conv == 'a') {
            if (dot != std::string::npos) {
                std::size_t precision = dot + 1 < spec.size() ? std::stoul(spec.substr(dot + 1)) : 0;
                if (piece.size() > precision) piece.resize(precision);
            }
        }
        if (piece.size() < width) {
            std::string pad(width - piece.size(), ' ');
            piece = left ? piece + pad : pad + piece;
        }
        out += piece;
    }
    return next == args.size();
}

const char* level_name(LogLevel level) {
    return level == LogLevel::Warning ? "WARNING" : "INFO";
}

void stderr_sink(LogLevel level, const std::string& format, const std::vector<Value>& args) {
    std::string message;
    if (args.empty()) {
        message = format;  // logging leaves a message without args unformatted
    } else if (!percent_format(format, args, message)) {
        message = format;
        for (const Value& a : args) {
            message += ' ';
            message += py_repr(a);
        }
    }
    std::string line = std::string(level_name(level)) + ":" + kLoggerName + ":" + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// Function-local so that logging from another file's static initialiser finds them ready.
std::mutex& sink_mutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<const LogSink>& current_sink() {
    static std::shared_ptr<const LogSink> sink = std::make_shared<const LogSink>(stderr_sink);
    return sink;
}

}  // namespace

void set_log_sink(LogSink sink) {
    auto next = std::make_shared<const LogSink>(sink ? std::move(sink) : LogSink(stderr_sink));
    std::lock_guard<std::mutex> lock(sink_mutex());
    current_sink() = std::move(next);
}

void log(LogLevel level, const std::string& format, const std::vector<Value>& args) {
    std::shared_ptr<const LogSink> sink;
    {
        std::lock_guard<std::mutex> lock(sink_mutex());
        sink = current_sink();
    }
    (*sink)(level, format, args);
}

}  // namespace plintrove
