"""Type-checked with `mypy --strict` (make typecheck), never run: the types a
user of lumvero_contrib.Index sees."""
import copy
from typing import assert_type

import numpy as np
from numpy.typing import NDArray

from lumvero_contrib import Index
from lumvero_contrib.index import Metric


def correct_use(X: NDArray[np.float64], q: list[float]) -> None:
    ix = Index(128, metric="dot")
    ix.add(X)
    ix.add(X, ids=np.arange(len(X)) + 1000)
    scores, ids = ix.search(q, 10, allow=[1000, 1001])
    assert_type(scores, NDArray[np.float32])
    assert_type(ids, NDArray[np.int64])
    assert_type(ix.remove([3]), int)
    assert_type(ix.ids(), NDArray[np.int64])
    assert_type(len(ix), int)
    assert_type(ix.dims, int)
    assert_type(ix.metric, Metric)
    assert_type(ix.get([1000, 1001]), NDArray[np.float32])
    assert_type(ix.get(range(1000, 1002)), NDArray[np.float32])
    assert_type(1000 in ix, bool)
    ix.search(q, 10, allow={1000, 1001})
    ix.search(q, 10, allow=range(1000, 2000))
    ix.search(q, 10, allow=(i for i in (1000, 1001)))
    lims, in_scores, in_ids = ix.range_search(q, 0.5, allow={1000})
    assert_type(lims, NDArray[np.int64])
    assert_type(in_scores, NDArray[np.float32])
    ix.remove({1000})
    ix.add(X[:2], attrs={"lang": ["pt", None], "year": [2020, 2021]})
    rows, table = ix.get([0, 1], attrs=True)
    assert_type(rows, NDArray[np.float32])
    ix.search(q, 10, where="lang = 'pt'")
    ix.search(q, 10, where=("lang = ? AND year >= ?", ["pt", 2020]), allow=[0, 1])
    ix.range_search(q, 0.5, where="year IS NULL")
    assert_type(copy.copy(ix), Index)
    assert_type(copy.deepcopy(ix), Index)
    ix.compact()
    ix.save("/tmp/ix")
    assert_type(Index.load("/tmp/ix", mmap=False), Index)


def mistakes(X: NDArray[np.float32]) -> None:
    ix = Index(128)
    ix.search(X)  # type: ignore[call-arg]
    ix.add(X, 5, None, 6)  # type: ignore[call-arg]
    Index.load(3.5)  # type: ignore[arg-type]
    Index(128, metric="l2")  # type: ignore[arg-type]
