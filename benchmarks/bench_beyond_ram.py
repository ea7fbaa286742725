"""Searching a saved Index whose float rows are not in memory.

Index.load(path, mmap=True) maps the row files without reading them and
maps the codes files (the int8 codes the pre-filter scans); a query scans the
codes and reads only the rows of its band. Each setting runs in a fresh
process, after the row files' pages were dropped from the page cache
(posix_fadvise DONTNEED while nothing maps them), then 30 queries, k = 10:

  cold:        load + first query, and the 29 later queries (rows still cold)
  warm:        the same queries with every row file in the page cache
  filter off:  the first cold query with LUMVO_FILTER=off (reads every row)

Goals: load + first query <= 20 x a warm query; later cold queries <= 3 x a
warm query; the first cold query >= 20 x faster than with LUMVO_FILTER=off.
Peak RSS of the cold process is reported beside the codes' size.

The row files' sum blocks are checked on their first read (each 64 KiB
block of rows hashed once): their cost is the same settings run on a copy
of the directory whose codes files are rewritten in version 2, which keeps
no sums (as a directory saved before sums), side by side, medians.

The streaming build (lumvero_contrib.build_index), both forms: 1M x 384
embedding-like rows in a memory-mapped .npy (generated, then deleted), built
in a fresh process; its peak RSS (VmHWM) against the codes plus one batch
(goal <= 1.2 x) and its time; then, in another fresh process, the index
grown by 100,000 rows (load with mmap=True, add, save) and its peak RSS.

--full (by hand, on an idle machine with tens of GB of disk; --dir DIR puts
the data there): rows 1.5 x the machine's memory at 128 dims, written as a
.npy, the disk's read speed, the streaming build (time, peak RSS), the
source deleted, then 200 cold queries in a fresh process (time per query,
peak RSS) beside LUMVO_FILTER=off on 3 queries, and 5 answers checked
against a chunked NumPy brute force over the source (float64) before it is
deleted.
Run: .venv/bin/python benchmarks/bench_beyond_ram.py [--quick | --full [--dir DIR]]
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

SHAPE = (1_000_000, 384)
QUICK_SHAPE = (200_000, 384)
STREAM_SHAPE = (1_000_000, 384)
FULL_DIMS = 128
FULL_QUERIES = 200
GROW_ROWS = 100_000
QUERIES = 30
K = 10
CHUNK = 50_000


def drop_cached(directory, suffix):
    """Drops the pages of the directory's files ending in suffix from the
    page cache (the kernel drops clean pages that nothing maps)."""
    for name in os.listdir(directory):
        if name.endswith(suffix):
            fd = os.open(os.path.join(directory, name), os.O_RDONLY)
            try:
                os.fdatasync(fd)
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


def read_through(directory, suffix):
    for name in os.listdir(directory):
        if name.endswith(suffix):
            with open(os.path.join(directory, name), "rb", buffering=0) as f:
                while f.read(16 << 20):
                    pass


def queries(rows, dims):
    # Near stored rows, as real queries are: a stored row plus noise.
    rng = np.random.default_rng(7)
    base = common.unit_vectors(QUERIES, dims, seed=3, clusters=64)
    return base + 0.05 * rng.standard_normal((QUERIES, dims)).astype(np.float32)


def peak_rss():
    # VmHWM, not getrusage's ru_maxrss: Linux carries ru_maxrss across
    # execve, so it would report the parent's peak (which held the data).
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def reset_peak():
    """VmHWM set back to the current RSS (Linux: 5 to clear_refs), so the
    peak that follows is that of what is measured, not of the set-up."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def write_source(path, rows, dims):
    """Embedding-like unit rows in a .npy, written a chunk at a time."""
    X = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(rows, dims))
    for a in range(0, rows, CHUNK):
        n = min(CHUNK, rows - a)
        X[a: a + n] = common.unit_vectors(n, dims, seed=100 + a // CHUNK, clusters=64)
    X.flush()
    del X


def build_child(source, directory):
    """The streaming build in this fresh process; prints its figures."""
    from lumvero_contrib import build_index
    from lumvero_contrib._build_index import _BATCH_BYTES
    from lumvero_contrib.storage.index_dir import stripe_rows
    X = np.load(source, mmap_mode="r")
    dims = X.shape[1]
    batch = max(1, _BATCH_BYTES // (4 * dims) // stripe_rows()) * stripe_rows() * 4 * dims
    before = peak_rss()
    t = time.perf_counter()
    build_index(X, directory, "cosine", progress=False)
    print(json.dumps({"build_s": time.perf_counter() - t, "peak_rss": peak_rss(),
                      "start_rss": before, "batch_bytes": batch}))


def grow_child(directory, rows):
    """Growing the index in this fresh process: load with mmap=True, add
    rows, save (only their segment is written); prints its figures."""
    from lumvero_contrib import Index
    drop_cached(directory, ".index")
    X = common.unit_vectors(int(rows), 384, seed=99, clusters=64)
    reset_peak()
    before = peak_rss()
    t = time.perf_counter()
    ix = Index.load(directory, mmap=True)
    ix.add(X)
    ix.save(directory)
    print(json.dumps({"grow_s": time.perf_counter() - t, "peak_rss": peak_rss(),
                      "start_rss": before}))


def run_build(source, directory, mode="--build-child"):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), mode, source, directory],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def files_bytes(directory, suffix):
    return sum(os.path.getsize(os.path.join(directory, f)) for f in os.listdir(directory)
               if f.endswith(suffix))


def stream_build(report, base):
    """The streaming build's peak RSS and time on 1M x 384."""
    rows, dims = STREAM_SHAPE
    source, directory = os.path.join(base, "stream.npy"), os.path.join(base, "stream-ix")
    write_source(source, rows, dims)
    try:
        b = run_build(source, directory)
    finally:
        os.remove(source)
    codes = files_bytes(directory, ".codes")
    want = codes + b["batch_bytes"]
    shape = common.shape_label(rows, dims)
    mib = lambda n: f"{n / 2**20:.0f} MiB"  # noqa: E731
    print(f"streaming build {shape}: {b['build_s']:.1f} s, peak RSS {mib(b['peak_rss'])} "
          f"(at start {mib(b['start_rss'])}); codes {mib(codes)} + one batch "
          f"{mib(b['batch_bytes'])} = {mib(want)}: {b['peak_rss'] / want:.2f} x")
    report.add(shape=f"build {shape}", build_s=b["build_s"], build_peak_rss=b["peak_rss"],
               build_start_rss=b["start_rss"], codes_bytes=codes, batch_bytes=b["batch_bytes"])
    report.add_goal(f"build {shape}", common.goal("1.2 x (codes + one batch) / build peak RSS",
                                                  1.2 * want / b["peak_rss"], 1.0))
    g = run_build(str(GROW_ROWS), directory, "--grow-child")
    added = GROW_ROWS * 4 * dims
    print(f"grown by {GROW_ROWS:,} rows ({mib(added)}, in memory as given): load mmap=True + add "
          f"+ save {g['grow_s']:.1f} s, peak RSS {mib(g['peak_rss'])} (at start "
          f"{mib(g['start_rss'])}, with the rows given); codes {mib(codes)} + the rows "
          f"added twice (given, and the index's copy) {mib(2 * added)}")
    report.add(shape=f"grow {shape}", grow_s=g["grow_s"], grow_peak_rss=g["peak_rss"])
    shutil.rmtree(directory)


def child(directory, setting, rows, dims):
    """One setting in this fresh process; prints its figures as JSON."""
    from lumvero_contrib import Index
    if setting == "warm":
        read_through(directory, ".index")
    else:
        drop_cached(directory, ".index")
    Q = queries(rows, dims)
    t0 = time.perf_counter()
    ix = Index.load(directory, mmap=True)
    t_load = time.perf_counter() - t0
    times = []
    stats = {}
    for i in range(QUERIES):
        t = time.perf_counter()
        ix.search(Q[i], K, stats=stats if i == 0 else None)
        times.append(time.perf_counter() - t)
    first_pass = times
    if setting == "warm":  # a second pass: nothing left to read (or check)
        times = []
        for i in range(QUERIES):
            t = time.perf_counter()
            ix.search(Q[i], K)
            times.append(time.perf_counter() - t)
    print(json.dumps({"load_s": t_load, "times_s": times, "first_pass_s": first_pass,
                      "peak_rss": peak_rss(), "stats": stats}))


def build(directory, rows, dims):
    from lumvero_contrib import Index
    ix = Index(dims, metric="cosine")
    for a in range(0, rows, CHUNK):
        n = min(CHUNK, rows - a)
        ix.add(common.unit_vectors(n, dims, seed=100 + a // CHUNK, clusters=64))
    t = time.perf_counter()
    ix.save(directory)
    return time.perf_counter() - t


def without_sums(directory):
    """A copy of the saved directory whose codes files are version 2 (no
    sums; every other byte as saved), their hashes in the manifest updated:
    searches of it check no sum blocks."""
    from lumvero_contrib import _native
    copy = directory + "-nosums"
    shutil.copytree(directory, copy)
    with open(os.path.join(copy, "manifest.json")) as f:
        manifest = json.load(f)
    for seg in manifest["segments"]:
        path = os.path.join(copy, seg["codes_file"]["file"])
        with open(path, "rb") as f:
            b = f.read()
        width, = struct.unpack_from("<I", b, 20)
        rows, = struct.unpack_from("<Q", b, 24)
        stripes, = struct.unpack_from("<I", b, 36)
        codes_at = 128 + 8 * rows + 24 * stripes + 4 * rows
        codes_at += -codes_at % 64
        b = b[:8] + struct.pack("<I", 2) + b[12:72] + bytes(56) + b[128: codes_at + rows * width]
        with open(path, "wb") as f:
            f.write(b)
        seg["codes_file"]["blake3"] = _native.blake3_hex(b)
    with open(os.path.join(copy, "manifest.json"), "w") as f:
        json.dump(manifest, f)
    return copy


def run_child(directory, setting, rows, dims, env=None):
    args = [sys.executable, os.path.abspath(__file__), "--child", directory, setting, str(rows),
            str(dims)] + (["--quick"] if common.QUICK else [])
    out = subprocess.run(args, capture_output=True, text=True, check=True,
                         env=dict(os.environ, **(env or {})))
    return json.loads(out.stdout.strip().splitlines()[-1])


def print_checks(figures):
    """The cost of the sum block checks: each figure with and without sums."""
    ms = lambda s: f"{1e3 * s:9.1f} ms"  # noqa: E731
    print(f"  {'sum block checks':40s} {'checked':>12s} {'no sums':>12s}")
    for what, pick in (
            ("load + first cold query", lambda r: r[1]["load_s"] + r[1]["times_s"][0]),
            (f"later cold queries (median of {QUERIES - 1})",
             lambda r: float(np.median(r[1]["times_s"][1:]))),
            ("warm, first pass (median)", lambda r: float(np.median(r[0]["first_pass_s"]))),
            (f"warm (median of {QUERIES})", lambda r: float(np.median(r[0]["times_s"]))),
            ("first cold query, LUMVO_FILTER=off", lambda r: r[2]["times_s"][0])):
        print(f"  {what:40s} {ms(pick(figures['sums checked']))} {ms(pick(figures['no sums']))}")


def main():
    info = common.machine_info()
    common.print_header("searching rows that are not in memory", info)
    rows, dims = QUICK_SHAPE if common.QUICK else SHAPE
    report = common.Report("bench_beyond_ram", "Searching rows that are not in memory", info)
    directory = os.path.join(common.temp_dir(), "ix")
    save_s = build(directory, rows, dims)
    files = os.listdir(directory)
    size = lambda suffix: sum(os.path.getsize(os.path.join(directory, f))  # noqa: E731
                              for f in files if f.endswith(suffix))
    rows_bytes, codes_bytes = size(".index"), size(".codes")
    shape = common.shape_label(rows, dims)
    print(f"{shape}: row files {rows_bytes / 2**20:.0f} MiB, codes files "
          f"{codes_bytes / 2**20:.0f} MiB, save {save_s:.2f} s")
    plain = without_sums(directory)
    figures = {}
    for label, d in (("sums checked", directory), ("no sums", plain)):
        figures[label] = [run_child(d, setting, rows, dims, env) for setting, env in
                          (("warm", None), ("cold", None), ("cold", {"LUMVO_FILTER": "off"}))]
    print_checks(figures)
    warm, cold, off = figures["sums checked"]
    w = float(np.median(warm["times_s"]))
    first = cold["load_s"] + cold["times_s"][0]
    later = float(np.median(cold["times_s"][1:]))
    off_first = off["times_s"][0]
    ms = lambda s: f"{1e3 * s:.1f} ms"  # noqa: E731
    print(f"  warm query (median of {QUERIES}):          {ms(w)}")
    print(f"  cold load {ms(cold['load_s'])} + first query {ms(cold['times_s'][0])} = {ms(first)}"
          f"  ({cold['stats']})")
    print(f"  later cold queries (median of {QUERIES - 1}):  {ms(later)}")
    print(f"  first cold query, LUMVO_FILTER=off:     {ms(off_first)} "
          f"(load {ms(off['load_s'])})")
    print(f"  peak RSS cold {cold['peak_rss'] / 2**20:.0f} MiB, warm "
          f"{warm['peak_rss'] / 2**20:.0f} MiB; codes {codes_bytes / 2**20:.0f} MiB")
    report.add(shape=shape, rows_bytes=rows_bytes, codes_bytes=codes_bytes, save_s=save_s,
               warm_ms=1e3 * w, cold_load_ms=1e3 * cold["load_s"],
               cold_first_ms=1e3 * cold["times_s"][0], cold_later_ms=1e3 * later,
               off_first_ms=1e3 * off_first, peak_rss_cold=cold["peak_rss"],
               peak_rss_warm=warm["peak_rss"])
    # Goals as "higher is better" ratios: target / measured multiple.
    report.add_goal(shape, common.goal("warm x 20 / (load + first cold query)",
                                       20 * w / first, 1.0))
    report.add_goal(shape, common.goal("warm x 3 / later cold query", 3 * w / later, 1.0))
    report.add_goal(shape, common.goal("first cold query, filter off / filter on",
                                       off_first / cold["times_s"][0], 20.0))
    shutil.rmtree(directory)
    stream_build(report, common.temp_dir())
    report.save()


if __name__ == "__main__":
    if "--child" in sys.argv:
        at = sys.argv.index("--child")
        d, setting, r, dm = sys.argv[at + 1: at + 5]
        child(d, setting, int(r), int(dm))
    elif "--build-child" in sys.argv:
        at = sys.argv.index("--build-child")
        build_child(*sys.argv[at + 1: at + 3])
    elif "--grow-child" in sys.argv:
        at = sys.argv.index("--grow-child")
        grow_child(sys.argv[at + 2], sys.argv[at + 1])
    elif "--full-child" in sys.argv:
        at = sys.argv.index("--full-child")
        import beyond_ram_full
        beyond_ram_full.query_child(*sys.argv[at + 1: at + 3])
    elif "--full" in sys.argv:
        import beyond_ram_full
        common.run(beyond_ram_full.main)
    else:
        common.run(main)
