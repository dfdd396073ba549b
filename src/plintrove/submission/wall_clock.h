#pragma once
// Wall-clock time as stored in the submission tables: seconds since the epoch, with fractions.

#include <chrono>

namespace plintrove {

inline double wall_clock_now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace plintrove
