"""Attribute columns kept with an Index's rows and where= predicates: the
answers against a pandas filter of the rows then the brute-force oracle,
through adds, removals, compaction, saves, loads, copies and shards."""
import copy
import json
import os
import pickle
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pytest

from lumvero_contrib import DistributedIndex, Index
from test_index import assert_same, normalize_like_writer, oracle

T0 = pd.Timestamp("2020-06-01")
# (where, the same predicate on the model's DataFrame; NULL never selects).
PREDICATES = [
    ("lang = 'pt'", lambda df: df.lang == "pt"),
    (("year >= ? AND lang <> ?", [2021, "en"]),
     lambda df: (df.year >= 2021) & df.lang.notna() & (df.lang != "en")),
    ("score < 0.25 OR flag", lambda df: (df.score < 0.25) | (df.flag == True)),  # noqa: E712
    ("NOT flag", lambda df: df.flag == False),  # noqa: E712
    ("t >= TIMESTAMP '2020-06-01'", lambda df: df.t >= T0),
    ("lang IS NULL AND year IS NOT NULL", lambda df: df.lang.isna() & df.year.notna()),
    (pc.field("year") < 2021, lambda df: df.year < 2021),
]


def draw_attrs(rng, n, columns):
    """Attributes of n rows in the given columns, about a fifth null."""
    make = {
        "lang": lambda: rng.choice(["pt", "en", "de"], n).astype(object),
        "year": lambda: rng.integers(2018, 2024, n).astype(object),
        "score": lambda: rng.random(n).astype(object),
        "flag": lambda: (rng.random(n) < 0.5).astype(object),
        "t": lambda: np.array([T0 + pd.Timedelta(days=int(d))
                               for d in rng.integers(-300, 300, n)], object),
    }
    out = {}
    for c in columns:
        v = make[c]()
        v[rng.random(n) < 0.2] = None
        out[c] = list(v)
    return out


class Model:
    """The live rows as stored, their ids and attributes, in insertion order."""

    def __init__(self, dims, metric):
        self.metric, self.dims = metric, dims
        self.rows = np.zeros((0, dims), np.float32)
        self.ids = np.zeros(0, np.int64)
        self.next_id = 0
        self.df = pd.DataFrame({c: pd.Series([], dtype=object)
                                for c in ["lang", "year", "score", "flag", "t"]})

    def add(self, X, ids, attrs):
        X32 = np.asarray(X, np.float32)
        self.rows = np.concatenate([self.rows, normalize_like_writer(X32)
                                    if self.metric == "cosine" else X32])
        self.ids = np.concatenate([self.ids, ids])
        part = pd.DataFrame({c: pd.Series(attrs.get(c, [None] * len(ids)), dtype=object)
                             for c in self.df.columns})
        self.df = pd.concat([self.df, part], ignore_index=True)

    def remove(self, ids):
        keep = ~np.isin(self.ids, ids)
        self.rows, self.ids = self.rows[keep], self.ids[keep]
        self.df = self.df[keep].reset_index(drop=True)

    def expected(self, Q, k, select, allow=None):
        Q32 = Q.astype(np.float32)
        if self.metric == "cosine":
            Q32 = normalize_like_writer(Q32)
        df = self.df.astype({"year": "Float64", "score": "Float64", "flag": "boolean",
                             "t": "datetime64[ns]"})
        mask = np.asarray(select(df).fillna(False), bool)
        return oracle(self.rows[mask], self.ids[mask], Q32, k, self.metric, allow)


def fill(ix, model, rng, adds=6):
    """Adds with every column, some columns, none; removals between."""
    column_sets = [["lang", "year", "score", "flag", "t"], ["lang", "t"], [], ["year", "flag"],
                   ["score", "lang", "year", "flag", "t"], ["t"]]
    next_id = model.next_id
    for a in range(adds):
        n = int(rng.integers(1, 40))
        X = rng.integers(-2, 3, (n, model.dims)).astype(np.float64)  # many equal scores
        ids = np.arange(next_id, next_id + n, dtype=np.int64)[::-1].copy() if a % 2 else \
            np.arange(next_id, next_id + n, dtype=np.int64)
        next_id += n
        model.next_id = next_id
        attrs = draw_attrs(rng, n, column_sets[a % len(column_sets)])
        given = attrs if a % 3 else pa.table(attrs) if attrs else None
        ix.add(X, ids=ids, attrs=given if attrs else None)
        model.add(X, ids, attrs)
        gone = rng.choice(model.ids, size=min(3, model.ids.size), replace=False)
        ix.remove(gone)
        model.remove(gone)


def check_all(ix, model, rng, k=9):
    Q = rng.integers(-2, 3, (3, model.dims)).astype(np.float64)
    Q[:, 0] = 1  # no zero queries under cosine
    allow = rng.choice(np.arange(model.ids.size + 5), size=model.ids.size // 2, replace=False)
    for where, select in PREDICATES:
        assert_same(ix.search(Q, k, where=where), model.expected(Q, k, select))
        assert_same(ix.search(Q, k, where=where, allow=allow),
                    model.expected(Q, k, select, allow))
    where, select = PREDICATES[1]
    lims, scores, ids = ix.range_search(Q, 2.0, where=where)
    want_s, want_i = model.expected(Q, model.ids.size + 1, select)
    for i in range(Q.shape[0]):
        inside = (want_i[i] >= 0) & ((want_s[i] <= 2.0) if model.metric == "euclidean"
                                     else (want_s[i] >= 2.0))
        assert ids[lims[i]:lims[i + 1]].tolist() == want_i[i][inside].tolist()


def same_attrs(ix, model):
    got = ix.get(model.ids, attrs=True)[1].to_pandas()
    for c in model.df.columns:
        if c in got:
            want = model.df[c].tolist()
            assert [None if pd.isna(v) else v for v in got[c].tolist()] == \
                [None if v is None else v for v in want], c
        else:
            assert model.df[c].isna().all(), c


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
@pytest.mark.parametrize("step", ["memory", "compact", "save mmap", "save read", "copy"])
def test_where_answers_as_the_filtered_rows(tmp_path, metric, step):
    rng = np.random.default_rng(7)
    ix, model = Index(5, metric), Model(5, metric)
    fill(ix, model, rng)
    if step == "compact":
        ix.compact()
    elif step.startswith("save"):
        ix.save(tmp_path / "ix")
        ix = Index.load(tmp_path / "ix", mmap=step == "save mmap")
    elif step == "copy":
        ix = pickle.loads(pickle.dumps(ix))
    same_attrs(ix, model)
    check_all(ix, model, rng)
    # Carries on: more rows and removals after the step (the predicates'
    # rows found again), then saved again (only what changed) and loaded.
    fill(ix, model, rng, adds=3)
    check_all(ix, model, rng)
    ix.save(tmp_path / "ix")
    ix = Index.load(tmp_path / "ix", mmap=True)
    same_attrs(ix, model)
    check_all(ix, model, rng)


@pytest.mark.parametrize("shards", [1, 2, 3, 4])
def test_distributed_where_answers_as_one_index(tmp_path, shards):
    rng = np.random.default_rng(shards)
    one, model = Index(4, "dot"), Model(4, "dot")
    with DistributedIndex(4, "dot", shards=shards, backend="local") as d:
        fill(_Both(one, d), model, rng)
        check_all(d, model, rng)
        same_attrs(d, model)
        d.compact()
        d.save(tmp_path / "d")
    with DistributedIndex.load(tmp_path / "d", backend="local", shards=shards + 1) as d:
        assert d.get(model.ids, attrs=True)[1].equals(one.get(model.ids, attrs=True)[1])
        check_all(d, model, rng)


class _Both:
    """Adds and removals given to an Index and a DistributedIndex alike."""

    def __init__(self, *ixs):
        self.ixs = ixs

    def add(self, *a, **kw):
        for ix in self.ixs:
            ix.add(*a, **kw)

    def remove(self, ids):
        for ix in self.ixs:
            ix.remove(ids)


@pytest.mark.parametrize("where, error, message", [
    ("lang = ", ValueError, r"where 'lang = ': Parser Error: syntax error"),
    ("nope = 1", ValueError, r"where 'nope = 1': Binder Error: Referenced column \"nope\""),
    ("lang = 'pt') OR (true", ValueError, r"Parser Error"),  # not one expression
    ("true) UNION ALL SELECT 3 WHERE (true", ValueError, r"Parser Error"),
    ("(lang = 'pt') OR (year > 2020)", None, None),
    ("EXISTS (SELECT * FROM read_csv('/etc/passwd'))", ValueError, r"Permission Error"),
    (("year = ?", []), ValueError, r"where 'year = \?': .*parameter"),
    (pc.field("nope") == 1, ValueError, r"where \(nope == 1\): No match for FieldRef"),
    (("year = ?",), TypeError, r"where as a tuple is \(sql, parameters\)"),
    (5, TypeError, r"where must be a SQL str, \(sql, parameters\) or a pyarrow"),
])
def test_bad_predicates_are_refused_with_the_index_unchanged(tmp_path, where, error, message):
    rng = np.random.default_rng(3)
    ix, model = Index(4, "dot"), Model(4, "dot")
    fill(ix, model, rng)
    Q = np.ones((1, 4))
    before = ix.search(Q, 5)
    if error is None:
        ix.search(Q, 5, where=where)
    else:
        with pytest.raises(error, match=message):
            ix.search(Q, 5, where=where)
        with pytest.raises(error, match=message):
            ix.range_search(Q, 0.0, where=where)
    assert_same(ix.search(Q, 5), before)
    assert len(ix) == model.ids.size


@pytest.mark.parametrize("attrs, message", [
    ({"year": ["x", "y"]}, "attribute column 'year' holds int64; this add gives large_string"),
    ({"lang": ["a"]}, "attribute column 'lang' has 1 values for 2 rows"),
    ({"nested": [[1], [2]]}, "attribute column 'nested' has type list<item: int64>"),
    ({"__lumvero_position": [1, 2]}, "names starting with '__lumvero' are reserved"),
    ({"u": np.array([2**63, 1], np.uint64)}, "attribute column 'u' cannot be kept as int64"),
    ({"t": pd.to_datetime(["2020-01-01 00:00:00.000000001"] * 2)},
     "attribute column 't' cannot be kept as timestamp"),
])
def test_attributes_that_cannot_be_kept_add_nothing(attrs, message):
    ix = Index(2, "dot")
    ix.add([[1, 0]], attrs={"year": [2020], "t": [T0]})
    with pytest.raises(ValueError) as e:
        ix.add([[0, 1], [1, 1]], ids=[5, 6], attrs=attrs)
    assert message in str(e.value)
    assert ix.ids().tolist() == [0]
    assert ix.get([0], attrs=True)[1].column_names == ["year", "t"]
    # A column given only nulls so far takes the type of the first values.
    ix.add([[0, 1]], attrs={"late": [None]})
    ix.add([[0, 1]], attrs={"late": ["x"]})
    assert ix.get([1, 2], attrs=True)[1].column("late").to_pylist() == [None, "x"]


def test_attributes_round_trip_and_follow_removals(tmp_path):
    ix = Index(3, "euclidean")
    ix.add(np.eye(3), ids=[7, 3, 5], attrs=pd.DataFrame({"src": ["a", "b", "c"],
                                                         "n": [1, 2, 3]}))
    ix.add(np.ones((1, 3)), ids=[9])
    ix.remove([3])
    want = {"src": ["c", None, "a"], "n": [3, None, 1]}
    for how in (copy.copy, copy.deepcopy, lambda x: pickle.loads(pickle.dumps(x))):
        assert how(ix).get([5, 9, 7], attrs=True)[1].to_pydict() == want
    ix.compact()
    assert ix.get([5, 9, 7], attrs=True)[1].to_pydict() == want
    rows, table = ix.get([9], attrs=True)
    assert rows.tolist() == [[1.0, 1.0, 1.0]] and table.num_rows == 1
    ix.save(tmp_path / "ix")
    assert Index.load(tmp_path / "ix").get([5, 9, 7], attrs=True)[1].to_pydict() == want
    # An index without attributes answers with rows and no columns.
    plain = Index(3)
    plain.add(np.eye(3))
    assert plain.get([2, 0], attrs=True)[1].shape == (2, 0)


def test_a_directory_saved_without_attributes_loads_and_stays_loadable(tmp_path):
    """A save without attributes writes the layout of the release before
    attributes (version 2, no attribute entries); attributes added to an
    index loaded from it are saved as version 3 beside it, and the earlier
    version still loads, without attributes."""
    d = tmp_path / "ix"
    ix = Index(2, "dot")
    ix.add(np.eye(2))
    ix.save(d)
    m = json.loads((d / "manifest.json").read_text())
    assert m["version"] == 2 and all("attrs" not in s for s in m["segments"])
    ix = Index.load(d)
    ix.add([[1, 1]], attrs={"k": ["x"]})
    ix.save(d)
    assert json.loads((d / "manifest.json").read_text())["version"] == 3
    first, last = Index.versions(d)
    assert Index.load(d, version=last).search([1, 1], 3, where="k = 'x'")[1].tolist() == \
        [[2, -1, -1]]
    old = Index.load(d, version=first)
    assert old.get([0, 1], attrs=True)[1].shape == (2, 0)
    with pytest.raises(ValueError, match='column "k" not found'):
        old.search([1, 1], 2, where="k = 'x'")


def _attrs_file(d):
    """The attribute files, segment 0's first."""
    return sorted((n for n in os.listdir(d) if n.startswith("attrs-")),
                  key=lambda n: n.rsplit("-", 1)[1])


def _rehash(d, name):
    """The manifest's hash of name set to the file's (an edit that hides
    itself from the hash)."""
    from blake3_ref import blake3_hex
    m = json.loads((d / "manifest.json").read_text())
    for s in m["segments"]:
        if s.get("attrs") and s["attrs"]["file"] == name:
            s["attrs"]["blake3"] = blake3_hex((d / name).read_bytes())
    (d / "manifest.json").write_text(json.dumps(m))


def _flip_byte(d):
    name = _attrs_file(d)[0]
    b = bytearray((d / name).read_bytes())
    b[len(b) // 2] ^= 1
    (d / name).write_bytes(bytes(b))


def _not_arrow(d):
    name = _attrs_file(d)[0]
    (d / name).write_bytes(b"not an arrow file")
    _rehash(d, name)


def _other_segment(d):
    first, second = _attrs_file(d)
    (d / first).write_bytes((d / second).read_bytes())
    _rehash(d, first)


def _huge(d):
    name = _attrs_file(d)[0]
    with open(d / name, "ab") as f:
        f.truncate(2 << 20)


@pytest.mark.parametrize("damage, message", [
    (_flip_byte, r"attrs-\w+-0\.arrow does not match its BLAKE3 hash"),
    (_not_arrow, r"attrs-\w+-0\.arrow is not an Arrow IPC file of attributes"),
    (_other_segment, r"attrs-\w+-0\.arrow is not the attributes of its segment"),
    (_huge, r"attrs-\w+-0\.arrow is larger than \d+ bytes"),
])
@pytest.mark.parametrize("mmap", [True, False])
def test_a_tampered_attribute_file_is_refused(tmp_path, damage, message, mmap):
    d = tmp_path / "ix"
    ix = Index(2, "dot")
    ix.add(np.eye(2), attrs={"k": ["x", "y"]})
    ix.save(d)
    ix.add(np.ones((2, 2)), attrs={"k": ["z", "w"]})
    ix.save(d)
    damage(d)
    with pytest.raises(ValueError, match=f"index directory {d}: " + message):
        Index.load(d, mmap=mmap)


def test_without_pyarrow_attributes_say_how_to_install(monkeypatch):
    ix = Index(2, "dot")
    ix.add(np.eye(2))
    for name in [m for m in sys.modules if m == "pyarrow" or m.startswith("pyarrow.")]:
        monkeypatch.setitem(sys.modules, name, None)
    for call in (lambda: ix.add([[1, 1]], attrs={"k": [1]}),
                 lambda: ix.search([1, 1], 2, where="k = 1"),
                 lambda: ix.get([0], attrs=True)):
        with pytest.raises(ImportError, match=r"pip install lumvero\[attrs\]"):
            call()
    assert len(ix) == 2
