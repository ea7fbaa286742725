"""Single-query search: strategies, exact scores, validation, result forms."""
import numpy as np
import pytest

import lumvero
from blake3_ref import blake3_hex
from conftest import dot_layout, l2_layout, run_python, topk_oracle, unit_rows, write_index

NON_FINITE = "Query vector cont\u00c3\u00a9m valores n\u00c3\u00a3o finitos"
MODES = ["rayon", "blocked", "blocked_matrix", "matrix_full", "matrix_parallel"]


def layout_scores(X, q, metric):
    return l2_layout(X, q) if metric == "euclidean" else dot_layout(X, q)


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
@pytest.mark.parametrize("rows,dims", [(50, 3), (300, 17), (10000, 64), (12000, 97)])
@pytest.mark.parametrize("seed", [0, 1])
def test_default_strategy_bit_exact(make_engine, metric, rows, dims, seed):
    rng = np.random.default_rng(seed)
    X = unit_rows(rng, rows, dims)
    e = make_engine(X, metric)
    q = rng.standard_normal(dims).astype(np.float32)
    r = e.query_exact(q, 10)
    want_idx, want_scores = topk_oracle(layout_scores(X, q, metric), 10, metric)
    assert [i.idx for i in r.results] == want_idx.tolist(), f"seed={seed}"
    assert np.array([i.score for i in r.results], np.float32).tobytes() == want_scores.tobytes()
    chunked = metric != "euclidean" and rows >= 10000 and dims >= 64
    assert r.method_used == ("exact-chunked" if chunked else "exact")


@pytest.mark.parametrize("rows,dims,metric,method", [
    (9999, 128, "cosine", "exact"), (10000, 128, "cosine", "exact-chunked"),
    (10000, 128, "dot", "exact-chunked"), (10000, 128, "euclidean", "exact"),
    (10000, 63, "cosine", "exact")])
def test_automatic_choice(make_engine, rows, dims, metric, method):
    X = np.zeros((rows, dims), np.float32)
    X[:, 0] = 1
    r = make_engine(X, metric).query_exact(np.ones(dims, np.float32), 3)
    assert r.method_used == method
    assert [i.idx for i in r.results] == ([0, 1, 2])


@pytest.mark.parametrize("mode,method", [
    ("rayon", "exact"), ("blocked", "exact-blocked-matrix"),
    ("blocked_matrix", "exact-blocked-matrix"), ("matrix_full", "exact-matrix-full"),
    ("matrix_parallel", "exact-chunked"), ("pruned", "exact"), ("Rayon", "exact"),
    (" rayon", "exact"), ("MATRIX_FULL", "exact")])
@pytest.mark.parametrize("metric", ["dot", "euclidean"])
def test_forced_strategies_agree(make_engine, monkeypatch, mode, method, metric):
    rng = np.random.default_rng(3)
    X = unit_rows(rng, 2000, 40)
    e = make_engine(X, metric)
    q = unit_rows(rng, 1, 40)[0]
    monkeypatch.setenv("LUMVO_SINGLE_MODE", mode)
    r = e.query_exact(q, 7)
    assert r.method_used == method
    exact = layout_scores(X, q, metric)
    want_idx, want_scores = topk_oracle(exact, 7, metric)
    got = np.array([i.score for i in r.results], np.float32)
    assert [i.idx for i in r.results] == want_idx.tolist()
    assert got.tobytes() == want_scores.tobytes()


def test_env_read_on_every_call(make_engine, monkeypatch):
    e = make_engine(unit_rows(np.random.default_rng(0), 100, 8), "dot")
    q = np.ones(8, np.float32)
    monkeypatch.setenv("LUMVO_SINGLE_MODE", "matrix_full")
    assert e.query_exact(q, 1).method_used == "exact-matrix-full"
    monkeypatch.setenv("LUMVO_SINGLE_MODE", "matrix_parallel")
    assert e.query_exact(q, 1).method_used == "exact-chunked"
    monkeypatch.delenv("LUMVO_SINGLE_MODE")
    assert e.query_exact(q, 1).method_used == "exact"


def test_matrix_parallel_on_tiny_euclidean(make_engine, monkeypatch):
    X = np.arange(30, dtype=np.float32).reshape(10, 3)
    monkeypatch.setenv("LUMVO_SINGLE_MODE", "matrix_parallel")
    r = make_engine(X, "euclidean").query_exact(X[4].copy(), 3)
    assert r.method_used == "exact-chunked"
    assert [i.idx for i in r.results] == [4, 3, 5]
    assert r.results[0].score == 0.0


def test_pruned_on_large_index(tmp_path, monkeypatch):
    rng = np.random.default_rng(9)
    X = unit_rows(rng, 1_000_000, 64)
    path = write_index(tmp_path / "big.bin", X, "cosine")
    e = lumvero.PySearchEngine(path, False)
    q = X[123456].copy()
    monkeypatch.setenv("LUMVO_SINGLE_MODE", "pruned")
    r = e.query_exact(q, 5)
    assert r.method_used == "exact-pruned-fast"
    want_idx, want_scores = topk_oracle(dot_layout(X, q), 5, "cosine")
    assert [i.idx for i in r.results] == want_idx.tolist()
    assert np.array([i.score for i in r.results], np.float32).tobytes() == want_scores.tobytes()
    monkeypatch.setenv("LUMVO_SINGLE_MODE", "pruned")
    small = lumvero.PySearchEngine(write_index(tmp_path / "s.bin", X[:999_999], "cosine"), False)
    assert small.query_exact(q, 5).method_used == "exact"


@pytest.mark.parametrize("mode", [None, "rayon", "matrix_full"])
def test_k_zero(make_engine, monkeypatch, mode):
    if mode:
        monkeypatch.setenv("LUMVO_SINGLE_MODE", mode)
    e = make_engine(np.ones((5, 4), np.float32), "dot")
    r = e.query_exact(np.ones(4, np.float32), 0)
    assert (r.results, r.method_used, r.query_time_ms) == ([], "exact", 0.0)
    d = e.query_exact_arrays(np.ones(4, np.float32), 0)
    assert d["indices"].shape == (0,) and d["scores"].shape == (0,)
    assert d["indices"].dtype == np.uint64 and d["scores"].dtype == np.float32


@pytest.mark.parametrize("mode", [None, "rayon", "blocked", "matrix_full", "matrix_parallel"])
def test_huge_k_and_non_finite_rows(make_engine, monkeypatch, mode):
    if mode:
        monkeypatch.setenv("LUMVO_SINGLE_MODE", mode)
    X = np.ones((6, 3), np.float32)
    X[1, 0] = np.nan
    X[2] = 3e38  # products overflow to +inf
    X[3] = -3e38
    X[4] = [2, 0, 0]
    e = make_engine(X, "dot")
    r = e.query_exact(np.array([1e10, 1e10, 1e10], np.float32), 2**64 - 1)
    assert [i.idx for i in r.results] == [0, 5, 4]
    assert all(np.isfinite(i.score) for i in r.results)


def test_query_validation(make_engine):
    e = make_engine(np.ones((4, 3), np.float32), "dot")
    with pytest.raises(ValueError) as info:
        e.query_exact(np.array([1, 2, 3, np.nan], np.float32), 1)
    assert str(info.value) == "Query dimension 4 != index dimension 3"
    for bad in (np.inf, -np.inf, np.nan):
        with pytest.raises(ValueError) as info:
            e.query_exact(np.array([0, bad, 0], np.float32), 1)
        assert str(info.value) == NON_FINITE
    with pytest.raises(ValueError, match="^Query dimension 0 != index dimension 3$"):
        e.query_exact(np.zeros(0, np.float32), 1)


def test_ties_lower_index_first(make_engine):
    X = np.array([[1, 0], [0, 1], [1, 0], [-1, 0], [0, 0]], np.float32)
    e = make_engine(X, "dot")
    r = e.query_exact(np.array([1, 0], np.float32), 5)
    assert [i.idx for i in r.results] == [0, 2, 1, 4, 3]


def test_force_scalar_is_read_once(tmp_path):
    code = (
        "import os, sys, numpy as np, lumvero, struct\n"
        "sys.path.insert(0, %r)\n"
        "from conftest import write_index, scalar_sum, dot_layout\n"
        "rng = np.random.default_rng(4)\n"
        "X = rng.standard_normal((300, 37)).astype(np.float32)\n"
        "q = rng.standard_normal(37).astype(np.float32)\n"
        "d = %r\n"
        "e = lumvero.PySearchEngine(write_index(d + '/a.bin', X, 'dot'), False)\n"
        "r = e.query_exact(q, 300)\n"
        "got = {i.idx: i.score for i in r.results}\n"
        "want = scalar_sum(X, q, 'dot') if os.environ.get('LUMVO_FORCE_SCALAR') == '1' else dot_layout(X, q)\n"
        "assert all(np.float32(got[i]).tobytes() == want[i].tobytes() for i in range(300))\n"
        "os.environ['LUMVO_FORCE_SCALAR'] = '0' if os.environ.get('LUMVO_FORCE_SCALAR') == '1' else '1'\n"
        "r2 = e.query_exact(q, 300)\n"
        "assert [(i.idx, i.score) for i in r2.results] == [(i.idx, i.score) for i in r.results]\n"
        "print('ok')\n"
    ) % (str(__import__("pathlib").Path(__file__).parent), str(tmp_path))
    for value in ("1", "0", " 1"):
        out = run_python(code, env={"LUMVO_FORCE_SCALAR": value})
        assert out.stdout.strip() == "ok", (value, out.stderr)


def test_arrays_form(make_engine):
    rng = np.random.default_rng(2)
    X = unit_rows(rng, 500, 16)
    e = make_engine(X, "cosine")
    q = X[17].copy()
    d = e.query_exact_arrays(q, 4)
    assert list(d) == ["indices", "scores", "query_time_ms", "method_used", "index_hash",
                       "metric", "normalized", "dims", "rows", "index_path"]
    assert d["indices"].dtype == np.uint64 and d["indices"].dtype.num == 8
    assert d["scores"].dtype == np.float32
    assert d["indices"].flags.writeable and d["scores"].flags.writeable
    assert d["indices"].base is not None  # owns the engine's vector, no copy
    r = e.query_exact(q, 4)
    assert d["indices"].tolist() == [i.idx for i in r.results]
    assert d["scores"].tolist() == [i.score for i in r.results]
    assert (d["metric"], d["normalized"], d["dims"], d["rows"]) == ("cosine", True, 16, 500)
    assert d["indices"][0] == 17


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
def test_detailed_form(make_engine, metric):
    X = unit_rows(np.random.default_rng(6), 40, 12)
    e = make_engine(X, metric)
    q = X[3].copy()
    r = e.query_exact_detailed(q, 3)
    assert r.engine_version == "1.1.0"
    assert r.normalized is (metric == "cosine")
    assert (r.metric, r.dims, r.rows) == (metric, e.dims(), e.rows())
    assert r.query_hash == blake3_hex(q.astype("<f4").tobytes())
    assert len(r.index_hash) == 64
    q2 = q.copy()
    q2[5] = -q2[5] if q2[5] != 0 else np.float32(-0.0)
    assert e.query_exact_detailed(q2, 3).query_hash != r.query_hash
    z = np.zeros(12, np.float32)
    nz = z.copy()
    nz[0] = -0.0
    assert e.query_exact_detailed(z, 1).query_hash != e.query_exact_detailed(nz, 1).query_hash
    plain = e.query_exact(q, 3)
    for name in ("index_hash", "query_hash", "engine_version", "metric", "normalized", "dims",
                 "rows", "index_path"):
        assert getattr(plain, name) is None


def test_detailed_error_discards_hash(make_engine):
    e = make_engine(np.ones((3, 2), np.float32), "dot")
    with pytest.raises(ValueError, match="^Query dimension 3 != index dimension 2$"):
        e.query_exact_detailed(np.ones(3, np.float32), 1)


def test_results_rebuilt_on_every_read(make_engine):
    r = make_engine(unit_rows(np.random.default_rng(1), 20, 4), "dot").query_exact(
        np.ones(4, np.float32), 3)
    a, b = r.results, r.results
    assert a is not b and a[0] is not b[0]
    assert [(i.idx, i.score) for i in a] == [(i.idx, i.score) for i in b]
    a.clear()
    assert len(r.results) == 3
    assert isinstance(r.results[0].idx, int) and isinstance(r.results[0].score, float)


def test_fortran_contiguous_one_dimensional_accepted(make_engine):
    e = make_engine(np.eye(3, dtype=np.float32), "dot")
    q = np.asfortranarray(np.array([0, 1, 0], np.float32))
    assert e.query_exact(q, 1).results[0].idx == 1


def test_time_is_non_negative(make_engine):
    r = make_engine(unit_rows(np.random.default_rng(1), 300, 8), "dot").query_exact(
        np.ones(8, np.float32), 3)
    assert r.query_time_ms >= 0.0


def test_forked_child_gets_a_working_pool(make_engine):
    import os
    rng = np.random.default_rng(12)
    X = unit_rows(rng, 20000, 64)
    e = make_engine(X, "cosine")
    q = X[7].copy()
    parent = [(i.idx, i.score) for i in e.query_exact(q, 5).results]
    pid = os.fork()
    if pid == 0:  # the child must neither hang nor differ
        code = 1
        try:
            signal_alarm = __import__("signal").alarm
            signal_alarm(60)
            child = [(i.idx, i.score) for i in e.query_exact(q, 5).results]
            batch = e.query_batch(X[:6].copy(), 3)
            code = 0 if child == parent and len(batch) == 6 else 1
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
