"""Shard files and their manifest: the index header, content hashes and the
manifest's entries (confined to the manifest's folder). The writer that cuts
an embedding matrix into shards is ``file_shards_build``."""
import json
import mmap
import os
import struct
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Final, NamedTuple


from lumvero_contrib import _native
from lumvero_contrib.storage.files import check_regular, confined, is_hex64, is_int, open_regular

__all__ = ["MANIFEST_NAME", "MANIFEST_FORMAT", "METRIC_NAMES", "HEADER_BYTES", "MAX_SHARD_ROWS",
           "MAX_MANIFEST_BYTES", "IndexHeader", "ShardEntry", "Manifest", "Progress",
           "open_regular", "check_regular", "read_header", "file_hash", "looks_like_manifest",
           "load_manifest"]

MANIFEST_NAME: Final = "manifest.json"
MANIFEST_FORMAT: Final = 1
METRIC_NAMES: Final = ("cosine", "dot", "euclidean")
HEADER_BYTES: Final = 12
MAX_SHARD_ROWS: Final = 50_000_000  # the most rows the writer puts in one index file
# About 400,000 shards; anything larger is not a manifest this writer made.
MAX_MANIFEST_BYTES: Final = 64 << 20
# The index header holds dims and rows as 32-bit counts: a manifest's number
# beyond it names no index file (and, with the size bound above, keeps every
# row number and total far inside int64).
MAX_HEADER_COUNT: Final = 2**32 - 1
_SNIFF_BYTES: Final = 4096
_NPY_MAGIC: Final = b"\x93NUMPY"

Progress = Callable[[int, int, str, int, int], None]
"""``progress(shard, n_shards, stage, done, total)`` of :func:`build_shards`."""


class IndexHeader(NamedTuple):
    """The header of an index file and the file's size in bytes."""

    dims: int
    rows: int
    metric: str
    size: int


# ---------------------------------------------------------------------------
# Files: opening, header, content hash


def read_header(path: str | os.PathLike[str]) -> IndexHeader:
    """Reads and checks the header of an index file the way the engine checks
    it when it opens the file.

    Arguments:
        path: The index file.

    Returns:
        Its dims, rows, metric name and size in bytes.

    Raises:
        ValueError: The path is not a regular file, not an index file (too
            short for the 12-byte header, an unknown metric id, a NumPy
            ``.npy`` file), or shorter than its header says.
        OSError: The file cannot be opened.

    Examples:
        >>> dims, rows, metric, size = read_header("news_f32.bin")  # doctest: +SKIP
    """
    name = os.fspath(path)
    with open_regular(name) as f:
        size = os.fstat(f.fileno()).st_size
        head = f.read(HEADER_BYTES)
    expected = "expected a 12-byte header of dims, rows and metric id 0, 1 or 2"
    if head.startswith(_NPY_MAGIC):
        raise ValueError(f"{name}: is not a lumvero index ({expected}; this is a NumPy .npy file)")
    if len(head) < HEADER_BYTES:
        raise ValueError(f"{name}: is not a lumvero index ({expected}; the file has {size} "
                         f"byte{'' if size == 1 else 's'})")
    dims, rows, metric_id = struct.unpack("<III", head)
    if metric_id >= len(METRIC_NAMES):
        raise ValueError(f"{name}: is not a lumvero index ({expected}; found metric id "
                         f"{metric_id})")
    need = HEADER_BYTES + 4 * dims * rows
    if size < need:
        raise ValueError(f"{name}: File too small: expected {need} bytes, got {size}")
    return IndexHeader(dims, rows, METRIC_NAMES[metric_id], size)


def file_hash(path: str | os.PathLike[str],
              progress: Callable[[int, int], None] | None = None) -> str:
    """BLAKE3 of every byte of a file, computed by the engine's own BLAKE3:
    for an index file, the engine's ``index_hash``.

    Arguments:
        path: A regular file.
        progress: Called as ``progress(done, total)`` (bytes) before and
            after hashing.

    Returns:
        64 lowercase hexadecimal digits.

    Raises:
        ValueError: The path is not a regular file.
        OSError: The file cannot be read.

    Examples:
        >>> file_hash("news_f32.bin")  # doctest: +SKIP
        'a3f1...'
    """
    name = os.fspath(path)
    with open_regular(name) as f:
        total = os.fstat(f.fileno()).st_size
        if progress is not None:
            progress(0, total)
        if total == 0:
            digest = _native.blake3_hex(b"")
        else:
            with mmap.mmap(f.fileno(), total, access=mmap.ACCESS_READ) as view:
                digest = _native.blake3_hex(view)
    if progress is not None:
        progress(total, total)
    return digest


def looks_like_manifest(path: str | os.PathLike[str]) -> bool:
    """Tells a manifest from an index file by the first bytes only.

    A manifest is JSON text starting with ``{``. An index file's header
    always holds a zero byte (its metric id is 0, 1 or 2 in four bytes), and
    JSON text never does, so an index whose first byte happens to be ``{``
    (dims 123, say) is still recognised without reading it all.

    Arguments:
        path: The file given on the command line.

    Returns:
        True for text that starts like a JSON object.

    Raises:
        ValueError: The path is not a regular file.
        OSError: The file cannot be opened.

    Examples:
        >>> looks_like_manifest("shards/manifest.json")  # doctest: +SKIP
        True
    """
    with open_regular(path) as f:
        head = f.read(_SNIFF_BYTES)
    return head.lstrip(b" \t\r\n").startswith(b"{") and b"\0" not in head


# ---------------------------------------------------------------------------
# Manifest


@dataclass(frozen=True)
class ShardEntry:
    """One shard of a manifest: a row range of the whole matrix in its own
    index file, named relative to the manifest's folder and never outside it.

    Attributes:
        index: Position of the shard in the manifest.
        file: The file name as written in the manifest.
        folder: The manifest's folder, symlinks resolved.
        path: The shard file, symlinks resolved (inside ``folder``).
        first_row: Global row number of the shard's first row.
        rows: Number of rows.
        index_hash: BLAKE3 of the shard file, 64 lowercase hex digits.
    """

    index: int
    file: str
    folder: str
    path: str
    first_row: int
    rows: int
    index_hash: str

    @classmethod
    def from_json(cls, index: int, obj: object, folder: str, first_row: int) -> "ShardEntry":
        """Checks one entry of a manifest's ``"shards"`` list.

        Arguments:
            index: Position of the entry in the list.
            obj: The decoded JSON value of the entry.
            folder: The manifest's folder, symlinks resolved.
            first_row: The row the entry must start at (where the previous
                shard ended).

        Returns:
            The entry, its file resolved inside ``folder``.

        Raises:
            ValueError: The entry is malformed, does not start at
                ``first_row``, or names a file outside the folder (absolute,
                ``..`` or a symlink leading out).

        Examples:
            >>> ShardEntry.from_json(0, {"file": "s-00000_f32.bin", "first_row": 0,
            ...                          "rows": 10, "index_hash": "ab" * 32},
            ...                      "/data/shards", 0).path  # doctest: +SKIP
            '/data/shards/s-00000_f32.bin'
        """
        if not isinstance(obj, dict):
            raise ValueError(f"shard {index} is not an object")
        file, first, rows, digest = (obj.get("file"), obj.get("first_row"), obj.get("rows"),
                                     obj.get("index_hash"))
        if not isinstance(file, str) or not file:
            raise ValueError(f"shard {index} has no file name")
        if not is_int(first) or not is_int(rows) or rows < 1:
            raise ValueError(f"shard {index} ({file}) has no valid first_row and rows")
        if rows > MAX_HEADER_COUNT:
            raise ValueError(f"shard {index} ({file}) has rows {rows}; an index file holds at "
                             f"most {MAX_HEADER_COUNT}")
        if first != first_row:
            raise ValueError(f"shard {index} ({file}) starts at row {first}, expected {first_row}")
        if not is_hex64(digest):
            raise ValueError(f"shard {index} ({file}) has no valid index_hash")
        return cls(index, file, folder, confined(folder, file, f"shard {index} ({file})"), first,
                   rows, digest)

    def resolve(self) -> str:
        """The shard file's real path, checked again to lie inside the
        manifest's folder (an actor on another node checks its own file
        system before it opens the file).

        Raises:
            ValueError: The name leads out of the folder.
        """
        return confined(self.folder, self.file, self.label())

    def label(self) -> str:
        """``"shard {index} ({file})"``, the prefix of every message about it."""
        return f"shard {self.index} ({self.file})"

    def to_json(self) -> dict[str, Any]:
        """The entry as written in the manifest."""
        return {"file": self.file, "first_row": self.first_row, "rows": self.rows,
                "index_hash": self.index_hash}


@dataclass(frozen=True)
class Manifest:
    """A shard manifest: the shape and metric of the whole matrix and its
    shards, contiguous row ranges in order.

    Attributes:
        path: The manifest file as given.
        metric: ``"cosine"``, ``"dot"`` or ``"euclidean"``.
        dims: Components per row.
        rows: Rows of all shards together.
        shards: The entries, in row order.
    """

    path: str
    metric: str
    dims: int
    rows: int
    shards: tuple[ShardEntry, ...]

    @classmethod
    def from_json(cls, path: str, doc: object) -> "Manifest":
        """Checks a decoded manifest.

        Arguments:
            path: The manifest file (shard files are named relative to its
                folder).
            doc: The decoded JSON document.

        Returns:
            The manifest.

        Raises:
            ValueError: ``"{path}: not a shard manifest (...)"`` when ``doc``
                has no shard list, ``"{path}: invalid manifest: ..."`` for
                any malformed field, a shard outside the manifest's folder or
                the same file listed twice.
        """
        if not isinstance(doc, dict) or "shards" not in doc:
            raise ValueError(f"{path}: not a shard manifest (no \"shards\" list)")
        try:
            return cls._checked(path, doc)
        except ValueError as e:
            raise ValueError(f"{path}: invalid manifest: {e}") from None

    @classmethod
    def _checked(cls, path: str, doc: dict[str, Any]) -> "Manifest":
        fmt = doc.get("format")
        if not is_int(fmt) or fmt != MANIFEST_FORMAT:
            raise ValueError(f"format {fmt!r} is not {MANIFEST_FORMAT}")
        metric, dims, rows, shards = doc.get("metric"), doc.get("dims"), doc.get("rows"), \
            doc.get("shards")
        if metric not in METRIC_NAMES:
            raise ValueError(f"unknown metric {metric!r}")
        if not is_int(dims) or not 1 <= dims <= MAX_HEADER_COUNT:
            raise ValueError(f"dims {dims!r} is not an integer from 1 to {MAX_HEADER_COUNT}")
        if not is_int(rows) or rows < 1:
            raise ValueError(f"rows {rows!r} is not a positive integer")
        if not isinstance(shards, list) or not shards:
            raise ValueError("\"shards\" is not a non-empty list")
        folder = os.path.realpath(os.path.dirname(os.path.abspath(path)))
        entries: list[ShardEntry] = []
        next_row = 0
        for i, obj in enumerate(shards):
            entries.append(ShardEntry.from_json(i, obj, folder, next_row))
            next_row += entries[-1].rows
        if next_row != rows:
            raise ValueError(f"the shards hold {next_row} rows, the manifest says {rows}")
        _refuse_duplicates(entries)
        return cls(path, metric, dims, rows, tuple(entries))

    @classmethod
    def read(cls, path: str | os.PathLike[str]) -> "Manifest":
        """Reads and checks a manifest file.

        Arguments:
            path: The manifest file.

        Returns:
            The manifest.

        Raises:
            ValueError: The file is not a regular file, larger than
                ``MAX_MANIFEST_BYTES``, not JSON (or nested too deeply to
                decode), or not a valid manifest; the message starts with the
                path.
            OSError: The file cannot be read.

        Examples:
            >>> m = Manifest.read("shards/manifest.json")  # doctest: +SKIP
            >>> m.rows, len(m.shards)  # doctest: +SKIP
            (1000000, 4)
        """
        name = os.fspath(path)
        with open_regular(name) as f:
            raw = f.read(MAX_MANIFEST_BYTES + 1)
        if len(raw) > MAX_MANIFEST_BYTES:
            raise ValueError(f"{name}: not a shard manifest (larger than "
                             f"{MAX_MANIFEST_BYTES >> 20} MiB)")
        try:
            doc = json.loads(raw)
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            raise ValueError(f"{name}: not a shard manifest (invalid JSON: {e})") from None
        except RecursionError:
            raise ValueError(f"{name}: not a shard manifest (invalid JSON: nested too "
                             f"deeply)") from None
        return cls.from_json(name, doc)


def _refuse_duplicates(entries: list[ShardEntry]) -> None:
    """Two entries naming one file (by path, or by device and inode for hard
    links) would serve its rows twice under two ids."""
    seen: dict[object, ShardEntry] = {}
    for e in entries:
        keys: list[object] = [e.path]
        try:
            st = os.stat(e.path)
            keys.append((st.st_dev, st.st_ino))
        except OSError:
            pass  # a missing file is reported when it is opened
        for key in keys:
            if key in seen:
                raise ValueError(f"{e.label()} is the same file as {seen[key].label()}")
            seen[key] = e


def load_manifest(manifest_path: str | os.PathLike[str]) -> Manifest:
    """Reads and checks a shard manifest (``Manifest.read``).

    Raises:
        ValueError: Anything malformed, naming the manifest (and the shard).
        OSError: The file cannot be read.

    Examples:
        >>> load_manifest("shards/manifest.json").metric  # doctest: +SKIP
        'cosine'
    """
    return Manifest.read(manifest_path)
