"""The directory ``DistributedIndex.save`` writes: one saved ``Index``
directory per shard (``shard-NNNNN``, saved into again by each save, so
that a save writes only what changed), per shard the global insertion order
of its live rows, and ``manifest.json`` naming each shard directory's state
by the BLAKE3 of that state's manifest, written last and replaced in one
rename, through the commit every saved directory uses (``storage.commit``):
one save at a time under ``save.lock``, a directory of another kind refused
before anything is written. Each save is a version, kept as
``manifest-<N>.json``; the previous version stays loadable, and the shard
states both versions name are kept in the shard directories.

Format version 1 (each save's shard directories new, ``shard-NNNNN-<token>``,
no versions) is still read, as version 0."""
from __future__ import annotations

import io
import json
import os
import re
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Final, TypeGuard

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib.storage.commit import MANIFEST, TMP_MANIFEST, Commit, check_kind, locked
from lumvero_contrib.storage.commit import manifest_bytes as encoded
from lumvero_contrib.storage.files import read_small
from lumvero_contrib.storage.index_layout import FORMAT as INDEX_FORMAT
from lumvero_contrib.storage.index_layout import (LOAD_ATTEMPTS, MAX_INDEX_VERSION, VERSION_FILE,
                                                  npy_bytes, version_file)
from lumvero_contrib.storage.file_shards import MAX_MANIFEST_BYTES, METRIC_NAMES

__all__ = ["FORMAT", "FORMAT_VERSION", "PLACEMENT", "SavedShard", "SavedIndex", "read_saved",
           "write_saved", "saved_kind", "index_summary", "new_token", "SHARD_DIRECTORY",
           "saving", "manifest_bytes", "LOAD_ATTEMPTS"]

# A shard's saved directory inside a sharded save: its number (format
# version 1: and the token of the save that wrote it).
SHARD_DIRECTORY: Final = re.compile(r"^shard-(\d{5})(-[0-9a-f]{32})?$")


IdArray = npt.NDArray[np.int64]

FORMAT: Final = "lumvero_contrib.DistributedIndex"
FORMAT_VERSION: Final = 2
READ_VERSIONS: Final = (1, 2)
PLACEMENT: Final = "fewest-live-rows"
_ORDER_FILE: Final = re.compile(r"^order-(\d{5})-[0-9a-f]{32}\.npy$")
_NPY_HEADER: Final = 4096
_LABEL: Final = "sharded index directory"


@dataclass(frozen=True)
class SavedShard:
    """One shard of a saved ``DistributedIndex``.

    Attributes:
        directory: Its saved ``Index`` directory, absolute.
        name: The directory's name as written in the manifest.
        blake3: BLAKE3 of the manifest of that directory's state (its
            ``manifest.json`` or a kept version's ``manifest-<N>.json``).
        rows: Its live rows.
        order: (live rows, 2) int64: per live row in the shard's insertion
            order, its id and its global insertion number.
    """

    directory: str
    name: str
    blake3: str
    rows: int
    order: IdArray
    order_name: str = ""


@dataclass(frozen=True)
class SavedIndex:
    """A saved ``DistributedIndex``, checked."""

    path: str
    dims: int
    metric: str
    next_id: int
    shards: tuple[SavedShard, ...]
    index_version: int = 0  # the version read (format version 1: 0)
    raw: bytes = b""  # the manifest's bytes

    def names(self) -> set[str]:
        """The shard directories and order files this version names."""
        return {s.name for s in self.shards} | {s.order_name for s in self.shards}


def _read_json(path: Path, raw: bytes | None = None) -> Any:
    """The manifest's JSON (from raw, or through a bounded read of a regular
    file)."""
    try:
        return json.loads(manifest_bytes(path.parent) if raw is None else raw)
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as e:
        raise ValueError(f"{path} is not valid JSON: {e}") from None


def saved_kind(directory: str | os.PathLike[str]) -> str:
    """``"index"`` for a directory ``Index.save`` wrote, ``"sharded"`` for one
    ``DistributedIndex.save`` wrote.

    Raises:
        ValueError: Its manifest is neither.
        FileNotFoundError: No manifest in the directory.
    """
    path = Path(directory) / MANIFEST
    doc = _read_json(path)
    kind = doc.get("format") if isinstance(doc, dict) else None
    if kind == INDEX_FORMAT:
        return "index"
    if kind == FORMAT:
        return "sharded"
    raise ValueError(f"{path}: not the manifest of a saved Index or DistributedIndex (format "
                     f"{kind!r})")


def index_summary(directory: str | os.PathLike[str], raw: bytes | None = None
                  ) -> tuple[int, str, int]:
    """dims, metric and next id of a directory ``Index.save`` wrote, from its
    manifest or the bytes of a kept version's (its files are checked by
    ``Index.load``).

    Raises:
        ValueError: The manifest lacks them.
    """
    path = Path(directory) / MANIFEST
    doc = _read_json(path, raw)
    dims, metric, next_id = doc.get("dims"), doc.get("metric"), doc.get("next_id")
    if not (_is_count(dims) and dims and metric in METRIC_NAMES and _is_count(next_id)):
        raise ValueError(f"{path}: lacks valid dims, metric or next_id")
    return int(dims), str(metric), int(next_id)


def _bad(directory: Path, what: str) -> ValueError:
    return ValueError(f"sharded index directory {directory}: {what}")


def _is_hex64(v: object) -> TypeGuard[str]:
    return isinstance(v, str) and re.fullmatch(r"[0-9a-f]{64}", v) is not None


def _is_count(v: object) -> TypeGuard[int]:
    return isinstance(v, int) and not isinstance(v, bool) and v >= 0


def _shard(directory: Path, i: int, entry: Any) -> SavedShard:
    if not isinstance(entry, dict):
        raise _bad(directory, f"shard {i} is not an object")
    fields: dict[str, Any] = entry
    name, digest, rows = fields.get("directory"), fields.get("blake3"), fields.get("rows")
    order, order_hash = fields.get("order"), fields.get("order_blake3")
    m = SHARD_DIRECTORY.match(name) if isinstance(name, str) else None
    if m is None or int(m.group(1)) != i:
        raise _bad(directory, f"shard {i} names no shard directory of its own ({name!r})")
    o = _ORDER_FILE.match(order) if isinstance(order, str) else None
    if o is None or int(o.group(1)) != i:
        raise _bad(directory, f"shard {i} names no order file of its own ({order!r})")
    name, order = m.group(0), o.group(0)
    if not (_is_hex64(digest) and _is_hex64(order_hash) and _is_count(rows)):
        raise _bad(directory, f"shard {i} ({name}) lacks a valid blake3, order_blake3 or rows")
    table = _read_order(directory, order, order_hash, rows)
    return SavedShard(str(directory / name), name, str(digest), int(rows), table, order)


def _read_order(directory: Path, order: str, order_hash: str, rows: int) -> IdArray:
    """A shard's (rows, 2) table of ids and insertion numbers; rows is
    bounded by the file's size before anything is read. _Gone when the file
    is not there."""
    path = directory / order
    if path.is_symlink():
        raise _bad(directory, f"{order} is missing")
    try:  # read once: the bytes hashed are the bytes decoded
        if 16 * rows > os.stat(path).st_size:
            raise ValueError("shorter than its rows")
        raw = read_small(path, _NPY_HEADER + 16 * rows)
    except FileNotFoundError:
        raise _Gone(order) from None
    except ValueError:
        raise _bad(directory, f"{order} does not hold {rows} (id, order) pairs") from None
    if _native.blake3_hex(raw) != order_hash:
        raise _bad(directory, f"{order} does not match its BLAKE3 hash in manifest.json")
    try:
        table = np.load(io.BytesIO(raw), allow_pickle=False)
    except (ValueError, OSError, EOFError):
        table = None
    if table is None or table.dtype != np.int64 or table.shape != (rows, 2):
        raise _bad(directory, f"{order} does not hold {rows} (id, order) pairs")
    checked: IdArray = table
    return checked


class _Gone(Exception):
    """A file the manifest names is not there (a save may have replaced the
    state since the manifest was read)."""


def manifest_bytes(directory: str | os.PathLike[str]) -> bytes:
    """The bytes of a saved directory's ``manifest.json`` (either kind),
    bounded: what a load compares to tell whether a save replaced the state
    while it read.

    Raises:
        FileNotFoundError: No manifest in the directory.
        ValueError: Not a regular file, or too large.
    """
    path = Path(directory) / MANIFEST
    try:
        return read_small(path, MAX_MANIFEST_BYTES)
    except FileNotFoundError:
        raise FileNotFoundError(f"{path.parent}: is a directory without manifest.json (not "
                                f"a saved Index or DistributedIndex)") from None


def version_bytes(top: Path, version: int | None) -> bytes:
    """The bytes of a version's manifest: manifest.json for None (the
    current one), else manifest-<version>.json, or manifest.json when it is
    that version and no copy was kept (format version 1: version 0).

    Raises:
        ValueError: The version is not kept, or its manifest is unsafe.
        FileNotFoundError: No manifest in the directory.
    """
    if version is None:
        return manifest_bytes(top)
    name = version_file(version)
    path = top / name
    if not os.path.lexists(path):
        raw = manifest_bytes(top)
        if _index_version(top, raw) == version:
            return raw
        raise _bad(top, f"version {version} is not kept (kept: {kept_versions(top)})")
    if os.path.islink(path):
        raise _bad(top, f"{name} is a symlink; a kept version's manifest is a regular file a "
                        f"save writes")
    return read_small(path, MAX_MANIFEST_BYTES)


def _index_version(top: Path, raw: bytes) -> int:
    return _header(top, _read_json(top / MANIFEST, raw))[3]


def kept_versions(top: Path) -> list[int]:
    """The versions that can be loaded: the current one and, when its
    manifest is still there, the one before."""
    current = _index_version(top, manifest_bytes(top))
    before = current - 1
    return ([before] if before >= 0 and os.path.lexists(top / version_file(before))
            else []) + [current]


def read_saved(directory: str | os.PathLike[str], version: int | None = None) -> SavedIndex:
    """Reads and checks a saved ``DistributedIndex``'s manifest (the current
    one, or a kept version's) and order files (the shard directories are
    checked by the shards that load them).
    An order file that has gone means a save replaced the state since the
    manifest was read: the manifest is read again and the reading starts
    over (at most ``LOAD_ATTEMPTS`` times); the file is reported missing only
    when the manifest still names it.

    Raises:
        ValueError: A malformed manifest, a missing or altered order file, or
            insertion numbers that repeat (the message names the directory).
        FileNotFoundError: No manifest in the directory.
    """
    top = Path(os.path.abspath(directory))
    raw = version_bytes(top, version)
    for _ in range(LOAD_ATTEMPTS):
        try:
            saved = _parse_saved(top, raw)
            if version is not None and saved.index_version != version:
                raise _bad(top, f"{version_file(version)} holds version {saved.index_version}, "
                                f"not {version}")
            return saved
        except _Gone as gone:
            again = version_bytes(top, version)
            if again == raw:
                raise _bad(top, f"{gone} is missing") from None
            raw = again
    raise _bad(top, f"{MANIFEST} was replaced {LOAD_ATTEMPTS} times while it was being read; "
                    f"try again when saves pause")


def _parse_saved(top: Path, raw: bytes) -> SavedIndex:
    """One reading of a saved state from its manifest's bytes; _Gone when an
    order file it names is not there."""
    doc = _read_json(top / MANIFEST, raw)
    dims, metric, next_id, number = _header(top, doc)
    shards = doc.get("shards")
    if not isinstance(shards, list) or not shards:
        raise _bad(top, "manifest.json lists no shards")
    out = tuple(_shard(top, i, e) for i, e in enumerate(shards))
    _check_orders(top, out, next_id)
    return SavedIndex(str(top), int(dims), str(metric), int(next_id), out, number, raw)


def _header(top: Path, doc: Any) -> tuple[int, str, int, int]:
    """dims, metric, next_id and version number (format version 1: 0) of a
    DistributedIndex manifest of a version this release reads."""
    if not isinstance(doc, dict) or doc.get("format") != FORMAT:
        raise _bad(top, "manifest.json is not a DistributedIndex manifest")
    version = doc.get("version")
    if not _is_count(version) or version not in READ_VERSIONS:
        raise _bad(top, f"manifest.json has version {version!r}; this lumvero reads "
                        f"versions 1 and 2")
    number = 0 if version == 1 else doc.get("index_version")
    if not _is_count(number) or not (version == 1 or 1 <= number <= MAX_INDEX_VERSION):
        raise _bad(top, f"manifest.json: index_version {number!r} is not an integer from 1 to "
                        f"{MAX_INDEX_VERSION}")
    dims, metric, next_id = doc.get("dims"), doc.get("metric"), doc.get("next_id")
    # next_id 2**63 follows the id 2**63 - 1, as in an Index's manifest.
    if not (_is_count(dims) and dims and metric in METRIC_NAMES and _is_count(next_id)
            and next_id <= 2**63):
        raise _bad(top, "manifest.json lacks valid dims, metric or next_id")
    return dims, str(metric), next_id, number


def _check_orders(top: Path, out: tuple[SavedShard, ...], next_id: int) -> None:
    """Ids and insertion numbers unique over all shards, below next_id, in
    insertion order within each shard."""
    seqs = np.concatenate([s.order[:, 1] for s in out])
    ids = np.concatenate([s.order[:, 0] for s in out])
    if seqs.size and (np.unique(seqs).size != seqs.size or np.unique(ids).size != ids.size
                      or seqs.min() < 0 or ids.min() < 0 or ids.max() >= next_id):
        raise _bad(top, "the order files repeat an id or an insertion number")
    for s in out:
        if s.order.shape[0] > 1 and not np.all(s.order[1:, 1] > s.order[:-1, 1]):
            raise _bad(top, f"the order file of shard {out.index(s)} is not in insertion order")


def new_token() -> str:
    """The name part of one save's new files."""
    return uuid.uuid4().hex


def _own(name: str) -> bool:
    """Names a DistributedIndex save writes in its directory besides the
    manifest and the lock: order files, shard directories, the manifest
    before its rename."""
    return (_ORDER_FILE.match(name) is not None or SHARD_DIRECTORY.match(name) is not None
            or TMP_MANIFEST.fullmatch(name) is not None
            or VERSION_FILE.fullmatch(name) is not None)


def check_top(directory: Path) -> None:
    """Refuses (ValueError naming the directory and what it holds) a
    directory holding a saved ``Index``, a ``build_shards`` manifest and its
    files, or files a DistributedIndex did not write. Reads only."""
    check_kind(directory, _LABEL, FORMAT, _own)


@contextmanager
def saving(directory: str | os.PathLike[str]) -> Iterator[Commit]:
    """One ``DistributedIndex`` save: the directory refused if it is of
    another kind (before anything is written), else created, locked and
    checked again, the lock held until the block ends (after the shards'
    cleanup). Yields the save's commit: its token names the new shard
    directories; folders listed in its ``folders`` are removed when the save
    fails before the manifest's rename."""
    top = Path(directory)
    with locked(top, _LABEL, check_top), Commit(top) as commit:
        yield commit


def current_saved(top: Path) -> tuple[SavedIndex | None, SavedIndex | None]:
    """The directory's current state and the one before it, where they are
    kept and read (None otherwise: nothing of a state a load refuses is
    kept). Read under the lock by a save."""
    try:
        now = read_saved(top)
    except (OSError, ValueError):
        return None, None
    try:
        before = read_saved(top, now.index_version - 1) if now.index_version > 0 else None
    except (OSError, ValueError):
        before = None
    return now, before


def write_saved(commit: Commit, dims: int, metric: str, next_id: int,
                shards: list[tuple[str, str, IdArray]], prev: SavedIndex | None) -> int:
    """Writes the order files and manifest-<N>.json, then the manifest in
    one rename, then removes the order files, shard directories and
    manifests that neither this version nor the previous one (prev) names,
    as the writer sees them (the shard directories on other nodes are swept
    by their shards). Called inside :func:`saving`; returns the version.

    Arguments:
        commit: The save's commit (from :func:`saving`).
        shards: per shard, (directory name, the BLAKE3 of the manifest of
            its state, its (id, insertion number) table).
        prev: the state the directory held (:func:`current_saved`).
    """
    entries: list[dict[str, Any]] = []
    keep: set[str] = set()
    for i, (name, digest, order) in enumerate(shards):
        order_name = f"order-{i:05d}-{commit.token}.npy"
        order_hash = commit.write(order_name, npy_bytes(order))
        entries.append({"directory": name, "blake3": digest, "rows": int(order.shape[0]),
                        "order": order_name, "order_blake3": order_hash})
        keep |= {name, order_name}
    found = [int(m.group(1)) for e in os.listdir(commit.directory)
             if (m := VERSION_FILE.fullmatch(e))]
    version = max(found + [prev.index_version if prev is not None else 0]) + 1
    doc = {"format": FORMAT, "version": FORMAT_VERSION, "index_version": version, "dims": dims,
           "metric": metric, "rows": sum(e["rows"] for e in entries), "next_id": next_id,
           "placement": PLACEMENT, "shards": entries}
    keep.add(version_file(version))
    if prev is not None:
        # The previous version stays loadable (one step of undo, and a
        # reader that read its manifest just before this commit).
        keep |= prev.names() | {version_file(prev.index_version)}
        if prev.index_version == 0:  # format version 1: its manifest kept as version 0
            (commit.directory / version_file(0)).unlink(missing_ok=True)
            commit.write(version_file(0), prev.raw)
    commit.write(version_file(version), encoded(doc))
    commit.publish(doc, keep, _own)
    return version
