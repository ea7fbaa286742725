"""Type-checked with `mypy --strict` (make typecheck), never run.

Correct uses must check cleanly and keep their precise types (assert_type);
each mistake below must be reported with the error code on its ignore
comment: --strict warns about an ignore that matches no error, so a stub that
stopped catching one of them fails the check.
"""
from typing import Literal, assert_type

import numpy as np
from numpy.typing import NDArray

import lumvero


def correct_use(X: NDArray[np.float32], q: NDArray[np.float32]) -> None:
    path = lumvero.py_prepare_bin_from_embeddings(X, 128, 1000, "news", "f32", metric="l2",
                                                  output_dir=None)
    assert_type(path, str)
    engine = lumvero.PySearchEngine(path, False)
    assert_type(engine.dims(), int)

    r = engine.query_exact(q, 10)
    assert_type(r, lumvero.PyQueryResult)
    assert_type(r.results[0].idx, int)
    assert_type(r.results[0].score, float)
    assert_type(r.query_hash, str | None)

    d = engine.query_exact_arrays(q, np.int64(10))
    assert_type(d["indices"], NDArray[np.uint64])
    assert_type(d["scores"], NDArray[np.float32])
    assert_type(d["metric"], Literal["cosine", "dot", "euclidean"])

    b = engine.query_batch_arrays(X, 5)
    assert_type(b["query_time_ms"], NDArray[np.float64])
    assert_type(b["method_used"][0], Literal["exact", "exact-chunked", "exact-blocked-matrix",
                                             "exact-matrix-full", "exact-pruned-fast",
                                             "matrix-full", "matrix-chunked",
                                             "batch-blocked-exact", "rayon-optimized"])

    c = engine.query_exact_certified(q, 10, block_size=32, enable_pruning=False)
    assert_type(c["certificate"]["safe"], bool)
    assert_type(c["certificate"]["block_order"], list[int])
    assert_type(c["results"][0]["idx"], int)
    for cc in engine.query_batch_exact_certified(X, 3):
        assert_type(cc["certificate"]["threshold_evolution"], list[float])

    e = engine.explain(q, 0, 32, 3)
    assert_type(e["blocks"][0]["contribution"], float)
    cmp = engine.compare(q, 0, 1, 32, 3)
    assert_type(cmp["delta_score_space"], float)
    assert_type(engine.query_batch_detailed(X, 2), list[lumvero.PyQueryResult])


def mistakes(engine: lumvero.PySearchEngine, q: NDArray[np.float32],
             q64: NDArray[np.float64]) -> None:
    engine.query_exacts(q, 10)  # type: ignore[attr-defined]
    engine.query_exact(q, "10")  # type: ignore[arg-type]
    engine.query_exact(q64, 10)  # type: ignore[arg-type]
    engine.query_exact(q)  # type: ignore[call-arg]
    engine.query_exact(q, 10).results[0].index  # type: ignore[attr-defined]
    engine.query_exact_arrays(q, 10)["indexes"]  # type: ignore[typeddict-item]
    engine.query_exact_certified(q, 10, enable_pruning=1)  # type: ignore[arg-type]
    lumvero.PySearchEngine(b"/tmp/x.bin", False)  # type: ignore[arg-type]
    lumvero.py_prepare_bin_from_embeddings(q, 1, 1, "n", "f31")  # type: ignore[arg-type]
    lumvero.py_prepare_bin_from_embeddings(q, 1, 1, "n", "f32", metric="cosin")  # type: ignore[arg-type]
    engine.query_exact(q, 1).method_used = "exact"  # type: ignore[misc]
