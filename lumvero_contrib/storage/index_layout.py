"""The layout of the directory ``Index.save`` writes and ``Index.load``
reads: file names, limits, the format versions, and the records a manifest
lists for each segment.

A segment is written once and never changed: a row file in lumvero's index
format, beside it its codes file (the int8 codes the pre-filter scans, with
the rows' squared norms) and its ids. A removal file per segment holds its
removed rows (replaced by a new file when they change). A manifest with the
BLAKE3 hash of every file is kept per version (manifest-<N>.json;
manifest.json is a copy of the current one), beside the lock file that lets
one save at a time into the directory (storage.commit)."""

from __future__ import annotations

import io
import os
import re
from pathlib import Path
from typing import Final, NamedTuple

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib.storage.commit import MANIFEST

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]

METRIC_IDS: Final = {"cosine": 0, "dot": 1, "euclidean": 2}
# Rows per row file: the index format's row count is 32-bit and the module
# opens files of at most this many rows.
MAX_FILE_ROWS: Final = 50_000_000
MAX_DIMS: Final = 10000
# MANIFEST and save.lock are those of every saved directory
# (storage.commit): the lock is held (flock, exclusive) by a save from before
# it looks at the directory until its cleanup is done; loaders do not take it.
FORMAT: Final = "lumvero_contrib.Index"
# Version 1: one ids file and one removals file for all row files; version
# 2: segments, each with its own ids and removals, and kept versions; 3:
# segments may have an attribute file (written only when one has: a
# directory without attributes stays version 2, which older releases read).
FORMAT_VERSION: Final = 2
FORMAT_VERSION_ATTRS: Final = 3
READ_VERSIONS: Final = (1, 2, 3)
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
ATTRS_FILE: Final = re.compile(rf"attrs-{_HEX}-\d{{1,9}}\.arrow")
# A kept version's manifest (manifest.json is a copy of the current one's).
VERSION_FILE: Final = re.compile(r"manifest-(0|[1-9]\d{0,17})\.json")
# Files a save writes besides the manifest and the lock; the cleanup removes
# those that neither the new version nor the previous one names.
OWN_FILE: Final = re.compile(rf"rows-{_HEX}-\d+\.index|codes-{_HEX}-\d+\.codes|"
                             rf"attrs-{_HEX}-\d+\.arrow|"
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



def npy_bytes(values: IdArray) -> bytes:
    out = io.BytesIO()
    np.lib.format.write_array(out, np.ascontiguousarray(values, dtype="<i8"),
                              allow_pickle=False)
    return out.getvalue()


def own(name: str) -> bool:
    """Whether a file name is one a save writes."""
    return OWN_FILE.fullmatch(name) is not None


def version_file(version: int) -> str:
    return f"manifest-{version}.json"


class SavedSegment(NamedTuple):
    """A segment as a manifest lists it: its rows and the (file, BLAKE3) of
    its row file, codes file, ids and removals, and the removed positions
    within it, and its attribute file (None: its rows have no
    attributes). A segment read from a version-1 directory has no ids or
    removal file of its own (None, removed_at None): the next save into it
    writes them; codes_file is None when the codes file was not used (the
    next save writes it again)."""
    rows: int
    row_file: tuple[str, str]
    codes_file: tuple[str, str] | None
    ids: tuple[str, str] | None
    removed: tuple[str, str] | None
    removed_at: IdArray | None
    attrs: tuple[str, str] | None = None


class SaveLink(NamedTuple):
    """What an Index last saved to or loaded from: the directory (real
    path), the BLAKE3 of the manifest it saw there and that manifest's
    segments, which hold the index's stored rows [0, sum of their rows)."""
    directory: str
    manifest_hash: str
    segments: list[SavedSegment]


Runs = list[tuple[FloatArray, npt.NDArray[np.float64], int, bool]]


def codes_hash(rows: FloatArray, norms_sq: npt.NDArray[np.float64], row_digest: str) -> str:
    """BLAKE3 of the codes file a save writes for the rows of the row file
    whose BLAKE3 is row_digest: codes, scales, bounds and squared norms are
    a function of the rows, so a codes file with other bytes is not theirs.
    The rows may be mapped (read under the fault guard; the caller checks)."""
    return _native.blake3_hex(*_native.codes_file(rows, norms_sq, bytes.fromhex(row_digest)))
