"""Serving shards: one opened shard (``ShardServer``, also the body of a Ray
actor), the in-process and Ray backends, and ``ShardedIndex`` in front of
them."""
import os
import socket
import threading
import time
import uuid
from typing import Any, Literal, cast

import numpy as np
from numpy.typing import NDArray

import lumvero
from lumvero_contrib.storage.file_shards import Manifest, ShardEntry, check_regular, load_manifest
from lumvero_contrib.shards.common import (ACTOR_PREFIX, DEFAULT_TIMEOUT, ActorOptions,
                                           ShardError, connect, short)
from lumvero_contrib.shards.merge import Answer, check_k, merge_top_k, prepare_queries, \
    search_engine

__all__ = ["ShardServer", "ShardedIndex"]

class ShardServer:
    """One opened shard: its engine, checked against its manifest entry.

    In this process it is what the local backend searches; on Ray it is the
    body of each shard's actor. An actor must never fail to construct (Ray
    would only say it died), so with ``actor=True`` an error opening the
    shard is kept and reported by :meth:`info` and :meth:`search`.

    Arguments:
        entry: The shard's manifest entry.
        dims: The manifest's dims.
        metric: The manifest's metric.
        actor: Keep an opening error instead of raising it.

    Raises:
        ValueError: (unless ``actor``) The file leaves the manifest's folder,
            is not a regular file, cannot be opened, or does not match its
            entry (content hash, shape, metric).

    Examples:
        >>> m = load_manifest("shards/manifest.json")  # doctest: +SKIP
        >>> server = ShardServer(m.shards[0], m.dims, m.metric)  # doctest: +SKIP
        >>> scores, ids = server.search(Q, 10)  # doctest: +SKIP
    """

    def __init__(self, entry: ShardEntry, dims: int, metric: str, *, actor: bool = False) -> None:
        self.entry = entry
        self.metric = metric
        self.actor = actor
        self.error: str | None = None
        self.engine: lumvero.PySearchEngine | None = None
        try:
            self.engine = self._open(entry, dims, metric)
        except Exception as e:
            if not actor:
                raise
            self.error = str(e)

    @staticmethod
    def _open(entry: ShardEntry, dims: int, metric: str) -> lumvero.PySearchEngine:
        path = entry.resolve()
        try:
            check_regular(path)
            engine = lumvero.PySearchEngine(path, False)
        except ValueError as e:
            raise ValueError(f"{entry.label()}: {e}") from None
        r = engine.query_exact_detailed(np.zeros(engine.dims(), np.float32), 0)
        if r.index_hash != entry.index_hash:
            raise ValueError(f"{entry.label()}: content hash {r.index_hash} does not match "
                             f"the manifest's {entry.index_hash}")
        if (r.dims, r.rows, r.metric) != (dims, entry.rows, metric):
            raise ValueError(f"{entry.label()}: the file holds {r.rows} rows × {r.dims} dims "
                             f"({r.metric}); the manifest says {entry.rows} rows × {dims} dims "
                             f"({metric})")
        return engine

    def info(self) -> dict[str, Any]:
        """Where the shard is served: ``"error"`` (the opening error or
        None), ``"pid"``, ``"host"`` and, in an actor, Ray's ``"node_id"``."""
        out: dict[str, Any] = {"error": self.error, "pid": os.getpid(),
                               "host": socket.gethostname()}
        if self.actor:
            import ray

            out["node_id"] = ray.get_runtime_context().get_node_id()
        return out

    def search(self, queries: NDArray[np.float32], k: int) -> Answer:
        """The shard's k best per query with global row ids (see
        :func:`search_engine`).

        Raises:
            ValueError: The shard did not open, or the engine refused.
        """
        if self.engine is None:
            raise ValueError(self.error)
        return search_engine(self.engine, self.entry.first_row, queries, k, self.metric)


# ---------------------------------------------------------------------------
# Backends


class _LocalShards:
    def __init__(self, manifest: Manifest) -> None:
        self.servers = [ShardServer(e, manifest.dims, manifest.metric) for e in manifest.shards]

    def search(self, queries: NDArray[np.float32], k: int) -> list[Answer]:
        return [s.search(queries, k) for s in self.servers]

    def info(self) -> list[dict[str, Any]]:
        return [s.info() for s in self.servers]

    def close(self) -> None:
        self.servers = []


_remote_class: Any = None


def _actor_class() -> Any:
    """``ShardServer`` as a Ray actor class, made once."""
    global _remote_class
    if _remote_class is None:
        import ray

        _remote_class = ray.remote(ShardServer)
    return _remote_class


class _RayShards:
    def __init__(self, manifest: Manifest, address: str | None, actor_options: ActorOptions,
                 timeout: float | None) -> None:
        try:
            import ray
        except ImportError:
            raise ImportError("backend='ray' needs Ray: pip install 'lumvero[ray]'") from None
        self.ray = ray
        self.manifest = manifest
        self.timeout = timeout
        self.actor_options = actor_options
        self.retries = 0
        self.lock = threading.Lock()
        self.own_ray = False
        if not ray.is_initialized():
            connect(ray, address, timeout)
            self.own_ray = True
        self.token = uuid.uuid4().hex[:8]
        n = len(manifest.shards)
        self.generation = [0] * n
        self.names: list[str] = [""] * n
        self.actors: list[Any] = [None] * n
        try:
            # Every actor opens its shard at the same time.
            for e in manifest.shards:
                self.actors[e.index] = self._spawn(e)
            pending = [a.info.remote() for a in self.actors]
            for e, ref in zip(manifest.shards, pending):
                self._check_open(e, ref)
        except BaseException:
            self.close()
            raise

    def _spawn(self, entry: ShardEntry) -> Any:
        gen = self.generation[entry.index]
        self.generation[entry.index] += 1
        name = f"{ACTOR_PREFIX}{entry.index:05d}-{self.token}" + (f"-{gen}" if gen else "")
        options: dict[str, Any] = {"num_cpus": 0, "max_restarts": 0,
                                   "scheduling_strategy": "SPREAD"}
        extra = self.actor_options
        if callable(extra):
            extra = extra(entry.index, entry.to_json())
        options.update(extra or {})
        options["name"] = name
        self.names[entry.index] = name
        return _actor_class().options(**options).remote(entry, self.manifest.dims,
                                                        self.manifest.metric, actor=True)

    def _check_open(self, entry: ShardEntry, ref: Any) -> dict[str, Any]:
        try:
            info: dict[str, Any] = self.ray.get(ref, timeout=self.timeout)
        except self.ray.exceptions.RayError as e:
            raise ShardError(entry.index, entry.file,
                             f"{entry.label()}: its actor did not start: {short(e)}") from e
        if info["error"]:
            raise ValueError(info["error"])
        return info

    def _kill(self, actor: Any) -> None:
        if actor is not None:
            try:
                self.ray.kill(actor, no_restart=True)
            except Exception:
                pass

    def restart(self, i: int) -> None:
        """A new actor for shard i in place of the old one (killed first, in
        case it only hangs)."""
        entry = self.manifest.shards[i]
        self._kill(self.actors[i])
        self.actors[i] = self._spawn(entry)
        self._check_open(entry, self.actors[i].info.remote())

    def _submit(self, qref: Any, k: int) -> list[Any]:
        return [a.search.remote(qref, k) for a in self.actors]

    def search(self, queries: NDArray[np.float32], k: int) -> list[Answer]:
        ray = self.ray
        qref = ray.put(queries)
        # Every shard gets the queries at once; answers are collected in
        # shard order, all within one timeout.
        asked = list(self.actors)
        refs = self._submit(qref, k)
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        results: list[Answer | None] = [None] * len(refs)
        failed = []
        for i, ref in enumerate(refs):
            wait = None if deadline is None else max(0.0, deadline - time.monotonic())
            try:
                results[i] = ray.get(ref, timeout=wait)
            except ray.exceptions.RayError as e:
                failed.append((i, e))
        for i, first in failed:
            results[i] = self._retry(i, asked[i], first, qref, k)
        return cast(list[Answer], results)

    def _retry(self, i: int, asked: Any, first: BaseException, qref: Any, k: int) -> Answer:
        """Restarts shard i's actor and asks once more; a second failure is
        the caller's, never a partial answer."""
        entry = self.manifest.shards[i]
        try:
            with self.lock:
                self.retries += 1
                if self.actors[i] is asked:  # not yet restarted by another search
                    self.restart(i)
                actor = self.actors[i]
            answer: Answer = self.ray.get(actor.search.remote(qref, k), timeout=self.timeout)
            return answer
        except Exception as e:
            raise ShardError(i, entry.file,
                             f"{entry.label()} did not answer ({short(first)}) and failed "
                             f"again after a restart ({short(e)})") from first

    def info(self) -> list[dict[str, Any]]:
        out: list[dict[str, Any]] = self.ray.get([a.info.remote() for a in self.actors],
                                                 timeout=self.timeout)
        return out

    def close(self) -> None:
        actors, self.actors = self.actors, [None] * len(self.actors)
        for a in actors:
            self._kill(a)
        if self.own_ray:
            self.own_ray = False
            self.ray.shutdown()


# ---------------------------------------------------------------------------
# The front


class ShardedIndex:
    """Exact search over the shards listed in a manifest.

    Every shard's content hash is checked against the manifest when it is
    opened, and :meth:`search` returns exactly the answer of one index file
    holding all the rows.

    Arguments:
        manifest_path: The manifest (``build_shards`` writes one).
        backend: ``"local"`` opens every shard in this process; ``"ray"``
            starts one named Ray actor per shard (names start with
            ``"lumvero-shard-"``), each opening its file by path on its
            node.
        ray_address: The cluster to join when Ray is not initialised yet
            (``"auto"``, ``"host:port"``, ``"ray://host:10001"``; None
            starts a local one). Ray is then shut down by :meth:`close`.
        actor_options: Extra ``.options()`` for the actors (a mapping, or a
            function of (shard index, manifest entry) returning one), for
            instance a node-affinity scheduling strategy placing each actor
            where its file is.
        timeout: Seconds to wait for an actor to open its shard and for
            each shard's answer (default 300), and at most 30 of them for
            the cluster to accept a connection; None waits without limit
            (except for the connection).

    Raises:
        ValueError: An unknown backend, a malformed manifest, or a shard that
            does not open or does not match its entry.
        ShardError: A shard's actor did not start in time.
        ConnectionError: The Ray cluster cannot be reached.
        ImportError: ``backend="ray"`` without Ray installed.

    Examples:
        >>> with ShardedIndex("shards/manifest.json") as idx:  # doctest: +SKIP
        ...     scores, ids = idx.search(Q, 10)
        >>> idx = ShardedIndex("shards/manifest.json", backend="ray",
        ...                    ray_address="auto", timeout=60)  # doctest: +SKIP
    """

    def __init__(self, manifest_path: str | os.PathLike[str],
                 backend: Literal["local", "ray"] = "local", ray_address: str | None = None, *,
                 actor_options: ActorOptions = None,
                 timeout: float | None = DEFAULT_TIMEOUT) -> None:
        if backend not in ("local", "ray"):
            raise ValueError(f"unknown backend {backend!r}: expected 'local' or 'ray'")
        if timeout is not None and not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        self.manifest = load_manifest(manifest_path)
        self.backend = backend
        self._impl: _LocalShards | _RayShards | None = None
        if backend == "local":
            self._impl = _LocalShards(self.manifest)
        else:
            self._impl = _RayShards(self.manifest, ray_address, actor_options, timeout)

    @property
    def metric(self) -> str:
        """``"cosine"``, ``"dot"`` or ``"euclidean"``."""
        return self.manifest.metric

    @property
    def dims(self) -> int:
        """Components per row."""
        return self.manifest.dims

    @property
    def rows(self) -> int:
        """Rows of all shards together."""
        return self.manifest.rows

    @property
    def n_shards(self) -> int:
        """Number of shards."""
        return len(self.manifest.shards)

    @property
    def actor_names(self) -> list[str]:
        """Names of the shard actors (Ray backend), in shard order."""
        return list(self._impl.names) if isinstance(self._impl, _RayShards) else []

    @property
    def retries(self) -> int:
        """How many shard answers were asked for again after a restart."""
        return self._impl.retries if isinstance(self._impl, _RayShards) else 0

    def _open_impl(self) -> "_LocalShards | _RayShards":
        if self._impl is None:
            raise ValueError("this ShardedIndex is closed")
        return self._impl

    def shard_info(self) -> list[dict[str, Any]]:
        """Per shard, where it is served: ``"pid"``, ``"host"`` (and
        ``"node_id"`` on Ray).

        Raises:
            ValueError: The index is closed.
        """
        return self._open_impl().info()

    def search(self, queries: NDArray[np.float32], k: int) -> Answer:
        """The k best rows per query over all shards.

        Arguments:
            queries: float32, one query (1-D) or one per row.
            k: Results per query.

        Returns:
            (scores float32, ids int64), both (n_queries, k), best first.
            Empty slots: id -1, score -inf (cosine, dot) or +inf
            (euclidean).

        Raises:
            TypeError: Queries not float32, or k not an integer.
            ValueError: Wrong query shape or dims, a NaN or infinity, a
                negative k, or the index is closed.
            ShardError: A shard failed twice (Ray backend).

        Examples:
            >>> scores, ids = idx.search(np.ones(64, np.float32), 5)  # doctest: +SKIP
        """
        impl = self._open_impl()
        Q = prepare_queries(queries, self.dims)
        k = check_k(k)
        n = Q.shape[0]
        parts = impl.search(Q, k) if n and k else [(np.zeros((n, 0), np.float32),
                                                    np.zeros((n, 0), np.int64))]
        return merge_top_k(parts, k, self.metric)

    def close(self) -> None:
        """Stops the actors (and Ray, if this index started it); idempotent."""
        impl, self._impl = self._impl, None
        if impl is not None:
            impl.close()

    def __enter__(self) -> "ShardedIndex":
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    def __repr__(self) -> str:
        state = "closed" if self._impl is None else self.backend
        return (f"ShardedIndex({self.manifest.path!r}, {self.n_shards} shards, {self.rows} rows × "
                f"{self.dims} dims, {self.metric}, {state})")
