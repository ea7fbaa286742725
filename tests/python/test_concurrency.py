"""Many Python threads on shared engines while other threads open indexes and
prepare new ones, and forked children querying with the pool already
running. Answers must equal the single-threaded ones exactly. A process that
uses both the module and lumvero_contrib has one pool."""
import json
import os
import signal
import threading

import numpy as np
import pytest

import lumvero
from conftest import run_python, write_index

PREP = lumvero.py_prepare_bin_from_embeddings


def snapshot(e, Q, k):
    """Every kind of answer for the queries Q, as plain comparable values."""
    out = []
    for q in Q:
        r = e.query_exact_arrays(q, k)
        out.append(("single", r["indices"].tolist(), r["scores"].tolist()))
        c = e.query_exact_certified(q, k)
        out.append(("certified", [(x["idx"], x["score"]) for x in c["results"]]))
        ex = e.explain(q, 1, 16, 3)
        out.append(("explain", ex["score_total"], [b["block_id"] for b in ex["blocks"]]))
    b = e.query_batch_arrays(Q, k)
    out.append(("batch", b["indices"].tolist(), b["scores"].tolist()))
    return out


@pytest.mark.long
def test_sixteen_threads_with_opens_and_preparations(tmp_path, long_run):
    rounds = 40 if long_run else 15
    rng = np.random.default_rng(11)
    indexes = {}
    for name, metric, rows in (("a", "cosine", 30000), ("b", "euclidean", 3000), ("c", "dot", 500)):
        X = rng.standard_normal((rows, 48)).astype(np.float32)
        indexes[name] = write_index(tmp_path / f"{name}.bin", X, metric)
    Q = rng.standard_normal((6, 48)).astype(np.float32)
    shared = {n: lumvero.PySearchEngine(p, False) for n, p in indexes.items()}
    want = {n: snapshot(e, Q, 7) for n, e in shared.items()}
    P = rng.standard_normal((2000, 48)).astype(np.float32)
    prepared = open(PREP(P, 48, 2000, "ref", "f32", output_dir=str(tmp_path)), "rb").read()

    errors = []

    def query_worker(t):
        name = sorted(indexes)[t % 3]
        for _ in range(rounds):
            if snapshot(shared[name], Q, 7) != want[name]:
                errors.append(f"thread {t}: answer differs on {name}")

    def open_worker(t):
        name = sorted(indexes)[t % 3]
        for _ in range(rounds):
            e = lumvero.PySearchEngine(indexes[name], False)
            if snapshot(e, Q, 7) != want[name]:
                errors.append(f"thread {t}: answer differs on a fresh {name}")

    def prepare_worker(t):
        d = tmp_path / f"prep{t}"
        for _ in range(rounds):
            path = PREP(P, 48, 2000, "ref", "f32", output_dir=str(d))
            if open(path, "rb").read() != prepared:
                errors.append(f"thread {t}: prepared file differs")

    threads = [threading.Thread(target=query_worker, args=(t,)) for t in range(12)]
    threads += [threading.Thread(target=open_worker, args=(t,)) for t in range(2)]
    threads += [threading.Thread(target=prepare_worker, args=(t,)) for t in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert errors == []


@pytest.mark.long
def test_forks_after_the_pool_exists(tmp_path, long_run):
    forks = 100 if long_run else 20
    rng = np.random.default_rng(12)
    X = rng.standard_normal((40000, 32)).astype(np.float32)  # large enough for the pool
    e = lumvero.PySearchEngine(write_index(tmp_path / "f.bin", X, "dot"), False)
    Q = X[:3]
    want = snapshot(e, Q, 5)
    failures = []
    for i in range(forks):
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:  # child: query, report, leave without cleanup
            os.close(r)
            signal.alarm(30)  # a hang kills the child
            ok = snapshot(e, Q, 5) == want
            os.write(w, b"1" if ok else b"0")
            os._exit(0)
        os.close(w)
        with os.fdopen(r, "rb") as f:
            got = f.read()
        _, status = os.waitpid(pid, 0)
        if got != b"1" or status != 0:
            failures.append((i, got, status))
        if i % 10 == 0:  # the parent keeps using its pool between forks
            assert snapshot(e, Q, 5) == want
    assert failures == []


# Counts the process's threads (/proc/self/task) after the imports, after the
# first surface's query and after the other's. LUMVO_THREADS changes between
# the two: it is read once per process, by whichever surface comes first.
ONE_POOL_CHILD = r"""
import json, os, sys
import numpy as np
sys.path.insert(0, {tests!r})
from conftest import write_index
import lumvero
from lumvero_contrib import Index

def threads():
    return len(os.listdir("/proc/self/task"))

X = np.random.default_rng(4).standard_normal((40000, 16)).astype(np.float32)
path = write_index(os.path.join({directory!r}, "p.bin"), X, "dot")

def index_search():
    ix = Index(16, metric="dot")
    ix.add(X)
    ix.search(X[:8], 5)

def module_query():
    lumvero.PySearchEngine(path, False).query_exact(X[0], 5)

counts = [threads()]
for use in [index_search, module_query] if {index_first!r} else [module_query, index_search]:
    use()
    os.environ["LUMVO_THREADS"] = "4"
    counts.append(threads())
print(json.dumps(counts))
"""


@pytest.mark.parametrize("index_first", [True, False])
@pytest.mark.parametrize("pool", [1, 3])
def test_both_surfaces_share_one_pool(tmp_path, index_first, pool):
    code = ONE_POOL_CHILD.format(tests=os.path.dirname(os.path.abspath(__file__)),
                                 directory=str(tmp_path), index_first=index_first)
    # OpenBLAS (NumPy's and lumvero's) starts no threads of its own with 1.
    r = run_python(code, env={"LUMVO_THREADS": str(pool), "OPENBLAS_NUM_THREADS": "1"})
    assert r.returncode == 0, r.stderr
    base, after_first, after_both = json.loads(r.stdout)
    assert (after_first - base, after_both - base) == (pool, pool)
