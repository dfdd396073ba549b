#include "plintrove/queries/effective_trials.h"

#include <cmath>
#include <string>
#include <tuple>
#include <unordered_map>

#include "plintrove/core/errors.h"
#include "plintrove/core/graph_skeleton.h"
#include "plintrove/stats/jaccard_clustering.h"
#include "plintrove/stats/sharpe_moments.h"
#include "plintrove/value/json.h"

namespace plintrove {

namespace {

struct KindTables {
    std::string_view eval_table, pool_column, fn_table, feat_table;
};
constexpr KindTables kSignal{"signal_evaluations", "signal_pool_id", "signal_function_usage",
                             "signal_feature_usage"};
constexpr KindTables kStrategy{"strategy_evaluations", "strategy_pool_id",
                               "strategy_function_usage", "strategy_feature_usage"};

// The scope conditions common to every scope asked about: a single era, universe, pool or
// source narrows the scan, anything else is sorted out row by row.
struct ScanFilter {
    std::string where;
    Params params;
};
ScanFilter common_filter(const std::vector<TrialScope>& scopes, const KindTables& t) {
    ScanFilter out;
    const std::pair<std::string_view, const Value TrialScope::*> keys[] = {
        {"era_id", &TrialScope::era_id},
        {t.pool_column, &TrialScope::pool_id},
        {"named_universe", &TrialScope::named_universe},
        {"source", &TrialScope::source}};
    for (const auto& [column, member] : keys) {
        bool same = true;
        for (const TrialScope& s : scopes) same = same && s.*member == scopes.front().*member;
        if (!same) continue;
        out.where += out.where.empty() ? " WHERE " : " AND ";
        out.where += std::string(column) + " = ?";
        out.params.push_back(scopes.front().*member);
    }
    return out;
}

// The scope of a row among those asked about, matching values as the ledger keys them
// (NULL as 0 or the empty text); scopes.size() when none. A query asks about a handful of
// scopes, so a linear search beats building a key per row.
std::size_t find_scope(const std::vector<TrialScope>& scopes, const Value& era, const Value& pool,
                       const Value& universe, const Value& source) {
    static const Value kZero(0);
    static const Value kEmpty("");
    const Value& e = era.is_none() ? kZero : era;
    const Value& p = pool.is_none() ? kEmpty : pool;
    const Value& u = universe.is_none() ? kEmpty : universe;
    const Value& s = source.is_none() ? kEmpty : source;
    for (std::size_t i = 0; i < scopes.size(); ++i) {
        const TrialScope& scope = scopes[i];
        if (scope.era_id == e && scope.named_universe == u && scope.pool_id == p &&
            scope.source == s) {
            return i;
        }
    }
    return scopes.size();
}

std::string element_text(const Value& v) { return v.is_text() ? v.as_text() : json_dumps(v); }

}  // namespace

EffectiveMethod parse_effective_method(const Value& method) {
    if (method.is_text()) {
        const std::string& m = method.as_text();
        if (m == "raw") return EffectiveMethod::Raw;
        if (m == "graph_jaccard") return EffectiveMethod::GraphJaccard;
        if (m == "graph_hash") return EffectiveMethod::GraphHash;
    }
    throw ValueError("n_effective must be 'raw', 'graph_jaccard' or 'graph_hash'");
}

std::string_view effective_method_name(EffectiveMethod method) {
    switch (method) {
        case EffectiveMethod::Raw: return "raw";
        case EffectiveMethod::GraphJaccard: return "graph_jaccard";
        case EffectiveMethod::GraphHash: return "graph_hash";
    }
    return "raw";
}

std::vector<ScopePresence> scan_scopes(Connection& conn, bool strategy,
                                       const std::vector<TrialScope>& scopes,
                                       EffectiveMethod method, double similarity) {
    std::vector<ScopePresence> out(scopes.size());
    if (scopes.empty()) return out;
    const KindTables& t = strategy ? kStrategy : kSignal;

    // Candidate rows (not errored) of the scopes asked about.
    struct Candidate {
        std::size_t scope;
        std::optional<double> sharpe;
        std::vector<std::uint32_t> names;
        std::string skeleton;
    };
    std::vector<Candidate> candidates;
    std::unordered_map<std::int64_t, std::size_t> candidate_of;
    std::unordered_map<std::string, std::string> skeleton_of_text;
    const ScanFilter filter = common_filter(scopes, t);
    std::string sql = "SELECT eval_id, era_id, " + std::string(t.pool_column) +
                      ", named_universe, source, sharpe, " +
                      errored_trial_condition(conn, t.eval_table);
    if (method == EffectiveMethod::GraphHash) sql += ", graph_json";
    sql += " FROM " + std::string(t.eval_table) + filter.where;
    conn.for_each_row(sql, filter.params, [&](const Row& row) {
        const std::size_t scope = find_scope(scopes, row[1], row[2], row[3], row[4]);
        if (scope == scopes.size()) return;
        if (row[6].truthy()) return;
        ++out[scope].candidates;
        Candidate c{scope, stored_sharpe(row[5]), {}, {}};
        if (method == EffectiveMethod::GraphJaccard) c.names.reserve(16);
        if (method == EffectiveMethod::GraphHash && row[7].is_text()) {
            // Searches store the same graph text over and over: parse each text once.
            auto [known, added] = skeleton_of_text.try_emplace(row[7].as_text());
            if (added) known->second = graph_skeleton(json_loads(row[7].as_text()));
            c.skeleton = known->second;
        }
        candidate_of.emplace(row[0].as_int(), candidates.size());
        candidates.push_back(std::move(c));
    });
    if (method == EffectiveMethod::GraphJaccard) {
        // Function and feature names share one id space, kept apart by a prefix. The usage
        // tables are read whole: rows outside the scopes cost a hash lookup, where a join
        // back to the evaluations would cost an index search per row.
        std::unordered_map<std::string, std::uint32_t> ids;
        for (const auto& [table, column, tag] :
             {std::tuple{t.fn_table, "function_name", 'f'},
              std::tuple{t.feat_table, "feature_name", 'x'}}) {
            const std::string usage_sql =
                "SELECT eval_id, " + std::string(column) + " FROM " + std::string(table);
            std::string key;
            conn.for_each_row(usage_sql, {}, [&](const Row& row) {
                auto it = candidate_of.find(row[0].as_int());
                if (it == candidate_of.end()) return;
                key.assign(1, tag);
                key += element_text(row[1]);
                auto [id, added] = ids.try_emplace(key, static_cast<std::uint32_t>(ids.size()));
                candidates[it->second].names.push_back(id->second);
            });
        }
        for (Candidate& c : candidates) {
            std::sort(c.names.begin(), c.names.end());
            c.names.erase(std::unique(c.names.begin(), c.names.end()), c.names.end());
        }
    }

    // Cluster each scope's candidates, then the spread of the clusters' mean Sharpes.
    std::vector<std::vector<std::size_t>> members(scopes.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) members[candidates[i].scope].push_back(i);
    for (std::size_t s = 0; s < scopes.size(); ++s) {
        std::vector<std::size_t> labels;
        if (method == EffectiveMethod::GraphJaccard) {
            std::vector<std::vector<std::uint32_t>> sets;
            sets.reserve(members[s].size());
            for (std::size_t i : members[s]) sets.push_back(std::move(candidates[i].names));
            labels = cluster_by_jaccard(sets, similarity);
        } else {
            std::unordered_map<std::string, std::size_t> label_of;
            for (std::size_t i : members[s]) {
                labels.push_back(
                    label_of.try_emplace(candidates[i].skeleton, label_of.size()).first->second);
            }
        }
        std::size_t clusters = 0;
        for (std::size_t label : labels) clusters = std::max(clusters, label + 1);
        std::vector<SharpeMoments> per_cluster(clusters);
        for (std::size_t k = 0; k < labels.size(); ++k) {
            const std::optional<double>& sharpe = candidates[members[s][k]].sharpe;
            if (sharpe && std::isfinite(*sharpe)) per_cluster[labels[k]].add(*sharpe);
        }
        SharpeMoments across;
        for (const SharpeMoments& m : per_cluster) {
            if (m.count > 0) across.add(m.mean);
        }
        out[s].clusters = static_cast<std::int64_t>(clusters);
        out[s].cluster_variance = across.variance();
    }
    return out;
}

double effective_trial_count(std::int64_t ledger_trials, const ScopePresence& presence,
                             EffectiveMethod method) {
    const double trials = static_cast<double>(ledger_trials);
    if (method == EffectiveMethod::Raw || presence.candidates == 0) return trials;
    const double kept = static_cast<double>(presence.clusters) /
                        static_cast<double>(presence.candidates);
    return std::max(1.0, trials * kept);
}

}  // namespace plintrove
