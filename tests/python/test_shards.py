"""Shard files, their manifest, and sharded search in one process: the
answer must be bit for bit the answer of one index file holding every row."""
import json
import os

import numpy as np
import pytest

import lumvero
from blake3_ref import blake3_hex
from conftest import topk_oracle
from lumvero_contrib.storage import file_shards_build as shard_writer
from lumvero_contrib.shards import ShardedIndex, build_shards, load_manifest, merge_top_k
from shard_helpers import (METRICS, assert_bit_identical, make_data, one_file, reference,
                           ties_across_shards)

ROWS, DIMS, NQ = 203, 20, 9
KS = [0, 1, 7, 40, ROWS + 5]


@pytest.mark.parametrize("kind", ["random", "ties"])
@pytest.mark.parametrize("n_shards", [1, 3, 8])
@pytest.mark.parametrize("metric", METRICS)
def test_local_answer_is_the_one_file_answer(tmp_path, metric, n_shards, kind):
    X, Q = make_data(kind, ROWS, DIMS, NQ, seed=n_shards)
    whole = one_file(X, metric, tmp_path)
    manifest = build_shards(X, tmp_path / "shards", n_shards, metric=metric)
    bounds = [(s.first_row, s.first_row + s.rows) for s in load_manifest(manifest).shards]
    with ShardedIndex(manifest) as idx:
        for k in KS:
            want = reference(whole, Q, k, metric)
            assert_bit_identical(idx.search(Q, k), want)
            # One query, as a 1-D array and as a one-row matrix.
            assert_bit_identical(idx.search(Q[3], k), reference(whole, Q[3:4], k, metric))
        if kind == "ties" and n_shards > 1:
            # The data does what it is for: equal scores from different shards.
            s, i = reference(whole, Q, 40, metric)
            assert ties_across_shards(s, i, bounds)


@pytest.mark.parametrize("normalize", [False, True])
@pytest.mark.parametrize("n_shards", [1, 3, 8])
def test_shards_are_row_ranges_of_the_one_file(tmp_path, n_shards, normalize):
    X, _ = make_data("random", ROWS, DIMS, 1)
    whole = lumvero.py_prepare_bin_from_embeddings(X, DIMS, ROWS, "whole", "f32", metric="dot",
                                                   normalize=normalize,
                                                   output_dir=str(tmp_path))
    data = open(whole, "rb").read()[12:]
    out = tmp_path / "s"
    path = build_shards(X, out, n_shards, metric="dot", normalize=normalize, name="part")
    assert path == str(out / "manifest.json")
    doc = json.loads(open(path).read())
    assert list(doc) == ["format", "metric", "dims", "rows", "shards"]
    assert (doc["format"], doc["metric"], doc["dims"], doc["rows"]) == (1, "dot", DIMS, ROWS)
    sizes = [s["rows"] for s in doc["shards"]]
    assert len(sizes) == n_shards and sum(sizes) == ROWS and max(sizes) - min(sizes) <= 1
    first = 0
    for i, s in enumerate(doc["shards"]):
        assert list(s) == ["file", "first_row", "rows", "index_hash"]
        assert s["file"] == f"part-{i:05d}_f32.bin" and s["first_row"] == first
        raw = open(out / s["file"], "rb").read()
        assert raw[:12] == np.array([DIMS, s["rows"], 1], "<u4").tobytes()
        assert raw[12:] == data[first * DIMS * 4:(first + s["rows"]) * DIMS * 4]
        assert s["index_hash"] == blake3_hex(raw)
        first += s["rows"]
    if not normalize:
        assert data == X.tobytes()  # the shards hold the input's bytes
    assert sorted(os.listdir(out)) == sorted(["manifest.json"] + [s["file"] for s in doc["shards"]])


def test_memory_mapped_input_gives_the_same_files(tmp_path):
    X, _ = make_data("random", ROWS, DIMS, 1)
    np.save(tmp_path / "emb.npy", X)
    mm = np.load(tmp_path / "emb.npy", mmap_mode="r")
    assert isinstance(mm, np.memmap) and not mm.flags.writeable
    events = []
    a = build_shards(X, tmp_path / "a", 3, metric="cosine")
    b = build_shards(mm, tmp_path / "b", 3, metric="cosine",
                     progress=lambda *e: events.append(e))
    assert open(a, "rb").read() == open(b, "rb").read()
    for s in load_manifest(a).shards:
        assert open(s.path, "rb").read() == open(tmp_path / "b" / s.file, "rb").read()
    # Each shard is read, written and hashed before the next one starts.
    stages = [(e[0], e[2]) for e in events]
    order = list(dict.fromkeys(stages))
    assert order == [(i, st) for i in range(3) for st in ("read", "write", "hash")]
    for i, s in enumerate(load_manifest(a).shards):
        last = {st: e for e in events if e[0] == i for st in [e[2]]}
        assert last["read"][3:] == (s.rows * DIMS * 4,) * 2
        assert last["hash"][3:] == (12 + s.rows * DIMS * 4,) * 2


def test_fortran_ordered_input_is_read_by_rows(tmp_path):
    X, Q = make_data("random", ROWS, DIMS, NQ)
    whole = one_file(X, "euclidean", tmp_path)
    with ShardedIndex(build_shards(np.asfortranarray(X), tmp_path / "f", 3,
                                   metric="euclidean")) as idx:
        assert_bit_identical(idx.search(Q, 10), reference(whole, Q, 10, "euclidean"))
        assert_bit_identical(idx.search(np.asfortranarray(Q), 10),
                             reference(whole, Q, 10, "euclidean"))


@pytest.mark.parametrize("embeddings, n_shards, kwargs, error, message", [
    (np.ones((5, 3), np.float32), 0, {}, ValueError,
     "n_shards must be between 1 and the row count 5, got 0"),
    (np.ones((5, 3), np.float32), 6, {}, ValueError,
     "n_shards must be between 1 and the row count 5, got 6"),
    (np.ones((5, 3), np.float64), 2, {}, TypeError, "embeddings must be float32, got float64"),
    (np.ones(5, np.float32), 1, {}, ValueError,
     "embeddings must be two-dimensional (rows, dims), got 1 dimension"),
    ([[1.0, 2.0]], 1, {}, TypeError, "embeddings must be a NumPy array, got list"),
    (np.ones((0, 3), np.float32), 1, {}, ValueError, "embeddings are empty (shape 0×3)"),
    (np.ones((5, 3), np.float32), 2, {"metric": "euclid"}, ValueError,
     "Unknown similarity metric: euclid"),
    (np.ones((5, 3), np.float32), 2, {"name": "a/b"}, ValueError,
     "Invalid base_name: cannot be empty or contain special characters"),
    (np.ones((5, 3), np.float32), 2.0, {}, TypeError, None),
])
def test_build_refuses_bad_input(tmp_path, embeddings, n_shards, kwargs, error, message):
    with pytest.raises(error) as e:
        build_shards(embeddings, tmp_path / "out", n_shards, **kwargs)
    if message is not None:
        assert str(e.value) == message
    assert not (tmp_path / "out" / "manifest.json").exists()


def test_too_many_rows_per_shard_is_refused_before_writing(tmp_path):
    X = np.lib.stride_tricks.as_strided(np.zeros(1, np.float32), (50_000_001, 1), (0, 0))
    with pytest.raises(ValueError, match=r"^50000001 rows need at least 2 shards \(at most "
                                         r"50000000 rows per shard\), got 1$"):
        build_shards(X, tmp_path / "out", 1)
    assert not (tmp_path / "out").exists() or os.listdir(tmp_path / "out") == []


def test_manifest_is_replaced_atomically(tmp_path, monkeypatch):
    X, Q = make_data("random", ROWS, DIMS, NQ)
    out = tmp_path / "s"
    path = build_shards(X, out, 3, metric="dot")
    before = open(path, "rb").read()

    def broken_dump(doc, f, **kw):
        f.write('{"format": 1, "metric": "dot", "dim')
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(shard_writer.json, "dump", broken_dump)
    with pytest.raises(OSError, match="No space left on device"):
        build_shards(X[:100], out, 2, metric="dot", name="other")
    assert open(path, "rb").read() == before
    assert not [f for f in os.listdir(out) if f.endswith(".tmp")]
    monkeypatch.undo()
    path2 = build_shards(X, out, 8, metric="dot", name="other")
    assert path2 == path and len(load_manifest(path).shards) == 8
    umask = os.umask(0)
    os.umask(umask)
    assert oct(os.stat(path).st_mode & 0o777) == oct(0o666 & ~umask)


def damage(path, how):
    if how == "flip":
        with open(path, "r+b") as f:
            f.seek(40)
            b = f.read(1)
            f.seek(40)
            f.write(bytes([b[0] ^ 1]))
    elif how == "append":
        with open(path, "ab") as f:
            f.write(b"\0\0\0\0")
    elif how == "header":
        with open(path, "r+b") as f:
            f.seek(8)
            f.write(b"\x01")  # metric id: cosine -> dot
    elif how == "remove":
        os.unlink(path)


@pytest.mark.parametrize("how, message", [
    ("flip", r"shard 1 \(shard-00001_f32\.bin\): content hash [0-9a-f]{64} does not match the "
             r"manifest's [0-9a-f]{64}$"),
    ("append", r"shard 1 \(shard-00001_f32\.bin\): content hash [0-9a-f]{64} does not match"),
    ("header", r"shard 1 \(shard-00001_f32\.bin\): content hash [0-9a-f]{64} does not match"),
    ("remove", r"shard 1 \(shard-00001_f32\.bin\): Failed to open file .*shard-00001_f32\.bin: "
               r"No such file or directory \(os error 2\)$"),
])
def test_damaged_shard_is_refused_at_open(tmp_path, how, message):
    X, _ = make_data("random", ROWS, DIMS, 1)
    path = build_shards(X, tmp_path, 3, metric="cosine")
    damage(tmp_path / "shard-00001_f32.bin", how)
    with pytest.raises(ValueError, match=message):
        ShardedIndex(path)


def edit_manifest(path, fn):
    doc = json.loads(open(path).read())
    fn(doc)
    open(path, "w").write(json.dumps(doc))


def _set(key, value):
    return lambda d: d.__setitem__(key, value)


def _shard(i, key, value):
    return lambda d: d["shards"][i].__setitem__(key, value)


@pytest.mark.parametrize("edit, message", [
    (_set("format", 2), "invalid manifest: format 2 is not 1"),
    (_set("format", True), "invalid manifest: format True is not 1"),
    (_set("metric", "cos"), "invalid manifest: unknown metric 'cos'"),
    (_set("dims", 0), "invalid manifest: dims 0 is not an integer from 1 to 4294967295"),
    (_set("dims", 2**32), "invalid manifest: dims 4294967296 is not an integer from 1 to "
                          "4294967295"),
    (_set("rows", True), "invalid manifest: rows True is not a positive integer"),
    (_set("rows", -1), "invalid manifest: rows -1 is not a positive integer"),
    (_set("rows", 2**40), f"invalid manifest: the shards hold {ROWS} rows, the manifest says "
                          f"{2**40}"),
    (_set("rows", ROWS + 1), f"invalid manifest: the shards hold {ROWS} rows, the manifest says "
                             f"{ROWS + 1}"),
    (_set("shards", []), "invalid manifest: \"shards\" is not a non-empty list"),
    (lambda d: d.pop("shards"), "not a shard manifest (no \"shards\" list)"),
    (_shard(1, "first_row", 69), "invalid manifest: shard 1 (shard-00001_f32.bin) starts at "
                                 "row 69, expected 68"),
    (_shard(2, "rows", 0), "invalid manifest: shard 2 (shard-00002_f32.bin) has no valid "
                           "first_row and rows"),
    (lambda d: (_shard(2, "rows", 2**40)(d), _set("rows", 136 + 2**40)(d)),
     "invalid manifest: shard 2 (shard-00002_f32.bin) has rows 1099511627776; an index file "
     "holds at most 4294967295"),
    (_shard(1, "first_row", -68), "invalid manifest: shard 1 (shard-00001_f32.bin) starts at "
                                  "row -68, expected 68"),
    (_shard(0, "index_hash", "ABC"), "invalid manifest: shard 0 (shard-00000_f32.bin) has no "
                                     "valid index_hash"),
    (_shard(0, "file", ""), "invalid manifest: shard 0 has no file name"),
])
def test_malformed_manifest_is_refused(tmp_path, edit, message):
    X, _ = make_data("random", ROWS, DIMS, 1)
    path = build_shards(X, tmp_path, 3, metric="dot")
    edit_manifest(path, edit)
    with pytest.raises(ValueError) as e:
        ShardedIndex(path)
    assert str(e.value) == f"{path}: {message}"


@pytest.mark.parametrize("edit, message", [
    (_set("metric", "euclidean"), "shard 0 (shard-00000_f32.bin): the file holds 68 rows × 20 "
                                  "dims (dot); the manifest says 68 rows × 20 dims (euclidean)"),
    (_set("dims", 21), "shard 0 (shard-00000_f32.bin): the file holds 68 rows × 20 dims (dot); "
                       "the manifest says 68 rows × 21 dims (dot)"),
])
def test_manifest_disagreeing_with_its_files_is_refused(tmp_path, edit, message):
    X, _ = make_data("random", ROWS, DIMS, 1)
    path = build_shards(X, tmp_path, 3, metric="dot")
    edit_manifest(path, edit)
    with pytest.raises(ValueError) as e:
        ShardedIndex(path)
    assert str(e.value) == message


def _list_twice(name):
    """Shard 1 replaced by shard 0's entry under another name, its rows
    following shard 0's."""
    def edit(d):
        first = dict(d["shards"][0], file=name, first_row=d["shards"][0]["rows"])
        d["shards"][1] = first
        d["rows"] = 2 * first["rows"]
    return edit


@pytest.mark.parametrize("links, edit, message", [
    ({}, _shard(0, "file", "../outside.bin"), "shard 0 (../outside.bin) lies outside the "
                                              "manifest's folder"),
    ({}, "absolute", "is an absolute path; shard files are named relative to the manifest's "
                     "folder"),
    ({"link.bin": "../outside.bin"}, _shard(0, "file", "link.bin"),
     "shard 0 (link.bin) lies outside the manifest's folder"),
    ({"sub": ".."}, _shard(0, "file", "sub/outside.bin"),
     "shard 0 (sub/outside.bin) lies outside the manifest's folder"),
    ({}, _list_twice("shard-00000_f32.bin"),
     "shard 1 (shard-00000_f32.bin) is the same file as shard 0 (shard-00000_f32.bin)"),
    ({}, _list_twice("./shard-00000_f32.bin"),
     "shard 1 (./shard-00000_f32.bin) is the same file as shard 0 (shard-00000_f32.bin)"),
    ({"link.bin": "shard-00000_f32.bin"}, _list_twice("link.bin"),
     "shard 1 (link.bin) is the same file as shard 0 (shard-00000_f32.bin)"),
    ({"hard.bin": "hard link"}, _list_twice("hard.bin"),
     "shard 1 (hard.bin) is the same file as shard 0 (shard-00000_f32.bin)"),
    # Symlinks that stay inside the folder are followed.
    ({"link.bin": "shard-00001_f32.bin"}, _shard(1, "file", "link.bin"), None),
], ids=["parent", "absolute", "symlink-out", "symlinked-folder-out", "twice", "twice-dotted",
        "twice-symlink", "twice-hard-link", "symlink-in"])
def test_shard_files_are_confined_to_the_manifest_folder(tmp_path, capsys, links, edit, message):
    """A manifest cannot open files outside its folder (an exact copy of a
    shard lies outside, so its hash matches) nor serve one file twice."""
    from lumvero_contrib import cli

    X, Q = make_data("random", ROWS, DIMS, NQ)
    folder = tmp_path / "s"
    path = build_shards(X, folder, 2, metric="dot")
    outside = tmp_path / "outside.bin"
    outside.write_bytes((folder / "shard-00000_f32.bin").read_bytes())
    for name, target in links.items():
        if target == "hard link":
            os.link(folder / "shard-00000_f32.bin", folder / name)
        else:
            os.symlink(target, folder / name)
    edit_manifest(path, _shard(0, "file", str(outside)) if edit == "absolute" else edit)
    if message is None:
        with ShardedIndex(path) as idx:
            assert_bit_identical(idx.search(Q, 5), reference(one_file(X, "dot", tmp_path), Q, 5,
                                                             "dot"))
        assert cli.main(["verify", path]) == 0
        return
    with pytest.raises(ValueError) as e:
        ShardedIndex(path)
    assert str(e.value).startswith(f"{path}: invalid manifest: ")
    assert str(e.value).endswith(message)
    capsys.readouterr()
    assert cli.main(["verify", path]) == 2
    out = capsys.readouterr()
    assert out.out == "" and out.err == f"lumvero-index: error: {e.value}\n"


def test_manifest_that_is_not_json(tmp_path):
    p = tmp_path / "manifest.json"
    p.write_bytes(b"\x03\x00\x00\x00garbage")
    with pytest.raises(ValueError, match=r"not a shard manifest \(invalid JSON: "):
        ShardedIndex(p)
    with pytest.raises(FileNotFoundError):
        ShardedIndex(tmp_path / "missing.json")


@pytest.fixture
def small_index(tmp_path):
    X, Q = make_data("random", ROWS, DIMS, NQ)
    with ShardedIndex(build_shards(X, tmp_path, 3, metric="cosine")) as idx:
        yield idx, Q


@pytest.mark.parametrize("queries, k, error, message", [
    (np.zeros((2, DIMS)), 3, TypeError, "queries must be float32, got float64"),
    ([[0.0] * DIMS], 3, TypeError, "queries must be a NumPy float32 array, got list"),
    (np.zeros((2, 19), np.float32), 3, ValueError, "Query dimensions 19 != index dimensions 20"),
    (np.zeros((1, 2, DIMS), np.float32), 3, ValueError,
     "queries must be one- or two-dimensional, got 3 dimensions"),
    (np.full((2, DIMS), np.nan, np.float32), 3, ValueError,
     "queries contain non-finite values (NaN or Inf)"),
    (np.zeros((2, DIMS), np.float32), -1, ValueError, "k must be non-negative, got -1"),
    (np.zeros((2, DIMS), np.float32), 2.5, TypeError, None),
])
def test_bad_queries_are_refused(small_index, queries, k, error, message):
    idx, _ = small_index
    with pytest.raises(error) as e:
        idx.search(queries, k)
    if message:
        assert str(e.value) == message


def test_empty_query_matrix_and_closed_index(small_index):
    idx, Q = small_index
    s, i = idx.search(np.zeros((0, DIMS), np.float32), 4)
    assert s.shape == (0, 4) and i.shape == (0, 4)
    s, i = idx.search(Q, 0)
    assert s.shape == (NQ, 0) and i.shape == (NQ, 0)
    assert "3 shards, 203 rows × 20 dims, cosine, local" in repr(idx)
    idx.close()
    idx.close()
    with pytest.raises(ValueError, match="^this ShardedIndex is closed$"):
        idx.search(Q, 1)


def test_unknown_backend(tmp_path):
    with pytest.raises(ValueError, match="^unknown backend 'dask': expected 'local' or 'ray'$"):
        ShardedIndex(tmp_path / "manifest.json", backend="dask")


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("seed", range(4))
def test_merge_keeps_the_total_order(metric, seed):
    """Any split of scored rows into parts, each cut to its own k best and
    handed over in any order, merges into the k best of all rows (oracle:
    one sort over everything)."""
    rng = np.random.default_rng(seed)
    n, rows, k = 5, 60, 12
    values = np.array([0.0, -0.0, 0.5, -0.5, 1.0, 2.0, -3.0, np.nan, np.inf, -np.inf], np.float32)
    S = values[rng.integers(0, len(values), (n, rows))]
    cuts = np.sort(rng.choice(np.arange(1, rows), 3, replace=False))
    parts = []
    for a, b in zip(np.r_[0, cuts], np.r_[cuts, rows]):
        ps = np.full((n, k), np.nan, np.float32)
        pi = np.full((n, k), -1, np.int64)
        for q in range(n):
            idx, sc = topk_oracle(S[q, a:b], k, metric)
            ps[q, :len(idx)], pi[q, :len(idx)] = sc, idx + a
        parts.append((ps, pi))
    # Parts in any order: equal scores are ordered by global row, not by
    # the part they come in.
    parts = [parts[i] for i in rng.permutation(len(parts))]
    got_s, got_i = merge_top_k(parts, k, metric)
    fill = np.float32(np.inf if metric == "euclidean" else -np.inf)
    for q in range(n):
        idx, sc = topk_oracle(S[q], k, metric)
        assert got_i[q].tolist() == idx.tolist() + [-1] * (k - len(idx))
        want = np.r_[sc, np.full(k - len(idx), fill, np.float32)].astype(np.float32)
        assert got_s[q].tobytes() == want.tobytes()


@pytest.mark.parametrize("n_shards", [1, 3])
def test_rows_whose_scores_overflow_are_left_out(tmp_path, n_shards):
    """Rows with an infinite score for one query but not for another give
    answers of different lengths, which the one-file arrays form refuses."""
    X, _ = make_data("random", 30, 8, 1)
    X[4], X[17] = 3e38, -3e38
    Q = np.stack([np.full(8, 2.0, np.float32), np.zeros(8, np.float32),
                  make_data("random", 1, 8, 1, seed=9)[0][0] * np.float32(1e-30)])
    whole = one_file(X, "dot", tmp_path)
    with pytest.raises(ValueError, match="^invalid length: 30, but expected 28$"):
        whole.query_batch_arrays(Q, 30)
    want_i = np.full((3, 32), -1, np.int64)
    want_s = np.full((3, 32), -np.inf, np.float32)
    for q, r in enumerate(whole.query_batch(Q, 32)):
        want_i[q, :len(r.results)] = [it.idx for it in r.results]
        want_s[q, :len(r.results)] = [it.score for it in r.results]
    assert (want_i[0] >= 0).sum() == 28 and {4, 17}.isdisjoint(want_i[0])
    with ShardedIndex(build_shards(X, tmp_path / "s", n_shards, metric="dot")) as idx:
        assert_bit_identical(idx.search(Q, 32), (want_s, want_i))
