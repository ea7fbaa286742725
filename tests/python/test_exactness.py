"""Exactness on data that strains float32: every strategy returns the per-row
kernel's rows and score bits, and a certificate marked safe never vouches for
an answer that differs from the unpruned scan. Property-based, over data
families where sgemm's rounding swamps the gaps between scores."""
import itertools

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import dot_layout, l2_layout, topk_oracle

SINGLE_MODES = [None, "rayon", "blocked", "matrix_full", "matrix_parallel"]
BATCH_MODES = [None, "matrix", "chunked", "blocked", "rayon"]
SETTINGS = settings(max_examples=40, deadline=None, derandomize=True,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])


def family(kind, rng, n, dims):
    """n rows of one straining family."""
    if kind == "offset":
        return (rng.choice([1e3, 1e4, 1e5]) + rng.standard_normal((n, dims))).astype(np.float32)
    if kind == "huge":
        return (1e15 * rng.standard_normal((n, dims))).astype(np.float32)
    if kind == "tiny":  # products in the subnormal range
        return (1e-21 * rng.standard_normal((n, dims))).astype(np.float32)
    if kind == "spikes":  # one 2^24-sized coordinate, small ones decide
        X = rng.integers(0, 4, (n, dims)).astype(np.float32)
        X[:, 0] = 2.0 ** 24 + 2 * rng.integers(0, 8, n)
        return X
    if kind == "ulp":  # copies of one row, a coordinate nudged by a few ulps
        X = np.repeat(rng.standard_normal((1, dims)).astype(np.float32), n, axis=0)
        cols = rng.integers(0, dims, n)
        steps = rng.integers(0, 4, n)
        for r in range(n):
            for _ in range(steps[r]):
                X[r, cols[r]] = np.nextafter(X[r, cols[r]], np.float32(np.inf))
        return X
    if kind == "saturate":  # 1e-30 .. 1e30 within a row: codes clip, sums overflow, some NaN rows
        X = (10.0 ** rng.uniform(-30, 30, (n, dims)) * rng.standard_normal((n, dims)))
        X = X.astype(np.float32)
        X[rng.random(n) < 0.05, 0] = np.nan
        X[rng.random(n) < 0.1] *= np.float32(1e-45)  # rows scaled into the subnormal range
        return X
    if kind == "zero_codes":  # one unit coordinate, the rest quantise to zero; some rows all zero
        X = (1e-4 * rng.standard_normal((n, dims))).astype(np.float32)
        X[np.arange(n), rng.integers(0, dims, n)] = 1.0
        X[rng.random(n) < 0.2] = 0.0
        return X
    scales = 10.0 ** rng.uniform(-3, 3, (n, 1))  # mixed scales
    return (scales * rng.standard_normal((n, dims))).astype(np.float32)


KINDS = ["offset", "huge", "tiny", "spikes", "ulp", "mixed", "saturate", "zero_codes"]
cases = st.fixed_dictionaries({
    "kind": st.sampled_from(KINDS),
    "metric": st.sampled_from(["cosine", "dot", "euclidean"]),
    "rows": st.integers(1, 300),
    "dims": st.integers(1, 70),
    "seed": st.integers(0, 2 ** 32 - 1),
})


def kernel_top_k(X, q, k, metric):
    scores = l2_layout(X, q) if metric == "euclidean" else dot_layout(X, q)
    return topk_oracle(scores, k, metric)


def build(case, make_engine, n_queries):
    rng = np.random.default_rng(case["seed"])
    all_rows = family(case["kind"], rng, case["rows"] + n_queries, case["dims"])
    X, Q = all_rows[:case["rows"]], np.nan_to_num(all_rows[case["rows"]:], nan=1.0)
    return X, Q, make_engine(X, case["metric"])


def same(got_idx, got_scores, want, seed):
    idx, scores = want
    assert list(got_idx) == idx.tolist(), f"seed {seed}"
    assert np.asarray(got_scores, np.float32).tobytes() == scores.tobytes(), f"seed {seed}"


@SETTINGS
@given(case=cases, k=st.integers(1, 320))
def test_every_single_strategy_returns_the_kernel_answer(make_engine, monkeypatch, case, k):
    X, Q, e = build(case, make_engine, 1)
    q = Q[0]
    want = kernel_top_k(X, q, k, case["metric"])
    # The compressed pre-filter on every index ("always"), where it pays
    # ("auto") and never ("off").
    for use_filter, mode in itertools.product(["always", "auto", "off"], SINGLE_MODES):
        monkeypatch.setenv("LUMVO_FILTER", use_filter)
        if mode is None:
            monkeypatch.delenv("LUMVO_SINGLE_MODE", raising=False)
        else:
            monkeypatch.setenv("LUMVO_SINGLE_MODE", mode)
        r = e.query_exact_arrays(q, k)
        same(r["indices"], r["scores"], want, case["seed"])


@SETTINGS
@given(case=cases, k=st.integers(1, 320), nq=st.integers(2, 6))
def test_every_batch_strategy_returns_the_kernel_answer(make_engine, monkeypatch, case, k, nq):
    X, Q, e = build(case, make_engine, nq)
    want = [kernel_top_k(X, q, k, case["metric"]) for q in Q]
    # The compressed rows' tiles on every index ("always"), where they pay
    # ("auto") and never ("off").
    for use_filter, mode in itertools.product(["always", "auto", "off"], BATCH_MODES):
        monkeypatch.setenv("LUMVO_FILTER", use_filter)
        if mode is None:
            monkeypatch.delenv("LUMVO_BATCH_MODE", raising=False)
        else:
            monkeypatch.setenv("LUMVO_BATCH_MODE", mode)
        for r, w in zip(e.query_batch(Q, k), want):
            same([i.idx for i in r.results], [i.score for i in r.results], w, case["seed"])


@SETTINGS
@given(case=cases, k=st.integers(1, 320), block=st.integers(1, 70))
def test_a_safe_certificate_vouches_for_the_unpruned_answer(make_engine, case, k, block):
    X, Q, e = build(case, make_engine, 1)
    block = min(block, case["dims"])
    on = e.query_exact_certified(Q[0], k, block, True)
    off = e.query_exact_certified(Q[0], k, block, False)
    assert on["certificate"]["safe"]
    pairs = lambda d: [(r["idx"], np.float32(r["score"]).tobytes()) for r in d["results"]]
    assert pairs(on) == pairs(off)
    want_idx, want_scores = kernel_top_k(X, Q[0], k, case["metric"])
    assert [r["idx"] for r in on["results"]] == want_idx.tolist()
    c = on["certificate"]
    assert c["full_evaluated"] + c["pruned_candidates"] == case["rows"]


def test_the_fixed_margin_case_is_answered_exactly(make_engine):
    # Row 1's kernel score 2^24 + 16 beats row 0's 2^24 + 14; its exact dot
    # product, 2^24 + 12, does not.
    X = np.zeros((2, 16), np.float32)
    X[0, 0] = 2 ** 24 + 14
    X[1, 0], X[1, [1, 2, 3, 8]] = 2 ** 24, 3
    e = make_engine(X, "dot")
    r = e.query_exact_certified(np.ones(16, np.float32), 1, 1, True)
    assert r["results"] == [{"idx": 1, "score": 16777232.0}]
    assert r["certificate"]["safe"] and r["certificate"]["pruned_candidates"] == 0


def quantisation_term_case():
    """Rows whose int8 codes are exact (no residual) and a query with one
    huge component: 2^24 takes code 16,384 at scale 1,024, the 599 values
    500 round to code 0. Row 1 wins by 599 * 127 * 500 - 2^24; the codes see
    row 0 ahead by 2^24, and only the query's own quantisation error keeps
    row 1 in the band."""
    X = np.zeros((2, 600), np.float32)
    X[0, 0], X[1, 0], X[1, 1:] = 127, 126, 127
    q = np.full(600, 500, np.float32)
    q[0] = 2 ** 24
    return X, q


def kernel_rounding_case():
    """Integer rows (largest value 127: scale 1) and an integer query (its
    largest 32,500 below the code limit: scale 1), so every code is exact and
    the approximation is the exact dot product. Row 1's exact dot is 3 above
    row 0's, but the kernel's f32 sums (partials past 2^24, cancelling to
    1.6e6) tie them, so row 0 is the answer: only the kernel's rounding
    term keeps row 0 in the band."""
    rng = np.random.default_rng(1909)
    q = np.concatenate([rng.integers(30000, 32501, 64),
                        -rng.integers(30000, 32501, 64)]).astype(np.float32)
    X = np.repeat(rng.integers(110, 127, (1, 128)), 2, axis=0).astype(np.float32)
    X[:, 0] = 127
    i, j = rng.choice(np.arange(1, 64), 2, replace=False)
    X[1, i] += 1
    X[1, j] -= 1
    exact = X.astype(np.int64) @ q.astype(np.int64)
    assert exact[1] > exact[0] and dot_layout(X, q)[0] == dot_layout(X, q)[1]
    return X, q


@pytest.mark.parametrize("case", [quantisation_term_case, kernel_rounding_case])
@pytest.mark.parametrize("use_filter", ["always", "auto", "off"])
def test_each_term_of_the_compressed_bound_is_needed(make_engine, monkeypatch, case, use_filter):
    X, q = case()
    monkeypatch.setenv("LUMVO_FILTER", use_filter)
    e = make_engine(X, "dot")
    for k in (1, 2):
        r = e.query_exact_arrays(q, k)
        same(r["indices"], r["scores"], kernel_top_k(X, q, k, "dot"), 0)
    r = e.query_batch_arrays(np.stack([q] * 4), 1)
    for i in range(4):
        same(r["indices"][i], r["scores"][i], kernel_top_k(X, q, 1, "dot"), 0)


def test_offset_rows_keep_the_true_nearest(make_engine):
    rng = np.random.default_rng(0)
    X = (1e4 + rng.standard_normal((2000, 64))).astype(np.float32)
    Q = (1e4 + rng.standard_normal((6, 64))).astype(np.float32)
    e = make_engine(X, "euclidean")
    res = e.query_batch_arrays(Q, 5)
    assert res["method_used"] == ["batch-blocked-exact"] * 6
    for i, q in enumerate(Q):
        same(res["indices"][i], res["scores"][i], kernel_top_k(X, q, 5, "euclidean"), 0)
    assert (res["scores"] >= 0).all()
    # Block 16 on the same data: the margin grows with the norms, so the
    # pruned scan keeps all ten true neighbours.
    c = e.query_exact_certified(Q[0], 10, 16, True)
    assert [r["idx"] for r in c["results"]] == kernel_top_k(X, Q[0], 10, "euclidean")[0].tolist()


@pytest.mark.parametrize("metric", ["cosine", "euclidean"])
def test_margin_changes_nothing_on_unit_data(make_engine, metric):
    """Clustered unit rows, k = 10, block 32: the pruning still skips almost
    every row."""
    rng = np.random.default_rng(5)
    centres = rng.standard_normal((50, 128))
    X = centres[rng.integers(0, 50, 20000)] + 0.3 * rng.standard_normal((20000, 128))
    X = (X / np.linalg.norm(X, axis=1, keepdims=True)).astype(np.float32)
    e = make_engine(X, metric)
    c = e.query_exact_certified(X[17].copy(), 10, 32, True)["certificate"]
    assert c["safe"]
    assert c["pruned_candidates"] >= 0.98 * 20000


def overflowing_rows(rows, dims, partner):
    """Row 0 scores 1, the last row 100: it holds -1.2e38 in dimensions 0 and
    1 and +1.2e38 in partner and partner + 1 (a multiple of 8 past the first
    block). A block holding dimensions 0 and 1 sums to -inf in f32, yet the
    kernel adds d and d + 8j in one lane, so the big terms cancel."""
    X = np.zeros((rows, dims), np.float32)
    X[0, 2] = 1
    X[-1, [0, 1]], X[-1, [partner, partner + 1]], X[-1, 2] = -1.2e38, 1.2e38, 100
    q = np.ones(dims, np.float32)
    q[[0, 1, partner, partner + 1]] = 1.5
    return X, q


@pytest.mark.parametrize("metric", ["dot", "cosine"])
@pytest.mark.parametrize("path,block", [("single", b) for b in (2, 3, 5, 8)]
                         + [("batch", b) for b in (2, 3, 5, 8)] + [("pruned", None)])
def test_an_overflowed_block_sum_never_skips_a_row(make_engine, monkeypatch, metric, path, block):
    if path == "pruned":
        # The pruned scan needs a million rows; it visits blocks of 32 here.
        X, q = overflowing_rows(1_000_000, 64, 32)
        monkeypatch.setenv("LUMVO_SINGLE_MODE", "pruned")
        r = make_engine(X, metric).query_exact(q, 1)
        assert r.method_used == "exact-pruned-fast"
        got = [(i.idx, i.score) for i in r.results]
    else:
        X, q = overflowing_rows(2, 16, 8)
        e = make_engine(X, metric)
        if path == "single":
            d = e.query_exact_certified(q, 1, block, True)
        else:
            d = e.query_batch_exact_certified(np.stack([q, q]), 1, block, True)[1]
        assert d["certificate"]["safe"]
        got = [(r["idx"], r["score"]) for r in d["results"]]
    want_idx, want_scores = kernel_top_k(X, q, 1, metric)
    assert want_idx.tolist() == [len(X) - 1] and want_scores.tolist() == [100.0]
    assert got == [(len(X) - 1, 100.0)]
