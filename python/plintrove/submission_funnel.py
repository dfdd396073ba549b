"""How far submitted candidates got: submissions and payments per type and status."""

from plintrove import search_tracking as st

# Statuses in pipeline order; a status not listed sorts after them by name.
_ORDER = {status: i for i, status in enumerate(st.VALID_STATUSES)}


def submission_funnel(tracker: st.SearchTracker) -> list[dict]:
    """One row per (eval_type, status) present, in pipeline order: the number of
    submissions and the USDC paid to them."""
    rows = []
    for eval_type in ("signal", "strategy"):
        table = st._SUBMISSION_TABLES[eval_type]["status"]
        found = tracker._conn.execute(
            f"SELECT status, COUNT(*), SUM(payment_usdc) FROM {table} GROUP BY status"
        ).fetchall()
        for status, count, paid in sorted(found, key=lambda r: (_ORDER.get(r[0], len(_ORDER)),
                                                                 str(r[0]))):
            rows.append({"eval_type": eval_type, "status": status, "submissions": int(count),
                         "paid_usdc": float(paid or 0.0)})
    return rows
