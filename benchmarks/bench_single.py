"""Single-query latency (k = 10), lumvero's default pool.

For each shape, side by side query by query (median over the queries):
lumvero's default strategy and the forced ones (named by what ran), NumPy's
X @ q + argpartition + sort (NumPy's BLAS on every CPU), FAISS IndexFlatIP at
its best thread setting, and the machine's streaming floor.

The floor is the time of one read of the whole index at the machine's memory
bandwidth, measured in the same run and the same way every time: an integer
OR over a buffer 8 x the last-level cache (at least 256 MB) on one thread per
CPU, median of 5 passes, sampled four times during the shape's queries, the
best sample used. It bounds a scan that reads every value of an index that
does not fit in the caches, so it is drawn and checked only for indexes at
least twice the last-level cache; a smaller index is (partly) served from the
caches and can be read faster. ("pruned" skips the tails of rows it rules
out, so it may go under the floor.) "x floor" = floor time / query time
(1.00 = at the floor).

Goals for the default strategy: >= 0.9 x floor (where the floor applies) and
>= 1.1 x NumPy.
Run: .venv/bin/python benchmarks/bench_single.py [--quick]
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import shape_label, unit_vectors, write_index  # noqa: E402

import lumvero  # noqa: E402

try:
    import faiss
except ImportError:  # installed by `make bench`
    faiss = None

K = 10
MODES = ["default", "rayon", "blocked", "matrix_full", "pruned"]


def chart(report, path):
    series = {
        "lumvero (default)": lambda r: r["who"] == "lumvero" and r["mode"] == "default",
        "NumPy X @ q + argpartition": lambda r: r["who"] == "numpy",
        "FAISS IndexFlatIP (best threads)": lambda r: r["who"] == "faiss best",
    }
    common.bar_chart(report, path, "ms", "milliseconds per query", series, floor_key="floor_ms",
                     floor_label="streaming floor (one read of the index from memory)",
                     higher_is_better=False, fmt="{:.2f}")


def main():
    info = common.machine_info()
    common.print_header("single query, k = 10", info)
    print(__doc__.split("\n\n")[2])
    report = common.Report("bench_single", "Single-query latency, k = 10", info)
    threads = info["cpus"]
    nq = common.repeats(40, 15)
    for rows, dims in common.shapes():
        shape = shape_label(rows, dims)
        X = unit_vectors(rows, dims, seed=1)
        Q = unit_vectors(nq, dims, seed=2)
        path = write_index(X, "cosine")
        engine = lumvero.PySearchEngine(path, False)
        names = {}

        def lum(mode):
            def run(q):
                if mode == "default":
                    os.environ.pop("LUMVO_SINGLE_MODE", None)
                else:
                    os.environ["LUMVO_SINGLE_MODE"] = mode
                try:
                    names[mode] = engine.query_exact(q, K).method_used
                finally:
                    os.environ.pop("LUMVO_SINGLE_MODE", None)
            return run

        def numpy_top(q):
            s = X @ q
            idx = np.argpartition(-s, K)[:K]
            return idx[np.argsort(-s[idx])]

        contenders = {f"lumvero {m}": lum(m) for m in MODES}
        contenders["numpy"] = numpy_top
        faiss_index = None
        if faiss is not None:
            faiss_index, faiss_contenders = common.faiss_single_query(faiss, X, K)
            contenders.update(faiss_contenders)
        for fn in contenders.values():
            fn(Q[0])
        med, floor_gbs = common.query_by_query(contenders, Q, threads)
        bw = max(floor_gbs)
        memory_ms = X.nbytes / bw / 1e6
        applies = common.floor_applies(X.nbytes)
        floor_ms = memory_ms if applies else None
        print(f"\n{shape}  ({X.nbytes / 1e6:,.0f} MB; memory bandwidth {bw:.1f} GB/s on {threads} "
              f"threads, samples {', '.join(f'{g:.1f}' for g in floor_gbs)}; one read "
              f"{memory_ms:.2f} ms" + ("" if applies else
                                       ", no floor: the index fits in twice the cache") + ")")

        def row(who, mode, ms, name=""):
            x_floor = floor_ms / ms if floor_ms else None
            rec = dict(shape=shape, rows=rows, dims=dims, who=who, mode=mode, method=name, ms=ms,
                       floor_ms=floor_ms, memory_read_ms=memory_ms, read_gbs=bw,
                       read_gbs_samples=floor_gbs, x_floor=x_floor)
            report.add(**rec)
            print(f"  {(who + ' ' + mode).strip():<26} {name:<21} {ms:8.2f} ms" +
                  (f"   x floor {x_floor:5.2f}" if x_floor else ""), flush=True)
            return rec

        d = row("lumvero", "default", med["lumvero default"], names["default"])
        for m in MODES[1:]:
            row("lumvero", m, med[f"lumvero {m}"], names[m])
        n = row("numpy", "", med["numpy"])
        best = None
        if faiss is not None:
            for t in (1, 2):
                row("faiss", f"{t} thr", med[f"faiss {t}"])
            bt = min((1, 2), key=lambda t: med[f"faiss {t}"])
            best = row("faiss best", f"({bt} thr)", med[f"faiss {bt}"])
            faiss.omp_set_num_threads(threads)
        if applies:
            report.add_goal(shape, common.goal("default vs streaming floor", floor_ms / d["ms"], 0.9))
        report.add_goal(shape, common.goal("default vs NumPy X @ q + argpartition",
                                           n["ms"] / d["ms"], 1.1))
        if best:
            print(f"    (vs FAISS best: {best['ms'] / d['ms']:.2f} x)")
        del engine, faiss_index
        os.remove(path)
    report.save(chart)


if __name__ == "__main__":
    common.run(main)
