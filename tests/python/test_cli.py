"""The lumvero-index command, run as a separate process, end to end."""
import atexit
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

import numpy as np
import pytest

import lumvero
from blake3_ref import blake3_hex
from lumvero_contrib import DistributedIndex, Index, _native
from lumvero_contrib.shards import ShardedIndex, build_shards, load_manifest
from shard_helpers import METRICS, assert_bit_identical, make_data, one_file, reference

SCRIPT = os.path.join(os.path.dirname(sys.executable), "lumvero-index")
ROWS, DIMS, NQ = 203, 20, 6


# The command runs as after a plain `pip install .`: without the optional
# blake3 package (it hashes with the engine's BLAKE3).
NO_BLAKE3 = tempfile.mkdtemp(prefix="lumvero-no-blake3-")
atexit.register(shutil.rmtree, NO_BLAKE3, ignore_errors=True)
with open(os.path.join(NO_BLAKE3, "blake3.py"), "w") as f:
    f.write("raise ImportError('No module named blake3')\n")


def run(*args, env=None, cwd=None, timeout=300, umask=-1):
    full_env = dict(os.environ, **(env or {}))
    full_env["PYTHONPATH"] = os.pathsep.join(
        p for p in (NO_BLAKE3, full_env.get("PYTHONPATH")) if p)
    return subprocess.run([SCRIPT, *map(str, args)], capture_output=True, text=True,
                          env=full_env, cwd=cwd, timeout=timeout, umask=umask)


def assert_user_error(r, message):
    assert r.returncode == 2, r.stderr
    assert r.stdout == ""
    assert "Traceback" not in r.stderr
    assert r.stderr.count("\n") == 1
    assert r.stderr == f"lumvero-index: error: {message}\n"


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    d = tmp_path_factory.mktemp("cli")
    X, Q = make_data("ties", ROWS, DIMS, NQ, seed=4)
    X[::3] = make_data("random", ROWS, DIMS, 1, seed=5)[0][::3]
    np.save(d / "emb.npy", X)
    np.save(d / "queries.npy", Q)
    r = run("build", d / "emb.npy", "--metric", "Euclidean", "--out", d / "idx", "--shards", 3)
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"{d / 'idx' / 'manifest.json'}\n"
    return d, X, Q


def test_build_writes_the_shards(built):
    d, X, _ = built
    m = load_manifest(d / "idx" / "manifest.json")
    assert (m.metric, m.dims, m.rows, len(m.shards)) == ("euclidean", DIMS, ROWS, 3)
    data = b"".join(open(s.path, "rb").read()[12:] for s in m.shards)
    assert data == X.tobytes()


@pytest.mark.parametrize("json_out", [False, True])
@pytest.mark.parametrize("target", ["manifest", "index"])
def test_search_prints_the_exact_answer(built, tmp_path, target, json_out):
    d, X, Q = built
    whole = one_file(X, "euclidean", tmp_path)
    path = d / "idx" / "manifest.json" if target == "manifest" else whole_path(tmp_path)
    k = ROWS + 2  # wider than the index: empty slots at the end
    r = run("search", path, d / "queries.npy", "-k", k, *(["--json"] if json_out else []))
    assert r.returncode == 0, r.stderr
    want_s, want_i = reference(whole, Q, k, "euclidean")
    if json_out:
        doc = json.loads(r.stdout)
        assert (doc["metric"], doc["k"]) == ("euclidean", k)
        ids = np.array(doc["ids"], np.int64)
        scores = np.array([[np.inf if s is None else s for s in row] for row in doc["scores"]],
                          np.float64)
        assert (scores.astype(np.float32).astype(np.float64) == scores).all()
        assert_bit_identical((scores.astype(np.float32), ids), (want_s, want_i))
    else:
        lines = r.stdout.splitlines()
        assert len(lines) == NQ
        for q, line in enumerate(lines):
            number, hits = line.split("\t")
            assert int(number) == q
            pairs = [h.split(":") for h in hits.split()]
            assert [int(i) for i, _ in pairs] == want_i[q][want_i[q] >= 0].tolist()
            got = np.array([float(s) for _, s in pairs], np.float32)
            assert got.tobytes() == want_s[q][want_i[q] >= 0].tobytes()


def whole_path(tmp_path):
    return tmp_path / "whole_f32.bin"


@pytest.mark.skipif(bool(os.environ.get("LUMVO_SANITIZED")),
                    reason="Ray workers under the sanitizer runtime")
def test_search_through_ray(built, tmp_path):
    """A Ray cluster of the command's own, started and stopped by it."""
    d, X, Q = built
    r = run("search", d / "idx" / "manifest.json", d / "queries.npy", "-k", 7, "--json",
            "--backend", "ray", "--ray-address", "local", env={"RAY_ADDRESS": ""})
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    want_s, want_i = reference(one_file(X, "euclidean", tmp_path), Q, 7, "euclidean")
    assert doc["ids"] == want_i.tolist()
    assert np.array(doc["scores"], np.float32).tobytes() == want_s.tobytes()


@pytest.mark.skipif(bool(os.environ.get("LUMVO_SANITIZED")),
                    reason="Ray workers under the sanitizer runtime")
def test_ray_address_that_answers_but_is_not_ray(built):
    """A port that takes TCP connections but speaks no Ray: the wait ends
    with --timeout (Ray alone retries it for minutes)."""
    d, _, _ = built
    held, stop = [], threading.Event()
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(16)
        server.settimeout(0.2)
        port = server.getsockname()[1]

        def accept():
            while not stop.is_set():
                try:
                    held.append(server.accept()[0])
                except TimeoutError:
                    pass

        acceptor = threading.Thread(target=accept, daemon=True)
        acceptor.start()
        try:
            r = run("search", d / "idx" / "manifest.json", d / "queries.npy", "-k", 2,
                    "--backend", "ray", "--ray-address", f"127.0.0.1:{port}", "--timeout", 5,
                    env={"RAY_ADDRESS": ""}, timeout=150)
        finally:
            stop.set()
            acceptor.join()
            for c in held:
                c.close()
    assert r.returncode == 2 and r.stdout == "", r.stderr
    assert held, "the command never connected"
    assert (f"lumvero-index: error: cannot connect to the Ray cluster at 127.0.0.1:{port}: no "
            f"answer from Ray in 5 s (is a Ray cluster listening there?)"
            in r.stderr.splitlines()), r.stderr


def test_info_of_a_manifest_and_of_an_index(built, tmp_path):
    d, X, _ = built
    manifest = d / "idx" / "manifest.json"
    m = load_manifest(manifest)
    r = run("info", manifest)
    assert r.returncode == 0, r.stderr
    sizes = [12 + s.rows * DIMS * 4 for s in m.shards]
    head = [f"path: {manifest}", "kind: build_shards manifest, format version 1", f"dims: {DIMS}",
            f"rows: {ROWS}",
            "metric: euclidean", "shards: 3", f"size: {sum(sizes)} bytes (15.9 KiB)",
            f"hash: {blake3_hex(manifest.read_bytes())} (manifest file)", "shard files:"]
    lines = r.stdout.splitlines()
    assert lines[:9] == head
    assert lines[9:] == [f"  {s.index}: {s.file} rows {s.first_row}-{s.first_row + s.rows - 1} "
                         f"({s.rows}) {size / 1024:.1f} KiB {s.index_hash}"
                         for s, size in zip(m.shards, sizes)]
    assert run("info", d / "idx").stdout == r.stdout  # the manifest's directory

    whole = one_file(X, "dot", tmp_path)
    r = run("info", whole_path(tmp_path))
    raw = whole_path(tmp_path).read_bytes()
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        f"path: {whole_path(tmp_path)}", "kind: index file", f"dims: {DIMS}", f"rows: {ROWS}",
        "metric: dot", f"size: {len(raw)} bytes (15.9 KiB)", f"hash: {blake3_hex(raw)}"]
    assert blake3_hex(raw) == whole.query_exact_detailed(np.zeros(DIMS, np.float32), 0).index_hash


def test_info_of_an_index_whose_header_starts_like_json(tmp_path):
    """dims 123 makes the first byte '{': still an index file."""
    X = np.ones((2, 123), np.float32)
    p = lumvero.py_prepare_bin_from_embeddings(X, 123, 2, "brace", "f32", metric="dot",
                                               output_dir=str(tmp_path))
    r = run("info", p)
    assert r.returncode == 0, r.stderr
    assert "kind: index file" in r.stdout and "dims: 123" in r.stdout


def test_verify(built, tmp_path):
    d, X, _ = built
    r = run("build", d / "emb.npy", "--metric", "dot", "--out", tmp_path / "v", "--shards", 4,
            "--name", "vv")
    assert r.returncode == 0, r.stderr
    manifest = tmp_path / "v" / "manifest.json"
    r = run("verify", manifest)
    assert r.returncode == 0, r.stdout + r.stderr
    m = load_manifest(manifest)
    assert r.stdout.splitlines() == [f"ok shard {s.index} ({s.file}): {s.index_hash}"
                                     for s in m.shards] + ["all 4 shards match the manifest"]

    # One value changed in shard 2, shard 3 gone.
    raw = bytearray((tmp_path / "v" / "vv-00002_f32.bin").read_bytes())
    raw[-1] ^= 0x80
    (tmp_path / "v" / "vv-00002_f32.bin").write_bytes(raw)
    os.unlink(tmp_path / "v" / "vv-00003_f32.bin")
    r = run("verify", manifest)
    assert r.returncode == 1
    lines = r.stdout.splitlines()
    assert lines[2] == (f"FAILED shard 2 (vv-00002_f32.bin): hash {blake3_hex(bytes(raw))}, "
                        f"manifest {m.shards[2].index_hash}")
    assert lines[3] == "FAILED shard 3 (vv-00003_f32.bin): file missing"
    assert lines[4] == "2 of 4 shards failed verification"
    # The same damage is refused when the shards are opened for search.
    with pytest.raises(ValueError, match=r"^shard 2 \(vv-00002_f32\.bin\): content hash"):
        ShardedIndex(manifest)

    # A truncated index file fails on its own.
    bad = tmp_path / "short.bin"
    bad.write_bytes(open(m.shards[0].path, "rb").read()[:-1])
    r = run("verify", bad)
    assert r.returncode == 1
    assert r.stdout == (f"FAILED {bad}: File too small: expected {12 + m.shards[0].rows * DIMS * 4}"
                        f" bytes, got {11 + m.shards[0].rows * DIMS * 4}\n")


KINDS = ["file", "manifest", "shards-directory", "index", "distributed"]


def save_as(kind, X, metric, d):
    """The rows X saved as one kind the command reads; returns the path to
    give it."""
    rows, dims = X.shape
    if kind == "file":
        d.mkdir()
        return lumvero.py_prepare_bin_from_embeddings(X, dims, rows, "whole", "f32",
                                                      metric=metric, output_dir=str(d))
    if kind in ("manifest", "shards-directory"):
        manifest = build_shards(X, d, 3, metric=metric)
        return manifest if kind == "manifest" else d
    if kind == "index":
        ix = Index(dims, metric)
        ix.add(X)
        ix.save(d)
        return d
    with DistributedIndex(dims, metric, shards=2, backend="local") as dx:
        dx.add(X)
        dx.save(d)
    return d


@pytest.mark.parametrize("metric", METRICS)
def test_search_answers_alike_on_every_kind(tmp_path, metric):
    """The same rows answer the same queries with the same scores, bit for
    bit, whatever kind holds them; under cosine every kind scales the query
    to unit length as Index does."""
    X, Q = make_data("random", 40, DIMS, NQ, seed=7)
    X[20:30] = X[:10]  # equal scores: the earlier row first everywhere
    Q *= 3
    np.save(tmp_path / "q.npy", Q)
    unit = Q.copy()
    if metric == "cosine":
        _native.normalize_rows(unit)
    want = reference(one_file(X, metric, tmp_path), unit, 7, metric)
    if metric == "cosine":
        assert np.abs(want[0]).max() <= 1.0001
    for kind in KINDS:
        r = run("search", save_as(kind, X, metric, tmp_path / kind), tmp_path / "q.npy", "-k", 7,
                "--json")
        assert r.returncode == 0, r.stderr
        doc = json.loads(r.stdout)
        assert_bit_identical((np.array(doc["scores"], np.float32),
                              np.array(doc["ids"], np.int64)), want)


def _flip_last_byte(path):
    with open(path, "r+b") as f:
        f.seek(-1, 2)
        last = f.read(1)
        f.seek(-1, 2)
        f.write(bytes([last[0] ^ 1]))


@pytest.mark.parametrize("kind, part", [
    ("index", "rows-"), ("index", "codes-"), ("index", "ids-"), ("index", "removed-"),
    ("distributed", "codes-"), ("distributed", "ids-"), ("manifest", "shard-00001"),
    ("index", "next_id"),
])
def test_verify_finds_any_damaged_file(tmp_path, kind, part):
    X, _ = make_data("random", 40, DIMS, 1, seed=8)
    top = save_as(kind, X, "dot", tmp_path / "saved")
    r = run("verify", top)
    assert r.returncode == 0, r.stdout + r.stderr
    d, label = top, ""
    if kind == "distributed":
        shard = "shard-00001"
        d, label = top / shard, f"shard 1 ({shard}) "
    elif kind == "manifest":
        d = tmp_path / "saved"
    if part == "next_id":
        # Every file matches its hash; the manifest's own number does not fit them.
        doc = json.loads((d / "manifest.json").read_text())
        (d / "manifest.json").write_text(json.dumps(dict(doc, next_id=1)))
        r = run("verify", top)
        assert r.returncode == 1 and r.stderr == ""
        assert r.stdout.splitlines()[-2:] == [
            f"FAILED index directory {d}: manifest.json: next_id 1 is not above every stored id "
            "(the largest is 39)", "the files match their hashes but do not load as an Index"]
        return
    if (kind, part) == ("index", "removed-"):  # a removal file: one row removed
        ix = Index.load(d)
        ix.remove([39])
        ix.save(d)
    name = next(p for p in sorted(os.listdir(d)) if p.startswith(part))
    before = blake3_hex((d / name).read_bytes())
    _flip_last_byte(d / name)
    r = run("verify", top)
    assert r.returncode == 1 and r.stderr == ""
    lines = r.stdout.splitlines()
    failed = f"FAILED shard 1 ({name})" if kind == "manifest" else f"FAILED {label}{name}"
    assert [line for line in lines if line.startswith("FAILED")] == [
        f"{failed}: hash {blake3_hex((d / name).read_bytes())}, manifest {before}"]
    what = {"index": f"{4 if part == 'removed-' else 3} files", "distributed": "2 shards",
            "manifest": "3 shards"}[kind]
    assert lines[-1] == f"1 of {what} failed verification"


@pytest.mark.parametrize("kind, how", [
    ("index", "parent"), ("index", "absolute"), ("index", "symlink"),
    ("shards-directory", "parent"), ("shards-directory", "absolute"),
    ("shards-directory", "symlink"), ("distributed", "symlink"),
])
def test_info_refuses_names_outside_the_directory(tmp_path, kind, how):
    """A name leading out of the directory is refused, even to an exact copy
    of the file it replaces (whose hash matches)."""
    X, _ = make_data("random", 40, DIMS, 1, seed=9)
    d = save_as(kind, X, "dot", tmp_path / "saved")
    if kind == "index":  # a removal file, which info reads
        ix = Index.load(d)
        ix.remove([0])
        ix.save(d)
    doc = json.loads((d / "manifest.json").read_text())
    entry = {"index": lambda: doc["segments"][0]["removed"],
             "shards-directory": lambda: doc["shards"][0],
             "distributed": lambda: doc["shards"][0]}[kind]()
    key = "directory" if kind == "distributed" else "file"
    name = entry[key]
    shutil.copytree(d / name, tmp_path / "copy") if kind == "distributed" else \
        shutil.copy(d / name, tmp_path / "copy")
    outside = {"parent": "../copy", "absolute": str(tmp_path / "copy")}.get(how)
    if how == "symlink":
        (shutil.rmtree if kind == "distributed" else os.unlink)(d / name)
        os.symlink("../copy", d / name)
    else:
        entry[key] = outside
        (d / "manifest.json").write_text(json.dumps(doc))
    message = {
        ("index", "parent"): f"index directory {d}: manifest.json: segments[0].removed names "
                             "'../copy', not a file an Index writes",
        ("index", "absolute"): f"index directory {d}: manifest.json: segments[0].removed names "
                               f"'{outside}', not a file an Index writes",
        ("index", "symlink"): f"index directory {d}: {name} lies outside the directory",
        ("shards-directory", "parent"): f"{d / 'manifest.json'}: invalid manifest: shard 0 "
                                        "(../copy) lies outside the manifest's folder",
        ("shards-directory", "absolute"): f"{d / 'manifest.json'}: invalid manifest: shard 0 "
                                          f"({outside}) is an absolute path; shard files are "
                                          "named relative to the manifest's folder",
        ("shards-directory", "symlink"): f"{d / 'manifest.json'}: invalid manifest: shard 0 "
                                         f"({name}) lies outside the manifest's folder",
        ("distributed", "symlink"): f"sharded index directory {d}: shard 0 ({name}) lies "
                                    "outside the directory",
    }[kind, how]
    assert_user_error(run("info", d), message)


def _index_numbers(key, value):
    return lambda doc: doc.__setitem__(key, value)


def _shard_rows(doc):
    doc["shards"][0]["rows"] = 2**40
    doc["rows"] = 2**40 + sum(s["rows"] for s in doc["shards"][1:])


@pytest.mark.parametrize("kind, edit, message", [
    ("index", _index_numbers("rows", 2**40),
     "index directory {d}: manifest.json: the row files hold 40 rows, rows says 1099511627776"),
    ("index", _index_numbers("rows", -1),
     "index directory {d}: manifest.json: rows -1 is not an integer >= 0"),
    ("index", _index_numbers("next_id", 2**64), "index directory {d}: manifest.json: next_id "
                                                "18446744073709551616 is not an integer from 0 "
                                                "to 2**63"),
    ("index", _index_numbers("next_id", -1),
     "index directory {d}: manifest.json: next_id -1 is not an integer from 0 to 2**63"),
    ("shards-directory", _shard_rows, "{d}/manifest.json: invalid manifest: shard 0 "
                                      "(shard-00000_f32.bin) has rows 1099511627776; an index "
                                      "file holds at most 4294967295"),
    ("shards-directory", _index_numbers("rows", -1),
     "{d}/manifest.json: invalid manifest: rows -1 is not a positive integer"),
    ("distributed", _shard_rows, "sharded index directory {d}: {order} does not hold "
                                 "1099511627776 (id, order) pairs"),
    ("distributed", _index_numbers("next_id", 2**64),
     "sharded index directory {d}: manifest.json lacks valid dims, metric or next_id"),
], ids=["index-rows-2**40", "index-rows-1", "index-next-id-2**64", "index-next-id-1",
        "shards-rows-2**40", "shards-rows-1", "distributed-rows-2**40",
        "distributed-next-id-2**64"])
def test_hostile_numbers_are_refused_by_every_command(tmp_path, kind, edit, message):
    """Numbers past the files or int64 are refused before anything is
    allocated for them, by name: the command's one error line, never its
    internal error."""
    X, Q = make_data("random", 40, DIMS, 1, seed=10)
    np.save(tmp_path / "q.npy", Q)
    d = save_as(kind, X, "dot", tmp_path / "saved")
    doc = json.loads((d / "manifest.json").read_text())
    order = doc["shards"][0].get("order") if kind == "distributed" else None
    edit(doc)
    (d / "manifest.json").write_text(json.dumps(doc))
    for args in (["info"], ["verify"], ["search", "-k", 2]):
        where = [d, tmp_path / "q.npy"] if args[0] == "search" else [d]
        assert_user_error(run(args[0], *where, *args[1:]), message.format(d=d, order=order))


def save(tmp_path, name, arr):
    np.save(tmp_path / name, arr)
    return tmp_path / name


@pytest.mark.parametrize("case", [
    "missing", "not-npy", "float64", "one-dim", "metric", "shards0", "no-out", "too-many-shards",
    "bad-name", "name-without-shards", "ids-with-shards", "float-ids", "repeated-ids",
])
def test_build_errors(tmp_path, case):
    emb = save(tmp_path, "e.npy", np.ones((4, 3), np.float32))
    out = tmp_path / "o"
    args, message = {
        "missing": (["build", tmp_path / "nope.npy", "--metric", "dot", "--out", out],
                    f"{tmp_path / 'nope.npy'}: no such file"),
        "not-npy": (["build", tmp_path / "t.txt", "--metric", "dot", "--out", out],
                    f"{tmp_path / 't.txt'}: is not a NumPy .npy file (it does not start with the "
                    ".npy signature)"),
        "float64": (["build", save(tmp_path, "d.npy", np.ones((4, 3))), "--metric", "dot",
                     "--out", out, "--shards", 1], f"{tmp_path / 'd.npy'}: embeddings must be "
                                                   "float32, got float64"),
        "one-dim": (["build", save(tmp_path, "v.npy", np.ones(4, np.float32)), "--metric", "dot",
                     "--out", out], f"{tmp_path / 'v.npy'}: embeddings must be a (rows, dims) "
                                    "matrix, got shape (4,)"),
        "metric": (["build", emb, "--metric", "euclid", "--out", out],
                   "Unknown similarity metric: euclid"),
        "shards0": (["build", emb, "--metric", "dot", "--out", out, "--shards", 0],
                    "--shards must be at least 1, got 0"),
        "no-out": (["build", emb, "--metric", "dot"],
                   "the following arguments are required: --out (see lumvero-index build "
                   "--help)"),
        "too-many-shards": (["build", emb, "--metric", "dot", "--out", out, "--shards", 5],
                            "n_shards must be between 1 and the row count 4, got 5"),
        "bad-name": (["build", emb, "--metric", "dot", "--out", out, "--name", "a.b",
                      "--shards", 1],
                     "Invalid base_name: cannot be empty or contain special characters"),
        "name-without-shards": (["build", emb, "--metric", "dot", "--out", out, "--name", "a"],
                                "--name and --normalize are for file shards (--shards N); an "
                                "Index directory scales rows to unit length for cosine only"),
        "ids-with-shards": (["build", emb, "--metric", "dot", "--out", out, "--shards", 1,
                             "--ids", emb], "--ids and --resume are for an Index directory "
                                            "(without --shards)"),
        "float-ids": (["build", emb, "--metric", "dot", "--out", out, "--ids", emb],
                      f"{emb}: ids must be a 1-D array of integers, got float32 of shape (4, 3)"),
        "repeated-ids": (["build", emb, "--metric", "dot", "--out", out, "--ids",
                          save(tmp_path, "i.npy", np.array([1, 2, 2, 3]))],
                         f"building index directory {out}: the source's rows from 0: ids "
                         f"repeated in this call: [2]"),
    }[case]
    (tmp_path / "t.txt").write_text("hello\n")
    r = run(*args)
    assert_user_error(r, message)
    assert not (out / "manifest.json").exists()


def test_build_writes_an_index_directory(tmp_path):
    """By default build writes an Index directory, from any real dtype and
    with the ids given: what Index.add and save write of the same rows."""
    from conftest import manifest_content

    X = np.random.default_rng(3).standard_normal((700, 12))
    ids = np.random.default_rng(4).permutation(5000)[:700]
    r = run("build", save(tmp_path, "emb.npy", X), "--metric", "Cosine", "--out", tmp_path / "ix",
            "--ids", save(tmp_path, "ids.npy", ids))
    assert (r.returncode, r.stdout, r.stderr) == (0, f"{tmp_path / 'ix'}\n", "")
    ref = Index(12, "cosine")
    ref.add(X, ids=ids)
    ref.save(tmp_path / "ref")
    assert manifest_content(tmp_path / "ix") == manifest_content(tmp_path / "ref")
    r = run("search", tmp_path / "ix", save(tmp_path, "q.npy", X[:3].astype(np.float32)), "-k", 4,
            "--json")
    assert json.loads(r.stdout)["ids"] == ref.search(X[:3], 4)[1].tolist()


NOT_INDEX = ("is not a lumvero index (expected a 12-byte header of dims, rows and metric id 0, 1 "
             "or 2")


@pytest.mark.parametrize("case", ["dims", "k", "nan", "no-index", "not-index", "no-k",
                                  "short-index", "bad-manifest", "npy-as-index",
                                  "text-as-index", "directory-as-index", "text-as-queries",
                                  "directory-as-queries"])
def test_search_info_verify_errors(built, tmp_path, case):
    d, _, _ = built
    manifest = d / "idx" / "manifest.json"
    q = d / "queries.npy"
    (tmp_path / "tiny.bin").write_bytes(b"\x01\x00")
    (tmp_path / "notes.txt").write_text("rows and dims of the test set\n")
    (tmp_path / "folder").mkdir()
    (tmp_path / "m.json").write_text('{"format": 1, "shards": 5}')
    short = tmp_path / "short.bin"
    short.write_bytes(np.array([4, 2, 0], "<u4").tobytes() + b"\0" * 20)
    args, message = {
        "dims": (["search", manifest, save(tmp_path, "q.npy", np.ones((2, 7), np.float32)), "-k",
                  3], "Query dimensions 7 != index dimensions 20"),
        "k": (["search", manifest, q, "-k", -1], "-k must be non-negative, got -1"),
        "nan": (["search", manifest, save(tmp_path, "n.npy", np.full((1, DIMS), np.nan,
                                                                    np.float32)), "-k", 2],
                "queries contain non-finite values (NaN or Inf)"),
        "no-index": (["search", tmp_path / "none.bin", q, "-k", 2],
                     f"{tmp_path / 'none.bin'}: no such file"),
        "not-index": (["info", tmp_path / "tiny.bin"],
                      f"{tmp_path / 'tiny.bin'}: {NOT_INDEX}; the file has 2 bytes)"),
        "npy-as-index": (["info", q], f"{q}: {NOT_INDEX}; this is a NumPy .npy file)"),
        "text-as-index": (["search", tmp_path / "notes.txt", q, "-k", 2],
                          f"{tmp_path / 'notes.txt'}: {NOT_INDEX}; found metric id 1835623456)"),
        "directory-as-index": (["search", tmp_path / "folder", q, "-k", 2],
                               f"{tmp_path / 'folder'}: is a directory without manifest.json "
                               f"(not a saved Index or DistributedIndex)"),
        "text-as-queries": (["search", manifest, tmp_path / "notes.txt", "-k", 2],
                            f"{tmp_path / 'notes.txt'}: is not a NumPy .npy file (it does not "
                            "start with the .npy signature)"),
        "directory-as-queries": (["search", manifest, tmp_path / "folder", "-k", 2],
                                 f"{tmp_path / 'folder'}: is a directory"),
        "no-k": (["search", manifest, q],
                 "the following arguments are required: -k (see lumvero-index search --help)"),
        "short-index": (["search", short, q, "-k", 1],
                        f"{short}: File too small: expected 44 bytes, got 32"),
        "bad-manifest": (["verify", tmp_path / "m.json"],
                         f"{tmp_path / 'm.json'}: invalid manifest: unknown metric None"),
    }[case]
    assert_user_error(run(*args), message)


def test_no_command():
    assert_user_error(run(), "the following arguments are required: command (see lumvero-index "
                             "--help)")


@pytest.mark.parametrize("exc, status, stderr", [
    (ZeroDivisionError("float division by zero"), 3,
     "lumvero-index: internal error: ZeroDivisionError: float division by zero (a fault in "
     "lumvero-index; please report it)\n"),
    (TypeError("'NoneType' object is not\nsubscriptable"), 3,
     "lumvero-index: internal error: TypeError: 'NoneType' object is not subscriptable (a fault "
     "in lumvero-index; please report it)\n"),
    (KeyError("dims"), 3, "lumvero-index: internal error: KeyError: 'dims' (a fault in "
                          "lumvero-index; please report it)\n"),
    (ValueError("Unknown metric id: 7"), 2, "lumvero-index: error: Unknown metric id: 7\n"),
    (FileNotFoundError(2, "No such file or directory", "x.bin"), 2,
     "lumvero-index: error: x.bin: No such file or directory\n"),
    (KeyboardInterrupt(), 130, ""),
])
def test_exit_status_of_each_kind_of_failure(monkeypatch, capsys, exc, status, stderr):
    """A fault of the tool itself has its own status, never the 1 of a
    verification that found a mismatch."""
    from lumvero_contrib import cli

    def fail(args):
        raise exc

    monkeypatch.setattr(cli, "cmd_info", fail)
    assert cli.main(["info", "x.bin"]) == status
    out = capsys.readouterr()
    assert (out.out, out.err) == ("", stderr)


def _child_peak_rss_kib(*args):
    """The command run by a fresh parent, whose only child it is: (result,
    the child's peak resident memory in KiB)."""
    code = ("import resource, subprocess, sys; "
            "r = subprocess.run(sys.argv[1:], capture_output=True, text=True); "
            "print(r.returncode); print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss); "
            "sys.stderr.write(r.stderr)")
    r = subprocess.run([sys.executable, "-c", code, SCRIPT, *map(str, args)],
                       capture_output=True, text=True, timeout=300)
    status, peak = r.stdout.split()
    return subprocess.CompletedProcess(args, int(status), "", r.stderr), int(peak)


@pytest.mark.parametrize("case", ["fifo", "fifo-shard", "brace-index", "invalid-json",
                                  "nested-json", "umask"])
def test_files_are_read_safely(built, tmp_path, case):
    """Pipes are refused instead of waited on, an index is never read whole
    to find out it is not JSON, JSON that does not parse is a manifest with a
    mistake (status 2, not the 1 of a mismatch), and manifest.json is made
    with the umask like the shards."""
    d, _, _ = built
    if case == "fifo":
        os.mkfifo(tmp_path / "pipe")
        r = run("verify", tmp_path / "pipe", timeout=60)
        assert_user_error(r, f"{tmp_path / 'pipe'}: is not a regular file (a named pipe)")
    elif case == "fifo-shard":
        r = run("build", d / "emb.npy", "--metric", "dot", "--out", tmp_path, "--shards", 2)
        assert r.returncode == 0, r.stderr
        os.unlink(tmp_path / "shard-00001_f32.bin")
        os.mkfifo(tmp_path / "shard-00001_f32.bin")
        with pytest.raises(ValueError, match=r"^shard 1 \(shard-00001_f32\.bin\): .*: is not a "
                                             r"regular file \(a named pipe\)$"):
            ShardedIndex(tmp_path / "manifest.json")
        r = run("verify", tmp_path / "manifest.json", timeout=60)
        assert r.returncode == 1 and r.stderr == ""
        assert r.stdout.splitlines()[1:] == [
            f"FAILED shard 1 (shard-00001_f32.bin): {tmp_path / 'shard-00001_f32.bin'}: is not a "
            "regular file (a named pipe)", "1 of 2 shards failed verification"]
    elif case == "brace-index":
        # dims 123: the first byte is "{". A sparse 1 GiB file whose header
        # asks for more is refused after reading its first bytes only.
        big = tmp_path / "brace.bin"
        with open(big, "wb") as f:
            f.write(np.array([123, 1 << 22, 1], "<u4").tobytes())
            f.truncate(1 << 30)
        r, peak_kib = _child_peak_rss_kib("info", big)
        assert_user_error(r, f"{big}: File too small: expected {12 + 4 * 123 * (1 << 22)} bytes, "
                             f"got {1 << 30}")
        assert peak_kib < 400 << 10
    elif case in ("invalid-json", "nested-json"):
        text = '{"format": 1, "shards": [' if case == "invalid-json" else '{"a": ' + "[" * 100_000
        (tmp_path / "m.json").write_text(text)
        r = run("verify", tmp_path / "m.json")
        reason = ("Expecting value: line 1 column 26 (char 25)" if case == "invalid-json"
                  else "nested too deeply")
        assert_user_error(r, f"{tmp_path / 'm.json'}: not a shard manifest (invalid JSON: "
                             f"{reason})")
    else:
        r = run("build", d / "emb.npy", "--metric", "dot", "--out", tmp_path, "--shards", 2,
                umask=0o027)
        assert r.returncode == 0, r.stderr
        modes = {p.name: p.stat().st_mode & 0o777 for p in tmp_path.iterdir()}
        assert modes == {"manifest.json": 0o640, "shard-00000_f32.bin": 0o640,
                         "shard-00001_f32.bin": 0o640}


def test_version_is_the_module_version():
    import re

    import lumvero_contrib

    cmake = open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt")).read()
    assert lumvero_contrib.__version__ == re.search(r"project\(lumvero VERSION ([0-9.]+)",
                                                    cmake).group(1)
