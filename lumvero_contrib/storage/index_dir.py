"""Writing an ``Index`` directory (its layout: storage.index_layout): every
save goes through the one commit of saved directories (storage.commit),
under the directory's lock. A save into the directory an Index last saw
writes only what changed since: segments for the rows added, new removal
files for the segments whose removals changed, and the manifests."""

from __future__ import annotations

import bisect
import functools
import os
import struct
from pathlib import Path
from typing import Any, Callable

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib.storage.attrs_file import attrs_bytes
from lumvero_contrib.storage.block_sums import SUM_BLOCK_BYTES
from lumvero_contrib.storage.commit import Commit, check_kind, locked, manifest_bytes
from lumvero_contrib.storage.index_layout import (COPY_BYTES, FORMAT, FORMAT_VERSION,
                                                  FORMAT_VERSION_ATTRS, MAX_FILE_ROWS,
                                                  METRIC_IDS, VERSION_FILE, FloatArray, IdArray,
                                                  Runs, SavedSegment, SaveLink, check_path,
                                                  npy_bytes, npy_header, own, placed,
                                                  version_file)
from lumvero_contrib.storage.index_manifest import IndexManifest, read_manifest, version_files


def check_ours(directory: Path) -> None:
    """Refuses a directory holding files an Index does not write, a saved
    DistributedIndex, or a manifest that is not an Index's; an empty or new
    directory is fine. Reads only."""
    check_kind(directory, "index directory", FORMAT, own)



def write_directory(path: str | os.PathLike[str], dims: int, metric: str, runs: Runs,
                    ids: IdArray, live: npt.NDArray[np.bool_], next_id: int,
                    check_runs: Callable[[], None], link: SaveLink | None = None,
                    attrs: Callable[[int, int], Any] | None = None,
                    pinned: frozenset[str] = frozenset()) -> SaveLink:
    """Writes a state through the one commit of every saved directory
    (storage.commit): a directory of another kind refused before anything is
    written, then under the directory's lock new files, manifest-<N>.json
    and the manifest naming them in one rename, and the files that neither
    the new nor the previous version names removed. runs: each run's rows,
    their squared norms, how many of them are stored, and whether they are
    mapped from a file; check_runs raises when a mapped run was damaged
    while it was read. Each row file gets its codes file whatever
    LUMVO_FILTER says in this process: the directory serves every process
    that loads it. A failure before the rename removes the files this save
    wrote and leaves the previous state as it was.

    With ``link`` naming this directory and the manifest it holds now
    (checked under the lock), only what changed since is written: segments
    for the stored rows past the link's segments, removal files of the
    segments whose removals changed, and the manifests. Returns the link to
    the state written. pinned: BLAKE3 hashes of manifests of kept versions
    whose files stay whatever their age (the states of this directory that
    a DistributedIndex's kept versions name)."""
    directory = check_path(path)
    with locked(directory, "index directory", check_ours), Commit(directory) as commit:
        prev_raw, prev = read_current(directory)
        same = (link is not None and prev_raw is not None
                and link.directory == os.path.realpath(directory)
                and link.manifest_hash == _native.blake3_hex(prev_raw))
        base = link.segments if same and link is not None else []
        writer = _SegmentWriter(commit, dims, metric, runs, ids, live, attrs)
        segments = writer.write(base)
        check_runs()  # what was written came from intact rows
        return publish_state(commit, prev_raw, prev, dims, metric, int(ids.shape[0]), next_id,
                             segments, pinned=pinned)


def publish_state(commit: Commit, prev_raw: bytes | None, prev: IndexManifest | None, dims: int,
                  metric: str, rows: int, next_id: int, segments: list[SavedSegment],
                  build: dict[str, Any] | None = None,
                  pinned: frozenset[str] = frozenset()) -> SaveLink:
    """Commits the segments written (the new files all on disk) as the
    directory's next version: manifest-<N>.json, then the manifest in one
    rename, then the files neither this nor the previous version names
    removed. prev_raw and prev: the manifest found under the lock
    (read_current). build: what a streaming build records of its source at
    a checkpoint (storage.stream_build), None for a finished state. pinned:
    as write_directory's."""
    directory = commit.directory
    version = _next_version(directory, prev)
    # Version 3 only where a segment has attributes: a directory without
    # them stays version 2, which older releases read.
    with_attrs = any(s.attrs is not None for s in segments)
    manifest: dict[str, Any] = {
        "format": FORMAT, "version": FORMAT_VERSION_ATTRS if with_attrs else FORMAT_VERSION,
        "index_version": version, "dims": dims, "metric": metric, "rows": rows,
        "next_id": next_id, "segments": [_segment_json(s, with_attrs) for s in segments]}
    if build is not None:
        manifest["build"] = build
    raw = manifest_bytes(manifest)
    keep = {version_file(version)} | {f for s in segments for f in _segment_files(s)}
    if prev is not None and prev_raw is not None:
        # Two versions are kept: a reader that read the previous manifest
        # just before this commit still finds its files, and the
        # previous state can be loaded again (one step of undo).
        keep |= prev.names | {version_file(prev.index_version)}
        if prev.index_version == 0:  # a version-1 directory: its manifest kept as version 0
            (directory / version_file(0)).unlink(missing_ok=True)
            commit.write(version_file(0), prev_raw)
    keep |= _pinned_files(directory, pinned)
    commit.write(version_file(version), raw)
    commit.publish(manifest, keep, own)
    return SaveLink(os.path.realpath(directory), _native.blake3_hex(raw), placed(segments))


def read_current(directory: Path) -> tuple[bytes | None, IndexManifest | None]:
    """The manifest's bytes now (None when there is none) and its reading
    (None when it is not one a load accepts: nothing of it is kept)."""
    try:
        raw = read_manifest(directory)
    except (OSError, ValueError):
        return None, None
    try:
        return raw, IndexManifest(directory, raw)
    except ValueError:
        return raw, None


def _pinned_files(directory: Path, pinned: frozenset[str]) -> set[str]:
    """The files of the kept versions whose manifests' BLAKE3 is pinned,
    their manifests included."""
    out: set[str] = set()
    for _, name in version_files(directory) if pinned else []:
        try:
            raw = read_manifest(directory, name)
            if _native.blake3_hex(raw) in pinned:
                out |= IndexManifest(directory, raw, name).names | {name}
        except (OSError, ValueError):
            continue  # not a version a load accepts: nothing of it is kept
    return out


def _next_version(directory: Path, prev: IndexManifest | None) -> int:
    """One above the previous version and above every manifest-<N>.json
    left in the directory."""
    found = [int(m.group(1)) for e in os.listdir(directory) if (m := VERSION_FILE.fullmatch(e))]
    return max(found + [prev.index_version if prev is not None else 0]) + 1


def _segment_json(s: SavedSegment, with_attrs: bool) -> dict[str, Any]:
    def entry(e: tuple[str, str] | None) -> dict[str, str] | None:
        return None if e is None else {"file": e[0], "blake3": e[1]}
    out = {"rows": s.rows, "row_file": entry(s.row_file), "codes_file": entry(s.codes_file),
           "ids": entry(s.ids), "removed": entry(s.removed)}
    if with_attrs:
        out["attrs"] = entry(s.attrs)
    return out


def _segment_files(s: SavedSegment) -> list[str]:
    return [e[0] for e in (s.row_file, s.codes_file, s.ids, s.removed, s.attrs)
            if e is not None]


class _SegmentWriter:
    """The segments of one save, in position order: those of the link kept
    (with the files they lack or whose contents changed written new), new
    ones for the rows no kept segment holds, split at runs, at kept segments
    and at MAX_FILE_ROWS. Segment i's new files are named
    <kind>-<token>-<i>."""

    def __init__(self, commit: Commit, dims: int, metric: str, runs: Runs, ids: IdArray,
                 live: npt.NDArray[np.bool_], attrs: Callable[[int, int], Any] | None) -> None:
        self.commit, self.dims, self.metric_id = commit, dims, METRIC_IDS[metric]
        self.runs, self.ids, self.live, self.attrs = runs, ids, live, attrs
        self.firsts = np.cumsum([0] + [count for _, _, count, _ in runs])

    def write(self, base: list[tuple[int, SavedSegment]]) -> list[SavedSegment]:
        """Each run's rows in order: a base segment where one starts (and
        ends inside the run), new segments for the rows between them."""
        at = dict(base)
        starts = [s for s, _ in base]
        out: list[SavedSegment] = []
        for r, (_, _, count, _) in enumerate(self.runs):
            s, end = int(self.firsts[r]), int(self.firsts[r]) + count
            while s < end:
                seg = at.get(s)
                if seg is not None and s + seg.rows <= end:
                    out.append(self.kept(seg, s, len(out)))
                    s += seg.rows
                    continue
                later = bisect.bisect_right(starts, s)
                stop = min(end, s + MAX_FILE_ROWS,
                           starts[later] if later < len(starts) else end)
                out.append(self.new(r, s, stop, len(out)))
                s = stop
        return out

    def part(self, start: int, end: int) -> tuple[FloatArray, npt.NDArray[np.float64], bool]:
        """The rows at positions [start, end), inside one run."""
        r = int(np.searchsorted(self.firsts, start, side="right")) - 1
        rows, norms, _, mapped = self.runs[r]
        a = start - int(self.firsts[r])
        return rows[a: a + end - start], norms[a: a + end - start], mapped

    def new(self, r: int, start: int, end: int, i: int) -> SavedSegment:
        """A new segment of the rows at positions [start, end). Mapped rows
        reach the files through copies made under the engine's fault guard:
        a row file shortened meanwhile reads as zeros and marks its mapping
        damaged (the caller checks) instead of a SIGBUS."""
        rows, norms, mapped = self.part(start, end)
        n = end - start
        step = piece_rows(self.dims)
        buf = np.empty((min(step, n), self.dims), np.float32) if mapped else None
        with SegmentOut(self.commit, i, self.dims, self.metric_id, n) as out:
            for a in range(0, n, step):
                b = min(n, a + step)
                piece = rows[a:b]
                if buf is not None:
                    piece = buf[: b - a]
                    _native.copy_rows(rows[a:b], None, piece)
                out.add(piece, norms[a:b], self.ids[start + a: start + b])
            seg = out.finish()
        table = None if self.attrs is None else self.attrs(start, end)
        if table is not None and table.num_columns:
            name = f"attrs-{self.commit.token}-{i}.arrow"
            seg = seg._replace(attrs=(name, self.commit.write(
                name, attrs_bytes(table, seg.row_file[1]))))
        return self.kept(seg, start, i)

    def kept(self, seg: SavedSegment, start: int, i: int) -> SavedSegment:
        """The segment with its codes and ids written when it has none
        (a segment of a version-1 directory, a codes file not used), and its
        removals written when they are not those it lists."""
        token, end = self.commit.token, start + seg.rows
        codes, ids, removed = seg.codes_file, seg.ids, seg.removed
        if codes is None:
            rows, norms, _ = self.part(start, end)
            name = f"codes-{token}-{i}.codes"
            codes = (name, self.commit.write(name, *_native.codes_file(
                rows, norms, bytes.fromhex(seg.row_file[1]))))
        if ids is None:
            name = f"ids-{token}-{i}.npy"
            ids = (name, self.commit.write(name, npy_bytes(self.ids[start:end])))
        at = np.flatnonzero(~self.live[start:end]).astype(np.int64)
        if seg.removed_at is None or not np.array_equal(at, seg.removed_at):
            removed = None
            if at.size:
                name = f"removed-{token}-{i}.npy"
                removed = (name, self.commit.write(name, npy_bytes(at)))
        return SavedSegment(seg.rows, seg.row_file, codes, ids, removed, at, seg.attrs)




def piece_rows(dims: int) -> int:
    """Rows a segment is fed at a time from memory it does not own (about
    COPY_BYTES of them): whole stripes of codes."""
    stripe = stripe_rows()
    return max(1, COPY_BYTES // (4 * dims) // stripe) * stripe


@functools.cache
def stripe_rows() -> int:
    """Rows per stripe of a codes file's bounds (the engine's, read from
    the header it writes)."""
    head = _native.codes_file_head(1, 1, bytes(32))[0]
    return int(struct.unpack_from("<I", head, 32)[0])


class SegmentOut:
    """One new segment's files, written as its rows arrive (add), then
    finished: the row file, hashed as it is written (its header names the
    rows: when they are not known at the start, the header is written again
    at the end and the file hashed by reading it back); its codes,
    quantised stripe by stripe as the rows come (a stripe's bounds need all
    its rows: a partial stripe waits for the next rows) and held until the
    row file's BLAKE3, which their header names, is known; and its ids. The
    files are byte for byte those of the whole rows at once. Segment i's
    files are named <kind>-<token>-<i>."""

    def __init__(self, commit: Commit, i: int, dims: int, metric_id: int,
                 rows: int | None) -> None:
        self.commit, self.i, self.dims, self.metric_id = commit, i, dims, metric_id
        self.expected = rows
        self.name = f"rows-{commit.token}-{i}.index"
        self.path = commit.directory / self.name
        commit.written.append(self.path)
        self.file = open(self.path, "xb")
        self.rows = 0
        self.hash = _native.blake3_stream()
        self.write(struct.pack("<III", dims, rows or 0, metric_id))
        self.carry: tuple[FloatArray, npt.NDArray[np.float64]] | None = None
        self.sections: list[list[Any]] = []  # per part: norms, bounds, scales, codes
        self.ids: list[IdArray] = []
        # The sums of the row data's sum blocks so far, and the bytes of the
        # block not yet whole.
        self.sums: list[bytes] = []
        self.partial = b""

    def __enter__(self) -> SegmentOut:
        return self

    def __exit__(self, *exc: object) -> None:
        self.file.close()  # the files are the commit's to remove on failure

    def write(self, data: bytes | FloatArray) -> None:
        self.file.write(data if isinstance(data, bytes) else data.data.cast("B"))
        _native.blake3_update(self.hash, data)

    def add(self, rows: FloatArray, norms: npt.NDArray[np.float64], ids: IdArray) -> None:
        """Rows (C-contiguous float32, as stored), their squared norms and
        ids, after those added before."""
        n = int(rows.shape[0])
        if n == 0:
            return
        self.write(rows)
        self.sum_blocks(rows.data.cast("B"))
        self.rows += n
        self.ids.append(np.array(ids, np.int64))
        stripe = stripe_rows()
        if self.carry is not None:  # the partial stripe first, made whole
            take = min(n, stripe - int(self.carry[0].shape[0]))
            rows_c = np.concatenate([self.carry[0], rows[:take]])
            norms_c = np.concatenate([self.carry[1], norms[:take]])
            self.carry = None
            self.quantise(rows_c, norms_c, stripe)
            rows, norms = rows[take:], norms[take:]
        self.quantise(rows, norms, stripe)

    def sum_blocks(self, data: memoryview) -> None:
        """The sums of the sum blocks the row data completes; the rest of
        a block waits for the next rows (or the end)."""
        if self.partial:
            take = min(len(data), SUM_BLOCK_BYTES - len(self.partial))
            self.partial += bytes(data[:take])
            data = data[take:]
            if len(self.partial) < SUM_BLOCK_BYTES:
                return
            self.sums.append(_native.block_sums(self.partial))
            self.partial = b""
        whole = len(data) // SUM_BLOCK_BYTES * SUM_BLOCK_BYTES
        if whole:
            self.sums.append(_native.block_sums(data[:whole]))
        self.partial = bytes(data[whole:])

    def quantise(self, rows: FloatArray, norms: npt.NDArray[np.float64], stripe: int) -> None:
        """Codes for the whole stripes of the rows; the rest kept (copied:
        the caller's buffer is reused) for the next rows or the end."""
        whole = int(rows.shape[0]) // stripe * stripe
        if whole:
            self.codes(rows[:whole], norms[:whole])
        if whole < rows.shape[0]:
            self.carry = (rows[whole:].copy(), norms[whole:].copy())

    def codes(self, rows: FloatArray, norms: npt.NDArray[np.float64]) -> None:
        # Version 2's parts: the sums are of the whole row file's blocks.
        _, norms_s, bounds, scales, _, codes = _native.codes_file(rows, norms, bytes(32), 2)
        self.sections.append([norms_s, bounds, scales, codes])

    def finish(self) -> SavedSegment:
        """The segment's files written and flushed: the row file closed,
        then its codes file and ids file. Its removals are for the caller
        (removed_at None)."""
        if self.carry is not None:
            self.codes(*self.carry)
            self.carry = None
        n = self.rows
        if n != self.expected:  # the rows were not known at the start
            self.file.seek(0)
            self.file.write(struct.pack("<III", self.dims, n, self.metric_id))
            self.file.flush()
            self.hash = self.read_back()
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()
        digest = _native.blake3_stream_hex(self.hash)
        head, pad, tail = _native.codes_file_head(n, self.dims, bytes.fromhex(digest))
        parts = [s[k] for k in range(3) for s in self.sections]
        if self.partial:
            self.sums.append(_native.block_sums(self.partial))
        codes_name = f"codes-{self.commit.token}-{self.i}.codes"
        codes = (codes_name, self.commit.write(codes_name, head, *parts, pad,
                                               *(s[3] for s in self.sections), tail, *self.sums))
        self.sums, self.partial = [], b""
        self.sections = []
        ids_name = f"ids-{self.commit.token}-{self.i}.npy"
        all_ids = np.ascontiguousarray(np.concatenate(self.ids), "<i8")
        self.ids = []
        ids = (ids_name, self.commit.write(ids_name, npy_header(all_ids), all_ids))
        return SavedSegment(n, (self.name, digest), codes, ids, None, None)

    def read_back(self) -> object:
        """The row file's hash from its bytes on disk, read a piece at a
        time."""
        stream = _native.blake3_stream()
        buf = bytearray(COPY_BYTES)
        with open(self.path, "rb", buffering=0) as f:
            while got := f.readinto(buf):
                _native.blake3_update(stream, memoryview(buf)[:got])
        return stream
