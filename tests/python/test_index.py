"""lumvero_contrib.Index against a NumPy oracle of the kernel, bit for bit, over
any sequence of adds, removals, searches, compactions, saves and loads; its
failure paths; the module reading what it saves; crashes during save."""
import contextlib
import copy
import io
import json
import os
import pickle
import re
import shutil
import signal
import subprocess
import struct
import sys
import tempfile
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition,
                                 rule)

import lumvero
import lumvero_contrib
from lumvero_contrib import Index
from lumvero_contrib import _index_state as index_module
from lumvero_contrib._index_range import range_search as range_search_with_stats

from blake3_ref import blake3_hex
from conftest import dot_layout, l2_layout, per_query_lists, run_python, topk_oracle

METRICS = ["cosine", "dot", "euclidean"]


def normalize_like_writer(X):
    """The writer's unit scaling in float32: squares summed in groups of
    eight (two halves of four, left to right), then the tail; zero or
    non-finite norms give zero rows."""
    X = np.atleast_2d(np.asarray(X, np.float32))
    n, d = X.shape
    s = np.zeros(n, np.float32)
    full = d // 8 * 8
    for c in range(0, full, 8):
        sq = (X[:, c:c + 8] * X[:, c:c + 8]).astype(np.float32)
        h1 = ((sq[:, 0] + sq[:, 1]) + sq[:, 2]) + sq[:, 3]
        h2 = ((sq[:, 4] + sq[:, 5]) + sq[:, 6]) + sq[:, 7]
        s = (s + (h1 + h2)).astype(np.float32)
    for c in range(full, d):
        s = (s + X[:, c] * X[:, c]).astype(np.float32)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        norm = np.sqrt(s)
        ok = (s != 0) & np.isfinite(norm)
        inv = (np.float32(1) / norm).astype(np.float32)
        out = (X * inv[:, None]).astype(np.float32)
    return np.where(ok[:, None], out, np.float32(0)).astype(np.float32)


@contextlib.contextmanager
def env_set(name, value):
    old = os.environ.get(name)
    os.environ[name] = value
    try:
        yield
    finally:
        if old is None:
            del os.environ[name]
        else:
            os.environ[name] = old


def oracle(rows, row_ids, Q, k, metric, allow=None):
    """(scores, ids) the kernel gives on the rows (in insertion order), padded."""
    rows = np.asarray(rows, np.float32).reshape(-1, Q.shape[1])
    row_ids = np.asarray(row_ids, np.int64)
    if allow is not None:
        keep = np.isin(row_ids, np.asarray(allow, np.int64))
        rows, row_ids = rows[keep], row_ids[keep]
    worst = np.float32(np.inf if metric == "euclidean" else -np.inf)
    scores = np.full((Q.shape[0], k), worst, np.float32)
    ids = np.full((Q.shape[0], k), -1, np.int64)
    for i, q in enumerate(Q):
        s = l2_layout(rows, q) if metric == "euclidean" else dot_layout(rows, q)
        idx, sc = topk_oracle(s, k, metric)
        scores[i, :idx.size] = sc
        ids[i, :idx.size] = row_ids[idx]
    return scores, ids


def assert_same(got, want):
    assert got[1].tolist() == want[1].tolist()
    assert got[0].dtype == np.float32 and got[1].dtype == np.int64
    assert got[0].view(np.uint32).tolist() == want[0].view(np.uint32).tolist()


def assert_within(got, want, radius, metric):
    """got, (lims, scores, ids) of range_search, holds each query's rows of
    the padded oracle answer want (every row) whose score the radius admits,
    compared as float64, in the oracle's order and bits."""
    lims, scores, ids = got
    assert lims.dtype == np.int64 and ids.dtype == np.int64 and scores.dtype == np.float32
    assert lims[0] == 0 and lims.size == want[0].shape[0] + 1
    for i, (s, row_ids) in enumerate(zip(*want)):
        s64 = s.astype(np.float64)
        inside = (row_ids >= 0) & ((s64 <= radius) if metric == "euclidean" else (s64 >= radius))
        part = slice(int(lims[i]), int(lims[i + 1]))
        assert ids[part].tolist() == row_ids[inside].tolist()
        assert scores[part].view(np.uint32).tolist() == s[inside].view(np.uint32).tolist()


def draw_matrix(data, n, dims):
    seed = data.draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    if data.draw(st.booleans()):  # small integers: many equal scores
        return rng.integers(-2, 3, (n, dims)).astype(np.float64)
    return rng.standard_normal((n, dims)) * data.draw(st.sampled_from([1.0, 1e-3, 1e6]))


class IndexMachine(RuleBasedStateMachine):
    """An Index next to a model: the live rows as stored (float32, unit length
    for cosine) and their ids, in insertion order."""

    def __init__(self):
        super().__init__()
        self.tmp = tempfile.mkdtemp()
        self.saves = 0
        self.saved_min_run = index_module._MIN_RUN_ROWS
        # The model's state at each version saved into the directory "ix".
        self.versions = {}

    @initialize(metric=st.sampled_from(METRICS), dims=st.sampled_from([1, 3, 8, 13, 24]),
                min_run=st.sampled_from([1, 2, 4096]))
    def setup(self, metric, dims, min_run):
        # Small runs make every add of a few rows open another run.
        index_module._MIN_RUN_ROWS = min_run
        self.metric, self.dims = metric, dims
        self.ix = Index(dims, metric=metric)
        self.rows = np.zeros((0, dims), np.float32)
        self.ids = np.zeros(0, np.int64)
        self.removed = [64]  # ids removed (and not added again) plus one never added
        self.next_id = 0

    def stored(self, X):
        X32 = np.asarray(X, np.float32)
        return normalize_like_writer(X32) if self.metric == "cosine" else X32

    @rule(data=st.data())
    def add(self, data):
        n = data.draw(st.integers(0, 7))
        X = draw_matrix(data, n, self.dims)
        if data.draw(st.booleans()):
            self.ix.add(X if n != 1 or data.draw(st.booleans()) else X[0])
            new = np.arange(self.next_id, self.next_id + n, dtype=np.int64)
        else:
            free = sorted(set(range(self.ids.size + 60)) - set(self.ids.tolist()))
            new = np.array(data.draw(st.lists(st.sampled_from(free), min_size=n, max_size=n,
                                              unique=True)), np.int64)
            self.ix.add(X, ids=new)
        self.rows = np.concatenate([self.rows, self.stored(X).reshape(n, self.dims)])
        self.ids = np.concatenate([self.ids, new])
        if n:
            self.next_id = max(self.next_id, int(new.max()) + 1)

    @rule(data=st.data())
    def remove(self, data):
        chosen = data.draw(st.lists(st.sampled_from(self.ids.tolist() + [61, 62]), max_size=6))
        present = set(chosen) & set(self.ids.tolist())
        assert self.ix.remove(np.array(chosen, np.int64)) == len(present)
        keep = ~np.isin(self.ids, list(present))
        self.rows, self.ids = self.rows[keep], self.ids[keep]
        self.removed += sorted(present)

    @rule(data=st.data())
    def search(self, data):
        nq = data.draw(st.sampled_from([1, 2, 5]))
        k = data.draw(st.integers(1, 9) | st.just(300))  # 300: beyond every row
        Q = draw_matrix(data, nq, self.dims)
        allow = given = None
        if data.draw(st.booleans()):
            allow = data.draw(st.lists(st.sampled_from(self.ids.tolist() + self.removed),
                                       max_size=max(1, len(self.ids))))
            # Any iterable of ints will do.
            form = data.draw(st.sampled_from(["list", "array", "set", "generator", "range"]))
            if form == "range":
                allow = list(range(data.draw(st.integers(0, 70))))
            given = {"list": allow, "array": np.array(allow, np.int64), "set": set(allow),
                     "generator": (i for i in allow), "range": range(len(allow))}[form]
        Q32 = Q.astype(np.float32)
        if self.metric == "cosine":
            if not Q32.any(axis=1).all():
                with pytest.raises(ValueError, match="is zero; a cosine query"):
                    self.ix.search(Q, k, allow=given)
                return
            Q32 = normalize_like_writer(Q32)
        one = nq == 1 and data.draw(st.booleans())
        # The compressed pre-filter never, where it pays, and on every search.
        prefilter = data.draw(st.sampled_from(["off", "auto", "always"]))
        stats: dict = {}
        if allow is None and data.draw(st.booleans()):
            # One allow-list per query: each answer is the query's alone
            # with its list.
            each = per_query_lists(data, nq, self.ids.tolist() + self.removed)
            with env_set("LUMVO_FILTER", prefilter):
                got = self.ix.search(Q[0] if one else Q, k, allow=each)
            for i, a in enumerate(each):
                want = oracle(self.rows, self.ids, Q32[i:i + 1], k, self.metric,
                              None if a is None else list(a))
                assert_same((got[0][i:i + 1], got[1][i:i + 1]), want)
            return
        with env_set("LUMVO_FILTER", prefilter):
            got = self.ix.search(Q[0] if one else Q, k, allow=given, stats=stats)
        assert_same(got, oracle(self.rows, self.ids, Q32, k, self.metric, allow))
        selected = self.ids if allow is None else np.intersect1d(self.ids, allow)
        if prefilter != "auto":
            assert stats["prefiltered"] == (prefilter == "always" and selected.size > 0)

    @rule(data=st.data())
    def range_search(self, data):
        nq = data.draw(st.integers(0, 3))
        Q = draw_matrix(data, nq, self.dims)
        Q32 = Q.astype(np.float32)
        if self.metric == "cosine":
            if not Q32.any(axis=1).all():
                return
            Q32 = normalize_like_writer(Q32)
        allow = None
        if data.draw(st.booleans()):
            allow = data.draw(st.lists(st.integers(0, 80), max_size=20))
        n = max(1, len(self.ids))
        scores, ids = oracle(self.rows, self.ids, Q32, n, self.metric, allow)
        # A radius at one of the scores (ties at the edge are inside), or beyond all;
        # or one float32 or float64 step beside it, where the edge row drops
        # out ("short") or stays in ("within"): the radius is never rounded.
        finite = scores[np.isfinite(scores)]
        radius = float(data.draw(st.sampled_from(finite.tolist()))) if finite.size else 0.0
        toward = np.inf if self.metric == "euclidean" else -np.inf
        step = data.draw(st.sampled_from(["at", "f32 short", "f32 within", "f64 short",
                                          "f64 within", "inf", "-inf"]))
        if step.startswith("f32"):
            f32 = np.float32(toward if step == "f32 within" else -toward)
            radius = float(np.nextafter(np.float32(radius), f32))
        elif step == "f64 short":
            radius = float(np.nextafter(radius, -toward))
        elif step == "f64 within":
            radius = float(np.nextafter(radius, toward))
        elif step.endswith("inf"):
            radius = float(step)
        # The pre-filter's bands cut at the radius never, where they pay,
        # and on every search.
        with env_set("LUMVO_FILTER", data.draw(st.sampled_from(["off", "auto", "always"]))):
            got = self.ix.range_search(Q, radius, allow=allow)
            # The answer of search with k past every row, cut at the radius.
            k_all = self.ix.search(Q, n, allow=allow) if nq else (scores, ids)
        assert_within(got, (scores, ids), radius, self.metric)
        assert_within(got, k_all, radius, self.metric)

    @rule(data=st.data())
    def get(self, data):
        wanted = data.draw(st.lists(st.sampled_from(self.ids.tolist() + self.removed),
                                    max_size=6))
        missing = sorted(set(wanted) - set(self.ids.tolist()))
        given = data.draw(st.sampled_from([wanted, np.array(wanted, np.int64),
                                           (i for i in wanted)]))
        if missing:
            with pytest.raises(KeyError) as e:
                self.ix.get(given)
            assert e.value.args[0] == f"ids not present: {missing}"
            return
        got = self.ix.get(given)
        at = {v: i for i, v in enumerate(self.ids.tolist())}
        want = self.rows[[at[v] for v in wanted]].reshape(len(wanted), self.dims)
        assert got.dtype == np.float32 and got.shape == want.shape
        assert got.view(np.uint32).tolist() == want.view(np.uint32).tolist()

    @rule(how=st.sampled_from(["pickle", "copy", "deepcopy"]))
    def copy(self, how):
        """The copy carries on in the original's place; the original, changed
        afterwards, leaves it untouched."""
        old = self.ix
        self.ix = {"pickle": lambda ix: pickle.loads(pickle.dumps(ix)), "copy": copy.copy,
                   "deepcopy": copy.deepcopy}[how](old)
        assert type(self.ix) is Index and self.ix is not old
        old.add(np.ones((2, self.dims)))
        old.remove(self.ids[:3])
        old.compact()

    @rule()
    def compact(self):
        self.ix.compact()

    def save_to(self, path):
        self.ix.save(path)
        if path.endswith("ix"):
            self.versions[Index.versions(path)[-1]] = (self.rows, self.ids, self.next_id)

    @precondition(lambda self: self.saves < 3)
    @rule(mmap=st.booleans(), same_dir=st.booleans())
    def save_and_load(self, mmap, same_dir):
        self.saves += 1
        path = os.path.join(self.tmp, "ix" if same_dir else f"ix{self.saves}")
        self.save_to(path)
        self.ix = Index.load(path, mmap=mmap)

    @precondition(lambda self: self.saves < 6)
    @rule()
    def save_again(self):
        """A save into "ix", which the index may have loaded or last saved
        to (then only what changed is written); the index carries on."""
        self.saves += 1
        self.save_to(os.path.join(self.tmp, "ix"))

    @precondition(lambda self: self.versions)
    @rule(data=st.data(), mmap=st.booleans())
    def load_previous_version(self, data, mmap):
        """Each kept version of "ix" (the current one and the one before)
        answers as the model did then; the index carries on from the
        oldest."""
        path = os.path.join(self.tmp, "ix")
        kept = Index.versions(path)
        assert kept[-1] == max(self.versions) and kept in ([kept[-1]], [kept[-1] - 1, kept[-1]])
        Q = draw_matrix(data, 3, self.dims)
        Q = np.where(Q.astype(np.float32).any(axis=1)[:, None], Q, 1.0)
        Q32 = Q.astype(np.float32)
        if self.metric == "cosine":
            Q32 = normalize_like_writer(Q32)
        for version in kept[::-1]:
            self.ix = Index.load(path, mmap=mmap, version=version)
            self.rows, self.ids, self.next_id = self.versions[version]
            for prefilter in ("off", "always"):
                with env_set("LUMVO_FILTER", prefilter):
                    assert_same(self.ix.search(Q, 7), oracle(self.rows, self.ids, Q32, 7,
                                                             self.metric))

    @invariant()
    def same_rows(self):
        if hasattr(self, "ix"):
            assert len(self.ix) == self.ids.size
            assert self.ix.ids().tolist() == self.ids.tolist()
            live = set(self.ids.tolist())
            for v in self.ids.tolist()[:3] + self.removed[-3:]:
                assert (v in self.ix) == (v in live)
                assert (np.int64(v) in self.ix) == (v in live)
            assert "a" not in self.ix and 0.0 not in self.ix and None not in self.ix
            assert 2**64 not in self.ix and -1 not in self.ix

    def teardown(self):
        index_module._MIN_RUN_ROWS = self.saved_min_run
        shutil.rmtree(self.tmp, ignore_errors=True)


TestIndexMachine = IndexMachine.TestCase
TestIndexMachine.settings = settings(max_examples=150, stateful_step_count=25, deadline=None,
                                     derandomize=True, database=None,
                                     suppress_health_check=[HealthCheck.too_slow])


LONGDOUBLE_FINER = np.finfo(np.longdouble).nmant > np.finfo(np.float64).nmant


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("side", ["short", "within"])
@pytest.mark.parametrize("step", ["float64", pytest.param("longdouble", marks=pytest.mark.skipif(
    not LONGDOUBLE_FINER, reason="longdouble is no finer than float64 here"))])
def test_range_search_radius_one_step_from_a_score(metric, side, step):
    """A radius one step (of float64, or of a longdouble finer than it) from a
    row's score rounds to that score; compared as given, it leaves the row out
    when the step is short of the score and in when it is within."""
    rng = np.random.default_rng(21)
    X, Q = rng.standard_normal((30, 8)), rng.standard_normal((1, 8))
    ix = Index(8, metric=metric)
    ix.add(X)
    if metric == "cosine":
        X, Q = normalize_like_writer(X), normalize_like_writer(Q)
    scores, ids = oracle(X, np.arange(30), Q.astype(np.float32), 30, metric)
    edge = 12  # the thirteenth best row's score
    worse = np.inf if metric == "euclidean" else -np.inf
    kind = np.float64 if step == "float64" else np.longdouble
    radius = np.nextafter(kind(scores[0, edge]), kind(worse if side == "within" else -worse))
    assert np.float32(radius) == scores[0, edge] and radius != scores[0, edge]
    n = edge + 1 if side == "within" else edge
    assert scores[0, edge - 1] != scores[0, edge] != scores[0, edge + 1]
    lims, got_scores, got_ids = ix.range_search(Q, radius)
    assert lims.tolist() == [0, n]
    assert got_ids.tolist() == ids[0, :n].tolist()
    assert got_scores.view(np.uint32).tolist() == scores[0, :n].view(np.uint32).tolist()


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("radius", [10**400, -10**400, 2**53 + 1, 2**53 - 1, np.inf],
                         ids=["1e400", "-1e400", "2**53+1", "2**53-1", "inf"])
def test_range_search_radius_beyond_float64_compares_exactly(metric, radius):
    """An int radius is compared with the float32 scores exactly, also where
    float64 cannot hold it (rounded to nearest, 2**53 + 1 would admit a score
    of 2**53)."""
    X = np.array([[2.0**27], [2.0**26], [-1.0], [2.0**26 + 2**3]])  # scores 2**53, 2**52, ...
    ix = Index(1, metric=metric)
    ix.add(X)
    q = np.array([[2.0**26]]) if metric != "euclidean" else np.array([[0.0]])
    scores = ix.search(q, 4)[0][0].astype(np.float64)
    if metric == "euclidean":
        want = [float(s) <= radius for s in scores]
    else:
        want = [float(s) >= radius for s in scores]
    lims, got, _ = ix.range_search(q, radius)
    assert lims.tolist() == [0, sum(want)]
    assert got.tolist() == [s for s, w in zip(scores.tolist(), want) if w]


@pytest.mark.parametrize("kernel", ["reference", "avx2", "avx-vnni", "avx512-vnni"])
def test_range_search_through_every_integer_kernel(tmp_path, kernel):
    """The pre-filter's radius bands through each integer kernel the CPU has
    (chosen once per process, so each in its own), one query and a batch,
    a radius on a score: the oracle's rows and bits."""
    rng = np.random.default_rng(4)
    X = rng.standard_normal((3000, 40)).astype(np.float32)
    X[2500] = X[7]  # a tie at the radius
    Q = np.vstack([X[7] + 0.1 * rng.standard_normal(40, dtype=np.float32),
                   rng.standard_normal((4, 40), dtype=np.float32)])
    np.save(tmp_path / "x.npy", X)
    np.save(tmp_path / "q.npy", Q)
    code = ("import numpy as np\n"
            "from lumvero_contrib import Index\n"
            "from lumvero_contrib._index_range import range_search\n"
            "ix = Index(40, metric='dot')\n"
            f"ix.add(np.load({str(tmp_path / 'x.npy')!r}))\n"
            f"Q = np.load({str(tmp_path / 'q.npy')!r})\n"
            "s = {}\n"
            "for i, q in enumerate([Q[:1], Q]):\n"
            "    r = ix.search(q, 20)[0][0, 19]\n"
            "    for j, a in enumerate(range_search(ix, q, r, None, stats=s)):\n"
            f"        np.save({str(tmp_path)!r} + f'/{{i}}{{j}}.npy', a)\n"
            "    assert s['prefiltered']\n")
    out = run_python(code, env={"LUMVO_INT_KERNEL": kernel, "LUMVO_FILTER": "always"})
    assert out.returncode == 0, out.stderr
    for i, q in enumerate([Q[:1], Q]):
        want = oracle(X, np.arange(3000), q, 3000, "dot")
        got = tuple(np.load(tmp_path / f"{i}{j}.npy") for j in range(3))
        assert_within(got, want, float(want[0][0, 19]), "dot")
        assert 2500 in got[2][: got[0][1]]


def test_next_default_id_follows_the_largest_ever_added(tmp_path):
    ix = Index(2, metric="dot")
    ix.add(np.eye(2), ids=[4, 9])
    ix.remove(9)
    ix.save(tmp_path / "ix")
    ix = Index.load(tmp_path / "ix")
    ix.add([[1, 1]])
    assert ix.ids().tolist() == [4, 10]


def test_ids_removed_before_the_lookup_merges_them_are_gone():
    """Ids out of insertion order are found through a lookup whose latest few
    additions wait apart until a merge; removed while waiting, they are gone
    at once: not present, not counted again, never searched, free to reuse."""
    ix = Index(2, metric="dot")
    ix.add([[1, 0], [0, 1]], ids=[10, 1])
    ix.add([[2, 0], [0, 3]], ids=[7, 4])  # checked against the lookup, then added to it
    assert {7, 4} <= set(ix._lookup._pending)  # not yet merged
    assert ix.remove([7, 10]) == 2
    assert 7 not in ix and 10 not in ix and 4 in ix
    assert ix.remove([7]) == 0 and ix.remove(np.array([10, 7])) == 0
    assert len(ix) == 2 and ix.ids().tolist() == [1, 4]
    scores, ids = ix.search([1, 0], 3, allow=[7, 1])
    assert ids.tolist() == [[1, -1, -1]] and scores.tolist() == [[0.0, -np.inf, -np.inf]]
    with pytest.raises(KeyError):
        ix.get([7])
    ix.add([[5, 0]], ids=[7])
    assert ix.get([7, 4]).tolist() == [[5.0, 0.0], [0.0, 3.0]]
    assert ix.search([1, 0], 1, allow=[7, 1])[1].tolist() == [[7]]


@pytest.mark.parametrize("prefilter", ["off", "auto", "always"])
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("nq", [1, 6])
def test_larger_index_many_runs_and_filters(metric, nq, prefilter, monkeypatch):
    """Enough rows for the pool's pieces and sgemm tiles, runs of every size,
    and both selection forms (mask and position list), against the oracle,
    with the compressed pre-filter off, where it pays and always."""
    monkeypatch.setenv("LUMVO_FILTER", prefilter)
    rng = np.random.default_rng(7)
    rows, dims = 40000, 64
    X = rng.standard_normal((rows, dims)).astype(np.float32)
    X[30000:30100] = X[:100]  # equal rows: ties resolved by earlier insertion
    ix = Index(dims, metric=metric)
    ix.add(X[:3000])
    for i in range(3000, 3050):
        ix.add(X[i])
    ix.add(X[3050:])
    removed = rng.choice(rows, 3000, replace=False)
    ix.remove(removed)
    live = np.setdiff1d(np.arange(rows), removed)
    Q = rng.standard_normal((nq, dims)).astype(np.float32)
    stored = normalize_like_writer(X) if metric == "cosine" else X
    Qs = normalize_like_writer(Q) if metric == "cosine" else Q
    for allow in [None, rng.choice(rows, 60, replace=False),
                  rng.choice(rows, 20000, replace=False)]:
        got = ix.search(Q, 10, allow=allow)
        sel = live if allow is None else np.intersect1d(live, allow)
        assert_same(got, oracle(stored[sel], sel, Qs, 10, metric))
        # Radius searches with the radius on the first query's tenth score
        # and one float32 step either side of it, against the whole oracle.
        every = oracle(stored[sel], sel, Qs, sel.size, metric)
        toward = np.float32(np.inf if metric == "euclidean" else -np.inf)
        for radius in (got[0][0, 9], np.nextafter(got[0][0, 9], toward),
                       np.nextafter(got[0][0, 9], -toward)):
            stats = {}
            assert_within(range_search_with_stats(ix, Q, radius, allow, stats=stats), every,
                          float(radius), metric)
            if prefilter != "auto":
                assert stats["prefiltered"] == (prefilter == "always")
            if stats["prefiltered"] and allow is None:
                # Only rows whose bound reaches the radius are rescored.
                assert stats["rows_rescored"] < sel.size * nq // 100


@pytest.mark.parametrize("metric", METRICS)
def test_saved_rows_are_module_index_files(tmp_path, metric):
    """The module opens the saved row files and answers as the Index does;
    cosine rows are the writer's bytes exactly."""
    rng = np.random.default_rng(3)
    X = rng.standard_normal((300, 20)).astype(np.float32)
    ix = Index(20, metric=metric)
    ix.add(X)
    ix.save(tmp_path / "ix")
    (row_file,) = [p for p in os.listdir(tmp_path / "ix") if p.endswith(".index")]
    path = str(tmp_path / "ix" / row_file)
    if metric == "cosine":
        written = lumvero.py_prepare_bin_from_embeddings(X, 20, 300, "w", "f32", metric="cosine",
                                                         output_dir=str(tmp_path))
        with open(written, "rb") as a, open(path, "rb") as b:
            assert a.read() == b.read()
    engine = lumvero.PySearchEngine(path, False)
    Q = rng.standard_normal((5, 20)).astype(np.float32)
    Qs = normalize_like_writer(Q) if metric == "cosine" else Q
    got = ix.search(Q, 7)
    res = engine.query_batch_arrays(Qs, 7)
    assert got[1].tolist() == res["indices"].astype(np.int64).tolist()
    assert got[0].view(np.uint32).tolist() == res["scores"].view(np.uint32).tolist()


@pytest.mark.parametrize("convert", [
    lambda X: X.astype(np.float16),
    lambda X: np.asfortranarray(X),
    lambda X: np.repeat(X, 2, axis=1)[:, ::2],
    lambda X: X.tolist(),
    lambda X: np.round(X * 10).astype(np.int32),
    lambda X: X.astype(">f8"),
])
def test_any_real_layout_is_converted_once(convert):
    X = np.random.default_rng(1).standard_normal((40, 9))
    given = convert(X)
    ix = Index(9, metric="dot")
    ix.add(given)
    ref = Index(9, metric="dot")
    ref.add(np.asarray(given).astype(np.float32))
    assert_same(ix.search(given, 5), ref.search(np.asarray(given).astype(np.float32), 5))


@pytest.mark.parametrize("layout", [
    lambda a: np.repeat(a, 2)[::2],                    # strided
    lambda a: a[::-1].copy()[::-1],                    # reversed storage
    lambda a: np.stack([a, a], 1)[:, 0],               # a column of a 2-D array
    lambda a: a.astype(">i8"),
    lambda a: a.astype(np.uint32),
])
def test_any_integer_layout_names_the_same_ids(layout):
    ix = Index(3, metric="dot")
    # Ids out of order: they are found through the lookup, not by offset.
    ix.add(np.arange(30, dtype=np.float32).reshape(10, 3),
           ids=[105, 103, 108, 100, 107, 101, 109, 102, 111, 112])
    wanted = np.array([107, 101, 109, 101], np.int64)
    assert ix.get(layout(wanted)).tolist() == ix.get(wanted.tolist()).tolist()
    assert_same(ix.search(np.ones((2, 3)), 3, allow=layout(wanted)),
                ix.search(np.ones((2, 3)), 3, allow=wanted.tolist()))
    assert ix.remove(layout(wanted)) == 3 and len(ix) == 7


def test_rows_are_copied_not_referenced():
    X = np.eye(3, dtype=np.float32)
    ix = Index(3, metric="dot")
    ix.add(X)
    X[:] = 0
    assert ix.search([1, 0, 0], 1)[1].tolist() == [[0]]


def _filled(n=3, dims=128, ids=None):
    ix = Index(dims, metric="cosine")
    ix.add(np.ones((n, dims)), ids=ids)
    return ix


@pytest.mark.parametrize("call, error, message", [
    (lambda: Index(0), ValueError, "dims must be between 1 and 10000; got 0"),
    (lambda: Index(2.0), TypeError, "dims must be an integer; got float"),
    (lambda: Index(4, metric="l2"), ValueError, "metric must be 'cosine', 'dot' or 'euclidean'"),
    (lambda: Index(4, metric=None), TypeError, "metric must be a str; got NoneType"),
    (lambda: _filled().add(np.ones((2, 3))), ValueError,
     "X has 3 columns; this index has 128 dims"),
    (lambda: _filled().add(np.ones(3)), ValueError, "X has 3 values; this index has 128 dims"),
    (lambda: _filled().add(np.ones((1, 1, 128))), ValueError, "X must be (n, 128) or (128,)"),
    (lambda: _filled().add(np.full((2, 128), 1e300)), ValueError,
     "X has a non-finite value at row 0, column 0 (inf as float32)"),
    (lambda: _filled().add([[1] * 127 + [np.nan]]), ValueError,
     "X has a non-finite value at row 0, column 127"),
    (lambda: _filled().add(np.ones((1, 128), complex)), TypeError, "X must hold real numbers"),
    (lambda: _filled().add(np.ones((1, 128), bool)), TypeError, "X must hold real numbers"),
    (lambda: _filled(10).add(np.ones((3, 128)), ids=[5, 11, 9]), ValueError,
     "ids already present: [5, 9]"),
    (lambda: _filled().add(np.ones((2, 128)), ids=[-4, 7]), ValueError,
     "ids must be >= 0; negative ids: [-4]"),
    (lambda: _filled().add(np.ones((3, 128)), ids=[7, 8, 7]), ValueError,
     "ids repeated in this call: [7]"),
    (lambda: _filled().add(np.ones((2, 128)), ids=[7]), ValueError,
     "got 1 ids for 2 rows of X; pass one id per row"),
    (lambda: _filled().add(np.ones((1, 128)), ids=[1.5]), TypeError,
     "ids must be integers (int64)"),
    (lambda: _filled().add(np.ones((1, 128)), ids=np.array([2**63], np.uint64)), ValueError,
     "ids do not fit in int64: [9223372036854775808]"),
    (lambda: _filled().add(np.full((1, 128), 1e30)), ValueError,
     "X row 0 cannot be scaled to unit length: its sum of squares overflows or underflows"),
    (lambda: _filled().add(np.full((1, 128), 1e-30)), ValueError,
     "X row 0 cannot be scaled to unit length"),
    (lambda: _filled().search(np.ones((2, 3)), 5), ValueError,
     "Q has 3 columns; this index has 128 dims"),
    (lambda: _filled().search(np.zeros(128), 5), ValueError,
     "Q row 0 is zero; a cosine query needs a non-zero vector"),
    (lambda: _filled().search(np.ones(128), 0), ValueError, "k must be at least 1; got 0"),
    (lambda: _filled().search(np.ones(128), True), TypeError, "k must be an integer; got bool"),
    (lambda: _filled().search(np.ones(128), 2**63), ValueError,
     "k must be at most 2**63 - 1 (9223372036854775807); got 9223372036854775808"),
    (lambda: _filled().search(np.ones(128), 1, allow={0.5}), TypeError,
     "allow must be integers (int64)"),
    (lambda: _filled(ids=[0, 1, 2**63 - 1]).add(np.ones(128)), ValueError,
     "default ids for 1 rows would pass 2**63 - 1 (the next default id is "
     "9223372036854775808); pass ids explicitly"),
    (lambda: _filled().search([[np.inf] * 128], 1), ValueError,
     "Q has a non-finite value at row 0, column 0"),
    (lambda: _filled().search(np.ones(128), 1, allow=[0.5]), TypeError,
     "allow must be integers (int64)"),
    (lambda: _filled().remove(["a"]), TypeError, "ids must be integers (int64)"),
    (lambda: _filled().search(np.ones(128), 1, allow=lambda i: i > 1), TypeError,
     "allow must be ids, not a callable (function); pass the ids it accepts, e.g. "
     "allow=[i for i in ix.ids() if keep(i)], or one list of ids per query"),
    (lambda: _filled().search(np.ones((2, 128)), 1, allow=[1, [2]]), ValueError,
     "allow mixes ids with lists of ids; pass one list of ids for every query, or one entry "
     "per query (a list of ids or None)"),
    (lambda: _filled().search(np.ones(128), 1, allow=[[1], None]), ValueError,
     "allow has 2 entries for 1 query; pass one list of ids for every query, or one entry "
     "per query (a list of ids or None)"),
    (lambda: _filled().search(np.ones((2, 128)), 1, allow=np.zeros((3, 2), np.int64)),
     ValueError, "allow has 3 rows for 2 queries; pass one list of ids for every query"),
    (lambda: _filled().search(np.ones((2, 128)), 1, allow=[[1], [[2]]]), ValueError,
     "allow[1] must be a 1-D sequence of integers; got shape (1, 1)"),
    (lambda: _filled().search(np.ones((2, 128)), 1, allow=[None, {0.5}]), TypeError,
     "allow[1] must be integers (int64)"),
])
def test_failures_name_the_argument(call, error, message):
    with pytest.raises(error) as e:
        call()
    assert str(e.value).startswith(message)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("layout", ["default ids", "shuffled ids"])
def test_per_query_allow_lists_answer_as_single_searches(metric, layout):
    """Lists long and short (masks and positions), repeated (one object,
    equal copies), None and empty, ids removed or never added, k beyond a
    list's rows; the ids found by offset, or through the table of many."""
    rng = np.random.default_rng(7)
    n = 3000
    ids = np.arange(n) if layout == "default ids" else rng.permutation(4 * n)[:n]
    ix = Index(16, metric)
    ix.add(rng.integers(-3, 4, (n, 16)), ids=ids)  # small integers: many equal scores
    ix.remove(ids[::5])
    Q = rng.standard_normal((40, 16))
    lists = [rng.choice(4 * n, int(rng.integers(0, 900))) for _ in range(40)]
    lists[3], lists[4], lists[5], lists[6] = None, [], lists[7], list(lists[8])
    for form in (lists, tuple(lists)):
        got = ix.search(Q, 60, allow=form)
        for i, a in enumerate(lists):
            assert_same((got[0][i:i + 1], got[1][i:i + 1]), ix.search(Q[i], 60, allow=a))
    rows = rng.choice(ids, (40, 25))
    got = ix.search(Q, 30, allow=rows)
    for i in range(40):
        assert_same((got[0][i:i + 1], got[1][i:i + 1]), ix.search(Q[i], 30, allow=rows[i]))


@pytest.mark.parametrize("k, allow, asked", [
    (10**6, None, 37),  # beyond the live rows: only they are searched for
    (10**6, range(5, 10**6), 34),
    (10**6, {3, 4, 39, 70}, 2),  # 39 removed, 70 never added
    (4, {3, 4, 39, 70}, 2),
    (5, None, 5),
    (2**62 // 3, [], None),  # nothing to search: no search at all
])
def test_k_costs_only_the_padding(monkeypatch, k, allow, asked):
    """The search asks for min(k, rows it may return) places; the rest is
    padding, and results that cannot exist are refused before any work."""
    rng = np.random.default_rng(11)
    X = rng.integers(-2, 3, (40, 6)).astype(np.float32)  # many ties
    ix = Index(6, metric="dot")
    ix.add(X)
    ix.remove([0, 1, 39])
    live = np.setdiff1d(np.arange(40), [0, 1, 39])
    Q = rng.standard_normal((2, 6)).astype(np.float32)
    calls = []
    search = index_module._native.search
    monkeypatch.setattr(index_module._native, "search",
                        lambda runs, q, kk, *a: calls.append(kk) or search(runs, q, kk, *a))
    if asked is None:
        with pytest.raises(MemoryError, match=f"results of 2 queries for k={k}"):
            ix.search(Q, k, allow=allow)
        assert calls == []
        return
    got = ix.search(Q, k, allow=allow)
    assert calls == [asked]
    sel = live if allow is None else np.intersect1d(live, list(allow))
    want = oracle(X[sel], sel, Q, asked, "dot")
    assert got[0].shape == got[1].shape == (2, k)
    assert_same((got[0][:, :asked], got[1][:, :asked]), want)
    assert (got[1][:, asked:] == -1).all() and np.isneginf(got[0][:, asked:]).all()


@pytest.mark.parametrize("k", [2**62, 2**50, 2**63 - 1])
def test_results_that_cannot_be_allocated_raise_memory_error(k):
    if k == 2**50 and os.environ.get("LUMVO_SANITIZED"):
        pytest.skip("AddressSanitizer ends the process on an allocation this large")
    with pytest.raises(MemoryError, match=f"cannot allocate the results of 1 queries for k={k}"):
        _filled().search(np.ones(128), k)


@pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy"])
def test_copies_of_a_mapped_index_hold_their_rows(tmp_path, how):
    """A copy of an index loaded with mmap=True reads its rows into memory:
    it answers as the original did after the row file is gone, while the
    original reports the damage."""
    rng = np.random.default_rng(12)
    ix = Index(64, metric="euclidean")  # rows past the first page
    ix.add(rng.standard_normal((50, 64)), ids=np.arange(100, 150))
    ix.remove([100, 120])
    ix.save(tmp_path)
    loaded = Index.load(tmp_path, mmap=True)
    loaded.add(rng.standard_normal((3, 64)))
    Q = rng.standard_normal((4, 64))
    want = loaded.search(Q, 60, allow=range(110, 160))
    twin = {"pickle": lambda: pickle.loads(pickle.dumps(loaded)), "copy": lambda: copy.copy(loaded),
            "deepcopy": lambda: copy.deepcopy(loaded)}[how]()
    (rows,) = [p for p in os.listdir(tmp_path) if p.endswith(".index")]
    os.truncate(tmp_path / rows, 12)
    with pytest.raises(ValueError, match="changed while in use"):
        loaded.search(Q, 60)
    assert_same(twin.search(Q, 60, allow=range(110, 160)), want)
    assert twin.ids().tolist() == [i for i in range(101, 150) if i != 120] + [150, 151, 152]
    twin.add(np.zeros(64))
    assert twin.ids()[-1] == 153 and twin.get([153, 101]).tolist()[0] == [0.0] * 64


def test_failed_add_changes_nothing():
    ix = _filled(5)
    with pytest.raises(ValueError):
        ix.add(np.ones((2, 128)), ids=[9, 3])
    assert ix.ids().tolist() == [0, 1, 2, 3, 4]
    ix.add(np.ones((1, 128)))
    assert ix.ids().tolist() == [0, 1, 2, 3, 4, 5]


def test_empty_and_padded_results():
    ix = Index(2, metric="euclidean")
    scores, ids = ix.search([[1, 2], [3, 4]], 3)
    assert ids.tolist() == [[-1] * 3] * 2 and np.isposinf(scores).all()
    ix.add([[0, 0]])
    scores, ids = ix.search([1, 0], 3, allow=[0, 7])
    assert ids.tolist() == [[0, -1, -1]] and scores.tolist() == [[1.0, np.inf, np.inf]]
    assert ix.search([1, 0], 2, allow=[])[1].tolist() == [[-1, -1]]


_KEYS = {"rows": "row_file", "ids": "ids", "removed": "removed"}
NO_REMOVALS = "removed-" + "0" * 32 + "-0.npy"


def _listed(d, part):
    """The file the manifest lists for "rows", "ids" or "removed" of the first segment."""
    m = json.loads((d / "manifest.json").read_text())
    return m["segments"][0][_KEYS[part]]["file"]


def _edit_manifest(d, change):
    m = json.loads((d / "manifest.json").read_text())
    change(m)
    (d / "manifest.json").write_text(json.dumps(m))


def _rewrite(d, part, data):
    """Replaces a listed file's bytes (the first segment's removals: a new
    file when it has none) and its hash in the manifest: damage only the
    checks after the hash can find."""
    m = json.loads((d / "manifest.json").read_text())
    name = (m["segments"][0][_KEYS[part]] or {"file": NO_REMOVALS})["file"]
    (d / name).write_bytes(data)
    _edit_manifest(d, lambda m: m["segments"][0].update(
        {_KEYS[part]: {"file": name, "blake3": blake3_hex(data)}}))


def _npy(values, dtype="<i8"):
    buf = io.BytesIO()
    np.save(buf, np.asarray(values, dtype))
    return buf.getvalue()


def _link_out(d, part):
    name = _listed(d, part)
    os.replace(d / name, d.parent / name)
    os.symlink(d.parent / name, d / name)


def _replace_by_fifo(d, name):
    os.unlink(d / name)
    os.mkfifo(d / name)


def _huge_manifest(d):
    with open(d / "manifest.json", "wb") as f:
        f.write(b"{")
        f.truncate(400 << 20)  # sparse: costs no disk


def _listed_twice(d, times):
    def change(m):
        m["segments"] = m["segments"] * times
        m["rows"] *= times
    _edit_manifest(d, change)


def _hard_link_as_removed(d):
    os.link(d / _listed(d, "ids"), d / NO_REMOVALS)
    m = json.loads((d / "manifest.json").read_text())
    _edit_manifest(d, lambda m2: m2["segments"][0].update(
        removed={"file": NO_REMOVALS, "blake3": m["segments"][0]["ids"]["blake3"]}))


def _set(key, value, entry=None):
    def change(m):
        (m if entry is None else m["segments"][0] if entry == "segments"
         else m["segments"][0][entry])[key] = value
    return lambda d: _edit_manifest(d, change)


def _grown(d):
    """A second segment (2 rows) saved after the first (3 rows)."""
    ix = Index.load(d)
    ix.add(np.ones((2, 128)), ids=[7, 8])
    ix.save(d)


def _kept_version(damage):
    """A second version saved, then the first one's manifest damaged; the
    load asks for version 1."""
    def prepare(d):
        Index.load(d).save(d)
        damage(d, d / "manifest-1.json")
        return ("version", 1)
    return prepare


def _link_out_file(d, path):
    os.replace(path, d.parent / path.name)
    os.symlink(d.parent / path.name, path)


ISOLATED_LOAD = r"""
import os, resource, sys
from lumvero_contrib import Index
if not os.environ.get("LUMVO_SANITIZED"):  # a regression fails on memory instead of swapping
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * 4096 + (1 << 30)
    resource.setrlimit(resource.RLIMIT_AS, (size, size))
try:
    Index.load(sys.argv[1])
    print("loaded")
except Exception as e:
    print(type(e).__name__, e)
"""

ROWS = r"rows-[0-9a-f]{32}-0\.index"
M = r"manifest\.json: "


# Cases marked True could block (a pipe) or read until memory runs out (a
# device, a huge manifest, one file mapped 30,000 times) in a regression:
# they run in a child with a timeout and a memory limit.
@pytest.mark.parametrize("damage, message, isolated", [
    (lambda d: open(d / _listed(d, "rows"), "r+b").write(b"x"),
     f"{ROWS} does not match its BLAKE3 hash", False),
    (lambda d: os.unlink(d / _listed(d, "ids")), r"ids-[0-9a-f]{32}-0\.npy is missing", False),
    (lambda d: _replace_by_fifo(d, "manifest.json"),
     r"manifest\.json: is not a regular file \(a named pipe\)", True),
    (lambda d: (os.unlink(d / "manifest.json"), os.symlink("/dev/zero", d / "manifest.json")),
     r"manifest\.json lies outside the directory", True),
    (_huge_manifest, r"manifest\.json is larger than 16 MiB", True),
    (lambda d: _link_out(d, "rows"), f"{ROWS} lies outside the directory", False),
    (lambda d: _link_out(d, "ids"), r"ids-[0-9a-f]{32}-0\.npy lies outside the directory", False),
    (lambda d: _replace_by_fifo(d, _listed(d, "rows")),
     f"{ROWS} is not a regular file \\(a named pipe\\)", True),
    (lambda d: _listed_twice(d, 30000), f"{M}{ROWS} is listed more than once", True),
    (lambda d: _listed_twice(d, 2), f"{M}{ROWS} is listed more than once", False),
    (_hard_link_as_removed, r"removed-0{32}-0\.npy is the same file as another", False),
    (_set("dims", "128"), M + "dims '128' is not an integer", False),
    (_set("dims", 128.9), M + r"dims 128\.9 is not an integer", False),
    (_set("dims", True), M + "dims True is not an integer", False),
    (_set("version", True), r"manifest\.json has version True", False),
    (_set("version", 4), r"manifest\.json has version 4; this version of lumvero_contrib reads "
                         r"versions 1 to 3", False),
    (_set("index_version", 0), M + "index_version 0 is not an integer from 1", False),
    (_set("index_version", "2"), M + "index_version '2' is not an integer from 1", False),
    (_kept_version(lambda d, p: _link_out_file(d, p)), r"manifest-1\.json lies outside the "
                                                       r"directory", False),
    (_kept_version(lambda d, p: (os.unlink(p), os.symlink("manifest-2.json", p))),
     r"manifest-1\.json is a symlink", False),
    (_kept_version(lambda d, p: shutil.copy(d / "manifest-2.json", p)),
     r"manifest-1\.json holds version 2, not 1", False),
    (_kept_version(lambda d, p: p.write_text(p.read_text().replace('"rows": 3', '"rows": 4', 1))),
     r"manifest-1\.json: the row files hold 3 rows, rows says 4", False),
    (_set("metric", 0), M + "metric 0 is not", False),
    (_set("rows", True, "segments"), M + r"segments\[0\] \(rows-.*\) rows True is not", False),
    (_set("rows", 2**64, "segments"), M + r"segments\[0\] .* rows 18446744073709551616", False),
    (_set("blake3", "AB" * 32, "ids"), M + r"segments\[0\]\.ids \(ids-.*\) has no valid blake3",
     False),
    (_set("file", "../ids.npy", "ids"), M + r"segments\[0\]\.ids names '\.\./ids\.npy', not a "
                                            r"file", False),
    (_set("file", "ids-" + "0" * 32 + ".npy", "ids"), M + r"segments\[0\]\.ids names "
                                                          r"'ids-0{32}\.npy', not a file", False),
    (_set("next_id", 1), M + r"next_id 1 is not above every stored id \(the largest is 2\)", False),
    (_set("next_id", 2), M + r"next_id 2 is not above every stored id \(the largest is 2\)", False),
    (_set("next_id", -5), M + "next_id -5 is not an integer from 0", False),
    (_set("next_id", -1), M + r"next_id -1 is not an integer from 0 to 2\*\*63", False),
    (_set("next_id", 2**64), M + r"next_id 18446744073709551616 is not an integer from 0 to "
                                 r"2\*\*63", False),
    (_set("rows", 2**40), M + "the row files hold 3 rows, rows says 1099511627776", False),
    (_set("rows", -1), M + "rows -1 is not an integer >= 0", False),
    (_set("next_id", "3"), M + "next_id '3' is not an integer", False),
    (lambda d: (d / "manifest.json").write_text("[" * 100000 + "]" * 100000),
     r"manifest\.json is not valid JSON", False),
    (lambda d: (d / "manifest.json").write_bytes(b"\xff{}"), r"manifest\.json is not valid JSON",
     False),
    (lambda d: (d / "manifest.json").write_text("[]"), r"manifest\.json is not an Index manifest",
     False),
    (lambda d: _rewrite(d, "ids", b"\x93NUMPY\x01\x00\x10\x00{'descr': ((((("),
     r"ids-.*\.npy is not a NumPy \.npy file", False),
    (lambda d: _rewrite(d, "ids", _npy([0, 1, 2], "<f8")), r"ids-.*\.npy holds float64", False),
    (lambda d: _rewrite(d, "ids", _npy([0, 1, 2])[:-3]),
     r"ids-.*\.npy does not hold the 3 values its header says", False),
    (lambda d: _rewrite(d, "ids", _npy([0, 1, 1])), r"ids-.*\.npy: live ids are repeated", False),
    (lambda d: _rewrite(d, "ids", _npy([0, -1, 1])), r"ids-.*\.npy: ids are negative", False),
    (lambda d: (_grown(d), _rewrite(d, "removed", _npy([3]))),
     r"removed-.*\.npy: the removed rows are not increasing positions of its segment's 3 rows",
     False),
    (lambda d: _rewrite(d, "removed", _npy([2, 1])),
     r"removed-.*\.npy: the removed rows are not increasing positions", False),
    (lambda d: _rewrite(d, "rows", struct.pack("<III", 3, 128, 0) + bytes(3 * 128 * 4)),
     f"{ROWS} does not hold 3 rows of 128 dims of metric cosine", False),
])
def test_load_refuses_damaged_directories(tmp_path, damage, message, isolated):
    d = tmp_path / "ix"
    _filled().save(d)
    got = damage(d)
    version = got[1] if isinstance(got, tuple) and got[:1] == ("version",) else None
    want = f"index directory {d}: {message}|{d}/{message}"
    if not isolated:
        for mmap in (True, False):
            with pytest.raises(ValueError, match=want):
                Index.load(d, mmap=mmap, version=version)
        return
    r = subprocess.run([sys.executable, "-c", ISOLATED_LOAD, str(d)], capture_output=True,
                       text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert re.match(f"ValueError ({want})", r.stdout), r.stdout


def _new_files(d, save):
    """The names a save into d added and removed, with each file's bytes
    unchanged where its name stayed."""
    before = {p: (d / p).read_bytes() for p in os.listdir(d)} if d.exists() else {}
    save()
    after = set(os.listdir(d))
    for p in after & set(before) - {"manifest.json"}:
        assert (d / p).read_bytes() == before[p], p
    return after - set(before), set(before) - after


def _names(token_names):
    """Names with their 32-hex token replaced by T."""
    return {re.sub("[0-9a-f]{32}", "T", p) for p in token_names}


@pytest.mark.parametrize("mmap", [None, True, False])  # None: the index that saved
def test_a_save_into_the_same_directory_writes_only_what_changed(tmp_path, mmap):
    """Rows added since the last save become one new segment per run they
    went to; only the segments whose removals changed get a new removal
    file; the manifests; nothing else is written."""
    rng = np.random.default_rng(4)
    d = tmp_path / "ix"
    ix = Index(16, metric="dot")
    ix.add(rng.standard_normal((300, 16)))
    ix.save(d)
    if mmap is not None:
        ix = Index.load(d, mmap=mmap)
    ix.add(rng.standard_normal((10, 16)))  # into the run's spare room, or a new run
    ix.add(rng.standard_normal((5000, 16)))  # a new run
    ix.remove([3, 305])
    added, gone = _new_files(d, lambda: ix.save(d))
    assert _names(added) == {"manifest-2.json", "removed-T-0.npy", "removed-T-1.npy"} | {
        f"{kind}-T-{i}.{ext}" for i in (1, 2) for kind, ext in
        (("rows", "index"), ("codes", "codes"), ("ids", "npy"))} and gone == set()
    ref = Index(16, metric="dot")
    ref.add(np.concatenate([ix.get(ix.ids())]), ids=ix.ids())
    Q = rng.standard_normal((3, 16))
    # Nothing changed: the manifests only; a removal in one segment: its file only.
    added, gone = _new_files(d, lambda: ix.save(d))
    assert _names(added) == {"manifest-3.json"} and gone == {"manifest-1.json"}
    ix.remove([5200])
    added, gone = _new_files(d, lambda: ix.save(d))
    assert _names(added) == {"manifest-4.json", "removed-T-2.npy"}
    assert _names(gone) == {"manifest-2.json"}
    assert Index.versions(d) == [3, 4]
    assert_same(Index.load(d, version=3).search(Q, 9), ref.search(Q, 9))
    ref.remove([5200])
    assert_same(Index.load(d).search(Q, 9), ref.search(Q, 9))
    # compact keeps runs with few removed rows, and the save their segments.
    ix.compact()
    added, gone = _new_files(d, lambda: ix.save(d))
    assert _names(added) == {"manifest-5.json"} and _names(gone) == {"manifest-3.json"}
    # A tenth of the first run removed: compact rewrites it, and the save
    # writes its live rows as segment 0 and keeps the segments after it. A
    # loaded index's first run is the 300 rows of segment 0: all removed, it
    # is dropped, and the next segment's removals get a new file.
    ix.remove(range(410))
    ref.remove(range(410))
    ix.compact()
    added, _ = _new_files(d, lambda: ix.save(d))
    assert _names(added) == {"manifest-6.json"} | (
        {"rows-T-0.index", "codes-T-0.codes", "ids-T-0.npy"} if mmap is None
        else {"removed-T-0.npy"})
    assert_same(Index.load(d).search(Q, 9), ref.search(Q, 9))
    assert_same(ix.search(Q, 9), ref.search(Q, 9))
    # A copy writes everything.
    for writer in (copy.copy(ix), pickle.loads(pickle.dumps(ix))):
        added, _ = _new_files(d, lambda: writer.save(d))
        assert _names(added) >= {"rows-T-0.index", "codes-T-0.codes", "ids-T-0.npy"}
    assert_same(Index.load(d).search(Q, 9), ref.search(Q, 9))


def test_a_save_after_other_saves_writes_everything(tmp_path):
    """An index whose directory was saved to by another since it last saw it
    (here: until none of its files are left) writes every file again."""
    rng = np.random.default_rng(2)
    d = tmp_path / "ix"
    ix = Index(8, metric="cosine")
    ix.add(rng.standard_normal((50, 8)))
    ix.save(d)
    other = Index.load(d)
    other.remove([1])
    other.compact()
    for _ in range(2):
        other.save(d)
    ix.add(rng.standard_normal((5, 8)))
    added, _ = _new_files(d, lambda: ix.save(d))
    assert _names(added) == {"rows-T-0.index", "codes-T-0.codes", "ids-T-0.npy",
                             "manifest-4.json"}
    Q = rng.standard_normal((2, 8))
    assert_same(Index.load(d).search(Q, 60), ix.search(Q, 60))


def test_a_version_1_directory_loads_and_saves_into_version_2(tmp_path):
    """A directory as a lumvero_contrib writing format version 1 left it is
    version 0; a save into it from the index loaded from it keeps its row
    and codes files, writes ids and removals per segment, keeps its manifest
    as manifest-0.json, and the next save drops what only version 0 named."""
    rng = np.random.default_rng(6)
    d = tmp_path / "ix"
    ix = Index(24, metric="euclidean")
    ix.add(rng.standard_normal((100, 24)), ids=np.arange(100) * 3)
    ix.add(rng.standard_normal((5000, 24)))
    ix.remove([6, 300])
    ix.save(d)
    _as_version_1(d)
    old = json.loads((d / "manifest.json").read_text())
    assert old["version"] == 1 and Index.versions(d) == [0]
    Q = rng.standard_normal((4, 24))
    want_old = ix.search(Q, 12)
    for mmap in (True, False):
        assert_same(Index.load(d, mmap=mmap).search(Q, 12), want_old)
        assert_same(Index.load(d, mmap=mmap, version=0).search(Q, 12), want_old)
    loaded = Index.load(d)
    loaded.add(rng.standard_normal((7, 24)))
    loaded.remove([9, 5001])
    ix.add(loaded.get(loaded.ids()[-7:]))
    ix.remove([9, 5001])
    added, gone = _new_files(d, lambda: loaded.save(d))
    assert gone == set()
    assert _names(added) == {"manifest-0.json", "manifest-1.json", "ids-T-0.npy", "ids-T-1.npy",
                             "removed-T-0.npy", "removed-T-1.npy", "rows-T-2.index",
                             "codes-T-2.codes", "ids-T-2.npy"}
    assert (d / "manifest-0.json").read_text() == json.dumps(old, indent=1) + "\n"
    assert Index.versions(d) == [0, 1]
    assert json.loads((d / "manifest.json").read_text())["version"] == 2
    assert_same(Index.load(d, version=0).search(Q, 12), want_old)
    assert_same(Index.load(d).search(Q, 12), ix.search(Q, 12))
    added, gone = _new_files(d, lambda: loaded.save(d))
    assert _names(added) == {"manifest-2.json"}
    assert gone == {"manifest-0.json", old["ids"]["file"], old["removed"]["file"]}
    assert_same(Index.load(d, version=1).search(Q, 12), ix.search(Q, 12))
    with pytest.raises(ValueError, match=re.escape(f"index directory {d}: version 0 is not kept "
                                                   f"(kept: [1, 2])")):
        Index.load(d, version=0)
    with pytest.raises(TypeError, match="version must be an int or None; got str"):
        Index.load(d, version="1")


def test_an_index_holding_the_largest_id_saves_and_loads(tmp_path):
    """Its next_id is 2**63, one past int64: the one value past it a manifest
    may hold."""
    _filled(ids=[0, 1, 2**63 - 1]).save(tmp_path)
    assert json.loads((tmp_path / "manifest.json").read_text())["next_id"] == 2**63
    assert Index.load(tmp_path).ids().tolist() == [0, 1, 2**63 - 1]


def test_compact_keeps_mapped_runs_mapped_and_checked(tmp_path, monkeypatch):
    """compact rewrites the second segment (a tenth of it removed) and keeps
    the first as it is: mapped, answering as one Index, its row blocks still
    checked on their first read."""
    rng = np.random.default_rng(12)
    X = rng.standard_normal((600, 16)).astype(np.float32)
    ix = Index(16, metric="dot")
    ix.add(X[:300])
    ix.save(tmp_path)
    ix.add(X[300:])
    ix.save(tmp_path)
    ix.remove(range(300, 330))
    Q = rng.standard_normal((3, 16))
    compacted = []
    for _ in range(2):
        compacted.append(Index.load(tmp_path, mmap=True))
        compacted[-1].remove(range(300, 330))
        compacted[-1].compact()
    assert_same(compacted[0].search(Q, 9), ix.search(Q, 9))
    loaded = compacted[1]  # none of its blocks read yet
    first = json.loads((tmp_path / "manifest.json").read_text())["segments"][0]["row_file"]
    with open(tmp_path / first["file"], "r+b") as f:  # a row of the kept run, edited in place
        f.seek(12 + 4 * 16 * 5)
        f.write(np.float32(7.0).tobytes())
    monkeypatch.setenv("LUMVO_FILTER", "off")
    with pytest.raises(ValueError, match=f"row file {first['file']} in .* changed since it was "
                                         f"saved \\(block 0\\)"):
        loaded.search(Q, 9)


def test_mapped_rows_shortened_under_a_loaded_index_raise(tmp_path):
    # Another process truncates a row file the loaded index maps: an error
    # naming the file, not a SIGBUS that ends the process.
    ix = _filled(n=40)  # rows past the first page of the file
    ix.save(tmp_path)
    loaded = Index.load(tmp_path, mmap=True)
    loaded.remove(range(4))  # a tenth of the rows: compact copies the rest
    rows = next(p for p in os.listdir(tmp_path) if p.endswith(".index"))
    os.truncate(tmp_path / rows, 12)
    for call in (lambda: loaded.search(np.ones(loaded.dims), 3), loaded.compact):
        with pytest.raises(ValueError, match=f"row file .*{rows} changed while in use"):
            call()


LIMITED_CHILD = r"""
import resource, sys
import numpy as np
from lumvero_contrib import Index
rng = np.random.default_rng(3)
ix = Index(128, metric=sys.argv[1])
ix.add(rng.standard_normal((60000, 128)))
if sys.argv[2] == "limited":  # no room for BLAS's buffers before the first search
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * 4096 + (4 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (size, size))
scores, ids = ix.search(rng.standard_normal((64, 128)), 5)
sys.stdout.write(scores.tobytes().hex() + " " + ids.tobytes().hex())
"""


@pytest.mark.skipif(bool(os.environ.get("LUMVO_SANITIZED")),
                    reason="the sanitizer runtime reserves address space of its own")
@pytest.mark.parametrize("metric", ["dot", "euclidean"])
def test_batch_search_under_an_address_space_limit(metric):
    # Without room for BLAS's buffers the sgemm tiles hold the kernel's own
    # scores: the answer keeps the same rows and bits.
    def run(mode):
        r = subprocess.run([sys.executable, "-c", LIMITED_CHILD, metric, mode],
                           capture_output=True, text=True, timeout=120,
                           env={**os.environ, "LUMVO_THREADS": "2"})
        assert r.returncode == 0, r.stderr
        return r.stdout
    assert run("limited") == run("free")


def test_load_without_manifest(tmp_path):
    with pytest.raises(FileNotFoundError):
        Index.load(tmp_path)


CRASH_CHILD = r"""
import os, signal, sys
import numpy as np
from lumvero_contrib import Index
path, kill_at = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(5)
ix = Index(8, metric="dot")
ix.add(rng.standard_normal((50, 8)))
ix.save(path)
ix.add(rng.standard_normal((20, 8)), ids=np.arange(1000, 1020))
ix.remove([3, 4, 5])
calls = [0]
def hooked(fn):
    def call(*a, **kw):
        calls[0] += 1
        if calls[0] == kill_at:
            os.kill(os.getpid(), signal.SIGKILL)
        return fn(*a, **kw)
    return call
os.fsync, os.replace, os.unlink = hooked(os.fsync), hooked(os.replace), hooked(os.unlink)
ix.save(path)
print(calls[0])
"""


def test_sigkill_during_save_leaves_old_or_new_state(tmp_path):
    rng = np.random.default_rng(5)
    X = rng.standard_normal((50, 8))
    old = Index(8, metric="dot")
    old.add(X)
    new = Index(8, metric="dot")
    new.add(np.concatenate([X, rng.standard_normal((20, 8))]),
            ids=np.concatenate([np.arange(50), np.arange(1000, 1020)]))
    new.remove([3, 4, 5])
    Q = np.random.default_rng(9).standard_normal((4, 8))
    states = {"old": old.search(Q, 6), "new": new.search(Q, 6)}
    seen = set()
    kill_at = 1
    while True:
        d = tmp_path / f"s{kill_at}"
        r = subprocess.run([sys.executable, "-c", CRASH_CHILD, str(d), str(kill_at)],
                           capture_output=True, text=True, timeout=120)
        finished = r.returncode == 0
        assert finished or r.returncode == -signal.SIGKILL, r.stderr
        got = Index.load(d).search(Q, 6)
        match = [name for name, want in states.items()
                 if got[1].tolist() == want[1].tolist()
                 and got[0].view(np.uint32).tolist() == want[0].view(np.uint32).tolist()]
        assert match, f"killed at call {kill_at}: neither state"
        seen.add(match[0])
        if finished:
            assert match == ["new"]
            # The first save's segment (rows, codes, ids), the second's
            # (rows, codes, ids) and the first's new removals, the two
            # versions' manifests, manifest.json and the save lock.
            assert len(os.listdir(d)) == 11 and (d / "save.lock").is_file()
            break
        kill_at += 1
    assert seen == {"old", "new"} and kill_at > 4


def test_package_exports_index():
    assert "Index" in lumvero_contrib.__all__ and lumvero_contrib.Index is Index


def test_importing_from_the_source_tree_says_where_to_run(tmp_path):
    """Python started in a checkout finds the checkout's lumvero_contrib, which
    has no compiled part, before the installed one."""
    tree = tmp_path / "checkout"
    shutil.copytree(os.path.dirname(lumvero_contrib.__file__), tree / "lumvero_contrib",
                    ignore=shutil.ignore_patterns("_native.*.so", "__pycache__"))
    r = subprocess.run([sys.executable, "-c", "import lumvero_contrib"], cwd=tree,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert r.stderr.strip().splitlines()[-1] == (
        f"ImportError: lumvero_contrib was imported from {tree / 'lumvero_contrib'}, a source "
        f"tree without its compiled part (_native); run Python from another directory to use "
        f"the installed lumvero_contrib")


def test_docstring_examples_hold():
    import doctest
    assert doctest.testmod(index_module).failed == 0


def test_searches_run_alongside_writers():
    """Searches from several threads while rows are appended (all far from
    the queries, so no answer changes), removed and restored, and compacted:
    every answer is the one of the unchanged rows."""
    import threading
    rng = np.random.default_rng(3)
    X = rng.standard_normal((20000, 32)).astype(np.float32)
    Q = rng.standard_normal((3, 32)).astype(np.float32)
    ix = Index(32, metric="euclidean")
    ix.add(X)
    want = ix.search(Q, 5)
    stop = threading.Event()
    errors = []

    def searcher():
        while not stop.is_set():
            got = ix.search(Q, 5)
            if not (np.array_equal(got[1], want[1]) and got[0].tobytes() == want[0].tobytes()):
                errors.append(got)

    threads = [threading.Thread(target=searcher) for _ in range(3)]
    for t in threads:
        t.start()
    for i in range(30):
        ix.add(np.full((50, 32), 1e6, np.float32))
        far = ix.ids()[-25:]
        ix.remove(far)
        if i % 10 == 9:
            ix.compact()
    stop.set()
    for t in threads:
        t.join()
    assert not errors


@pytest.mark.parametrize("runs, message", [
    ([(np.zeros((2, 4), np.float32), np.zeros(2), 2, 2**64 - 1, None)], "below 2\\*\\*63"),
    ([(np.zeros((2, 4), np.float32), np.zeros(2), 2, 4, None),
      (np.zeros((2, 4), np.float32), np.zeros(2), 2, 5, None)], "non-overlapping"),
    ([(np.zeros((2, 4), np.float32), np.zeros(2), 3, 0, None)], "count exceeds"),
])
def test_native_search_rejects_malformed_runs(runs, message):
    from lumvero_contrib import _native
    with pytest.raises(ValueError, match=message):
        _native.search(runs, np.zeros((1, 4), np.float32), 1, 1, None, None)



def _two_runs():
    """Positions 0-2 (a buffer of 4 rows, 3 used) and 5-7."""
    from lumvero_contrib import _native
    rng = np.random.default_rng(8)
    A = rng.standard_normal((4, 4)).astype(np.float32)
    B = rng.standard_normal((3, 4)).astype(np.float32)
    return [(A, _native.row_norms_sq(A), 3, 0, None), (B, _native.row_norms_sq(B), 3, 5, None)]


@pytest.mark.parametrize("allowed", [
    [0, 1, 1, 5], [6, 6], [5, 5, 7],  # repeated
    [5, 1], [0, 2, 1], [6, 7, 5],  # decreasing
    [-1, 0], [0, -3], [-(2**63)],  # negative
    [3], [2, 4], [8], [0, 2**63 - 1],  # past a run's rows, between the runs, past the last
], ids=str)
def test_native_search_rejects_allowed_positions_out_of_order_or_outside(allowed):
    from lumvero_contrib import _native
    q = np.ones((1, 4), np.float32)
    with pytest.raises(ValueError) as e:
        _native.search(_two_runs(), q, 6, 1, None, np.array(allowed, np.int64))
    assert str(e.value) == "allowed must be increasing positions inside the runs"


def test_native_search_returns_each_allowed_position_once():
    from lumvero_contrib import _native
    runs = _two_runs()
    rows = np.concatenate([runs[0][0][:3], runs[1][0]])
    positions = np.array([0, 1, 2, 5, 6, 7])
    q = np.array([[1, -2, 0.5, 3]], np.float32)
    for allowed in ([0, 2, 5, 7], [1, 6], [0, 1, 2, 5, 6, 7]):
        keep = np.isin(positions, allowed)
        idx, want = topk_oracle(dot_layout(rows[keep], q[0]), 6, "dot")
        scores, got = _native.search(runs, q, 6, 1, None, np.array(allowed, np.int64))
        assert got[0].tolist() == positions[keep][idx].tolist() + [-1] * (6 - len(allowed))
        assert scores[0, :len(allowed)].view(np.uint32).tolist() == want.view(np.uint32).tolist()


# -- codes files beside the row files ------------------------------------------

def _codes_name(d, i=0):
    return json.loads((d / "manifest.json").read_text())["segments"][i]["codes_file"]["file"]


def _as_version_1(d, codes=True):
    """The directory as a lumvero_contrib writing format version 1 left it:
    one ids file and one removals file for all row files, no kept versions'
    manifests; without codes files when codes is False, as before them."""
    m = json.loads((d / "manifest.json").read_text())
    segments = m.pop("segments")
    ids, removed, first = [], [], 0
    for seg in segments:
        ids.append(np.load(d / seg["ids"]["file"]))
        if seg["removed"] is not None:
            removed.append(first + np.load(d / seg["removed"]["file"]))
        first += seg["rows"]
        for key in ("ids", "removed") + (() if codes else ("codes_file",)):
            if seg[key] is not None:
                os.unlink(d / seg[key]["file"])
    files = {}
    for key, values in (("ids", ids), ("removed", removed)):
        data = _npy(np.concatenate(values) if values else np.zeros(0, np.int64))
        name = f"{key}-{'7' * 32}.npy"
        (d / name).write_bytes(data)
        files[key] = {"file": name, "blake3": blake3_hex(data)}
    for name in os.listdir(d):
        if re.fullmatch(r"manifest-\d+\.json", name):
            os.unlink(d / name)
    m.pop("index_version")
    m.update(version=1, row_files=[dict(s["row_file"], rows=s["rows"]) for s in segments],
             **files)
    if codes:
        m["codes_files"] = [s["codes_file"] for s in segments]
    (d / "manifest.json").write_text(json.dumps(m, indent=1) + "\n")


def _rewrite_codes(d, change, i=0):
    """Replaces a codes file's bytes and its hash: damage only the checks
    after the hash can find."""
    name = _codes_name(d, i)
    data = change(bytearray((d / name).read_bytes()))
    (d / name).write_bytes(data)
    _edit_manifest(d, lambda m: m["segments"][i]["codes_file"].update(
        blake3=blake3_hex(bytes(data))))


def _scales_at(b):
    """Where a codes file's scales start, and its rows (header at 0: u64 rows
    at 24, u32 stripes at 36; norms at 128, then 24 bytes of bounds a stripe)."""
    rows, = struct.unpack_from("<Q", b, 24)
    stripes, = struct.unpack_from("<I", b, 36)
    return 128 + 8 * rows + 24 * stripes, rows


def _rescaled(b):
    at, rows = _scales_at(b)
    scales = np.frombuffer(bytes(b[at: at + 4 * rows]), np.float32) * np.float32(2)
    return b[:at] + scales.tobytes() + b[at + 4 * rows:]


def _codes_as_version_1(b):
    """The same codes in the layout of version 1: a 64-byte header without
    the row file's hash, the sections after it, codes at a multiple of 64."""
    at, rows = _scales_at(b)
    width, = struct.unpack_from("<I", b, 20)
    old = b[:8] + struct.pack("<II", 1, 64) + b[16:40] + bytes(24) + b[128: at + 4 * rows]
    return old + bytes(-len(old) % 64) + b[len(b) - rows * width:]


def _codes_as_version_2(b):
    """The same codes in the layout of version 2, as saved before sum
    blocks: zeros from byte 72 of the header, the file ending with the
    codes."""
    at, rows = _scales_at(b)
    width, = struct.unpack_from("<I", b, 20)
    codes_at = at + 4 * rows + (-(at + 4 * rows) % 64)
    return b[:8] + struct.pack("<I", 2) + b[12:72] + bytes(56) + b[128: codes_at + rows * width]


def _every_codes_file_version_2(d):
    for i in (0, 1):
        _rewrite_codes(d, _codes_as_version_2, i)


def _swap_codes(d):
    """The two codes files' entries swapped, every hash still valid."""
    def swap(m):
        a, b = m["segments"]
        a["codes_file"], b["codes_file"] = b["codes_file"], a["codes_file"]
    _edit_manifest(d, swap)
    return [0, 1]


def _codes_of_another_index(d):
    """The first codes file replaced by the codes of another index of the
    same shape and metric, its hash updated."""
    other = Index(48, metric=json.loads((d / "manifest.json").read_text())["metric"])
    other.add(np.random.default_rng(11).standard_normal((4096, 48)))
    other.save(d.parent / "other")
    _rewrite_codes(d, lambda b: (d.parent / "other" / _codes_name(d.parent / "other")).read_bytes())


def _every_codes_file_version_1(d):
    for i in (0, 1):
        _rewrite_codes(d, _codes_as_version_1, i)
    return [0, 1]


def _flip_byte(d, name, at):
    with open(d / name, "r+b") as f:
        f.seek(at)
        b = f.read(1)
        f.seek(at)
        f.write(bytes([b[0] ^ 0x40]))


CODES_STATES = {
    "present": (lambda d: None, None),
    "old directory": (lambda d: _as_version_1(d, codes=False), None),
    "version 2": (_every_codes_file_version_2, None),
    "missing": (lambda d: os.unlink(d / _codes_name(d)), "is missing"),
    "hash mismatch": (lambda d: _flip_byte(d, _codes_name(d), 200),
                      "does not match its BLAKE3 hash"),
    "shorter": (lambda d: _rewrite_codes(d, lambda b: b[:-1]), "bytes long, not"),
    "other version": (lambda d: _rewrite_codes(d, lambda b: b[:8] + b"\x04" + b[9:]),
                      "has version 4; this version reads 2 and 3"),
    "sum block size": (lambda d: _rewrite_codes(d, lambda b: b[:74] + b"\x02" + b[75:]),
                       "has sum blocks of 131072 bytes; this version reads 65536"),
    "sum block count": (lambda d: _rewrite_codes(d, lambda b: b[:80] + b"\x07" + b[81:]),
                        "header that does not describe"),
    "version 1": (_every_codes_file_version_1,
                  "has version 1, which does not name the rows it was made from"),
    "swapped": (_swap_codes, "is not the codes of its row file (it was made from rows of "
                             "another BLAKE3 hash)"),
    "of another index": (_codes_of_another_index, "is not the codes of its row file (it was made "
                                                  "from rows of another BLAKE3 hash)"),
    # Header and hash as saved: only a comparison with the rows finds it, at
    # load with mmap=False, by verify() with mmap=True.
    "rescaled": (lambda d: _rewrite_codes(d, _rescaled),
                 "is not the codes of its row file: its codes, scales, bounds or norms differ"),
    "other dims": (lambda d: _rewrite_codes(d, lambda b: b[:16] + b"\x07" + b[17:]),
                   "header that does not describe"),
    "not codes": (lambda d: _rewrite_codes(d, lambda b: b"X" + b[1:]), "is not a codes file"),
    "negative bound": (lambda d: _rewrite_codes(
        d, lambda b: b[:128 + 8 * 4096] + struct.pack("<d", -1.0) + b[128 + 8 * 4097:]),
        "bounds that are negative"),
}


@pytest.mark.parametrize("state", list(CODES_STATES))
@pytest.mark.parametrize("metric", METRICS)
def test_loaded_codes_answer_as_the_index_in_memory(tmp_path, monkeypatch, state, metric):
    """Codes read from disk, built again for a missing, damaged, older or
    foreign file (with a warning naming it and its row file), or built lazily
    for a directory saved before codes files: answers, score bits and search
    counts as the in-memory Index's, the pre-filter on and off, single and
    batch, with and without an allow-list. Two row files of 4096 rows each:
    codes of the one fit the shape of the other."""
    rng = np.random.default_rng(5)
    X = (rng.standard_normal((8192, 48)) + 0.3).astype(np.float32)
    ix = Index(48, metric=metric)
    ix.add(X[:4096])
    ix.add(X[4096:])
    ix.remove(list(range(0, 8192, 7)))
    d = tmp_path / "ix"
    ix.save(d)
    files = json.loads((d / "manifest.json").read_text())
    row_files = [s["row_file"]["file"] for s in files["segments"]]
    assert [s["rows"] for s in files["segments"]] == [4096, 4096]
    damage, warned = CODES_STATES[state]
    damaged = damage(d) or [0]
    Q = rng.standard_normal((4, 48)).astype(np.float32)
    allow = rng.choice(8192, 900, replace=False)
    for mmap in (True, False):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            loaded = Index.load(d, mmap=mmap)
        messages = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
        # Each warning names the line that loaded, not lumvero_contrib's own.
        assert {w.filename for w in caught} <= {__file__}
        if warned is None or (state == "rescaled" and mmap):
            assert messages == []
        else:
            assert len(messages) == len(damaged)
            for i, message in zip(damaged, messages):
                assert _codes_name(d, i) in message and warned in message
                assert f"the rows of {row_files[i]} are read" in message
        if state == "rescaled" and mmap:
            with pytest.raises(ValueError, match=f"codes file .*{_codes_name(d)} is not the codes "
                                                 f"of row file .*{row_files[0]}"):
                loaded.verify()
            continue
        loaded.verify()
        for mode in ("off", "always"):
            monkeypatch.setenv("LUMVO_FILTER", mode)
            for q, a in ((Q, None), (Q[0], None), (Q, allow)):
                want_stats, got_stats = {}, {}
                want = ix.search(q, 10, allow=a, stats=want_stats)
                got = loaded.search(q, 10, allow=a, stats=got_stats)
                assert_same(got, want)
                assert got_stats == want_stats
                assert got_stats["prefiltered"] == (mode == "always")
    # Saving again writes codes bound to their rows: the next load uses them.
    loaded.save(tmp_path / "again")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        again = Index.load(tmp_path / "again", mmap=True)
    again.verify()
    assert_same(again.search(Q, 10), ix.search(Q, 10))


def test_codes_file_holds_the_copy_the_search_builds(tmp_path):
    """The saved codes file is the search's own quantisation of the rows, in
    the documented layout; a load maps those very bytes."""
    from lumvero_contrib import _native
    rng = np.random.default_rng(8)
    X = rng.standard_normal((700, 70)).astype(np.float32)
    ix = Index(70, metric="euclidean")
    ix.add(X)
    ix.save(tmp_path)
    name = _codes_name(tmp_path)
    data = (tmp_path / name).read_bytes()
    norms = _native.row_norms_sq(X)
    # The header names the row file's BLAKE3 (its 12-byte header and rows).
    made_from = bytes.fromhex(blake3_hex((tmp_path / _listed(tmp_path, "rows")).read_bytes()))
    assert data == b"".join(bytes(memoryview(b).cast("B")) if not isinstance(b, bytes) else b
                            for b in _native.codes_file(X, norms, made_from))
    runs = 3  # 700 rows in runs of 256
    width = 128  # 70 codes rounded up to the kernels' step
    blocks = 3  # 700 x 70 x 4 bytes of rows in sum blocks of 64 KiB
    assert data[:40] == (b"LVCODES\0" + struct.pack("<IIII", 3, 128, 70, width)
                         + struct.pack("<QII", 700, 256, runs))
    assert data[40:72] == made_from
    assert data[72:128] == struct.pack("<IIQ", 65536, 0, blocks) + bytes(40)
    assert np.frombuffer(data, np.float64, 700, 128).tobytes() == norms.tobytes()
    codes_at = -(-(128 + 8 * 700 + 24 * runs + 4 * 700) // 64) * 64
    sums_at = -(-(codes_at + 700 * width) // 64) * 64
    assert len(data) == sums_at + 32 * blocks
    assert data[codes_at + 700 * width: sums_at] == bytes(sums_at - codes_at - 700 * width)
    # Each sum is the BLAKE3 of 64 KiB of the row file's rows (from byte 12).
    row_bytes = (tmp_path / _listed(tmp_path, "rows")).read_bytes()[12:]
    assert [data[sums_at + 32 * i: sums_at + 32 * i + 32].hex() for i in range(blocks)] == \
        [blake3_hex(row_bytes[i << 16: (i + 1) << 16]) for i in range(blocks)]
    codes = np.frombuffer(data, np.uint8, 700 * width, codes_at).reshape(700, width)
    scales = np.frombuffer(data, np.float32, 700, 128 + 8 * 700 + 24 * runs)
    # Codes c + 128 with |x - s c| within half a step; padding codes are 0.
    c = codes.astype(np.float64) - 128
    assert (codes[:, 70:] == 128).all()
    assert (np.abs(X - scales[:, None] * c[:, :70]) <= scales[:, None] * 0.5001).all()
    _, norms_mapped, whole = _native.map_codes(str(tmp_path / name), 700, 70, made_from)
    assert whole.tobytes() == data and norms_mapped.tobytes() == norms.tobytes()
    with pytest.raises(ValueError, match="made_from must be the row file's 32-byte BLAKE3"):
        _native.map_codes(str(tmp_path / name), 700, 70, made_from[:31])


def test_mapped_rows_are_hashed_by_verify(tmp_path):
    """With codes files, mmap=True checks row files by size and header only;
    verify() hashes them. mmap=False still hashes everything at load."""
    ix = _filled(n=40)
    ix.save(tmp_path)
    rows = _listed(tmp_path, "rows")
    assert Index.load(tmp_path, mmap=True).verify() is None
    _flip_byte(tmp_path, rows, 12 + 4 * 128 * 30)  # a value of row 30
    loaded = Index.load(tmp_path, mmap=True)
    with pytest.raises(ValueError, match=f"row file .*{rows} does not match its BLAKE3 hash"):
        loaded.verify()
    with pytest.raises(ValueError, match=f"{rows} does not match its BLAKE3 hash"):
        Index.load(tmp_path, mmap=False)
    os.truncate(tmp_path / rows, 12 + 4 * 128 * 20)
    with pytest.raises(ValueError, match=f"{rows} does not hold 40 rows"):
        Index.load(tmp_path, mmap=True)


def _edited_in_place(tmp_path, dims=48, n=60000):
    """A saved index of n rows whose row file then has row 30000 rewritten
    in place (the 30000 x 48 x 4 bytes before it: sum block 87), the query
    the edited row would answer first, and the row as saved."""
    rng = np.random.default_rng(21)
    X = rng.standard_normal((n, dims)).astype(np.float32)
    ix = Index(dims, metric="dot")
    ix.add(X)
    ix.save(tmp_path)
    q = rng.standard_normal(dims).astype(np.float32)
    with open(tmp_path / _listed(tmp_path, "rows"), "r+b") as f:
        f.seek(12 + 4 * dims * 30000)
        f.write((q * 100).tobytes())
    return ix, q, X[30000]


@pytest.mark.parametrize("filter_mode", ["off", "auto", "always"])
def test_rows_edited_in_place_under_mmap_are_never_answered(tmp_path, monkeypatch, filter_mode):
    """A row file edited after the save, its rows mapped: each search, batch,
    allow-list, range_search and get answers as the saved index, or raises
    naming the row file and the changed block; never the edited row. A full
    float scan (LUMVO_FILTER=off) reads every block, so it raises; the
    pre-filter (always) reads the band's rows only: the edited row's saved
    codes keep it out of the band of a query aimed at its new value, and put
    it in the band of one aimed at its saved value."""
    ix, q, saved_row = _edited_in_place(tmp_path)
    rows = _listed(tmp_path, "rows")
    Q = np.stack([q, -q, np.roll(q, 1)])
    allow = np.arange(29000, 31000)
    changed = (f"row file {rows} in {os.path.realpath(tmp_path)} changed since it was saved "
               f"(block 87); run verify() or load a saved copy")
    monkeypatch.setenv("LUMVO_FILTER", filter_mode)
    calls = {"single": lambda x: x.search(q, 10), "batch": lambda x: x.search(Q, 10),
             "allow": lambda x: x.search(q, 10, allow=allow),
             "range": lambda x: x.range_search(q, 12.0), "get": lambda x: x.get([30000]),
             "saved row": lambda x: x.search(saved_row, 10)}
    answered = []
    for name, call in calls.items():
        loaded = Index.load(tmp_path, mmap=True)
        try:
            got = call(loaded)
        except ValueError as e:
            assert str(e) == changed, name
            with pytest.raises(ValueError, match=re.escape(changed)):  # and every later read
                loaded.search(q, 3)
            continue
        answered.append(name)
        want = call(ix)
        for g, w in zip(got if isinstance(got, tuple) else (got,),
                        want if isinstance(want, tuple) else (want,)):
            assert g.tobytes() == w.tobytes(), name
    assert "get" not in answered and "saved row" not in answered
    if filter_mode == "off":
        assert answered == []
    if filter_mode == "always":
        assert "single" in answered


def test_shortened_codes_file_under_a_loaded_index_raises(tmp_path):
    ix = _filled(n=400)
    ix.save(tmp_path)
    loaded = Index.load(tmp_path, mmap=True)
    name = _codes_name(tmp_path)
    os.truncate(tmp_path / name, 64)
    with env_set("LUMVO_FILTER", "always"), \
            pytest.raises(ValueError, match=f"codes file .*{name} changed while in use"):
        loaded.search(np.ones(128), 3)
