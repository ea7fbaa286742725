"""lumvero's main job, end to end: prepare an index from embeddings, open it,
search it, and check every answer against a NumPy brute-force search."""
import os
import sys
import tempfile
import time

import numpy as np
from numpy.typing import NDArray

import lumvero

ROWS, DIMS, CLUSTERS, K = 100_000, 384, 64, 5


def clustered_unit_vectors(rows: int, dims: int, clusters: int,
                           seed: int) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dims)).astype(np.float32)
    labels = rng.integers(0, clusters, rows)
    X = centres[labels] + 0.35 * rng.standard_normal((rows, dims)).astype(np.float32)
    X /= np.linalg.norm(X, axis=1, keepdims=True)
    return X.astype(np.float32), centres


def numpy_top_k(X: NDArray[np.float32], q: NDArray[np.float32], k: int) -> NDArray[np.intp]:
    scores = X @ q
    best = np.argpartition(-scores, k)[:k]
    return best[np.lexsort((best, -scores[best]))]


def main() -> None:
    # The index goes where the caller says and stays there; without a
    # directory it goes to a temporary one that is removed on the way out.
    if len(sys.argv) > 1:
        demo(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory(prefix="lumvero-demo-") as out_dir:
            demo(out_dir)


def demo(out_dir: str) -> None:
    print(f"embeddings: {ROWS:,} x {DIMS} unit vectors in {CLUSTERS} clusters (seed 7)")
    X, centres = clustered_unit_vectors(ROWS, DIMS, CLUSTERS, seed=7)

    t = time.perf_counter()
    path = lumvero.py_prepare_bin_from_embeddings(X, DIMS, ROWS, "demo", "f32",
                                                  metric="cosine", output_dir=out_dir)
    print(f"prepared   {path} ({os.path.getsize(path):,} bytes) in {time.perf_counter() - t:.2f} s")

    t = time.perf_counter()
    engine = lumvero.PySearchEngine(path, False)
    print(f"opened     {engine.rows():,} rows x {engine.dims()} dims in {time.perf_counter() - t:.2f} s")
    stored = np.fromfile(path, dtype="<f4", offset=12).reshape(ROWS, DIMS)

    rng = np.random.default_rng(11)
    all_match = True
    for i in range(3):
        q = centres[rng.integers(0, CLUSTERS)] + 0.3 * rng.standard_normal(DIMS).astype(np.float32)
        q = (q / np.linalg.norm(q)).astype(np.float32)
        r = engine.query_exact_detailed(q, K)
        got = [item.idx for item in r.results]
        want = numpy_top_k(stored, q, K).tolist()
        all_match &= got == want
        assert r.query_hash is not None  # set by the detailed methods
        print(f"\nquery {i}: {r.method_used} in {r.query_time_ms:.2f} ms  (query hash {r.query_hash[:16]}...)")
        for item in r.results:
            print(f"  row {item.idx:>6}  score {item.score:+.6f}")
        print(f"  NumPy brute force agrees: {got == want}")

    Q = (centres[rng.integers(0, CLUSTERS, 200)]
         + 0.3 * rng.standard_normal((200, DIMS)).astype(np.float32))
    Q = (Q / np.linalg.norm(Q, axis=1, keepdims=True)).astype(np.float32)
    t = time.perf_counter()
    batch = engine.query_batch_arrays(Q, K)
    elapsed = time.perf_counter() - t
    S = Q @ stored.T
    batch_match = all(
        set(batch["indices"][j].tolist()) == set(numpy_top_k(stored, Q[j], K).tolist())
        or np.allclose(np.sort(S[j, batch["indices"][j]]), np.sort(S[j, numpy_top_k(stored, Q[j], K)]), atol=1e-6)
        for j in range(len(Q)))
    print(f"\nbatch of {len(Q)} queries: {batch['method_used'][0]} in {elapsed * 1e3:.1f} ms "
          f"({len(Q) / elapsed:,.0f} queries/s); NumPy agrees: {batch_match}")

    cert = engine.query_exact_certified(Q[0], 10, 32)
    c = cert["certificate"]
    print(f"certified search: {c['pruned_candidates']:,} of {c['total_candidates']:,} rows pruned, "
          f"safe={c['safe']}, {cert['query_time_ms']:.2f} ms")
    ex = engine.explain(Q[0], cert["results"][0]["idx"], 64, 3)
    print(f"explain row {cert['results'][0]['idx']}: score {ex['score_total']:+.6f}, "
          f"top blocks {[b['block_id'] for b in ex['blocks']]}, residual {ex['residual']:+.6f}")
    print(f"index hash {cert['index_hash']}")
    if not (all_match and batch_match):
        sys.exit("mismatch against NumPy")


if __name__ == "__main__":
    main()
