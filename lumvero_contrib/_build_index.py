"""``build_index``: an ``Index`` directory built from rows that need not fit
in memory, read a batch at a time from an array (a NumPy memmap, an
HDF5 or Zarr dataset) or from an iterable of ``(rows, ids)`` batches, each
batch converted and checked as ``Index.add`` does, written as it comes
(storage.stream_build)."""

from __future__ import annotations

import ctypes
import mmap
import os
import sys
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from itertools import chain
from typing import Any, Final

import numpy as np

from lumvero_contrib import _native
from lumvero_contrib._index_args import (Metric, default_ids, float_rows, given_ids, int_ids,
                                         integer, listed, metric_name, normalize)
from lumvero_contrib.storage.commit import locked
from lumvero_contrib.storage.index_dir import check_ours, stripe_rows
from lumvero_contrib.storage.index_layout import MAX_DIMS, MAX_FILE_ROWS, FloatArray, IdArray, \
    check_path
from lumvero_contrib.storage.stream_build import (TAIL_ROWS, StreamWriter, Tail, Unfinished,
                                                  read_unfinished, source_record)

__all__ = ["build_index"]

# A batch of an array source holds about this many bytes of float32 rows.
_BATCH_BYTES: Final = 64 << 20
# A memmap's rows are converted this many bytes at a time.
_PIECE_BYTES: Final = 4 << 20
_WHAT: Final = "the batch"


def build_index(source: Any, path: str | os.PathLike[str], metric: Metric = "cosine", *,
                ids: Any = None, batch_rows: int | None = None,
                segment_rows: int = MAX_FILE_ROWS, checkpoint_every: int = 1,
                resume: bool = False, progress: bool = True) -> int:
    """Builds an ``Index`` directory from more rows than memory holds.

    The rows are read a batch at a time, converted and checked as
    ``Index.add`` converts and checks them (any real dtype to float32,
    cosine rows scaled to unit length, ids by the same rules and messages),
    and written as they come into segments of at most ``segment_rows`` rows
    (row file, codes file, ids), committed through the lock and commit of
    ``Index.save`` every ``checkpoint_every`` segments and at the end. Memory
    holds one batch and the codes of the segment being written (a quarter
    of its rows' bytes, plus 12 bytes a row), plus 8 bytes a row for ids
    that are not the default ones (to refuse repeats); never the rows.

    The result is what ``Index(dims, metric)``, ``add`` of the same rows
    with the same ids and ``save`` write: the same manifest apart from the
    file names (rows, ids, next_id, the files' bytes and hashes), hence the
    same answers bit for bit, as long as the index's rows fill segments the
    same way (one ``add`` of all the rows, and the default ``segment_rows``,
    the row limit of a row file). A smaller ``segment_rows`` splits the
    rows into more segments: each commit holds whole segments, so this is
    what bounds the codes held and the work a killed build loses.

    Until the build finishes, the directory holds its last checkpoint: an
    index of the rows written so far (loadable), whose manifest records
    the build (the source's rows, dims, dtype, whose ids, the segment size,
    and the BLAKE3 of the last rows written). A build killed at any point
    leaves the last committed state loadable, the previous index in the
    directory or a checkpoint; ``resume=True`` continues from the
    checkpoint, given the same source (refused, ``ValueError``, when its
    description or its last rows written differ). A build that fails (a
    bad batch, a full disk) removes the files written since the last
    commit and raises.

    Arguments:
        source: an array of shape ``(rows, dims)`` read by slicing
            (``np.load(path, mmap_mode="r")``, ``np.memmap``, an h5py or
            Zarr dataset, any object with ``shape`` and ``[a:b]``): pages of
            a memmap are released after each batch is read. Or an iterable
            of ``(rows, ids)`` batches, ``ids`` None for default ones; an
            iterable is read again from its start by a resumed build.
        path: the ``Index`` directory: new, empty, or one an Index was
            saved to (replaced, as ``Index.save`` replaces it).
        metric: ``"cosine"``, ``"dot"`` or ``"euclidean"``.
        ids: for an array source, one id per row (an array read by slicing,
            e.g. an int64 memmap), or None for the default ids 0, 1, 2, ...
        batch_rows: rows read at a time from an array (default: about 64 MiB
            of float32 rows).
        segment_rows: rows per segment, 1 to 50,000,000 (the default).
        checkpoint_every: segments written between commits.
        resume: continue the unfinished build in ``path`` (a directory
            without a manifest starts afresh).
        progress: a ``tqdm`` progress bar on standard error when tqdm is
            installed.

    Returns:
        The rows of the built index.

    Raises:
        ValueError: a batch that ``Index.add`` would refuse (the message
            names the directory, the batch and its first row, then says what
            ``add`` says), a directory of another kind, or a resume that
            does not match the build in the directory (named).
        TypeError: rows or ids of a non-numeric dtype, a source that is
            neither kind.

    Examples:
        >>> import numpy as np, tempfile, os
        >>> from lumvero_contrib import Index, build_index
        >>> d = tempfile.mkdtemp()
        >>> np.save(os.path.join(d, "emb.npy"), np.eye(4, dtype=np.float32))
        >>> X = np.load(os.path.join(d, "emb.npy"), mmap_mode="r")
        >>> build_index(X, os.path.join(d, "ix"), "dot", progress=False)
        4
        >>> Index.load(os.path.join(d, "ix")).search([0, 1, 0, 0], k=1)[1].tolist()
        [[1]]
    """
    directory = check_path(path)
    metric = metric_name(metric)
    seg = _count(segment_rows, "segment_rows", MAX_FILE_ROWS)
    every = _count(checkpoint_every, "checkpoint_every", 2**63 - 1)
    src = _open_source(source, ids, batch_rows)
    record = source_record(src.rows, src.dims, src.dtype, src.own_ids, seg)
    with locked(directory, "index directory", check_ours):
        resumed = read_unfinished(directory, metric, record) if resume else None
        writer = StreamWriter(directory, src.dims, metric, record, every, resumed)
        try:
            _Run(directory, src, writer, metric, resumed).run(progress)
            writer.finish()
        except BaseException:
            writer.abandon(*sys.exc_info())
            raise
    return writer.stored


def _count(value: object, what: str, most: int) -> int:
    n = integer(value, what)
    if not 1 <= n <= most:
        raise ValueError(f"{what} must be from 1 to {most}; got {n}")
    return n


class _ArraySource:
    """Rows read by slicing an array of shape (rows, dims)."""

    def __init__(self, a: Any, ids: Any, batch_rows: int | None) -> None:
        shape = tuple(a.shape)
        if len(shape) != 2:
            raise ValueError(f"source must be of shape (rows, dims); got shape {shape}")
        self.a, self.rows, self.dims = a, int(shape[0]), _dims(shape[1])
        self.dtype = np.dtype(getattr(a, "dtype", np.float64))
        self.ids, self.own_ids = ids, ids is not None
        if ids is not None and len(ids) != self.rows:
            raise ValueError(f"got {len(ids)} ids for {self.rows} rows of the source; pass one "
                             f"id per row")
        stripe = stripe_rows()
        default = max(1, _BATCH_BYTES // (4 * self.dims) // stripe) * stripe
        self.batch = default if batch_rows is None else _count(batch_rows, "batch_rows", 2**62)

    def batches(self, start: int) -> Iterator[tuple[Any, Any, bool]]:
        """(rows, ids, whether the rows are a float32 buffer of the build's
        own, converted in place) per batch."""
        for a in range(start, self.rows, self.batch):
            b = min(self.rows, a + self.batch)
            ids = None if self.ids is None else np.asarray(self.ids[a:b])
            if _releasable(self.a) and self.dtype.kind in "iuf":
                yield self.read(a, b), ids, True
            else:
                yield np.asarray(self.a[a:b]), ids, False

    def read(self, a: int, b: int) -> FloatArray:
        """Rows [a, b) of a memmap converted to float32 a few MiB at a
        time (as Index.add converts them), each piece's pages released once
        read."""
        out = np.empty((b - a, self.dims), np.float32)
        step = max(1, _PIECE_BYTES // (self.dtype.itemsize * self.dims))
        with np.errstate(over="ignore", invalid="ignore"):  # infinities are reported later
            for s in range(a, b, step):
                e = min(b, s + step)
                out[s - a: e - a] = self.a[s:e]
                _release(self.a, s, e)
        return out


class _BatchSource:
    """Rows from an iterable of (rows, ids) batches."""

    rows = None

    def __init__(self, batches: Iterable[Any]) -> None:
        it = iter(batches)
        first = next(it, None)
        if first is None:
            raise ValueError("the source holds no batches: an index needs its dims (pass an "
                             "array of shape (0, dims) to build an empty one)")
        X, ids = _pair(first, 0)
        a = np.asarray(X)
        if a.ndim not in (1, 2):
            raise ValueError(f"batch 0 of the source must be (n, dims) or (dims,); got shape "
                             f"{a.shape}")
        self.dims, self.dtype, self.own_ids = _dims(a.shape[-1]), a.dtype, ids is not None
        self.it: Iterator[Any] = chain([(a, ids)], it)

    def batches(self, start: int) -> Iterator[tuple[Any, Any, bool]]:
        for k, item in enumerate(self.it):
            yield *_pair(item, k), False


def _pair(item: Any, k: int) -> tuple[Any, Any]:
    if not isinstance(item, tuple) or len(item) != 2:
        raise TypeError(f"batch {k} of the source is not a (rows, ids) pair; pass an array "
                        f"(with shape and slicing) or an iterable of (rows, ids) batches")
    return item[0], item[1]


def _dims(value: object) -> int:
    d = integer(value, "dims")
    if not 1 <= d <= MAX_DIMS:
        raise ValueError(f"dims must be between 1 and {MAX_DIMS}; got {d}")
    return d


def _open_source(source: Any, ids: Any, batch_rows: int | None) -> _ArraySource | _BatchSource:
    if hasattr(source, "shape"):
        return _ArraySource(source, ids, batch_rows)
    if ids is not None:
        raise TypeError("ids= is for an array source; an iterable source gives each batch's "
                        "ids with its rows")
    if not isinstance(source, Iterable):
        raise TypeError(f"source must be an array (with shape and slicing) or an iterable of "
                        f"(rows, ids) batches; got {type(source).__name__}")
    return _BatchSource(source)


_libc = ctypes.CDLL(None, use_errno=True)


def _releasable(a: Any) -> bool:
    """A memmap shared with its file, whose rows are contiguous."""
    return isinstance(a, np.memmap) and a.mode != "c" and bool(a.flags.c_contiguous)


def _release(a: Any, first: int, end: int) -> None:
    """The pages of rows [first, end) of a memmap (shared with the file,
    read by now) dropped from the process: its resident memory stays a
    few MiB, not the file. The page cache keeps them."""
    page = mmap.PAGESIZE
    row = a.strides[0]
    lo = (a.ctypes.data + first * row) // page * page
    hi = (a.ctypes.data + end * row) // page * page
    if hi > lo:
        _libc.madvise(ctypes.c_void_p(lo), ctypes.c_size_t(hi - lo), mmap.MADV_DONTNEED)


class _Ids:
    """Ids across a build's batches, as Index.add gives and checks them:
    default ids after the largest so far; own ids refused when given before
    (kept in sorted arrays of geometric sizes, looked up only for a batch
    whose smallest id is not above every earlier one)."""

    def __init__(self, keep: bool, next_id: int = 0) -> None:
        self.keep, self.next_id = keep, next_id
        self.levels: list[IdArray] = []

    def take(self, given: Any, n: int) -> IdArray:
        if given is None:
            a = default_ids(self.next_id, n)
        else:
            a, uniq = given_ids(given, n, _WHAT)
            if n and int(uniq[0]) < self.next_id:
                present = self.present(uniq)
                if present.size:
                    raise ValueError(f"ids already present: {listed(present)}")
        if n:
            self.next_id = max(self.next_id, int(a.max()) + 1)
            if self.keep:
                self.remember(a)
        return a

    def present(self, uniq: IdArray) -> IdArray:
        hit = np.zeros(uniq.shape[0], np.bool_)
        for level in self.levels:
            hit |= _native.find_sorted(level, uniq) >= 0
        return uniq[hit]

    def remember(self, a: IdArray) -> None:
        self.levels.append(np.sort(a))
        while len(self.levels) > 1 and self.levels[-2].size <= self.levels[-1].size:
            top = self.levels.pop()
            # Two sorted runs: the stable sort (a merge sort) merges them.
            self.levels[-1] = np.sort(np.concatenate([self.levels[-1], top]), kind="stable")


class _Run:
    """One pass over the source: batches checked, converted and written;
    with a resumed build, the rows written before skipped (an array is
    sliced past them; an iterable read again, its ids checked again, its
    rows not written)."""

    def __init__(self, directory: Any, src: _ArraySource | _BatchSource, writer: StreamWriter,
                 metric: str, resumed: Unfinished | None) -> None:
        self.directory, self.src, self.writer, self.metric = directory, src, writer, metric
        self.resumed = resumed
        self.ids = _Ids(keep=src.own_ids or src.rows is None)
        self.skip = 0  # rows of an iterable to read again without writing them
        self.tail = Tail(src.dims)

    def run(self, progress: bool) -> None:
        start = self.start()
        bar = _bar(progress, self.src.rows, start)
        try:
            # Not enumerate: its result tuple would hold the last batch while
            # the next one is read.
            k = -1
            for X, given, own in self.src.batches(start):
                k += 1
                with self.about(k, start):
                    rows, new_ids = self.checked(X, given, own)
                n = int(rows.shape[0])
                if self.skip:
                    rows, new_ids = self.skipped(rows, new_ids)
                if rows.shape[0]:
                    self.writer.add(rows, _native.row_norms_sq(rows), new_ids, self.ids.next_id)
                start += n
                if bar is not None:
                    bar.update(n)
                del X, rows  # before the next batch is read: one batch at a time
        finally:
            if bar is not None:
                bar.close()
        if self.skip:
            raise self.bad(f"the source gave {start} rows, fewer than the {self.skip + start} "
                           f"the unfinished build wrote")

    def start(self) -> int:
        """The first row to read: past the rows written for an array."""
        r = self.resumed
        if r is None:
            return 0
        if self.src.rows is None:
            self.skip = r.rows
            return 0
        self.ids.next_id = r.next_id
        if self.ids.keep:
            self.ids.remember(r.ids)
        assert isinstance(self.src, _ArraySource)
        t = min(TAIL_ROWS, r.rows)
        if t:
            given = self.src.ids[r.rows - t: r.rows] if self.src.own_ids else None
            with self.about(0, r.rows - t):
                rows = self.rows_of(np.asarray(self.src.a[r.rows - t: r.rows]))
                tail_ids = np.arange(r.rows - t, r.rows) if given is None else \
                    int_ids(np.asarray(given), "ids")
            self.tail.add(rows, tail_ids)
            self.check_tail()
        return r.rows

    def rows_of(self, X: Any) -> FloatArray:
        rows = float_rows(X, _WHAT, self.src.dims)
        if self.metric == "cosine":
            normalize(rows, _WHAT, zero_ok=True)
        return rows

    def checked(self, X: Any, given: Any, own: bool) -> tuple[FloatArray, IdArray]:
        """The batch as Index.add takes it: converted (X itself when it is
        the build's own float32 buffer), ids given or default checked,
        cosine rows scaled."""
        rows = float_rows(X, _WHAT, self.src.dims, fresh=not own)
        new_ids = self.ids.take(given, int(rows.shape[0]))
        if self.metric == "cosine":
            normalize(rows, _WHAT, zero_ok=True)
        return rows, new_ids

    def skipped(self, rows: FloatArray, ids: IdArray) -> tuple[FloatArray, IdArray]:
        """The part of a batch past the rows a resumed build wrote; the rows
        before are only kept for the check of the last rows written."""
        k = min(self.skip, int(rows.shape[0]))
        self.tail.add(rows[:k], ids[:k])
        self.skip -= k
        if not self.skip:
            self.check_tail()
        return rows[k:], ids[k:]

    def check_tail(self) -> None:
        assert self.resumed is not None
        if self.tail.digest() != self.resumed.tail:
            raise self.bad(f"the source's rows before row {self.resumed.rows} or their ids are "
                           f"not those the unfinished build wrote; build without resume to "
                           f"replace it")

    def bad(self, what: str) -> ValueError:
        return ValueError(f"index directory {self.directory}: {what}")

    @contextmanager
    def about(self, k: int, first: int) -> Iterator[None]:
        """Errors of a batch named with the directory and where the batch
        starts."""
        try:
            yield
        except (ValueError, TypeError) as e:
            where = f"batch {k} of the source" if self.src.rows is None else \
                f"the source's rows from {first}"
            raise type(e)(f"building index directory {self.directory}: {where}: {e}") from None


def _bar(progress: bool, total: int | None, initial: int) -> Any:
    if not progress:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, initial=initial, unit="rows", unit_scale=True, desc="build_index",
                file=sys.stderr)
