"""Certified search with and without pruning beside the default exact search.

For clustered unit vectors (queries drawn near the clusters) and uniform ones,
prints the fraction of rows pruned, rows per second and the time, for
k = 1, 10, 100 and block sizes 16, 32, 64, 128. There is no peer for certified
search; the figures say where pruning pays and where it does not.
Run: .venv/bin/python benchmarks/bench_certified.py
"""
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import unit_vectors, write_index  # noqa: E402

import lumvero  # noqa: E402

NQ = 5


def timed(fn, queries):
    fn(queries[0])
    t = time.perf_counter()
    out = [fn(q) for q in queries]
    return (time.perf_counter() - t) / len(queries), out


def main():
    for rows, dims in [(100_000, 384), (1_000_000, 128)]:
        for kind in ("clustered", "uniform"):
            clusters = 100 if kind == "clustered" else 0
            X = unit_vectors(rows, dims, seed=3, clusters=clusters)
            rng = np.random.default_rng(4)
            Q = X[rng.integers(0, rows, NQ)] + 0.05 * rng.standard_normal((NQ, dims), dtype=np.float32)
            Q /= np.linalg.norm(Q, axis=1, keepdims=True)
            path = write_index(X, "cosine")
            engine = lumvero.PySearchEngine(path, False)
            print(f"{rows:>9,} x {dims:<4} {kind}")
            for k in (1, 10, 100):
                t_exact, _ = timed(lambda q: engine.query_exact(q, k), Q)
                t_full, _ = timed(lambda q: engine.query_exact_certified(q, k, 64, False), Q)
                print(f"  k={k:<3} query_exact {t_exact * 1e3:7.2f} ms   certified without pruning "
                      f"{t_full * 1e3:7.2f} ms ({rows / t_full / 1e6:6.1f} M rows/s)")
                for bs in (16, 32, 64, 128):
                    t, out = timed(lambda q: engine.query_exact_certified(q, k, bs, True), Q)
                    pruned = np.mean([d["certificate"]["pruned_candidates"] / rows for d in out])
                    safe = all(d["certificate"]["safe"] for d in out)
                    print(f"        block {bs:>3}: pruned {pruned * 100:5.1f} %  {t * 1e3:7.2f} ms "
                          f"({rows / t / 1e6:6.1f} M rows/s, {t_full / t:4.2f} x no-pruning, "
                          f"{t_exact / t:4.2f} x query_exact) safe={safe}")
            del engine
            os.remove(path)


if __name__ == "__main__":
    main()
