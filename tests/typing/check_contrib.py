"""Type-checked with `mypy --strict` (make typecheck), never run: the
lumvero_contrib package as a user's type checker sees it, installed (which
needs its py.typed marker) and from the source tree.

Correct uses keep their precise types (assert_type); each mistake must be
reported with the error code on its ignore comment (--strict warns about an
ignore that matches no error).
"""
from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

import lumvero_contrib
from lumvero_contrib.cli import main
from lumvero_contrib.shards import (Manifest, ShardedIndex, ShardError, build_shards,
                                    load_manifest, merge_top_k)


def correct_use(X: NDArray[np.float32], Q: NDArray[np.float32]) -> None:
    assert_type(lumvero_contrib.__version__, str)
    assert_type(lumvero_contrib.get_num_threads(), int)
    assert_type(lumvero_contrib.set_num_threads(2), None)
    path = build_shards(X, "out", 4, metric="cosine", progress=lambda i, n, stage, d, t: None)
    assert_type(path, str)
    m = load_manifest(path)
    assert_type(m, Manifest)
    assert_type(m.shards[0].index_hash, str)
    with ShardedIndex(path, backend="ray", ray_address="auto", timeout=60.0,
                      actor_options=lambda i, entry: {"num_cpus": 1}) as idx:
        scores, ids = idx.search(Q, 10)
        assert_type(scores, NDArray[np.float32])
        assert_type(ids, NDArray[np.int64])
        assert_type(idx.shard_info(), list[dict[str, Any]])
        assert_type(merge_top_k([(scores, ids)], 5, idx.metric)[1], NDArray[np.int64])
    try:
        ShardedIndex(path, timeout=None).close()
    except ShardError as e:
        assert_type(e.shard, int)
    assert_type(main(["verify", path]), int)


def mistakes(X: NDArray[np.float32], idx: ShardedIndex) -> None:
    ShardedIndex("m.json", backend="dask")  # type: ignore[arg-type]
    ShardedIndex("m.json", "ray", "auto", None)  # type: ignore[call-arg]
    build_shards(X, "out", "4")  # type: ignore[arg-type]
    lumvero_contrib.set_num_threads(1.5)  # type: ignore[arg-type]
    idx.search(X)  # type: ignore[call-arg]
    idx.rows = 5  # type: ignore[misc]
    load_manifest("m.json").shards[0].path = "/etc/passwd"  # type: ignore[misc]
