#include "plintrove/queries/auto_metadata.h"

#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/row_values.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

AutoMetadata get_auto_metadata(SearchTracker& tracker, const Value& eval_id) {
    OperationScope operation(tracker);
    for (std::string_view table : {"signal_evaluations", "strategy_evaluations"}) {
        auto row = tracker.conn()
                       .execute("SELECT tree_depth, timestamp, rotation_families_json FROM " +
                                    std::string(table) + " WHERE eval_id=?",
                                {eval_id})
                       .fetchone();
        if (!row) continue;
        AutoMetadata meta;
        meta.expression_complexity = rows::to_int((*row)[0]);
        meta.submission_date = rows::to_real((*row)[1]);
        meta.rotation_families_used = rows::json_column((*row)[2], List{});
        return meta;
    }
    throw ValueError("Evaluation with eval_id=" + py_str(eval_id) + " not found");
}

}  // namespace plintrove
