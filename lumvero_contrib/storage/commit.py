"""The one way a saved directory is replaced, for every writer (``Index.save``
and ``DistributedIndex.save``): a directory of another kind is refused before
anything is written; then, under the directory's lock, the new files are
written under fresh names and reach the disk, the manifest naming them
replaces the old one in one rename, and the files and folders of the
writer's own kinds that it no longer keeps are removed (an ``Index`` keeps
the files of its previous version too).

Saves into one directory run one at a time, across threads and processes:
each holds an exclusive ``flock`` on ``save.lock`` from before it looks at
the directory until its cleanup is done. Loaders take no lock; they read the
manifest, then the files it names, and start over when a file has gone
(a save replaced the state meanwhile)."""
from __future__ import annotations

import fcntl
import json
import os
import re
import shutil
import stat
import uuid
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Final

import numpy as np

from lumvero_contrib import _native
from lumvero_contrib.storage.files import fsync_dir, open_regular

__all__ = ["LOCK", "MANIFEST", "SAVED_KINDS", "TMP_MANIFEST", "save_lock", "locked", "check_kind",
           "write_file", "manifest_bytes", "Commit", "remove_unnamed"]

MANIFEST: Final = "manifest.json"
LOCK: Final = "save.lock"
# A manifest being written, before its rename (the token of its save).
TMP_MANIFEST: Final = re.compile(rf"{re.escape(MANIFEST)}\.tmp-[0-9a-f]{{32}}")
# The manifests' "format", per kind of saved directory, and the kind's name.
SAVED_KINDS: Final = {"lumvero_contrib.Index": "Index",
                      "lumvero_contrib.DistributedIndex": "DistributedIndex"}
# Only the format is wanted from a manifest read to tell its kind.
_KIND_BYTES: Final = 64 << 20


@contextmanager
def save_lock(directory: Path, label: str = "index directory") -> Iterator[None]:
    """Holds the directory's lock file (exclusive flock): one save at a time,
    across threads and processes. Creates the lock file when missing."""
    path = directory / LOCK
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                     0o666)
    except OSError as e:
        if os.path.islink(path):
            raise ValueError(f"{label} {directory}: {LOCK} is a symlink") from None
        raise e
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"{label} {directory}: {LOCK} is not a regular file")
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)  # releases the lock


@contextmanager
def locked(directory: Path, label: str, check: Callable[[Path], None]) -> Iterator[None]:
    """The directory created when missing and locked, checked by ``check``
    (which raises ValueError for a directory the writer must not touch)
    before the lock, reading only, so a refused directory is left
    byte-identical (no lock file), and again under the lock, where no other
    save changes it."""
    if directory.is_dir():
        check(directory)
    directory.mkdir(parents=True, exist_ok=True)
    with save_lock(directory, label):
        check(directory)
        yield


def _manifest_format(directory: Path, label: str) -> tuple[object, str | None]:
    """The manifest's "format" (None when there is no manifest) and, when the
    manifest cannot be read as JSON, why."""
    if not os.path.lexists(directory / MANIFEST):
        return None, None
    try:
        with open_regular(directory / MANIFEST) as f:
            raw = f.read(_KIND_BYTES + 1)
        if len(raw) > _KIND_BYTES:
            return None, "larger than any manifest lumvero_contrib writes"
        doc = json.loads(raw)
    except (ValueError, RecursionError) as e:  # JSON, encoding and not-a-regular-file errors
        return None, str(e) or type(e).__name__
    except FileNotFoundError:
        return None, None
    return (doc.get("format") if isinstance(doc, dict) else None), None


def check_kind(directory: Path, label: str, own_format: str, own: Callable[[str], bool]) -> None:
    """Refuses (ValueError naming the directory and what it holds) a
    directory that is not new, empty, or one this kind of writer saved to:
    one whose manifest is another kind's (an ``Index``'s for a
    ``DistributedIndex`` and the reverse), one holding files this writer
    does not write (``own`` tells its names; the lock and the manifest are
    everyone's), or a manifest that is not this writer's (a shard manifest of
    ``build_shards``, anything else). Reads only."""
    name = SAVED_KINDS[own_format]
    article = "an" if name[0] in "AEIOU" else "a"
    retry = f"save into a new or empty directory, or one {article} {name} was saved to"
    found, unreadable = _manifest_format(directory, label)
    if found != own_format and isinstance(found, str) and found in SAVED_KINDS:
        other = SAVED_KINDS[found]
        raise ValueError(f"{label} {directory}: holds a saved {other} (its {MANIFEST} is "
                         f"{'an' if other[0] in 'AEIOU' else 'a'} {other}'s); {retry}")
    foreign = sorted(e for e in os.listdir(directory)
                     if not (own(e) or e in (MANIFEST, LOCK)))
    if foreign:
        shown = ", ".join(foreign[:5]) + (", ..." if len(foreign) > 5 else "")
        raise ValueError(f"{label} {directory}: holds files {article} {name} did not write "
                         f"({shown}); {retry}")
    if unreadable is not None or (os.path.lexists(directory / MANIFEST) and found != own_format):
        why = unreadable or f"not {article} {name} manifest"
        raise ValueError(f"{label} {directory}: its {MANIFEST} is not one {article} {name} "
                         f"wrote ({why}); save into a new or empty directory")


def write_file(path: Path, written: list[Path], *chunks: bytes | memoryview | np.ndarray[Any, Any]
               ) -> str:
    """Writes and fsyncs a new file, listed in ``written`` before it exists so
    a failed save removes it; returns its BLAKE3 from the bytes written."""
    written.append(path)
    with open(path, "xb") as f:
        for chunk in chunks:
            f.write(chunk.data.cast("B") if isinstance(chunk, np.ndarray) else chunk)
        f.flush()
        os.fsync(f.fileno())
    return _native.blake3_hex(*chunks)


def manifest_bytes(manifest: dict[str, Any]) -> bytes:
    """A manifest as every writer writes it."""
    return (json.dumps(manifest, indent=1) + "\n").encode()


def _remove(path: Path) -> None:
    """A file or link unlinked, a real directory removed with its contents,
    its manifest first (a load reading it meanwhile finds no manifest, not a
    manifest whose files are going); failures are left to the next save."""
    try:
        if path.is_dir() and not path.is_symlink():
            try:
                (path / MANIFEST).unlink(missing_ok=True)
            except OSError:
                pass
            shutil.rmtree(path, ignore_errors=True)
        else:
            path.unlink(missing_ok=True)
    except OSError:
        pass


def remove_unnamed(directory: Path, keep: set[str], own: Callable[[str], bool]) -> int:
    """Removes the entries of the directory that are of the writer's own
    kinds (``own``: files, or folders removed with their contents) and not in
    ``keep``: what earlier saves wrote that the manifest just committed no
    longer names. Run under the lock. Returns how many it removed."""
    try:
        names = os.listdir(directory)
    except FileNotFoundError:
        return 0
    gone = [entry for entry in names if entry not in keep and own(entry)]
    for entry in gone:
        _remove(directory / entry)
    return len(gone)


class Commit:
    """One save's new state in a locked directory. The writer writes its new
    files through :meth:`write` (or lists them in ``written``, and folders it
    creates in ``folders``), then :meth:`publish` commits the manifest. Used as
    a context manager: a save that fails before the manifest's rename removes
    everything it wrote, leaving the previous state as it was.

    Attributes:
        token: The name part of this save's new files (32 hex digits).
        written: The files written so far (removed on failure).
        folders: The folders created so far (removed on failure).
    """

    def __init__(self, directory: Path, token: str | None = None) -> None:
        self.directory = directory
        self.token = token or uuid.uuid4().hex
        self.written: list[Path] = []
        self.folders: list[Path] = []
        self.tmp = directory / f"{MANIFEST}.tmp-{self.token}"
        self.tmp_done = False

    def __enter__(self) -> Commit:
        return self

    def __exit__(self, kind: object, value: object, trace: object) -> None:
        # Only this save moves its temporary manifest: once it is gone the
        # rename happened and the new files are the saved state.
        if kind is not None and not (self.tmp_done and not os.path.lexists(self.tmp)):
            for p in self.written + self.folders:
                _remove(p)

    def write(self, name: str, *chunks: bytes | memoryview | np.ndarray[Any, Any]) -> str:
        """A new file of this save, written and flushed; its BLAKE3."""
        return write_file(self.directory / name, self.written, *chunks)

    def publish(self, manifest: dict[str, Any], keep: set[str], own: Callable[[str], bool]
                ) -> None:
        """The manifest written to a temporary name and flushed, the
        directory flushed (the names it lists are on disk), the manifest
        renamed over the old one, the directory flushed again, then the
        entries of the writer's own kinds not in ``keep`` removed."""
        write_file(self.tmp, self.written, manifest_bytes(manifest))
        self.tmp_done = True
        fsync_dir(self.directory)
        os.replace(self.tmp, self.directory / MANIFEST)
        fsync_dir(self.directory)
        remove_unnamed(self.directory, keep, own)
