"""The shards of a ``DistributedIndex`` and the bookkeeping that makes them
one index: every row's id, shard and global insertion number, one call sent
to several shards at once under one deadline, and what happens when a shard
fails (restarted from its last save, the rows added since reported lost) or
is only slow (nothing restarted)."""
from __future__ import annotations

import os
import threading
import time
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from lumvero_contrib._index_args import listed
from lumvero_contrib._index_rows import Lookup
from lumvero_contrib.shards.common import ActorOptions, ShardError, ShardTimeout, short
from lumvero_contrib.shards.shard_hosts import Failure, LocalShards, RayShards

__all__ = ["ShardSet", "ERROR_TYPES"]

IdArray = npt.NDArray[np.int64]

# Calls that change nothing in a shard: when they time out on a shard that
# still answers a liveness probe, nothing is restarted.
_READS: Final = frozenset({"search", "range_search", "get", "ids", "verify", "info",
                           "attr_types"})
# How long a liveness probe waits: an actor that answers nothing within this
# (dead, or stopped) is restarted.
_PROBE_SECONDS: Final = 5.0
ERROR_TYPES: Final = {"ValueError": ValueError, "TypeError": TypeError, "OSError": OSError,
                      "FileNotFoundError": FileNotFoundError,
                      "PermissionError": PermissionError}


class ShardSet:
    """The shards and their bookkeeping (the state every ``DistributedIndex``
    operation works on)."""

    def _setup(self, dims: int, metric: str, backend: str, ray_address: str | None,
               actor_options: ActorOptions, timeout: float | None) -> None:
        self._closed = True
        self._handles: list[Any] = []
        if backend not in ("ray", "local"):
            raise ValueError(f"unknown backend {backend!r}: expected 'ray' or 'local'")
        if timeout is not None and not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        self._dims, self._metric, self._timeout = dims, metric, timeout
        self._mmap = True  # how shards load their saved directories
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
        self._attr_types: dict[str, Any] = {}  # the attribute columns, as Index keeps them
        self._saved: list[tuple[str | None, str | None]] = []  # directory, its hash
        self._saved_order: list[IdArray] = []  # (id, insertion number) at that save
        self._broken: set[int] = set()
        self._shard_seconds: dict[int, float] = {}
        self.restarts = 0
        self._backend: LocalShards | RayShards = (
            LocalShards() if backend == "local" else
            RayShards(ray_address, actor_options, timeout))
        self._closed = False

    def _start(self, sources: list[tuple[str | None, str | None]]) -> None:
        """Starts one shard per (directory, hash) at once and waits for all."""
        n = len(sources)
        self._counts = [0] * n
        self._saved = list(sources)
        self._saved_order = [np.zeros((0, 2), np.int64) for _ in range(n)]
        self._handles = [self._backend.spawn(i, self._dims, self._metric, d, h, self._mmap)
                         for i, (d, h) in enumerate(sources)]
        tickets = {i: self._backend.submit(s, "info") for i, s in enumerate(self._handles)}
        replies = self._backend.collect(tickets, self._deadline())
        for i in range(n):
            self._check_started(i, replies[i])

    def _check_started(self, i: int, reply: Any) -> None:
        if isinstance(reply, BaseException):
            raise ShardError(i, self._file(i), f"{self._label(i)}: its actor did not start: "
                                               f"{short(reply)}") from reply
        if reply[0] != "ok":
            raise ValueError(f"{self._label(i)}: {reply[1]}")

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
                replies[i] = Failure("its actor could not be restarted before")
        failed, refusal = self._sort_replies(replies, out)
        if failed:
            self._recover(failed, calls, out)
        if refusal is not None:
            raise ERROR_TYPES.get(refusal[0], RuntimeError)(refusal[1])
        return out

    def _sort_replies(self, replies: dict[int, Any], out: dict[int, Any]
                      ) -> tuple[dict[int, str], tuple[str, str] | None]:
        """Answers into out; returns the failed shards (with why) and the
        first refusal (exception type name, message)."""
        failed: dict[int, str] = {}
        refusal: tuple[str, str] | None = None
        for i in sorted(replies):
            r = replies[i]
            if isinstance(r, BaseException):
                failed[i] = r.cause if isinstance(r, Failure) else short(r)
            elif r[0] == "failed":
                failed[i] = str(r[1])
            elif r[0] == "error":
                refusal = refusal or (r[1][0], f"{self._label(i)}: {r[1][1]}"
                                      if r[1][0] not in ("ValueError", "TypeError") else r[1][1])
            else:
                out[i] = r[1]
                self._shard_seconds[i] = r[2]
        return failed, refusal

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
                    raise ERROR_TYPES.get(r[1][0], RuntimeError)(r[1][1])
                again = short(r) if isinstance(r, BaseException) else str(r[1])
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
        self._handles[i] = self._backend.spawn(i, self._dims, self._metric, directory, digest,
                                               self._mmap)
        reply = self._backend.collect({i: self._backend.submit(self._handles[i], "ids")},
                                      self._deadline())[i]
        if isinstance(reply, BaseException) or reply[0] != "ok":
            self._broken.add(i)
            again = short(reply) if isinstance(reply, BaseException) else str(reply[1])
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
