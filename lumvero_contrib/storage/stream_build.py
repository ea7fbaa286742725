"""Writing an ``Index`` directory as its rows arrive (``lumvero_contrib.build_index``):
segments of at most ``segment_rows`` rows, each written by the segment
writer of every save (``index_dir.SegmentOut``) and committed through the
one commit (``index_dir.publish_state``, under the directory's lock held for
the whole build) every ``checkpoint_every`` segments and at the end.

A checkpoint's manifest records the build under ``"build"``: the source's
description (rows, dims, dtype, whose ids, the segment size) and the BLAKE3
of the last rows written with their ids, so that a build killed later can
resume there, from the same source. Readers ignore the record: a checkpoint
is an index of the rows written so far. The finished state records none;
its manifest is the one ``Index.save`` writes for the same rows (apart from
the file names)."""

from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Any, Final, NamedTuple

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib.storage.commit import MANIFEST, Commit
from lumvero_contrib.storage.files import is_hex64, is_int
from lumvero_contrib.storage.index_dir import SegmentOut, publish_state, read_current
from lumvero_contrib.storage.index_layout import (MAX_DIMS, MAX_FILE_ROWS, METRIC_IDS,
                                                  FloatArray, IdArray, SavedSegment)
from lumvero_contrib.storage.index_read import Saved

BUILD_KEY: Final = "build"
# The rows whose hash a checkpoint records: a resumed source must give them
# again, bit for bit, with the same ids.
TAIL_ROWS: Final = 256
_DTYPE: Final = re.compile(r"[<>|=]?[a-z]{1,2}\d{1,2}")
_SOURCE_KEYS: Final = ("rows", "dims", "dtype", "ids", "segment_rows")


class Tail:
    """The last TAIL_ROWS rows (as stored) and their ids, rolling."""

    def __init__(self, dims: int) -> None:
        self.rows: FloatArray = np.zeros((0, dims), np.float32)
        self.ids: IdArray = np.zeros(0, np.int64)

    def add(self, rows: FloatArray, ids: IdArray) -> None:
        if rows.shape[0] >= TAIL_ROWS:
            self.rows, self.ids = rows[-TAIL_ROWS:].copy(), ids[-TAIL_ROWS:].copy()
        else:
            self.rows = np.concatenate([self.rows, rows])[-TAIL_ROWS:]
            self.ids = np.concatenate([self.ids, ids])[-TAIL_ROWS:]

    def digest(self) -> str:
        return _native.blake3_hex(np.ascontiguousarray(self.rows),
                                  np.ascontiguousarray(self.ids, "<i8"))


class Unfinished(NamedTuple):
    """An unfinished build read from a checkpoint's manifest."""
    segments: list[SavedSegment]
    rows: int  # rows written
    next_id: int
    tail: str  # BLAKE3 of the last rows written and their ids (Tail)
    ids: IdArray  # the ids written (own ids only)


def source_record(rows: int | None, dims: int, dtype: np.dtype[Any], own_ids: bool,
                  segment_rows: int) -> dict[str, Any]:
    """What a checkpoint records of the source (rows None: an iterable)."""
    return {"rows": rows, "dims": dims, "dtype": dtype.str, "ids": "own" if own_ids else "default",
            "segment_rows": segment_rows}


def describe(source: dict[str, Any]) -> str:
    rows = "batches" if source["rows"] is None else f"{source['rows']} rows"
    return (f"{rows} of {source['dims']} dims, {source['dtype']}, {source['ids']} ids, "
            f"segments of {source['segment_rows']} rows")


def read_unfinished(directory: Path, metric: str, source: dict[str, Any]) -> Unfinished | None:
    """The unfinished build in the directory, checked against the manifest
    and this source; None when the directory holds no manifest.

    Raises:
        ValueError: a manifest without a build record (a finished build, or
            an index saved by Index.save), a record that is damaged or does
            not match the manifest, or one made from another source (named)."""
    prev_raw, _ = read_current(directory)
    if prev_raw is None:
        return None
    saved = Saved(directory, prev_raw)  # every field checked; raises when damaged
    record = json.loads(prev_raw).get(BUILD_KEY)
    if record is None:
        raise saved.bad(f"holds no unfinished build to resume (its {MANIFEST} records none: the "
                        f"build that wrote it finished, or Index.save wrote it); build without "
                        f"resume to replace it")
    if not isinstance(record, dict):
        raise saved.bad(f"{MANIFEST}: {BUILD_KEY} is not an object")
    done, tail, found = _checked_record(saved, record)
    if found != source or saved.metric != metric:
        raise saved.bad(f"the unfinished build in it is of another source ({describe(found)}, "
                        f"{saved.metric}; this one: {describe(source)}, {metric}); build without "
                        f"resume to replace it")
    segments = _segments(saved, source["segment_rows"])
    # Only own ids of an array are looked up (the batches of an iterable
    # are read again from the start, their ids with them).
    own = source["ids"] == "own" and source["rows"] is not None
    ids = saved.read_ids()[0] if own else np.zeros(0, np.int64)
    return Unfinished(segments, done, saved.next_id, tail, ids)


def _checked_record(saved: Saved, record: dict[str, Any]) -> tuple[int, str, dict[str, Any]]:
    """(rows written, tail hash, the source recorded), every field typed."""
    src, done, tail = record.get("source"), record.get("rows"), record.get("tail")
    if not isinstance(src, dict) or sorted(src) != sorted(_SOURCE_KEYS):
        raise saved.bad(f"{MANIFEST}: {BUILD_KEY}.source is not a source's description")
    rows, dims, dtype, ids, seg = (src[k] for k in _SOURCE_KEYS)
    fields = [rows is None or _within(rows, 0, 2**63 - 1), _within(dims, 1, MAX_DIMS),
              isinstance(dtype, str) and _DTYPE.fullmatch(dtype) is not None,
              ids in ("own", "default"), _within(seg, 1, MAX_FILE_ROWS)]
    if not all(fields):
        raise saved.bad(f"{MANIFEST}: {BUILD_KEY}.source has a field out of range")
    if not (_within(done, saved.stored, saved.stored) and is_hex64(tail) and dims == saved.dims
            and (rows is None or done <= rows)):
        raise saved.bad(f"{MANIFEST}: {BUILD_KEY} does not describe the rows the manifest lists")
    return saved.stored, str(tail), src


def _within(v: object, low: int, high: int) -> bool:
    return is_int(v) and low <= v <= high


def _segments(saved: Saved, segment_rows: int) -> list[SavedSegment]:
    """The manifest's segments, each of segment_rows rows, none with
    removals (as a build writes them)."""
    out = []
    for (name, n, digest, codes), (ids, removed) in zip(saved.entries, saved.segment_files):
        if n != segment_rows or removed is not None or codes is None:
            raise saved.bad(f"{MANIFEST}: segment {name} is not one a build writes (of "
                            f"{segment_rows} rows, with codes, no removals)")
        out.append(SavedSegment(n, (name, digest), codes, ids, None, np.zeros(0, np.int64)))
    return out


class StreamWriter:
    """The segments of a build, written as rows arrive, committed at
    checkpoints and at the end. Used under the directory's lock."""

    def __init__(self, directory: Path, dims: int, metric: str, source: dict[str, Any],
                 checkpoint_every: int, resumed: Unfinished | None) -> None:
        self.directory, self.dims, self.metric = directory, dims, metric
        self.metric_id = METRIC_IDS[metric]
        self.source, self.checkpoint_every = source, checkpoint_every
        self.segment_rows: int = source["segment_rows"]
        self.segments = resumed.segments if resumed is not None else []
        self.stored = resumed.rows if resumed is not None else 0
        self.next_id = resumed.next_id if resumed is not None else 0
        self.prev_raw, self.prev = read_current(directory)
        self.commit: Commit | None = None
        self.out: SegmentOut | None = None
        self.since = 0  # segments written since the last commit
        self.tail = Tail(dims)

    def add(self, rows: FloatArray, norms: npt.NDArray[np.float64], ids: IdArray,
            next_id: int) -> None:
        """Rows as stored (C-contiguous float32, scaled for cosine), their
        squared norms and ids; next_id: the next default id after them."""
        at, n = 0, int(rows.shape[0])
        while at < n:
            out = self.segment()
            take = min(n - at, self.segment_rows - out.rows)
            out.add(rows[at: at + take], norms[at: at + take], ids[at: at + take])
            self.tail.add(rows[at: at + take], ids[at: at + take])
            self.stored += take
            at += take
            if out.rows == self.segment_rows:
                self.close_segment()
                # No checkpoint for the last rows of an array: the final
                # commit follows.
                if self.since >= self.checkpoint_every and self.stored != self.source["rows"]:
                    # The ids of rows not yet written are not in next_id:
                    # the checkpoint's is that of the rows it holds.
                    self.next_id = max(self.next_id, int(ids[:at].max()) + 1)
                    self.publish(final=False)
        self.next_id = max(self.next_id, next_id)

    def segment(self) -> SegmentOut:
        if self.out is None:
            if self.commit is None:
                self.commit = Commit(self.directory)
            rows = self.source["rows"]
            want = self.segment_rows if rows is None else min(self.segment_rows,
                                                              rows - self.stored)
            self.out = SegmentOut(self.commit, len(self.segments), self.dims, self.metric_id,
                                  want)
        return self.out

    def close_segment(self) -> None:
        assert self.out is not None
        with self.out:
            seg = self.out.finish()
        self.segments.append(seg._replace(removed_at=np.zeros(0, np.int64)))
        self.out = None
        self.since += 1

    def publish(self, final: bool) -> None:
        """Commits the segments written (a checkpoint, or the finished
        index)."""
        if self.commit is None:
            self.commit = Commit(self.directory)
        build = None if final else {"source": self.source, "rows": self.stored,
                                    "tail": self.tail.digest()}
        publish_state(self.commit, self.prev_raw, self.prev, self.dims, self.metric,
                      self.stored, self.next_id, self.segments, build)
        self.commit, self.since = None, 0
        self.prev_raw, self.prev = read_current(self.directory)

    def finish(self) -> None:
        """The last segment closed and the finished index committed."""
        if self.out is not None and self.out.rows:
            self.close_segment()
        self.publish(final=True)

    def abandon(self, kind: object, value: object, trace: object) -> None:
        """After a failure: the files written since the last commit removed."""
        if self.out is not None:
            self.out.file.close()
        if self.commit is not None:
            self.commit.__exit__(kind, value, trace)
