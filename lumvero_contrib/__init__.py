"""Small companions to the lumvero module: ``Index`` (exact search over rows
in memory, with your own ids, filters, adds and removals), ``DistributedIndex``
(the same, cut into shards held by Ray actors), sharded exact search over
index files (in one process or on Ray), the ``lumvero-index`` command-line
tool, and ``set_num_threads``/``get_num_threads`` for the worker pool the
module and ``Index`` share (also governed by
``threadpoolctl.threadpool_limits``).

The module ``lumvero`` itself is not changed by anything here."""
from importlib import metadata

from lumvero_contrib._threads import get_num_threads, set_num_threads
from lumvero_contrib.index import Index
from lumvero_contrib.shards.distributed import DistributedIndex

__all__ = ["shards", "__version__", "Index", "DistributedIndex", "get_num_threads",
           "set_num_threads"]

try:
    # Shipped in the lumvero wheel: the module's own version.
    __version__: str = metadata.version("lumvero")
except metadata.PackageNotFoundError:  # a source tree on sys.path, nothing installed
    __version__ = "0+unknown"
