"""Batch throughput: 1,000 queries, k = 10, lumvero's default pool.

For each shape, side by side in one run (median of several rounds):
  * lumvero's default strategy and the forced ones (named by what ran);
  * NumPy's bare product Q @ X.T (no selection): the machine's sgemm ceiling
    as NumPy's own OpenBLAS reaches it;
  * NumPy's pipeline Q @ X.T + argpartition + sort (250 queries at a time);
  * FAISS IndexFlatIP at its best thread setting (1 or 2 OpenMP threads);
  * the product alone as lumvero runs it (lumvero's BLAS, its tiles of up to
    1,024 queries x 512 rows, one thread per worker), which splits lumvero's
    time into the product and the rest (selection, the rescoring band of the
    per-row kernel, merge); benchmarks/bench_exactness.py measures the band
    on its own.

Goals for the default strategy: >= 0.85 x NumPy's bare product, >= 1.5 x the
NumPy pipeline, >= 1.0 x FAISS's best setting.
Run: .venv/bin/python benchmarks/bench_batch.py [--quick]
"""
import ctypes
import os
import sys
import threading

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import shape_label, unit_vectors, write_index  # noqa: E402

import lumvero  # noqa: E402

try:
    import faiss
except ImportError:  # installed by `make bench`
    faiss = None

NQ, K = 1000, 10
TILE_QUERIES, TILE_ROWS = 1024, 512
# Forced strategies, beside the default ("blocked"); "rayon" runs one query
# after another, so it is timed on fewer queries.
FORCED = ["matrix", "chunked"]
RAYON_QUERIES = 40


def lumvero_sgemm(blas_path):
    lib = ctypes.CDLL(blas_path)
    for name in ("scipy_cblas_sgemm", "cblas_sgemm"):
        if hasattr(lib, name):
            f = getattr(lib, name)
            c_int, c_float, p = ctypes.c_int, ctypes.c_float, ctypes.c_void_p
            f.argtypes = [c_int, c_int, c_int, c_int, c_int, c_int, c_float, p, c_int, p, c_int,
                          c_float, p, c_int]
            f.restype = None
            return f
    return None


def product_only(sgemm, Q, X, threads):
    """lumvero's product without its selection: each thread multiplies its
    share of the rows tile by tile into a private tile buffer, as the default
    strategy's tasks do. ctypes releases the GIL for each call."""
    nq, dims = Q.shape
    rows = X.shape[0]
    bounds = np.linspace(0, rows, threads + 1).astype(int)

    def work(r0, r1):
        tq = min(TILE_QUERIES, nq)
        tile = np.empty((tq, TILE_ROWS), np.float32)
        for rs in range(r0, r1, TILE_ROWS):
            rn = min(TILE_ROWS, r1 - rs)
            for qs in range(0, nq, tq):
                qm = min(tq, nq - qs)
                sgemm(101, 111, 112, qm, rn, dims, 1.0, Q[qs:].ctypes.data, dims,
                      X[rs:].ctypes.data, dims, 0.0, tile.ctypes.data, rn)

    ts = [threading.Thread(target=work, args=(bounds[i], bounds[i + 1]), daemon=True)
          for i in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()


def chart(report, path):
    series = {
        "lumvero (default)": lambda r: r["who"] == "lumvero" and r["mode"] == "default",
        "NumPy Q @ X.T + argpartition": lambda r: r["who"] == "numpy pipeline",
        "FAISS IndexFlatIP (best threads)": lambda r: r["who"] == "faiss best",
        "NumPy bare Q @ X.T (sgemm ceiling)": lambda r: r["who"] == "numpy bare product",
    }
    common.bar_chart(report, path, "qps", "queries per second", series)


def main():
    info = common.machine_info()
    common.print_header("batch: 1,000 queries, k = 10", info)
    print("q/s = queries per second; GFLOPS = 2 * queries * rows * dims per second; "
          "x bare = throughput / NumPy's bare product's (its sgemm ceiling).")
    report = common.Report("bench_batch", "Batch search, 1,000 queries, k = 10", info)
    threads = info["cpus"]
    sgemm = lumvero_sgemm(info["blas"]["lumvero"]["filepath"]) if info["blas"]["lumvero"] else None
    rounds = common.repeats(3, 2)
    for rows, dims in common.shapes():
        shape = shape_label(rows, dims)
        X = unit_vectors(rows, dims, seed=1)
        Q = unit_vectors(NQ, dims, seed=2)
        flop = 2.0 * NQ * rows * dims
        path = write_index(X, "cosine")
        engine = lumvero.PySearchEngine(path, False)
        names = {}

        def lum(mode, queries=Q):
            def run():
                if mode == "default":
                    os.environ.pop("LUMVO_BATCH_MODE", None)
                else:
                    os.environ["LUMVO_BATCH_MODE"] = mode
                try:
                    names[mode] = engine.query_batch_arrays(queries, K)["method_used"][0]
                finally:
                    os.environ.pop("LUMVO_BATCH_MODE", None)
            return run

        out = np.empty((NQ, min(rows, 16000)), np.float32)

        def numpy_bare():
            for s in range(0, rows, out.shape[1]):
                blk = X[s:s + out.shape[1]]
                np.matmul(Q, blk.T, out=out[:, :blk.shape[0]])

        def numpy_pipeline():
            res = np.empty((NQ, K), np.int64)
            for s in range(0, NQ, 250):
                S = Q[s:s + 250] @ X.T
                part = np.argpartition(-S, K, axis=1)[:, :K]
                order = np.argsort(-np.take_along_axis(S, part, 1), 1)
                res[s:s + 250] = np.take_along_axis(part, order, 1)
            return res

        contenders = {"lumvero default": lum("default")}
        contenders["numpy bare product"] = numpy_bare
        contenders["numpy pipeline"] = numpy_pipeline
        if sgemm is not None:
            contenders["product only"] = lambda: product_only(sgemm, Q, X, threads)
        faiss_index = None
        if faiss is not None:
            faiss_index = faiss.IndexFlatIP(dims)
            faiss_index.add(X)
            for t in (1, 2):
                def fs(t=t):
                    faiss.omp_set_num_threads(t)
                    faiss_index.search(Q, K)
                contenders[f"faiss {t} thread{'s' if t > 1 else ''}"] = fs
        med = common.side_by_side(contenders, repeat=rounds)
        if faiss is not None:
            faiss.omp_set_num_threads(threads)
        # The forced strategies are not goals: one timed run each (after one
        # untimed), named by what actually ran.
        forced = {m: common.median_time(lum(m), repeat=1) for m in FORCED}
        t_rayon = common.median_time(lum("rayon", Q[:RAYON_QUERIES]), repeat=1)

        print(f"\n{shape}  ({X.nbytes / 1e6:,.0f} MB)")

        def row(who, mode, t, nq=NQ, name=""):
            qps = nq / t
            gf = 2.0 * nq * rows * dims / t / 1e9
            rec = dict(shape=shape, rows=rows, dims=dims, who=who, mode=mode, method=name,
                       seconds=t, qps=qps, gflops=gf)
            report.add(**rec)
            label = f"{who} {mode}".strip()
            print(f"  {label:<28} {name:<20} {qps:10,.0f} q/s {gf:7.1f} GFLOPS"
                  f"  x bare {qps / bare_qps:5.2f}", flush=True)
            return rec

        bare_qps = NQ / med["numpy bare product"]
        d = row("lumvero", "default", med["lumvero default"], name=names["default"])
        for m in FORCED:
            row("lumvero", m, forced[m], name=names[m])
        row("lumvero", "rayon", t_rayon, nq=RAYON_QUERIES, name=names["rayon"])
        row("numpy bare product", "", med["numpy bare product"])
        p = row("numpy pipeline", "", med["numpy pipeline"])
        best_faiss = None
        if faiss is not None:
            for t in (1, 2):
                key = f"faiss {t} thread{'s' if t > 1 else ''}"
                row("faiss", f"{t} thr", med[key])
            best_key = min((k for k in med if k.startswith("faiss")), key=med.get)
            best_faiss = row("faiss best", f"({best_key[6:]})", med[best_key])
        if sgemm is not None:
            prod = med["product only"]
            row("product only", "", prod)
            total = med["lumvero default"]
            rest = max(total - prod, 0.0)
            split = {"product_s": prod, "selection_rescoring_merge_s": rest}
            report.notes.append(dict(shape=shape, split=split))
            print(f"  split of lumvero's default time {total * 1e3:.0f} ms: product "
                  f"{prod * 1e3:.0f} ms ({prod / total * 100:.0f} %); selection, rescoring band "
                  f"and merge {rest * 1e3:.0f} ms ({rest / total * 100:.0f} %)")
        report.add_goal(shape, common.goal("default vs NumPy bare Q @ X.T", d["qps"] / bare_qps, 0.85))
        report.add_goal(shape, common.goal("default vs NumPy Q @ X.T + argpartition",
                                           d["qps"] / p["qps"], 1.5))
        if best_faiss:
            report.add_goal(shape, common.goal("default vs FAISS best thread setting",
                                               d["qps"] / best_faiss["qps"], 1.0))
        del engine, faiss_index
        os.remove(path)
    report.save(chart)


if __name__ == "__main__":
    common.run(main)
