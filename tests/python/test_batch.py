"""Batch search: dispatch, strategies, result forms and their failures."""
import numpy as np
import pytest

import lumvero
from blake3_ref import blake3_hex
from conftest import dot_layout, l2_layout, run_python, topk_oracle, unit_rows, write_index

NON_FINITE = "Queries cont\u00c3\u00aam valores n\u00c3\u00a3o finitos (NaN/Inf)"
STRATEGIES = {"matrix": "matrix-full", "matrix_full": "matrix-full", "chunked": "matrix-chunked",
              "chunked_matrix": "matrix-chunked", "blocked": "batch-blocked-exact",
              "blocked_exact": "batch-blocked-exact", "rayon": "rayon-optimized"}


def oracle(X, Q, k, metric):
    out = []
    for q in Q:
        s = l2_layout(X, q) if metric == "euclidean" else dot_layout(X, q)
        out.append(topk_oracle(s, k, metric))
    return out


def assert_same_as_oracle(results, want):
    """Every strategy returns the per-row kernel's rows and score bits."""
    assert len(results) == len(want)
    for r, (idx, scores) in zip(results, want):
        assert [i.idx for i in r.results] == idx.tolist()
        got_scores = np.array([i.score for i in r.results], np.float32)
        assert got_scores.tobytes() == scores.tobytes()


@pytest.mark.parametrize("mode", list(STRATEGIES) + [None, "BLOCKED", " matrix"])
@pytest.mark.parametrize("metric", ["cosine", "euclidean"])
@pytest.mark.parametrize("nq", [2, 5])
def test_strategies_match_single_queries(make_engine, monkeypatch, mode, metric, nq):
    rng = np.random.default_rng(nq)
    X = unit_rows(rng, 3000, 24)
    Q = unit_rows(rng, nq, 24)
    e = make_engine(X, metric)
    if mode:
        monkeypatch.setenv("LUMVO_BATCH_MODE", mode)
    res = e.query_batch(Q, 6)
    default = "batch-blocked-exact" if nq >= 4 else "rayon-optimized"
    assert [r.method_used for r in res] == [STRATEGIES.get(mode, default)] * nq
    assert_same_as_oracle(res, oracle(X, Q, 6, metric))
    if res[0].method_used != "rayon-optimized":
        assert all(r.query_time_ms == 0.0 for r in res)



@pytest.mark.parametrize("kernel", ["reference", "avx2", "avx-vnni", "avx512-vnni"])
@pytest.mark.parametrize("metric", ["cosine", "euclidean"])
def test_every_integer_kernel_gives_the_kernel_answer(tmp_path, kernel, metric):
    """The compressed rows' tiles through each integer kernel the CPU has (it
    is chosen once per process, so each in its own): 47 queries (a partial
    last tile), 2,500 rows (a partial last block), 100 dims (padded codes),
    a tie between equal rows."""
    rng = np.random.default_rng(3)
    X = unit_rows(rng, 2500, 100)
    X[1999] = X[12]
    Q = np.vstack([unit_rows(rng, 45, 100), X[[12, 2400]]])
    path = write_index(tmp_path / "x.bin", X, metric)
    np.save(tmp_path / "q.npy", Q)
    code = ("import numpy as np, lumvero\n"
            f"e = lumvero.PySearchEngine({str(path)!r}, False)\n"
            f"r = e.query_batch_arrays(np.load({str(tmp_path / 'q.npy')!r}), 10)\n"
            f"np.save({str(tmp_path / 'i.npy')!r}, r['indices'])\n"
            f"np.save({str(tmp_path / 's.npy')!r}, r['scores'])\n")
    out = run_python(code, env={"LUMVO_INT_KERNEL": kernel, "LUMVO_FILTER": "always"})
    assert out.returncode == 0, out.stderr
    got_idx, got_scores = np.load(tmp_path / "i.npy"), np.load(tmp_path / "s.npy")
    for i, (idx, scores) in enumerate(oracle(X, Q, 10, metric)):
        assert got_idx[i].tolist() == idx.tolist()
        assert got_scores[i].tobytes() == scores.tobytes()
    assert got_idx[45][:2].tolist() == [12, 1999]

def test_one_query_is_a_single_query(make_engine, monkeypatch):
    monkeypatch.setenv("LUMVO_BATCH_MODE", "matrix")
    X = unit_rows(np.random.default_rng(0), 100, 8)
    e = make_engine(X, "dot")
    [r] = e.query_batch(X[:1].copy(), 3)
    single = e.query_exact(X[0].copy(), 3)
    assert r.method_used == single.method_used == "exact"
    assert [(i.idx, i.score) for i in r.results] == [(i.idx, i.score) for i in single.results]
    with pytest.raises(ValueError, match="^Query vector cont"):
        e.query_batch(np.full((1, 8), np.nan, np.float32), 3)


def test_k_zero(make_engine, monkeypatch):
    e = make_engine(unit_rows(np.random.default_rng(0), 50, 8), "dot")
    assert e.query_batch(np.ones((4, 8), np.float32), 0) == []
    res = e.query_batch(np.ones((3, 8), np.float32), 0)
    assert [(r.results, r.method_used) for r in res] == [([], "rayon-optimized")] * 3
    for mode in ("matrix", "chunked", "blocked"):
        monkeypatch.setenv("LUMVO_BATCH_MODE", mode)
        assert e.query_batch(np.ones((2, 8), np.float32), 0) == []
    d = e.query_batch_arrays(np.ones((5, 8), np.float32), 0)
    assert d["indices"].shape == (0, 0) and d["method_used"] == []


def test_nan_query_three_versus_four(make_engine):
    X = unit_rows(np.random.default_rng(0), 200, 8)
    e = make_engine(X, "dot")
    Q = unit_rows(np.random.default_rng(1), 4, 8)
    Q[1, 2] = np.nan
    with pytest.raises(ValueError) as info:
        e.query_batch(Q[:3].copy(), 5)
    assert str(info.value) == NON_FINITE
    res = e.query_batch(Q, 5)
    assert [len(r.results) for r in res] == [5, 0, 5, 5]


def test_matrix_strategies_drop_nan_scores(make_engine, monkeypatch):
    e = make_engine(unit_rows(np.random.default_rng(0), 200, 8), "dot")
    Q = np.ones((3, 8), np.float32)
    Q[2, 0] = np.inf
    Q[2, 1] = -np.inf
    for mode in ("matrix", "chunked", "blocked"):
        monkeypatch.setenv("LUMVO_BATCH_MODE", mode)
        assert [len(r.results) for r in e.query_batch(Q, 4)] == [4, 4, 0]
    monkeypatch.setenv("LUMVO_BATCH_MODE", "rayon")
    with pytest.raises(ValueError, match="NaN/Inf"):
        e.query_batch(Q, 4)


@pytest.mark.parametrize("qblock", ["+16", "16", "1", "0", "-3", "16 ", "x", "999999999999", "+"])
def test_qblock_forms_give_same_results(make_engine, monkeypatch, qblock):
    rng = np.random.default_rng(7)
    X = unit_rows(rng, 500, 16)
    Q = unit_rows(rng, 37, 16)
    e = make_engine(X, "dot")
    monkeypatch.setenv("LUMVO_BATCH_MODE", "matrix")
    monkeypatch.setenv("LUMVO_QBLOCK", qblock)
    res = e.query_batch(Q, 5)
    assert len(res) == 37 and all(r.method_used == "matrix-full" for r in res)
    assert_same_as_oracle(res, oracle(X, Q, 5, "dot"))


def test_large_k_and_one_row(make_engine):
    e = make_engine(np.array([[1, 2]], np.float32), "euclidean")
    res = e.query_batch(np.ones((5, 2), np.float32), 10)
    assert [[i.idx for i in r.results] for r in res] == [[0]] * 5


def test_ties_in_ascending_row_order(make_engine, monkeypatch):
    X = np.ones((40, 4), np.float32)
    e = make_engine(X, "dot")
    for mode in STRATEGIES:
        monkeypatch.setenv("LUMVO_BATCH_MODE", mode)
        res = e.query_batch(np.ones((4, 4), np.float32), 5)
        assert all([i.idx for i in r.results] == [0, 1, 2, 3, 4] for r in res), mode


def test_dimension_errors(make_engine):
    e = make_engine(np.ones((3, 4), np.float32), "dot")
    with pytest.raises(ValueError) as info:
        e.query_batch(np.ones((2, 5), np.float32), 1)
    assert str(info.value) == "Query dimensions 5 != index dimensions 4"
    with pytest.raises(ValueError) as info:
        e.query_batch_detailed(np.ones((2, 5), np.float32), 1)
    assert str(info.value) == "Query dimensions 5 != index dimensions 4"
    for method in (e.query_batch, e.query_batch_arrays, e.query_batch_detailed):
        with pytest.raises(ValueError, match="column"):
            method(np.ones((3, 0), np.float32), 1)


def test_argument_errors(make_engine):
    e = make_engine(np.ones((3, 4), np.float32), "dot")
    with pytest.raises(TypeError) as info:
        e.query_batch(np.ones(4, np.float32), 1)
    assert str(info.value) == "argument 'queries': dimensionality mismatch:\n from=1, to=2"
    with pytest.raises(TypeError, match="type mismatch"):
        e.query_batch(np.ones((2, 4), np.float16), 1)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        e.query_batch(np.ones((4, 8), np.float32)[:, ::2], 1)


def test_empty_batch(make_engine):
    e = make_engine(np.ones((3, 4), np.float32), "dot")
    Q = np.ones((0, 4), np.float32)
    assert e.query_batch(Q, 3) == []
    assert e.query_batch_detailed(Q, 3) == []
    d = e.query_batch_arrays(Q, 3)
    assert d["indices"].shape == (0, 0) and d["scores"].shape == (0, 0)
    assert d["query_time_ms"].shape == (0,) and d["method_used"] == []


def test_fortran_queries_answer_logical_rows(make_engine):
    rng = np.random.default_rng(5)
    X = unit_rows(rng, 300, 12)
    e = make_engine(X, "dot")
    Q = unit_rows(rng, 6, 12)
    F = np.asfortranarray(Q)
    a = e.query_batch_detailed(Q, 4)
    b = e.query_batch_detailed(F, 4)
    assert [(r.query_hash, [(i.idx, i.score) for i in r.results]) for r in a] == \
           [(r.query_hash, [(i.idx, i.score) for i in r.results]) for r in b]


def test_arrays_form(make_engine):
    rng = np.random.default_rng(8)
    X = unit_rows(rng, 400, 8)
    e = make_engine(X, "cosine")
    Q = unit_rows(rng, 5, 8)
    d = e.query_batch_arrays(Q, 3)
    assert list(d) == ["indices", "scores", "query_time_ms", "method_used", "metric",
                       "normalized", "dims", "rows", "index_path"]
    assert d["indices"].shape == (5, 3) and d["indices"].dtype == np.uint64
    assert d["scores"].dtype == np.float32 and d["query_time_ms"].dtype == np.float64
    assert d["indices"].flags.c_contiguous
    res = e.query_batch(Q, 3)
    assert d["indices"].tolist() == [[i.idx for i in r.results] for r in res]
    assert d["method_used"] == ["batch-blocked-exact"] * 5


def test_arrays_form_unequal_lengths(make_engine):
    X = np.ones((3, 2), np.float32)
    e = make_engine(X, "dot")
    Q = np.ones((4, 2), np.float32)
    Q[2] = np.nan  # this query loses every score under the blocked strategy
    with pytest.raises(ValueError) as info:
        e.query_batch_arrays(Q, 2)
    assert str(info.value) == "invalid length: 0, but expected 2"


def test_detailed_hashes(make_engine):
    X = unit_rows(np.random.default_rng(3), 50, 6)
    e = make_engine(X, "euclidean")
    Q = np.stack([X[0], X[1], X[0]])
    res = e.query_batch_detailed(Q, 2)
    assert len({r.index_hash for r in res}) == 1
    assert res[0].query_hash == res[2].query_hash != res[1].query_hash
    assert res[1].query_hash == blake3_hex(X[1].astype("<f4").tobytes())
    assert all(r.engine_version == "1.1.0" and r.normalized is False and r.metric == "euclidean"
               for r in res)
