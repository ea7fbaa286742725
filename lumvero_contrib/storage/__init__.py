"""Everything lumvero_contrib keeps on disk, in one place: the layouts and
manifests of each kind of saved index, the locks and the commits that replace
them, hashing, and the checks that treat every file read as input someone may
have edited (regular files only, names confined to their folder, sizes and
numbers bounded before anything is allocated, each failure a ValueError
naming the directory and the file).

- ``files``: regular-file opening, confinement, fsync and strict types.
- ``commit``: the lock (``save.lock``), the kind check that refuses a
  directory of another kind before anything is written, and the commit
  (new files, the manifest in one rename, the cleanup) of every writer of a
  saved directory (``Index.save``, ``DistributedIndex.save``).
- ``index_layout``: the ``Index`` directory's file names, limits, versions
  and the records its manifest lists per segment; ``index_manifest`` reads
  a manifest, ``index_read`` the files it names (``Index.load``),
  ``index_dir`` writes them (``Index.save``; ``SegmentOut``, one segment
  written as its rows arrive); ``stream_build`` writes a directory a batch
  at a time (``build_index``), with checkpoints a killed build resumes
  from.
- ``block_sums``: the sums a codes file keeps of its row file's 64 KiB
  blocks, given to mapped rows at load and checked by the engine on each
  block's first read.
- ``distributed_dir``: ``DistributedIndex``'s top manifest over one ``Index``
  directory per shard.
- ``file_shards``: the index-file shards of ``build_shards`` and
  ``ShardedIndex``, with their manifest.

The binary formats themselves (the index file, the codes file) are the
engine's (``src/engine/format``); this package names, hashes and lists them.
"""
