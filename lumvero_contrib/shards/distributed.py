"""``DistributedIndex``: an ``Index`` cut into shards, each an ``Index`` held
by a Ray actor (or, for trying things out, by this process), with the
``Index``'s operations and its exact answers.

Every row carries its global insertion number, kept here with the row's id
and shard; each shard answers with its own k best under the engine's order,
and the merge breaks equal scores by that number, so the answer is the one a
single ``Index`` that received the same operations gives.
"""
from __future__ import annotations

from typing import Any, Literal, cast

import numpy as np
import numpy.typing as npt

from lumvero_contrib._index_args import (default_ids, float_rows, int_ids, integer, listed,
                                         normalize, sorted_unique)
from lumvero_contrib._index_attrs import attrs_table, merged_types
from lumvero_contrib.index import IdsLike, Index
from lumvero_contrib.shards.common import DEFAULT_TIMEOUT, ActorOptions, ShardError
from lumvero_contrib.shards.distributed_saves import MAX_SHARDS, Saves
from lumvero_contrib.shards.shard_hosts import INDEX_ACTOR_PREFIX

__all__ = ["DistributedIndex", "place_rows", "INDEX_ACTOR_PREFIX"]

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]

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

def _add_calls(take: list[int], rows: FloatArray, ids: IdArray, table: Any,
               types: dict[str, Any]) -> tuple[list[tuple[int, int, int]],
                                               dict[int, tuple[Any, ...]]]:
    """The pieces of an add's rows (shard, start, end) and each shard's
    call: its rows, ids and attributes (with the index's columns)."""
    pieces: list[tuple[int, int, int]] = []
    calls: dict[int, tuple[Any, ...]] = {}
    at = 0
    for i, t in enumerate(take):
        if t:
            pieces.append((i, at, at + t))
            calls[i] = ("add", rows[at: at + t], ids[at: at + t],
                        None if table is None else table.slice(at, t), types)
            at += t
    return pieces, calls


class DistributedIndex(Saves):
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
    it raises ``ShardTimeout`` naming them, and the index stays as it was.
    Rows removed since that save are removed again. Rows added
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
        if not 1 <= n <= MAX_SHARDS:
            raise ValueError(f"shards must be between 1 and {MAX_SHARDS}; got {n}")
        self._setup(int(dims), str(metric), backend, ray_address, actor_options, timeout)
        try:
            self._start([(None, None)] * n)
        except BaseException:
            self.close()
            raise

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

    # -- adding and removing ----------------------------------------------

    def add(self, X: npt.ArrayLike, ids: IdsLike | None = None, attrs: object = None) -> None:
        """Adds rows, placed on the shards with the fewest live rows (see
        :func:`place_rows`), each with its attributes. Nothing is added when
        anything is wrong with the arguments; see ``Index.add`` for them and
        their errors (attribute columns are checked here against those of
        every shard).

        Raises:
            ValueError, TypeError: As ``Index.add``.
            ShardError: A shard failed (see the class); rows given to other
                shards are added, those given to the failed shard are not, and
                are listed in the message and in ``lost`` with the rows it
                lost.
        """
        rows = float_rows(X, "X", self._dims)
        n = int(rows.shape[0])
        table = None if attrs is None else attrs_table(attrs, n)
        with self._lock:
            self._check_open()
            new_ids = self._check_new_ids(ids, n)
            types = self._attr_types if table is None else merged_types(self._attr_types,
                                                                          table.schema)
            if self._metric == "cosine":
                normalize(rows.copy(), "X", zero_ok=True)  # the shards scale the rows
            self._attr_types = types
            if n == 0:
                return
            take = place_rows(self._counts, n)
            self._grow(n)
            first = self._next_insertion
            self._next_insertion += n  # numbers of rows a failed shard did not take stay unused
            pieces, calls = _add_calls(take, rows, new_ids, table, types)
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

    # -- closing ------------------------------------------------------------
    def __enter__(self) -> DistributedIndex:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False
