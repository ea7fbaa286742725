"""``Index.search`` and ``Index.range_search``: a snapshot of the rows and
the selection taken under the index's lock, then the engine's exact search
with the interpreter lock released."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib._index_allow import PerQuery, allow_lists
from lumvero_contrib._index_args import INT64_MAX, float_rows, normalize, result_count
from lumvero_contrib._index_range import range_search
from lumvero_contrib._index_rows import Snapshot
from lumvero_contrib._index_state import FloatArray, IdArray, IdsLike, IndexState
from lumvero_contrib._index_where import Where, check_where
from lumvero_contrib.storage.index_layout import METRIC_IDS


class Searching(IndexState):
    """The searches of an Index."""

    def search(self, Q: npt.ArrayLike, k: int,
               allow: IdsLike | Sequence[IdsLike | None] | None = None,
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
                reads only its own rows. Or one allow-list per query: a list
                or tuple of n entries, each a collection of ids or None (that
                query unrestricted), or a 2-D array whose row i is query i's
                list. A list or tuple is per query when every element is None
                or a collection, one list for all queries when every element
                is an id; a mix is refused. Each query's answer is the one it
                gets searched alone with its own list. The batch shares the
                work: one id lookup for all lists, each distinct list's
                positions sorted once, queries with equal lists searched
                together as one batch, and the groups run as tasks on the
                engine's worker pool.
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
                k > 2**63 - 1, a zero query under cosine, per-query
                allow-lists whose count differs from the queries' or that mix
                ids with lists, or a where that cannot be evaluated
                (malformed, an unknown column: the message names it and
                includes DuckDB's or Arrow's).
            TypeError: Q or allow of the wrong dtype, allow a callable (pass
                the ids it accepts instead), k not an integer, stats not a
                dict, or where of another kind.
            ImportError: where without pyarrow or, for SQL, duckdb
                (``pip install lumvero[attrs]``).
            MemoryError: the ``(n, k)`` results cannot be allocated.

        Examples:
            >>> ix = Index(2, metric="euclidean")
            >>> ix.add([[0, 0], [3, 4], [1, 1]], ids=[5, 6, 7])
            >>> scores, ids = ix.search([0, 0], k=2, allow=[6, 7])
            >>> ids.tolist(), scores.tolist()
            ([[7, 6]], [[2.0, 25.0]])
            >>> ix.search([[0, 0], [3, 3]], k=1, allow=[[6], None])[1].tolist()
            [[6], [6]]
        """
        if stats is not None and not isinstance(stats, dict):
            raise TypeError(f"stats must be a dict or None; got {type(stats).__name__}")
        k = result_count(k)
        queries = float_rows(Q, "Q", self._dims)
        if self._metric == "cosine":
            normalize(queries, "Q", zero_ok=False)
        if where is not None:
            check_where(where)
        nq = int(queries.shape[0])
        allow_ids = allow_lists(allow, nq)
        _check_result_size(nq, k)
        if isinstance(allow_ids, list):
            return self._search_each(queries, k, allow_ids, stats, where)
        with self._lock:
            # The snapshot: runs with their counts, the selection and the ids
            # by position. Writers only append beyond the counts or replace
            # whole arrays, so the search below reads a consistent state
            # without holding the lock.
            live, allowed, selectable = self._selection(allow_ids, self._chosen(where))
            snap = Snapshot(list(self._runs), live, allowed, selectable, self._ids)
        k_run = min(k, selectable)
        return _answer(snap, nq, k, k_run, self._metric, stats, lambda: _native.search(
            snap.runs, queries, k_run, METRIC_IDS[self._metric], live, allowed, stats))

    def _search_each(self, queries: FloatArray, k: int, entries: PerQuery,
                     stats: dict[str, object] | None, where: Where | None
                     ) -> tuple[FloatArray, IdArray]:
        """search with one allow-list per query: one lookup of every list's
        ids, the queries grouped by equal allowed positions, the groups run
        on the engine's pool; where evaluated once for all."""
        nq = int(queries.shape[0])
        with self._lock:
            chosen = self._chosen(where)
            groups = []
            k_run = 0
            for members, allowed in self._groups(entries):
                live, allowed, selectable = self._selecting(allowed, chosen)
                k_run = max(k_run, min(k, selectable))
                groups.append((members, live, allowed))
            snap = Snapshot(list(self._runs), None, None, k_run, self._ids)
        return _answer(snap, nq, k, k_run, self._metric, stats, lambda: _native.search_groups(
            snap.runs, queries, k_run, METRIC_IDS[self._metric], tuple(groups), stats))

    def range_search(self, Q: npt.ArrayLike, radius: float | np.floating[Any] | np.integer[Any],
                     allow: IdsLike | Sequence[IdsLike | None] | None = None,
                     where: Where | None = None
                     ) -> tuple[IdArray, FloatArray, IdArray]:
        """Every live row within a radius of each query, exactly.

        A row is within the radius when its score is at least ``radius``
        (cosine, dot: a similarity) or at most ``radius`` (euclidean: a
        squared distance, not the distance scikit-learn's radius bounds),
        under the same kernel as ``search``; rows whose score is not finite
        are never returned. The float32 score is compared with the radius
        exactly as given: an int beyond float64 or a longdouble finer than
        it is not rounded first. The rows and score bits are those
        ``search`` returns for a k reaching past the radius; the rows are
        found inside the scan (the pre-filter skips a row whose score's
        bound cannot reach the radius), whatever their number.

        Arguments:
            Q: queries, as for ``search``.
            radius: the score bound (any real number: int, float, NumPy
                integer or floating, longdouble; not NaN).
            allow: ids to search among, or one allow-list per query, as for
                ``search``.
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
        return range_search(self, Q, radius, allow, where)


def _nothing(padded: tuple[FloatArray, IdArray] | None, stats: dict[str, object] | None
             ) -> tuple[FloatArray, IdArray]:
    """The answer of a search with no row to return: the padding."""
    assert padded is not None
    if stats is not None:
        stats.update(prefiltered=False, rows_scanned=0, rows_rescored=0, rows_fallback=0)
    return padded


def _answer(snap: Snapshot, nq: int, k: int, k_run: int, metric: str,
            stats: dict[str, object] | None,
            search: Callable[[], tuple[FloatArray, IdArray]]) -> tuple[FloatArray, IdArray]:
    """The answer of a search of the snapshot asking the engine (search)
    for k_run places: no more places than there are rows to fill them; the
    rest is padding, allocated before any work."""
    padded = _padded(nq, k, metric) if k_run < k else None
    if k_run == 0:
        return _nothing(padded, stats)
    return _finished(search(), snap, padded)


def _finished(found: tuple[FloatArray, IdArray], snap: Snapshot,
              padded: tuple[FloatArray, IdArray] | None) -> tuple[FloatArray, IdArray]:
    """The engine's (scores, positions) as (scores, ids), into the padding
    when there is one; the runs checked to be intact after the read."""
    scores, positions = found
    snap.check_intact()
    ids_by_position = snap.ids
    hit = positions >= 0
    if padded is None:
        ids = np.full(positions.shape, -1, np.int64)
        ids[hit] = ids_by_position[positions[hit]]
        return scores, ids
    k_run = int(positions.shape[1])
    padded[0][:, :k_run] = scores
    padded[1][:, :k_run][hit] = ids_by_position[positions[hit]]
    return padded


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
