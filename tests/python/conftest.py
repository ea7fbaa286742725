"""Shared helpers: raw index files written with NumPy, and NumPy oracles that
reproduce the engine's summation order and result order exactly."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import numpy as np
import pytest
from hypothesis import strategies as st

from rooms import ROOMS

METRIC_IDS = {"cosine": 0, "dot": 1, "euclidean": 2}

# Ray keeps its sessions (sockets, logs) under RAY_TMPDIR, /tmp/ray unless
# set; the tests' clusters, and those of the processes they start, keep
# theirs in a directory of this run that is removed when it ends. A short
# path: Ray's socket names must fit in a Unix socket address. Made by the
# pytest process only (child processes import this file for its helpers).
_RAY_TMPDIR: list[str] = []


def pytest_unconfigure(config):
    for d in _RAY_TMPDIR:
        shutil.rmtree(d, ignore_errors=True)


def pytest_configure(config):
    if "RAY_TMPDIR" not in os.environ:
        _RAY_TMPDIR.append(tempfile.mkdtemp(prefix="lumvero-ray-"))
        os.environ["RAY_TMPDIR"] = _RAY_TMPDIR[0]
    config.addinivalue_line("markers", "long: has a long form, run with --long")
    for room in ROOMS:
        config.addinivalue_line("markers", f"{room}: the quick tests of the {room} room")


def pytest_collection_modifyitems(config, items):
    rooms_of = {}
    for room, files in ROOMS.items():
        for f in files:
            rooms_of.setdefault(f, []).append(room)
    for item in items:
        for room in rooms_of.get(item.path.name, []):
            item.add_marker(room)


def write_index(path, X, metric="dot", extra=b""):
    """Writes an index file byte by byte: header, then row-major float32."""
    X = np.ascontiguousarray(X, dtype="<f4")
    rows, dims = X.shape
    with open(path, "wb") as f:
        f.write(struct.pack("<III", dims, rows, METRIC_IDS.get(metric, metric)))
        f.write(X.tobytes())
        f.write(extra)
    return str(path)


@pytest.fixture
def make_engine(tmp_path):
    import lumvero

    counter = [0]

    def make(X, metric="dot"):
        counter[0] += 1
        path = write_index(tmp_path / f"idx{counter[0]}.bin", X, metric)
        return lumvero.PySearchEngine(path, False)

    return make


def f32(x):
    return np.float32(x)


def dot_layout(X, q):
    """Dot products in the engine's 128-bit layout: two 4-lane accumulators
    over chunks of 8, a fixed horizontal sum, then the tail in order."""
    X = np.atleast_2d(np.asarray(X, np.float32))
    q = np.asarray(q, np.float32)
    return _layout(X * q, X.shape[1])


def l2_layout(X, q):
    X = np.atleast_2d(np.asarray(X, np.float32))
    d = (np.asarray(q, np.float32) - X).astype(np.float32)
    return _layout(d * d, X.shape[1])


def _layout(P, n):
    P = P.astype(np.float32)
    rows = P.shape[0]
    full = n // 8 * 8
    if full == 0:
        s = np.zeros(rows, np.float32)
        for i in range(n):
            s = (s + P[:, i]).astype(np.float32)
        return s
    acc = np.zeros((rows, 8), np.float32)
    for c in range(0, full, 8):
        acc = (acc + P[:, c:c + 8]).astype(np.float32)
    a = (((acc[:, 0] + acc[:, 1]) + acc[:, 2]) + acc[:, 3]).astype(np.float32)
    b = (((acc[:, 4] + acc[:, 5]) + acc[:, 6]) + acc[:, 7]).astype(np.float32)
    s = (a + b).astype(np.float32)
    for i in range(full, n):
        s = (s + P[:, i]).astype(np.float32)
    return s


def scalar_sum(X, q, metric):
    X = np.atleast_2d(np.asarray(X, np.float32))
    q = np.asarray(q, np.float32)
    P = ((q - X) ** 2 if metric == "euclidean" else X * q).astype(np.float32)
    s = np.zeros(X.shape[0], np.float32)
    for i in range(X.shape[1]):
        s = (s + P[:, i]).astype(np.float32)
    return s


def order_key(scores):
    """IEEE totalOrder key of float32 scores as int64."""
    bits = np.asarray(scores, np.float32).view(np.int32).astype(np.int64)
    return np.where(bits >= 0, bits, bits ^ 0x7FFFFFFF)


def topk_oracle(scores, k, metric):
    """(indices, scores) of the k best finite scores, best first, ties by lower index."""
    scores = np.asarray(scores, np.float32)
    idx = np.flatnonzero(np.isfinite(scores))
    key = order_key(scores[idx])
    if metric != "euclidean":
        key = -key
    order = np.lexsort((idx, key))[:k]
    return idx[order], scores[idx[order]]


def run_python(code, env=None, timeout=120):
    """Runs code in a fresh interpreter (for once-per-process behaviour)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=timeout)


def unit_rows(rng, rows, dims):
    X = rng.standard_normal((rows, dims)).astype(np.float32)
    X /= np.linalg.norm(X, axis=1, keepdims=True)
    return X.astype(np.float32)


# Tests marked `long` run their full counts only with --long (make test-long);
# without it they run a short form, chosen by the test through `long_run`.
def pytest_addoption(parser):
    parser.addoption("--long", action="store_true", default=False,
                     help="run the long forms of the reliability tests")


@pytest.fixture
def long_run(request):
    """True under --long: tests scale their repetitions up to the full counts."""
    return request.config.getoption("--long")


def manifest_content(directory):
    """An Index directory's manifest without what names its files or counts
    its saves: the file names' tokens and index_version."""
    import json
    import re

    with open(os.path.join(directory, "manifest.json")) as f:
        m = json.load(f)
    m.pop("index_version")
    for seg in m["segments"]:
        for entry in seg.values():
            if isinstance(entry, dict):
                entry["file"] = re.sub(r"-[0-9a-f]{32}-", "-", entry["file"])
    return m


def per_query_lists(data, nq, ids):
    """One entry per query: None, an empty list, ids (removed ones among
    them), or the entry before it again (the same object or an equal copy),
    given as a list or a tuple."""
    out = []
    for i in range(nq):
        kind = data.draw(st.sampled_from(["none", "empty", "ids", "same", "equal"]))
        if kind in ("same", "equal") and i:
            prev = out[-1]
            out.append(prev if kind == "same" or prev is None else list(prev))
        elif kind == "none":
            out.append(None)
        else:
            out.append([] if kind == "empty" or not ids
                       else data.draw(st.lists(st.sampled_from(ids), max_size=len(ids))))
    return tuple(out) if data.draw(st.booleans()) else out
