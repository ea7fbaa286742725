"""Opening an index beside one BLAKE3 pass and one plain read of the same
file, and NumPy's np.fromfile of it.

Opening maps the file, checks the header, computes row norms and hashes the
content, so one hash pass plus one read pass is its natural floor.
Goal: open <= 1.3 x (hash pass + read pass); "ratio" = open / (hash + read).
Run: .venv/bin/python benchmarks/bench_open.py [--quick]
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import median_time, shape_label, unit_vectors, write_index  # noqa: E402

import lumvero  # noqa: E402

try:
    import blake3
except ImportError:  # installed by `make bench`
    blake3 = None

SHAPES = [(100_000, 384), (1_000_000, 128)]
QUICK_SHAPES = [(20_000, 384), (200_000, 128)]


def chart(report, path):
    series = {
        "lumvero open": lambda r: r["who"] == "open",
        "NumPy np.fromfile": lambda r: r["who"] == "numpy fromfile",
        "BLAKE3 hash pass": lambda r: r["who"] == "hash",
        "plain read pass": lambda r: r["who"] == "read",
    }
    common.bar_chart(report, path, "ms", "milliseconds", series, floor_key="floor_ms",
                     floor_label="floor: hash pass + read pass", higher_is_better=False,
                     fmt="{:.1f}")


def main():
    info = common.machine_info()
    common.print_header("opening an index", info)
    print("hash = one single-threaded BLAKE3 pass over the file in memory; read = one plain "
          "read of the file; ratio = open / (hash + read), goal <= 1.3.")
    report = common.Report("bench_open", "Opening an index", info)
    print(f"{'shape':>18} {'MB':>7} {'open ms':>9} {'hash ms':>9} {'read ms':>9} "
          f"{'fromfile':>9} {'ratio':>6}")
    reps = common.repeats(5, 3)
    for rows, dims in (QUICK_SHAPES if common.QUICK else SHAPES):
        shape = shape_label(rows, dims)
        path = write_index(unit_vectors(rows, dims, seed=1), "cosine")
        size = os.path.getsize(path)
        buf = bytearray(size)

        def read_pass():
            with open(path, "rb", buffering=0) as f:
                f.readinto(buf)

        def hash_pass():
            h = blake3.blake3(max_threads=1)
            h.update(memoryview(buf))
            h.digest()

        t_open = median_time(lambda: lumvero.PySearchEngine(path, False), repeat=reps)
        t_read = median_time(read_pass, repeat=reps)
        t_np = median_time(lambda: np.fromfile(path, dtype="<f4", offset=12), repeat=reps)
        t_hash = median_time(hash_pass, repeat=reps) if blake3 else float("nan")
        floor = (t_hash + t_read) * 1e3
        ratio = t_open * 1e3 / floor
        for who, t in (("open", t_open), ("hash", t_hash), ("read", t_read),
                       ("numpy fromfile", t_np)):
            report.add(shape=shape, rows=rows, dims=dims, who=who, ms=t * 1e3, floor_ms=floor)
        print(f"{shape:>18} {size / 1e6:7.0f} {t_open * 1e3:9.1f} {t_hash * 1e3:9.1f} "
              f"{t_read * 1e3:9.1f} {t_np * 1e3:9.1f} {ratio:6.2f}", flush=True)
        report.add_goal(shape, common.goal("(hash + read) / open", 1 / ratio, round(1 / 1.3, 3)))
        os.remove(path)
    report.save(chart)


if __name__ == "__main__":
    common.run(main)
