"""The directory ``DistributedIndex.save`` writes: one saved ``Index``
directory per shard, per shard the global insertion order of its live rows,
and ``manifest.json`` naming them with their BLAKE3 hashes, written last and
replaced in one rename."""
from __future__ import annotations

import io
import json
import os
import re
import shutil
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Final, TypeGuard

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib.storage.files import fsync_dir, read_small
from lumvero_contrib.storage.index_dir import FORMAT as INDEX_FORMAT
from lumvero_contrib.storage.index_dir import MANIFEST, npy_bytes, write_file
from lumvero_contrib.storage.file_shards import MAX_MANIFEST_BYTES, METRIC_NAMES

__all__ = ["FORMAT", "FORMAT_VERSION", "PLACEMENT", "SavedShard", "SavedIndex", "read_saved",
           "write_saved", "saved_kind", "index_summary", "new_token", "SHARD_DIRECTORY"]

# A shard's saved directory inside a sharded save: shard number and the
# save's token, so a new save never writes into the directory of the last.
SHARD_DIRECTORY: Final = re.compile(r"^shard-(\d{5})-[0-9a-f]{32}$")


IdArray = npt.NDArray[np.int64]

FORMAT: Final = "lumvero_contrib.DistributedIndex"
FORMAT_VERSION: Final = 1
PLACEMENT: Final = "fewest-live-rows"
_ORDER_FILE: Final = re.compile(r"^order-(\d{5})-[0-9a-f]{32}\.npy$")
_NPY_HEADER: Final = 4096
_TMP_FILE: Final = re.compile(r"^manifest\.json\.tmp-[0-9a-f]{32}$")


@dataclass(frozen=True)
class SavedShard:
    """One shard of a saved ``DistributedIndex``.

    Attributes:
        directory: Its saved ``Index`` directory, absolute.
        name: The directory's name as written in the manifest.
        blake3: BLAKE3 of that directory's ``manifest.json``.
        rows: Its live rows.
        order: (live rows, 2) int64: per live row in the shard's insertion
            order, its id and its global insertion number.
    """

    directory: str
    name: str
    blake3: str
    rows: int
    order: IdArray


@dataclass(frozen=True)
class SavedIndex:
    """A saved ``DistributedIndex``, checked."""

    path: str
    dims: int
    metric: str
    next_id: int
    shards: tuple[SavedShard, ...]


def _read_json(path: Path) -> Any:
    """The manifest's JSON, read through a bounded read of a regular file."""
    try:
        raw = read_small(path, MAX_MANIFEST_BYTES)
    except FileNotFoundError:
        raise FileNotFoundError(f"{path.parent}: is a directory without manifest.json (not "
                                f"a saved Index or DistributedIndex)") from None
    try:
        return json.loads(raw)
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


def index_summary(directory: str | os.PathLike[str]) -> tuple[int, str, int]:
    """dims, metric and next id of a directory ``Index.save`` wrote (its
    files are checked by ``Index.load``).

    Raises:
        ValueError: The manifest lacks them.
    """
    path = Path(directory) / MANIFEST
    doc = _read_json(path)
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


def _read_order(directory: Path, order: str, order_hash: str, rows: int) -> IdArray:
    """A shard's (rows, 2) table of ids and insertion numbers; rows is
    bounded by the file's size before anything is read."""
    path = directory / order
    if path.is_symlink():
        raise _bad(directory, f"{order} is missing")
    try:  # read once: the bytes hashed are the bytes decoded
        if 16 * rows > os.stat(path).st_size:
            raise ValueError("shorter than its rows")
        raw = read_small(path, _NPY_HEADER + 16 * rows)
    except FileNotFoundError:
        raise _bad(directory, f"{order} is missing") from None
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
    return SavedShard(str(directory / name), name, str(digest), int(rows), table)


def _header(top: Path, doc: Any) -> tuple[int, str, int]:
    """dims, metric and next_id of a DistributedIndex manifest of this
    version."""
    if not isinstance(doc, dict) or doc.get("format") != FORMAT:
        raise _bad(top, "manifest.json is not a DistributedIndex manifest")
    version = doc.get("version")
    if not _is_count(version) or version != FORMAT_VERSION:
        raise _bad(top, f"manifest.json has version {version!r}; this lumvero reads "
                        f"version {FORMAT_VERSION}")
    dims, metric, next_id = doc.get("dims"), doc.get("metric"), doc.get("next_id")
    # next_id 2**63 follows the id 2**63 - 1, as in an Index's manifest.
    if not (_is_count(dims) and dims and metric in METRIC_NAMES and _is_count(next_id)
            and next_id <= 2**63):
        raise _bad(top, "manifest.json lacks valid dims, metric or next_id")
    return dims, str(metric), next_id


def read_saved(directory: str | os.PathLike[str]) -> SavedIndex:
    """Reads and checks a saved ``DistributedIndex``'s manifest and order
    files (the shard directories are checked by the shards that load them).

    Raises:
        ValueError: A malformed manifest, a missing or altered order file, or
            insertion numbers that repeat (the message names the directory).
        FileNotFoundError: No manifest in the directory.
    """
    top = Path(os.path.abspath(directory))
    doc = _read_json(top / MANIFEST)
    dims, metric, next_id = _header(top, doc)
    shards = doc.get("shards")
    if not isinstance(shards, list) or not shards:
        raise _bad(top, "manifest.json lists no shards")
    out = tuple(_shard(top, i, e) for i, e in enumerate(shards))
    seqs = np.concatenate([s.order[:, 1] for s in out])
    ids = np.concatenate([s.order[:, 0] for s in out])
    if seqs.size and (np.unique(seqs).size != seqs.size or np.unique(ids).size != ids.size
                      or seqs.min() < 0 or ids.min() < 0 or ids.max() >= next_id):
        raise _bad(top, "the order files repeat an id or an insertion number")
    for s in out:
        if s.order.shape[0] > 1 and not np.all(s.order[1:, 1] > s.order[:-1, 1]):
            raise _bad(top, f"the order file of shard {out.index(s)} is not in insertion order")
    return SavedIndex(str(top), int(dims), str(metric), int(next_id), out)


def new_token() -> str:
    """The name part of one save's new files."""
    return uuid.uuid4().hex


def write_saved(directory: str | os.PathLike[str], token: str, dims: int, metric: str,
                next_id: int, shards: list[tuple[str, str, IdArray]]) -> None:
    """Writes the order files, then the manifest in one rename, then removes
    the files of earlier saves the writer sees (the shard directories on
    other nodes are swept by their shards).

    Arguments:
        shards: per shard, (directory name, its ``directory_hash``, its
            (id, insertion number) table).
    """
    top = Path(directory)
    top.mkdir(parents=True, exist_ok=True)
    entries: list[dict[str, Any]] = []
    keep: set[str] = set()
    written: list[Path] = []
    try:
        for i, (name, digest, order) in enumerate(shards):
            order_name = f"order-{i:05d}-{token}.npy"
            order_hash = write_file(top / order_name, written, npy_bytes(order))
            entries.append({"directory": name, "blake3": digest, "rows": int(order.shape[0]),
                            "order": order_name, "order_blake3": order_hash})
            keep |= {name, order_name}
        doc = {"format": FORMAT, "version": FORMAT_VERSION, "dims": dims, "metric": metric,
               "rows": sum(e["rows"] for e in entries), "next_id": next_id, "placement": PLACEMENT,
               "shards": entries}
        tmp = top / f"{MANIFEST}.tmp-{token}"
        write_file(tmp, written, (json.dumps(doc, indent=1) + "\n").encode())
        fsync_dir(top)
        os.replace(tmp, top / MANIFEST)
    except BaseException:
        # Nothing of a failed save stays behind; the previous one is intact.
        for p in written:
            p.unlink(missing_ok=True)
        raise
    fsync_dir(top)
    for name in os.listdir(top):
        path = top / name
        if name in keep or path.is_symlink():
            continue
        if _ORDER_FILE.match(name) or _TMP_FILE.match(name):
            path.unlink(missing_ok=True)
        elif SHARD_DIRECTORY.match(name) and path.is_dir():
            shutil.rmtree(path, ignore_errors=True)
