"""How many threads lumvero's parallel work runs on, set from Python.

lumvero runs its parallel work (the module's queries and index preparation,
``Index``'s searches and adds) on one worker pool per process, which the
module and ``lumvero_contrib`` share. The pool is created once, sized from
``LUMVO_THREADS`` (or the processors available) at the first index opened or
the first ``Index`` operation, and keeps that size for the life of the
process. What can change at any time is a limit: from the next call on, the
work is cut for and run on at most that many of the pool's threads.

Answers never depend on the limit: the same rows and the same score bits at
every count. The limit is per process, not per calling thread: it caps the
pool threads busy at once over all concurrent searches.

With ``threadpoolctl`` installed, importing ``lumvero_contrib`` registers a
controller for the pool (user API ``"lumvero"``), so
``threadpoolctl.threadpool_info()`` lists it and
``threadpoolctl.threadpool_limits(n)`` (or ``threadpool_limits(n,
user_api="lumvero")``) limits it, and puts the previous limit back on exit.
"""
import operator
from importlib import metadata

from lumvero_contrib import _native

__all__ = ["get_num_threads", "set_num_threads"]


def get_num_threads() -> int:
    """The number of threads lumvero's parallel work runs on now: the pool's
    size, or the limit last set by :func:`set_num_threads` when that is
    lower. Creates the pool (sized from ``LUMVO_THREADS``) when the process
    has none yet."""
    return _native.get_num_threads()


def set_num_threads(n: int) -> None:
    """Runs lumvero's parallel work (both the module's and ``Index``'s) on at
    most ``n`` threads of its pool, from the next call on, in every thread of
    the process.

    ``n`` is an integer >= 1. The pool never grows: a count at or above its
    size (``LUMVO_THREADS``, or the processors available) means the whole
    pool, and :func:`get_num_threads` then reports that size. Answers are the
    same at every count.

    Raises ``TypeError`` when ``n`` is not an integer (``bool`` included) and
    ``ValueError`` when it is below 1."""
    if isinstance(n, bool):
        raise TypeError("the number of threads must be an integer, not bool")
    try:
        count = operator.index(n)
    except TypeError:
        raise TypeError(
            f"the number of threads must be an integer, not {type(n).__name__}") from None
    if count < 1:
        raise ValueError(f"the number of threads must be at least 1, got {count}")
    _native.set_num_threads(count)


def _register_with_threadpoolctl() -> None:
    """Lets threadpoolctl list and limit the pool, when it is installed."""
    try:
        import threadpoolctl
    except ImportError:
        return
    if not hasattr(threadpoolctl, "register"):  # before 3.0: no custom controllers
        return

    class LumveroController(threadpoolctl.LibController):  # type: ignore[misc]
        """lumvero's worker pool as threadpoolctl sees it; ``num_threads`` is
        what :func:`get_num_threads` returns, ``pool_size`` the ceiling."""

        user_api = "lumvero"
        internal_api = "lumvero"
        filename_prefixes = ("liblumvero_core",)

        def get_num_threads(self) -> int:
            return get_num_threads()

        def set_num_threads(self, num_threads: int) -> None:
            set_num_threads(num_threads)

        def get_version(self) -> str:
            try:
                return metadata.version("lumvero")
            except metadata.PackageNotFoundError:
                return "unknown"

        def set_additional_attributes(self) -> None:
            self.pool_size = _native.pool_size()

    threadpoolctl.register(LumveroController)


_register_with_threadpoolctl()
