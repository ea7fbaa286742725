"""One shard of a ``DistributedIndex``: an ``Index`` behind one calling
convention, in this process or as the body of a Ray actor."""
from __future__ import annotations

import os
import socket
import time
from pathlib import Path
from typing import Any, Final, cast

from lumvero_contrib.index import Index
from lumvero_contrib.storage.commit import remove_unnamed
from lumvero_contrib.storage.distributed_dir import SHARD_DIRECTORY
from lumvero_contrib.storage.index_manifest import IndexManifest, with_hash

__all__ = ["IndexShard"]

Reply = tuple[str, Any, float]
"""``("ok", value, seconds)``, ``("error", (type name, message), 0.0)`` for
a refused call, or ``("failed", message, 0.0)`` for a shard that never
opened."""

_ERRORS: Final = (ValueError, TypeError, OSError)


class IndexShard:
    """An ``Index``, created empty or loaded from a saved directory that must
    match its expected hash. As a Ray actor it must never fail to construct
    (Ray would only say it died), so an opening error is kept and every call
    answers with it.

    Arguments:
        dims: The index's dims (an empty shard).
        metric: The index's metric (an empty shard).
        directory: A saved ``Index`` directory to load, or None.
        expect_hash: ``directory_hash`` the directory must have, or None.
        actor: Whether this is a Ray actor's body (``info`` then reports
            Ray's node id).
        mmap: Load the directory as ``Index.load(directory, mmap)`` does.
    """

    def __init__(self, dims: int, metric: str, directory: str | None = None,
                 expect_hash: str | None = None, actor: bool = False, mmap: bool = True) -> None:
        self.actor = actor
        self.error: str | None = None
        self.index: Index | None = None
        try:
            self.index = self._open(dims, metric, directory, expect_hash, mmap)
        except (*_ERRORS, KeyError) as e:
            self.error = f"{type(e).__name__}: {e}"

    @staticmethod
    def _open(dims: int, metric: str, directory: str | None, expect_hash: str | None,
              mmap: bool) -> Index:
        if directory is None:
            return Index(dims, cast(Any, metric))
        version = None
        if expect_hash is not None:
            # The state the sharded manifest names: the directory's current
            # one, or a kept version (a later save may have saved into it).
            name, raw = with_hash(Path(directory), expect_hash)
            version = IndexManifest(Path(directory), raw, name).index_version
        ix = Index.load(directory, mmap, version)
        if expect_hash is not None and ix._saved is not None \
                and ix._saved.manifest_hash != expect_hash:
            raise ValueError(f"{directory}: version {version} was replaced while it was read; "
                             f"the sharded manifest names the state of BLAKE3 {expect_hash}")
        if (ix.dims, ix.metric) != (dims, metric):
            raise ValueError(f"{directory}: holds {ix.dims} dims ({ix.metric}); expected {dims} "
                             f"dims ({metric})")
        return ix

    def run(self, method: str, *args: Any) -> Reply:
        """Calls one of the shard's operations; the one entry point, so a
        refusal travels back as a value and a failure of the actor itself
        stays apart from it."""
        if self.index is None:
            return "failed", self.error, 0.0
        start = time.perf_counter()
        try:
            value = getattr(self, f"_{method}")(self.index, *args)
        except _ERRORS as e:
            return "error", (type(e).__name__, str(e)), 0.0
        return "ok", value, time.perf_counter() - start

    # The operations; each takes the shard's Index first.

    # types: the attribute columns of the whole DistributedIndex, declared
    # before a predicate or an attribute read, so that every shard sees
    # every column (also one restarted or loaded from an older save).

    @staticmethod
    def _add(ix: Index, rows: Any, ids: Any, attrs: Any = None, types: Any = None) -> int:
        if attrs is not None:  # the columns in the whole index's order first
            ix._declare_attrs(types)
        ix.add(rows, ids=ids, attrs=attrs)
        return len(ix)

    @staticmethod
    def _search(ix: Index, queries: Any, k: int, allow: Any, with_stats: bool = False,
                where: Any = None, types: Any = None) -> Any:
        if where is not None:
            ix._declare_attrs(types)
        if not with_stats:
            return ix.search(queries, k, allow=allow, where=where)
        stats: dict[str, object] = {}
        scores, ids = ix.search(queries, k, allow=allow, stats=stats, where=where)
        return scores, ids, stats

    @staticmethod
    def _range_search(ix: Index, queries: Any, radius: Any, allow: Any, where: Any = None,
                      types: Any = None) -> Any:
        if where is not None:
            ix._declare_attrs(types)
        return ix.range_search(queries, radius, allow=allow, where=where)

    @staticmethod
    def _get(ix: Index, ids: Any, types: Any = None) -> Any:
        if types is None:
            return ix.get(ids)
        ix._declare_attrs(types)
        return ix.get(ids, attrs=True)

    @staticmethod
    def _attr_types(ix: Index) -> Any:
        return {} if ix._attrs is None else dict(ix._attrs.types)

    @staticmethod
    def _verify(ix: Index) -> None:
        ix.verify()

    @staticmethod
    def _remove(ix: Index, ids: Any) -> int:
        return ix.remove(ids)

    @staticmethod
    def _compact(ix: Index) -> None:
        ix.compact()

    @staticmethod
    def _ids(ix: Index) -> Any:
        return ix.ids()

    @staticmethod
    def _save(ix: Index, directory: str, pinned: list[str] | None = None) -> str:
        """Saves into directory, keeping the states whose manifests' BLAKE3
        is pinned; the BLAKE3 of the manifest written."""
        return ix._save(directory, frozenset(pinned or ()))

    @staticmethod
    def _sweep(ix: Index, parent: str, shard: int, keep: list[str]) -> int:
        """Removes this shard's directories in parent (seen from this
        shard's node) other than keep, those the manifest just committed and
        the version before it name; how many. Called by a save while it
        holds parent's lock."""
        def own(name: str) -> bool:
            m = SHARD_DIRECTORY.match(name)
            return m is not None and int(m.group(1)) == shard

        return remove_unnamed(Path(parent), set(keep), own)

    def _info(self, ix: Index) -> dict[str, Any]:
        out: dict[str, Any] = {"pid": os.getpid(), "host": socket.gethostname(), "rows": len(ix)}
        if self.actor:
            import ray

            out["node_id"] = ray.get_runtime_context().get_node_id()
        return out

    def alive(self) -> bool:
        """Answers at once: the actor runs (used to tell a slow answer from a
        dead actor)."""
        return True
