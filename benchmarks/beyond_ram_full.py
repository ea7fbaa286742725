"""bench_beyond_ram.py --full: an index 1.5 x the machine's memory, built by
the streaming build and searched cold. Run by hand on an idle machine; it
writes about 2.5 x the machine's memory to disk (the .npy source, then the
index) and removes both."""
import json
import os
import subprocess
import sys
import time

import numpy as np

import bench_beyond_ram as b
import common

CHECKED = 5  # queries whose answers are checked by brute force
FULL_QUERIES = b.FULL_QUERIES
OFF_QUERIES = 3


def machine_memory():
    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")


def read_speed(path, most=4 << 30):
    """The disk's sequential read speed on the file, its pages dropped first."""
    b.drop_cached(os.path.dirname(path), os.path.basename(path))
    t, got = time.perf_counter(), 0
    with open(path, "rb", buffering=0) as f:
        while got < most and (chunk := f.read(64 << 20)):
            got += len(chunk)
    return got / (time.perf_counter() - t)


def brute_force(source, Q, k):
    """Top-k cosine scores per query in float64 over the source, a chunk of
    rows at a time."""
    X = np.load(source, mmap_mode="r")
    Qn = Q.astype(np.float64)
    Qn /= np.linalg.norm(Qn, axis=1, keepdims=True)
    best = np.full((len(Q), k), -np.inf)
    for a in range(0, X.shape[0], b.CHUNK * 10):
        R = np.asarray(X[a: a + b.CHUNK * 10], np.float64)
        R /= np.linalg.norm(R, axis=1, keepdims=True)
        best = -np.sort(-np.concatenate([best, Qn @ R.T], axis=1), axis=1)[:, :k]
    return best


def query_child(directory, count):
    """Cold queries in this fresh process; prints their figures."""
    from lumvero_contrib import Index
    b.drop_cached(directory, ".index")
    Q = full_queries()
    t = time.perf_counter()
    ix = Index.load(directory, mmap=True)
    load_s, times, scores = time.perf_counter() - t, [], []
    for q in Q[: int(count)]:
        t = time.perf_counter()
        s, _ = ix.search(q, b.K)
        times.append(time.perf_counter() - t)
        scores.append(s[0].tolist())
    print(json.dumps({"load_s": load_s, "times_s": times, "scores": scores,
                      "peak_rss": b.peak_rss()}))


def full_queries():
    rng = np.random.default_rng(7)
    base = common.unit_vectors(FULL_QUERIES, b.FULL_DIMS, seed=3, clusters=64)
    return base + 0.05 * rng.standard_normal((FULL_QUERIES, b.FULL_DIMS)).astype(np.float32)


def run_queries(directory, count, env=None):
    out = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__),
                                                       "bench_beyond_ram.py"),
                          "--full-child", directory, str(count)], capture_output=True, text=True,
                         check=True, env=dict(os.environ, **(env or {})))
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    info = common.machine_info()
    common.print_header("an index 1.5 x the machine's memory", info)
    base = sys.argv[sys.argv.index("--dir") + 1] if "--dir" in sys.argv else common.temp_dir()
    dims = b.FULL_DIMS
    rows = int(1.5 * machine_memory() / (4 * dims))
    source, directory = os.path.join(base, "full.npy"), os.path.join(base, "full-ix")
    t = time.perf_counter()
    b.write_source(source, rows, dims)
    print(f"{common.shape_label(rows, dims)}: source written in {time.perf_counter() - t:.0f} s; "
          f"disk read {read_speed(source) / 2**20:.0f} MiB/s")
    try:
        built = b.run_build(source, directory)
        codes = b.files_bytes(directory, ".codes")
        print(f"build {built['build_s']:.0f} s, peak RSS {built['peak_rss'] / 2**30:.2f} GiB "
              f"(codes {codes / 2**30:.2f} GiB + batch {built['batch_bytes'] / 2**20:.0f} MiB)")
        want = brute_force(source, full_queries()[:CHECKED], b.K)
    finally:
        os.remove(source)
    cold = run_queries(directory, FULL_QUERIES)
    got = np.array(cold["scores"][:CHECKED], np.float64)
    worst = float(np.max(np.abs(got - want)))
    off = run_queries(directory, OFF_QUERIES, {"LUMVO_FILTER": "off"})
    ms = lambda s: f"{1e3 * s:.1f} ms"  # noqa: E731
    print(f"load {ms(cold['load_s'])}; {FULL_QUERIES} cold queries: median "
          f"{ms(float(np.median(cold['times_s'])))}, first {ms(cold['times_s'][0])}; "
          f"LUMVO_FILTER=off: median of {OFF_QUERIES} {ms(float(np.median(off['times_s'])))}")
    print(f"peak RSS of the queries {cold['peak_rss'] / 2**30:.2f} GiB; scores of {CHECKED} "
          f"queries against the float64 brute force: largest difference {worst:.2e}")
    assert worst < 1e-5, "an answer differs from the brute force"
