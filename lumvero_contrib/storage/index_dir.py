"""The directory ``Index.save`` writes and ``Index.load`` reads: segments,
each written once and never changed (a row file in lumvero's index format,
beside it its codes file, the int8 codes the pre-filter scans with the rows'
squared norms, and its ids), a removal file per segment with removed rows
(replaced by a new file when they change), and a manifest with BLAKE3
hashes, kept per version (manifest-<N>.json; manifest.json is a copy of the
current one), plus the lock file that lets one save at a time into the
directory. A save into the directory an Index last saw writes only what
changed since. Directories of manifest format version 1 (one ids and one
removals file for all row files) load as version 0. Directories saved before
codes files existed list none; their copies are built by the first search,
as for rows added in memory. A codes file's header names the BLAKE3 of the
row file it was made from; codes files of the version before that are built
again, as damaged ones are.

Everything read here may have been edited since it was written: regular files
only, sizes bounded by the manifest before anything is read, strict JSON
types, and every failure a ValueError naming the directory and the file."""

from __future__ import annotations

import io
import json
import os
import re
import struct
import warnings
from pathlib import Path
from typing import Any, Callable, Final, NamedTuple

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib.storage.block_sums import codes_hash
from lumvero_contrib.storage.commit import LOCK as LOCK
from lumvero_contrib.storage.commit import MANIFEST as MANIFEST
from lumvero_contrib.storage.commit import Commit, check_kind, locked, manifest_bytes
from lumvero_contrib.storage.commit import write_file as write_file
from lumvero_contrib.storage.files import confined, is_hex64, is_int, open_regular, read_small

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]

METRIC_IDS: Final = {"cosine": 0, "dot": 1, "euclidean": 2}
# Rows per row file: the index format's row count is 32-bit and the module
# opens files of at most this many rows.
MAX_FILE_ROWS: Final = 50_000_000
MAX_DIMS: Final = 10000
# MANIFEST and LOCK (save.lock) are those of every saved directory
# (storage.commit): the lock is held (flock, exclusive) by a save from before
# it looks at the directory until its cleanup is done; loaders do not take it.
FORMAT: Final = "lumvero_contrib.Index"
# Version 1: one ids file and one removals file for all row files; version
# 2: segments, each with its own ids and removals, and kept versions.
FORMAT_VERSION: Final = 2
READ_VERSIONS: Final = (1, 2)
# The number of a directory's versions is at most this (18 digits).
MAX_INDEX_VERSION: Final = 10**18 - 1
# Row files are few (runs grow geometrically): a few KiB of manifest; this
# bound only stops a damaged or hostile one from being read whole.
MAX_MANIFEST_BYTES: Final = 16 << 20
# The largest .npy header NumPy writes for a 1-D int64 array is 128 bytes.
MAX_NPY_HEADER: Final = 4096
# A load that finds a listed file gone reads the manifest again and starts
# over this many times at most (each time a save has replaced the state).
LOAD_ATTEMPTS: Final = 50
# Mapped rows are copied to the file in pieces of this size under the fault
# guard (a write() straight from a mapping whose file shrank fails EFAULT).
COPY_BYTES: Final = 16 << 20
_HEX: Final = "[0-9a-f]{32}"
ROW_FILE: Final = re.compile(rf"rows-{_HEX}-\d{{1,9}}\.index")
CODES_FILE: Final = re.compile(rf"codes-{_HEX}-\d{{1,9}}\.codes")
IDS_FILE: Final = re.compile(rf"ids-{_HEX}\.npy")  # version 1
REMOVED_FILE: Final = re.compile(rf"removed-{_HEX}\.npy")  # version 1
SEGMENT_IDS_FILE: Final = re.compile(rf"ids-{_HEX}-\d{{1,9}}\.npy")
SEGMENT_REMOVED_FILE: Final = re.compile(rf"removed-{_HEX}-\d{{1,9}}\.npy")
# A kept version's manifest (manifest.json is a copy of the current one's).
VERSION_FILE: Final = re.compile(r"manifest-(0|[1-9]\d{0,17})\.json")
# Files a save writes besides the manifest and the lock; the cleanup removes
# those that neither the new version nor the previous one names.
OWN_FILE: Final = re.compile(rf"rows-{_HEX}-\d+\.index|codes-{_HEX}-\d+\.codes|"
                             rf"(ids|removed)-{_HEX}(-\d+)?\.npy|manifest-\d+\.json|"
                             rf"{re.escape(MANIFEST)}\.tmp-{_HEX}")


def check_path(path: str | os.PathLike[str]) -> Path:
    name = os.fspath(path)
    if not isinstance(name, str):
        raise TypeError(f"path must be a str or os.PathLike[str]; got {type(path).__name__}")
    if name == "":
        raise ValueError("the index directory path is empty; pass a directory such as "
                         "'my_index' (or '.' for the current directory)")
    return Path(name)


# ---------------------------------------------------------------------------
# Writing


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


def npy_bytes(values: IdArray) -> bytes:
    out = io.BytesIO()
    np.lib.format.write_array(out, np.ascontiguousarray(values, dtype="<i8"),
                              allow_pickle=False)
    return out.getvalue()


def check_ours(directory: Path) -> None:
    """Refuses a directory holding files an Index does not write, a saved
    DistributedIndex, or a manifest that is not an Index's; an empty or new
    directory is fine. Reads only."""
    check_kind(directory, "index directory", FORMAT, _own)


def _own(name: str) -> bool:
    return OWN_FILE.fullmatch(name) is not None


class SavedSegment(NamedTuple):
    """A segment as a manifest lists it: its rows and the (file, BLAKE3) of
    its row file, codes file, ids and removals, and the removed positions
    within it. A segment read from a version-1 directory has no ids or
    removal file of its own (None, removed_at None): the next save into it
    writes them; codes_file is None when the codes file was not used (the
    next save writes it again)."""
    rows: int
    row_file: tuple[str, str]
    codes_file: tuple[str, str] | None
    ids: tuple[str, str] | None
    removed: tuple[str, str] | None
    removed_at: IdArray | None


class SaveLink(NamedTuple):
    """What an Index last saved to or loaded from: the directory (real
    path), the BLAKE3 of the manifest it saw there and that manifest's
    segments, which hold the index's stored rows [0, sum of their rows)."""
    directory: str
    manifest_hash: str
    segments: list[SavedSegment]


Runs = list[tuple[FloatArray, npt.NDArray[np.float64], int, bool]]


def write_directory(path: str | os.PathLike[str], dims: int, metric: str, runs: Runs,
                    ids: IdArray, live: npt.NDArray[np.bool_], next_id: int,
                    check_runs: Callable[[], None], link: SaveLink | None = None) -> SaveLink:
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
        writer = _SegmentWriter(commit, dims, metric, runs, ids, live)
        segments = writer.write(base)
        check_runs()  # what was written came from intact rows
        version = _next_version(directory, prev)
        manifest = {"format": FORMAT, "version": FORMAT_VERSION, "index_version": version,
                    "dims": dims, "metric": metric, "rows": int(ids.shape[0]),
                    "next_id": next_id, "segments": [_segment_json(s) for s in segments]}
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
        commit.publish(manifest, keep, _own)
        return SaveLink(os.path.realpath(directory), _native.blake3_hex(raw), segments)


def version_file(version: int) -> str:
    return f"manifest-{version}.json"


def _current(directory: Path) -> tuple[bytes | None, Saved | None]:
    """The manifest's bytes now (None when there is none) and its reading
    (None when it is not one a load accepts: nothing of it is kept)."""
    try:
        raw = read_manifest(directory)
    except (OSError, ValueError):
        return None, None
    try:
        return raw, Saved(directory, raw)
    except ValueError:
        return raw, None


def _next_version(directory: Path, prev: Saved | None) -> int:
    """One above the previous version and above every manifest-<N>.json
    left in the directory."""
    found = [int(m.group(1)) for e in os.listdir(directory) if (m := VERSION_FILE.fullmatch(e))]
    return max(found + [prev.index_version if prev is not None else 0]) + 1


def _segment_json(s: SavedSegment) -> dict[str, Any]:
    def entry(e: tuple[str, str] | None) -> dict[str, str] | None:
        return None if e is None else {"file": e[0], "blake3": e[1]}
    return {"rows": s.rows, "row_file": entry(s.row_file), "codes_file": entry(s.codes_file),
            "ids": entry(s.ids), "removed": entry(s.removed)}


def _segment_files(s: SavedSegment) -> list[str]:
    return [e[0] for e in (s.row_file, s.codes_file, s.ids, s.removed) if e is not None]


class _SegmentWriter:
    """The segments of one save: those of the link kept (with the files
    they lack or whose contents changed written new), then new ones for the
    rows past them, split at runs and at MAX_FILE_ROWS. Segment i's new
    files are named <kind>-<token>-<i>."""

    def __init__(self, commit: Commit, dims: int, metric: str, runs: Runs, ids: IdArray,
                 live: npt.NDArray[np.bool_]) -> None:
        self.commit, self.dims, self.metric_id = commit, dims, METRIC_IDS[metric]
        self.runs, self.ids, self.live = runs, ids, live
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
        return self.kept(SavedSegment(end - start, (name, digest), None, None, None, None),
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
        return SavedSegment(seg.rows, seg.row_file, codes, ids, removed, at)


# ---------------------------------------------------------------------------
# Reading


class Gone(Exception):
    """A file the manifest names is not there (a save may have replaced the
    state since the manifest was read)."""

    def __init__(self, name: str) -> None:
        super().__init__(name)
        self.name = name


class LoadedRun(NamedTuple):
    rows: FloatArray
    norms_sq: npt.NDArray[np.float64]
    source: str | None  # the row file's path, when its rows are mapped
    codes: object | None  # the run's int8 codes read from its codes file
    codes_source: str | None  # that codes file's path
    # The row file's header and BLAKE3, and the codes file's bytes, when the
    # rows were mapped without being hashed or compared with the codes
    # (Index.verify does both on request).
    unverified: tuple[bytes, str, npt.NDArray[np.uint8]] | None


class Loaded(NamedTuple):
    dims: int
    metric: str
    runs: list[LoadedRun]
    ids: IdArray
    live: npt.NDArray[np.bool_]
    next_id: int
    index_version: int  # the version read (0 for a version-1 directory)
    manifest_hash: str  # BLAKE3 of the manifest read
    segments: list[SavedSegment]  # one per run


def read_directory(path: str | os.PathLike[str], mmap: bool, version: int | None = None
                   ) -> Loaded:
    """Reads a saved state: the current one, or a kept version. A listed
    file that has gone means a save replaced the state since the manifest
    was read: the manifest is read again and the load starts over; the file
    is reported missing only when the manifest still names it."""
    directory = check_path(path)
    name, raw = read_version(directory, version)
    absent: set[str] = set()  # codes files confirmed missing: their rows are read instead
    for _ in range(LOAD_ATTEMPTS):
        try:
            saved = Saved(directory, raw, absent, name)
            if version is not None and saved.index_version != version:
                raise saved.bad(f"{name} holds version {saved.index_version}, not {version}")
            return saved.read(mmap)._replace(manifest_hash=_native.blake3_hex(raw))
        except Gone as gone:
            again = read_version(directory, version)[1]
            if again == raw:
                if not CODES_FILE.fullmatch(gone.name):
                    raise ValueError(f"index directory {directory}: {gone.name} is "
                                     f"missing") from None
                absent.add(gone.name)
                continue
            raw = again
            absent = set()
    raise ValueError(f"index directory {directory}: {MANIFEST} was replaced {LOAD_ATTEMPTS} "
                     f"times while the index was being read; try again when saves pause")


def read_version(directory: Path, version: int | None) -> tuple[str, bytes]:
    """The name and bytes of the manifest of a version: manifest.json for
    None (the current one), else manifest-<version>.json, or manifest.json
    when it is that version and no copy was kept (a version-1 directory)."""
    if version is None:
        return MANIFEST, read_manifest(directory)
    name = version_file(version)
    if not os.path.lexists(directory / name):
        raw = read_manifest(directory)
        if Saved(directory, raw).index_version == version:
            return MANIFEST, raw
        raise ValueError(f"index directory {directory}: version {version} is not kept (kept: "
                         f"{kept_versions(directory)})")
    return name, read_manifest(directory, name)


def kept_versions(directory: Path) -> list[int]:
    """The versions that can be loaded: the current one and, when its
    manifest is still there, the one before."""
    current = Saved(directory, read_manifest(directory)).index_version
    before = current - 1
    return ([before] if before >= 0 and os.path.lexists(directory / version_file(before))
            else []) + [current]


def read_manifest(directory: Path, name: str = MANIFEST) -> bytes:
    """A manifest's bytes: a regular file inside the directory, bounded;
    a kept version's manifest is never a symlink."""
    folder = os.path.realpath(directory)
    confined(folder, name, f"index directory {directory}: {name}", "the directory")
    if name != MANIFEST and os.path.islink(directory / name):
        raise ValueError(f"index directory {directory}: {name} is a symlink; a kept version's "
                         f"manifest is a regular file a save writes")
    with open_regular(directory / name) as f:
        raw = f.read(MAX_MANIFEST_BYTES + 1)
    if len(raw) > MAX_MANIFEST_BYTES:
        raise ValueError(f"index directory {directory}: {name} is larger than "
                         f"{MAX_MANIFEST_BYTES >> 20} MiB; not a manifest an Index wrote")
    return raw


class Saved:
    """One reading of a saved state from its manifest's bytes; every failure
    is a ValueError naming the directory and the file. Every number is an
    int64 (next_id may be 2**63, after the id 2**63 - 1, when no default id
    is left) checked against the files before anything is allocated.

    Version 1 lists row_files, codes_files, ids and removed (positions in
    all rows); version 2 lists segments, each with its row file, codes file,
    ids and removals (positions within the segment, or null), and its
    version number index_version (version 1: 0)."""

    def __init__(self, directory: Path, raw: bytes, absent: set[str] | None = None,
                 name: str = MANIFEST) -> None:
        self.directory, self.mname = directory, name
        self.absent = absent or set()
        self.folder = os.path.realpath(directory)
        self.seen: set[tuple[int, int]] = set()
        try:
            doc = json.loads(raw)
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            raise self.bad(f"{name} is not valid JSON: {e}") from None
        except RecursionError:
            raise self.bad(f"{name} is not valid JSON: nested too deeply") from None
        if not isinstance(doc, dict) or doc.get("format") != FORMAT:
            raise self.bad(f"{name} is not an Index manifest")
        self.format_version = doc.get("version")
        if self.format_version not in READ_VERSIONS or not is_int(self.format_version):
            raise self.bad(f"{name} has version {doc.get('version')!r}; this version of "
                           f"lumvero_contrib reads versions 1 and 2")
        self.numbers(doc)
        self.names: set[str] = set()
        # Per row file: (name, rows, BLAKE3, codes file); per segment: its
        # ids and removals (version 1: one of each for all, in ids_entry
        # and removed_entry).
        self.entries: list[tuple[str, int, str, tuple[str, str] | None]] = []
        self.segment_files: list[tuple[tuple[str, str], tuple[str, str] | None]] = []
        if self.format_version == 1:
            self.index_version = 0
            self.version_1(doc)
        else:
            self.version_2(doc)
        if sum(n for _, n, _, _ in self.entries) != self.stored:
            raise self.bad(f"{name}: the row files hold {sum(n for _, n, _, _ in self.entries)} "
                           f"rows, rows says {self.stored}")

    def numbers(self, doc: dict[str, Any]) -> None:
        M = self.mname
        dims, metric, stored = self.field(doc, "dims"), self.field(doc, "metric"), \
            self.field(doc, "rows")
        if not is_int(dims) or not 1 <= dims <= MAX_DIMS:
            raise self.bad(f"{M}: dims {dims!r} is not an integer from 1 to {MAX_DIMS}")
        if not isinstance(metric, str) or metric not in METRIC_IDS:
            raise self.bad(f"{M}: metric {metric!r} is not 'cosine', 'dot' or 'euclidean'")
        if not is_int(stored) or stored < 0:
            raise self.bad(f"{M}: rows {stored!r} is not an integer >= 0")
        next_id = self.field(doc, "next_id")
        if not is_int(next_id) or not 0 <= next_id <= 2**63:
            raise self.bad(f"{M}: next_id {next_id!r} is not an integer from 0 to 2**63")
        self.dims, self.metric, self.stored, self.next_id = dims, metric, stored, next_id

    def row_count(self, n: object, label: str, name: str) -> int:
        if not is_int(n) or not 1 <= n <= MAX_FILE_ROWS:
            raise self.bad(f"{self.mname}: {label} ({name}) rows {n!r} is not an integer from 1 "
                           f"to {MAX_FILE_ROWS}")
        return n

    def version_1(self, doc: dict[str, Any]) -> None:
        files = self.field(doc, "row_files")
        if not isinstance(files, list):
            raise self.bad(f"{self.mname}: row_files is not a list")
        for i, entry in enumerate(files):
            name, digest = self.named(entry, f"row_files[{i}]", ROW_FILE)
            self.entries.append((name, self.row_count(entry.get("rows"), f"row_files[{i}]",
                                                      name), digest, None))
        if "codes_files" in doc:  # absent in directories saved before codes files
            codes = doc["codes_files"]
            if not isinstance(codes, list) or len(codes) != len(self.entries):
                raise self.bad(f"{self.mname}: codes_files is not a list of one entry per row "
                               f"file")
            self.entries = [(name, n, digest,
                             self.named(entry, f"codes_files[{i}]", CODES_FILE))
                            for i, (entry, (name, n, digest, _)) in
                            enumerate(zip(codes, self.entries))]
        self.ids_entry = self.named(self.field(doc, "ids"), "ids", IDS_FILE)
        self.removed_entry = self.named(self.field(doc, "removed"), "removed", REMOVED_FILE)

    def version_2(self, doc: dict[str, Any]) -> None:
        number = self.field(doc, "index_version")
        if not is_int(number) or not 1 <= number <= MAX_INDEX_VERSION:
            raise self.bad(f"{self.mname}: index_version {number!r} is not an integer from 1 "
                           f"to {MAX_INDEX_VERSION}")
        self.index_version = number
        segments = self.field(doc, "segments")
        if not isinstance(segments, list):
            raise self.bad(f"{self.mname}: segments is not a list")
        for i, seg in enumerate(segments):
            label = f"segments[{i}]"
            if not isinstance(seg, dict):
                raise self.bad(f"{self.mname}: {label} is not an object")
            name, digest = self.named(seg.get("row_file"), label, ROW_FILE)
            n = self.row_count(seg.get("rows"), label, name)
            codes = self.named(seg.get("codes_file"), f"{label}.codes_file", CODES_FILE)
            self.entries.append((name, n, digest, codes))
            ids = self.named(seg.get("ids"), f"{label}.ids", SEGMENT_IDS_FILE)
            removed = seg.get("removed")
            self.segment_files.append((ids, None if removed is None else self.named(
                removed, f"{label}.removed", SEGMENT_REMOVED_FILE)))

    def bad(self, what: str) -> ValueError:
        return ValueError(f"index directory {self.directory}: {what}")

    def field(self, doc: dict[str, Any], key: str) -> Any:
        if key not in doc:
            raise self.bad(f"{self.mname} lacks {key!r}")
        return doc[key]

    def named(self, entry: object, label: str, pattern: re.Pattern[str]) -> tuple[str, str]:
        """A file entry's name and hash; each file listed once."""
        M = self.mname
        if not isinstance(entry, dict):
            raise self.bad(f"{M}: {label} is not an object")
        name, digest = entry.get("file"), entry.get("blake3")
        if not isinstance(name, str) or not pattern.fullmatch(name):
            raise self.bad(f"{M}: {label} names {name!r}, not a file an Index writes")
        if not is_hex64(digest):
            raise self.bad(f"{M}: {label} ({name}) has no valid blake3")
        if name in self.names:
            raise self.bad(f"{M}: {name} is listed more than once")
        self.names.add(name)
        return name, digest

    def open(self, name: str) -> tuple[io.BufferedReader, str, int]:
        """The file open for reading, its real path and its size; refused
        when it is not a regular file inside the directory or is the same
        file as one opened before (a hard or symbolic link)."""
        real = confined(self.folder, name, f"index directory {self.directory}: {name}",
                        "the directory")
        try:
            f = open_regular(real)
        except FileNotFoundError:
            raise Gone(name) from None
        except ValueError as e:
            raise self.bad(f"{name} {str(e).removeprefix(real + ': ')}") from None
        st = os.fstat(f.fileno())
        if (st.st_dev, st.st_ino) in self.seen:
            f.close()
            raise self.bad(f"{name} is the same file as another file the manifest lists")
        self.seen.add((st.st_dev, st.st_ino))
        return f, real, st.st_size

    def codes(self, entry: tuple[str, str] | None, n: int, rows_name: str, rows_digest: str
              ) -> tuple[object, npt.NDArray[np.float64], str, npt.NDArray[np.uint8]] | None:
        """A row file's codes file mapped, hash checked, bound to that row
        file (its header names the row file's BLAKE3 and rows): (copy,
        squared norms, path, the file's bytes). None when the manifest lists
        none, or (with a warning naming it) when it is missing, damaged or
        made from other rows: the rows are then hashed in full and the codes
        are built by the first search that wants it."""
        if entry is None:
            return None
        name, digest = entry
        if name in self.absent:
            self.rebuilt(name, "is missing", rows_name)
            return None
        f, real, _ = self.open(name)
        with f:
            fd_path = f"/proc/self/fd/{f.fileno()}"
            try:
                codes, norms_sq, whole = _native.map_codes(
                    fd_path if os.path.exists(fd_path) else real, n, self.dims,
                    bytes.fromhex(rows_digest))
            except (OSError, ValueError) as e:
                self.rebuilt(name, str(e), rows_name)
                return None
        digest_read = _native.blake3_hex(whole)
        if _native.mapping_damaged(codes):
            self.rebuilt(name, "became shorter while it was read", rows_name)
            return None
        if digest_read != digest:
            self.rebuilt(name, f"does not match its BLAKE3 hash in {self.mname}", rows_name)
            return None
        return codes, norms_sq, real, whole

    def rebuilt(self, name: str, why: str, rows_name: str) -> None:
        """Warns that a codes file is not used (named, with why)."""
        warnings.warn(f"index directory {self.directory}: {name} {why}; the rows of {rows_name} "
                      f"are read and hashed instead, and their codes are built again by the "
                      f"first search (save the index again to rewrite the file)", RuntimeWarning,
                      stacklevel=6)

    def rows(self, name: str, n: int, digest: str, codes_entry: tuple[str, str] | None,
             mmap: bool) -> LoadedRun:
        """A row file's rows (mapped, with its path, or read into memory),
        their squared norms and int8 codes. Rows mapped beside their
        codes file are checked by size and header only (Index.verify hashes
        them); all others are hashed, and the rows kept are the bytes
        hashed. Codes beside rows that are read are compared with the
        rows' own (codes, scales, bounds and norms, bit for bit), and are
        built again when they differ."""
        codes = self.codes(codes_entry, n, name, digest)
        f, real, size = self.open(name)
        with f:
            header = f.read(12)
            shape = f"{n} rows of {self.dims} dims of metric {self.metric}"
            if size != 12 + 4 * n * self.dims or len(header) != 12:
                raise self.bad(f"{name} does not hold {shape}")
            # A wrong header is reported after the full hash below says
            # whether the file was altered or saved so.
            header_ok = struct.unpack("<III", header) == (self.dims, n, METRIC_IDS[self.metric])
            rows = self.read_rows(f, real, name, n, mmap, codes is not None)
        source = real if mmap else None
        if mmap and codes is not None and header_ok:
            mapped, norms, codes_source, whole = codes
            return LoadedRun(rows, norms, source, mapped, codes_source, (header, digest, whole))
        digest_read = _native.blake3_hex(header, rows)
        norms = _native.row_norms_sq(rows)
        if mmap and _native.mapping_damaged(rows):
            raise self.bad(f"{name} became shorter while it was read")
        if digest_read != digest:
            raise self.bad(f"{name} does not match its BLAKE3 hash in {self.mname}")
        if not header_ok:
            raise self.bad(f"{name} does not hold {shape}")
        if codes is not None and codes_entry is not None:
            codes = self.same_codes(codes, codes_entry, rows, norms, name, digest)
        if codes is None:
            return LoadedRun(rows, norms, source, None, None, None)
        return LoadedRun(rows, norms, source, codes[0], codes[2], None)

    def read_rows(self, f: io.BufferedReader, real: str, name: str, n: int, mmap: bool,
                  beside_codes: bool) -> FloatArray:
        """The rows after the header of the open row file: mapped, or read."""
        if mmap:
            # The descriptor's own file, whatever the name points at now;
            # mapped under the engine's guard against later shortening.
            # Beside codes, the rows are read a few at a time: no
            # read-ahead, nothing read up front.
            fd_path = f"/proc/self/fd/{f.fileno()}"
            try:
                return _native.map_rows(fd_path if os.path.exists(fd_path) else real, n,
                                        self.dims, beside_codes)
            except (OSError, ValueError) as e:
                raise self.bad(f"{name} could not be mapped: {e}") from None
        rows = np.empty((n, self.dims), np.float32)
        view = rows.data.cast("B")
        got = 0
        while got < len(view) and (r := f.readinto(view[got:])):
            got += r
        if got != len(view):
            raise self.bad(f"{name} became shorter while it was read")
        return rows

    def same_codes(self, codes: tuple[object, npt.NDArray[np.float64], str,
                                      npt.NDArray[np.uint8]],
                   codes_entry: tuple[str, str], rows: FloatArray,
                   norms: npt.NDArray[np.float64], rows_name: str, rows_digest: str
                   ) -> tuple[object, npt.NDArray[np.float64], str, npt.NDArray[np.uint8]] | None:
        """The codes when their file (its hash checked against the manifest)
        holds what the rows give; else None, with a warning."""
        try:
            same = codes_hash(rows, norms, rows_digest, codes[3]) == codes_entry[1]
        except MemoryError:
            self.rebuilt(codes_entry[0], "could not be compared with its rows (not enough "
                         "memory)", rows_name)
            return None
        if not same:
            self.rebuilt(codes_entry[0], "is not the codes of its row file: its codes, scales, "
                         "bounds or norms differ from those of the rows", rows_name)
            return None
        return codes

    def int64s(self, name: str, digest: str, count: int | None, most: int | None = None
               ) -> IdArray:
        """A 1-D int64 .npy file (of ``count`` values, when given; else at
        most ``most``, by default ``self.stored``), read whole, hashed, then
        parsed."""
        most = self.stored if most is None else most
        f, _, size = self.open(name)
        with f:
            if size > MAX_NPY_HEADER + 8 * (most if count is None else count):
                raise self.bad(f"{name} is larger than {most} int64 values")
            raw = f.read(size + 1)
        if _native.blake3_hex(raw) != digest:
            raise self.bad(f"{name} does not match its BLAKE3 hash in {self.mname}")
        try:
            buf = io.BytesIO(raw)
            version = np.lib.format.read_magic(buf)
            if version == (1, 0):
                shape, _, dtype = np.lib.format.read_array_header_1_0(buf, MAX_NPY_HEADER)
            elif version == (2, 0):
                shape, _, dtype = np.lib.format.read_array_header_2_0(buf, MAX_NPY_HEADER)
            else:
                raise ValueError(f"format version {version}")
        except Exception as e:  # any damage of the header: NumPy raises many kinds
            raise self.bad(f"{name} is not a NumPy .npy file ({type(e).__name__}: {e})") from None
        if dtype != np.dtype("<i8") or len(shape) != 1 or (count is not None
                                                           and shape[0] != count):
            want = "int64 values" if count is None else f"{count} int64 values"
            raise self.bad(f"{name} holds {dtype} of shape {shape}, not {want}")
        if len(raw) - buf.tell() != 8 * shape[0]:
            raise self.bad(f"{name} does not hold the {shape[0]} values its header says")
        return np.frombuffer(raw, "<i8", shape[0], buf.tell()).astype(np.int64)

    def positions(self, entry: tuple[str, str] | None, n: int, where: str) -> IdArray:
        """Removed positions from a removal file, checked: increasing, each
        one of the n rows (so never more of them than n)."""
        if entry is None:
            return np.zeros(0, np.int64)
        removed = self.int64s(*entry, None, n)
        if removed.size and (removed[0] < 0 or removed[-1] >= n
                             or np.any(removed[1:] <= removed[:-1])):
            raise self.bad(f"{entry[0]}: the removed rows are not increasing positions of "
                           f"{where}")
        return removed

    def removed_rows(self) -> IdArray:
        """The removed rows' positions among all stored rows."""
        if self.format_version == 1:
            return self.positions(self.removed_entry, self.stored, "stored rows")
        parts, first = [], 0
        for (_, n, _, _), (_, removed) in zip(self.entries, self.segment_files):
            parts.append(first + self.positions(removed, n, f"its segment's {n} rows"))
            first += n
        return np.concatenate(parts) if parts else np.zeros(0, np.int64)

    def files(self) -> list[tuple[str, str]]:
        """(file, BLAKE3) of every file the manifest names, in its order."""
        files: list[tuple[str, str]] = []
        for i, (name, _, digest, codes) in enumerate(self.entries):
            files += [(name, digest)] + ([codes] if codes is not None else [])
            if self.segment_files:
                ids, removed = self.segment_files[i]
                files += [ids] + ([removed] if removed is not None else [])
        if self.format_version == 1:
            files += [self.ids_entry, self.removed_entry]
        return files

    def read_ids(self) -> tuple[IdArray, list[str], list[int]]:
        """The ids of the stored rows; the ids files and where each starts."""
        if self.format_version == 1:
            ids = self.int64s(*self.ids_entry, self.stored)
            files, starts = [self.ids_entry[0]], [0]
        else:
            parts = [self.int64s(*entry, n) for (_, n, _, _), (entry, _) in
                     zip(self.entries, self.segment_files)]
            ids = np.concatenate(parts) if parts else np.zeros(0, np.int64)
            files = [entry[0] for entry, _ in self.segment_files]
            starts = np.cumsum([0] + [n for _, n, _, _ in self.entries])[:-1].tolist()
        for name, a, b in zip(files, starts, starts[1:] + [self.stored]):
            if b > a and int(ids[a:b].min()) < 0:
                raise self.bad(f"{name}: ids are negative")
        return ids, files, starts

    def read(self, mmap: bool) -> Loaded:
        runs = [self.rows(name, n, digest, codes, mmap) for name, n, digest, codes in self.entries]
        stored = self.stored
        ids, files, starts = self.read_ids()
        removed = self.removed_rows()
        live = np.ones(stored, np.bool_)
        live[removed] = False
        live_ids = ids[live]
        # Ids usually increase with position: then no sort is needed.
        if not np.all(live_ids[1:] > live_ids[:-1]) and \
                np.any(np.diff(np.sort(live_ids)) == 0):
            raise self.bad(f"{self.repeated_in(ids, live, files, starts)}: live ids are repeated")
        if ids.size and self.next_id <= int(ids.max()):
            raise self.bad(f"{self.mname}: next_id {self.next_id} is not above every stored id "
                           f"(the largest is {int(ids.max())})")
        return Loaded(self.dims, self.metric, runs, ids, live, self.next_id, self.index_version,
                      "", self.segments(runs, removed))

    @staticmethod
    def repeated_in(ids: IdArray, live: npt.NDArray[np.bool_], files: list[str],
                    starts: list[int]) -> str:
        """The ids file holding the second live row of a repeated id."""
        at = np.flatnonzero(live)
        order = np.argsort(ids[at], kind="stable")
        same = np.flatnonzero(np.diff(ids[at][order]) == 0)
        second = int(at[order[same[0] + 1]])
        return files[int(np.searchsorted(starts, second, side="right")) - 1]

    def segments(self, runs: list[LoadedRun], removed: IdArray) -> list[SavedSegment]:
        """The segments read, as the next save into the directory keeps
        them: a codes file not used is written again; a version-1
        directory's segments get ids and removal files of their own."""
        out, first = [], 0
        for i, ((name, n, digest, codes), run) in enumerate(zip(self.entries, runs)):
            used = codes if run.codes_source is not None else None
            if self.format_version == 1:
                out.append(SavedSegment(n, (name, digest), used, None, None, None))
            else:
                ids, rem = self.segment_files[i]
                inside = removed[(removed >= first) & (removed < first + n)] - first
                out.append(SavedSegment(n, (name, digest), used, ids, rem, inside))
            first += n
        return out


def directory_hash(directory: str | os.PathLike[str]) -> str:
    """BLAKE3 of a saved ``Index`` directory's manifest, which holds the
    BLAKE3 of every other file of the directory: one hash for all of it.

    Raises:
        ValueError: The manifest is not a regular file or too large.
        FileNotFoundError: No manifest in the directory.
    """
    return _native.blake3_hex(read_small(Path(directory) / MANIFEST, MAX_MANIFEST_BYTES))
