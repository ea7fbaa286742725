"""The state every part of ``Index`` shares: its runs of rows, ids by
position, the live mask, the lookup from id to position, and the link to
the directory it was last saved to or loaded from; with the steps that keep
them consistent (appending rows and ids, finding positions, choosing how a
search selects rows). The public methods live in index (the class and its
adds and removals), _index_search and _index_saving."""

from __future__ import annotations

import threading
from collections.abc import Iterable
from typing import Any, Final, SupportsIndex

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib._index_allow import PerQuery, distinct_ids, groups_of, split_positions
from lumvero_contrib._index_args import (Metric, default_ids, given_ids, integer, listed,
                                         metric_name)
from lumvero_contrib._index_attrs import Attrs, merged_types
from lumvero_contrib._index_rows import Lookup, Run, Snapshot
from lumvero_contrib._index_where import Where, chosen_rows
from lumvero_contrib.storage.index_layout import SaveLink


_MAX_DIMS: Final = 10000
# A new run holds at least this many rows (its memory is only reserved, not
# touched, until rows arrive), and at least as many as the index already has:
# growth is geometric, so an index keeps a handful of runs however it was fed.
_MIN_RUN_ROWS: Final = 4096
# An allow-list (or the live rows) at most this fraction of the stored rows
# is searched by position, reading only those rows; a larger one as a mask.
_SPARSE_FRACTION: Final = 8
FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]
# Ids as the methods take them: an int64 array-like or any iterable of ints.
IdsLike = npt.ArrayLike | Iterable[SupportsIndex]


class IndexState:
    """The fields of an Index and the steps that keep them consistent."""

    def __init__(self, dims: int, metric: Metric = "cosine") -> None:
        d = integer(dims, "dims")
        if not 1 <= d <= _MAX_DIMS:
            raise ValueError(f"dims must be between 1 and {_MAX_DIMS}; got {d}")
        self._dims: int = d
        self._metric: Metric = metric_name(metric)
        self._lock = threading.RLock()
        self._runs: list[Run] = []
        self._stored = 0
        self._ids: IdArray = np.zeros(0, np.int64)
        self._live: npt.NDArray[np.bool_] = np.zeros(0, np.bool_)
        self._live_count = 0
        self._next_id = 0
        # While ids increase with position, an id is found by binary search
        # in them; otherwise through a lookup built on first need.
        self._ascending = True
        self._lookup: Lookup | None = None
        # The directory this index was last saved to or loaded from, the
        # manifest it saw there and its segments: a save into it writes only
        # what changed since. Not carried by copies; dropped by compact.
        self._saved: SaveLink | None = None
        # The attribute columns of the stored rows (_index_attrs), or None
        # while no add has given any.
        self._attrs: Attrs | None = None

    def _check_new_ids(self, ids: IdsLike | None, n: int) -> IdArray:
        if ids is None:
            return default_ids(self._next_id, n)
        a, uniq = given_ids(ids, n, "X")
        if n and self._live_count and int(uniq[0]) < self._next_id:
            present = uniq[self._positions(uniq) >= 0]
            if present.size:
                raise ValueError(f"ids already present: {listed(present)}")
        return a

    def _append_rows(self, rows: FloatArray) -> None:
        n = int(rows.shape[0])
        done = 0
        if self._runs and self._runs[-1].spare() > 0:
            run = self._runs[-1]
            m = min(run.spare(), n)
            run.rows[run.count: run.count + m] = rows[:m]
            run.norms_sq[run.count: run.count + m] = _native.row_norms_sq(rows[:m])
            run.count += m
            done = m
        if done < n:
            rest = rows[done:]
            m = n - done
            capacity = max(m, self._stored + done, _MIN_RUN_ROWS)
            if capacity == m:
                # The converted copy becomes the run itself: no second copy.
                buf = rest if done == 0 else np.ascontiguousarray(rest)
                norms = _native.row_norms_sq(buf)
            else:
                buf = np.empty((capacity, self._dims), np.float32)
                buf[:m] = rest
                norms = np.empty(capacity, np.float64)
                norms[:m] = _native.row_norms_sq(rest)
            self._runs.append(Run(buf, norms, m, self._stored + done))

    def _append_ids(self, new_ids: IdArray) -> None:
        n = int(new_ids.shape[0])
        start = self._stored
        end = start + n
        if end > self._ids.shape[0]:
            cap = max(end, 2 * self._ids.shape[0], 1024)
            ids = np.empty(cap, np.int64)
            ids[:start] = self._ids[:start]
            live = np.zeros(cap, np.bool_)
            live[:start] = self._live[:start]
            self._ids, self._live = ids, live
        if self._ascending:
            increasing = bool(np.all(new_ids[1:] > new_ids[:-1]))
            after = start == 0 or int(new_ids[0]) > int(self._ids[start - 1])
            if not (increasing and after):
                self._ascending = False
                self._lookup = None
        self._ids[start:end] = new_ids
        self._live[start:end] = True
        self._stored = end
        self._live_count += n
        self._next_id = max(self._next_id, int(new_ids.max()) + 1)
        if self._lookup is not None:
            self._lookup.add(new_ids, np.arange(start, end, dtype=np.int64))

    def _check_attrs(self, table: Any) -> None:
        """ValueError when an add's attribute columns conflict with the
        index's (nothing changed)."""
        if table is not None and self._attrs is not None:
            merged_types(self._attrs.types, table.schema)

    def _append_attrs(self, table: Any, n: int) -> None:
        """The attributes of the n rows just appended (None: all null);
        their types checked by _check_attrs."""
        if table is None and self._attrs is None:
            return
        if self._attrs is None:
            self._attrs = Attrs()
            if self._stored > n:
                self._attrs.append(None, self._stored - n)
        if n or table is not None:
            self._attrs.append(table, n)

    def _declare_attrs(self, types: dict[str, Any]) -> None:
        """Takes the columns of a whole DistributedIndex (this index one of
        its shards), so its predicates see every column."""
        if types:
            self._attrs = self._attrs_whole()
            self._attrs.declare(types)

    def _attrs_whole(self) -> Attrs:
        """The index's attributes, or all-null ones of its stored rows."""
        if self._attrs is not None:
            return self._attrs
        attrs = Attrs()
        if self._stored:
            attrs.append(None, self._stored)
        return attrs

    def _positions(self, ids: IdArray) -> IdArray:
        """Position of each live id, -1 for ids not present."""
        if not self._ascending:
            if self._lookup is None:
                live = np.flatnonzero(self._live[: self._stored]).astype(np.int64)
                self._lookup = Lookup(self._ids[live], live)
            return self._lookup.find(ids)
        stored = self._ids[: self._stored]
        if stored.size and int(stored[-1]) - int(stored[0]) == stored.size - 1:
            # Increasing ids without gaps (the default ids, or any run of
            # consecutive ones): an id's position is its offset from the first.
            pos: IdArray = ids - stored[0]
            pos[(pos < 0) | (pos >= stored.size)] = -1
        else:
            pos = _native.find_sorted(stored, ids)
        hit = np.flatnonzero(pos >= 0)
        pos[hit[~self._live[pos[hit]]]] = -1  # removed rows keep their ids until compacted
        return pos

    def _bulk_positions(self, ids: IdArray) -> IdArray:
        """_positions of many ids at once (the ids of many allow-lists, in
        any order): through a table indexed by id when the stored ids span
        no more values than are asked for, so that building the table costs
        less than the searches it replaces; else as _positions."""
        stored = self._ids[: self._stored]
        if stored.size == 0 or ids.size < stored.size:
            return self._positions(ids)
        lo, hi = (int(stored[0]), int(stored[-1])) if self._ascending else (
            int(stored.min()), int(stored.max()))
        span = hi - lo + 1
        if span > ids.size or (self._ascending and span == stored.size):
            return self._positions(ids)  # gapless ids are found by their offset already
        live = np.flatnonzero(self._live[: self._stored])
        table = np.full(span, -1, np.int32 if self._stored < 2**31 else np.int64)
        table[stored[live] - lo] = live
        if int(ids.min()) >= lo and int(ids.max()) <= hi:
            return table[ids - lo].astype(np.int64, copy=False)
        out = np.full(ids.shape[0], -1, np.int64)
        inside = np.flatnonzero((ids >= lo) & (ids <= hi))
        out[inside] = table[ids[inside] - lo]
        return out

    def _selection(self, allow_ids: IdArray | None, chosen: IdArray | None = None
                   ) -> tuple[npt.NDArray[np.bool_] | None, IdArray | None, int]:
        """How a search selects rows, under the lock: (live mask or None,
        sorted positions or None, how many rows it may return); see
        _selecting."""
        allowed: IdArray | None = None
        if allow_ids is not None:
            pos = self._positions(allow_ids)
            allowed = pos[pos >= 0]
            if not self._ascending:  # positions follow the sorted ids only then
                allowed.sort()
        return self._selecting(allowed, chosen)

    def _selecting(self, allowed: IdArray | None, chosen: IdArray | None = None
                   ) -> tuple[npt.NDArray[np.bool_] | None, IdArray | None, int]:
        """The selection of the allowed positions (sorted, live; None: every
        live row). A short list is searched by position, reading only its
        rows; a long one as a mask. The mask is the index's own (remove
        replaces it rather than writing into it), so the search may read it
        without the lock. chosen: sorted stored positions a where= predicate
        selected, or None; with allowed, rows in both."""
        live: npt.NDArray[np.bool_] | None = None
        selectable = self._live_count if allowed is None else int(allowed.size)
        if chosen is not None:
            allowed = self._live_chosen(allowed, chosen)
            selectable = int(allowed.size)
        elif allowed is None and self._live_count < self._stored:
            if self._live_count * _SPARSE_FRACTION <= self._stored:
                allowed = np.flatnonzero(self._live[: self._stored]).astype(np.int64)
            else:
                live = self._live
        if allowed is not None and allowed.size * _SPARSE_FRACTION > self._stored:
            live = np.zeros(self._stored, np.bool_)
            live[allowed] = True
            allowed = None
        return live, allowed, selectable

    def _chosen(self, where: Where | None) -> IdArray | None:
        """Under the lock: the sorted positions where selects, or None."""
        return None if where is None else chosen_rows(self._attrs_whole(), where)

    def _snapshot(self, allow_ids: IdArray | None, where: Where | None = None) -> Snapshot:
        """What a search reads, taken under the lock: runs with their
        counts, the selection (_selection) and the ids by position. Writers
        only append beyond the counts or replace whole arrays, so the search
        reads a consistent state without holding the lock."""
        with self._lock:
            live, allowed, selectable = self._selection(allow_ids, self._chosen(where))
            return Snapshot(list(self._runs), live, allowed, selectable, self._ids)

    def _groups(self, entries: PerQuery) -> list[tuple[IdArray, IdArray | None]]:
        """Under the lock: the queries of one allow-list per query grouped
        by equal allowed positions (query rows, sorted positions or None),
        every list's ids looked up in one call."""
        return groups_of(split_positions(entries, self._bulk_positions(distinct_ids(entries))))

    def _live_chosen(self, allowed: IdArray | None, chosen: IdArray) -> IdArray:
        """The live positions of chosen, and of allowed when given."""
        keep = chosen[self._live[chosen]]
        return keep if allowed is None else np.intersect1d(allowed, keep, assume_unique=True)

    def _check_runs(self) -> None:
        for run in self._runs:
            run.check_intact()

