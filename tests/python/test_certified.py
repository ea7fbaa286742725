"""Certified search as Python dictionaries."""
import numpy as np
import pytest

from blake3_ref import blake3_hex
from conftest import dot_layout, l2_layout, topk_oracle, unit_rows

TOP_KEYS = ["results", "query_time_ms", "method_used", "index_hash", "query_hash",
            "engine_version", "metric", "normalized", "dims", "rows", "index_path", "certificate"]
CERT_KEYS = ["total_candidates", "pruned_candidates", "full_evaluated", "kth_score", "bound_rule",
             "safe", "block_size", "block_order", "threshold_evolution", "enable_pruning",
             "simd_path", "compile_flags", "pruned_bound_values", "bound_kind"]


def clustered(seed, rows, dims, clusters=20):
    rng = np.random.default_rng(seed)
    C = rng.standard_normal((clusters, dims)).astype(np.float32)
    X = C[rng.integers(0, clusters, rows)] + 0.2 * rng.standard_normal((rows, dims)).astype(np.float32)
    X /= np.linalg.norm(X, axis=1, keepdims=True)
    return X.astype(np.float32), rng


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
@pytest.mark.parametrize("prune", [True, False])
def test_certified_dictionary(make_engine, metric, prune):
    X, rng = clustered(1, 3000, 48)
    e = make_engine(X, metric)
    q = X[10] + 0.01 * rng.standard_normal(48).astype(np.float32)
    d = e.query_exact_certified(q, 10, 16, prune)
    assert list(d) == TOP_KEYS and list(d["certificate"]) == CERT_KEYS
    c = d["certificate"]
    scores = l2_layout(X, q) if metric == "euclidean" else dot_layout(X, q)
    want_idx, want_scores = topk_oracle(scores, 10, metric)
    assert [r["idx"] for r in d["results"]] == want_idx.tolist()
    assert np.array([r["score"] for r in d["results"]], np.float32).tobytes() == want_scores.tobytes()
    assert list(d["results"][0]) == ["idx", "score"]
    assert d["method_used"] == ("exact-certified-pruning" if prune else "exact-certified-no-pruning")
    assert d["query_hash"] == blake3_hex(q.astype("<f4").tobytes())
    assert (d["engine_version"], d["metric"], d["normalized"]) == ("1.1.0", metric, metric == "cosine")
    assert c["total_candidates"] == 3000 and c["full_evaluated"] + c["pruned_candidates"] == 3000
    assert c["safe"] is True and c["enable_pruning"] is prune and c["block_size"] == 16
    assert sorted(c["block_order"]) == [0, 1, 2]
    assert c["kth_score"] == d["results"][-1]["score"]
    assert c["compile_flags"] == "arch=x86_64"
    assert c["simd_path"] in ("avx2", "avx", "sse4.2", "scalar")
    if metric == "euclidean":
        assert c["bound_kind"] == "lower_bound"
        assert c["bound_rule"] == "lower_bound_l2 = ||q||^2 + ||x||^2 - 2*(partial_dot + ||q_rem||*||x||)"
    else:
        assert c["bound_kind"] == "upper_bound"
        assert c["bound_rule"] == "upper_bound = partial_dot + ||q_rem||*||x||"
    if prune:
        assert c["pruned_candidates"] > 0
    else:
        assert c["pruned_candidates"] == 0 and c["pruned_bound_values"] == []


def test_empty_answer(make_engine):
    e = make_engine(np.ones((5, 4), np.float32), "dot")
    d = e.query_exact_certified(np.ones(4, np.float32), 0, 0)
    c = d["certificate"]
    assert d["results"] == [] and d["method_used"] == "exact-certified" and d["query_time_ms"] == 0.0
    assert (c["bound_rule"], c["bound_kind"], c["safe"], c["total_candidates"], c["block_size"]) == \
        ("empty-result", "none", True, 5, 1)
    assert c["kth_score"] == 0.0 and c["block_order"] == [] and c["threshold_evolution"] == []


def test_defaults_and_keywords(make_engine):
    X, _ = clustered(2, 500, 130)
    e = make_engine(X, "dot")
    d = e.query_exact_certified(X[0].copy(), 3)
    assert d["certificate"]["block_size"] == 64 and d["certificate"]["enable_pruning"] is True
    assert d["certificate"]["block_order"][0] in (0, 1, 2) and len(d["certificate"]["block_order"]) == 3
    d = e.query_exact_certified(query=X[0].copy(), k=3, block_size=1000, enable_pruning=False)
    assert d["certificate"]["block_order"] == [0]


@pytest.mark.parametrize("value", [1, 0, None, np.True_])
def test_enable_pruning_must_be_bool(make_engine, value):
    e = make_engine(np.ones((3, 2), np.float32), "dot")
    with pytest.raises(TypeError) as info:
        e.query_exact_certified(np.ones(2, np.float32), 1, 4, value)
    assert str(info.value) == (f"argument 'enable_pruning': '{type(value).__name__}' object "
                               "cannot be converted to 'PyBool'")


def test_certified_errors(make_engine):
    e = make_engine(np.ones((3, 2), np.float32), "dot")
    with pytest.raises(ValueError, match="^Query dimension 3 != index dimension 2$"):
        e.query_exact_certified(np.ones(3, np.float32), 1)
    with pytest.raises(ValueError, match="^Query vector contains non-finite values$"):
        e.query_exact_certified(np.array([1, np.nan], np.float32), 1)
    with pytest.raises(OverflowError):
        e.query_exact_certified(np.ones(2, np.float32), 1, -1)


def test_batch_certified(make_engine):
    X, rng = clustered(3, 2000, 32)
    e = make_engine(X, "cosine")
    Q = X[[5, 50, 500]] + 0.01 * rng.standard_normal((3, 32)).astype(np.float32)
    out = e.query_batch_exact_certified(Q, 4, 8)
    assert len(out) == 3
    for q, d in zip(Q, out):
        single = e.query_exact_certified(q.copy(), 4, 8)
        assert d["results"] == single["results"]
        assert d["query_hash"] == single["query_hash"]
        assert d["certificate"]["pruned_candidates"] == single["certificate"]["pruned_candidates"]
    F = np.asfortranarray(Q)
    assert [d["results"] for d in e.query_batch_exact_certified(F, 4, 8)] == [d["results"] for d in out]
    assert e.query_batch_exact_certified(np.ones((0, 32), np.float32), 4) == []


def test_batch_certified_errors(make_engine):
    e = make_engine(np.ones((3, 2), np.float32), "dot")
    with pytest.raises(ValueError) as info:
        e.query_batch_exact_certified(np.ones((2, 3), np.float32), 1)
    assert str(info.value) == "Query dimensions 3 != index dimensions 2"
    with pytest.raises(ValueError, match="column"):
        e.query_batch_exact_certified(np.ones((2, 0), np.float32), 1)
    Q = np.ones((6, 2), np.float32)
    Q[4, 0] = np.inf
    with pytest.raises(ValueError) as info:
        e.query_batch_exact_certified(Q, 1)
    assert str(info.value) == "Query vector contains non-finite values"
