"""The shapes of the host objects the tracker works with, for type checkers and readers.

Nothing here is required at run time: the tracker accepts any object with these
attributes (duck typing), and reads them at each use.
"""

from collections.abc import Callable
from typing import Any, Literal, Protocol, TypedDict, runtime_checkable


@runtime_checkable
class LibraryIdentity(Protocol):
    """Who writes: every inserted row carries these two values, read at each insert."""

    @property
    def instance_id(self) -> Any: ...

    @property
    def author_id(self) -> Any: ...


class BacktestStatsLike(Protocol):
    """What recording reads from its stats argument (a BacktestStats or a look-alike)."""

    sharpe: float
    returns: float
    turnover: float
    drawdown: float
    delta_exposure: float
    max_weight: float
    quality_score: float
    correlation: float
    liquidity_metrics: dict[str, Any]
    custom_stats: dict[str, Any]


class SearchStatus(Protocol):
    """The host's search status, which the WriterThread updates when it has to stop: an
    error code and recovery advice, running set to False, the message appended to errors."""

    error_code: str | None
    recovery_advice: str | None
    running: bool
    errors: list[Any]


class EvaluationQueueItem(TypedDict, total=False):
    """One evaluation a search worker puts on the WriterThread's queue. Missing keys take
    the writer's defaults: type "signal", era_id 1, passed_thresholds True, named_universe
    "", source "search", referenced_signal_ids []; stats must be present."""

    type: Literal["signal", "strategy"]
    graph: dict[str, Any]
    stats: BacktestStatsLike
    era_id: int
    passed_thresholds: bool
    named_universe: str
    metaparameters: dict[str, dict[str, Any]]
    function_families: dict[str, list[str]]
    feature_families: dict[str, list[str]]
    per_column_stats: dict[str, Any]
    rejection_reason: str | None
    source: Literal["search", "simulate"]
    expression_elapsed_seconds: float | None
    referenced_signal_ids: list[int]
    strategy_pool_id: str
    strategy_signal_pool: str
    signal_pool_id: str


class WorkerQueue(Protocol):
    """The inter-process queue the WriterThread drains."""

    def get(self, block: bool = True, timeout: float | None = None) -> Any: ...

    def get_nowait(self) -> Any: ...


# progress(eval_table, done, total) of the deletions and the era transition, after every
# chunk deleted and, when pruning, every index rebuilt; `done` and `total` count steps: id
# deletions over the usage and evaluation tables, then one per index of the three tables.
DeletionProgress = Callable[[str, int, int], object]
