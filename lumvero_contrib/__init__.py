"""Small companions to the lumvero module: ``Index`` (exact search over rows
in memory, with your own ids, allow-lists, adds and removals),
``build_index`` (an ``Index`` directory built from more rows than memory
holds), ``DistributedIndex`` (the same, cut into shards held by Ray actors),
sharded exact search over
index files (in one process or on Ray), the ``lumvero-index`` command-line
tool, and ``set_num_threads``/``get_num_threads`` for the worker pool the
module and ``Index`` share (also governed by
``threadpoolctl.threadpool_limits``).

The module ``lumvero`` itself is not changed by anything here."""
import os
from importlib import metadata

try:
    from lumvero_contrib import _native  # noqa: F401
except ImportError as e:
    _here = os.path.dirname(os.path.abspath(__file__))
    if not any(n.startswith("_native.") and n.endswith(".so") for n in os.listdir(_here)):
        # Python in a source checkout finds the checkout's lumvero_contrib (the
        # current directory comes first on sys.path), which has no compiled
        # part, before the installed one.
        raise ImportError(
            f"lumvero_contrib was imported from {_here}, a source tree without its compiled "
            f"part (_native); run Python from another directory to use the installed "
            f"lumvero_contrib") from e
    raise

from lumvero_contrib._build_index import build_index
from lumvero_contrib._threads import get_num_threads, set_num_threads
from lumvero_contrib.index import Index
from lumvero_contrib.shards.distributed import DistributedIndex

__all__ = ["shards", "__version__", "Index", "DistributedIndex", "build_index",
           "get_num_threads", "set_num_threads"]

try:
    # Shipped in the lumvero wheel: the module's own version.
    __version__: str = metadata.version("lumvero")
except metadata.PackageNotFoundError:  # a source tree on sys.path, nothing installed
    __version__ = "0+unknown"
