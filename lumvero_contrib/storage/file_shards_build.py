"""The writer of shard files: ``build_shards`` cuts an embedding matrix into
contiguous row ranges, writes each as an index file and then the manifest
naming them, replaced in one rename."""
import io
import json
import operator
import os
import uuid
from collections.abc import Callable
from pathlib import Path
from typing import Any, Final, cast

import numpy as np
from numpy.typing import NDArray

import lumvero
from lumvero_contrib.storage.file_shards import (MANIFEST_FORMAT, MANIFEST_NAME, MAX_SHARD_ROWS,
                                                 Progress, file_hash, read_header)
from lumvero_contrib.storage.files import fsync_dir

__all__ = ["shard_bounds", "build_shards"]

_LEVEL: Final = "f32"
_IO_CHUNK: Final = 64 << 20


def _write_json_atomic(path: str, doc: dict[str, Any]) -> None:
    """Temporary file in the same directory, written and flushed to disk by
    the durable-write helper ``Index.save`` uses too, then renamed: a reader
    sees the old manifest or the new one, never a partial one. The directory
    is flushed before the rename (so the shard files it names are there
    after a crash) and after it. The file is created with mode 0666 less the
    umask, like the shard files."""
    from lumvero_contrib.storage.commit import write_file

    directory = Path(os.path.dirname(os.path.abspath(path)))
    text = io.StringIO()
    json.dump(doc, text, indent=2)
    text.write("\n")
    written: list[Path] = []
    while True:
        tmp = directory / f".manifest-{uuid.uuid4().hex}.tmp"
        try:
            write_file(tmp, written, text.getvalue().encode())
            break
        except FileExistsError:  # pragma: no cover - a 128-bit name collision
            written.clear()
            continue
        except BaseException:
            tmp.unlink(missing_ok=True)
            raise
    try:
        fsync_dir(directory)
        os.replace(tmp, path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
    fsync_dir(directory)


# ---------------------------------------------------------------------------
# Building


def shard_bounds(rows: int, n_shards: int) -> list[tuple[int, int]]:
    """Contiguous balanced row ranges.

    Arguments:
        rows: Rows of the whole matrix.
        n_shards: Number of ranges.

    Returns:
        ``[(first, end), ...]``: the first ``rows % n_shards`` ranges hold
        one row more than the others.

    Examples:
        >>> shard_bounds(10, 3)
        [(0, 4), (4, 7), (7, 10)]
    """
    base, extra = divmod(rows, n_shards)
    out, first = [], 0
    for i in range(n_shards):
        end = first + base + (1 if i < extra else 0)
        out.append((first, end))
        first = end
    return out


def _touch_pages(part: NDArray[np.float32], report: Callable[[int], None]) -> None:
    """Reads a memory-mapped shard once, chunk by chunk, so its pages are in
    the page cache before the writer copies them (and progress shows while
    the file is read)."""
    rows = part.shape[0]
    row_bytes = part.itemsize * part.shape[1]
    step = max(1, _IO_CHUNK // max(row_bytes, 1))
    for a in range(0, rows, step):
        b = min(rows, a + step)
        np.bitwise_or.reduce(part[a:b].view(np.uint32), axis=None)
        report((b - a) * row_bytes)


def _check_embeddings(X: object, n_shards: int) -> NDArray[np.float32]:
    if not isinstance(X, np.ndarray):
        raise TypeError(f"embeddings must be a NumPy array, got {type(X).__name__}")
    if X.ndim != 2:
        raise ValueError(f"embeddings must be two-dimensional (rows, dims), got {X.ndim} "
                         f"dimension{'s' if X.ndim != 1 else ''}")
    if X.dtype != np.float32:
        raise TypeError(f"embeddings must be float32, got {X.dtype}")
    rows, dims = X.shape
    if rows == 0 or dims == 0:
        raise ValueError(f"embeddings are empty (shape {rows}×{dims})")
    if not 1 <= n_shards <= rows:
        raise ValueError(f"n_shards must be between 1 and the row count {rows}, got {n_shards}")
    if -(-rows // n_shards) > MAX_SHARD_ROWS:
        raise ValueError(f"{rows} rows need at least {-(-rows // MAX_SHARD_ROWS)} shards "
                         f"(at most {MAX_SHARD_ROWS} rows per shard), got {n_shards}")
    return X


def _write_shard(part: NDArray[np.float32], i: int, n_shards: int, file_name: str, out_dir: str,
                 metric: str, normalize: bool, report: Progress) -> str:
    """Writes one shard (reading a memory-mapped range first); returns its
    path."""
    rows, dims = part.shape
    nbytes = rows * dims * 4
    if isinstance(part, np.memmap):
        done = [0]

        def read(n: int) -> None:
            done[0] += n
            report(i, n_shards, "read", done[0], nbytes)

        _touch_pages(part, read)
    if not (part.flags.c_contiguous or part.flags.f_contiguous):
        part = np.ascontiguousarray(part)
    report(i, n_shards, "write", 0, nbytes)
    # The module checks the metric's spelling (any case).
    path = lumvero.py_prepare_bin_from_embeddings(part, dims, rows, file_name, _LEVEL,
                                                  normalize=normalize, metric=cast(Any, metric),
                                                  output_dir=out_dir)
    report(i, n_shards, "write", nbytes, nbytes)
    return path


def build_shards(embeddings: NDArray[np.float32], out_dir: str | os.PathLike[str], n_shards: int,
                 metric: str = "cosine", normalize: bool = False, name: str = "shard",
                 progress: Progress | None = None) -> str:
    """Writes an embedding matrix as shard files and their manifest.

    The shards are contiguous, balanced row ranges, written one at a time (so
    a memory-mapped matrix larger than memory works); ``manifest.json`` is
    written last, atomically.

    Arguments:
        embeddings: A float32 (rows, dims) array, in memory or memory-mapped.
        out_dir: Folder for the shard files and the manifest (created).
        n_shards: Number of shards, 1 to rows (at most 50,000,000 rows each).
        metric: Any spelling the module accepts ("cosine", "dot", "l2", ...).
        normalize: Scale rows to unit length (always done for cosine).
        name: Base name of the shard files (``{name}-00000_f32.bin``, ...).
        progress: Called as ``progress(shard, n_shards, stage, done, total)``
            as each shard is read ("read", memory-mapped input only),
            written ("write") and hashed ("hash"); done and total are bytes.

    Returns:
        The manifest's path.

    Raises:
        TypeError: ``embeddings`` is not a float32 NumPy array.
        ValueError: An empty matrix, a shard count out of range, or a
            metric or name the module refuses.
        OSError: Writing failed.

    Examples:
        >>> X = np.random.default_rng(0).standard_normal((1000, 64), np.float32)
        >>> build_shards(X, "shards", 4, metric="cosine")  # doctest: +SKIP
        'shards/manifest.json'
    """
    n_shards = operator.index(n_shards)
    X = _check_embeddings(embeddings, n_shards)
    rows, dims = X.shape
    folder = os.fspath(out_dir)
    os.makedirs(folder, exist_ok=True)
    width = max(5, len(str(n_shards - 1)))
    report: Progress = progress or (lambda *a: None)
    entries, metric_name = [], ""
    for i, (first, end) in enumerate(shard_bounds(rows, n_shards)):
        path = _write_shard(X[first:end], i, n_shards, f"{name}-{i:0{width}d}", folder, metric,
                            normalize, report)
        digest = file_hash(path, progress=lambda d, t: report(i, n_shards, "hash", d, t))
        metric_name = read_header(path).metric
        entries.append({"file": os.path.basename(path), "first_row": first, "rows": end - first,
                        "index_hash": digest})
    manifest = {"format": MANIFEST_FORMAT, "metric": metric_name, "dims": dims, "rows": rows,
                "shards": entries}
    manifest_path = os.path.join(folder, MANIFEST_NAME)
    _write_json_atomic(manifest_path, manifest)
    return manifest_path
