"""Small companions to the lumvero module: sharded exact search (in one
process or on Ray) and the ``lumvero-index`` command-line tool.

The module ``lumvero`` itself is not changed by anything here."""
from importlib import metadata

__all__ = ["shards", "__version__"]

try:
    # Shipped in the lumvero wheel: the module's own version.
    __version__: str = metadata.version("lumvero")
except metadata.PackageNotFoundError:  # a source tree on sys.path, nothing installed
    __version__ = "0+unknown"
