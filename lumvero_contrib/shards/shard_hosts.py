"""Where a ``DistributedIndex``'s shards live: plain objects of this process
(``LocalShards``), or one named Ray actor each (``RayShards``). Both take the
same calls: start a shard, send it a call, collect the answers until one
deadline, probe whether it is alive, kill it."""
from __future__ import annotations

import time
import uuid
from collections.abc import Mapping
from typing import Any, Final, cast

from lumvero_contrib.shards.common import ActorOptions, connect
from lumvero_contrib.shards.index_shard import IndexShard

__all__ = ["LocalShards", "RayShards", "Failure", "INDEX_ACTOR_PREFIX"]

INDEX_ACTOR_PREFIX: Final = "lumvero-index-shard-"
# Arrays above this size are put in Ray's object store once for all shards.
_INLINE_BYTES: Final = 64 << 10


class LocalShards:
    """Shards as plain objects of this process: nothing to restart."""

    def spawn(self, i: int, dims: int, metric: str, directory: str | None,
              expect_hash: str | None, mmap: bool) -> Any:
        return IndexShard(dims, metric, directory, expect_hash, mmap=mmap)

    def share(self, value: Any) -> Any:
        return value

    def submit(self, shard: Any, method: str, *args: Any) -> Any:
        return cast(IndexShard, shard).run(method, *args)

    def collect(self, tickets: dict[int, Any], deadline: float | None) -> dict[int, Any]:
        return tickets

    def timed_out(self, reply: Any) -> bool:
        return False

    def probe(self, shards: dict[int, Any], seconds: float) -> set[int]:
        return set()

    def kill(self, shard: Any) -> None:
        pass

    def name(self, shard: Any) -> str:
        return ""

    def close(self) -> None:
        pass


class RayShards:
    """One named Ray actor per shard (``num_cpus`` 0, no restarts by Ray:
    the index restarts a shard itself, from its last save)."""

    def __init__(self, address: str | None, actor_options: ActorOptions,
                 timeout: float | None) -> None:
        try:
            import ray
        except ImportError:
            raise ImportError("backend='ray' needs Ray: pip install 'lumvero[ray]'") from None
        self.ray = ray
        self.actor_options = actor_options
        self.own_ray = False
        if not ray.is_initialized():
            connect(ray, address, timeout)
            self.own_ray = True
        self.token = uuid.uuid4().hex[:8]
        self.spawned = 0
        self.names: dict[int, str] = {}
        self.remote = ray.remote(IndexShard)

    def spawn(self, i: int, dims: int, metric: str, directory: str | None,
              expect_hash: str | None, mmap: bool) -> Any:
        name = f"{INDEX_ACTOR_PREFIX}{i:05d}-{self.token}-{self.spawned}"
        self.spawned += 1
        # Two calls at once: a liveness probe answers while a slow call runs.
        options: dict[str, Any] = {"num_cpus": 0, "max_restarts": 0, "max_concurrency": 2}
        extra = self.actor_options
        if callable(extra):
            extra = extra(i, {"shard": i, "directory": directory})
        options.update(cast(Mapping[str, Any], extra or {}))
        options["name"] = name
        actor = self.remote.options(**options).remote(dims, metric, directory, expect_hash,
                                                      actor=True, mmap=mmap)
        self.names[id(actor)] = name
        return actor

    def share(self, value: Any) -> Any:
        # Put once for all shards; a small array travels inside each call.
        return self.ray.put(value) if value.nbytes > _INLINE_BYTES else value

    def submit(self, shard: Any, method: str, *args: Any) -> Any:
        return shard.run.remote(method, *args)

    def collect(self, tickets: dict[int, Any], deadline: float | None) -> dict[int, Any]:
        out: dict[int, Any] = {}
        for i, ref in tickets.items():
            wait = None if deadline is None else max(0.0, deadline - time.monotonic())
            try:
                out[i] = self.ray.get(ref, timeout=wait)
            except self.ray.exceptions.RayError as e:
                out[i] = e
        return out

    def timed_out(self, reply: Any) -> bool:
        return isinstance(reply, self.ray.exceptions.GetTimeoutError)

    def probe(self, shards: dict[int, Any], seconds: float) -> set[int]:
        """The shards whose actor answers ``alive`` within seconds: it runs
        beside a call still in progress (the actors take two calls at once)."""
        refs = {i: s.alive.remote() for i, s in shards.items()}
        replies = self.collect(refs, time.monotonic() + seconds)
        return {i for i, r in replies.items() if r is True}

    def kill(self, shard: Any) -> None:
        if shard is not None:
            try:
                self.ray.kill(shard, no_restart=True)
            except Exception:
                pass

    def name(self, shard: Any) -> str:
        return self.names.get(id(shard), "")

    def close(self) -> None:
        if self.own_ray:
            self.own_ray = False
            self.ray.shutdown()


class Failure(Exception):
    """A shard that did not answer, and why."""

    def __init__(self, cause: str) -> None:
        super().__init__(cause)
        self.cause = cause
