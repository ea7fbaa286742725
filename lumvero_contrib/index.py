"""Exact nearest-neighbour search over rows held in memory, with your own ids.

``Index`` is the everyday front door to the lumvero engine: any real array in,
int64 ids of your choosing, filtered search, adds and removals, and a save
format that the module ``lumvero`` can open. Every answer is exact: for any
sequence of adds, removals, compactions, saves and loads, ``search`` returns
the rows and float32 score bits that ``lumvero`` returns on one index file
holding the live (and allowed) rows in insertion order, equal scores going to
the earlier insertion.
"""

from __future__ import annotations

import json
import operator
import os
import re
import struct
import threading
import uuid
from pathlib import Path
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native

__all__ = ["Index"]

_METRIC_IDS: Final = {"cosine": 0, "dot": 1, "euclidean": 2}
_MAX_DIMS: Final = 10000
# Rows per row file: the index format's row count is 32-bit and the module
# opens files of at most this many rows.
_MAX_FILE_ROWS: Final = 50_000_000
# A new run holds at least this many rows (its memory is only reserved, not
# touched, until rows arrive), and at least as many as the index already has:
# growth is geometric, so an index keeps a handful of runs however it was fed.
_MIN_RUN_ROWS: Final = 4096
# An allow-list (or the live rows) at most this fraction of the stored rows
# is searched by position, reading only those rows; a larger one as a mask.
_SPARSE_FRACTION: Final = 8
_MANIFEST: Final = "manifest.json"
_FORMAT: Final = "lumvero_contrib.Index"
_FORMAT_VERSION: Final = 1
_OWN_FILE: Final = re.compile(r"^(rows-[0-9a-f]{32}-\d+\.index|(ids|removed)-[0-9a-f]{32}\.npy|"
                              r"manifest\.json\.tmp-[0-9a-f]{32})$")

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]


class _Run:
    """Rows [0, count) of a buffer of float32 rows and their squared norms;
    row j has position first + j."""

    __slots__ = ("rows", "norms", "count", "first", "source")

    def __init__(self, rows: FloatArray, norms: npt.NDArray[np.float64], count: int,
                 first: int, source: str | None = None) -> None:
        self.rows = rows
        self.norms = norms
        self.count = count
        self.first = first
        self.source = source  # the row file, when the rows are mapped from one

    def check_intact(self) -> None:
        """Raises ValueError when the mapped row file was shortened under
        this index (its missing rows then read as zeros)."""
        if self.source is not None and _native.mapping_damaged(self.rows):
            raise ValueError(f"row file {self.source} changed while in use; load the index again")

    def spare(self) -> int:
        return int(self.rows.shape[0]) - self.count


class _Lookup:
    """Live id -> position for ids that do not increase with position: sorted
    arrays searched in bulk, plus the ids added since they were last sorted.

    Removed ids keep their place with position -1 until the next merge, which
    drops them, so an id removed and added again is found at its new place.
    """

    # Ids added in one call beyond this are merged at once; fewer wait in the
    # pending dict until it outgrows a small share of the sorted ids.
    _MERGE_AT_ONCE: Final = 64

    def __init__(self, ids: IdArray, positions: IdArray) -> None:
        order = np.argsort(ids, kind="stable")
        self._keys: IdArray = ids[order]
        self._vals: IdArray = positions[order]
        self._pending: dict[int, int] = {}
        self._sorted_pending: tuple[IdArray, IdArray] | None = None

    def add(self, ids: IdArray, positions: IdArray) -> None:
        if ids.shape[0] > self._MERGE_AT_ONCE:
            self._merge(ids, positions)
            return
        self._pending.update(zip(ids.tolist(), positions.tolist()))
        self._sorted_pending = None
        if len(self._pending) > 1024 + self._keys.shape[0] // 32:
            self._merge(np.zeros(0, np.int64), np.zeros(0, np.int64))

    def _merge(self, ids: IdArray, positions: IdArray) -> None:
        alive = self._vals >= 0
        pk = np.fromiter(self._pending.keys(), np.int64, len(self._pending))
        pv = np.fromiter(self._pending.values(), np.int64, len(self._pending))
        keys = np.concatenate([self._keys[alive], pk, ids])
        vals = np.concatenate([self._vals[alive], pv, positions])
        order = np.argsort(keys, kind="stable")
        self._keys, self._vals = keys[order], vals[order]
        self._pending = {}
        self._sorted_pending = None

    @staticmethod
    def _search(keys: IdArray, vals: IdArray, ids: IdArray) -> IdArray:
        at = _native.find_sorted(keys, ids)
        out = np.full(ids.shape[0], -1, np.int64)
        hit = at >= 0
        out[hit] = vals[at[hit]]
        return out

    def find(self, ids: IdArray) -> IdArray:
        """Positions of the ids, -1 for those not live."""
        out = self._search(self._keys, self._vals, ids)
        if self._pending:
            if self._sorted_pending is None:
                pk = np.fromiter(self._pending.keys(), np.int64, len(self._pending))
                pv = np.fromiter(self._pending.values(), np.int64, len(self._pending))
                order = np.argsort(pk)
                self._sorted_pending = (pk[order], pv[order])
            recent = self._search(*self._sorted_pending, ids)
            out = np.where(recent >= 0, recent, out)
        return out

    def remove(self, ids: IdArray) -> None:
        """Forgets live ids."""
        at = _native.find_sorted(self._keys, ids)
        self._vals[at[at >= 0]] = -1
        if self._pending:
            for i in ids.tolist():
                if self._pending.pop(i, None) is not None:
                    self._sorted_pending = None


def _float_rows(X: Any, what: str, dims: int) -> FloatArray:
    """X as a fresh (n, dims) float32 C-contiguous array of finite values."""
    a = np.asarray(X)
    if a.dtype.kind not in "iuf":  # not bool, complex, text or objects
        raise TypeError(f"{what} must hold real numbers; got dtype {a.dtype}")
    if a.ndim == 1:
        if a.shape[0] != dims:
            raise ValueError(f"{what} has {a.shape[0]} values; this index has {dims} dims")
        a = a.reshape(1, dims)
    elif a.ndim == 2:
        if a.shape[1] != dims:
            raise ValueError(f"{what} has {a.shape[1]} columns; this index has {dims} dims")
    else:
        raise ValueError(f"{what} must be (n, {dims}) or ({dims},); got shape {a.shape}")
    if a.dtype.kind == "f" and a.dtype.itemsize > 4:
        # Values beyond float32's range become infinities, reported below.
        with np.errstate(over="ignore", invalid="ignore"):
            out = np.array(a, dtype=np.float32, order="C", copy=True)
    else:
        out = np.array(a, dtype=np.float32, order="C", copy=True)
    bad = _native.first_non_finite(out) if out.size else -1
    if bad >= 0:
        r, c = divmod(bad, dims)
        raise ValueError(f"{what} has a non-finite value at row {r}, column {c} "
                         f"({float(out[r, c])} as float32); pass finite values")
    return out


def _int_ids(ids: Any, what: str) -> IdArray:
    """ids as a 1-D int64 array; TypeError for anything but integers."""
    a = np.asarray(ids)
    if a.ndim == 0:
        a = a.reshape(1)
    if a.ndim != 1:
        raise ValueError(f"{what} must be a 1-D sequence of integers; got shape {a.shape}")
    if a.size == 0:
        return np.zeros(0, np.int64)
    if a.dtype.kind not in "iu":
        raise TypeError(f"{what} must be integers (int64); got dtype {a.dtype}")
    if a.dtype == np.uint64 and int(a.max()) > np.iinfo(np.int64).max:
        big = sorted({int(v) for v in a[a > np.iinfo(np.int64).max][:10]})
        raise ValueError(f"{what} do not fit in int64: {big}")
    return a.astype(np.int64, copy=False)


def _integer(value: object, what: str) -> int:
    """value as a Python int; TypeError for bool and non-integers."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer; got bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an integer; got {type(value).__name__}") from None


def _sorted_unique(a: IdArray) -> IdArray:
    """The distinct values, sorted (sorted needles make the binary searches
    that follow read memory in order)."""
    s = np.sort(a)
    if s.shape[0] > 1:
        s = s[np.concatenate(([True], s[1:] != s[:-1]))]
    return s


def _listed(values: Any, limit: int = 10) -> str:
    items = [int(v) for v in values[:limit]]
    more = ", ..." if len(values) > limit else ""
    return "[" + ", ".join(str(v) for v in items) + more + "]"


def _normalize(rows: FloatArray, what: str, zero_ok: bool) -> None:
    """Scales rows to unit length in place, exactly as the index writer does.
    Zero rows stay zero where zero_ok; a row whose sum of squares overflows or
    underflows float32 cannot be scaled."""
    zero, lost = _native.normalize_rows(rows)
    if zero >= 0 and not zero_ok:
        raise ValueError(f"{what} row {zero} is zero; a cosine query needs a non-zero vector")
    if lost >= 0:
        raise ValueError(f"{what} row {lost} cannot be scaled to unit length: its sum of "
                         f"squares overflows or underflows float32; rescale it first")


def _fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _write_file(path: Path, *chunks: bytes | memoryview) -> str:
    """Writes and fsyncs a new file; returns its BLAKE3, from the bytes
    written rather than from reading the file back."""
    with open(path, "xb") as f:
        for chunk in chunks:
            f.write(chunk)
        f.flush()
        os.fsync(f.fileno())
    return _native.blake3_hex(*chunks)


def _file_hash(path: Path) -> str:
    if path.stat().st_size == 0:
        return _native.blake3_hex(b"")
    return _native.blake3_hex(np.memmap(path, dtype=np.uint8, mode="r"))


class _Saved:
    """A directory written by ``Index.save``, read and checked part by part;
    every failure is a ValueError naming the directory and the part."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        try:
            manifest = json.loads((directory / _MANIFEST).read_text())
        except json.JSONDecodeError as e:
            raise ValueError(f"{directory / _MANIFEST} is not valid JSON: {e}") from None
        try:
            if manifest["format"] != _FORMAT or manifest["version"] != _FORMAT_VERSION:
                raise self.bad("manifest.json is not an Index manifest of a known version")
            self.dims = int(manifest["dims"])
            self.metric = str(manifest["metric"])
            self.stored = int(manifest["rows"])
            self.entries = [(str(f["file"]), int(f["rows"]), str(f["blake3"]))
                            for f in manifest["row_files"]]
            self.ids_entry = (str(manifest["ids"]["file"]), str(manifest["ids"]["blake3"]))
            self.removed_entry = (str(manifest["removed"]["file"]),
                                  str(manifest["removed"]["blake3"]))
            self.next_id = int(manifest["next_id"])
        except (KeyError, TypeError) as e:
            raise self.bad(f"manifest.json lacks or mistypes {e}") from None

    def bad(self, what: str) -> ValueError:
        return ValueError(f"index directory {self.directory}: {what}")

    def checked(self, name: str, digest: str) -> Path:
        """The file's path, once it is there and matches its hash."""
        p = self.directory / name
        if os.sep in name or not p.is_file():
            raise self.bad(f"{name} is missing")
        if _file_hash(p) != digest:
            raise self.bad(f"{name} does not match its BLAKE3 hash in manifest.json")
        return p

    def rows(self, name: str, n: int, digest: str, metric_id: int,
             mmap: bool) -> tuple[FloatArray, str | None]:
        """A row file's rows, mapped (with its path) or read into memory."""
        p = self.checked(name, digest)
        with open(p, "rb") as f:
            header = struct.unpack("<III", f.read(12))
        if header != (self.dims, n, metric_id) or p.stat().st_size != 12 + 4 * n * self.dims:
            raise self.bad(f"{name} does not hold {n} rows of {self.dims} dims")
        if mmap:
            # Mapped under the engine's guard: a file shortened by another
            # process later is an error, not a SIGBUS.
            return _native.map_rows(os.fspath(p), n, self.dims), os.fspath(p)
        return np.fromfile(p, dtype="<f4", offset=12).reshape(n, self.dims), None

    def ids_and_live(self, rows_read: int) -> tuple[IdArray, npt.NDArray[np.bool_]]:
        """The ids by row and the live flags, checked against the rows read."""
        ids = np.load(self.checked(*self.ids_entry), allow_pickle=False)
        removed = np.load(self.checked(*self.removed_entry), allow_pickle=False)
        stored = self.stored
        if rows_read != stored or ids.shape != (stored,) or ids.dtype != np.int64:
            raise self.bad(f"the row files and ids do not hold {stored} rows")
        if removed.ndim != 1 or removed.dtype != np.int64 or (
                removed.size and (removed.min() < 0 or removed.max() >= stored)):
            raise self.bad("the removed rows are not positions of stored rows")
        live = np.ones(stored, np.bool_)
        live[removed] = False
        live_ids = ids[live]
        if live_ids.size and (live_ids.min() < 0 or np.unique(live_ids).size != live_ids.size):
            raise self.bad("the live ids are negative or repeated")
        return ids.copy(), live


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
        TypeError: dims is not an integer.

    Examples:
        >>> import numpy as np
        >>> from lumvero_contrib import Index
        >>> ix = Index(4, metric="dot")
        >>> ix.add(np.eye(4), ids=[10, 11, 12, 13])
        >>> scores, ids = ix.search([0, 1, 0, 0], k=2)
        >>> ids.tolist()
        [[11, 10]]

    An Index is safe to use from several threads; calls run one at a time.
    """

    def __init__(self, dims: int, metric: str = "cosine") -> None:
        d = _integer(dims, "dims")
        if not 1 <= d <= _MAX_DIMS:
            raise ValueError(f"dims must be between 1 and {_MAX_DIMS}; got {d}")
        if metric not in _METRIC_IDS:
            raise ValueError(f"metric must be 'cosine', 'dot' or 'euclidean'; got {metric!r}")
        self._dims: int = d
        self._metric = str(metric)
        self._lock = threading.RLock()
        self._runs: list[_Run] = []
        self._stored = 0
        self._ids: IdArray = np.zeros(0, np.int64)
        self._live: npt.NDArray[np.bool_] = np.zeros(0, np.bool_)
        self._live_count = 0
        self._next_id = 0
        # While ids increase with position, an id is found by binary search
        # in them; otherwise through a lookup built on first need.
        self._ascending = True
        self._lookup: _Lookup | None = None

    # -- properties -------------------------------------------------------

    @property
    def dims(self) -> int:
        """Values per row."""
        return self._dims

    @property
    def metric(self) -> str:
        """``"cosine"``, ``"dot"`` or ``"euclidean"``."""
        return self._metric

    def __len__(self) -> int:
        """Live rows (added and not removed)."""
        return self._live_count

    def __repr__(self) -> str:
        return f"Index(dims={self._dims}, metric={self._metric!r}, rows={self._live_count})"

    def ids(self) -> IdArray:
        """The ids of the live rows, in insertion order.

        Returns:
            A new int64 array of ``len(self)`` ids.
        """
        with self._lock:
            return self._ids[: self._stored][self._live[: self._stored]].copy()

    # -- adding and removing ----------------------------------------------

    def add(self, X: npt.ArrayLike, ids: npt.ArrayLike | None = None) -> None:
        """Adds rows. Nothing is added when anything is wrong.

        Arguments:
            X: ``(n, dims)`` or ``(dims,)``, any real dtype and layout (float64,
                float16, integers, strided, Fortran order, nested lists). It is
                converted once to float32 (float64 by NumPy's rounding to
                nearest); for cosine each row is then scaled to unit length.
            ids: one int64 id per row. By default the next integers after the
                largest id ever added (0, 1, 2, ... in a new index).

        Raises:
            ValueError: a shape that does not fit (``"X has 3 columns; this
                index has 128 dims"``), a non-finite value (after conversion to
                float32), an id already present (``"ids already present: [5,
                9]"``), a negative id, an id given twice, or ids whose count
                differs from the rows'.
            TypeError: X or ids of a non-numeric or non-integer dtype.

        Examples:
            >>> ix = Index(3, metric="euclidean")
            >>> ix.add([[0, 0, 1], [1, 0, 0]])
            >>> ix.add([0, 1, 0], ids=[7])
            >>> ix.ids().tolist()
            [0, 1, 7]
        """
        rows = _float_rows(X, "X", self._dims)
        n = int(rows.shape[0])
        with self._lock:
            new_ids = self._check_new_ids(ids, n)
            if self._metric == "cosine":
                _normalize(rows, "X", zero_ok=True)
            if n == 0:
                return
            self._append_rows(rows)
            self._append_ids(new_ids)

    def _check_new_ids(self, ids: npt.ArrayLike | None, n: int) -> IdArray:
        if ids is None:
            return np.arange(self._next_id, self._next_id + n, dtype=np.int64)
        a = _int_ids(ids, "ids")
        if a.shape[0] != n:
            raise ValueError(f"got {a.shape[0]} ids for {n} rows of X; pass one id per row")
        if n == 0:
            return a
        if n == 1:
            uniq = a
        else:
            uniq, counts = np.unique(a, return_counts=True)
            if uniq.size != n:
                raise ValueError(f"ids repeated in this call: {_listed(uniq[counts > 1])}")
        if uniq[0] < 0:
            raise ValueError(f"ids must be >= 0; negative ids: {_listed(uniq[uniq < 0])}")
        if self._live_count and int(uniq[0]) < self._next_id:
            present = uniq[self._positions(uniq) >= 0]
            if present.size:
                raise ValueError(f"ids already present: {_listed(present)}")
        return a

    def _append_rows(self, rows: FloatArray) -> None:
        n = int(rows.shape[0])
        done = 0
        if self._runs and self._runs[-1].spare() > 0:
            run = self._runs[-1]
            m = min(run.spare(), n)
            run.rows[run.count: run.count + m] = rows[:m]
            run.norms[run.count: run.count + m] = _native.row_norms_sq(rows[:m])
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
            self._runs.append(_Run(buf, norms, m, self._stored + done))

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
                self._lookup = _Lookup(self._ids[live], live)
            return self._lookup.find(ids)
        pos = _native.find_sorted(self._ids[: self._stored], ids)
        hit = np.flatnonzero(pos >= 0)
        pos[hit[~self._live[pos[hit]]]] = -1  # removed rows keep their ids until compacted
        return pos

    def remove(self, ids: npt.ArrayLike) -> int:
        """Removes rows by id; they are never returned again.

        Arguments:
            ids: an id or a sequence of int64 ids; ids not present are ignored.

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
        a = _sorted_unique(_int_ids(ids, "ids"))
        with self._lock:
            if a.size == 0 or self._live_count == 0:
                return 0
            pos = self._positions(a)
            hit = pos[pos >= 0]
            self._live[hit] = False
            self._live_count -= int(hit.size)
            if self._lookup is not None:
                self._lookup.remove(a[pos >= 0])
            return int(hit.size)

    def compact(self) -> None:
        """Rewrites the rows without the removed ones into one run.

        Answers are unchanged (the live rows keep their order); memory held by
        removed rows and by growth is released, and a loaded index no longer
        reads its files.
        """
        with self._lock:
            if len(self._runs) <= 1 and self._live_count == self._stored:
                return
            n = self._live_count
            rows = np.empty((n, self._dims), np.float32)
            norms = np.empty(n, np.float64)
            at = 0
            for run in self._runs:
                keep = np.flatnonzero(self._live[run.first: run.first + run.count])
                rows[at: at + keep.size] = run.rows[keep]
                norms[at: at + keep.size] = run.norms[keep]
                at += int(keep.size)
            for run in self._runs:
                run.check_intact()
            ids = self._ids[: self._stored][self._live[: self._stored]].copy()
            self._runs = [_Run(rows, norms, n, 0)] if n else []
            self._ids = ids
            self._live = np.ones(n, np.bool_)
            self._stored = n
            self._ascending = bool(np.all(ids[1:] > ids[:-1]))
            self._lookup = None

    # -- searching ----------------------------------------------------------

    def search(self, Q: npt.ArrayLike, k: int,
               allow: npt.ArrayLike | None = None) -> tuple[FloatArray, IdArray]:
        """The k best live rows for each query, exactly.

        Arguments:
            Q: ``(n, dims)`` or ``(dims,)`` (one query), any real dtype and
                layout, converted once to float32; for cosine each query is
                scaled to unit length as the rows are.
            k: results per query, >= 1.
            allow: ids to search among (int64 array-like); ids not present are
                ignored. The filter is applied inside the scan: a short list
                reads only its own rows.

        Returns:
            ``(scores, ids)``: float32 ``(n, k)`` and int64 ``(n, k)``, best
            first (higher first for cosine and dot, lower squared distance
            first for euclidean), equal scores by earlier insertion. Places
            beyond the rows available hold id -1 and the worst score (-inf for
            cosine and dot, +inf for euclidean), as do rows whose score is not
            finite.

        Raises:
            ValueError: a shape that does not fit (``"Q has 3 columns; this
                index has 128 dims"``), a non-finite value, k < 1, or a zero
                query under cosine.
            TypeError: Q or allow of the wrong dtype, or k not an integer.

        Examples:
            >>> ix = Index(2, metric="euclidean")
            >>> ix.add([[0, 0], [3, 4], [1, 1]], ids=[5, 6, 7])
            >>> scores, ids = ix.search([0, 0], k=2, allow=[6, 7])
            >>> ids.tolist(), scores.tolist()
            ([[7, 6]], [[2.0, 25.0]])
        """
        k = _integer(k, "k")
        if k < 1:
            raise ValueError(f"k must be at least 1; got {k}")
        queries = _float_rows(Q, "Q", self._dims)
        if self._metric == "cosine":
            _normalize(queries, "Q", zero_ok=False)
        allow_ids = None if allow is None else _sorted_unique(_int_ids(allow, "allow"))
        with self._lock:
            live: npt.NDArray[np.bool_] | None = None
            allowed: IdArray | None = None
            if allow_ids is not None:
                pos = self._positions(allow_ids)
                allowed = pos[pos >= 0]
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
            runs = [(r.rows[: r.count], r.norms[: r.count], r.first) for r in self._runs]
            scores, positions = _native.search(runs, queries, k, _METRIC_IDS[self._metric],
                                               live, allowed)
            for r in self._runs:
                r.check_intact()
            found = positions >= 0
            ids = np.full(positions.shape, -1, np.int64)
            ids[found] = self._ids[positions[found]]
            return scores, ids

    # -- saving and loading -------------------------------------------------

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the index to a directory, atomically.

        The directory holds row files in lumvero's index format (``lumvero``
        opens them: they hold every stored row, removed ones included, in
        insertion order), the ids by row, the removed rows, and
        ``manifest.json`` with the BLAKE3 hash of every file. New files get
        fresh names and reach the disk before the manifest is replaced in one
        rename; files of the previous state are removed after that. A crash
        at any point leaves the previous or the new state loadable.

        Arguments:
            path: the directory; created when missing.

        Raises:
            OSError: the directory cannot be written.
        """
        directory = Path(path)
        directory.mkdir(parents=True, exist_ok=True)
        token = uuid.uuid4().hex
        with self._lock:
            files: list[dict[str, Any]] = []
            metric_id = _METRIC_IDS[self._metric]
            for run in self._runs:
                for s in range(0, run.count, _MAX_FILE_ROWS):
                    part = run.rows[s: min(run.count, s + _MAX_FILE_ROWS)]
                    name = f"rows-{token}-{len(files)}.index"
                    header = struct.pack("<III", self._dims, int(part.shape[0]), metric_id)
                    digest = _write_file(directory / name, header, part.data.cast("B"))
                    files.append({"file": name, "rows": int(part.shape[0]), "blake3": digest})
            for run in self._runs:  # what was written came from intact rows
                run.check_intact()
            ids_name = f"ids-{token}.npy"
            removed_name = f"removed-{token}.npy"
            ids_hash = self._save_npy(directory / ids_name, self._ids[: self._stored])
            removed = np.flatnonzero(~self._live[: self._stored]).astype(np.int64)
            removed_hash = self._save_npy(directory / removed_name, removed)
            manifest = {
                "format": _FORMAT, "version": _FORMAT_VERSION, "dims": self._dims,
                "metric": self._metric, "rows": self._stored, "next_id": self._next_id,
                "row_files": files,
                "ids": {"file": ids_name, "blake3": ids_hash},
                "removed": {"file": removed_name, "blake3": removed_hash},
            }
        tmp = directory / f"{_MANIFEST}.tmp-{token}"
        _write_file(tmp, (json.dumps(manifest, indent=1) + "\n").encode())
        _fsync_dir(directory)
        os.replace(tmp, directory / _MANIFEST)
        _fsync_dir(directory)
        keep = {f["file"] for f in files} | {ids_name, removed_name}
        for entry in os.listdir(directory):
            if entry not in keep and _OWN_FILE.match(entry):
                (directory / entry).unlink(missing_ok=True)

    @staticmethod
    def _save_npy(path: Path, values: IdArray) -> str:
        with open(path, "xb") as f:
            np.save(f, np.ascontiguousarray(values, dtype="<i8"), allow_pickle=False)
            f.flush()
            os.fsync(f.fileno())
        return _file_hash(path)

    @classmethod
    def load(cls, path: str | os.PathLike[str], mmap: bool = True) -> Index:
        """Reads an index written by ``save``; every file's hash is checked.

        Arguments:
            path: the directory.
            mmap: map the row files read-only instead of reading them into
                memory (rows added later live in memory either way).

        Returns:
            The index, answering exactly as the one saved.

        Raises:
            ValueError: a missing, altered or inconsistent file (named).
            FileNotFoundError: no manifest in the directory.
        """
        saved = _Saved(Path(path))
        ix = cls(saved.dims, saved.metric)
        first = 0
        for name, n, digest in saved.entries:
            rows, source = saved.rows(name, n, digest, _METRIC_IDS[ix._metric], mmap)
            ix._runs.append(_Run(rows, _native.row_norms_sq(rows), n, first, source))
            first += n
        ids, live = saved.ids_and_live(first)
        ix._ids, ix._live, ix._stored = ids, live, saved.stored
        ix._live_count = int(live.sum())
        ix._next_id = saved.next_id
        ix._ascending = bool(np.all(ids[1:] > ids[:-1]))
        return ix
