"""The reads of a ``DistributedIndex``: search, range search, get, ``in``
and verify, each the one-``Index`` answer bit for bit. A shard answers with
its ids; the merge orders equal scores by global insertion number."""
from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Literal, NoReturn, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

from lumvero_contrib._index_allow import PerQuery, allow_lists
from lumvero_contrib._index_args import (as_id, float_rows, int_ids, listed, normalize,
                                         result_count, score_bound, sorted_unique)
from lumvero_contrib._index_attrs import arrow
from lumvero_contrib._index_where import Where, check_where
from lumvero_contrib.index import IdsLike
from lumvero_contrib.shards.merge import merge_top_k
from lumvero_contrib.shards.shard_set import ShardSet

__all__ = ["Reads"]

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]


def _summed_stats(parts: list[dict[str, Any]]) -> dict[str, object]:
    """The search counts of several shards as one search's."""
    out: dict[str, object] = {"prefiltered": any(bool(p["prefiltered"]) for p in parts)}
    for key in ("rows_scanned", "rows_rescored", "rows_fallback"):
        out[key] = sum(int(p[key]) for p in parts)
    return out


class Reads(ShardSet):
    """A ``DistributedIndex``'s reads (see the class)."""

    # -- searching ----------------------------------------------------------

    def search(self, Q: npt.ArrayLike, k: int,
               allow: IdsLike | Sequence[IdsLike | None] | None = None,
               stats: dict[str, object] | None = None, where: Where | None = None
               ) -> tuple[FloatArray, IdArray]:
        """The k best live rows for each query, exactly, over all shards.

        Arguments, returns and errors are those of ``Index.search``; each
        shard gets the queries once and, with ``allow``, only its own
        allowed ids (with one allow-list per query, each query's own ids on
        that shard); ``where`` is evaluated by each shard over its own rows.
        Shards without live (allowed) rows are not asked, and
        none is asked for more places than it has rows: the padding beyond
        the rows is made once, after the merge. ``stats`` receives the
        shards' counts summed (``"prefiltered"``: whether any shard's
        pre-filter ran).

        Raises:
            ValueError, TypeError: As ``Index.search``.
            ShardError: A shard failed (see the class); no partial answer.
        """
        k = result_count(k)
        if stats is not None and not isinstance(stats, dict):
            raise TypeError(f"stats must be a dict or None; got {type(stats).__name__}")
        queries, allow_ids = self._prepared(Q, allow, where)
        with self._lock:
            targets = self._open_targets(allow_ids)
            n = int(queries.shape[0])
            types = self._attr_types if where is not None else None
            if not targets or n == 0:
                if stats is not None:
                    stats.update(prefiltered=False, rows_scanned=0, rows_rescored=0,
                                 rows_fallback=0)
                return merge_top_k([(np.zeros((n, 0), np.float32), np.zeros((n, 0), np.int64))],
                                   k, self._metric)
            shared = self._backend.share(queries)
            replies = self._each({i: ("search", shared, min(k, rows), a, stats is not None,
                                       where, types)
                                  for i, (a, rows) in targets.items()})
            parts = []
            for i in sorted(replies):
                scores, ids = replies[i][:2]
                parts.append((scores, self._insertions_of(ids)))
            if stats is not None:
                stats.update(_summed_stats([replies[i][2] for i in sorted(replies)]))
            scores, insertions = merge_top_k(parts, k, self._metric)
            return scores, self._ids_of(insertions)

    def range_search(self, Q: npt.ArrayLike, radius: float | np.floating[Any] | np.integer[Any],
                     allow: IdsLike | Sequence[IdsLike | None] | None = None,
                     where: Where | None = None
                     ) -> tuple[IdArray, FloatArray, IdArray]:
        """Every live row within a radius of each query, exactly, over all
        shards: arguments, returns (``lims, scores, ids`` as FAISS's
        ``range_search``) and errors are those of ``Index.range_search``,
        and so is the answer, equal scores by earlier insertion.

        Raises:
            ValueError, TypeError: As ``Index.range_search``.
            ShardError: A shard failed (see the class); no partial answer.
        """
        score_bound(radius, True)  # the Index's own checks and messages, before any call
        queries, allow_ids = self._prepared(Q, allow, where)
        with self._lock:
            targets = self._open_targets(allow_ids)
            n = int(queries.shape[0])
            types = self._attr_types if where is not None else None
            parts = [(np.zeros((n, 0), np.float32), np.zeros((n, 0), np.int64))]
            if targets and n:
                shared = self._backend.share(queries)
                replies = self._each({i: ("range_search", shared, radius, a, where, types)
                                      for i, (a, _) in targets.items()})
                parts += [self._padded_lists(*replies[i]) for i in sorted(replies)]
            width = sum(p[1].shape[1] for p in parts)
            scores, insertions = merge_top_k(parts, width, self._metric)
            found = insertions >= 0
            lims = np.zeros(n + 1, np.int64)
            np.cumsum(found.sum(axis=1), out=lims[1:])
            return lims, scores[found], self._ids_of(insertions[found])

    def _prepared(self, Q: npt.ArrayLike, allow: Any, where: Where | None
                  ) -> tuple[FloatArray, IdArray | PerQuery | None]:
        """Q, allow and where checked as ``Index`` checks them (the shards
        scale cosine queries themselves): the queries and the sorted allowed
        ids (or one entry per query)."""
        queries = float_rows(Q, "Q", self._dims)
        if self._metric == "cosine":
            normalize(queries.copy(), "Q", zero_ok=False)
        if where is not None:
            check_where(where)
        return queries, allow_lists(allow, int(queries.shape[0]))

    def _open_targets(self, allow_ids: IdArray | PerQuery | None
                      ) -> dict[int, tuple[IdArray | PerQuery | None, int]]:
        """Under the lock, for one read: the index is open, and the shards it
        asks (see _targets and _targets_each)."""
        self._check_open()
        if isinstance(allow_ids, list):
            return self._targets_each(allow_ids)
        return dict(self._targets(allow_ids))

    def _targets_each(self, entries: PerQuery) -> dict[int, tuple[IdArray | PerQuery | None, int]]:
        """The shards a search with one allow-list per query asks: each with
        every query's ids on it (None where the query has no list) and the
        most rows any query may return from it. Shards where no query may
        find a row are not asked."""
        shards = [i for i, c in enumerate(self._counts) if c]
        mine: dict[int, PerQuery] = {i: [] for i in shards}
        rows = dict.fromkeys(shards, 0)
        for e in entries:
            if e is None:
                for i in shards:
                    mine[i].append(None)
                    rows[i] = self._counts[i]
                continue
            insertions = self._lookup.find(e)
            hit = insertions >= 0
            where, present = self._shard_of[insertions[hit]], e[hit]
            for i in shards:
                own = present[where == i]
                mine[i].append(own)
                rows[i] = max(rows[i], int(own.shape[0]))
        return {i: (mine[i], rows[i]) for i in shards if rows[i]}

    def _insertions_of(self, ids: IdArray) -> IdArray:
        """Insertion numbers of a shard's answer ids, -1 kept for empty places."""
        out = np.full(ids.shape, -1, np.int64)
        found = ids >= 0
        out[found] = self._lookup.find(ids[found])
        return out

    def _ids_of(self, insertions: IdArray) -> IdArray:
        """The ids of insertion numbers (-1 stays -1), written over them:
        a k far above the rows makes the answer mostly padding, and a
        second array of its size would double the peak."""
        flat = insertions.reshape(-1)
        hit = np.flatnonzero(flat >= 0)
        flat[hit] = self._id_of[flat[hit]]
        return insertions

    def _padded_lists(self, lims: IdArray, scores: FloatArray, ids: IdArray
                      ) -> tuple[FloatArray, IdArray]:
        """One shard's range answer as (n, longest) arrays, empty places last."""
        n = int(lims.shape[0]) - 1
        counts = np.diff(lims)
        width = int(counts.max()) if n else 0
        fill = np.float32(np.inf if self._metric == "euclidean" else -np.inf)
        s = np.full((n, width), fill, np.float32)
        ins = np.full((n, width), -1, np.int64)
        rows = np.repeat(np.arange(n), counts)
        cols = np.arange(int(lims[-1])) - np.repeat(lims[:-1], counts)
        s[rows, cols] = scores
        ins[rows, cols] = self._insertions_of(ids)
        return s, ins

    def __contains__(self, id: object) -> bool:
        """Whether id is the id of a live row, as ``Index``: only integers
        (Python or NumPy) can be. Answered here, without the shards."""
        i = as_id(id)
        if i is None:
            return False
        with self._lock:
            return bool(self._lookup.find(np.array([i], np.int64))[0] >= 0)

    @overload
    def get(self, ids: IdsLike, attrs: Literal[False] = False) -> FloatArray: ...

    @overload
    def get(self, ids: IdsLike, attrs: Literal[True]) -> tuple[FloatArray, Any]: ...

    def get(self, ids: IdsLike, attrs: bool = False) -> FloatArray | tuple[FloatArray, Any]:
        """The rows of live ids, as stored, and with ``attrs=True`` their
        attributes: arguments, returns and errors are those of
        ``Index.get``; each shard is asked for its own ids only.

        Raises:
            KeyError, TypeError: As ``Index.get``.
            ShardError: A shard failed (see the class); nothing is returned.
        """
        a = int_ids(ids, "ids")
        if attrs:
            arrow()
        with self._lock:
            self._check_open()
            insertions = self._lookup.find(a)
            missing = insertions < 0
            if missing.any():
                raise KeyError(f"ids not present: {listed(sorted_unique(a[missing]))}")
            where = self._shard_of[insertions]
            out = np.empty((a.shape[0], self._dims), np.float32)
            shards = [int(i) for i in np.unique(where)]
            types = self._attr_types if attrs else None
            replies = self._each({i: ("get", a[where == i], types) for i in shards})
            for i in shards:
                out[where == i] = replies[i][0] if attrs else replies[i]
            if not attrs:
                return out
            return out, self._gathered_attrs(where, shards, [replies[i][1] for i in shards])

    def _gathered_attrs(self, where: npt.NDArray[np.int16], shards: list[int],
                        tables: list[Any]) -> Any:
        """The shards' attribute rows as one Table in the order asked
        (where: each asked id's shard), columns in the index's order."""
        pa = arrow()
        schema = pa.schema(list(self._attr_types.items()))
        if not schema.names:  # as many rows as ids asked, no columns
            return pa.table({"_": pa.nulls(where.size)}).drop_columns(["_"])
        parts = [t.select(schema.names).cast(schema) for t in tables]
        order = np.concatenate([np.flatnonzero(where == i) for i in shards])
        back = np.empty_like(order)
        back[order] = np.arange(order.size)
        return pa.concat_tables(parts).take(pa.array(back))

    def verify(self) -> None:
        """Each shard's ``Index.verify``: the row files its load mapped
        without reading are hashed and checked.

        Raises:
            ValueError: As ``Index.verify`` (the shard is named).
            ShardError: A shard failed (see the class).
        """
        with self._lock:
            self._check_open()
            self._each({i: ("verify",) for i in range(len(self._handles))})

    def __reduce_ex__(self, protocol: SupportsIndex) -> NoReturn:
        raise TypeError("a DistributedIndex holds live shards and cannot be copied or pickled; "
                        "save it (ix.save(path)) and open the copy with "
                        "DistributedIndex.load(path)")

    def _targets(self, allow_ids: IdArray | None) -> dict[int, tuple[IdArray | None, int]]:
        """The shards a search asks, each with its allowed ids (None: all its
        rows) and how many rows it may return."""
        if allow_ids is None:
            return {i: (None, c) for i, c in enumerate(self._counts) if c}
        insertions = self._lookup.find(allow_ids)
        hit = insertions >= 0
        where = self._shard_of[insertions[hit]]
        present = allow_ids[hit]
        out: dict[int, tuple[IdArray | None, int]] = {}
        for i in np.unique(where):
            mine = present[where == i]
            out[int(i)] = (mine, int(mine.shape[0]))
        return out
