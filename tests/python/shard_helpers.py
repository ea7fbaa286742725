"""Data sets and the single-file reference for the sharded-search tests."""
import numpy as np

import lumvero

METRICS = ["cosine", "dot", "euclidean"]


def random_data(rng, rows, dims):
    return rng.standard_normal((rows, dims)).astype(np.float32)


def tie_data(rng, rows, dims):
    """Few distinct rows with small integer components, repeated all over the
    matrix (so equal scores fall into different shards), plus all-zero rows:
    their dot product with an all-negative query is -0.0, which ranks apart
    from the +0.0 of rows orthogonal to it."""
    pool = rng.integers(-2, 3, (5, dims)).astype(np.float32)
    pool[0] = 0.0
    return pool[rng.integers(0, len(pool), rows)]


def tie_queries(rng, n, dims):
    Q = rng.integers(-2, 3, (n, dims)).astype(np.float32)
    Q[0] = -1.0  # all negative
    return Q


DATA = {"random": (random_data, lambda rng, n, d: random_data(rng, n, d)),
        "ties": (tie_data, tie_queries)}


def make_data(kind, rows, dims, nq, seed=0):
    rng = np.random.default_rng(seed)
    rows_fn, queries_fn = DATA[kind]
    return rows_fn(rng, rows, dims), queries_fn(rng, nq, dims)


def one_file(X, metric, directory):
    rows, dims = X.shape
    path = lumvero.py_prepare_bin_from_embeddings(X, dims, rows, "whole", "f32", metric=metric,
                                                  output_dir=str(directory))
    return lumvero.PySearchEngine(path, False)


def reference(engine, Q, k, metric):
    """The single file's answer, widened to k columns: empty slots hold id -1
    and the worst score (-inf for similarity, +inf for distance)."""
    n = Q.shape[0]
    fill = np.inf if metric == "euclidean" else -np.inf
    ids = np.full((n, k), -1, np.int64)
    scores = np.full((n, k), fill, np.float32)
    if n and k:
        d = engine.query_batch_arrays(np.ascontiguousarray(Q), k)
        m = d["indices"].shape[1]
        ids[:, :m] = d["indices"].astype(np.int64)
        scores[:, :m] = d["scores"]
    return scores, ids


def assert_bit_identical(got, want):
    (gs, gi), (ws, wi) = got, want
    assert gs.dtype == np.float32 and gi.dtype == np.int64
    assert gs.shape == ws.shape and gi.shape == wi.shape
    np.testing.assert_array_equal(gi, wi)
    assert gs.tobytes() == ws.tobytes()


def ties_across_shards(scores, ids, bounds):
    """True when some query's answer holds two equal scores (same bits) from
    rows of different shards."""
    shard_of = np.searchsorted([b for _, b in bounds], ids, side="right")
    for s_row, sh_row, i_row in zip(scores, shard_of, ids):
        keep = i_row >= 0
        bits = s_row[keep].view(np.int32)
        sh = sh_row[keep]
        for b in np.unique(bits):
            if len(np.unique(sh[bits == b])) > 1:
                return True
    return False
