"""Exact nearest-neighbour search over rows held in memory, with your own ids.

``Index`` is the everyday front door to the lumvero engine: any real array in,
int64 ids of your choosing, search within an allow-list, adds and removals,
and a save format that the module ``lumvero`` can open. Every answer is
exact: for any sequence of adds, removals, compactions, saves and loads,
``search`` returns the rows and float32 score bits that ``lumvero`` returns on
one index file holding the live (and allowed) rows in insertion order, equal
scores going to the earlier insertion.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Iterable
from typing import Any, Final, SupportsIndex

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib._index_args import (INT64_MAX, Metric, as_id, default_ids, float_rows, int_ids,
                                         integer, listed, metric_name, normalize, result_count,
                                         score_bound, sorted_unique)
from lumvero_contrib.storage.index_dir import (METRIC_IDS, SaveLink, check_path, kept_versions,
                                               read_directory, write_directory)
from lumvero_contrib._index_rows import Lookup, Run, Snapshot, gather
from lumvero_contrib._index_range import range_search

__all__ = ["Index", "Metric"]

_MAX_DIMS: Final = 10000
# A new run holds at least this many rows (its memory is only reserved, not
# touched, until rows arrive), and at least as many as the index already has:
# growth is geometric, so an index keeps a handful of runs however it was fed.
_MIN_RUN_ROWS: Final = 4096
# An allow-list (or the live rows) at most this fraction of the stored rows
# is searched by position, reading only those rows; a larger one as a mask.
_SPARSE_FRACTION: Final = 8
# Version of the state that pickling and copying carry.
_STATE_VERSION: Final = 1
FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]
# Ids as the methods take them: an int64 array-like or any iterable of ints.
IdsLike = npt.ArrayLike | Iterable[SupportsIndex]


class Index:
    """Exact nearest-neighbour search over float32 rows in memory, with int64 ids.

    Arguments:
        dims: values per row, 1 to 10,000.
        metric: ``"cosine"`` (rows and queries scaled to unit length, scores
            are cosine similarities, higher is better; the float32 dot product
            of unit vectors can stray from [-1, 1] by a rounding, e.g. a row
            with itself may score 1.0000001), ``"dot"``
            (plain dot products, higher is better) or ``"euclidean"`` (squared
            distances, lower is better).

    Raises:
        ValueError: dims out of range or an unknown metric.
        TypeError: dims is not an integer, or metric is not a str.

    Ids are int64 values >= 0. Wherever ids are taken (``add``, ``remove``,
    ``get``, ``search``'s ``allow``), any iterable of integers will do: a
    NumPy array, a list, a set, a range, a generator, or a single integer.
    ``id in ix`` tells whether an id is live (anything but an integer is
    never in an index). ``get(ids)`` returns rows as stored.

    Copies: ``copy.copy``, ``copy.deepcopy`` and pickling make independent
    indexes holding the live rows in memory (also of an index loaded with
    ``mmap=True``); their ids, their next default id and every answer,
    score bits and ties included, are the original's.

    Examples:
        >>> import numpy as np
        >>> from lumvero_contrib import Index
        >>> ix = Index(4, metric="dot")
        >>> ix.add(np.eye(4), ids=[10, 11, 12, 13])
        >>> scores, ids = ix.search([0, 1, 0, 0], k=2)
        >>> ids.tolist()
        [[11, 10]]

    An Index is safe to use from several threads. Searches run at once: each
    takes a snapshot of the rows, removals and allowed rows under a short
    lock and searches it with the interpreter lock released, so it answers as
    of the moment it started even while rows are added, removed or compacted
    by other threads. Adds, removals, compactions and saves run one at a
    time.
    """

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

    # -- properties -------------------------------------------------------

    @property
    def dims(self) -> int:
        """Values per row."""
        return self._dims

    @property
    def metric(self) -> Metric:
        """``"cosine"``, ``"dot"`` or ``"euclidean"``."""
        return self._metric

    def __len__(self) -> int:
        """Live rows (added and not removed)."""
        return self._live_count

    def __contains__(self, id: object) -> bool:
        """Whether id is the id of a live row. Only integers (Python or
        NumPy) can be: ``"a" in ix`` and ``1.0 in ix`` are False."""
        i = as_id(id)
        if i is None:
            return False
        with self._lock:
            return bool(self._positions(np.array([i], np.int64))[0] >= 0)

    def __repr__(self) -> str:
        return f"Index(dims={self._dims}, metric={self._metric!r}, rows={self._live_count})"

    def ids(self) -> IdArray:
        """The ids of the live rows, in insertion order.

        Returns:
            A new int64 array of ``len(self)`` ids.
        """
        with self._lock:
            return self._ids[: self._stored][self._live[: self._stored]].copy()

    def get(self, ids: IdsLike) -> FloatArray:
        """The rows of live ids, as stored.

        Arguments:
            ids: an id or any iterable of int64 ids (repeats allowed).

        Returns:
            A new float32 ``(len(ids), dims)`` array (``(1, dims)`` for a
            single id), row i holding the row of the i-th id given: the row
            as added, converted to float32, and for cosine scaled to unit
            length as it is searched.

        Raises:
            KeyError: an id that is not live (never added, or removed); the
                message lists them (``"ids not present: [4, 7]"``) and
                nothing is returned.
            TypeError: ids of a non-integer dtype.

        Examples:
            >>> ix = Index(2, metric="dot")
            >>> ix.add([[1, 2], [3, 4]], ids=[10, 20])
            >>> ix.get([20, 10]).tolist()
            [[3.0, 4.0], [1.0, 2.0]]
            >>> 20 in ix, 30 in ix
            (True, False)
        """
        a = int_ids(ids, "ids")
        with self._lock:
            pos = self._positions(a)
            missing = pos < 0
            if missing.any():
                raise KeyError(f"ids not present: {listed(sorted_unique(a[missing]))}")
            return gather(self._runs, pos, self._dims)

    # -- copying and pickling ---------------------------------------------

    def __getstate__(self) -> dict[str, Any]:
        """The live rows and their ids in insertion order, and the next
        default id: all that answers depend on."""
        with self._lock:
            live = np.flatnonzero(self._live[: self._stored]).astype(np.int64)
            return {"version": _STATE_VERSION, "dims": self._dims, "metric": self._metric,
                    "rows": gather(self._runs, live, self._dims), "ids": self._ids[live],
                    "next_id": self._next_id}

    def __setstate__(self, state: dict[str, Any]) -> None:
        if not isinstance(state, dict) or state.get("version") != _STATE_VERSION:
            raise ValueError("not the state of an Index of a known version")
        Index.__init__(self, state["dims"], state["metric"])
        rows = np.ascontiguousarray(state["rows"], np.float32)
        ids = np.ascontiguousarray(state["ids"], np.int64)
        n = int(ids.shape[0])
        if rows.shape != (n, self._dims) or ids.ndim != 1:
            raise ValueError(f"Index state: rows of shape {rows.shape} for {n} ids of "
                             f"{self._dims} dims")
        if n:
            self._runs = [Run(rows, _native.row_norms_sq(rows), n, 0)]
            self._ids = ids
            self._live = np.ones(n, np.bool_)
            self._stored = self._live_count = n
            self._ascending = bool(np.all(ids[1:] > ids[:-1]))
        self._next_id = integer(state["next_id"], "next_id")

    def __copy__(self) -> Index:
        """An independent copy (see the class's notes on copies)."""
        cls = type(self)
        new = cls.__new__(cls)
        new.__setstate__(self.__getstate__())
        return new

    def __deepcopy__(self, memo: dict[int, Any]) -> Index:
        new = self.__copy__()
        memo[id(self)] = new
        return new

    # -- adding and removing ----------------------------------------------

    def add(self, X: npt.ArrayLike, ids: IdsLike | None = None) -> None:
        """Adds rows. Nothing is added when anything is wrong.

        Arguments:
            X: ``(n, dims)`` or ``(dims,)``, any real dtype and layout (float64,
                float16, integers, strided, Fortran order, nested lists). It is
                converted once to float32 (float64 by NumPy's rounding to
                nearest); for cosine each row is then scaled to unit length.
            ids: one int64 id per row (any iterable of ints). By default the
                next integers after the largest id ever added (0, 1, 2, ...
                in a new index).

        Raises:
            ValueError: a shape that does not fit (``"X has 3 columns; this
                index has 128 dims"``), a non-finite value (after conversion to
                float32), an id already present (``"ids already present: [5,
                9]"``), a negative id, an id given twice, ids whose count
                differs from the rows', or default ids that would pass
                2**63 - 1.
            TypeError: X or ids of a non-numeric or non-integer dtype.

        Examples:
            >>> ix = Index(3, metric="euclidean")
            >>> ix.add([[0, 0, 1], [1, 0, 0]])
            >>> ix.add([0, 1, 0], ids=[7])
            >>> ix.ids().tolist()
            [0, 1, 7]
        """
        rows = float_rows(X, "X", self._dims)
        n = int(rows.shape[0])
        with self._lock:
            new_ids = self._check_new_ids(ids, n)
            if self._metric == "cosine":
                normalize(rows, "X", zero_ok=True)
            if n == 0:
                return
            self._append_rows(rows)
            self._append_ids(new_ids)

    def _check_new_ids(self, ids: IdsLike | None, n: int) -> IdArray:
        if ids is None:
            return default_ids(self._next_id, n)
        a = int_ids(ids, "ids")
        if a.shape[0] != n:
            raise ValueError(f"got {a.shape[0]} ids for {n} rows of X; pass one id per row")
        if n == 0:
            return a
        if n == 1:
            uniq = a
        else:
            uniq, counts = np.unique(a, return_counts=True)
            if uniq.size != n:
                raise ValueError(f"ids repeated in this call: {listed(uniq[counts > 1])}")
        if uniq[0] < 0:
            raise ValueError(f"ids must be >= 0; negative ids: {listed(uniq[uniq < 0])}")
        if self._live_count and int(uniq[0]) < self._next_id:
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

    def remove(self, ids: IdsLike) -> int:
        """Removes rows by id; they are never returned again.

        Arguments:
            ids: an id or any iterable of int64 ids; ids not present are
                ignored.

        Returns:
            How many of the ids were present (each counted once).

        Raises:
            TypeError: ids of a non-integer dtype.

        Examples:
            >>> ix = Index(2, metric="dot")
            >>> ix.add([[1, 0], [0, 1]])
            >>> ix.remove([1, 5])
            1
            >>> len(ix)
            1
        """
        a = sorted_unique(int_ids(ids, "ids"))
        with self._lock:
            if a.size == 0 or self._live_count == 0:
                return 0
            pos = self._positions(a)
            hit = pos[pos >= 0]
            # A new mask, not a write into the old one: searches that already
            # took their snapshot keep reading the old mask.
            self._live = self._live.copy()
            self._live[hit] = False
            self._live_count -= int(hit.size)
            if self._lookup is not None:
                self._lookup.remove(a[pos >= 0])
            return int(hit.size)

    def compact(self) -> None:
        """Rewrites the rows without the removed ones into one run.

        Answers are unchanged (the live rows keep their order); memory held by
        removed rows and by growth is released, and a loaded index no longer
        reads its files. The rows get new positions, so the next ``save``
        writes every file again, even into the directory this index was
        loaded from or saved to.

        Raises:
            ValueError: a row file this index maps was shortened since it was
                loaded (the file is named); the index is left as it was.
        """
        with self._lock:
            if len(self._runs) <= 1 and self._live_count == self._stored:
                return
            self._saved = None
            n = self._live_count
            rows = np.empty((n, self._dims), np.float32)
            norms = np.empty(n, np.float64)
            at = 0
            for run in self._runs:
                keep = np.flatnonzero(self._live[run.first: run.first + run.count])
                # Under the engine's fault guard, as a search reads them: a
                # mapped row file shortened since the load is reported below.
                _native.copy_rows(run.rows[: run.count], keep.astype(np.int64, copy=False),
                                  rows[at: at + keep.size])
                norms[at: at + keep.size] = run.norms_sq[keep]
                at += int(keep.size)
            for run in self._runs:
                run.check_intact()
            ids = self._ids[: self._stored][self._live[: self._stored]].copy()
            self._runs = [Run(rows, norms, n, 0)] if n else []
            self._ids = ids
            self._live = np.ones(n, np.bool_)
            self._stored = n
            self._ascending = bool(np.all(ids[1:] > ids[:-1]))
            self._lookup = None

    # -- searching ----------------------------------------------------------

    def search(self, Q: npt.ArrayLike, k: int, allow: IdsLike | None = None,
               stats: dict[str, object] | None = None) -> tuple[FloatArray, IdArray]:
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
                k > 2**63 - 1, or a zero query under cosine.
            TypeError: Q or allow of the wrong dtype, k not an integer, or
                stats not a dict.
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
        nq = int(queries.shape[0])
        _check_result_size(nq, k)
        snap = self._snapshot(allow_ids)
        # The search asks for no more places than there are rows to fill
        # them; the rest is padding, allocated before any work.
        k_run = min(k, snap.selectable)
        padded = _padded(nq, k, self._metric) if k_run < k else None
        if k_run == 0:
            assert padded is not None
            if stats is not None:
                stats.update(prefiltered=False, rows_scanned=0, rows_rescored=0,
                             rows_fallback=0)
            return padded
        scores, positions = _native.search(snap.runs, queries, k_run, METRIC_IDS[self._metric],
                                           snap.live, snap.allowed, stats)
        snap.check_intact()
        ids_by_position = snap.ids
        found = positions >= 0
        if padded is None:
            ids = np.full(positions.shape, -1, np.int64)
            ids[found] = ids_by_position[positions[found]]
            return scores, ids
        padded[0][:, :k_run] = scores
        padded[1][:, :k_run][found] = ids_by_position[positions[found]]
        return padded

    def range_search(self, Q: npt.ArrayLike, radius: float | np.floating[Any] | np.integer[Any],
                     allow: IdsLike | None = None
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
            allow: ids to search among, as for ``search``.

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
        return range_search(self, Q, radius, allow)

    def _snapshot(self, allow_ids: IdArray | None) -> Snapshot:
        """What a search reads, taken under the lock: runs with their counts,
        the live mask as it is (remove replaces it rather than writing into
        it), the allowed positions and the ids by position. Writers only
        append beyond the counts or replace whole arrays, so the search reads
        a consistent state without holding the lock."""
        with self._lock:
            live: npt.NDArray[np.bool_] | None = None
            allowed: IdArray | None = None
            selectable = self._live_count
            if allow_ids is not None:
                pos = self._positions(allow_ids)
                allowed = pos[pos >= 0]
                selectable = int(allowed.size)
                if not self._ascending:  # positions follow the sorted ids only then
                    allowed.sort()
            elif self._live_count < self._stored:
                if self._live_count * _SPARSE_FRACTION <= self._stored:
                    allowed = np.flatnonzero(self._live[: self._stored]).astype(np.int64)
                else:
                    live = self._live
            if allowed is not None and allowed.size * _SPARSE_FRACTION > self._stored:
                live = np.zeros(self._stored, np.bool_)
                live[allowed] = True
                allowed = None
            return Snapshot(list(self._runs), live, allowed, selectable, self._ids)

    # -- saving and loading -------------------------------------------------

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the index to a directory, atomically.

        The directory holds the rows in segments, each written once and
        never changed: a row file in lumvero's index format (``lumvero``
        opens it; the row files hold every stored row, removed ones
        included, in insertion order), its codes file and its ids, plus a
        removal file per segment with removed rows, ``manifest.json`` with
        the BLAKE3 hash of every file, and ``save.lock``. New files get
        fresh names and reach the disk before the manifest is replaced in
        one rename. A crash at any point leaves the previous or the new
        state loadable; a save that fails (a full disk, a file size limit,
        rows mapped from a file that was shortened) removes the files it
        wrote and leaves the previous state as it was.

        Each save makes a new version of the directory (``versions``);
        the previous one stays loadable (``load(path, version=...)``), so a
        process that read the previous manifest just before the save still
        finds its files. Files that neither version names are removed right
        after the save.

        A save into the directory this index was loaded from or last saved
        to, when no other save has replaced that state since (checked
        under the lock), writes only what changed: the rows added since (a
        new segment per run they went to), new removal files for the
        segments whose removals changed, and the manifests. Its cost
        follows the change, not the index. Any other save writes every
        file: into another directory, after another index saved into this
        one, from a copy (``copy.copy``, pickling), or after ``compact``.

        Saves into one directory run one at a time, from any thread or
        process: each holds an exclusive ``flock`` on ``save.lock`` from
        before it looks at the directory until its cleanup is done, so the
        directory afterwards holds the state of the save that finished last.
        A process loading meanwhile gets the state before or after a save
        (see ``load``).

        Arguments:
            path: the directory; created when missing. It must be new,
                empty, or one an Index was saved to: a directory holding
                other files (a shard manifest, your own data) is refused
                rather than overwritten.

        Raises:
            ValueError: an empty path, a directory holding files an Index
                did not write, or rows mapped from a file that was shortened
                while the index was in use (the file is named).
            OSError: the directory cannot be written.
        """
        with self._lock:
            state = [(run.rows, run.norms_sq, run.count, run.source is not None)
                     for run in self._runs]
            self._saved = write_directory(path, self._dims, self._metric, state,
                                          self._ids[: self._stored], self._live[: self._stored],
                                          self._next_id, self._check_runs, self._saved)

    def _check_runs(self) -> None:
        for run in self._runs:
            run.check_intact()

    def verify(self) -> None:
        """Checks the row files that ``load(mmap=True)`` mapped without reading.

        Each such file's rows are hashed (a full read of the file) and
        compared with the BLAKE3 hash the manifest gave at load, and the
        codes file mapped beside them is compared with the codes the rows
        give (codes, scales, bounds and squared norms, bit for bit). Nothing
        is done for rows read into memory, checked at load already, or
        added since.

        Raises:
            ValueError: a row file does not match its hash, its codes file is
                not the codes of its rows, or either was shortened while in
                use (the file is named).
        """
        with self._lock:
            runs = list(self._runs)
        for run in runs:
            run.verify()

    @classmethod
    def load(cls, path: str | os.PathLike[str], mmap: bool = True,
             version: int | None = None) -> Index:
        """Reads an index written by ``save``, every file checked.

        Only what ``save`` writes is read: regular files inside the directory
        (a named pipe, a device or a symlink leading out is refused), each
        listed once, a manifest of bounded size with strictly typed fields.

        Each row file has a codes file beside it: the int8 codes the
        search's pre-filter scans (a quarter of the rows' bytes), with the
        rows' squared norms. Its header names the BLAKE3 hash and the row
        count of the row file it was made from. Load maps it read-only,
        checks its hash and that it names the row file listed at its place,
        so searches need not quantise the rows. With ``mmap=True`` the row
        files themselves are then only mapped, checked by size and header,
        not read: a load reads the manifest, ids and codes, and the first
        searches read only the rows they rescore. Their full hashes are
        checked on request by ``verify()``; until then a row file altered in
        place (same size) gives wrong answers where its altered rows are
        rescored, and a shortened one raises ValueError from the search
        (its missing pages read as zeros under the engine's guard, never a
        crash). With ``mmap=False`` every file is read and hashed, the rows
        kept are the bytes whose hash was checked, and each codes file is
        compared with the codes those rows give.

        The codes file's own contents are checked against the rows only where
        the rows are read: at load with ``mmap=False``, and by ``verify()``
        with ``mmap=True``. A codes file edited in place (its scales changed,
        say) with its hash in the manifest updated and its header kept passes
        a ``mmap=True`` load, and the pre-filter may then drop rows it must
        keep: searches may give wrong answers. ``verify()`` finds it
        (ValueError naming the file), as ``mmap=False`` does at load.

        A codes file that is missing, damaged (its hash, length or header
        does not match), made from other rows (the row file it names is not
        the one listed at its place, or with ``mmap=False`` its contents are
        not the codes of the rows) or of an older version that names no row
        file, is not refused: codes are derived from the rows, so the load
        warns (``RuntimeWarning`` naming the file and why), reads and
        hashes that file's rows in full instead, and the first search builds
        the codes again, as for a directory saved before codes files existed.
        Answers stay exact; saving again rewrites the file. Refusing would
        leave an index whose rows are intact unloadable.

        A load while another process saves into the same directory returns
        the state before or after that save: when a file the manifest named
        has gone (the save that replaced the manifest removed it), the
        manifest is read again and the load starts over. Loads take no lock
        and never block a save.

        Directories written by lumvero_contrib before segments (manifest
        format version 1) load as version 0; the next ``save`` into one
        writes format version 2 and keeps version 0 loadable until the
        save after it.

        Arguments:
            path: the directory.
            mmap: map the row files read-only instead of reading them into
                memory (rows added later live in memory either way).
            version: None for the current state, or the number of a kept
                version (``Index.versions(path)``: the current one and the
                one before it).

        Returns:
            The index, answering exactly as the one saved.

        Raises:
            ValueError: an empty path, a missing, altered, inconsistent
                or unsafe file (the message names the directory and the
                file), or a version that is not kept (``"index directory
                d: version 3 is not kept (kept: [5, 6])"``).
            TypeError: a version that is not an int.
            FileNotFoundError: no manifest in the directory.
        """
        if version is not None and (not isinstance(version, int) or isinstance(version, bool)):
            raise TypeError(f"version must be an int or None; got {type(version).__name__}")
        saved = read_directory(path, mmap, version)
        ix = cls(saved.dims, metric_name(saved.metric))
        first = 0
        for run in saved.runs:
            n = int(run.rows.shape[0])
            ix._runs.append(Run(run.rows, run.norms_sq, n, first, run.source, run.codes,
                                run.codes_source, run.unverified))
            first += n
        ix._ids, ix._live, ix._stored = saved.ids, saved.live, first
        ix._live_count = int(saved.live.sum())
        ix._next_id = saved.next_id
        ix._ascending = bool(np.all(saved.ids[1:] > saved.ids[:-1]))
        ix._saved = SaveLink(os.path.realpath(check_path(path)), saved.manifest_hash,
                             saved.segments)
        return ix

    @staticmethod
    def versions(path: str | os.PathLike[str]) -> list[int]:
        """The versions of a saved directory that ``load`` can read, oldest
        first: the current one and, when it is kept, the one before it.

        Each save into a directory makes a new version, numbered one above
        the one it replaced (a directory written by a lumvero_contrib that
        wrote format version 1 is version 0).

        Raises:
            ValueError: a damaged or unsafe manifest (named).
            FileNotFoundError: no manifest in the directory.
        """
        return kept_versions(check_path(path))


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
