"""What the sharded searches share: their errors, their timeouts, the actor
options they take, and how they join a Ray cluster without waiting for ever
on an address nobody answers."""
import os
import re
import socket
import threading
import types
import urllib.parse
from collections.abc import Callable, Mapping
from typing import Any, Final

import numpy as np
from numpy.typing import NDArray

__all__ = ["ShardError", "ShardTimeout", "ActorOptions", "ACTOR_PREFIX", "DEFAULT_TIMEOUT",
           "CONNECT_TIMEOUT", "connect", "short"]

ACTOR_PREFIX: Final = "lumvero-shard-"
# Seconds to wait for a shard's answer, for an actor to open its shard and
# for a Ray cluster to accept the connection. A stopped actor or an
# unreachable cluster must end in an error, not a wait without end; an
# answer from a large shard to a large batch takes well under this.
DEFAULT_TIMEOUT: Final = 300.0
# A cluster that has not accepted a TCP connection in this time is down.
CONNECT_TIMEOUT: Final = 30.0

ActorOptions = Mapping[str, Any] | Callable[[int, dict[str, Any]], Mapping[str, Any]] | None
"""Extra ``.options()`` for the shard actors: a mapping, or a function of
(shard index, manifest entry) returning one."""

_ESCAPES = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]")


class ShardError(RuntimeError):
    """A shard could not answer, even after its actor was restarted once, or
    its actor did not start.

    Attributes:
        shard: The shard's index in the manifest.
        file: Its file name as written in the manifest (for a
            ``DistributedIndex``, its last saved directory's name, or "").
        lost: The ids of rows a ``DistributedIndex`` lost with a shard that
            was restarted from its last save (rows added since), int64; empty
            otherwise.
    """

    def __init__(self, shard: int, file: str, message: str,
                 lost: NDArray[np.int64] | None = None) -> None:
        super().__init__(message)
        self.shard = shard
        self.file = file
        self.lost: NDArray[np.int64] = np.zeros(0, np.int64) if lost is None else lost


class ShardTimeout(TimeoutError):
    """A read (search, range search, get) whose shards did not answer in
    time but are alive: it restarted nothing and changed nothing.

    Attributes:
        shards: The slow shards' numbers, ascending.
    """

    def __init__(self, shards: list[int], message: str) -> None:
        super().__init__(message)
        self.shards = shards


def short(exc: BaseException) -> str:
    """One line naming an exception and its first cause, without the
    terminal escape codes Ray puts in its task errors. A Ray task error is
    reported by the exception the actor raised."""
    cause = getattr(exc, "cause", None)
    if isinstance(cause, BaseException) and cause is not exc:
        exc = cause
    lines = _ESCAPES.sub("", str(exc)).strip().splitlines()
    return f"{type(exc).__name__}: {lines[0].strip() if lines else ''}".rstrip(": ")


# ---------------------------------------------------------------------------
# One shard


def gcs_endpoint(address: str) -> tuple[str, int] | None:
    """Host and port a Ray address connects to ("host:port", or
    "ray://host[:port]" for Ray Client); None for "auto", "local" and
    anything else Ray resolves itself."""
    if address in ("auto", "local"):
        return None
    client = address.startswith("ray://")
    if "://" in address and not client:
        return None
    parts = urllib.parse.urlsplit("//" + address.removeprefix("ray://"))
    try:
        port = parts.port
    except ValueError:
        return None
    if not parts.hostname or (port is None and not client):
        return None
    return parts.hostname, port if port is not None else 10001


def connect(ray: types.ModuleType, address: str | None, timeout: float | None) -> None:
    """``ray.init(address)``, after checking that a cluster's address (or
    else RAY_ADDRESS, which Ray then reads) takes a connection at all: Ray
    itself keeps retrying an address nobody listens on for minutes. Joining
    a cluster is bounded by ``timeout`` too, for an address that takes the
    connection but does not answer as Ray does (Ray retries that as long)."""
    target = address or os.environ.get("RAY_ADDRESS")
    endpoint = gcs_endpoint(target) if target else None
    if endpoint is not None:
        wait = min(timeout, CONNECT_TIMEOUT) if timeout is not None else CONNECT_TIMEOUT
        try:
            socket.create_connection(endpoint, timeout=wait).close()
        except TimeoutError:
            raise ConnectionError(f"cannot reach the Ray cluster at {target}: no answer in "
                                  f"{wait:g} s") from None
        except OSError as e:
            raise ConnectionError(f"cannot reach the Ray cluster at {target}: "
                                  f"{e.strerror or e}") from None
    if endpoint is None or timeout is None:
        # Starting a local cluster (no address, "local") takes what it takes,
        # and "auto" is found by Ray itself; both run on this thread.
        ray.init(address=address)
        return
    outcome: list[BaseException | None] = []

    def join() -> None:
        try:
            ray.init(address=address)
            outcome.append(None)
        except BaseException as e:  # handed to the waiting thread
            outcome.append(e)

    # Ray's own retries cannot be cut short: a join that outlives the
    # timeout is left to finish (or fail) on its daemon thread.
    joiner = threading.Thread(target=join, name="lumvero-ray-connect", daemon=True)
    joiner.start()
    joiner.join(timeout)
    if not outcome:
        raise ConnectionError(f"cannot connect to the Ray cluster at {target}: no answer "
                              f"from Ray in {timeout:g} s (is a Ray cluster listening there?)")
    if outcome[0] is not None:
        raise outcome[0]
