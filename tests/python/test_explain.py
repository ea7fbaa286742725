"""explain and compare: per-block breakdowns of a score as Python dictionaries."""
import numpy as np
import pytest

from conftest import dot_layout


def test_explain_dictionary(make_engine):
    rng = np.random.default_rng(4)
    X = rng.standard_normal((10, 10)).astype(np.float32)
    e = make_engine(X, "dot")
    q = rng.standard_normal(10).astype(np.float32)
    d = e.explain(q, 3, 4, 2)
    assert list(d) == ["score_total", "block_size", "top_blocks", "num_blocks", "dims", "blocks",
                       "residual"]
    assert (d["block_size"], d["top_blocks"], d["num_blocks"], d["dims"]) == (4, 2, 3, 10)
    assert list(d["blocks"][0]) == ["block_id", "start", "end", "contribution"]
    contrib = {}
    for j, (s, t) in enumerate([(0, 4), (4, 8), (8, 10)]):
        acc = np.float32(0)
        for i in range(s, t):
            acc = np.float32(acc + np.float32(q[i] * X[3, i]))
        contrib[j] = acc
    order = sorted(contrib, key=lambda j: (-abs(float(contrib[j])), j))
    assert [b["block_id"] for b in d["blocks"]] == order[:2]
    assert [b["contribution"] for b in d["blocks"]] == [float(contrib[j]) for j in order[:2]]
    assert d["residual"] == float(contrib[order[2]])
    assert d["score_total"] == float(dot_layout(X[3:4], q)[0])


def test_compare_dictionary_and_checks(make_engine):
    X = np.arange(20, dtype=np.float32).reshape(4, 5)
    e = make_engine(X, "euclidean")
    q = np.ones(5, np.float32)
    d = e.compare(q, 2, 2, 2, 10)
    assert list(d) == ["score_a", "score_b", "delta_score_space", "block_size", "top_blocks",
                       "num_blocks", "dims", "blocks", "residual"]
    assert d["delta_score_space"] == 0.0 and d["residual"] == 0.0
    assert [b["block_id"] for b in d["blocks"]] == [0, 1, 2]
    assert all(b["contribution"] == 0.0 for b in d["blocks"])
    d = e.compare(q, 0, 3, 5, 1)
    assert d["delta_score_space"] > 0  # row 0 is nearer the query
    with pytest.raises(ValueError, match="^Index out of bounds$"):
        e.compare(q, 0, 4, 0, 0)
    with pytest.raises(ValueError, match="^block_size must be > 0$"):
        e.explain(q, 0, 0, 0)
    with pytest.raises(ValueError, match="^top_blocks must be > 0$"):
        e.explain(q, 0, 1, 0)
    with pytest.raises(ValueError, match="^Query dimensions 4 != index dimensions 5$"):
        e.explain(np.ones(4, np.float32), 0, 1, 1)
    with pytest.raises(TypeError, match="^argument 'idx_b': "):
        e.compare(q, 0, 1.0, 1, 1)
    with pytest.raises(TypeError):
        e.explain(q, 0, 1)


def test_explain_reports_non_finite(make_engine):
    e = make_engine(np.ones((2, 4), np.float32), "dot")
    q = np.array([1, np.nan, 1, 1], np.float32)
    d = e.explain(q, 0, 1, 2)
    assert np.isnan(d["score_total"]) and d["blocks"][0]["block_id"] == 1
