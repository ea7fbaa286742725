"""Writing an ``Index`` directory (its layout: storage.index_layout): every
save goes through the one commit of saved directories (storage.commit),
under the directory's lock. A save into the directory an Index last saw
writes only what changed since: segments for the rows added, new removal
files for the segments whose removals changed, and the manifests."""

from __future__ import annotations

import os
import struct
from pathlib import Path
from typing import Any, Callable

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib.storage.attrs_file import attrs_bytes
from lumvero_contrib.storage.commit import Commit, check_kind, locked, manifest_bytes, write_file
from lumvero_contrib.storage.index_layout import (COPY_BYTES, FORMAT, FORMAT_VERSION,
                                                  FORMAT_VERSION_ATTRS, MAX_FILE_ROWS,
                                                  METRIC_IDS, VERSION_FILE, FloatArray, IdArray,
                                                  Runs, SavedSegment, SaveLink, check_path,
                                                  npy_bytes, own, version_file)
from lumvero_contrib.storage.index_manifest import IndexManifest, read_manifest


def write_rows(path: Path, written: list[Path], header: bytes, part: FloatArray,
               mapped: bool) -> str:
    """A row file. Mapped rows reach the file through copies made under the
    engine's fault guard: a row file shortened meanwhile reads as zeros and
    marks its mapping damaged (the caller checks) instead of a SIGBUS."""
    if not mapped:
        return write_file(path, written, header, part.data.cast("B"))
    written.append(path)
    n, dims = part.shape
    step = max(1, COPY_BYTES // (4 * dims))
    buf = np.empty((min(step, n), dims), np.float32)
    with open(path, "xb") as f:
        f.write(header)
        for a in range(0, n, step):
            piece = buf[: min(n, a + step) - a]
            _native.copy_rows(part[a: a + piece.shape[0]], None, piece)
            f.write(piece.data.cast("B"))
        f.flush()
        os.fsync(f.fileno())
    return _native.blake3_hex(header, part)



def check_ours(directory: Path) -> None:
    """Refuses a directory holding files an Index does not write, a saved
    DistributedIndex, or a manifest that is not an Index's; an empty or new
    directory is fine. Reads only."""
    check_kind(directory, "index directory", FORMAT, own)



def write_directory(path: str | os.PathLike[str], dims: int, metric: str, runs: Runs,
                    ids: IdArray, live: npt.NDArray[np.bool_], next_id: int,
                    check_runs: Callable[[], None], link: SaveLink | None = None,
                    attrs: Callable[[int, int], Any] | None = None) -> SaveLink:
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
    the state written."""
    directory = check_path(path)
    with locked(directory, "index directory", check_ours), Commit(directory) as commit:
        prev_raw, prev = _current(directory)
        same = (link is not None and prev_raw is not None
                and link.directory == os.path.realpath(directory)
                and link.manifest_hash == _native.blake3_hex(prev_raw))
        base = link.segments if same and link is not None else []
        writer = _SegmentWriter(commit, dims, metric, runs, ids, live, attrs)
        segments = writer.write(base)
        check_runs()  # what was written came from intact rows
        version = _next_version(directory, prev)
        with_attrs = any(s.attrs is not None for s in segments)
        manifest = {"format": FORMAT, "version": FORMAT_VERSION_ATTRS if with_attrs
                    else FORMAT_VERSION, "index_version": version,
                    "dims": dims, "metric": metric, "rows": int(ids.shape[0]),
                    "next_id": next_id,
                    "segments": [_segment_json(s, with_attrs) for s in segments]}
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
        commit.write(version_file(version), raw)
        commit.publish(manifest, keep, own)
        return SaveLink(os.path.realpath(directory), _native.blake3_hex(raw), segments)



def _current(directory: Path) -> tuple[bytes | None, IndexManifest | None]:
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
    """The segments of one save: those of the link kept (with the files
    they lack or whose contents changed written new), then new ones for the
    rows past them, split at runs and at MAX_FILE_ROWS. Segment i's new
    files are named <kind>-<token>-<i>."""

    def __init__(self, commit: Commit, dims: int, metric: str, runs: Runs, ids: IdArray,
                 live: npt.NDArray[np.bool_], attrs: Callable[[int, int], Any] | None) -> None:
        self.commit, self.dims, self.metric_id = commit, dims, METRIC_IDS[metric]
        self.runs, self.ids, self.live, self.attrs = runs, ids, live, attrs
        self.firsts = np.cumsum([0] + [count for _, _, count, _ in runs])

    def write(self, base: list[SavedSegment]) -> list[SavedSegment]:
        out: list[SavedSegment] = []
        at = 0
        for seg in base:
            out.append(self.kept(seg, at, len(out)))
            at += seg.rows
        for r, (_, _, count, _) in enumerate(self.runs):
            first = int(self.firsts[r])
            for s in range(max(at, first), first + count, MAX_FILE_ROWS):
                out.append(self.new(r, s, min(first + count, s + MAX_FILE_ROWS), len(out)))
        return out

    def part(self, start: int, end: int) -> tuple[FloatArray, npt.NDArray[np.float64], bool]:
        """The rows at positions [start, end), inside one run."""
        r = int(np.searchsorted(self.firsts, start, side="right")) - 1
        rows, norms, _, mapped = self.runs[r]
        a = start - int(self.firsts[r])
        return rows[a: a + end - start], norms[a: a + end - start], mapped

    def new(self, r: int, start: int, end: int, i: int) -> SavedSegment:
        rows, norms, mapped = self.part(start, end)
        token = self.commit.token
        name = f"rows-{token}-{i}.index"
        header = struct.pack("<III", self.dims, end - start, self.metric_id)
        digest = write_rows(self.commit.directory / name, self.commit.written, header, rows,
                            mapped)
        table = None if self.attrs is None else self.attrs(start, end)
        attrs = None
        if table is not None and table.num_columns:
            attrs_name = f"attrs-{token}-{i}.arrow"
            attrs = (attrs_name, self.commit.write(attrs_name, attrs_bytes(table, digest)))
        return self.kept(SavedSegment(end - start, (name, digest), None, None, None, None, attrs),
                         start, i)

    def kept(self, seg: SavedSegment, start: int, i: int) -> SavedSegment:
        """The segment with its codes and ids written when it has none,
        and its removals written when they are not those it lists."""
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


