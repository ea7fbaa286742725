"""The directory ``Index.save`` writes and ``Index.load`` reads: row files in
lumvero's index format, the ids, the removals and a manifest with BLAKE3
hashes."""

from __future__ import annotations

import json
import os
import re
import struct
import uuid
from pathlib import Path
from typing import Any, Callable, Final

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]

METRIC_IDS: Final = {"cosine": 0, "dot": 1, "euclidean": 2}
# Rows per row file: the index format's row count is 32-bit and the module
# opens files of at most this many rows.
MAX_FILE_ROWS: Final = 50_000_000
MANIFEST: Final = "manifest.json"
FORMAT: Final = "lumvero_contrib.Index"
FORMAT_VERSION: Final = 1
OWN_FILE: Final = re.compile(r"^(rows-[0-9a-f]{32}-\d+\.index|(ids|removed)-[0-9a-f]{32}\.npy|"
                             r"manifest\.json\.tmp-[0-9a-f]{32})$")


def fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_file(path: Path, *chunks: bytes | memoryview) -> str:
    """Writes and fsyncs a new file; returns its BLAKE3, from the bytes
    written rather than from reading the file back."""
    with open(path, "xb") as f:
        for chunk in chunks:
            f.write(chunk)
        f.flush()
        os.fsync(f.fileno())
    return _native.blake3_hex(*chunks)


def file_hash(path: Path) -> str:
    if path.stat().st_size == 0:
        return _native.blake3_hex(b"")
    return _native.blake3_hex(np.memmap(path, dtype=np.uint8, mode="r"))


class Saved:
    """A directory written by ``Index.save``, read and checked part by part;
    every failure is a ValueError naming the directory and the part."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        try:
            manifest = json.loads((directory / MANIFEST).read_text())
        except json.JSONDecodeError as e:
            raise ValueError(f"{directory / MANIFEST} is not valid JSON: {e}") from None
        try:
            if manifest["format"] != FORMAT or manifest["version"] != FORMAT_VERSION:
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
        if file_hash(p) != digest:
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


def save_npy(path: Path, values: IdArray) -> str:
    with open(path, "xb") as f:
        np.save(f, np.ascontiguousarray(values, dtype="<i8"), allow_pickle=False)
        f.flush()
        os.fsync(f.fileno())
    return file_hash(path)


def write_directory(path: str, dims: int, metric: str,
                    runs: list[tuple[FloatArray, int]], ids: IdArray,
                    live: npt.NDArray[np.bool_], next_id: int,
                    check_runs: Callable[[], None]) -> None:
    """Writes a state as new files, then the manifest naming them in one
    rename, then removes the previous state's files. runs: each run's rows
    and how many of them are stored; check_runs raises when a mapped run was
    damaged while it was written."""
    directory = Path(path)
    directory.mkdir(parents=True, exist_ok=True)
    token = uuid.uuid4().hex
    files: list[dict[str, Any]] = []
    metric_id = METRIC_IDS[metric]
    for rows, count in runs:
        for s in range(0, count, MAX_FILE_ROWS):
            part = rows[s: min(count, s + MAX_FILE_ROWS)]
            name = f"rows-{token}-{len(files)}.index"
            header = struct.pack("<III", dims, int(part.shape[0]), metric_id)
            digest = write_file(directory / name, header, part.data.cast("B"))
            files.append({"file": name, "rows": int(part.shape[0]), "blake3": digest})
    check_runs()  # what was written came from intact rows
    ids_name = f"ids-{token}.npy"
    removed_name = f"removed-{token}.npy"
    ids_hash = save_npy(directory / ids_name, ids)
    removed = np.flatnonzero(~live).astype(np.int64)
    removed_hash = save_npy(directory / removed_name, removed)
    manifest = {
        "format": FORMAT, "version": FORMAT_VERSION, "dims": dims,
        "metric": metric, "rows": int(ids.shape[0]), "next_id": next_id,
        "row_files": files,
        "ids": {"file": ids_name, "blake3": ids_hash},
        "removed": {"file": removed_name, "blake3": removed_hash},
    }
    tmp = directory / f"{MANIFEST}.tmp-{token}"
    write_file(tmp, (json.dumps(manifest, indent=1) + "\n").encode())
    fsync_dir(directory)
    os.replace(tmp, directory / MANIFEST)
    fsync_dir(directory)
    keep = {f["file"] for f in files} | {ids_name, removed_name}
    for entry in os.listdir(directory):
        if entry not in keep and OWN_FILE.match(entry):
            (directory / entry).unlink(missing_ok=True)
