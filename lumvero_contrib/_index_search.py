"""``Index.search`` and ``Index.range_search``: a snapshot of the rows and
the selection taken under the index's lock, then the engine's exact search
with the interpreter lock released."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib._index_args import (INT64_MAX, float_rows, int_ids, normalize,
                                         result_count, score_bound, sorted_unique)
from lumvero_contrib._index_state import FloatArray, IdArray, IdsLike, IndexState
from lumvero_contrib._index_where import Where, check_where, chosen_rows
from lumvero_contrib.storage.index_layout import METRIC_IDS


class Searching(IndexState):
    """The searches of an Index."""

    def search(self, Q: npt.ArrayLike, k: int, allow: IdsLike | None = None,
               stats: dict[str, object] | None = None, where: Where | None = None
               ) -> tuple[FloatArray, IdArray]:
        """The k best live rows for each query, exactly.

        Arguments:
            Q: ``(n, dims)`` or ``(dims,)`` (one query), any real dtype and
                layout, converted once to float32; for cosine each query is
                scaled to unit length as the rows are.
            k: results per query, 1 to 2**63 - 1. The search itself never
                asks for more than the rows it may return; the places beyond
                them are only filled in.
            allow: ids to search among (an int64 array-like or any iterable
                of ints: a set, a range, a generator); ids not present are
                ignored. The allow-list is applied inside the scan: a short list
                reads only its own rows.
            stats: a dict that receives how this call was answered (a dict
                argument rather than an attribute, so that searches running
                at once from several threads each get their own):
                ``"prefiltered"`` (whether the compressed int8 pre-filter
                ran), ``"rows_scanned"`` (rows scored through its codes),
                ``"rows_rescored"`` (rows scored exactly after a band of
                candidates) and ``"rows_fallback"`` (rows read as floats
                because the pre-filter's band ran too wide on this data).
                ``LUMVO_FILTER=off`` turns the pre-filter off, ``always`` on
                whatever the size; by default it runs where it pays.
            where: only rows whose attributes (``add(..., attrs=...)``)
                satisfy a predicate: a SQL boolean expression over the
                columns, evaluated by DuckDB over the Arrow columns
                (``"lang = 'pt' AND year >= 2020"``); with values as
                DuckDB's prepared parameters, never spliced into the SQL
                (``("lang = ? AND year >= ?", ["pt", 2020])``); or a
                ``pyarrow.compute.Expression``. A row whose predicate is
                NULL (a null attribute compared) is not selected, as SQL's
                WHERE. The rows selected are searched as an allow-list of
                their ids would be; with ``allow``, rows in both. The rows
                of a SQL predicate are remembered until the attributes
                change (the same SQL and parameters are evaluated once, a
                volatile function such as random() too).

        Returns:
            ``(scores, ids)``: float32 ``(n, k)`` and int64 ``(n, k)``, best
            first (higher first for cosine and dot, lower squared distance
            first for euclidean), equal scores by earlier insertion. Places
            beyond the rows available hold id -1 and the worst score (-inf for
            cosine and dot, +inf for euclidean), as do rows whose score is not
            finite.

        Raises:
            ValueError: a shape that does not fit (``"Q has 3 columns; this
                index has 128 dims"``), a non-finite value, k < 1 or
                k > 2**63 - 1, a zero query under cosine, or a where that
                cannot be evaluated (malformed, an unknown column: the
                message names it and includes DuckDB's or Arrow's).
            TypeError: Q or allow of the wrong dtype, k not an integer,
                stats not a dict, or where of another kind.
            ImportError: where without pyarrow or, for SQL, duckdb
                (``pip install lumvero[attrs]``).
            MemoryError: the ``(n, k)`` results cannot be allocated.

        Examples:
            >>> ix = Index(2, metric="euclidean")
            >>> ix.add([[0, 0], [3, 4], [1, 1]], ids=[5, 6, 7])
            >>> scores, ids = ix.search([0, 0], k=2, allow=[6, 7])
            >>> ids.tolist(), scores.tolist()
            ([[7, 6]], [[2.0, 25.0]])
        """
        if stats is not None and not isinstance(stats, dict):
            raise TypeError(f"stats must be a dict or None; got {type(stats).__name__}")
        k = result_count(k)
        queries = float_rows(Q, "Q", self._dims)
        if self._metric == "cosine":
            normalize(queries, "Q", zero_ok=False)
        allow_ids = None if allow is None else sorted_unique(int_ids(allow, "allow"))
        if where is not None:
            check_where(where)
        nq = int(queries.shape[0])
        _check_result_size(nq, k)
        with self._lock:
            # The snapshot: runs with their counts, the selection and the ids
            # by position. Writers only append beyond the counts or replace
            # whole arrays, so the search below reads a consistent state
            # without holding the lock.
            chosen = None if where is None else chosen_rows(self._attrs_whole(), where)
            live, allowed, selectable = self._selection(allow_ids, chosen)
            # The search asks for no more places than there are rows to
            # fill them; the rest is padding, allocated before any work.
            k_run = min(k, selectable)
            padded = _padded(nq, k, self._metric) if k_run < k else None
            if k_run == 0:
                assert padded is not None
                if stats is not None:
                    stats.update(prefiltered=False, rows_scanned=0, rows_rescored=0,
                                 rows_fallback=0)
                return padded
            runs = list(self._runs)
            snapshot = [r.snapshot() for r in runs]
            ids_by_position = self._ids
        scores, positions = _native.search(snapshot, queries, k_run, METRIC_IDS[self._metric],
                                           live, allowed, stats)
        for r in runs:
            r.check_intact()
        found = positions >= 0
        if padded is None:
            ids = np.full(positions.shape, -1, np.int64)
            ids[found] = ids_by_position[positions[found]]
            return scores, ids
        padded[0][:, :k_run] = scores
        padded[1][:, :k_run][found] = ids_by_position[positions[found]]
        return padded

    def range_search(self, Q: npt.ArrayLike, radius: float | np.floating[Any] | np.integer[Any],
                     allow: IdsLike | None = None, where: Where | None = None
                     ) -> tuple[IdArray, FloatArray, IdArray]:
        """Every live row within a radius of each query, exactly.

        A row is within the radius when its score is at least ``radius``
        (cosine, dot: a similarity) or at most ``radius`` (euclidean: a
        squared distance, not the distance scikit-learn's radius bounds),
        under the same kernel as ``search``; rows whose score is not finite
        are never returned. The float32 score is compared with the radius
        exactly as given: an int beyond float64 or a longdouble finer than
        it is not rounded first. The answer is ``search``'s with k grown until it
        reaches past the radius, so it holds the same rows and score bits.

        Arguments:
            Q: queries, as for ``search``.
            radius: the score bound (any real number: int, float, NumPy
                integer or floating, longdouble; not NaN).
            allow: ids to search among, as for ``search``.
            where: a predicate over the attributes, as for ``search``.

        Returns:
            ``(lims, scores, ids)`` as FAISS's ``range_search``: query i's
            results are ``scores[lims[i]:lims[i + 1]]`` and
            ``ids[lims[i]:lims[i + 1]]``, best first, equal scores by earlier
            insertion; lims is int64 ``(n + 1,)``.

        Raises:
            ValueError: as ``search``, or a NaN radius.
            TypeError: as ``search``, or a radius that is not a real number.

        Examples:
            >>> ix = Index(2, metric="euclidean")
            >>> ix.add([[0, 0], [3, 4], [1, 1]], ids=[5, 6, 7])
            >>> lims, scores, ids = ix.range_search([0, 0], 2.0)
            >>> lims.tolist(), ids.tolist(), scores.tolist()
            ([0, 2], [5, 7], [0.0, 2.0])
        """
        r = score_bound(radius, at_least=self._metric != "euclidean")
        queries = float_rows(Q, "Q", self._dims)
        allow_list = None if allow is None else sorted_unique(int_ids(allow, "allow"))
        nq = int(queries.shape[0])
        # Compared in f64 with the radius rounded towards the side it admits
        # (score_bound): exactly as the radius given, never through float32.
        if self._metric == "euclidean":
            def within(s: FloatArray) -> npt.NDArray[np.bool_]:
                return s.astype(np.float64) <= r
        else:
            def within(s: FloatArray) -> npt.NDArray[np.bool_]:
                return s.astype(np.float64) >= r
        found: list[tuple[FloatArray, IdArray]] = [(np.zeros(0, np.float32),
                                                    np.zeros(0, np.int64))] * nq
        todo = np.arange(nq)
        k = 16
        while todo.size:
            scores, ids = self.search(queries[todo], k, allow=allow_list, where=where)
            inside = within(scores) & (ids >= 0)
            # Done where the k-th place is outside the radius or empty: the
            # results are best first, so no later row can be inside.
            done = ~inside[:, -1]
            for j in np.flatnonzero(done):
                found[int(todo[j])] = (scores[j][inside[j]], ids[j][inside[j]])
            todo = todo[~done]
            k *= 4
        counts = np.array([f[1].size for f in found], np.int64)
        lims = np.zeros(nq + 1, np.int64)
        np.cumsum(counts, out=lims[1:])
        if not nq:
            return lims, np.zeros(0, np.float32), np.zeros(0, np.int64)
        return (lims, np.concatenate([f[0] for f in found]).astype(np.float32, copy=False),
                np.concatenate([f[1] for f in found]).astype(np.int64, copy=False))




def _check_result_size(n: int, k: int) -> None:
    """MemoryError for (n, k) results beyond any address space."""
    if n * k > INT64_MAX // 8:
        raise MemoryError(f"cannot allocate the results of {n} queries for k={k}; "
                          f"ask for fewer results")


def _padded(n: int, k: int, metric: str) -> tuple[FloatArray, IdArray]:
    """(n, k) results holding only padding: the worst score and id -1."""
    worst = np.inf if metric == "euclidean" else -np.inf
    try:
        return np.full((n, k), worst, np.float32), np.full((n, k), -1, np.int64)
    except MemoryError:
        raise MemoryError(f"cannot allocate the results of {n} queries for k={k} "
                          f"({12 * n * k} bytes); ask for fewer results") from None
