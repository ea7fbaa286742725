"""Sharded exact search.

An embedding matrix too large for one machine is split into shard files:
contiguous, balanced row ranges, each an ordinary lumvero index file, listed
in a ``manifest.json`` with the range and the content hash of every shard
(``lumvero_contrib.storage.file_shards``). ``ShardedIndex`` searches every shard, in this process or
through one Ray actor per shard (:mod:`.backends`), and merges the per-shard
top-k lists under the engine's one result order (:mod:`.merge`), so the
answer is exactly the answer of one index file holding all the rows.

``DistributedIndex`` (:mod:`.distributed`) is the ``Index`` cut into shards:
each shard an ``Index`` held by a Ray actor, with the ``Index``'s operations
(adds, removals, filters, saves) and its exact answers.
"""
from lumvero_contrib.shards.backends import ShardedIndex, ShardServer
from lumvero_contrib.shards.common import (ACTOR_PREFIX, DEFAULT_TIMEOUT, ActorOptions,
                                           ShardError, ShardTimeout)
from lumvero_contrib.storage.file_shards import (HEADER_BYTES, MANIFEST_FORMAT, MANIFEST_NAME,
                                                 MAX_MANIFEST_BYTES, MAX_SHARD_ROWS, METRIC_NAMES,
                                                 IndexHeader, Manifest, Progress, ShardEntry,
                                                 check_regular, file_hash, load_manifest,
                                                 looks_like_manifest, open_regular, read_header)
from lumvero_contrib.storage.file_shards_build import build_shards, shard_bounds
from lumvero_contrib.shards.distributed import INDEX_ACTOR_PREFIX, DistributedIndex, place_rows
from lumvero_contrib.shards.merge import (Answer, check_k, merge_top_k, prepare_queries,
                                          search_engine)

__all__ = ["build_shards", "ShardedIndex", "ShardError", "ShardTimeout", "ShardServer",
           "ShardEntry", "Manifest", "IndexHeader", "load_manifest", "merge_top_k",
           "search_engine", "prepare_queries", "check_k", "file_hash", "read_header",
           "open_regular", "check_regular", "looks_like_manifest", "shard_bounds", "Answer",
           "ActorOptions", "Progress", "MANIFEST_NAME", "MANIFEST_FORMAT", "METRIC_NAMES",
           "HEADER_BYTES", "MAX_SHARD_ROWS", "MAX_MANIFEST_BYTES", "ACTOR_PREFIX",
           "DEFAULT_TIMEOUT", "DistributedIndex", "place_rows", "INDEX_ACTOR_PREFIX"]
