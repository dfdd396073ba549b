#include <string_view>

#include "bindings.h"
#include "plintrove/core/constants.h"

namespace plintrove::py {

namespace {

nb::str str(std::string_view text) { return nb::str(text.data(), text.size()); }

template <typename Names>
nb::list list_of(const Names& names) {
    nb::list out;
    for (std::string_view name : names) out.append(str(name));
    return out;
}

template <typename Names>
nb::tuple tuple_of(const Names& names) {
    return nb::tuple(list_of(names));
}

template <typename Pairs>
nb::list column_pairs(const Pairs& pairs) {
    nb::list out;
    for (const auto& [column, type] : pairs) out.append(nb::make_tuple(str(column), str(type)));
    return out;
}

}  // namespace

void bind_constants(nb::module_& m) {
    nb::dict submission_tables;
    for (const auto& [eval_type, roles] : kSubmissionTables) {
        const std::string_view values[] = {roles.queue,  roles.attempts,   roles.status,
                                           roles.retry,  roles.eval_table, roles.pool_column};
        nb::dict inner;
        for (std::size_t i = 0; i < kSubmissionRoleNames.size(); ++i)
            inner[str(kSubmissionRoleNames[i])] = str(values[i]);
        submission_tables[str(eval_type)] = inner;
    }
    m.attr("_SUBMISSION_TABLES") = submission_tables;
    m.attr("_SPLIT_SUBMISSION_TABLES") = tuple_of(kSplitSubmissionTables);
    m.attr("_SIGNAL_TABLES") = nb::make_tuple(str(kSignalTables.eval_table),
                                              str(kSignalTables.fn_table),
                                              str(kSignalTables.feat_table));
    m.attr("_STRATEGY_TABLES") = nb::make_tuple(str(kStrategyTables.eval_table),
                                                str(kStrategyTables.fn_table),
                                                str(kStrategyTables.feat_table));
    m.attr("_DB_INFO_TABLES") = list_of(kDbInfoTables);

    m.attr("VALID_STATUSES") = list_of(kValidStatuses);
    m.attr("TERMINAL_STATUSES") = nb::set(list_of(kTerminalStatuses));

    m.attr("_EVAL_METRIC_COLUMNS") = nb::tuple(column_pairs(kEvalMetricColumns));
    m.attr("_EVAL_METRIC_COLUMN_NAMES") = tuple_of(kEvalMetricColumnNames);

    m.attr("_DISK_THRESHOLD") = nb::int_(kDiskThreshold);
    m.attr("_POOL_V2_SCHEMA_VERSION") = nb::int_(kPoolV2SchemaVersion);
    m.attr("_DELETE_ACTIVE_ERROR") = str(kDeleteActiveError);

    nb::dict migrations;
    migrations[str(kSignalTables.eval_table)] = column_pairs(kSignalEvalColumnMigrations);
    migrations[str(kStrategyTables.eval_table)] = column_pairs(kStrategyEvalColumnMigrations);
    m.attr("_SQLITE_EVAL_COLUMN_MIGRATIONS") = migrations;

    nb::dict table_indexes;
    for (const TableIndexes& entry : kTableIndexes) {
        nb::list names;
        for (std::size_t i = 0; i < entry.count; ++i) names.append(str(entry.names[i]));
        table_indexes[str(entry.table)] = names;
    }
    m.attr("_TABLE_INDEXES") = table_indexes;

    m.attr("_SIM_INSERT_COLUMNS") = tuple_of(kSimInsertColumns);
    m.attr("_POSTGRES_URL_PREFIXES") = tuple_of(kPostgresUrlPrefixes);

    // The JSON-path filters as the PostgreSQL translation rewrites them.
    nb::object compile = nb::module_::import_("re").attr("compile");
    m.attr("_JSON_EXTRACT_EQ_RE") = compile(R"(json_extract\(([^,]+),\s*%s\)\s*=\s*%s)");
    m.attr("_JSON_EXTRACT_RE") = compile(R"(json_extract\(([^,]+),\s*%s\))");
}

}  // namespace plintrove::py
