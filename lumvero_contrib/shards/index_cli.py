"""``lumvero-index info``, ``verify`` and ``search`` on a directory: one
``Index.save`` wrote, one ``DistributedIndex.save`` wrote, or one holding a
``build_shards`` manifest (which the command reads as that manifest).

Every name and number of a manifest is checked by the readers the index
itself loads through (``Saved``, ``read_saved``, ``Manifest``) before it is
printed or used: names confined to the directory, regular files only, counts
bounded by the files."""
from __future__ import annotations

import os
import warnings
from pathlib import Path
from typing import Final, NamedTuple

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib.storage.distributed_dir import FORMAT as DISTRIBUTED_FORMAT
from lumvero_contrib.storage.distributed_dir import FORMAT_VERSION as DISTRIBUTED_VERSION
from lumvero_contrib.storage.distributed_dir import SavedIndex, _read_json, read_saved
from lumvero_contrib.storage.file_shards import file_hash
from lumvero_contrib.storage.files import confined
from lumvero_contrib.storage.commit import MANIFEST
from lumvero_contrib.storage.index_layout import FORMAT as INDEX_FORMAT
from lumvero_contrib.storage.index_manifest import read_manifest, with_hash
from lumvero_contrib.storage.index_read import Gone, Loaded, Saved

__all__ = ["KINDS", "directory_kind", "directory_info", "verify_directory", "search_directory"]

KINDS: Final = {"index": "Index directory", "distributed": "DistributedIndex directory",
                "shards": "build_shards manifest"}


def directory_kind(path: str | os.PathLike[str]) -> str:
    """``"index"``, ``"distributed"`` or ``"shards"`` (a ``build_shards``
    directory): what the directory's manifest.json says it is.

    Raises:
        ValueError: manifest.json leads out of the directory, or is none of
            the three.
        FileNotFoundError: No manifest.json in the directory.
    """
    top = Path(path)
    confined(os.path.realpath(top), MANIFEST, str(top / MANIFEST), "the directory")
    doc = _read_json(top / MANIFEST)
    fmt = doc.get("format") if isinstance(doc, dict) else None
    if fmt == INDEX_FORMAT:
        return "index"
    if fmt == DISTRIBUTED_FORMAT:
        return "distributed"
    if isinstance(doc, dict) and "shards" in doc and not isinstance(fmt, str):
        return "shards"  # Manifest.read tells what is wrong with it, if anything
    raise ValueError(f"{top / MANIFEST}: not the manifest of a saved Index or DistributedIndex "
                     f"nor of build_shards (format {fmt!r})")


def _open_saved(directory: Path, name: str = MANIFEST) -> tuple[bytes, Saved]:
    raw = read_manifest(directory, name)
    return raw, Saved(directory, raw, name=name)


def _listed(saved: Saved) -> list[tuple[str, str]]:
    """(file, BLAKE3) of every file the manifest names: each row file and its
    codes file, the ids, the removed rows."""
    return saved.files()


def _shard_directories(saved: SavedIndex) -> None:
    """Refuses a shard directory that leads out of the top directory."""
    top = os.path.realpath(saved.path)
    for i, s in enumerate(saved.shards):
        confined(top, s.name, f"sharded index directory {saved.path}: shard {i} ({s.name})",
                 "the directory")


def directory_info(path: str, kind: str) -> list[str]:
    """The lines of ``info`` for an ``"index"`` or ``"distributed"``
    directory: kind, format version, shape, metric, files and hashes."""
    top = Path(path)
    lines = [f"path: {os.path.abspath(path)}"]
    if kind == "index":
        raw, saved = _open_saved(top)
        removed = int(saved.removed_rows().size)
        lines += [f"kind: {KINDS[kind]}, format version {saved.format_version}, version "
                  f"{saved.index_version}", f"dims: {saved.dims}",
                  f"rows: {saved.stored - removed} ({saved.stored} stored, {removed} removed)",
                  f"metric: {saved.metric}", f"next_id: {saved.next_id}",
                  f"hash: {_native.blake3_hex(raw)} (manifest file)", "files:"]
        return lines + [f"  {name} {digest}" for name, digest in _listed(saved)]
    dist = read_saved(top)
    _shard_directories(dist)
    lines += [f"kind: {KINDS[kind]}, format version {_format_version(dist)}, version "
              f"{dist.index_version}", f"dims: {dist.dims}",
              f"rows: {sum(s.rows for s in dist.shards)}", f"metric: {dist.metric}",
              f"next_id: {dist.next_id}", f"shards: {len(dist.shards)}",
              f"hash: {file_hash(top / MANIFEST)} (manifest file)", "shard directories:"]
    return lines + [f"  {i}: {s.name} rows {s.rows} {s.blake3}"
                    for i, s in enumerate(dist.shards)]


def _format_version(dist: SavedIndex) -> int:
    return 1 if dist.index_version == 0 else DISTRIBUTED_VERSION


def _file_fault(saved: Saved, name: str, digest: str) -> str | None:
    """Why a listed file does not match the manifest, or None."""
    try:
        f, real, _ = saved.open(name)  # confined, regular, not another listed file
    except Gone:
        return "file missing"
    except ValueError as e:
        return str(e).removeprefix(f"index directory {saved.directory}: ").removeprefix(
            f"{name} ")
    f.close()
    got = file_hash(real)
    return None if got == digest else f"hash {got}, manifest {digest}"


def _load_check(directory: Path, raw: bytes) -> Loaded | str:
    """The directory read as Index.load reads it (rows mapped), or why it
    does not load: a manifest whose numbers disagree with its files."""
    try:
        with warnings.catch_warnings():
            # A codes file the loader would set aside fails here.
            warnings.simplefilter("error", RuntimeWarning)
            return Saved(directory, raw).read(mmap=True)
    except Gone as e:
        return f"{e.name}: file missing"
    except (ValueError, RuntimeWarning) as e:
        return str(e)


class _Checked(NamedTuple):
    lines: list[str]
    files: int  # files the manifest names
    failed: int  # of them, those that do not match
    loaded: Loaded | None  # the state as a load reads it, when all is well


def _verify_index(directory: Path, label: str, name: str = MANIFEST) -> _Checked:
    """Every file of an Index directory against its manifest, then the
    whole as a load reads it.

    Raises:
        ValueError: The manifest itself is refused (named).
        OSError: It cannot be read.
    """
    raw, saved = _open_saved(directory, name)
    lines, files = [], _listed(saved)
    for name, digest in files:
        why = _file_fault(saved, name, digest)
        lines.append(f"FAILED {label}{name}: {why}" if why else f"ok {label}{name}: {digest}")
    failed = sum(line.startswith("FAILED") for line in lines)
    if failed:
        return _Checked(lines, len(files), failed, None)
    loaded = _load_check(directory, raw)
    if isinstance(loaded, str):
        return _Checked(lines + [f"FAILED {label}{loaded}"], len(files), 0, None)
    return _Checked(lines, len(files), 0, loaded)


def _verify_shard(saved: SavedIndex, i: int) -> tuple[bool, list[str]]:
    s = saved.shards[i]
    label = f"shard {i} ({s.name})"
    try:
        confined(os.path.realpath(saved.path), s.name, label, "the directory")
        name, _ = with_hash(Path(s.directory), s.blake3)  # its state: current or kept
        checked = _verify_index(Path(s.directory), f"{label} ", name)
    except (OSError, ValueError) as e:
        return False, [f"FAILED {label}: {e}"]
    loaded = checked.loaded
    if loaded is not None and not np.array_equal(loaded.ids[loaded.live], s.order[:, 0]):
        return False, checked.lines + [f"FAILED {label}: its live rows are not the ones the "
                                       f"sharded manifest lists"]
    return loaded is not None, checked.lines


def verify_directory(path: str, kind: str) -> tuple[bool, list[str]]:
    """(all match, lines) of ``verify``: every file an ``"index"``
    directory's manifest names (row files, codes files, ids, removed rows) by
    BLAKE3, then the directory as a load reads it; for a ``"distributed"``
    one, each shard directory's manifest against the sharded manifest, then
    that shard the same way.

    Raises:
        ValueError: The (top) manifest is refused; the message names it.
        OSError: It cannot be read.
    """
    top = Path(path)
    if kind == "index":
        c = _verify_index(top, "")
        if c.loaded is not None:
            return True, c.lines + [f"all {c.files} files match the manifest"]
        return False, c.lines + [f"{c.failed} of {c.files} files failed verification" if c.failed
                                 else "the files match their hashes but do not load as an Index"]
    saved = read_saved(top)  # checks the order files' hashes
    bad, lines = 0, []
    for i in range(len(saved.shards)):
        ok, shard_lines = _verify_shard(saved, i)
        bad += not ok
        lines += shard_lines
    n = len(saved.shards)
    lines.append(f"{bad} of {n} shards failed verification" if bad else
                 f"all {n} shards match the manifest")
    return not bad, lines


def search_directory(path: str, kind: str, queries: npt.NDArray[np.float32], k: int,
                     backend: str, ray_address: str | None,
                     timeout: float | None) -> tuple[str, npt.NDArray[np.float32],
                                                     npt.NDArray[np.int64]]:
    """(metric, scores, ids) of the saved index's answer to the queries (for
    cosine, each query scaled to unit length by the index)."""
    from lumvero_contrib.index import Index
    from lumvero_contrib.shards.distributed import DistributedIndex

    if kind == "index" and backend == "local":
        ix = Index.load(path)
        scores, ids = ix.search(queries, k)
        return ix.metric, scores, ids
    with DistributedIndex.load(path, backend=backend,  # type: ignore[arg-type]
                               ray_address=ray_address, timeout=timeout) as dx:
        scores, ids = dx.search(queries, k)
        return dx.metric, scores, ids
