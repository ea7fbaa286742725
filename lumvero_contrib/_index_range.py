"""``Index.range_search``: every live row within a radius of each query, found
inside the engine's scans (the pre-filter's bands cut at the radius, or the
kernel scan), never by growing k."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib._index_args import float_rows, int_ids, normalize, score_bound, sorted_unique
from lumvero_contrib._index_state import IndexState
from lumvero_contrib.storage.index_layout import METRIC_IDS

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]


def range_search(ix: IndexState, Q: npt.ArrayLike, radius: object, allow: Any,
                 stats: dict[str, object] | None = None
                 ) -> tuple[IdArray, FloatArray, IdArray]:
    """(lims, scores, ids) of Index.range_search (its docstring says what);
    stats, a dict, receives the call's counts as search's does."""
    if stats is not None and not isinstance(stats, dict):
        raise TypeError(f"stats must be a dict or None; got {type(stats).__name__}")
    metric = ix._metric
    # Compared in f64 with the radius rounded towards the side it admits
    # (score_bound): exactly as the radius given, never through float32.
    bound = score_bound(radius, at_least=metric != "euclidean")
    queries = float_rows(Q, "Q", ix._dims)
    allow_ids = None if allow is None else sorted_unique(int_ids(allow, "allow"))
    if metric == "cosine":
        normalize(queries, "Q", zero_ok=False)
    snap = ix._snapshot(allow_ids)
    lims, scores, positions = _native.range_search(snap.runs, queries, bound, METRIC_IDS[metric],
                                                   snap.live, snap.allowed, stats)
    snap.check_intact()
    return lims, scores, snap.ids[positions]
