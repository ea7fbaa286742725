"""Small companions to the lumvero module: sharded exact search (in one
process or on Ray) and the ``lumvero-index`` command-line tool.

The module ``lumvero`` itself is not changed by anything here."""
__all__ = ["shards"]
