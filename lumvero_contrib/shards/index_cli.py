"""``lumvero-index info``, ``verify`` and ``search`` on a directory: one
``Index.save`` wrote, or one ``DistributedIndex.save`` wrote."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from lumvero_contrib.storage.files import open_regular
from lumvero_contrib.storage.index_dir import MANIFEST
from lumvero_contrib.storage.distributed_dir import _read_json, read_saved, saved_kind
from lumvero_contrib.storage.file_shards import file_hash

__all__ = ["directory_info", "verify_directory", "search_directory"]


def _index_files(directory: Path) -> tuple[dict[str, Any], list[tuple[str, str]]]:
    """An Index directory's manifest and its (file, BLAKE3) list."""
    doc = _read_json(directory / MANIFEST)
    try:
        files = [(str(f["file"]), str(f["blake3"])) for f in doc["row_files"]]
        files += [(str(doc[part]["file"]), str(doc[part]["blake3"])) for part in ("ids",
                                                                              "removed")]
    except (KeyError, TypeError) as e:
        raise ValueError(f"{directory / MANIFEST}: lacks or mistypes {e}") from None
    return doc, files


def directory_info(path: str) -> list[str]:
    """The lines of ``info``: kind, shape, metric, files and hashes."""
    top = Path(path)
    kind = saved_kind(top)
    lines = [f"path: {os.path.abspath(path)}"]
    if kind == "index":
        doc, files = _index_files(top)
        with open_regular(top / files[-1][0]) as f:
            removed = int(np.load(f, allow_pickle=False).shape[0])
        stored = int(doc.get("rows", 0))
        lines += ["kind: Index directory", f"dims: {doc.get('dims')}",
                  f"rows: {stored - removed} ({stored} stored, {removed} removed)",
                  f"metric: {doc.get('metric')}", f"next_id: {doc.get('next_id')}",
                  f"hash: {file_hash(top / MANIFEST)} (manifest file)", "files:"]
        lines += [f"  {name} {digest}" for name, digest in files]
        return lines
    saved = read_saved(top)
    lines += ["kind: sharded Index directory", f"dims: {saved.dims}",
              f"rows: {sum(s.rows for s in saved.shards)}", f"metric: {saved.metric}",
              f"next_id: {saved.next_id}", f"shards: {len(saved.shards)}",
              f"hash: {file_hash(top / MANIFEST)} (manifest file)", "shard directories:"]
    lines += [f"  {i}: {s.name} rows {s.rows} {s.blake3}" for i, s in enumerate(saved.shards)]
    return lines


def _verify_index(directory: Path, label: str) -> tuple[int, list[str]]:
    """(failures, lines): every file of an Index directory against its
    manifest."""
    _, files = _index_files(directory)
    bad, lines = 0, []
    for name, digest in files:
        p = directory / name
        if os.sep in name or not p.is_file() or p.is_symlink():
            lines.append(f"FAILED {label}{name}: file missing")
            bad += 1
            continue
        got = file_hash(p)
        if got != digest:
            lines.append(f"FAILED {label}{name}: hash {got}, manifest {digest}")
            bad += 1
        else:
            lines.append(f"ok {label}{name}: {got}")
    return bad, lines


def verify_directory(path: str) -> tuple[bool, list[str]]:
    """(all match, lines) of ``verify``: every file's BLAKE3 against the
    manifest that names it (for a sharded directory, each shard directory's
    manifest against the sharded manifest first)."""
    from lumvero_contrib.storage.index_dir import directory_hash

    top = Path(path)
    if saved_kind(top) == "index":
        bad, lines = _verify_index(top, "")
        lines.append(f"{bad} of {len(lines)} files failed verification" if bad else
                     f"all {len(lines)} files match the manifest")
        return not bad, lines
    saved = read_saved(top)  # checks the order files' hashes
    bad, lines = 0, []
    for i, s in enumerate(saved.shards):
        label = f"shard {i} ({s.name})"
        try:
            got = directory_hash(s.directory)
        except (OSError, ValueError) as e:
            lines.append(f"FAILED {label}: {e}")
            bad += 1
            continue
        if got != s.blake3:
            lines.append(f"FAILED {label}: manifest.json hash {got}, sharded manifest {s.blake3}")
            bad += 1
            continue
        n, shard_lines = _verify_index(Path(s.directory), f"{label} ")
        bad += 1 if n else 0
        lines += shard_lines
    n = len(saved.shards)
    lines.append(f"{bad} of {n} shards failed verification" if bad else
                 f"all {n} shards match the manifest")
    return not bad, lines


def search_directory(path: str, queries: npt.NDArray[np.float32], k: int, backend: str,
                     ray_address: str | None,
                     timeout: float | None) -> tuple[str, npt.NDArray[np.float32],
                                                     npt.NDArray[np.int64]]:
    """(metric, scores, ids) of the saved index's answer to the queries."""
    from lumvero_contrib.index import Index
    from lumvero_contrib.shards.distributed import DistributedIndex

    if saved_kind(path) == "index" and backend == "local":
        ix = Index.load(path)
        scores, ids = ix.search(queries, k)
        return ix.metric, scores, ids
    with DistributedIndex.load(path, backend=backend,  # type: ignore[arg-type]
                               ray_address=ray_address, timeout=timeout) as dx:
        scores, ids = dx.search(queries, k)
        return dx.metric, scores, ids
