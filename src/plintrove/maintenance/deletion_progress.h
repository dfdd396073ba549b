#pragma once
// Progress of the long deletions (pruning, era transition), reported chunk by chunk so a
// caller can show how far a multi-minute deletion has come. Pruning also reports each index
// it rebuilds afterwards, which on a large table takes about as long as the deletion.

#include <cstddef>
#include <functional>
#include <string_view>

namespace plintrove {

struct DeletionProgress {
    std::string_view eval_table;  // the evaluation type being deleted from
    std::string_view table;       // the table of the last chunk or rebuilt index
    std::size_t done = 0;         // steps so far
    std::size_t total = 0;        // three per id (function usage, feature usage, evaluation),
                                  // then, when pruning, one per index of the three tables
};

// Called after every chunk, on the deleting thread, inside the open transaction. An
// exception it throws ends the deletion and reaches the caller unchanged.
using DeletionProgressFn = std::function<void(const DeletionProgress&)>;

}  // namespace plintrove
