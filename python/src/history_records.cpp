#include "history_records.h"

#include <array>
#include <cstddef>
#include <iterator>
#include <string>

#include "bulk_converter.h"
#include "convert.h"
#include "json_objects.h"
#include "plintrove/core/errors.h"
#include "plintrove/queries/row_values.h"

namespace plintrove::py {

namespace {

constexpr std::size_t kMostFields = std::size(kHistoryFields);

nb::object checked_new(PyObject* obj) {
    if (obj == nullptr) throw nb::python_error();
    return nb::steal(obj);
}

class RecordBuilder {
public:
    RecordBuilder()
        : json_(texts_),
          function_keys_{texts_.text("function_name"), texts_.text("rotation_family"),
                         texts_.text("function_family"), texts_.text("function_subfamily")},
          feature_keys_{texts_.text("feature_name"), texts_.text("feature_family"),
                        texts_.text("feature_subfamily")} {}

    template <typename R>
    nb::object record(const StoredEvaluation& e, std::span<const HistoryField> layout) {
        std::array<nb::object, kMostFields> values;
        for (std::size_t i = 0; i < layout.size(); ++i) values[i] = field(e, layout[i]);
        return record_from_values<R>(values.data());
    }

private:
    nb::object field(const StoredEvaluation& e, const HistoryField& f) {
        const int column = f.column(e.strategy);
        const Value* stored = column < 0 ? nullptr : &e.columns[static_cast<std::size_t>(column)];
        switch (f.source) {
            case HistorySource::Column: return stored ? texts_(*stored) : nb::none();
            case HistorySource::Truth: return nb::borrow(stored->truthy() ? Py_True : Py_False);
            case HistorySource::Json:
            case HistorySource::JsonList: {
                if (const std::string* text = stored ? rows::json_column_text(*stored) : nullptr)
                    return json_(*text);
                if (f.source == HistorySource::Json) return nb::none();
                return checked_new(PyList_New(0));
            }
            case HistorySource::FailureDetail: return failure_detail(*stored);
            case HistorySource::EvalType: return texts_.text(e.strategy ? "strategy" : "signal");
            case HistorySource::Functions: return names(e.function_usage, kFunctionUsageWidth);
            case HistorySource::Features: return names(e.feature_usage, kFeatureUsageWidth);
            case HistorySource::FunctionMetadata:
                return mappings(e.function_usage, function_keys_.data(), kFunctionUsageWidth);
            case HistorySource::FeatureMetadata:
                return mappings(e.feature_usage, feature_keys_.data(), kFeatureUsageWidth);
        }
        return nb::none();
    }

    // A text holding a JSON object gives the mapping; anything else stays as stored.
    nb::object failure_detail(const Value& stored) {
        if (stored.is_text() && !stored.as_text().empty()) {
            nb::object decoded = json_.mapping_or_null(stored.as_text());
            if (decoded.is_valid()) return decoded;
        }
        return texts_(stored);
    }

    // The first column of each usage row.
    nb::object names(const std::vector<Value>& usage, std::size_t width) {
        const std::size_t n = usage.size() / width;
        nb::object list = checked_new(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), texts_(usage[i * width]).release().ptr());
        return list;
    }

    nb::object mappings(const std::vector<Value>& usage, const nb::object* keys, std::size_t width) {
        const std::size_t n = usage.size() / width;
        nb::object list = checked_new(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t i = 0; i < n; ++i) {
            nb::object dict = checked_new(PyDict_New());
            for (std::size_t k = 0; k < width; ++k) {
                if (PyDict_SetItem(dict.ptr(), keys[k].ptr(), texts_(usage[i * width + k]).ptr()) < 0)
                    throw nb::python_error();
            }
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), dict.release().ptr());
        }
        return list;
    }

    BulkConverter texts_;
    JsonObjects json_;
    std::array<nb::object, kFunctionUsageWidth> function_keys_;
    std::array<nb::object, kFeatureUsageWidth> feature_keys_;
};

}  // namespace

template <typename R>
nb::object stored_records(std::vector<StoredEvaluation>& evaluations,
                          std::span<const HistoryField> layout) {
    RecordBuilder builder;
    nb::object out = checked_new(PyList_New(static_cast<Py_ssize_t>(evaluations.size())));
    for (std::size_t i = 0; i < evaluations.size(); ++i) {
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i),
                        builder.record<R>(evaluations[i], layout).release().ptr());
        evaluations[i] = StoredEvaluation{};
    }
    return out;
}

template nb::object stored_records<EvaluationRecord>(std::vector<StoredEvaluation>&,
                                                     std::span<const HistoryField>);
template nb::object stored_records<PerColumnStatsRecord>(std::vector<StoredEvaluation>&,
                                                         std::span<const HistoryField>);

}  // namespace plintrove::py
