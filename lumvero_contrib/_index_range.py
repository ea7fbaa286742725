"""``Index.range_search``: every live row within a radius of each query, found
inside the engine's scans (the pre-filter's bands cut at the radius, or the
kernel scan), never by growing k. One allow-list for every query is one
search; one list per query groups the queries by equal lists, as ``search``
does, one search per group."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib._index_allow import PerQuery, allow_lists
from lumvero_contrib._index_args import float_rows, normalize, score_bound
from lumvero_contrib._index_rows import Snapshot
from lumvero_contrib._index_state import IndexState
from lumvero_contrib._index_where import Where, check_where
from lumvero_contrib.storage.index_layout import METRIC_IDS

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]
Found = tuple[IdArray, FloatArray, IdArray]


def range_search(ix: IndexState, Q: npt.ArrayLike, radius: object, allow: Any,
                 where: Where | None = None, stats: dict[str, object] | None = None) -> Found:
    """(lims, scores, ids) of Index.range_search (its docstring says what);
    stats, a dict, receives the call's counts as search's does (summed over
    the groups of a call with one list per query)."""
    if stats is not None and not isinstance(stats, dict):
        raise TypeError(f"stats must be a dict or None; got {type(stats).__name__}")
    metric = ix._metric
    # Compared in f64 with the radius rounded towards the side it admits
    # (score_bound): exactly as the radius given, never through float32.
    bound = score_bound(radius, at_least=metric != "euclidean")
    queries = float_rows(Q, "Q", ix._dims)
    if metric == "cosine":
        normalize(queries, "Q", zero_ok=False)
    lists = allow_lists(allow, int(queries.shape[0]))
    if where is not None:
        check_where(where)
    if not isinstance(lists, list):
        return _within(ix._snapshot(lists, where), queries, bound, metric, stats)
    return _each(ix, queries, bound, lists, where, stats)


def _within(snap: Snapshot, queries: FloatArray, bound: float, metric: str,
            stats: dict[str, object] | None) -> Found:
    # The engine names the rows by their ids as it writes them out in order.
    lims, scores, ids = _native.range_search(snap.runs, queries, bound, METRIC_IDS[metric],
                                             snap.live, snap.allowed, stats, snap.ids)
    snap.check_intact()
    return lims, scores, ids


def _each(ix: IndexState, queries: FloatArray, bound: float, entries: PerQuery,
          where: Where | None, stats: dict[str, object] | None) -> Found:
    """One search per group of queries with equal allowed positions (one
    lookup of every list's ids), the answers put back in query order."""
    with ix._lock:  # every group's snapshot of one state, where evaluated once
        chosen = ix._chosen(where)
        snaps = []
        for members, allowed in ix._groups(entries):
            live, sel, selectable = ix._selecting(allowed, chosen)
            snaps.append((members, Snapshot(list(ix._runs), live, sel, selectable, ix._ids)))
    nq = int(queries.shape[0])
    per_query: list[tuple[FloatArray, IdArray]] = [(np.zeros(0, np.float32),
                                                    np.zeros(0, np.int64))] * nq
    for members, snap in snaps:
        counts: dict[str, object] = {}
        lims, scores, ids = _within(snap, queries[members], bound, ix._metric,
                                    counts if stats is not None else None)
        for j, q in enumerate(members.tolist()):
            per_query[q] = (scores[lims[j]:lims[j + 1]], ids[lims[j]:lims[j + 1]])
        if stats is not None:
            _add_counts(stats, counts)
    lims = np.zeros(nq + 1, np.int64)
    np.cumsum([p[1].size for p in per_query], out=lims[1:])
    if not nq:
        return lims, np.zeros(0, np.float32), np.zeros(0, np.int64)
    return (lims, np.concatenate([p[0] for p in per_query]).astype(np.float32, copy=False),
            np.concatenate([p[1] for p in per_query]).astype(np.int64, copy=False))


def _add_counts(total: dict[str, object], part: dict[str, object]) -> None:
    for key, value in part.items():
        if isinstance(value, bool):
            total[key] = bool(total.get(key, False)) or value
        elif isinstance(value, int):
            before = total.get(key, 0)
            total[key] = (before if isinstance(before, int) else 0) + value
