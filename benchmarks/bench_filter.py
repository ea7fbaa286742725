"""Single-query latency and batches of 1,000 through the compressed filter (k = 10).

For each shape, side by side query by query (median over the queries): the
default strategy with the int8 filter (LUMVO_FILTER unset), the same with
LUMVO_FILTER=off (today's float scan), FAISS IndexFlatIP at its best thread
setting, and the float32 streaming floor (one read of the float rows at the
machine's read bandwidth, measured in the same run). The rows are
embedding-like: unit rows around 1,000 cluster centres; half the queries are
near-duplicates of rows, half random unit vectors. Answers with and without
the filter are checked to be identical (rows and score bits).

The filter's own counters (which integer kernel ran, the codes' size, rows
rescored) are not visible from Python; they come from lumvero_filter_probe
(built with the C++ tests, `make cpp-test`), run on the same index and
queries. The first query builds the codes; its time is shown apart.

Batches of 1,000 queries (same data and queries, side by side in rounds,
median of the repeats): the default batch strategy with the filter's integer
tiles on the CPU's widest integer kernel (printed, from the probe), the same
with the AVX2 tile forced (LUMVO_INT_KERNEL=avx2, in a second process, as
the kernel is chosen once per process) where the widest is a VNNI one, with
LUMVO_FILTER=off (today's fp32 product as a filter), and NumPy's bare fp32
product Q @ X.T (no selection at all). Answers are checked identical.

Goals: filter >= 2.0 x LUMVO_FILTER=off and >= 2.5 x FAISS best on the shapes
at least twice the last-level cache (where the floor applies); rows rescored
<= 0.5 %; batch >= 1.8 x LUMVO_FILTER=off at 384 and 768 dims, >= 1.0 x
NumPy's bare product at 128 dims (VNNI tiles); batch with the AVX2 tile
>= 1.5 x LUMVO_FILTER=off on every shape.
Run: .venv/bin/python benchmarks/bench_filter.py [--quick] [--results] [--batch]
(--batch: the batches only)
"""
import hashlib
import json
import os
import subprocess
import sys
import time

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
SHAPES = [(1_000_000, 128), (1_000_000, 384), (200_000, 768)]
QUICK_SHAPES = [(100_000, 128), (100_000, 384), (20_000, 768)]
BATCH = 1000
BATCH_SHAPES = [(100_000, 384), (1_000_000, 128), (200_000, 768)]
QUICK_BATCH_SHAPES = [(20_000, 384), (100_000, 128)]
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROBE = os.path.join(ROOT, "build", "cpp", "lumvero_filter_probe")


def queries(X, n, seed):
    rng = np.random.default_rng(seed)
    near = X[rng.integers(0, len(X), n - n // 2)]
    near = near + 0.1 * rng.standard_normal(near.shape).astype(np.float32)
    Q = np.vstack([near, rng.standard_normal((n // 2, X.shape[1])).astype(np.float32)])
    return (Q / np.linalg.norm(Q, axis=1, keepdims=True)).astype(np.float32)


def probe(path, Q):
    """The filter's counters on this index and these queries, or None."""
    if not os.path.exists(PROBE):
        return None
    qpath = path + ".queries"
    Q.astype("<f4").tofile(qpath)
    try:
        out = subprocess.run([PROBE, path, qpath, str(K)], capture_output=True, text=True,
                             timeout=600, env=dict(os.environ, LUMVO_FILTER="auto"))
        return json.loads(out.stdout) if out.returncode == 0 else None
    finally:
        os.remove(qpath)


def chart(report, path):
    series = {
        "lumvero, compressed filter": lambda r: r["who"] == "lumvero filter",
        "lumvero, LUMVO_FILTER=off": lambda r: r["who"] == "lumvero off",
        "FAISS IndexFlatIP (best threads)": lambda r: r["who"] == "faiss best",
    }
    common.bar_chart(report, path, "ms", "milliseconds per query", series, floor_key="floor_ms",
                     floor_label="float32 streaming floor", higher_is_better=False, fmt="{:.2f}")


def main():
    info = common.machine_info()
    common.print_header("single query through the compressed filter, k = 10", info)
    print(__doc__.split("\n\n")[-1])
    if not os.path.exists(PROBE):
        print(f"({PROBE} not built: run `make cpp-test` for the filter's counters)")
    report = common.Report("bench_filter", "Compressed filter, single query, k = 10", info)
    if "--batch" in sys.argv[1:]:
        batches(report)
        report.save(chart)
        return
    threads = info["cpus"]
    nq = common.repeats(40, 16)
    for rows, dims in (QUICK_SHAPES if common.QUICK else SHAPES):
        shape = shape_label(rows, dims)
        X = unit_vectors(rows, dims, seed=1, clusters=1000)
        Q = queries(X, nq, seed=2)
        path = write_index(X, "cosine")
        engine = lumvero.PySearchEngine(path, False)
        results = {"auto": [], "off": []}

        def lum(mode):
            def run(q):
                os.environ["LUMVO_FILTER"] = mode
                try:
                    r = engine.query_exact_arrays(q, K)
                finally:
                    os.environ.pop("LUMVO_FILTER", None)
                results[mode].append((r["indices"].tobytes(), r["scores"].tobytes()))
                return r["method_used"]
            return run

        t = time.perf_counter()
        method = lum("auto")(Q[0])
        first_ms = (time.perf_counter() - t) * 1e3
        contenders = {"filter": lum("auto"), "off": lum("off")}
        faiss_index = None
        if faiss is not None:
            faiss_index, faiss_contenders = common.faiss_single_query(faiss, X, K)
            contenders.update(faiss_contenders)
        for fn in contenders.values():
            fn(Q[0])
        results = {"auto": [], "off": []}
        med, floor_gbs = common.query_by_query(contenders, Q, threads)
        bw = max(floor_gbs)
        identical = results["auto"] == results["off"]
        memory_ms = X.nbytes / bw / 1e6
        applies = common.floor_applies(X.nbytes)
        floor_ms = memory_ms if applies else None
        counters = probe(path, Q)
        print(f"\n{shape}  ({X.nbytes / 1e6:,.0f} MB; memory read {bw:.1f} GB/s on {threads} "
              f"threads; one read of the float rows {memory_ms:.2f} ms"
              + ("" if applies else ", no floor: the index fits in twice the cache") + ")")

        def row(who, ms, **extra):
            x_floor = floor_ms / ms if floor_ms else None
            rec = dict(shape=shape, rows=rows, dims=dims, who=who, ms=ms, floor_ms=floor_ms,
                       memory_read_ms=memory_ms, read_gbs=bw, x_floor=x_floor, **extra)
            report.add(**rec)
            print(f"  {who:<22} {ms:8.2f} ms" + (f"   x floor {x_floor:5.2f}" if x_floor else ""),
                  flush=True)
            return rec

        f = row("lumvero filter", med["filter"], method=method, first_query_ms=first_ms,
                identical_to_off=identical, probe=counters)
        o = row("lumvero off", med["off"], method=method)
        best = None
        if faiss is not None:
            for nt in (1, 2):
                row(f"faiss {nt} thr", med[f"faiss {nt}"])
            bt = min((1, 2), key=lambda nt: med[f"faiss {nt}"])
            best = row("faiss best", med[f"faiss {bt}"], threads=bt)
            faiss.omp_set_num_threads(threads)
        print(f"    first query (builds the codes): {first_ms:.0f} ms; answers identical with "
              f"LUMVO_FILTER=off: {identical}")
        if counters:
            frac = counters["rows_rescored"] / max(counters["rows_scanned"], 1)
            print(f"    integer kernel {counters['int_kernel']}; copy {counters['codes_bytes'] / 1e6:,.0f}"
                  f" MB; rows rescored {100 * frac:.3f} %; rows read as floats (wide band) "
                  f"{counters['rows_fallback']}")
            report.add_goal(shape, common.goal("0.5 % budget / rows rescored",
                                               0.005 / max(frac, 1e-9), 1.0))
        if not identical:
            report.notes.append(f"{shape}: answers differ with LUMVO_FILTER=off")
        if applies:
            report.add_goal(shape, common.goal("filter vs LUMVO_FILTER=off", o["ms"] / f["ms"], 2.0))
            if best:
                report.add_goal(shape, common.goal("filter vs FAISS best", best["ms"] / f["ms"], 2.5))
        else:
            print("    (index within twice the last-level cache: the memory-bound goals do not apply)")
        del engine, faiss_index
        os.remove(path)
    batches(report)
    wide_band(report)
    report.save(chart)


def int_kernel(asked):
    """The integer kernel a process runs with LUMVO_INT_KERNEL=asked (None:
    unset, the CPU's widest), from the probe; None when it is not built."""
    if not os.path.exists(PROBE):
        return None
    env = dict(os.environ)
    env.pop("LUMVO_INT_KERNEL", None)
    if asked:
        env["LUMVO_INT_KERNEL"] = asked
    d = common.temp_dir()
    path = write_index(np.zeros((1, 4), np.float32), "cosine", d)
    empty = os.path.join(d, "no-queries")
    open(empty, "wb").close()  # no queries: the probe only reports
    out = subprocess.run([PROBE, path, empty, str(K)], capture_output=True, text=True,
                         timeout=60, env=env)
    return json.loads(out.stdout)["int_kernel"] if out.returncode == 0 else None


def digest(r):
    h = hashlib.sha256()
    for a in list(r["indices"]) + list(r["scores"]):
        h.update(a.tobytes())
    return h.hexdigest()


def batch_worker(path, qpath):
    """A batch contender in its own process (the integer kernel is chosen once
    per process): one timed batch per line read, answered as JSON."""
    engine = lumvero.PySearchEngine(path, False)
    Q = np.load(qpath)
    os.environ.pop("LUMVO_FILTER", None)
    engine.query_batch_arrays(Q, K)  # builds the codes
    print(json.dumps({"ready": True}), flush=True)
    for _ in sys.stdin:
        t = time.perf_counter()
        r = engine.query_batch_arrays(Q, K)
        ms = (time.perf_counter() - t) * 1e3
        print(json.dumps({"ms": ms, "digest": digest(r), "method": r["method_used"][0]}),
              flush=True)


class Worker:
    def __init__(self, kernel, path, qpath):
        env = dict(os.environ, LUMVO_INT_KERNEL=kernel)
        env.pop("LUMVO_FILTER", None)
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--batch-worker",
                                      path, qpath], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, env=env)
        json.loads(self.proc.stdout.readline())

    def run(self):
        self.proc.stdin.write("run\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


def batches(report):
    """Batches of BATCH queries, side by side in rounds: the filter's tiles on
    the CPU's widest integer kernel, LUMVO_FILTER=off, NumPy, and the filter
    with the AVX2 tile forced (LUMVO_INT_KERNEL=avx2, its own process) where
    the widest kernel is another."""
    # This process's kernel (LUMVO_INT_KERNEL as the caller set it).
    widest = int_kernel(os.environ.get("LUMVO_INT_KERNEL"))
    avx2 = int_kernel("avx2")
    print(f"\nbatches of {BATCH:,} queries, k = {K} (median of the repeats, side by side); "
          f"integer kernel: {widest or 'unknown (probe not built)'}")
    if widest and widest != "avx2":
        print(f"  AVX2 tile forced in a second process: "
              f"{'runs' if avx2 == 'avx2' else 'not available on this CPU'}")
    elif widest == "avx2" and int_kernel(None) == "avx2":
        print("  no VNNI on this CPU: the AVX2 tile is the widest; VNNI figures not shown")
    reps = common.repeats(5, 2)
    for rows, dims in (QUICK_BATCH_SHAPES if common.QUICK else BATCH_SHAPES):
        shape = shape_label(rows, dims)
        X = unit_vectors(rows, dims, seed=1, clusters=1000)
        Q = queries(X, BATCH, seed=2)
        path = write_index(X, "cosine")
        qpath = path + ".queries.npy"
        np.save(qpath, Q)
        engine = lumvero.PySearchEngine(path, False)
        answers = {}

        def lum(mode):
            def run():
                os.environ["LUMVO_FILTER"] = mode
                try:
                    r = engine.query_batch_arrays(Q, K)
                finally:
                    os.environ.pop("LUMVO_FILTER", None)
                answers[mode] = digest(r)
                return r["method_used"][0]
            return run

        def numpy_product():
            Q @ X.T

        t = time.perf_counter()
        method = lum("auto")()
        first_ms = (time.perf_counter() - t) * 1e3
        contenders = {"filter": lum("auto"), "off": lum("off"), "numpy": numpy_product}
        worker = Worker("avx2", path, qpath) if widest not in (None, "avx2") and avx2 == "avx2" \
            else None
        times = {name: [] for name in list(contenders) + (["avx2"] if worker else [])}
        forced = {}
        try:
            for _ in range(reps):
                for name, fn in contenders.items():
                    t = time.perf_counter()
                    fn()
                    times[name].append(time.perf_counter() - t)
                if worker:
                    forced = worker.run()
                    times["avx2"].append(forced["ms"] / 1e3)
        finally:
            if worker:
                worker.close()
        med = {name: float(np.median(ts)) * 1e3 for name, ts in times.items()}
        identical = answers["auto"] == answers["off"] and \
            (not forced or forced["digest"] == answers["off"])
        print(f"\n{shape}, batch of {BATCH:,}")
        who_names = [(f"lumvero batch filter ({widest or 'kernel unknown'})", "filter")]
        if worker:
            who_names.append(("lumvero batch filter (avx2, forced)", "avx2"))
        who_names += [("lumvero batch off", "off"), ("numpy Q @ X.T", "numpy")]
        for who, name in who_names:
            m = {"numpy": None, "avx2": forced.get("method")}.get(name, method)
            kernel = {"filter": widest, "avx2": "avx2"}.get(name)
            report.add(shape=shape, rows=rows, dims=dims, who=who, ms=med[name], batch=BATCH,
                       method=m, int_kernel=kernel)
            x_off = f"   {med['off'] / med[name]:4.2f} x off" if name in ("filter", "avx2") else ""
            print(f"  {who:<38} {med[name]:9.1f} ms{x_off}")
        print(f"    first batch (builds the codes): {first_ms:.0f} ms; answers identical with "
              f"LUMVO_FILTER=off: {identical}")
        if not identical:
            report.notes.append(f"{shape}: batch answers differ with LUMVO_FILTER=off")
        tiles = [("filter", widest)] + ([("avx2", "avx2")] if worker else [])
        for name, kernel in tiles:
            if dims >= 384:
                report.add_goal(shape, common.goal(f"batch filter ({kernel}) vs LUMVO_FILTER=off",
                                                   med["off"] / med[name],
                                                   1.5 if kernel == "avx2" else 1.8))
            elif kernel == "avx2":
                report.add_goal(shape, common.goal("batch filter (avx2) vs LUMVO_FILTER=off",
                                                   med["off"] / med[name], 1.5))
            else:
                report.add_goal(shape, common.goal("batch filter vs NumPy's bare product",
                                                   med["numpy"] / med[name], 1.0))
        del engine
        os.remove(path)
        os.remove(qpath)


def wide_band(report):
    """Rows 1e3 + N(0, 1), 128 dims, euclidean, k = 10: the codes cannot
    separate the rows, so the band runs wide and the pre-filter must hand
    over to the float scan within every piece. auto against
    LUMVO_FILTER=off, side by side, median of the repeats."""
    rng = np.random.default_rng(9)
    for rows in (16_000, 24_000, 40_000):
        X = (1e3 + rng.standard_normal((rows, 128))).astype(np.float32)
        engine = lumvero.PySearchEngine(write_index(X, "euclidean"), False)
        Q = X[rng.choice(rows, 32, replace=False)]
        it = iter(range(10**9))

        def lum(mode):
            def run():
                os.environ["LUMVO_FILTER"] = mode
                try:
                    engine.query_exact_arrays(Q[next(it) % len(Q)], K)
                finally:
                    os.environ.pop("LUMVO_FILTER", None)
            return run
        med = common.side_by_side({"auto": lum("auto"), "off": lum("off")},
                                  repeat=common.repeats(200, 50), warmup=5)
        shape = f"{rows:,} x 128 offset"
        print(f"  {shape}: auto {med['auto'] * 1e3:.3f} ms, off {med['off'] * 1e3:.3f} ms, "
              f"off/auto {med['off'] / med['auto']:.2f}", flush=True)
        report.add_goal(shape, common.goal("wide band: auto vs LUMVO_FILTER=off",
                                           med["off"] / med["auto"], 0.95))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--batch-worker"]:
        batch_worker(sys.argv[2], sys.argv[3])
    else:
        common.run(main)
