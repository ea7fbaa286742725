"""Certified search with and without pruning beside the default exact search
and NumPy's X @ q + argpartition.

For clustered unit vectors (queries drawn near the clusters) and uniform ones,
prints the share of rows pruned (rows the certificate skipped without scoring
them in full), rows per second and the time, for several k and block sizes.
There is no peer for certified search; the figures say where pruning pays and
where it does not. "x no-pruning" and "x exact" are speed-ups over certified
search without pruning and over query_exact (above 1 = faster).
Run: .venv/bin/python benchmarks/bench_certified.py [--quick]
"""
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import shape_label, unit_vectors, write_index  # noqa: E402

import lumvero  # noqa: E402

NQ = 5
SHAPES = [(100_000, 384), (1_000_000, 128)]
QUICK_SHAPES = [(20_000, 384), (200_000, 128)]


def timed(fn, queries):
    fn(queries[0])
    t = time.perf_counter()
    out = [fn(q) for q in queries]
    return (time.perf_counter() - t) / len(queries), out


def chart(report, path):
    series = {
        "lumvero certified, pruning (k=10, block 64)":
            lambda r: r["who"] == "certified" and r["k"] == 10 and r["block"] == 64,
        "lumvero certified, no pruning (k=10)": lambda r: r["who"] == "certified-no-pruning"
        and r["k"] == 10,
        "lumvero query_exact (k=10)": lambda r: r["who"] == "query_exact" and r["k"] == 10,
        "NumPy X @ q + argpartition (k=10)": lambda r: r["who"] == "numpy" and r["k"] == 10,
    }
    common.bar_chart(report, path, "ms", "milliseconds per query", series,
                     higher_is_better=False, fmt="{:.1f}")


def main():
    info = common.machine_info()
    common.print_header("certified search", info)
    print("pruned = share of rows the certificate skipped without scoring them in full; "
          "M rows/s = million index rows per second; x no-pruning / x exact = speed-up over "
          "certified search without pruning / over query_exact (above 1 = faster).")
    report = common.Report("bench_certified", "Certified search (clustered and uniform data)", info)
    ks = (1, 10, 100) if not common.QUICK else (10,)
    blocks = (16, 32, 64, 128) if not common.QUICK else (32, 64)
    for rows, dims in (QUICK_SHAPES if common.QUICK else SHAPES):
        for kind in ("clustered", "uniform"):
            shape = f"{shape_label(rows, dims)} {kind}"
            clusters = 100 if kind == "clustered" else 0
            X = unit_vectors(rows, dims, seed=3, clusters=clusters)
            rng = np.random.default_rng(4)
            Q = X[rng.integers(0, rows, NQ)] + 0.05 * rng.standard_normal((NQ, dims), dtype=np.float32)
            Q /= np.linalg.norm(Q, axis=1, keepdims=True)
            path = write_index(X, "cosine")
            engine = lumvero.PySearchEngine(path, False)
            print(f"\n{shape}", flush=True)
            for k in ks:
                def numpy_top(q, k=k):
                    s = X @ q
                    idx = np.argpartition(-s, k)[:k]
                    return idx[np.argsort(-s[idx])]
                t_np, _ = timed(numpy_top, Q)
                t_exact, _ = timed(lambda q: engine.query_exact(q, k), Q)
                t_full, _ = timed(lambda q: engine.query_exact_certified(q, k, 64, False), Q)
                base = dict(shape=shape, rows=rows, dims=dims, k=k, block=None)
                report.add(**base, who="numpy", ms=t_np * 1e3)
                report.add(**base, who="query_exact", ms=t_exact * 1e3)
                report.add(**base, who="certified-no-pruning", ms=t_full * 1e3)
                print(f"  k={k:<3} query_exact {t_exact * 1e3:7.2f} ms   NumPy {t_np * 1e3:7.2f} ms"
                      f"   certified without pruning {t_full * 1e3:7.2f} ms "
                      f"({rows / t_full / 1e6:6.1f} M rows/s)")
                for bs in blocks:
                    t, out = timed(lambda q: engine.query_exact_certified(q, k, bs, True), Q)
                    pruned = float(np.mean([d["certificate"]["pruned_candidates"] / rows for d in out]))
                    safe = all(d["certificate"]["safe"] for d in out)
                    report.add(**dict(base, block=bs), who="certified", ms=t * 1e3,
                               pruned_share=pruned, safe=safe)
                    print(f"        block {bs:>3}: pruned {pruned * 100:5.1f} % of rows  "
                          f"{t * 1e3:7.2f} ms ({rows / t / 1e6:6.1f} M rows/s, "
                          f"{t_full / t:4.2f} x no-pruning, {t_exact / t:4.2f} x exact) "
                          f"safe={safe}", flush=True)
            del engine
            os.remove(path)
    report.save(chart)


if __name__ == "__main__":
    common.run(main)
