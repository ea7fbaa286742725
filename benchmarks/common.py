"""Helpers shared by the benchmarks: data sets, index files, timing."""
import os
import struct
import tempfile
import time

import numpy as np

METRIC_IDS = {"cosine": 0, "dot": 1, "euclidean": 2}
SHAPES = [(100_000, 384), (1_000_000, 128), (200_000, 768)]


def unit_vectors(rows, dims, seed=0, clusters=0):
    rng = np.random.default_rng(seed)
    if clusters:
        centres = rng.standard_normal((clusters, dims)).astype(np.float32)
        X = centres[rng.integers(0, clusters, rows)]
        X += 0.3 * rng.standard_normal((rows, dims), dtype=np.float32)
    else:
        X = rng.standard_normal((rows, dims), dtype=np.float32)
    X /= np.linalg.norm(X, axis=1, keepdims=True)
    return X


def write_index(X, metric="cosine", directory=None):
    directory = directory or tempfile.mkdtemp(prefix="lumvero-bench-")
    rows, dims = X.shape
    path = os.path.join(directory, f"bench_{rows}x{dims}_{metric}.bin")
    with open(path, "wb") as f:
        f.write(struct.pack("<III", dims, rows, METRIC_IDS[metric]))
        X.astype("<f4", copy=False).tofile(f)
    return path


def median_time(fn, repeat=5, warmup=1):
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return float(np.median(times))


def read_bandwidth(X, threads=1, repeat=5):
    """GB/s of one streaming pass over the matrix: an integer OR-reduction,
    cheap enough per value to be limited by memory, split over `threads`
    threads (NumPy releases the GIL inside the reduction)."""
    from concurrent.futures import ThreadPoolExecutor

    words = X.view(np.uint32).ravel()
    parts = np.array_split(words, threads)
    with ThreadPoolExecutor(threads) as ex:
        def scan():
            list(ex.map(np.bitwise_or.reduce, parts))
        t = median_time(scan, repeat=repeat)
    return X.nbytes / t / 1e9


def threads_note():
    return f"LUMVO_THREADS={os.environ.get('LUMVO_THREADS', '(unset)')}"
