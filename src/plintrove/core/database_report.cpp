#include "plintrove/core/database_report.h"

#include <filesystem>
#include <system_error>

#include "plintrove/core/constants.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/core/reason_descriptions.h"
#include "plintrove/queries/evaluation_counts.h"
#include "plintrove/queries/rejection_reporting.h"

namespace plintrove {

namespace {

// The main file alone: the write-ahead log and shared-memory files are not counted.
std::int64_t database_file_size(const SearchTracker& tracker) {
    const auto& path = tracker.db_path();
    if (!path) return 0;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(*path, ec)) return 0;
    auto size = std::filesystem::file_size(*path, ec);
    return ec ? 0 : static_cast<std::int64_t>(size);
}

}  // namespace

DatabaseInfo get_db_info(SearchTracker& tracker, const ReasonDescriber& describe) {
    OperationScope operation(tracker);
    DatabaseInfo info;
    info.file_size_bytes = database_file_size(tracker);

    Mapping row_counts;
    for (std::string_view table : kDbInfoTables) {
        std::int64_t n = count_where(tracker, table);
        if (table == kSignalTables.eval_table) info.signal_evaluation_count = n;
        if (table == kStrategyTables.eval_table) info.strategy_evaluation_count = n;
        row_counts.set(Value(table), Value(n));
    }
    info.signal_passed_count =
        count_where(tracker, kSignalTables.eval_table, "passed_thresholds=1");
    info.strategy_passed_count =
        count_where(tracker, kStrategyTables.eval_table, "passed_thresholds=1");
    Mapping passed_counts{{Value(kSignalTables.eval_table), Value(info.signal_passed_count)},
                          {Value(kStrategyTables.eval_table), Value(info.strategy_passed_count)}};

    info.row_counts = std::move(row_counts);
    info.passed_counts = std::move(passed_counts);
    info.reason_descriptions = collect_reason_descriptions(tracker, describe);
    return info;
}

DatabaseInfo get_db_info(SearchTracker& tracker) {
    const ReasonDescriber& own = tracker.reason_describer();
    if (own) return get_db_info(tracker, own);
    return get_db_info(tracker, ReasonDescriber(describe_reason));
}

}  // namespace plintrove
