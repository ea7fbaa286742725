"""lumvero's BLAS as other tools see it: threadpoolctl lists it with its
version and core name, lumvero keeps it single-threaded (its own pool runs one
multiply per thread), and NumPy's BLAS is never touched."""
import json

import pytest

from conftest import run_python

threadpoolctl = pytest.importorskip("threadpoolctl")

# Prints threadpoolctl's view before and after importing lumvero and running a
# batch through the matrix strategy; `extra` runs in between.
PROBE = r"""
import json, os, sys
import numpy as np
import threadpoolctl
sys.path.insert(0, {tests!r})
from conftest import write_index

def blas():
    return {{i["filepath"]: i for i in threadpoolctl.threadpool_info() if i["user_api"] == "blas"}}

before = blas()
import lumvero
after_import = blas()
X = np.random.default_rng(0).standard_normal((3000, 64)).astype(np.float32)
path = write_index(os.path.join({directory!r}, "i.bin"), X, "dot")
engine = lumvero.PySearchEngine(path, False)
{extra}
os.environ["LUMVO_BATCH_MODE"] = "matrix"
got = engine.query_batch_arrays(X[:40], 3)
assert got["indices"][:, 0].tolist() == [int(np.argmax(X @ q)) for q in X[:40]]
after_query = blas()
print(json.dumps({{"before": before, "after_import": after_import, "after_query": after_query}}))
"""


def probe(directory, extra=""):
    import os

    tests = os.path.dirname(os.path.abspath(__file__))
    code = PROBE.format(tests=tests, directory=str(directory), extra=extra)
    r = run_python(code, env={"OPENBLAS_NUM_THREADS": "2"})
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def lumvero_blas(state):
    """The BLAS libraries that importing lumvero brought into the process."""
    new = {p: i for p, i in state["after_import"].items() if p not in state["before"]}
    return new


def test_threadpoolctl_lists_lumvero_blas_with_version_and_core(tmp_path):
    state = probe(tmp_path)
    new = lumvero_blas(state)
    assert len(new) == 1, state
    (path, info), = new.items()
    assert info["internal_api"] == "openblas"
    assert info["version"] and info["version"] != "unknown"
    assert info["architecture"] and info["architecture"] != "unknown"
    # Single-threaded from import on, and after queries on the pool.
    assert info["num_threads"] == 1
    assert state["after_query"][path]["num_threads"] == 1


def test_numpy_blas_is_left_alone(tmp_path):
    state = probe(tmp_path)
    others = state["before"]
    assert others, "NumPy's own BLAS should be visible to threadpoolctl"
    for path, info in others.items():
        assert state["after_import"][path]["num_threads"] == info["num_threads"] == 2
        assert state["after_query"][path]["num_threads"] == 2


@pytest.mark.parametrize("limit", [2, 4])
def test_raised_thread_count_is_put_back_by_the_next_query(tmp_path, limit):
    # threadpool_limits raises every BLAS in the process, lumvero's included;
    # the next multiply puts lumvero's back to one thread and only lumvero's.
    extra = f"threadpoolctl.threadpool_limits({limit}, user_api='blas')"
    state = probe(tmp_path, extra)
    (path, _), = lumvero_blas(state).items()
    assert state["after_query"][path]["num_threads"] == 1
    for other in state["before"]:
        assert state["after_query"][other]["num_threads"] == limit
