#pragma once
// The one logger, "plintrove.search_tracking". Records carry a %-style format and its
// arguments unformatted, so a host logging system sees them as it sees its own.

#include <functional>
#include <string>
#include <vector>

#include "plintrove/value/value.h"

namespace plintrove {

inline constexpr const char* kLoggerName = "plintrove.search_tracking";

enum class LogLevel { Info = 20, Warning = 30 };

using LogSink = std::function<void(LogLevel, const std::string& format, const std::vector<Value>& args)>;

// Replaces the sink (the default writes formatted lines to stderr). Thread-safe.
void set_log_sink(LogSink sink);
void log(LogLevel level, const std::string& format, const std::vector<Value>& args);

}  // namespace plintrove
