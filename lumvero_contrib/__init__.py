"""Small companions to the lumvero module: ``Index`` (exact search over rows
in memory, with your own ids, filters, adds and removals), sharded exact
search (in one process or on Ray) and the ``lumvero-index`` command-line tool.

The module ``lumvero`` itself is not changed by anything here."""
from lumvero_contrib.index import Index

__all__ = ["shards", "Index"]
