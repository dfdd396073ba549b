#include "plintrove/core/schema.h"

namespace plintrove {

// No foreign keys point from usage or submission rows to evaluations: pruning must delete
// evaluations without being refused and without a lookup per deleted row. Status rows do
// refer to sims, whose parent row the submission path creates first.

const std::string_view kSimsDdl = R"(CREATE TABLE IF NOT EXISTS sims (
    id TEXT PRIMARY KEY NOT NULL,
    graph_json TEXT,
    era_id INTEGER,
    market_id INTEGER,
    pool_id TEXT,
    named_universe TEXT,
    is_dates_json TEXT,
    metaparameters_json TEXT,
    search_state_json TEXT,
    frequency TEXT,
    resolved_context_json TEXT,
    status TEXT,
    progress REAL,
    created_at REAL,
    completed_at REAL,
    stats_json TEXT,
    pnl_json TEXT,
    error_msg TEXT,
    instance_id TEXT,
    author_id TEXT
))";

const std::vector<std::string_view> kSchemaDdls{
    kSimsDdl,

    R"(CREATE TABLE IF NOT EXISTS signal_evaluations (
    eval_id INTEGER PRIMARY KEY AUTOINCREMENT,
    timestamp REAL,
    era_id INTEGER,
    graph_json TEXT,
    tree_depth INTEGER,
    rotation_families_json TEXT,
    passed_thresholds INTEGER NOT NULL DEFAULT 0,
    sharpe REAL,
    returns REAL,
    turnover REAL,
    drawdown REAL,
    delta_exposure REAL,
    max_weight REAL,
    quality_score REAL,
    agent_is_correlation REAL,
    per_column_stats_json TEXT,
    rejection_reason TEXT,
    named_universe TEXT,
    metaparameters TEXT,
    submitted INTEGER NOT NULL DEFAULT 0,
    liquidity_metrics_json TEXT,
    source TEXT NOT NULL DEFAULT 'search',
    expression_elapsed_seconds REAL,
    is_correlation REAL,
    is_pnl_mi REAL,
    agent_is_pnl_mi REAL,
    failure_reason TEXT,
    failure_detail TEXT,
    signal_pool_id TEXT,
    instance_id TEXT,
    author_id TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS strategy_evaluations (
    eval_id INTEGER PRIMARY KEY AUTOINCREMENT,
    timestamp REAL,
    era_id INTEGER,
    graph_json TEXT,
    tree_depth INTEGER,
    rotation_families_json TEXT,
    passed_thresholds INTEGER NOT NULL DEFAULT 0,
    sharpe REAL,
    returns REAL,
    turnover REAL,
    drawdown REAL,
    delta_exposure REAL,
    max_weight REAL,
    quality_score REAL,
    agent_is_correlation REAL,
    per_column_stats_json TEXT,
    rejection_reason TEXT,
    named_universe TEXT,
    metaparameters TEXT,
    submitted INTEGER NOT NULL DEFAULT 0,
    liquidity_metrics_json TEXT,
    referenced_signal_ids_json TEXT,
    source TEXT NOT NULL DEFAULT 'search',
    expression_elapsed_seconds REAL,
    is_correlation REAL,
    is_pnl_mi REAL,
    agent_is_pnl_mi REAL,
    failure_reason TEXT,
    failure_detail TEXT,
    strategy_pool_id TEXT,
    strategy_signal_pool TEXT,
    instance_id TEXT,
    author_id TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS signal_function_usage (
    eval_id INTEGER NOT NULL,
    function_name TEXT,
    rotation_family TEXT,
    function_family TEXT,
    function_subfamily TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS signal_feature_usage (
    eval_id INTEGER NOT NULL,
    feature_name TEXT,
    feature_family TEXT,
    feature_subfamily TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS strategy_function_usage (
    eval_id INTEGER NOT NULL,
    function_name TEXT,
    rotation_family TEXT,
    function_family TEXT,
    function_subfamily TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS strategy_feature_usage (
    eval_id INTEGER NOT NULL,
    feature_name TEXT,
    feature_family TEXT,
    feature_subfamily TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS signal_submission_queue (
    queue_id INTEGER PRIMARY KEY AUTOINCREMENT,
    eval_id INTEGER,
    signal_pool_id TEXT,
    payload_json TEXT,
    era_id INTEGER,
    priority INTEGER DEFAULT 0,
    created_at REAL,
    instance_id TEXT,
    author_id TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS strategy_submission_queue (
    queue_id INTEGER PRIMARY KEY AUTOINCREMENT,
    eval_id INTEGER,
    strategy_pool_id TEXT,
    payload_json TEXT,
    era_id INTEGER,
    priority INTEGER DEFAULT 0,
    created_at REAL,
    instance_id TEXT,
    author_id TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS signal_submission_attempts (
    attempt_id INTEGER PRIMARY KEY AUTOINCREMENT,
    eval_id INTEGER,
    signal_pool_id TEXT,
    idempotency_key TEXT NOT NULL UNIQUE,
    era_id INTEGER,
    payload_json TEXT,
    started_at REAL,
    instance_id TEXT,
    author_id TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS strategy_submission_attempts (
    attempt_id INTEGER PRIMARY KEY AUTOINCREMENT,
    eval_id INTEGER,
    strategy_pool_id TEXT,
    idempotency_key TEXT NOT NULL UNIQUE,
    era_id INTEGER,
    payload_json TEXT,
    started_at REAL,
    instance_id TEXT,
    author_id TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS signal_submission_status (
    status_id INTEGER PRIMARY KEY AUTOINCREMENT,
    eval_id INTEGER,
    signal_pool_id TEXT,
    submission_id TEXT,
    sim_id TEXT REFERENCES sims(id),
    era_id INTEGER,
    status TEXT,
    submitted_at REAL,
    last_polled_at REAL,
    finalized_at REAL,
    is_stats_json TEXT,
    payment_json TEXT,
    payment_usdc REAL,
    useful_flag INTEGER,
    rejection_reason TEXT,
    instance_id TEXT,
    author_id TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS strategy_submission_status (
    status_id INTEGER PRIMARY KEY AUTOINCREMENT,
    eval_id INTEGER,
    strategy_pool_id TEXT,
    strategy_signal_pool TEXT,
    submission_id TEXT,
    sim_id TEXT REFERENCES sims(id),
    era_id INTEGER,
    status TEXT,
    submitted_at REAL,
    last_polled_at REAL,
    finalized_at REAL,
    is_stats_json TEXT,
    payment_json TEXT,
    payment_usdc REAL,
    useful_flag INTEGER,
    rejection_reason TEXT,
    instance_id TEXT,
    author_id TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS signal_submission_retry (
    retry_id INTEGER PRIMARY KEY AUTOINCREMENT,
    eval_id INTEGER,
    signal_pool_id TEXT,
    payload_json TEXT,
    era_id INTEGER,
    retry_count INTEGER DEFAULT 0,
    last_rejection_reason TEXT,
    retry_after REAL,
    created_at REAL,
    instance_id TEXT,
    author_id TEXT
))",

    R"(CREATE TABLE IF NOT EXISTS strategy_submission_retry (
    retry_id INTEGER PRIMARY KEY AUTOINCREMENT,
    eval_id INTEGER,
    strategy_pool_id TEXT,
    payload_json TEXT,
    era_id INTEGER,
    retry_count INTEGER DEFAULT 0,
    last_rejection_reason TEXT,
    retry_after REAL,
    created_at REAL,
    instance_id TEXT,
    author_id TEXT
))",
};

// All index statements live here so that they can be tuned in one place. The named ones
// are those maintenance rebuilds; the rest serve the submission lookups by id.
const std::vector<std::string_view> kSchemaIndexes{
    "CREATE INDEX IF NOT EXISTS idx_signal_era ON signal_evaluations(era_id, timestamp)",
    "CREATE INDEX IF NOT EXISTS idx_signal_timestamp ON signal_evaluations(timestamp)",
    "CREATE INDEX IF NOT EXISTS idx_signal_passed ON signal_evaluations(passed_thresholds, timestamp)",
    "CREATE INDEX IF NOT EXISTS idx_signal_rejection ON signal_evaluations(rejection_reason)",
    "CREATE INDEX IF NOT EXISTS idx_signal_settings ON signal_evaluations(era_id, named_universe, metaparameters)",
    "CREATE INDEX IF NOT EXISTS idx_signal_source ON signal_evaluations(source, timestamp)",

    "CREATE INDEX IF NOT EXISTS idx_strategy_era ON strategy_evaluations(era_id, timestamp)",
    "CREATE INDEX IF NOT EXISTS idx_strategy_timestamp ON strategy_evaluations(timestamp)",
    "CREATE INDEX IF NOT EXISTS idx_strategy_passed ON strategy_evaluations(passed_thresholds, timestamp)",
    "CREATE INDEX IF NOT EXISTS idx_strategy_rejection ON strategy_evaluations(rejection_reason)",
    "CREATE INDEX IF NOT EXISTS idx_strategy_settings ON strategy_evaluations(era_id, named_universe, metaparameters)",
    "CREATE INDEX IF NOT EXISTS idx_strategy_signal_pool ON strategy_evaluations(strategy_signal_pool)",
    "CREATE INDEX IF NOT EXISTS idx_strategy_source ON strategy_evaluations(source, timestamp)",

    "CREATE INDEX IF NOT EXISTS idx_sig_fn_eval ON signal_function_usage(eval_id)",
    "CREATE INDEX IF NOT EXISTS idx_sig_fn_name ON signal_function_usage(eval_id, function_name, rotation_family)",
    "CREATE INDEX IF NOT EXISTS idx_sig_feat_eval ON signal_feature_usage(eval_id)",
    "CREATE INDEX IF NOT EXISTS idx_sig_feat_name ON signal_feature_usage(eval_id, feature_name)",
    "CREATE INDEX IF NOT EXISTS idx_meta_fn_eval ON strategy_function_usage(eval_id)",
    "CREATE INDEX IF NOT EXISTS idx_meta_fn_name ON strategy_function_usage(eval_id, function_name, rotation_family)",
    "CREATE INDEX IF NOT EXISTS idx_meta_feat_eval ON strategy_feature_usage(eval_id)",
    "CREATE INDEX IF NOT EXISTS idx_meta_feat_name ON strategy_feature_usage(eval_id, feature_name)",

    "CREATE INDEX IF NOT EXISTS idx_signal_substatus_pool ON signal_submission_status(signal_pool_id)",
    "CREATE INDEX IF NOT EXISTS idx_strategy_substatus_pool ON strategy_submission_status(strategy_pool_id)",
    "CREATE INDEX IF NOT EXISTS idx_strategy_substatus_signal_pool "
    "ON strategy_submission_status(strategy_signal_pool)",
    "CREATE INDEX IF NOT EXISTS idx_signal_substatus_submission ON signal_submission_status(submission_id)",
    "CREATE INDEX IF NOT EXISTS idx_strategy_substatus_submission "
    "ON strategy_submission_status(submission_id)",
    "CREATE INDEX IF NOT EXISTS idx_signal_substatus_sim ON signal_submission_status(sim_id)",
    "CREATE INDEX IF NOT EXISTS idx_strategy_substatus_sim ON strategy_submission_status(sim_id)",
};

}  // namespace plintrove
