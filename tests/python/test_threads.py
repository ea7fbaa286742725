"""Thread control from Python: lumvero_contrib.set_num_threads and
get_num_threads, and threadpoolctl's view and limits of the one worker pool.
The pool keeps its size; a limit only cuts the work for fewer of its threads,
and answers stay the same rows and bits at every limit."""
import json

import numpy as np
import pytest

import lumvero_contrib
from conftest import run_python

# A fresh process with a pool of 2 (LUMVO_THREADS): every answer of both
# surfaces under limits 2, 1 and 2 again, as bytes, and the counts reported.
LIMITS_CHILD = r"""
import json, os, sys
import numpy as np
sys.path.insert(0, {tests!r})
from conftest import write_index
import lumvero
import lumvero_contrib
from lumvero_contrib import Index

rng = np.random.default_rng(21)
X = rng.standard_normal((30000, 24)).astype(np.float32)
Q = rng.standard_normal((12, 24)).astype(np.float32)
engine = lumvero.PySearchEngine(write_index(os.path.join({directory!r}, "t.bin"), X, "euclidean"),
                                False)
ix = Index(24, metric="cosine")
ix.add(X)

def answers():
    out = []
    for q in Q[:3]:
        r = engine.query_exact_arrays(q, 7)
        out += [r["indices"].tobytes().hex(), r["scores"].tobytes().hex()]
    b = engine.query_batch_arrays(Q, 7)
    out += [b["indices"].tobytes().hex(), b["scores"].tobytes().hex()]
    for queries in (Q[0], Q):
        s, i = ix.search(queries, 7)
        t, j = ix.search(queries, 7, allow=range(0, 30000, 3))
        out += [a.tobytes().hex() for a in (s, i, t, j)]
    return out

report = {{"start": lumvero_contrib.get_num_threads(), "runs": []}}
for n in (2, 1, 2):
    lumvero_contrib.set_num_threads(n)
    report["runs"].append([lumvero_contrib.get_num_threads(), answers()])
lumvero_contrib.set_num_threads(64)
report["above_pool"] = lumvero_contrib.get_num_threads()
print(json.dumps(report))
"""


def test_answers_are_the_same_under_every_limit(tmp_path):
    import os

    code = LIMITS_CHILD.format(tests=os.path.dirname(os.path.abspath(__file__)),
                               directory=str(tmp_path))
    r = run_python(code, env={"LUMVO_THREADS": "2"})
    assert r.returncode == 0, r.stderr
    report = json.loads(r.stdout)
    assert report["start"] == 2
    (two, want), (one, got), (two_again, again) = report["runs"]
    assert (two, one, two_again) == (2, 1, 2)
    assert got == want
    assert again == want
    assert report["above_pool"] == 2  # the pool never grows


# threadpoolctl lists the pool with its count, and its limits (for every API
# or for "lumvero" alone) govern it and are undone on exit; a limit on BLAS
# alone leaves it be.
THREADPOOLCTL_CHILD = r"""
import json
import threadpoolctl
import lumvero_contrib

def ours():
    found = [i for i in threadpoolctl.threadpool_info() if i["internal_api"] == "lumvero"]
    assert len(found) == 1, found
    return found[0]

info = ours()
seen = {"info": info}
with threadpoolctl.threadpool_limits(1):
    seen["all"] = [lumvero_contrib.get_num_threads(), ours()["num_threads"]]
seen["after_all"] = lumvero_contrib.get_num_threads()
with threadpoolctl.threadpool_limits(limits=1, user_api="lumvero"):
    seen["lumvero"] = lumvero_contrib.get_num_threads()
seen["after_lumvero"] = lumvero_contrib.get_num_threads()
with threadpoolctl.threadpool_limits(1, user_api="blas"):
    seen["blas"] = lumvero_contrib.get_num_threads()
lumvero_contrib.set_num_threads(1)
with threadpoolctl.threadpool_limits(2):
    seen["raised"] = lumvero_contrib.get_num_threads()
seen["back_to_one"] = lumvero_contrib.get_num_threads()
print(json.dumps(seen))
"""


def test_threadpoolctl_lists_and_limits_the_pool():
    pytest.importorskip("threadpoolctl")
    r = run_python(THREADPOOLCTL_CHILD, env={"LUMVO_THREADS": "2"})
    assert r.returncode == 0, r.stderr
    seen = json.loads(r.stdout)
    info = seen["info"]
    assert info["user_api"] == "lumvero"
    assert info["num_threads"] == info["pool_size"] == 2
    assert info["filepath"].endswith("liblumvero_core.so")
    assert info["version"] == lumvero_contrib.__version__
    assert seen["all"] == [1, 1]
    assert seen["after_all"] == 2
    assert seen["lumvero"] == 1
    assert seen["after_lumvero"] == 2
    assert seen["blas"] == 2
    assert seen["raised"] == 2
    assert seen["back_to_one"] == 1


@pytest.mark.parametrize("bad, error, message", [
    (0, ValueError, "at least 1, got 0"),
    (-3, ValueError, "at least 1, got -3"),
    (1.5, TypeError, "must be an integer, not float"),
    ("2", TypeError, "must be an integer, not str"),
    (None, TypeError, "must be an integer, not NoneType"),
    (True, TypeError, "must be an integer, not bool"),
    (-2**70, ValueError, "at least 1"),
])
def test_bad_thread_counts_are_refused_and_change_nothing(bad, error, message):
    before = lumvero_contrib.get_num_threads()
    with pytest.raises(error) as e:
        lumvero_contrib.set_num_threads(bad)
    assert message in str(e.value)
    assert lumvero_contrib.get_num_threads() == before


def test_any_integer_is_a_count_and_large_ones_mean_the_whole_pool():
    before = lumvero_contrib.get_num_threads()
    try:
        lumvero_contrib.set_num_threads(np.int64(1))
        assert lumvero_contrib.get_num_threads() == 1
        lumvero_contrib.set_num_threads(2**70)
        whole = lumvero_contrib.get_num_threads()
        lumvero_contrib.set_num_threads(65535)
        assert lumvero_contrib.get_num_threads() == whole >= before
    finally:
        lumvero_contrib.set_num_threads(before)
    assert lumvero_contrib.get_num_threads() == before
