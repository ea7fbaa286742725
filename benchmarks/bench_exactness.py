"""What exactness costs: the sgemm strategies filter with their product and
rescore a band of rows with the per-row kernel, so that every strategy returns
the kernel's rows and score bits. This measures those strategies on ordinary
(unit-norm) data, where the band is a handful of rows per query, and the
certified search's skip fraction on clustered data, where the rounding-aware
margin must leave the pruning intact.

    .venv/bin/python benchmarks/bench_exactness.py [--baseline DIR] [--repeat N]

--baseline DIR runs every measurement also against the lumvero module found in
DIR (for instance a build of an earlier commit), alternating the two builds in
fresh processes, and prints the ratio. Figures are medians over the repeats.
Shapes 100,000 x 384 and 1,000,000 x 128, 1,000 queries, k = 10.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import machine_info, print_header, temp_dir, unit_vectors, write_index  # noqa: E402

SHAPES = [(100_000, 384), (1_000_000, 128)]
NQ, NQ_SINGLE, K = 1000, 20, 10
BATCH_MODES = [None, "matrix", "chunked", "blocked"]
SINGLE_MODES = ["blocked", "matrix_full"]


def timed(fn, repeat=2):
    fn()
    ts = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        ts.append(time.perf_counter() - t)
    return min(ts)


def worker(paths):
    """Times one build (whatever `import lumvero` finds) on prepared files."""
    import lumvero

    out = {}
    for key, path in paths.items():
        engine = lumvero.PySearchEngine(path["index"], False)
        Q = np.load(path["queries"])
        for mode in BATCH_MODES:
            os.environ.pop("LUMVO_BATCH_MODE", None)
            if mode:
                os.environ["LUMVO_BATCH_MODE"] = mode
            out[f"{key} batch {mode or 'default'}"] = timed(lambda: engine.query_batch_arrays(Q, K))
        os.environ.pop("LUMVO_BATCH_MODE", None)
        for mode in SINGLE_MODES:
            os.environ["LUMVO_SINGLE_MODE"] = mode
            out[f"{key} single {mode}"] = timed(
                lambda: [engine.query_exact_arrays(q, K) for q in Q[:NQ_SINGLE]]) / NQ_SINGLE
        os.environ.pop("LUMVO_SINGLE_MODE", None)
        if "clustered" in path:
            engine = lumvero.PySearchEngine(path["clustered"], False)
            rows = engine.rows()
            fractions = []
            for q in Q[:20]:
                c = engine.query_exact_certified(q, K, 32, True)["certificate"]
                fractions.append(c["pruned_candidates"] / rows)
            out[f"{key} certified skip fraction"] = float(np.mean(fractions))
    print(json.dumps(out))


def run_build(module_dir, paths):
    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run([sys.executable, __file__, "--worker", json.dumps(paths)],
                          env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"benchmark worker failed ({module_dir or 'current build'}):\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--baseline", help="directory holding another build of the module")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--worker")
    args = ap.parse_args()
    if args.worker:
        worker(json.loads(args.worker))
        return

    print_header("exactness: sgemm strategies with the rescoring band", machine_info())
    # Removed on every exit path, Ctrl-C included (common.temp_dir).
    tmp = temp_dir()
    paths = {}
    for rows, dims in SHAPES:
        key = f"{rows}x{dims}"
        X = unit_vectors(rows, dims, seed=1)
        q_path = os.path.join(tmp, f"q{dims}.npy")
        np.save(q_path, unit_vectors(NQ, dims, seed=2))
        paths[key] = {"index": write_index(X, "cosine", tmp), "queries": q_path}
        del X
        if dims == 128:
            C = unit_vectors(20_000, 128, seed=3, clusters=50)
            cdir = os.path.join(tmp, "clustered")
            os.makedirs(cdir, exist_ok=True)
            paths[key]["clustered"] = write_index(C, "cosine", cdir)
    builds = {"current": None}
    if args.baseline:
        builds["baseline"] = args.baseline
    runs = {name: [] for name in builds}
    for _ in range(args.repeat):
        for name, module_dir in builds.items():
            runs[name].append(run_build(module_dir, paths))

    med = {name: {k: statistics.median(r[k] for r in rs) for k in rs[0]} for name, rs in runs.items()}
    print(f"{'measurement':<40} {'current':>12}" + (f" {'baseline':>12} {'ratio':>7}" if args.baseline else ""))
    for key, value in med["current"].items():
        line = f"{key:<40} "
        if "fraction" in key:
            line += f"{value * 100:11.2f}%"
            if args.baseline:
                line += f" {med['baseline'][key] * 100:11.2f}%"
        else:
            per = "s/batch" if " batch " in key else "ms/query"
            shown = value if per == "s/batch" else value * 1e3
            line += f"{shown:9.4f} {per[:2]:>2}"
            if args.baseline:
                base = med["baseline"][key]
                base_shown = base if per == "s/batch" else base * 1e3
                line += f" {base_shown:9.4f} {per[:2]:>2} {value / base:7.3f}"
        print(line)
    if args.baseline:
        print("ratio = current / baseline time (1.03 = 3 % slower); skip fraction: rows the "
              "certified scan skipped, 20,000 x 128 clustered unit rows, k = 10, block 32")


if __name__ == "__main__":
    main()
