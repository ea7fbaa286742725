"""``DistributedIndex``: an ``Index`` cut into shards, each an ``Index`` held
by a Ray actor (or, for trying things out, by this process), with the
``Index``'s operations and its exact answers.

Every row carries its global insertion number, kept here with the row's id
and shard; each shard answers with its own k best under the engine's order,
and the merge breaks equal scores by that number, so the answer is the one a
single ``Index`` that received the same operations gives.
"""
from __future__ import annotations

import operator
import os
import threading
import time
import uuid
from collections.abc import Mapping
from pathlib import Path
from typing import Any, Final, Literal, NoReturn, SupportsIndex, cast

import numpy as np
import numpy.typing as npt

from lumvero_contrib._index_args import (INT64_MAX, default_ids, float_rows, int_ids, integer,
                                         listed, normalize, result_count, score_bound,
                                         sorted_unique)
from lumvero_contrib._index_rows import Lookup
from lumvero_contrib.index import IdsLike, Index
from lumvero_contrib.shards.backends import (DEFAULT_TIMEOUT, ActorOptions, ShardError,
                                             ShardTimeout, _connect,
                                             _short)
from lumvero_contrib.storage.distributed_dir import (LOAD_ATTEMPTS, index_summary,
                                                     manifest_bytes, read_saved, saved_kind,
                                                     saving, write_saved)
from lumvero_contrib.shards.index_shard import IndexShard, Reply
from lumvero_contrib.storage.index_dir import directory_hash
from lumvero_contrib.shards.merge import merge_top_k

__all__ = ["DistributedIndex", "place_rows", "INDEX_ACTOR_PREFIX"]

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]

INDEX_ACTOR_PREFIX: Final = "lumvero-index-shard-"
_MAX_SHARDS: Final = 4096
_INLINE_BYTES: Final = 64 << 10
# Calls that change nothing in a shard: when they time out on a shard that
# still answers a liveness probe, nothing is restarted.
_READS: Final = frozenset({"search", "range_search", "get", "ids", "verify", "info"})
# How long a liveness probe waits: an actor that answers nothing within this
# (dead, or stopped) is restarted.
_PROBE_SECONDS: Final = 5.0
_ERROR_TYPES: Final = {"ValueError": ValueError, "TypeError": TypeError, "OSError": OSError,
                       "FileNotFoundError": FileNotFoundError,
                       "PermissionError": PermissionError}


def place_rows(live: list[int], n: int) -> list[int]:
    """How many of n new rows each shard takes: the shards with the fewest
    live rows are filled first, until the counts are as equal as n allows;
    rows left over after that go one each to the lowest-numbered of the
    shards at the lowest count. The rows of one ``add`` are then cut, in
    order, into consecutive pieces: shard 0's first.

    Examples:
        >>> place_rows([5, 0, 2], 6)
        [0, 4, 2]
        >>> place_rows([1, 1], 3)
        [2, 1]
    """
    order = sorted(range(len(live)), key=lambda i: (live[i], i))
    level, m, left = live[order[0]], 1, n
    while m < len(order) and (live[order[m]] - level) * m <= left:
        left -= (live[order[m]] - level) * m
        level = live[order[m]]
        m += 1
    q, r = divmod(left, m)
    low = sorted(order[:m])
    take = [0] * len(live)
    for j, i in enumerate(low):
        take[i] = level + q + (1 if j < r else 0) - live[i]
    return take


def _replaced(top: str, before: bytes) -> bool:
    """Whether the directory's manifest is no longer the one read before."""
    try:
        return manifest_bytes(top) != before
    except (OSError, ValueError):
        return False


def _summed_stats(parts: list[dict[str, Any]]) -> dict[str, object]:
    """The search counts of several shards as one search's."""
    out: dict[str, object] = {"prefiltered": any(bool(p["prefiltered"]) for p in parts)}
    for key in ("rows_scanned", "rows_rescored", "rows_fallback"):
        out[key] = sum(int(p[key]) for p in parts)
    return out


class _LocalShards:
    """Shards as plain objects of this process: nothing to restart."""

    def spawn(self, i: int, dims: int, metric: str, directory: str | None,
              expect_hash: str | None) -> Any:
        return IndexShard(dims, metric, directory, expect_hash)

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


class _RayShards:
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
            _connect(ray, address, timeout)
            self.own_ray = True
        self.token = uuid.uuid4().hex[:8]
        self.spawned = 0
        self.names: dict[int, str] = {}
        self.remote = ray.remote(IndexShard)

    def spawn(self, i: int, dims: int, metric: str, directory: str | None,
              expect_hash: str | None) -> Any:
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
                                                      actor=True)
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


class _Failure(Exception):
    def __init__(self, cause: str) -> None:
        super().__init__(cause)
        self.cause = cause


class DistributedIndex:
    """Exact nearest-neighbour search over float32 rows with int64 ids, cut
    into shards, each an ``Index`` held by a Ray actor.

    The operations, arguments, return types and error messages are those of
    ``Index``, and so are the answers: for any sequence of adds, removals,
    compactions, saves and loads, ``search`` returns the ids and float32
    score bits a single ``Index`` given the same operations returns, equal
    scores going to the earlier insertion whichever shards hold the rows.

    Placement: each ``add`` fills the shards with the fewest live rows first
    (see :func:`place_rows`); the index keeps every live id's shard, so
    ``remove`` and an ``allow`` list reach only the shards that hold the ids,
    each with its own ids only, and searches skip empty shards.

    Failures: an actor that dies, or does not answer within ``timeout`` nor
    a liveness probe of a few seconds after it, is killed and restarted
    once from its shard's last save (empty if it was never saved). A read
    (search, range search, get) whose shards are only slow restarts nothing:
    it raises ``ShardTimeout`` naming them, and the index stays as it was. Rows removed since that save are removed again. Rows added
    to it since that save are lost: the operation raises ``ShardError``
    naming the shard, with the lost ids in its ``lost`` attribute, and the
    index goes on without them (as if they had been removed). An operation
    never returns a partial answer. A shard whose actor cannot be restarted
    raises ``ShardError`` in every operation that needs it.

    Threads: ``set_num_threads`` and ``threadpool_limits`` limit this
    process's worker pool, which the local backend's shards share; each Ray
    actor runs on a pool of its own process, sized by ``LUMVO_THREADS`` in
    the actor's environment (``actor_options={"runtime_env": {"env_vars":
    {"LUMVO_THREADS": "1"}}}``).

    Arguments:
        dims: values per row, 1 to 10,000.
        metric: ``"cosine"``, ``"dot"`` or ``"euclidean"`` (see ``Index``).
        shards: number of shards, 1 to 4,096.
        backend: ``"ray"`` (one actor per shard) or ``"local"`` (every shard
            in this process: the same answers, no failures to survive).
        ray_address: The cluster to join when Ray is not initialised yet
            (see ``ShardedIndex``); Ray is then shut down by :meth:`close`.
        actor_options: Extra ``.options()`` for each shard's actor: a
            mapping, or a function of (shard number, ``{"shard": i,
            "directory": its saved directory or None}``) returning one, called
            again when the shard is restarted (for a node-affinity
            scheduling strategy, say).
        timeout: Seconds every operation waits for all its shards' answers
            together (one deadline), and for a restarted actor; at most 30
            of them for a cluster to accept a connection. None waits without
            limit.

    Raises:
        ValueError: dims out of range, an unknown metric or backend, a shard
            count out of range, or a timeout that is not positive.
        TypeError: dims or shards is not an integer.
        ConnectionError: The Ray cluster cannot be reached.
        ShardError: A shard's actor did not start.
        ImportError: ``backend="ray"`` without Ray installed.

    Examples:
        >>> import numpy as np
        >>> ix = DistributedIndex(4, metric="dot", shards=2, backend="local")
        >>> ix.add(np.eye(4), ids=[10, 11, 12, 13])
        >>> ix.search([0, 1, 0, 0], k=2)[1].tolist()
        [[11, 10]]
    """

    def __init__(self, dims: int, metric: str = "cosine", shards: int = 2, *,
                 backend: Literal["ray", "local"] = "ray", ray_address: str | None = None,
                 actor_options: ActorOptions = None,
                 timeout: float | None = DEFAULT_TIMEOUT) -> None:
        Index(dims, cast(Any, metric))  # the Index's own checks and messages
        n = integer(shards, "shards")
        if not 1 <= n <= _MAX_SHARDS:
            raise ValueError(f"shards must be between 1 and {_MAX_SHARDS}; got {n}")
        self._setup(int(dims), str(metric), backend, ray_address, actor_options, timeout)
        try:
            self._start([(None, None)] * n)
        except BaseException:
            self.close()
            raise

    def _setup(self, dims: int, metric: str, backend: str, ray_address: str | None,
               actor_options: ActorOptions, timeout: float | None) -> None:
        self._closed = True
        self._handles: list[Any] = []
        if backend not in ("ray", "local"):
            raise ValueError(f"unknown backend {backend!r}: expected 'ray' or 'local'")
        if timeout is not None and not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        self._dims, self._metric, self._timeout = dims, metric, timeout
        self._backend_name = backend
        self._lock = threading.RLock()
        self._lookup = Lookup(np.zeros(0, np.int64), np.zeros(0, np.int64))
        self._id_of: IdArray = np.zeros(0, np.int64)  # by insertion number
        self._shard_of: npt.NDArray[np.int16] = np.zeros(0, np.int16)
        self._live: npt.NDArray[np.bool_] = np.zeros(0, np.bool_)
        self._next_insertion = 0
        self._next_id = 0
        self._live_count = 0
        self._counts: list[int] = []
        self._saved: list[tuple[str | None, str | None]] = []  # directory, its hash
        self._saved_order: list[IdArray] = []  # (id, insertion number) at that save
        self._broken: set[int] = set()
        self._shard_seconds: dict[int, float] = {}
        self.restarts = 0
        self._backend: _LocalShards | _RayShards = (
            _LocalShards() if backend == "local" else
            _RayShards(ray_address, actor_options, timeout))
        self._closed = False

    def _start(self, sources: list[tuple[str | None, str | None]]) -> None:
        """Starts one shard per (directory, hash) at once and waits for all."""
        n = len(sources)
        self._counts = [0] * n
        self._saved = list(sources)
        self._saved_order = [np.zeros((0, 2), np.int64) for _ in range(n)]
        self._handles = [self._backend.spawn(i, self._dims, self._metric, d, h)
                         for i, (d, h) in enumerate(sources)]
        tickets = {i: self._backend.submit(s, "info") for i, s in enumerate(self._handles)}
        replies = self._backend.collect(tickets, self._deadline())
        for i in range(n):
            self._check_started(i, replies[i])

    def _check_started(self, i: int, reply: Any) -> None:
        if isinstance(reply, BaseException):
            raise ShardError(i, self._file(i), f"{self._label(i)}: its actor did not start: "
                                               f"{_short(reply)}") from reply
        if reply[0] != "ok":
            raise ValueError(f"{self._label(i)}: {reply[1]}")

    # -- properties -------------------------------------------------------

    @property
    def dims(self) -> int:
        """Values per row."""
        return self._dims

    @property
    def metric(self) -> str:
        """``"cosine"``, ``"dot"`` or ``"euclidean"``."""
        return self._metric

    @property
    def n_shards(self) -> int:
        """Number of shards."""
        return len(self._handles)

    @property
    def backend(self) -> str:
        """``"ray"`` or ``"local"``."""
        return self._backend_name

    @property
    def actor_names(self) -> list[str]:
        """Names of the shards' actors (Ray backend), in shard order; they
        start with ``"lumvero-index-shard-"``."""
        return [self._backend.name(h) for h in self._handles]

    def shard_rows(self) -> list[int]:
        """Live rows per shard."""
        with self._lock:
            return list(self._counts)

    def __len__(self) -> int:
        """Live rows (added and not removed)."""
        return self._live_count

    def __repr__(self) -> str:
        state = "closed" if self._closed else self._backend_name
        return (f"DistributedIndex(dims={self._dims}, metric={self._metric!r}, "
                f"rows={self._live_count}, shards={len(self._handles)}, {state})")

    def ids(self) -> IdArray:
        """The ids of the live rows, in insertion order.

        Returns:
            A new int64 array of ``len(self)`` ids.
        """
        with self._lock:
            n = self._next_insertion
            return self._id_of[:n][self._live[:n]].copy()

    def shard_info(self) -> list[dict[str, Any]]:
        """Per shard, where it is served: ``"pid"``, ``"host"``, ``"rows"``
        (and ``"node_id"`` on Ray).

        Raises:
            ShardError: A shard could not answer (see the class).
        """
        with self._lock:
            replies = self._each({i: ("info",) for i in range(len(self._handles))})
            return [replies[i] for i in range(len(self._handles))]

    # -- the shards' bookkeeping --------------------------------------------

    def _label(self, i: int) -> str:
        d = self._saved[i][0] if i < len(self._saved) else None
        return f"shard {i} ({os.path.basename(d) if d else 'never saved'})"

    def _file(self, i: int) -> str:
        d = self._saved[i][0] if i < len(self._saved) else None
        return os.path.basename(d) if d else ""

    def _deadline(self) -> float | None:
        return None if self._timeout is None else time.monotonic() + self._timeout

    def _grow(self, n: int) -> None:
        need = self._next_insertion + n
        if need > self._id_of.shape[0]:
            cap = max(need, 2 * self._id_of.shape[0], 1024)
            for name, dtype in (("_id_of", np.int64), ("_shard_of", np.int16),
                                ("_live", np.bool_)):
                old = getattr(self, name)
                new = np.zeros(cap, dtype)
                new[: self._next_insertion] = old[: self._next_insertion]
                setattr(self, name, new)

    def _register(self, i: int, insertions: IdArray, ids: IdArray) -> None:
        """Records rows a shard has taken, under their insertion numbers."""
        if insertions.size == 0:
            return
        self._id_of[insertions] = ids
        self._live[insertions] = True
        self._shard_of[insertions] = i
        self._counts[i] += int(insertions.size)
        self._live_count += int(insertions.size)
        self._next_id = max(self._next_id, int(ids.max()) + 1)
        self._lookup.add(ids, insertions)

    def _unregister(self, insertions: IdArray) -> None:
        insertions = insertions[self._live[insertions]]
        if insertions.size == 0:
            return
        self._live[insertions] = False
        self._lookup.remove(np.sort(self._id_of[insertions]))
        self._live_count -= int(insertions.size)
        for i, c in enumerate(np.bincount(self._shard_of[insertions], minlength=len(self._counts))):
            self._counts[i] -= int(c)

    def _shard_insertions(self, i: int) -> IdArray:
        n = self._next_insertion
        return np.flatnonzero(self._live[:n] & (self._shard_of[:n] == i)).astype(np.int64)

    # -- calling the shards ---------------------------------------------------

    def _each(self, calls: dict[int, tuple[Any, ...]],
              done: dict[int, Any] | None = None) -> dict[int, Any]:
        """Runs one call per listed shard at once and waits for all of them
        until one deadline. A shard that fails is restarted (see the class)
        and asked once more; a refusal is raised as the shard raised it.
        done, when given, receives every shard's answer as it is known, so a
        caller sees which shards did their part of a call that raised."""
        out: dict[int, Any] = {} if done is None else done
        self._shard_seconds = {}
        tickets = {i: self._backend.submit(self._handles[i], *c) for i, c in calls.items()
                   if i not in self._broken}
        replies = self._backend.collect(tickets, self._deadline())
        if calls and next(iter(calls.values()))[0] in _READS:
            self._refuse_if_slow(replies)
        for i in calls:
            if i in self._broken:
                replies[i] = _Failure("its actor could not be restarted before")
        failed: dict[int, str] = {}
        refusal: tuple[str, str] | None = None
        for i in sorted(replies):
            r = replies[i]
            if isinstance(r, BaseException):
                failed[i] = r.cause if isinstance(r, _Failure) else _short(r)
            elif r[0] == "failed":
                failed[i] = str(r[1])
            elif r[0] == "error":
                refusal = refusal or (r[1][0], f"{self._label(i)}: {r[1][1]}"
                                      if r[1][0] not in ("ValueError", "TypeError") else r[1][1])
            else:
                out[i] = r[1]
                self._shard_seconds[i] = r[2]
        if failed:
            self._recover(failed, calls, out)
        if refusal is not None:
            raise _ERROR_TYPES.get(refusal[0], RuntimeError)(refusal[1])
        return out

    def _refuse_if_slow(self, replies: dict[int, Any]) -> None:
        """A read that timed out on shards still alive raises ShardTimeout:
        a slow shard is not a dead one, and restarting it from its last save
        would cost the rows added since."""
        late = {i: self._handles[i] for i, r in replies.items() if self._backend.timed_out(r)}
        slow = sorted(self._backend.probe(late, _PROBE_SECONDS)) if late else []
        if slow:
            names = ", ".join(self._label(i) for i in slow)
            raise ShardTimeout(slow, f"{names} did not answer within the timeout of "
                                     f"{self._timeout} s but {'is' if len(slow) == 1 else 'are'} "
                                     f"alive; nothing was restarted or changed: ask again, or "
                                     f"open the index with a longer timeout")

    def _recover(self, failed: dict[int, str], calls: dict[int, tuple[Any, ...]],
                 out: dict[int, Any]) -> None:
        """Restarts the failed shards from their last saves, reconciles them
        with the rows they should hold, then asks them again."""
        losses: list[tuple[int, IdArray]] = []
        fatal: ShardError | None = None
        for i, cause in failed.items():
            try:
                self._restart(i, cause)
                lost = self._reconcile(i)
            except ShardError as e:
                fatal = fatal or e
                continue
            if lost.size:
                losses.append((i, lost))
        if fatal is not None:
            raise fatal
        if losses:
            raise self._lost_error(losses, failed)
        tickets = {i: self._backend.submit(self._handles[i], *calls[i]) for i in failed}
        replies = self._backend.collect(tickets, self._deadline())
        for i in sorted(replies):
            r = replies[i]
            if isinstance(r, BaseException) or r[0] != "ok":
                if not isinstance(r, BaseException) and r[0] == "error":
                    raise _ERROR_TYPES.get(r[1][0], RuntimeError)(r[1][1])
                again = _short(r) if isinstance(r, BaseException) else str(r[1])
                self._broken.add(i)
                raise ShardError(i, self._file(i), f"{self._label(i)} did not answer "
                                                   f"({failed[i]}) and failed again after a "
                                                   f"restart ({again})")
            out[i] = r[1]
            self._shard_seconds[i] = r[2]

    def _lost_error(self, losses: list[tuple[int, IdArray]], failed: dict[int, str]) -> ShardError:
        parts = []
        for i, lost in losses:
            since = ("restarted from its last save" if self._saved[i][0] else
                     "restarted empty (it was never saved)")
            rows = f"{lost.size} row{'s' if lost.size != 1 else ''}"
            parts.append(f"{self._label(i)} failed ({failed[i]}) and was {since}; {rows} added "
                         f"to it since then {'is' if lost.size == 1 else 'are'} lost: ids "
                         f"{listed(lost)}")
        first = losses[0][0]
        return ShardError(first, self._file(first), "; ".join(parts),
                          lost=np.sort(np.concatenate([lost for _, lost in losses])))

    def _restart(self, i: int, cause: str) -> None:
        """Kills shard i's actor (in case it only hangs) and starts a new one
        from the shard's last save."""
        self.restarts += 1
        self._backend.kill(self._handles[i])
        directory, digest = self._saved[i]
        self._handles[i] = self._backend.spawn(i, self._dims, self._metric, directory, digest)
        reply = self._backend.collect({i: self._backend.submit(self._handles[i], "ids")},
                                      self._deadline())[i]
        if isinstance(reply, BaseException) or reply[0] != "ok":
            self._broken.add(i)
            again = _short(reply) if isinstance(reply, BaseException) else str(reply[1])
            raise ShardError(i, self._file(i), f"{self._label(i)} did not answer ({cause}) and "
                                               f"could not be restarted from its last save "
                                               f"({again})")
        self._broken.discard(i)
        held = np.asarray(reply[1], np.int64)
        if not np.array_equal(held, self._saved_order[i][:, 0]):
            self._broken.add(i)
            raise ShardError(i, self._file(i), f"{self._label(i)} did not answer ({cause}) and "
                                               f"its last save no longer holds the rows it was "
                                               f"saved with")

    def _reconcile(self, i: int) -> IdArray:
        """Brings a shard restarted from its last save up to date: rows
        removed since are removed again; returns the ids of the rows added
        since, now dropped from the index."""
        saved = self._saved_order[i]
        now = self._shard_insertions(i)
        stale = saved[~np.isin(saved[:, 1], now), 0]
        lost_insertions = now[~np.isin(now, saved[:, 1])]
        if stale.size:
            reply = self._backend.collect(
                {i: self._backend.submit(self._handles[i], "remove", stale)},
                self._deadline())[i]
            if isinstance(reply, BaseException) or reply[0] != "ok":
                self._broken.add(i)
                raise ShardError(i, self._file(i), f"{self._label(i)} was restarted but could "
                                                   f"not remove the rows removed since its last "
                                                   f"save")
        lost = np.sort(self._id_of[lost_insertions])
        self._unregister(lost_insertions)
        return lost

    # -- adding and removing ----------------------------------------------

    def add(self, X: npt.ArrayLike, ids: IdsLike | None = None) -> None:
        """Adds rows, placed on the shards with the fewest live rows (see
        :func:`place_rows`). Nothing is added when anything is wrong with
        the arguments; see ``Index.add`` for them and their errors.

        Raises:
            ValueError, TypeError: As ``Index.add``.
            ShardError: A shard failed (see the class); rows given to other
                shards are added, those given to the failed shard are not, and
                are listed in the message and in ``lost`` with the rows it
                lost.
        """
        rows = float_rows(X, "X", self._dims)
        n = int(rows.shape[0])
        with self._lock:
            self._check_open()
            new_ids = self._check_new_ids(ids, n)
            if self._metric == "cosine":
                normalize(rows.copy(), "X", zero_ok=True)  # the shards scale the rows
            if n == 0:
                return
            take = place_rows(self._counts, n)
            self._grow(n)
            first = self._next_insertion
            self._next_insertion += n  # numbers of rows a failed shard did not take stay unused
            pieces, calls, at = [], {}, 0
            for i, t in enumerate(take):
                if t:
                    pieces.append((i, at, at + t))
                    calls[i] = ("add", rows[at: at + t], new_ids[at: at + t])
                    at += t
            done: dict[int, Any] = {}
            try:
                self._each(calls, done)
            except ShardError as e:
                # This call's rows for the shards that failed are not added
                # either: said, never silently dropped.
                skipped = [new_ids[a:b] for i, a, b in pieces if i not in done]
                if skipped:
                    lost = np.sort(np.concatenate(skipped))
                    e.lost = np.union1d(e.lost, lost)
                    e.args = (f"{e}; {lost.size} row{'s' if lost.size != 1 else ''} of this "
                              f"add {'was' if lost.size == 1 else 'were'} not added: ids "
                              f"{listed(lost)}",)
                raise
            finally:
                # Only the pieces the shards took are the index's rows.
                for i, a, b in pieces:
                    if i in done:
                        self._register(i, np.arange(first + a, first + b, dtype=np.int64),
                                       new_ids[a:b])

    def _check_new_ids(self, ids: IdsLike | None, n: int) -> IdArray:
        if ids is None:
            return default_ids(self._next_id, n)
        a = int_ids(ids, "ids")
        if a.shape[0] != n:
            raise ValueError(f"got {a.shape[0]} ids for {n} rows of X; pass one id per row")
        if n == 0:
            return a
        uniq, counts = np.unique(a, return_counts=True)
        if uniq.size != n:
            raise ValueError(f"ids repeated in this call: {listed(uniq[counts > 1])}")
        if uniq[0] < 0:
            raise ValueError(f"ids must be >= 0; negative ids: {listed(uniq[uniq < 0])}")
        if self._live_count:
            present = uniq[self._lookup.find(uniq) >= 0]
            if present.size:
                raise ValueError(f"ids already present: {listed(present)}")
        return a

    def remove(self, ids: IdsLike) -> int:
        """Removes rows by id, asking only the shards that hold them.

        Returns:
            How many of the ids were present (each counted once).

        Raises:
            TypeError: ids of a non-integer dtype.
            ShardError: A shard failed (see the class); the rows are removed
                all the same.
        """
        a = sorted_unique(int_ids(ids, "ids"))
        with self._lock:
            self._check_open()
            if a.size == 0 or self._live_count == 0:
                return 0
            insertions = self._lookup.find(a)
            hit = insertions >= 0
            insertions, present = insertions[hit], a[hit]
            if insertions.size == 0:
                return 0
            where = self._shard_of[insertions]
            self._unregister(insertions)
            self._each({int(i): ("remove", present[where == i]) for i in np.unique(where)})
            return int(insertions.size)

    def compact(self) -> None:
        """Compacts every shard (see ``Index.compact``); answers are
        unchanged."""
        with self._lock:
            self._check_open()
            self._each({i: ("compact",) for i in range(len(self._handles))})

    # -- searching ----------------------------------------------------------

    def search(self, Q: npt.ArrayLike, k: int, allow: IdsLike | None = None,
               stats: dict[str, object] | None = None) -> tuple[FloatArray, IdArray]:
        """The k best live rows for each query, exactly, over all shards.

        Arguments, returns and errors are those of ``Index.search``; each
        shard gets the queries once and, with ``allow``, only its own
        allowed ids. Shards without live (allowed) rows are not asked, and
        none is asked for more places than it has rows: the padding beyond
        the rows is made once, after the merge. ``stats`` receives the
        shards' counts summed (``"prefiltered"``: whether any shard's
        pre-filter ran).

        Raises:
            ValueError, TypeError: As ``Index.search``.
            ShardError: A shard failed (see the class); no partial answer.
        """
        k = result_count(k)
        if stats is not None and not isinstance(stats, dict):
            raise TypeError(f"stats must be a dict or None; got {type(stats).__name__}")
        queries = self._queries(Q)
        allow_ids = None if allow is None else sorted_unique(int_ids(allow, "allow"))
        with self._lock:
            self._check_open()
            targets = self._targets(allow_ids)
            n = int(queries.shape[0])
            if not targets or n == 0:
                if stats is not None:
                    stats.update(prefiltered=False, rows_scanned=0, rows_rescored=0,
                                 rows_fallback=0)
                return merge_top_k([(np.zeros((n, 0), np.float32), np.zeros((n, 0), np.int64))],
                                   k, self._metric)
            shared = self._backend.share(queries)
            replies = self._each({i: ("search", shared, min(k, rows), a, stats is not None)
                                  for i, (a, rows) in targets.items()})
            parts = []
            for i in sorted(replies):
                scores, ids = replies[i][:2]
                parts.append((scores, self._insertions_of(ids)))
            if stats is not None:
                stats.update(_summed_stats([replies[i][2] for i in sorted(replies)]))
            scores, insertions = merge_top_k(parts, k, self._metric)
            return scores, self._ids_of(insertions)

    def range_search(self, Q: npt.ArrayLike, radius: float | np.floating[Any] | np.integer[Any],
                     allow: IdsLike | None = None
                     ) -> tuple[IdArray, FloatArray, IdArray]:
        """Every live row within a radius of each query, exactly, over all
        shards: arguments, returns (``lims, scores, ids`` as FAISS's
        ``range_search``) and errors are those of ``Index.range_search``,
        and so is the answer, equal scores by earlier insertion.

        Raises:
            ValueError, TypeError: As ``Index.range_search``.
            ShardError: A shard failed (see the class); no partial answer.
        """
        score_bound(radius, True)  # the Index's own checks and messages, before any call
        queries = self._queries(Q)
        allow_ids = None if allow is None else sorted_unique(int_ids(allow, "allow"))
        with self._lock:
            self._check_open()
            targets = self._targets(allow_ids)
            n = int(queries.shape[0])
            parts = [(np.zeros((n, 0), np.float32), np.zeros((n, 0), np.int64))]
            if targets and n:
                shared = self._backend.share(queries)
                replies = self._each({i: ("range_search", shared, radius, a)
                                      for i, (a, _) in targets.items()})
                parts += [self._padded_lists(*replies[i]) for i in sorted(replies)]
            width = sum(p[1].shape[1] for p in parts)
            scores, insertions = merge_top_k(parts, width, self._metric)
            found = insertions >= 0
            lims = np.zeros(n + 1, np.int64)
            np.cumsum(found.sum(axis=1), out=lims[1:])
            return lims, scores[found], self._ids_of(insertions[found])

    def _queries(self, Q: npt.ArrayLike) -> FloatArray:
        """Q checked as ``Index`` checks it (the shards scale cosine queries)."""
        queries = float_rows(Q, "Q", self._dims)
        if self._metric == "cosine":
            normalize(queries.copy(), "Q", zero_ok=False)
        return queries

    def _insertions_of(self, ids: IdArray) -> IdArray:
        """Insertion numbers of a shard's answer ids, -1 kept for empty places."""
        out = np.full(ids.shape, -1, np.int64)
        found = ids >= 0
        out[found] = self._lookup.find(ids[found])
        return out

    def _ids_of(self, insertions: IdArray) -> IdArray:
        out = np.full(insertions.shape, -1, np.int64)
        found = insertions >= 0
        out[found] = self._id_of[insertions[found]]
        return out

    def _padded_lists(self, lims: IdArray, scores: FloatArray, ids: IdArray
                      ) -> tuple[FloatArray, IdArray]:
        """One shard's range answer as (n, longest) arrays, empty places last."""
        n = int(lims.shape[0]) - 1
        counts = np.diff(lims)
        width = int(counts.max()) if n else 0
        fill = np.float32(np.inf if self._metric == "euclidean" else -np.inf)
        s = np.full((n, width), fill, np.float32)
        ins = np.full((n, width), -1, np.int64)
        rows = np.repeat(np.arange(n), counts)
        cols = np.arange(int(lims[-1])) - np.repeat(lims[:-1], counts)
        s[rows, cols] = scores
        ins[rows, cols] = self._insertions_of(ids)
        return s, ins

    def __contains__(self, id: object) -> bool:
        """Whether id is the id of a live row, as ``Index``: only integers
        (Python or NumPy) can be. Answered here, without the shards."""
        try:
            i = operator.index(id)  # type: ignore[arg-type]
        except TypeError:
            return False
        if not 0 <= i <= INT64_MAX:
            return False
        with self._lock:
            return bool(self._lookup.find(np.array([i], np.int64))[0] >= 0)

    def get(self, ids: IdsLike) -> FloatArray:
        """The rows of live ids, as stored: arguments, returns and errors are
        those of ``Index.get``; each shard is asked for its own ids only.

        Raises:
            KeyError, TypeError: As ``Index.get``.
            ShardError: A shard failed (see the class); nothing is returned.
        """
        a = int_ids(ids, "ids")
        with self._lock:
            self._check_open()
            insertions = self._lookup.find(a)
            missing = insertions < 0
            if missing.any():
                raise KeyError(f"ids not present: {listed(sorted_unique(a[missing]))}")
            where = self._shard_of[insertions]
            out = np.empty((a.shape[0], self._dims), np.float32)
            shards = [int(i) for i in np.unique(where)]
            replies = self._each({i: ("get", a[where == i]) for i in shards})
            for i in shards:
                out[where == i] = replies[i]
            return out

    def verify(self) -> None:
        """Each shard's ``Index.verify``: the row files its load mapped
        without reading are hashed and checked.

        Raises:
            ValueError: As ``Index.verify`` (the shard is named).
            ShardError: A shard failed (see the class).
        """
        with self._lock:
            self._check_open()
            self._each({i: ("verify",) for i in range(len(self._handles))})

    def __reduce_ex__(self, protocol: SupportsIndex) -> NoReturn:
        raise TypeError("a DistributedIndex holds live shards and cannot be copied or pickled; "
                        "save it (ix.save(path)) and open the copy with "
                        "DistributedIndex.load(path)")

    def _targets(self, allow_ids: IdArray | None) -> dict[int, tuple[IdArray | None, int]]:
        """The shards a search asks, each with its allowed ids (None: all its
        rows) and how many rows it may return."""
        if allow_ids is None:
            return {i: (None, c) for i, c in enumerate(self._counts) if c}
        insertions = self._lookup.find(allow_ids)
        hit = insertions >= 0
        where = self._shard_of[insertions[hit]]
        present = allow_ids[hit]
        out: dict[int, tuple[IdArray | None, int]] = {}
        for i in np.unique(where):
            mine = present[where == i]
            out[int(i)] = (mine, int(mine.shape[0]))
        return out

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
                names = [f"shard-{i:05d}-{commit.token}" for i in range(len(self._handles))]
                commit.folders += [Path(top, name) for name in names]
                hashes = self._each({i: ("save", os.path.join(top, name))
                                     for i, name in enumerate(names)})
                orders = []
                for i in range(len(self._handles)):
                    insertions = self._shard_insertions(i)
                    orders.append(np.column_stack([self._id_of[insertions],
                                                   insertions]).astype(np.int64))
                write_saved(commit, self._dims, self._metric, self._next_id,
                            [(names[i], hashes[i], orders[i]) for i in range(len(names))])
                for i, name in enumerate(names):
                    self._saved[i] = (os.path.join(top, name), hashes[i])
                    self._saved_order[i] = orders[i]
                # Earlier saves' directories on the shards' own nodes, still
                # under the lock: a later save's directories are not touched.
                self._each({i: ("sweep", top, i, name) for i, name in enumerate(names)})

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, shards: int | None = None,
             backend: Literal["ray", "local"] = "ray", ray_address: str | None = None,
             actor_options: ActorOptions = None,
             timeout: float | None = DEFAULT_TIMEOUT) -> DistributedIndex:
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
            shards: The number of shards, at least as many as saved (default):
                the others start empty and receive new rows first.
            backend, ray_address, actor_options, timeout: As for the
                constructor.

        Returns:
            The index, answering exactly as the one saved.

        Raises:
            ValueError: A malformed manifest, a missing or altered file
                (named), a shard count below the saved one, or a manifest
                replaced at every attempt.
            FileNotFoundError: No manifest in the directory.
            ShardError: A shard's actor did not start.
        """
        top = os.path.abspath(os.fspath(path))
        for _ in range(LOAD_ATTEMPTS):
            before = manifest_bytes(top)
            try:
                return cls._load(top, shards, backend, ray_address, actor_options, timeout)
            except (ValueError, OSError):
                if not _replaced(top, before):
                    raise
        raise ValueError(f"sharded index directory {top}: manifest.json was replaced "
                         f"{LOAD_ATTEMPTS} times while the index was being loaded; try again "
                         f"when saves pause")

    @classmethod
    def _load(cls, top: str, shards: int | None, backend: Literal["ray", "local"],
              ray_address: str | None, actor_options: ActorOptions,
              timeout: float | None) -> DistributedIndex:
        """One attempt of :meth:`load` from the manifest as it is now."""
        if saved_kind(top) == "index":
            sources: list[tuple[str | None, str | None]] = [(top, directory_hash(top))]
            dims, metric, next_id = index_summary(top)
            orders = None
        else:
            saved = read_saved(top)
            sources = [(s.directory, s.blake3) for s in saved.shards]
            dims, metric, next_id = saved.dims, saved.metric, saved.next_id
            orders = [s.order for s in saved.shards]
        n = len(sources) if shards is None else integer(shards, "shards")
        if not len(sources) <= n <= _MAX_SHARDS:
            raise ValueError(f"shards must be between the {len(sources)} saved and "
                             f"{_MAX_SHARDS}; got {n}")
        self = cls.__new__(cls)
        self._setup(dims, metric, backend, ray_address, actor_options, timeout)
        try:
            self._start(sources + [(None, None)] * (n - len(sources)))
            self._adopt(sources, orders, next_id)
        except BaseException:
            self.close()
            raise
        return self

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
        live = np.flatnonzero(self._live[:total]).astype(np.int64)
        self._lookup = Lookup(self._id_of[live], live)
        self._next_id = next_id

    # -- closing ------------------------------------------------------------

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("this DistributedIndex is closed")

    def close(self) -> None:
        """Stops the actors (and Ray, if this index started it); idempotent.
        Rows not saved are gone with them."""
        self._closed = True
        backend = getattr(self, "_backend", None)
        handles, self._handles = getattr(self, "_handles", []), []
        if backend is not None:
            for h in handles:
                backend.kill(h)
            backend.close()

    def __enter__(self) -> DistributedIndex:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

