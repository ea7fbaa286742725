"""``Index.save``, ``Index.load``, ``Index.verify`` and ``Index.versions``:
the index's side of the directory that storage.index_dir writes and
storage.index_read reads."""

from __future__ import annotations

import os
from typing import Self

import numpy as np

from lumvero_contrib._index_args import metric_name
from lumvero_contrib._index_attrs import Attrs
from lumvero_contrib._index_rows import Run
from lumvero_contrib._index_state import IndexState
from lumvero_contrib.storage.index_dir import write_directory
from lumvero_contrib.storage.index_layout import SaveLink, check_path, placed
from lumvero_contrib.storage.index_manifest import kept_versions
from lumvero_contrib.storage.index_read import read_directory


class Saving(IndexState):
    """Saving, loading and checking an Index's directory."""

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the index to a directory, atomically.

        The directory holds the rows in segments, each written once and
        never changed: a row file in lumvero's index format (``lumvero``
        opens it; the row files hold every stored row, removed ones
        included, in insertion order), its codes file and its ids, plus a
        removal file per segment with removed rows, ``manifest.json`` with
        the BLAKE3 hash of every file, and ``save.lock``. New files get
        fresh names and reach the disk before the manifest is replaced in
        one rename. A crash at any point leaves the previous or the new
        state loadable; a save that fails (a full disk, a file size limit,
        rows mapped from a file that was shortened) removes the files it
        wrote and leaves the previous state as it was.

        Each save makes a new version of the directory (``versions``);
        the previous one stays loadable (``load(path, version=...)``), so a
        process that read the previous manifest just before the save still
        finds its files. Files that neither version names are removed right
        after the save.

        A save into the directory this index was loaded from or last saved
        to, when no other save has replaced that state since (checked
        under the lock), writes only what changed: the rows added since (a
        new segment per run they went to), new removal files for the
        segments whose removals changed, and the manifests. Its cost
        follows the change, not the index; after ``compact``, the runs it
        rewrote are written as new segments and the others kept. Any
        other save writes every file: into another directory, after another
        index saved into this one, or from a copy (``copy.copy``,
        pickling).

        An index larger than memory grows this way: ``load(path,
        mmap=True)``, ``add`` a batch, ``save(path)`` (only the new segment
        is written), then load again: the rows added since the load stay in
        memory in this index, also after the save, until it is dropped;
        the loaded index maps them from their new row file instead. A
        directory first built from more rows than memory holds comes from
        ``lumvero_contrib.build_index``.

        Saves into one directory run one at a time, from any thread or
        process: each holds an exclusive ``flock`` on ``save.lock`` from
        before it looks at the directory until its cleanup is done, so the
        directory afterwards holds the state of the save that finished last.
        A process loading meanwhile gets the state before or after a save
        (see ``load``).

        Arguments:
            path: the directory; created when missing. It must be new,
                empty, or one an Index was saved to: a directory holding
                other files (a shard manifest, your own data) is refused
                rather than overwritten.

        Raises:
            ValueError: an empty path, a directory holding files an Index
                did not write, or rows mapped from a file that was shortened
                while the index was in use (the file is named).
            OSError: the directory cannot be written.
        """
        self._save(path)

    def _save(self, path: str | os.PathLike[str], pinned: frozenset[str] = frozenset()) -> str:
        """``save``, keeping also the files of the kept versions whose
        manifests' BLAKE3 is pinned; returns the BLAKE3 of the manifest
        written."""
        with self._lock:
            state = [(run.rows, run.norms_sq, run.count, run.source is not None)
                     for run in self._runs]
            attrs = None if self._attrs is None else self._attrs.rows
            self._saved = write_directory(path, self._dims, self._metric, state,
                                          self._ids[: self._stored], self._live[: self._stored],
                                          self._next_id, self._check_runs, self._saved, attrs,
                                          pinned)
            return self._saved.manifest_hash

    def verify(self) -> None:
        """Checks the row files that ``load(mmap=True)`` mapped without reading.

        Each such file's rows are hashed (a full read of the file) and
        compared with the BLAKE3 hash the manifest gave at load, and the
        codes file mapped beside them is compared with the codes the rows
        give (codes, scales, bounds and squared norms, bit for bit). Nothing
        is done for rows read into memory, checked at load already, or
        added since.

        Raises:
            ValueError: a row file does not match its hash, its codes file is
                not the codes of its rows, or either was shortened while in
                use (the file is named).
        """
        with self._lock:
            runs = list(self._runs)
        for run in runs:
            run.verify()

    @classmethod
    def load(cls, path: str | os.PathLike[str], mmap: bool = True,
             version: int | None = None) -> Self:
        """Reads an index written by ``save``, every file checked.

        Only what ``save`` writes is read: regular files inside the directory
        (a named pipe, a device or a symlink leading out is refused), each
        listed once, a manifest of bounded size with strictly typed fields.

        Each row file has a codes file beside it: the int8 codes the
        search's pre-filter scans (a quarter of the rows' bytes), with the
        rows' squared norms. Its header names the BLAKE3 hash and the row
        count of the row file it was made from. Load maps it read-only,
        checks its hash and that it names the row file listed at its place,
        so searches need not quantise the rows. With ``mmap=True`` the row
        files themselves are then only mapped, checked by size and header,
        not read: a load reads the manifest, ids and codes, and the first
        searches read only the rows they rescore. The codes file ends with
        the BLAKE3 of every 64 KiB block of its row file's rows: each block
        is checked the first time any search, ``get``, ``compact`` or save
        reads a row of it, so a row file altered in place (same size) is
        either never read where it changed (the answer is the saved
        index's) or the read raises ValueError naming the row file and the
        block, and so does every later read of that index; a block checked
        before it was altered is not hashed again (``verify()`` hashes
        every row). A shortened row file raises ValueError from the search
        (its missing pages read as zeros under the engine's guard, never a
        crash). Codes files written before the block sums (version 2) give
        no per-block check: there ``verify()`` is the check. With
        ``mmap=False`` every file is read and hashed, the rows kept are the
        bytes whose hash was checked, and each codes file is compared with
        the codes those rows give.

        The codes file's own contents are checked against the rows only where
        the rows are read: at load with ``mmap=False``, and by ``verify()``
        with ``mmap=True``. A codes file edited in place (its scales changed,
        say) with its hash in the manifest updated and its header kept passes
        a ``mmap=True`` load, and the pre-filter may then drop rows it must
        keep: searches may give wrong answers. ``verify()`` finds it
        (ValueError naming the file), as ``mmap=False`` does at load.

        A codes file that is missing, damaged (its hash, length or header
        does not match), made from other rows (the row file it names is not
        the one listed at its place, or with ``mmap=False`` its contents are
        not the codes of the rows) or of an older version that names no row
        file, is not refused: codes are derived from the rows, so the load
        warns (``RuntimeWarning`` naming the file and why), reads and
        hashes that file's rows in full instead, and the first search builds
        the codes again, as for a directory saved before codes files existed.
        Answers stay exact; saving again rewrites the file. Refusing would
        leave an index whose rows are intact unloadable.

        What stays in memory with ``mmap=True``: the ids (8 bytes a row),
        the live mask (1 byte a row), the codes and squared norms (mapped
        from the codes files, about a quarter of the rows' bytes plus 12
        bytes a row: read in full at load to check their hashes, so they
        count in the process's resident memory while the page cache keeps
        them) and the rows added since the load. What stays on disk: the
        row files, mapped; a search reads only the rows it rescores. An
        index whose rows do not fit in memory loads and searches this way
        as long as its codes do.

        A load while another process saves into the same directory returns
        the state before or after that save: when a file the manifest named
        has gone (the save that replaced the manifest removed it), the
        manifest is read again and the load starts over. Loads take no lock
        and never block a save.

        Directories written by lumvero_contrib before segments (manifest
        format version 1) load as version 0; the next ``save`` into one
        writes format version 2 and keeps version 0 loadable until the
        save after it.

        Arguments:
            path: the directory.
            mmap: map the row files read-only instead of reading them into
                memory (rows added later live in memory either way).
            version: None for the current state, or the number of a kept
                version (``Index.versions(path)``: the current one and the
                one before it).

        Returns:
            The index, answering exactly as the one saved.

        Raises:
            ValueError: an empty path, a missing, altered, inconsistent
                or unsafe file (the message names the directory and the
                file), or a version that is not kept (``"index directory
                d: version 3 is not kept (kept: [5, 6])"``).
            TypeError: a version that is not an int.
            FileNotFoundError: no manifest in the directory.
        """
        if version is not None and (not isinstance(version, int) or isinstance(version, bool)):
            raise TypeError(f"version must be an int or None; got {type(version).__name__}")
        saved = read_directory(path, mmap, version)
        ix = cls(saved.dims, metric_name(saved.metric))
        first = 0
        for run in saved.runs:
            n = int(run.rows.shape[0])
            ix._runs.append(Run(run.rows, run.norms_sq, n, first, run.source, run.codes,
                                run.codes_source, run.unverified))
            first += n
        ix._ids, ix._live, ix._stored = saved.ids, saved.live, first
        if saved.attrs is not None:
            tables, types = saved.attrs
            ix._attrs = Attrs(types)
            for run, table in zip(saved.runs, tables):
                ix._attrs.append(table, int(run.rows.shape[0]), read=True)
        ix._live_count = int(saved.live.sum())
        ix._next_id = saved.next_id
        ix._ascending = bool(np.all(saved.ids[1:] > saved.ids[:-1]))
        ix._saved = SaveLink(os.path.realpath(check_path(path)), saved.manifest_hash,
                             placed(saved.segments))
        return ix

    @staticmethod
    def versions(path: str | os.PathLike[str]) -> list[int]:
        """The versions of a saved directory that ``load`` can read, oldest
        first: the current one and, when it is kept, the one before it.

        Each save into a directory makes a new version, numbered one above
        the one it replaced (a directory written by a lumvero_contrib that
        wrote format version 1 is version 0).

        Raises:
            ValueError: a damaged or unsafe manifest (named).
            FileNotFoundError: no manifest in the directory.
        """
        return kept_versions(check_path(path))
