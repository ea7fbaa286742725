"""Reading a saved ``Index`` state: the files its manifest names (row
files mapped or read, codes files mapped and bound to their rows, ids and
removals), each a regular file inside the directory, hashed, sized by the
manifest before anything is read; every failure a ValueError naming the
directory and the file. Directories of manifest format version 1 (one ids and
one removals file for all row files) load as version 0. Directories saved
before codes files existed list none; their copies are built by the first
search, as for rows added in memory. A codes file's header names the BLAKE3
of the row file it was made from; codes files of the version before that are
built again, as damaged ones are."""

from __future__ import annotations

import io
import os
import struct
import warnings
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib.storage.attrs_file import read_attrs, segment_types
from lumvero_contrib.storage.commit import MANIFEST
from lumvero_contrib.storage.files import caller_stacklevel, confined, open_regular, read_small
from lumvero_contrib.storage.index_layout import (CODES_FILE, LOAD_ATTEMPTS, MAX_MANIFEST_BYTES,
                                                  MAX_NPY_HEADER, METRIC_IDS, FloatArray,
                                                  IdArray, SavedSegment, check_path)
from lumvero_contrib.storage.block_sums import codes_hash
from lumvero_contrib.storage.index_manifest import IndexManifest, read_version


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
    # Per run its attribute Table (None: no attribute file), and the
    # columns' types merged over them; None for a directory without any.
    attrs: tuple[list[Any], dict[str, Any]] | None = None


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


class Saved(IndexManifest):
    """One reading of a saved state: its manifest (IndexManifest) and the
    files it names."""

    def __init__(self, directory: Path, raw: bytes, absent: set[str] | None = None,
                 name: str = MANIFEST) -> None:
        super().__init__(directory, raw, name)
        # Codes files confirmed missing: their rows are read instead.
        self.absent = absent or set()
        self.seen: set[tuple[int, int]] = set()

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
                      stacklevel=caller_stacklevel())

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

    def read_bytes(self, name: str, most: int) -> bytes:
        """A listed file's bytes, read whole; refused when larger than most."""
        f, _, size = self.open(name)
        with f:
            if size > most:
                raise self.bad(f"{name} is larger than {most} bytes")
            raw = f.read(most + 1)
        if len(raw) != size:
            raise self.bad(f"{name} changed size while it was read")
        return raw

    def attrs(self) -> tuple[list[Any], dict[str, Any]] | None:
        """Each segment's attribute Table (None without a file) and the
        types merged over them; None when no segment has one."""
        if not any(self.segment_attrs):
            return None
        tables = [None if entry is None else read_attrs(self.read_bytes, self.bad, entry, n,
                                                        digest)
                  for (_, n, digest, _), entry in zip(self.entries, self.segment_attrs)]
        named = [(e[0], t) for e, t in zip(self.segment_attrs, tables) if e is not None]
        return tables, segment_types(named, self.bad)

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
                attrs = self.segment_attrs[i]
                files += [attrs] if attrs is not None else []
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
                      "", self.segments(runs, removed), self.attrs())

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
                out.append(SavedSegment(n, (name, digest), used, ids, rem, inside,
                                        self.segment_attrs[i]))
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
