"""Batch throughput (1,000 queries, k = 10): queries/s and achieved GFLOPS
(2 * nq * rows * dims per second) for lumvero's default and each forced
strategy, NumPy and FAISS in its best thread configuration (OpenMP 1 thread,
BLAS 2 threads), beside the machine's sgemm GFLOPS for the same shapes.

Goals for the default strategy: >= 1.0 x FAISS's best configuration on every
shape and >= 85 % of the measured sgemm GFLOPS at dims >= 384.
Run: .venv/bin/python benchmarks/bench_batch.py
"""
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "2")
import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from common import SHAPES, unit_vectors, write_index  # noqa: E402

import lumvero  # noqa: E402

try:
    import faiss
except ImportError:  # pragma: no cover - installed by `make bench`
    faiss = None

NQ, K = 1000, 10
MODES = [None, "blocked", "matrix", "chunked", "rayon"]


def best_of(fn, repeat=3):
    fn()
    ts = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        ts.append(time.perf_counter() - t)
    return min(ts)


def main():
    for rows, dims in SHAPES:
        X = unit_vectors(rows, dims, seed=1)
        Q = unit_vectors(NQ, dims, seed=2)
        flop = 2.0 * NQ * rows * dims
        block = X[:min(rows, 16000)]
        t = best_of(lambda: Q @ block.T)
        sgemm = 2.0 * NQ * block.shape[0] * dims / t / 1e9
        path = write_index(X, "cosine")
        engine = lumvero.PySearchEngine(path, False)
        print(f"{rows:>9,} x {dims:<4} sgemm (NumPy's OpenBLAS, 2 threads) {sgemm:6.1f} GFLOPS")
        for mode in MODES:
            if mode:
                os.environ["LUMVO_BATCH_MODE"] = mode
            else:
                os.environ.pop("LUMVO_BATCH_MODE", None)
            name = engine.query_batch(Q[:8], K)[0].method_used
            t = best_of(lambda: engine.query_batch_arrays(Q, K), repeat=2 if mode == "rayon" else 3)
            print(f"  lumvero {('default' if mode is None else mode):>8} -> {name:<20} "
                  f"{NQ / t:9,.0f} q/s {flop / t / 1e9:7.1f} GFLOPS ({flop / t / 1e9 / sgemm * 100:5.1f} % of sgemm)")
        os.environ.pop("LUMVO_BATCH_MODE", None)

        def numpy_batch():
            out = np.empty((NQ, K), np.int64)
            for s in range(0, NQ, 250):
                S = Q[s:s + 250] @ X.T
                part = np.argpartition(-S, K, axis=1)[:, :K]
                out[s:s + 250] = np.take_along_axis(part, np.argsort(-np.take_along_axis(S, part, 1), 1), 1)
            return out

        t = best_of(numpy_batch, repeat=2)
        print(f"  numpy   {'Q @ X.T':>8}    {'':<20} {NQ / t:9,.0f} q/s {flop / t / 1e9:7.1f} GFLOPS")
        if faiss is not None:
            faiss.omp_set_num_threads(1)
            for cls in ("IndexFlatIP", "IndexFlatL2"):
                index = getattr(faiss, cls)(dims)
                index.add(X)
                t = best_of(lambda: index.search(Q, K), repeat=2)
                print(f"  faiss   {cls:>8}    {'':<20} {NQ / t:9,.0f} q/s {flop / t / 1e9:7.1f} GFLOPS")
        del engine
        os.remove(path)


if __name__ == "__main__":
    main()
