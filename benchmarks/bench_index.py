"""lumvero_contrib.Index on the everyday task, beside FAISS and NumPy.

For each shape, side by side in one run (median of several rounds):
  * the whole task: an Index built from a float64 array with int64 ids, then
    one call of 1,000 queries, k = 10; against FAISS IndexIDMap(IndexFlatIP)
    (cosine, rows and queries scaled with faiss.normalize_L2) and
    IndexIDMap(IndexFlatL2) (euclidean) fed the same array as float32, and
    NumPy (Q @ X.T, argpartition, sort, 250 queries at a time);
  * filtered search: 1 % of the ids allowed (random) against no filter, for
    the 1,000-query call and for single queries;
  * growth: 1,000 single-row adds followed by the 1,000-query call, against
    one add of the same 1,000 rows followed by the same call;
  * one allow-list per query: 1,000 queries, each with its own random 1 %
    list, as one call against 1,000 single filtered searches (1M x 128,
    cosine, ids a random subset of 0..4M).

  * range_search (1M x 128, embedding-like rows): a radius admitting about
    100 rows and one admitting every row, against a k = 10 search, for 1
    and 8 queries.

Goals: whole task >= 1.0 x FAISS; filtered 1 % >= 10 x faster than
unfiltered; single-row adds + search no slower than one bulk add + search;
range_search within 1.5 x a k = 10 search at ~100 rows and 5 x at every row.
per-query lists in one call >= 3 x faster than single searches.
The machine may be shared: figures are noisy, rounds are interleaved.
Run: .venv/bin/python benchmarks/bench_index.py [--quick]
"""
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import shape_label, unit_vectors, write_index  # noqa: E402

import lumvero  # noqa: E402
from lumvero_contrib import Index  # noqa: E402

try:
    import faiss
except ImportError:  # installed by `make bench`
    faiss = None

NQ, K = 1000, 10
SINGLE_QUERIES = 50
ADDS = 1000
SHAPES = [(100_000, 384), (1_000_000, 128)]
QUICK_SHAPES = [(10_000, 384), (100_000, 128)]
METRICS = ["cosine", "euclidean"]


def numpy_task(X64, ids, Q64, metric):
    X = X64.astype(np.float32)
    Q = Q64.astype(np.float32)
    if metric == "cosine":
        X /= np.linalg.norm(X, axis=1, keepdims=True)
        Q /= np.linalg.norm(Q, axis=1, keepdims=True)
    else:
        xn = np.einsum("ij,ij->i", X, X)
    out = []
    for b in range(0, len(Q), 250):
        S = Q[b:b + 250] @ X.T
        if metric == "euclidean":
            S = xn[None, :] - 2 * S  # ||q||^2 does not change the order
            part = np.argpartition(S, K, axis=1)[:, :K]
            order = np.take_along_axis(S, part, 1).argsort(axis=1)
        else:
            part = np.argpartition(-S, K, axis=1)[:, :K]
            order = (-np.take_along_axis(S, part, 1)).argsort(axis=1)
        out.append(ids[np.take_along_axis(part, order, 1)])
    return np.concatenate(out)


def faiss_task(X64, ids, Q64, metric):
    X = X64.astype(np.float32)
    Q = Q64.astype(np.float32)
    if metric == "cosine":
        faiss.normalize_L2(X)
        faiss.normalize_L2(Q)
        index = faiss.IndexIDMap(faiss.IndexFlatIP(X.shape[1]))
    else:
        index = faiss.IndexIDMap(faiss.IndexFlatL2(X.shape[1]))
    index.add_with_ids(X, ids)
    return index.search(Q, K)[1]


def lumvero_task(X64, ids, Q64, metric):
    ix = Index(X64.shape[1], metric=metric)
    ix.add(X64, ids=ids)
    return ix.search(Q64, K)[1]


def chart(report, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(15, 5))
    panels = [("task", "whole task (s)"), ("filter", "search (s)"), ("growth", "adds + search (s)")]
    for ax, (kind, ylabel) in zip(axes, panels):
        # Rows without a kind (the same-rows comparison) are not charted.
        rows = [r for r in report.rows if r.get("kind") == kind]
        labels = [f"{r['shape']}\n{r['metric']}\n{r['who']}" for r in rows]
        bars = ax.bar(range(len(rows)), [r["seconds"] for r in rows],
                      color=[{"lumvero": "C0", "faiss": "C1", "numpy": "C2"}.get(
                          r["who"].split()[0], "C3") for r in rows])
        ax.bar_label(bars, labels=[f"{r['seconds']:.3g}" for r in rows], fontsize=6)
        ax.set_xticks(range(len(rows)))
        ax.set_xticklabels(labels, fontsize=5, rotation=90)
        ax.set_ylabel(ylabel + " (lower is better)")
        ax.set_yscale("log")
        ax.grid(axis="y", alpha=0.3)
    m = report.info
    fig.suptitle(f"{report.title}\n{m['cpu_model']}, {m['cpus']} CPUs, BLAS core "
                 f"{m['blas_core']}{' (quick)' if m['quick'] else ''}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    info = common.machine_info()
    common.print_header("lumvero_contrib.Index", info)
    report = common.Report("bench_index", "Index: build from float64 + 1,000 searches, k = 10",
                           info)
    repeat = common.repeats(3, 3)
    rng = np.random.default_rng(0)
    for rows, dims in (QUICK_SHAPES if common.QUICK else SHAPES):
        shape = shape_label(rows, dims)
        X64 = rng.standard_normal((rows, dims))
        ids = rng.permutation(rows * 4)[:rows].astype(np.int64)
        Q64 = rng.standard_normal((NQ, dims))
        for metric in METRICS:
            print(f"-- {shape}, {metric}", flush=True)
            contenders = {"lumvero Index": lambda m=metric: lumvero_task(X64, ids, Q64, m),
                          "numpy": lambda m=metric: numpy_task(X64, ids, Q64, m)}
            if faiss is not None:
                contenders["faiss IndexIDMap"] = lambda m=metric: faiss_task(X64, ids, Q64, m)
            med = common.side_by_side(contenders, repeat=repeat, warmup=0)
            for who, s in med.items():
                report.add(kind="task", shape=shape, metric=metric, who=who, seconds=s)
                print(f"    {who:<18} {s:8.3f} s", flush=True)
            if faiss is not None:
                report.add_goal(f"{shape} {metric}", common.goal(
                    "whole task vs FAISS", med["faiss IndexIDMap"] / med["lumvero Index"], 1.0))

            ix = Index(dims, metric=metric)
            ix.add(X64, ids=ids)
            allow = rng.choice(ids, rows // 100, replace=False)
            q1 = Q64[:SINGLE_QUERIES]
            med = common.side_by_side({
                "batch unfiltered": lambda: ix.search(Q64, K),
                "batch 1% allowed": lambda: ix.search(Q64, K, allow=allow),
                "single unfiltered": lambda: [ix.search(q, K) for q in q1],
                "single 1% allowed": lambda: [ix.search(q, K, allow=allow) for q in q1],
            }, repeat=repeat)
            for who, s in med.items():
                report.add(kind="filter", shape=shape, metric=metric, who="lumvero " + who,
                           seconds=s)
                print(f"    {who:<18} {s:8.4f} s", flush=True)
            for form in ("batch", "single"):
                report.add_goal(f"{shape} {metric} {form}", common.goal(
                    f"1% allowed vs unfiltered ({form})",
                    med[f"{form} unfiltered"] / med[f"{form} 1% allowed"], 10.0))
            del ix

            extra = rng.standard_normal((ADDS, dims))
            extra_ids = np.arange(rows * 4, rows * 4 + ADDS, dtype=np.int64)

            def growth(single, m=metric):
                ix = Index(dims, metric=m)
                ix.add(X64, ids=ids)
                t = time.perf_counter()
                if single:
                    for i in range(ADDS):
                        ix.add(extra[i], ids=extra_ids[i:i + 1])
                else:
                    ix.add(extra, ids=extra_ids)
                searched = time.perf_counter()
                ix.search(Q64, K)
                end = time.perf_counter()
                return end - t, end - searched

            singles, bulks = [], []
            for _ in range(repeat):
                singles.append(growth(True))
                bulks.append(growth(False))
            s, b = (float(np.median([t for t, _ in runs])) for runs in (singles, bulks))
            s_search, b_search = (float(np.median([t for _, t in runs]))
                                  for runs in (singles, bulks))
            # The search alone: what many adds must not slow down.
            print(f"    search after 1,000 single adds {s_search:.3f} s, after one bulk add "
                  f"{b_search:.3f} s", flush=True)
            report.add(kind="growth-search", shape=shape, metric=metric,
                       who="search after 1,000 single adds", seconds=s_search)
            report.add(kind="growth-search", shape=shape, metric=metric,
                       who="search after one bulk add", seconds=b_search)
            report.add(kind="growth", shape=shape, metric=metric,
                       who="lumvero 1,000 single adds", seconds=s)
            report.add(kind="growth", shape=shape, metric=metric, who="lumvero one bulk add",
                       seconds=b)
            print(f"    1,000 single adds + search {s:.3f} s, one bulk add + search {b:.3f} s",
                  flush=True)
            report.add_goal(f"{shape} {metric}", common.goal(
                "single adds + search vs bulk add + search", b / s, 1.0))
    report.notes.append("Whole task = Index(...).add(float64 X, ids) + one search call of "
                        "1,000 queries; FAISS gets X and Q as float32 (normalize_L2 for cosine).")
    same_rows(report, info)
    per_query_lists(report)
    report.save(chart)


def per_query_lists(report):
    """1,000 queries each with its own 1 % allow-list: one search call
    against 1,000 single searches (side by side, median). Noisy where other
    work shares the cores: the two are timed in turn in each round."""
    rows, dims = (100_000, 128) if common.QUICK else (1_000_000, 128)
    shape = shape_label(rows, dims)
    rng = np.random.default_rng(11)
    ids = rng.permutation(rows * 4)[:rows].astype(np.int64)
    ix = Index(dims, metric="cosine")
    ix.add(rng.standard_normal((rows, dims), dtype=np.float32), ids=ids)
    Q = rng.standard_normal((NQ, dims))
    lists = [rng.choice(ids, rows // 100, replace=False) for _ in range(NQ)]
    med = common.side_by_side({
        "one call, a list per query": lambda: ix.search(Q, K, allow=lists),
        "1,000 single searches": lambda: [ix.search(q, K, allow=a) for q, a in zip(Q, lists)],
    }, repeat=common.repeats(3, 2))
    for who, sec in med.items():
        print(f"  {shape}  {who:28s} {sec:8.3f} s", flush=True)
        report.add(kind="per-query", shape=shape, who=who, seconds=sec)
    report.add_goal(shape, common.goal("per-query lists in one call vs single searches",
                                       med["1,000 single searches"]
                                       / med["one call, a list per query"], 3.0))


def same_rows(report, info):
    """One query through Index.search against the module on the same rows
    (side by side, median), a fresh 1 % allow-list every call against the
    unfiltered search, and the queries per second of one Index searched by
    two threads at once against one thread."""
    import threading
    from lumvero_contrib import _native
    rows, dims = (100_000, 128) if common.QUICK else (1_000_000, 128)
    shape = shape_label(rows, dims)
    X = unit_vectors(rows, dims, seed=1, clusters=1000)
    rng = np.random.default_rng(5)
    Q = X[rng.choice(rows, 64, replace=False)] + 0.05 * rng.standard_normal((64, dims),
                                                                             dtype=np.float32)
    engine = lumvero.PySearchEngine(write_index(X, "cosine"), False)
    ix = Index(dims, metric="cosine")
    ix.add(X)
    it = iter(range(10**9))

    def q():
        return Q[next(it) % len(Q)]

    allow_ids = [rng.choice(rows, rows // 100, replace=False) for _ in range(8)]
    med = common.side_by_side({
        "module": lambda: engine.query_exact_arrays(q(), K),
        "index": lambda: ix.search(q(), K),
        "index 1% allowed": lambda: ix.search(q(), K, allow=allow_ids[next(it) % 8].copy()),
    }, repeat=common.repeats(60, 20), warmup=3)
    for who, sec in med.items():
        print(f"  {shape}  {who:18s} {sec * 1e3:8.3f} ms", flush=True)
        report.add(shape=shape, rows=rows, dims=dims, who=who, ms=sec * 1e3)
    stats = {}
    ix.search(Q[0], K, stats=stats)
    print(f"  Index.search stats: {stats}; counters: {_native.prefilter_counters()}")
    report.add_goal(shape, common.goal("Index.search one query vs module", med["module"] /
                                       med["index"], 0.9))
    report.add_goal(shape, common.goal("1 % allowed vs unfiltered", med["index"] /
                                       med["index 1% allowed"], 10.0))

    range_figures(report, ix, Q, shape)

    def qps(threads, seconds=2.0):
        counts = [0] * threads
        stop = threading.Event()

        def work(i):
            j = i
            while not stop.is_set():
                ix.search(Q[j % len(Q)], K)
                j += threads
                counts[i] += 1
        ts = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for t in ts:
            t.start()
        time.sleep(seconds)
        stop.set()
        for t in ts:
            t.join()
        return sum(counts) / seconds
    one, two = [], []
    for _ in range(common.repeats(3, 2)):
        one.append(qps(1))
        two.append(qps(2))
    one_q, two_q = float(np.median(one)), float(np.median(two))
    print(f"  {shape}  queries/s 1 thread {one_q:.0f}, 2 threads {two_q:.0f}", flush=True)
    report.add_goal(shape, common.goal("2 threads vs 1 thread searching one Index",
                                       two_q / one_q, 1.6))


def range_figures(report, ix, Q, shape):
    """range_search against a k = 10 search on the same Index, for 1 and 8
    queries: a radius admitting about 100 rows (the first query's 100th
    score) and one admitting every row."""
    from lumvero_contrib import _native
    r100 = float(ix.search(Q[0], 100)[0][0, 99])
    lims, _, _ = ix.range_search(Q[:8], r100)
    print(f"  range_search radius {r100:.6f}: {np.diff(lims).tolist()} rows for 8 queries; "
          f"BLAS core {_native.blas_core()}", flush=True)
    reps = common.repeats(9, 3)
    for nq in (1, 8):
        q = Q[:nq]
        med = common.side_by_side({
            "k = 10": lambda: ix.search(q, K),
            "radius ~100 rows": lambda: ix.range_search(q, r100),
            "radius every row": lambda: ix.range_search(q, -2.0),
        }, repeat=reps, warmup=1)
        for who, sec in med.items():
            print(f"  {shape}  {nq} queries {who:18s} {sec * 1e3:9.3f} ms", flush=True)
            report.add(shape=shape, rows=ix.__len__(), who=f"{nq}q {who}", ms=sec * 1e3)
        report.add_goal(shape, common.goal(f"{nq}q range ~100 rows vs k = 10",
                                           med["k = 10"] / med["radius ~100 rows"], 1 / 1.5))
        report.add_goal(shape, common.goal(f"{nq}q range every row vs k = 10",
                                           med["k = 10"] / med["radius every row"], 1 / 5))


if __name__ == "__main__":
    common.run(main)
