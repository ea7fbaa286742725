"""lumvero_contrib.Index saved and loaded: what a save and a load cost.

  * saves: an Index of embedding-like unit rows (1,000,000 x 128; quick:
    100,000 x 128) saved into a new directory, then 1 % more rows added and
    saved again into the same directory (a save that writes only what
    changed: one new segment and the manifests). Bytes written by each save
    (the sizes of the files it added, and of the manifest it replaced)
    and its time, median of 3 rounds;
    the answers (k = 10) of the directory loaded back are checked against
    the Index in memory.
  * load: Index.load(mmap=True) of a saved 1,000,000 x 384 directory
    (quick: 100,000 x 384): the bytes the process read during the load
    (rchar of /proc/self/io) against the sizes of the codes, ids and
    manifest files, plus the 12-byte header of each row file.

Goals: the second save writes at most 3 % of the bytes of the first and
takes at most 10 % of its time; the load reads no row file beyond its
header. The machine may be shared: times are noisy.
Run: .venv/bin/python benchmarks/bench_storage.py [--quick]
"""
import os
import shutil
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import shape_label, unit_vectors  # noqa: E402

from lumvero_contrib import Index  # noqa: E402

K = 10
ADDED = 0.01  # the share of rows added before the second save
ROUNDS = 3


def sizes(d, names):
    return sum(os.path.getsize(os.path.join(d, p)) for p in names)


def timed_save(ix, d):
    """(seconds, bytes of the files the save wrote: those it added, and
    manifest.json, which it replaced)."""
    before = set(os.listdir(d)) if os.path.isdir(d) else set()
    t = time.perf_counter()
    ix.save(d)
    seconds = time.perf_counter() - t
    return seconds, sizes(d, (set(os.listdir(d)) - before) | {"manifest.json"})


def saves(report, rows, dims):
    shape = shape_label(rows, dims)
    X = unit_vectors(rows, dims, seed=3, clusters=1000)
    extra = unit_vectors(int(rows * ADDED), dims, seed=4, clusters=1000)
    Q = X[:64] + 0.05 * np.random.default_rng(5).standard_normal((64, dims), dtype=np.float32)
    first, second = [], []
    for r in range(ROUNDS):
        d = os.path.join(common.temp_dir(), "ix")
        ix = Index(dims, metric="cosine")
        ix.add(X)
        first.append(timed_save(ix, d))
        ix.add(extra)
        second.append(timed_save(ix, d))
        if r == 0:
            got, want = Index.load(d).search(Q, K), ix.search(Q, K)
            assert np.array_equal(got[1], want[1]) and got[0].tobytes() == want[0].tobytes()
        del ix
        shutil.rmtree(os.path.dirname(d), ignore_errors=True)
    (t1, b1), (t2, b2) = ((float(np.median([s for s, _ in runs])),
                           int(np.median([b for _, b in runs]))) for runs in (first, second))
    for who, t, b in (("first save", t1, b1), (f"save after adding {ADDED:.0%}", t2, b2)):
        print(f"  {shape}  {who:24s} {b / 2**20:10.1f} MiB {t:8.3f} s", flush=True)
        report.add(kind="save", shape=shape, rows=rows, dims=dims, who=who, bytes=b, seconds=t)
    print(f"  second / first: bytes {b2 / b1:.2%}, time {t2 / t1:.2%}", flush=True)
    report.add_goal(shape, common.goal("first save / second save, bytes (second <= 3 %)",
                                       b1 / b2, 1 / 0.03))
    report.add_goal(shape, common.goal("first save / second save, time (second <= 10 %)",
                                       t1 / t2, 1 / 0.10))


def rchar():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("rchar:")).split()[1])


def load(report, rows, dims):
    shape = shape_label(rows, dims)
    d = os.path.join(common.temp_dir(), "ix")
    ix = Index(dims, metric="cosine")
    ix.add(unit_vectors(rows, dims, seed=6, clusters=1000))
    ix.save(d)
    del ix
    names = os.listdir(d)
    row_files = [p for p in names if p.endswith(".index")]
    small = sizes(d, [p for p in names if p.startswith(("codes-", "ids-", "removed-"))]
                  + ["manifest.json"]) + 12 * len(row_files)
    before = rchar()
    loaded = Index.load(d, mmap=True)
    read = rchar() - before
    print(f"  {shape}  Index.load(mmap=True) read {read:,} bytes; codes + ids + manifest + "
          f"row file headers: {small:,} bytes; row files: {sizes(d, row_files):,} bytes",
          flush=True)
    report.add(kind="load", shape=shape, rows=rows, dims=dims, who="bytes read by the load",
               bytes=read)
    report.add(kind="load", shape=shape, rows=rows, dims=dims,
               who="codes + ids + manifest + row headers", bytes=small)
    report.add_goal(shape, common.goal("codes + ids + manifest + row headers / bytes read by "
                                       "the load (no row file read)", small / max(read, 1), 1.0))
    del loaded
    shutil.rmtree(os.path.dirname(d), ignore_errors=True)


def main():
    info = common.machine_info()
    common.print_header("lumvero_contrib.Index saves and loads", info)
    report = common.Report("bench_storage", "Index: bytes and time of saves, bytes read by "
                                            "loads", info)
    saves(report, 100_000 if common.QUICK else 1_000_000, 128)
    load(report, 100_000 if common.QUICK else 1_000_000, 384)
    report.notes.append("Second save: the same Index with 1 % more rows saved into the "
                        "directory it was saved to; bytes are the sizes of the files a save "
                        "added.")
    report.save()


if __name__ == "__main__":
    common.run(main)
