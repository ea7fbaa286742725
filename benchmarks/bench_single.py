"""Single-query latency (k = 10, median over 60 queries) for lumvero's default
and each forced strategy, NumPy and FAISS, with 1 and 2 threads, beside the
machine's read bandwidth measured in the same run.

Goals for the default strategy: >= 85 % of the two-thread read bandwidth on
indexes larger than the last-level cache, >= 1.1 x faster than FAISS and
>= 1.5 x faster than NumPy. Run: .venv/bin/python benchmarks/bench_single.py
"""
import os
import subprocess
import sys

K = 10
NQ = 60
MODES = [None, "rayon", "matrix_parallel", "blocked", "matrix_full", "pruned"]


def inner(threads):
    import time

    import numpy as np

    sys.path.insert(0, os.path.dirname(__file__))
    from common import SHAPES, read_bandwidth, unit_vectors, write_index

    import lumvero
    try:
        import faiss
        faiss.omp_set_num_threads(threads)
    except ImportError:
        faiss = None

    for rows, dims in SHAPES:
        X = unit_vectors(rows, dims, seed=1)
        Q = unit_vectors(NQ, dims, seed=2)
        bw = read_bandwidth(X, threads)
        path = write_index(X, "cosine")
        engine = lumvero.PySearchEngine(path, False)

        def lat(fn):
            fn(Q[0])
            ts = []
            for q in Q:
                t = time.perf_counter()
                fn(q)
                ts.append(time.perf_counter() - t)
            return float(np.median(ts)) * 1e3

        line = [f"{rows:>9,} x {dims:<4} threads={threads} read={bw:5.1f} GB/s"]
        for mode in MODES:
            if mode:
                os.environ["LUMVO_SINGLE_MODE"] = mode
            else:
                os.environ.pop("LUMVO_SINGLE_MODE", None)
            name = engine.query_exact(Q[0], K).method_used
            ms = lat(lambda q: engine.query_exact(q, K))
            pct = X.nbytes / (ms / 1e3) / 1e9 / bw * 100
            line.append(f"  lumvero {('default' if mode is None else mode):>15} -> {name:<21}"
                        f" {ms:7.2f} ms  ({pct:5.1f} % of read bandwidth)")
        os.environ.pop("LUMVO_SINGLE_MODE", None)

        def numpy_top(q):
            s = X @ q
            idx = np.argpartition(-s, K)[:K]
            return idx[np.argsort(-s[idx])]

        line.append(f"  numpy   {'X @ q':>15}    {'':<21} {lat(numpy_top):7.2f} ms")
        if faiss is not None:
            for cls in ("IndexFlatIP", "IndexFlatL2"):
                index = getattr(faiss, cls)(dims)
                index.add(X)
                ms = lat(lambda q: index.search(q[None, :], K))
                line.append(f"  faiss   {cls:>15}    {'':<21} {ms:7.2f} ms")
        print("\n".join(line), flush=True)
        del engine
        os.remove(path)


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--inner":
        inner(int(sys.argv[2]))
        return
    for threads in (1, 2):
        env = dict(os.environ, LUMVO_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads),
                   OMP_NUM_THREADS=str(threads))
        subprocess.run([sys.executable, __file__, "--inner", str(threads)], env=env, check=True)


if __name__ == "__main__":
    main()
