"""Saving a ``DistributedIndex`` (one ``Index`` directory per shard under one
top manifest, through the storage package's lock and commit) and loading it
back, each shard where its actor runs."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Final, Literal, Self

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib._index_args import integer
from lumvero_contrib._index_attrs import arrow, merged_types
from lumvero_contrib._index_rows import Lookup
from lumvero_contrib.shards.common import DEFAULT_TIMEOUT, ActorOptions
from lumvero_contrib.shards.distributed_reads import Reads
from lumvero_contrib.storage.distributed_dir import (LOAD_ATTEMPTS, SavedIndex, current_saved,
                                                     index_summary, kept_versions,
                                                     manifest_bytes, read_saved, saved_kind,
                                                     saving, write_saved)
from lumvero_contrib.storage.index_manifest import kept_versions as index_versions
from lumvero_contrib.storage.index_manifest import read_version

__all__ = ["Saves", "MAX_SHARDS"]

IdArray = npt.NDArray[np.int64]

MAX_SHARDS: Final = 4096


def _pinned(i: int, name: str, *states: SavedIndex | None) -> list[str]:
    """The BLAKE3 of the manifests of shard i's states that the kept
    versions name in its directory (name)."""
    return [s.shards[i].blake3 for s in states
            if s is not None and i < len(s.shards) and s.shards[i].name == name]


def _named(i: int, state: SavedIndex | None) -> list[str]:
    """The directory that a state names for shard i, if any."""
    return [state.shards[i].name] if state is not None and i < len(state.shards) else []


def _replaced(top: str, before: bytes) -> bool:
    """Whether the directory's manifest is no longer the one read before."""
    try:
        return manifest_bytes(top) != before
    except (OSError, ValueError):
        return False


class Saves(Reads):
    """A ``DistributedIndex``'s save and load (see the class)."""

    # -- saving and loading -------------------------------------------------

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the index to a directory, atomically.

        Every shard saves its ``Index`` (``Index.save``) into a new
        directory ``shard-NNNNN-<token>`` inside path, as its node sees it
        (a shared file system, or the same path on each node's own disk);
        then ``manifest.json`` is written here, naming each shard directory
        with the BLAKE3 of its ``manifest.json`` (which holds the hash of
        every file in it) and, per shard, the insertion order of its rows,
        replaced in one rename. Directories and files of earlier saves are
        removed after that. A crash at any point leaves the previous or the
        new state loadable; a save that fails removes the shard directories
        it wrote (as this process sees them). Each shard's restart point is
        its new directory.

        Saves into one directory run one at a time, from any thread or
        process: each holds the lock of ``Index.save`` (``save.lock``, an
        exclusive ``flock``) from before it looks at the directory until the
        directories of earlier saves are removed, so the directory afterwards
        holds the state of the save that finished last. A load meanwhile gets
        the state before or after a save (see :meth:`load`).

        Arguments:
            path: The directory; created when missing. It must be new, empty,
                or one a DistributedIndex was saved to: a directory holding a
                saved ``Index``, a ``build_shards`` manifest or other files is
                refused before anything is written in it.

        Raises:
            ValueError: The directory holds something else (the message names
                it and what it holds).
            OSError: A directory cannot be written.
            ShardError: A shard failed (see the class).
        """
        top = os.path.abspath(os.fspath(path))
        with self._lock:
            self._check_open()
            with saving(top) as commit:
                prev, before = current_saved(Path(top))
                names = [f"shard-{i:05d}" for i in range(len(self._handles))]
                # Shard directories this save makes go if it fails; those
                # kept versions name stay, with the states they name.
                commit.folders += [Path(top, n) for n in names if not os.path.lexists(
                    os.path.join(top, n))]
                # Each shard saves into its directory as Index.save does
                # (writing what changed since it last saw it), keeping the
                # states that the kept versions name, whatever their age.
                hashes = self._each({i: ("save", os.path.join(top, name),
                                         _pinned(i, name, prev, before))
                                     for i, name in enumerate(names)})
                orders = []
                for i in range(len(self._handles)):
                    insertions = self._shard_insertions(i)
                    orders.append(np.column_stack([self._id_of[insertions],
                                                   insertions]).astype(np.int64))
                write_saved(commit, self._dims, self._metric, self._next_id,
                            [(names[i], hashes[i], orders[i]) for i in range(len(names))], prev)
                for i, name in enumerate(names):
                    self._saved[i] = (os.path.join(top, name), hashes[i])
                    self._saved_order[i] = orders[i]
                # Directories no kept version names, on the shards' own
                # nodes, still under the lock.
                self._each({i: ("sweep", top, i, [name] + _named(i, prev))
                            for i, name in enumerate(names)})

    @classmethod
    def load(cls, path: str | os.PathLike[str], mmap: bool = True, version: int | None = None, *,
             shards: int | None = None,
             backend: Literal["ray", "local"] = "ray", ray_address: str | None = None,
             actor_options: ActorOptions = None,
             timeout: float | None = DEFAULT_TIMEOUT) -> Self:
        """Opens a directory written by :meth:`save`, or by ``Index.save``
        (its one shard), each shard loading its directory where its actor
        runs and checking it against its hash.

        A load while a save replaces the directory's state returns the state
        before or after that save: when loading fails and ``manifest.json``
        has been replaced meanwhile (the save removed what the old one
        named), the load starts over from the new manifest, at most
        ``LOAD_ATTEMPTS`` (50) times. Loads take no lock.

        Arguments:
            path: The directory.
            mmap: How each shard loads its ``Index`` directory, as
                ``Index.load``'s ``mmap`` (where its actor runs); restarted
                shards load theirs the same way.
            version: None for the current state, or the number of a kept
                version (``DistributedIndex.versions(path)``), as for
                ``Index.load``.
            shards: The number of shards, at least as many as saved (default):
                the others start empty and receive new rows first.
            backend, ray_address, actor_options, timeout: As for the
                constructor.

        Returns:
            The index, answering exactly as the one saved.

        Raises:
            ValueError: A malformed manifest, a missing or altered file
                (named), a shard count below the saved one, a manifest
                replaced at every attempt, or a version that is not kept.
            TypeError: A version that is not an int.
            FileNotFoundError: No manifest in the directory.
            ShardError: A shard's actor did not start.
        """
        if version is not None and (not isinstance(version, int) or isinstance(version, bool)):
            raise TypeError(f"version must be an int or None; got {type(version).__name__}")
        top = os.path.abspath(os.fspath(path))
        for _ in range(LOAD_ATTEMPTS):
            before = manifest_bytes(top)
            try:
                return cls._load(top, bool(mmap), version, shards, backend, ray_address,
                                 actor_options, timeout)
            except (ValueError, OSError):
                if not _replaced(top, before):
                    raise
        raise ValueError(f"sharded index directory {top}: manifest.json was replaced "
                         f"{LOAD_ATTEMPTS} times while the index was being loaded; try again "
                         f"when saves pause")

    @classmethod
    def _load(cls, top: str, mmap: bool, version: int | None, shards: int | None,
              backend: Literal["ray", "local"], ray_address: str | None,
              actor_options: ActorOptions, timeout: float | None) -> Self:
        """One attempt of :meth:`load` from the manifest as it is now."""
        if saved_kind(top) == "index":
            raw = read_version(Path(top), version)[1]
            sources: list[tuple[str | None, str | None]] = [(top, _native.blake3_hex(raw))]
            dims, metric, next_id = index_summary(top, raw)
            orders = None
        else:
            saved = read_saved(top, version)
            sources = [(s.directory, s.blake3) for s in saved.shards]
            dims, metric, next_id = saved.dims, saved.metric, saved.next_id
            orders = [s.order for s in saved.shards]
        n = len(sources) if shards is None else integer(shards, "shards")
        if not len(sources) <= n <= MAX_SHARDS:
            raise ValueError(f"shards must be between the {len(sources)} saved and "
                             f"{MAX_SHARDS}; got {n}")
        self = cls.__new__(cls)
        self._setup(dims, metric, backend, ray_address, actor_options, timeout)
        self._mmap = mmap
        try:
            self._start(sources + [(None, None)] * (n - len(sources)))
            self._adopt(sources, orders, next_id)
        except BaseException:
            self.close()
            raise
        return self

    @staticmethod
    def versions(path: str | os.PathLike[str]) -> list[int]:
        """The versions of a saved directory that ``load`` can read, oldest
        first: the current one and, when it is kept, the one before it (as
        ``Index.versions``; a directory ``Index.save`` wrote answers as
        there). Each save makes a new version, numbered one above the one it
        replaced (a directory written by a lumvero that wrote no versions is
        version 0).

        Raises:
            ValueError: A damaged or unsafe manifest (named).
            FileNotFoundError: No manifest in the directory.
        """
        top = Path(os.path.abspath(os.fspath(path)))
        if saved_kind(top) == "index":
            return index_versions(top)
        return kept_versions(top)

    def _adopt(self, sources: list[tuple[str | None, str | None]], orders: list[IdArray] | None,
               next_id: int) -> None:
        """Takes the loaded shards' rows into the bookkeeping."""
        held = self._each({i: ("ids",) for i in range(len(sources))})
        if orders is None:  # one Index: its insertion order is the order
            ids = np.asarray(held[0], np.int64)
            orders = [np.column_stack([ids, np.arange(ids.size, dtype=np.int64)])]
        for i, order in enumerate(orders):
            if not np.array_equal(np.asarray(held[i], np.int64), order[:, 0]):
                raise ValueError(f"{self._label(i)}: its rows are not the ones the sharded "
                                 f"manifest lists")
        total = int(max((int(o[:, 1].max()) + 1 for o in orders if o.size), default=0))
        self._grow(total)
        for i, order in enumerate(orders):
            self._id_of[order[:, 1]] = order[:, 0]
            self._shard_of[order[:, 1]] = i
            self._live[order[:, 1]] = True
            self._counts[i] = int(order.shape[0])
            self._saved_order[i] = order
        self._next_insertion = total
        self._live_count = sum(self._counts)
        self._attr_types = self._loaded_attr_types()
        live = np.flatnonzero(self._live[:total]).astype(np.int64)
        self._lookup = Lookup(self._id_of[live], live)
        self._next_id = next_id

    def _loaded_attr_types(self) -> dict[str, Any]:
        """The attribute columns of the loaded shards, merged in shard order."""
        held = self._each({i: ("attr_types",) for i in range(len(self._handles))})
        types: dict[str, Any] = {}
        for i in sorted(held):
            if held[i]:
                types = merged_types(types, arrow().schema(list(held[i].items())),
                                     self._label(i))
        return types
