#pragma once
// Progress of the long deletions (pruning, era transition), reported chunk by chunk so a
// caller can show how far a multi-minute deletion has come.

#include <cstddef>
#include <functional>
#include <string_view>

namespace plintrove {

struct DeletionProgress {
    std::string_view eval_table;  // the evaluation type being deleted from
    std::string_view table;       // the table the last chunk came out of
    std::size_t done = 0;         // id deletions so far over the usage and evaluation tables
    std::size_t total = 0;        // three per id: function usage, feature usage, evaluation
};

// Called after every chunk, on the deleting thread, inside the open transaction. An
// exception it throws ends the deletion and reaches the caller unchanged.
using DeletionProgressFn = std::function<void(const DeletionProgress&)>;

}  // namespace plintrove
