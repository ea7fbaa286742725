"""Opening an index beside one BLAKE3 pass and one plain read of the same file.

Goal: open <= 1.3 x (hash pass + read pass). Run: .venv/bin/python benchmarks/bench_open.py
"""
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import median_time, unit_vectors, write_index  # noqa: E402

import lumvero  # noqa: E402

try:
    import blake3
except ImportError:  # pragma: no cover - installed by `make bench`
    blake3 = None


def main():
    print(f"{'shape':>18} {'MB':>7} {'open ms':>9} {'hash ms':>9} {'read ms':>9} {'ratio':>6}")
    for rows, dims in [(100_000, 384), (1_000_000, 128)]:
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

        t_open = median_time(lambda: lumvero.PySearchEngine(path, False), repeat=5)
        t_read = median_time(read_pass, repeat=5)
        t_hash = median_time(hash_pass, repeat=5) if blake3 else float("nan")
        ratio = t_open / (t_hash + t_read)
        print(f"{rows:>9,} x {dims:<5} {size / 1e6:7.0f} {t_open * 1e3:9.1f} {t_hash * 1e3:9.1f} "
              f"{t_read * 1e3:9.1f} {ratio:6.2f}")
        os.remove(path)


if __name__ == "__main__":
    main()
