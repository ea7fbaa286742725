"""Every entry point, on its success and on its error paths, called many times
over: live Python objects, interpreter memory blocks, native heap in use and
RSS must stay flat. The short form calls each case 2,000 times, the long form
(--long) 20,000 times.

Each case is warmed up with 200 calls, then run in two halves, measuring
after each. A leak grows in both halves; one-time growth (a worker thread's
first large allocation, the allocator settling; seen once, about 940 KiB, at
around 1,500 calls) lands in one. So for every measure, the smaller of the
two halves' growths must stay within:
  live objects (gc.get_objects)        +20
  sys.getallocatedblocks()             +200
  native heap in use (mallinfo2)       +64 KiB
  RSS                                  +4 MiB
A leak of one Python object or memory block per call exceeds them in both
forms; one of 8 bytes of native memory per call in the long form."""
import ctypes
import gc
import os
import sys
import tempfile

import numpy as np
import pytest

import lumvero
from conftest import write_index

PREP = lumvero.py_prepare_bin_from_embeddings

# AddressSanitizer holds freed memory in quarantine and replaces malloc:
# neither RSS nor mallinfo means anything there (it checks leaks itself).
pytestmark = pytest.mark.skipif(bool(os.environ.get("LUMVO_SANITIZED")),
                                reason="memory figures are meaningless under the sanitizer")


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _Mallinfo2


def native_in_use():
    if _mallinfo2 is None:
        return 0
    m = _mallinfo2()
    return m.uordblks + m.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure():
    gc.collect()
    return {"objects": len(gc.get_objects()), "blocks": sys.getallocatedblocks(),
            "native": native_in_use(), "rss": rss()}


LIMITS = {"objects": 20, "blocks": 200, "native": 64 << 10, "rss": 4 << 20}


@pytest.fixture(scope="module")
def world():
    d = tempfile.mkdtemp(prefix="lumvero_leaks_", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    rng = np.random.default_rng(0)
    X = rng.standard_normal((64, 16)).astype(np.float32)
    path = write_index(os.path.join(d, "i.bin"), X, "dot")
    shortened = write_index(os.path.join(d, "s.bin"),
                            rng.standard_normal((4096, 16)).astype(np.float32), "dot")
    damaged = lumvero.PySearchEngine(shortened, False)
    os.truncate(shortened, 12)
    try:
        damaged.query_exact(X[0], 1)
    except ValueError:
        pass
    w = {"dir": d, "path": path, "X": X, "e": lumvero.PySearchEngine(path, False),
         "damaged": damaged, "q": X[3].copy(), "Q": X[:4].copy(), "bad_q": np.ones(5, np.float32),
         "F": np.asfortranarray(X[:4])}
    w["result"] = w["e"].query_exact(w["q"], 3)
    yield w
    import shutil
    shutil.rmtree(d)


def raises(exc, f):
    def call(w):
        try:
            f(w)
        except exc:
            return
        raise AssertionError("no exception")
    return call


CASES = {
    "open": lambda w: lumvero.PySearchEngine(w["path"], False),
    "open_missing": raises(ValueError, lambda w: lumvero.PySearchEngine(w["dir"] + "/nope.bin", False)),
    "open_bad_type": raises(TypeError, lambda w: lumvero.PySearchEngine(b"x", False)),
    "dims_rows": lambda w: (w["e"].dims(), w["e"].rows()),
    "query_exact": lambda w: w["e"].query_exact(w["q"], 3),
    "query_exact_wrong_dims": raises(ValueError, lambda w: w["e"].query_exact(w["bad_q"], 3)),
    "query_exact_list": raises(TypeError, lambda w: w["e"].query_exact([1.0], 3)),
    "query_exact_negative_k": raises(OverflowError, lambda w: w["e"].query_exact(w["q"], -1)),
    "query_exact_arrays": lambda w: w["e"].query_exact_arrays(w["q"], 3),
    "query_exact_arrays_err": raises(ValueError, lambda w: w["e"].query_exact_arrays(w["bad_q"], 3)),
    "query_exact_detailed": lambda w: w["e"].query_exact_detailed(w["q"], 3),
    "query_exact_detailed_err": raises(ValueError, lambda w: w["e"].query_exact_detailed(w["bad_q"], 3)),
    "query_batch": lambda w: w["e"].query_batch(w["Q"], 3),
    "query_batch_fortran": lambda w: w["e"].query_batch(w["F"], 3),
    "query_batch_err": raises(ValueError, lambda w: w["e"].query_batch(np.ones((2, 5), np.float32), 3)),
    "query_batch_arrays": lambda w: w["e"].query_batch_arrays(w["Q"], 3),
    "query_batch_detailed": lambda w: w["e"].query_batch_detailed(w["Q"], 3),
    "query_batch_detailed_err": raises(ValueError, lambda w: w["e"].query_batch_detailed(np.ones((2, 5), np.float32), 3)),
    "certified": lambda w: w["e"].query_exact_certified(w["q"], 3),
    "certified_err": raises(ValueError, lambda w: w["e"].query_exact_certified(w["bad_q"], 3)),
    "batch_certified": lambda w: w["e"].query_batch_exact_certified(w["Q"], 3, 8, False),
    "batch_certified_err": raises(ValueError, lambda w: w["e"].query_batch_exact_certified(np.ones((2, 5), np.float32), 3)),
    "explain": lambda w: w["e"].explain(w["q"], 5, 4, 2),
    "explain_err": raises(ValueError, lambda w: w["e"].explain(w["q"], 500, 4, 2)),
    "compare": lambda w: w["e"].compare(w["q"], 5, 6, 4, 2),
    "compare_err": raises(ValueError, lambda w: w["e"].compare(w["q"], 5, 600, 4, 2)),
    "changed_file": raises(ValueError, lambda w: w["damaged"].query_exact_arrays(w["q"], 3)),
    "result_fields": lambda w: ([(i.idx, i.score) for i in w["result"].results], repr(w["result"]),
                                w["result"].index_hash, w["result"].metric, w["result"].index_path),
    "result_no_constructor": raises(TypeError, lambda w: type(w["result"])()),
    "prepare": lambda w: PREP(w["X"], 16, 64, "leak", "f32", output_dir=w["dir"]),
    "prepare_bad_level": raises(ValueError, lambda w: PREP(w["X"], 16, 64, "leak", "F32", output_dir=w["dir"])),
    "prepare_bad_metric": raises(ValueError, lambda w: PREP(w["X"], 16, 64, "leak", "f32", metric="x")),
    "prepare_bad_bool": raises(TypeError, lambda w: PREP(w["X"], 16, 64, "leak", "f32", normalize=1)),
}


@pytest.mark.long
@pytest.mark.parametrize("case", sorted(CASES))
def test_no_growth(world, case, long_run):
    calls = 20000 if long_run else 2000
    f = CASES[case]
    for _ in range(200):
        f(world)
    points = [measure()]
    for _ in range(2):
        for _ in range(calls // 2):
            f(world)
        points.append(measure())
    grown = {k: min(points[1][k] - points[0][k], points[2][k] - points[1][k]) for k in LIMITS}
    assert all(grown[k] <= LIMITS[k] for k in LIMITS), (case, calls, grown)
