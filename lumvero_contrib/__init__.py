"""Small companions to the lumvero module: ``Index`` (exact search over rows
in memory, with your own ids, filters, adds and removals), sharded exact
search (in one process or on Ray) and the ``lumvero-index`` command-line tool.

The module ``lumvero`` itself is not changed by anything here."""
from importlib import metadata

from lumvero_contrib.index import Index

__all__ = ["shards", "__version__", "Index"]

try:
    # Shipped in the lumvero wheel: the module's own version.
    __version__: str = metadata.version("lumvero")
except metadata.PackageNotFoundError:  # a source tree on sys.path, nothing installed
    __version__ = "0+unknown"
