#pragma once
// The fields of a writer's queue item. Only the keys the writer reads are kept, each named
// by its own ItemKey, so no text key is built, searched or freed for any item.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "plintrove/value/value.h"

namespace plintrove {

// In the order the host's item is read.
enum class ItemKey : std::uint8_t {
    Type,
    Graph,
    EraId,
    PassedThresholds,
    NamedUniverse,
    Metaparameters,
    FunctionFamilies,
    FeatureFamilies,
    PerColumnStats,
    RejectionReason,
    Source,
    ExpressionElapsedSeconds,
    ReferencedSignalIds,
    StrategyPoolId,
    StrategySignalPool,
    SignalPoolId,
    // Not stored by the writer, but it tells the trial ledger an errored trial.
    FailureReason,
};

// The key each ItemKey stands for in the host's item, in ItemKey order.
inline constexpr std::array<std::string_view, 17> kItemKeyNames{
    "type",           "graph",          "era_id",           "passed_thresholds",
    "named_universe", "metaparameters", "function_families", "feature_families",
    "per_column_stats", "rejection_reason", "source",      "expression_elapsed_seconds",
    "referenced_signal_ids", "strategy_pool_id", "strategy_signal_pool", "signal_pool_id",
    "failure_reason"};
static_assert(kItemKeyNames.size() == static_cast<std::size_t>(ItemKey::FailureReason) + 1);

class QueueItemFields {
public:
    // A field of a key not yet set (each key is set at most once).
    void add(ItemKey key, Value value) { items_.emplace_back(key, std::move(value)); }
    void reserve(std::size_t count) { items_.reserve(count); }

    // The field, or null when the item did not carry it.
    const Value* find(ItemKey key) const {
        for (const auto& [k, v] : items_) {
            if (k == key) return &v;
        }
        return nullptr;
    }

private:
    std::vector<std::pair<ItemKey, Value>> items_;
};

}  // namespace plintrove
