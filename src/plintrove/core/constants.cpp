#include "plintrove/core/constants.h"

#include <algorithm>

namespace plintrove {

bool is_valid_status(std::string_view status) {
    return std::find(kValidStatuses.begin(), kValidStatuses.end(), status) != kValidStatuses.end();
}

static_assert(std::is_sorted(kTerminalStatuses.begin(), kTerminalStatuses.end()));

bool is_terminal_status(std::string_view status) {
    return std::binary_search(kTerminalStatuses.begin(), kTerminalStatuses.end(), status);
}

}  // namespace plintrove
