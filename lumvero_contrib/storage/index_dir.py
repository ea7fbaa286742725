"""The directory ``Index.save`` writes and ``Index.load`` reads: row files in
lumvero's index format, beside each its codes file (the int8 codes the
pre-filter scans, with the rows' squared norms), the ids, the removals and a
manifest with BLAKE3 hashes, plus the lock file that lets one save at a time
into the directory. Directories saved before codes files existed list none;
their copies are built by the first search, as for rows added in memory. A
codes file's header names the BLAKE3 of the row file it was made from; codes
files of the version before that are built again, as damaged ones are.

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
from lumvero_contrib.storage.commit import LOCK as LOCK
from lumvero_contrib.storage.commit import MANIFEST as MANIFEST
from lumvero_contrib.storage.commit import Commit, check_kind, locked
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
FORMAT_VERSION: Final = 1
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
IDS_FILE: Final = re.compile(rf"ids-{_HEX}\.npy")
REMOVED_FILE: Final = re.compile(rf"removed-{_HEX}\.npy")
# Files a save writes besides the manifest and the lock; the cleanup removes
# those the new manifest does not name.
OWN_FILE: Final = re.compile(rf"rows-{_HEX}-\d+\.index|codes-{_HEX}-\d+\.codes|"
                             rf"(ids|removed)-{_HEX}\.npy|"
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


def write_directory(path: str | os.PathLike[str], dims: int, metric: str,
                    runs: list[tuple[FloatArray, npt.NDArray[np.float64], int, bool]], ids: IdArray,
                    live: npt.NDArray[np.bool_], next_id: int,
                    check_runs: Callable[[], None]) -> None:
    """Writes a state through the one commit of every saved directory
    (storage.commit): a directory of another kind refused before anything is
    written, then under the directory's lock new files, the manifest naming
    them in one rename, and the files no longer named removed. runs: each
    run's rows, their squared norms, how many of them are stored, and
    whether they are mapped from a file; check_runs raises when a mapped run
    was damaged while it was read. Each row file gets its codes file
    whatever LUMVO_FILTER says in this process: the directory serves every
    process that loads it. A failure before the rename removes the files
    this save wrote and leaves the previous state as it was."""
    directory = check_path(path)
    with locked(directory, "index directory", check_ours), Commit(directory) as commit:
        token = commit.token
        files: list[dict[str, Any]] = []
        codes: list[dict[str, Any]] = []  # one per row file, in the same order
        metric_id = METRIC_IDS[metric]
        for rows, norms, count, mapped in runs:
            for s in range(0, count, MAX_FILE_ROWS):
                part = rows[s: min(count, s + MAX_FILE_ROWS)]
                name = f"rows-{token}-{len(files)}.index"
                header = struct.pack("<III", dims, int(part.shape[0]), metric_id)
                digest = write_rows(directory / name, commit.written, header, part, mapped)
                codes_name = f"codes-{token}-{len(files)}.codes"
                codes_hash = commit.write(codes_name,
                                          *_native.codes_file(part, norms[s: s + len(part)],
                                                              bytes.fromhex(digest)))
                files.append({"file": name, "rows": int(part.shape[0]), "blake3": digest})
                codes.append({"file": codes_name, "blake3": codes_hash})
        check_runs()  # what was written came from intact rows
        ids_name, removed_name = f"ids-{token}.npy", f"removed-{token}.npy"
        ids_hash = commit.write(ids_name, npy_bytes(ids))
        removed = np.flatnonzero(~live).astype(np.int64)
        removed_hash = commit.write(removed_name, npy_bytes(removed))
        manifest = {
            "format": FORMAT, "version": FORMAT_VERSION, "dims": dims,
            "metric": metric, "rows": int(ids.shape[0]), "next_id": next_id,
            "row_files": files,
            "codes_files": codes,
            "ids": {"file": ids_name, "blake3": ids_hash},
            "removed": {"file": removed_name, "blake3": removed_hash},
        }
        keep = {f["file"] for f in files + codes} | {ids_name, removed_name}
        commit.publish(manifest, keep, _own)


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


def codes_hash(rows: FloatArray, norms_sq: npt.NDArray[np.float64], row_digest: str) -> str:
    """BLAKE3 of the codes file a save writes for the rows of the row file
    whose BLAKE3 is row_digest: codes, scales, bounds and squared norms are
    a function of the rows, so a codes file with other bytes is not theirs.
    The rows may be mapped (read under the fault guard; the caller checks)."""
    return _native.blake3_hex(*_native.codes_file(rows, norms_sq, bytes.fromhex(row_digest)))


class Loaded(NamedTuple):
    dims: int
    metric: str
    runs: list[LoadedRun]
    ids: IdArray
    live: npt.NDArray[np.bool_]
    next_id: int


def read_directory(path: str | os.PathLike[str], mmap: bool) -> Loaded:
    """Reads a saved state. A listed file that has gone means a save replaced
    the state since the manifest was read: the manifest is read again and the
    load starts over; the file is reported missing only when the manifest
    still names it."""
    directory = check_path(path)
    raw = read_manifest(directory)
    absent: set[str] = set()  # codes files confirmed missing: their rows are read instead
    for _ in range(LOAD_ATTEMPTS):
        try:
            return Saved(directory, raw, absent).read(mmap)
        except Gone as gone:
            again = read_manifest(directory)
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


def read_manifest(directory: Path) -> bytes:
    """The manifest's bytes: a regular file inside the directory, bounded."""
    folder = os.path.realpath(directory)
    confined(folder, MANIFEST, f"index directory {directory}: {MANIFEST}", "the directory")
    with open_regular(directory / MANIFEST) as f:
        raw = f.read(MAX_MANIFEST_BYTES + 1)
    if len(raw) > MAX_MANIFEST_BYTES:
        raise ValueError(f"index directory {directory}: {MANIFEST} is larger than "
                         f"{MAX_MANIFEST_BYTES >> 20} MiB; not a manifest an Index wrote")
    return raw


class Saved:
    """One reading of a saved state from its manifest's bytes; every failure
    is a ValueError naming the directory and the file. Every number is an
    int64 (next_id may be 2**63, after the id 2**63 - 1, when no default id
    is left) checked against the files before anything is allocated."""

    def __init__(self, directory: Path, raw: bytes, absent: set[str] | None = None) -> None:
        self.directory = directory
        self.absent = absent or set()
        self.folder = os.path.realpath(directory)
        self.seen: set[tuple[int, int]] = set()
        try:
            doc = json.loads(raw)
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            raise self.bad(f"{MANIFEST} is not valid JSON: {e}") from None
        except RecursionError:
            raise self.bad(f"{MANIFEST} is not valid JSON: nested too deeply") from None
        if not isinstance(doc, dict) or doc.get("format") != FORMAT:
            raise self.bad(f"{MANIFEST} is not an Index manifest")
        if doc.get("version") != FORMAT_VERSION or not is_int(doc.get("version")):
            raise self.bad(f"{MANIFEST} has version {doc.get('version')!r}; this version of "
                           f"lumvero_contrib reads version {FORMAT_VERSION}")
        dims, metric, stored = self.field(doc, "dims"), self.field(doc, "metric"), \
            self.field(doc, "rows")
        if not is_int(dims) or not 1 <= dims <= MAX_DIMS:
            raise self.bad(f"{MANIFEST}: dims {dims!r} is not an integer from 1 to {MAX_DIMS}")
        if not isinstance(metric, str) or metric not in METRIC_IDS:
            raise self.bad(f"{MANIFEST}: metric {metric!r} is not 'cosine', 'dot' or "
                           f"'euclidean'")
        if not is_int(stored) or stored < 0:
            raise self.bad(f"{MANIFEST}: rows {stored!r} is not an integer >= 0")
        next_id = self.field(doc, "next_id")
        if not is_int(next_id) or not 0 <= next_id <= 2**63:
            raise self.bad(f"{MANIFEST}: next_id {next_id!r} is not an integer from 0 to 2**63")
        self.dims, self.metric, self.stored, self.next_id = dims, metric, stored, next_id
        files = self.field(doc, "row_files")
        if not isinstance(files, list):
            raise self.bad(f"{MANIFEST}: row_files is not a list")
        names: set[str] = set()
        self.entries: list[tuple[str, int, str, tuple[str, str] | None]] = []
        total = 0
        for i, entry in enumerate(files):
            name, digest = self.named(entry, f"row_files[{i}]", ROW_FILE, names)
            n = entry.get("rows")
            if not is_int(n) or not 1 <= n <= MAX_FILE_ROWS:
                raise self.bad(f"{MANIFEST}: row_files[{i}] ({name}) rows {n!r} is not an "
                               f"integer from 1 to {MAX_FILE_ROWS}")
            self.entries.append((name, n, digest, None))
            total += n
        if total != stored:
            raise self.bad(f"{MANIFEST}: the row files hold {total} rows, rows says {stored}")
        if "codes_files" in doc:  # absent in directories saved before codes files
            codes = doc["codes_files"]
            if not isinstance(codes, list) or len(codes) != len(self.entries):
                raise self.bad(f"{MANIFEST}: codes_files is not a list of one entry per row file")
            self.entries = [(name, n, digest,
                             self.named(entry, f"codes_files[{i}]", CODES_FILE, names))
                            for i, (entry, (name, n, digest, _)) in
                            enumerate(zip(codes, self.entries))]
        self.ids_entry = self.named(self.field(doc, "ids"), "ids", IDS_FILE, names)
        self.removed_entry = self.named(self.field(doc, "removed"), "removed", REMOVED_FILE, names)

    def bad(self, what: str) -> ValueError:
        return ValueError(f"index directory {self.directory}: {what}")

    def field(self, doc: dict[str, Any], key: str) -> Any:
        if key not in doc:
            raise self.bad(f"{MANIFEST} lacks {key!r}")
        return doc[key]

    def named(self, entry: object, label: str, pattern: re.Pattern[str],
              names: set[str]) -> tuple[str, str]:
        """A file entry's name and hash; each file listed once."""
        if not isinstance(entry, dict):
            raise self.bad(f"{MANIFEST}: {label} is not an object")
        name, digest = entry.get("file"), entry.get("blake3")
        if not isinstance(name, str) or not pattern.fullmatch(name):
            raise self.bad(f"{MANIFEST}: {label} names {name!r}, not a file an Index writes")
        if not is_hex64(digest):
            raise self.bad(f"{MANIFEST}: {label} ({name}) has no valid blake3")
        if name in names:
            raise self.bad(f"{MANIFEST}: {name} is listed more than once")
        names.add(name)
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
            self.rebuilt(name, f"does not match its BLAKE3 hash in {MANIFEST}", rows_name)
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
            raise self.bad(f"{name} does not match its BLAKE3 hash in {MANIFEST}")
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
            same = codes_hash(rows, norms, rows_digest) == codes_entry[1]
        except MemoryError:
            self.rebuilt(codes_entry[0], "could not be compared with its rows (not enough "
                         "memory)", rows_name)
            return None
        if not same:
            self.rebuilt(codes_entry[0], "is not the codes of its row file: its codes, scales, "
                         "bounds or norms differ from those of the rows", rows_name)
            return None
        return codes

    def int64s(self, name: str, digest: str, count: int | None) -> IdArray:
        """A 1-D int64 .npy file (of ``count`` values, when given; else at
        most ``self.stored``), read whole, hashed, then parsed."""
        f, _, size = self.open(name)
        with f:
            if size > MAX_NPY_HEADER + 8 * (self.stored if count is None else count):
                raise self.bad(f"{name} is larger than {self.stored} int64 values")
            raw = f.read(size + 1)
        if _native.blake3_hex(raw) != digest:
            raise self.bad(f"{name} does not match its BLAKE3 hash in {MANIFEST}")
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

    def removed_rows(self) -> IdArray:
        """The removed rows' positions, checked: increasing, each a stored
        row's (so never more of them than rows stored)."""
        removed = self.int64s(*self.removed_entry, None)
        if removed.size and (removed[0] < 0 or removed[-1] >= self.stored
                             or np.any(removed[1:] <= removed[:-1])):
            raise self.bad(f"{self.removed_entry[0]}: the removed rows are not increasing "
                           f"positions of stored rows")
        return removed

    def read(self, mmap: bool) -> Loaded:
        runs = [self.rows(name, n, digest, codes, mmap) for name, n, digest, codes in self.entries]
        stored = self.stored
        ids = self.int64s(*self.ids_entry, stored)
        removed = self.removed_rows()
        if ids.size and int(ids.min()) < 0:
            raise self.bad(f"{self.ids_entry[0]}: ids are negative")
        live = np.ones(stored, np.bool_)
        live[removed] = False
        live_ids = ids[live]
        # Ids usually increase with position: then no sort is needed.
        if not np.all(live_ids[1:] > live_ids[:-1]) and \
                np.any(np.diff(np.sort(live_ids)) == 0):
            raise self.bad(f"{self.ids_entry[0]}: live ids are repeated")
        if ids.size and self.next_id <= int(ids.max()):
            raise self.bad(f"{MANIFEST}: next_id {self.next_id} is not above every stored id "
                           f"(the largest is {int(ids.max())})")
        return Loaded(self.dims, self.metric, runs, ids, live, self.next_id)


def directory_hash(directory: str | os.PathLike[str]) -> str:
    """BLAKE3 of a saved ``Index`` directory's manifest, which holds the
    BLAKE3 of every other file of the directory: one hash for all of it.

    Raises:
        ValueError: The manifest is not a regular file or too large.
        FileNotFoundError: No manifest in the directory.
    """
    return _native.blake3_hex(read_small(Path(directory) / MANIFEST, MAX_MANIFEST_BYTES))
