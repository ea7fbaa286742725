"""build_index: an Index directory built a batch at a time equals Index.add
and save of the same rows; bad sources are refused leaving the previous
state; a build killed anywhere resumes to the same result or leaves the
previous state loadable."""
import json
import os
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

from blake3_ref import blake3_hex
from conftest import manifest_content
from lumvero_contrib import Index, _native, build_index

DIMS = 24


def rows(n, dtype=np.float64, seed=1):
    return np.random.default_rng(seed).standard_normal((n, DIMS)).astype(dtype)


def memmap(tmp_path, X, name="x.npy"):
    np.save(tmp_path / name, X)
    return np.load(tmp_path / name, mmap_mode="r")


def assert_same_answers(built, ref, Q):
    """Answers bit for bit, the built directory read whole (its codes
    compared with those its rows give: a difference would warn)."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ix = Index.load(built, mmap=False)
    for k in (1, 7):
        for got, want in zip(ix.search(Q, k), ref.search(Q, k)):
            assert got.tobytes() == want.tobytes()
    assert ix.ids().tolist() == ref.ids().tolist()
    return ix


def snapshot(d):
    return {n: (d / n).read_bytes() for n in sorted(os.listdir(d)) if n != "save.lock"}


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("own_ids", [False, True])
def test_built_from_a_memmap_equals_add_and_save(tmp_path, metric, dtype, own_ids):
    X = rows(3000, dtype)
    X[17] = 0  # a zero row stays zero under cosine, as add keeps it
    ids = np.random.default_rng(2).permutation(10**6)[:3000] * 3 if own_ids else None
    ref = Index(DIMS, metric)
    ref.add(X, ids=ids)
    ref.save(tmp_path / "ref")
    # Batches of 700 rows cut the stripes of the codes (256 rows) anywhere.
    assert build_index(memmap(tmp_path, X), tmp_path / "ix", metric, ids=ids, batch_rows=700,
                       progress=False) == 3000
    assert manifest_content(tmp_path / "ix") == manifest_content(tmp_path / "ref")
    assert_same_answers(tmp_path / "ix", ref, X[::500])
    # Smaller segments, batches across their ends: other files, same answers.
    build_index(memmap(tmp_path, X), tmp_path / "seg", metric, ids=ids, batch_rows=300,
                segment_rows=1100, progress=False)
    m = manifest_content(tmp_path / "seg")
    assert [s["rows"] for s in m["segments"]] == [1100, 1100, 800]
    assert "build" not in m and m["next_id"] == manifest_content(tmp_path / "ref")["next_id"]
    assert_same_answers(tmp_path / "seg", ref, X[::500])


def test_built_from_batches_equals_their_adds(tmp_path):
    """An iterable of (rows, ids) batches, ids given or default, of any size
    and dtype: the index of those adds."""
    X = rows(2000)
    cuts = [0, 5, 300, 301, 900, 1500, 2000]
    given = [np.arange(7, 12), None, [1000], None, np.arange(3000, 2400, -1), None]
    batches = [(X[a:b].astype(np.float32 if i % 2 else np.float64), given[i])
               for i, (a, b) in enumerate(zip(cuts, cuts[1:]))]
    ref = Index(DIMS, "cosine")
    for batch, ids in batches:
        ref.add(batch, ids=ids)
    ref.save(tmp_path / "ref")
    build_index(iter(batches), tmp_path / "ix", "cosine", segment_rows=512, progress=False)
    assert_same_answers(tmp_path / "ix", ref, X[::300])
    m = manifest_content(tmp_path / "ix")
    assert m["next_id"] == manifest_content(tmp_path / "ref")["next_id"] == 3501
    assert [s["rows"] for s in m["segments"]] == [512, 512, 512, 464]
    # An array in memory is read by slicing, never scaled in place.
    kept = X.copy()
    build_index(X, tmp_path / "arr", "cosine", batch_rows=333, progress=False)
    assert X.tobytes() == kept.tobytes()
    ref = Index(DIMS, "cosine")
    ref.add(X)
    assert_same_answers(tmp_path / "arr", ref, X[::300])


def _bad_batches(case):
    X = rows(1000)
    if case == "dims":
        return [(X[:600], None), (X[600:, :5], None)]
    if case == "nan":
        Y = X.copy()
        Y[700, 3] = np.nan
        return [(Y[:600], None), (Y[600:], None)]
    if case == "repeated":
        return [(X[:600], np.arange(600) * 2), (X[600:], np.arange(400) + 1000)]
    if case == "negative":
        return [(X[:600], None), (X[600:], np.arange(400) - 5)]
    return [(X[:600], np.arange(600)), ("text", None)]


@pytest.mark.parametrize("case,message", [
    ("dims", "batch 1 of the source: the batch has 5 columns; this index has 24 dims"),
    ("nan", "batch 1 of the source: the batch has a non-finite value at row 100, column 3 (nan as "
            "float32); pass finite values"),
    ("repeated", "batch 1 of the source: ids already present: [1000, 1002, 1004, 1006, 1008, "
                 "1010, 1012, 1014, 1016, 1018, ...]"),
    ("negative", "batch 1 of the source: ids must be >= 0; negative ids: [-5, -4, -3, -2, -1]"),
    ("dtype", "batch 1 of the source: the batch must hold real numbers; got dtype <U4"),
])
def test_bad_sources_leave_the_previous_state(tmp_path, case, message):
    old = Index(DIMS, "dot")
    old.add(rows(50, seed=9))
    old.save(tmp_path / "ix")
    before = snapshot(tmp_path / "ix")
    error = TypeError if case == "dtype" else ValueError
    with pytest.raises(error) as e:
        build_index(iter(_bad_batches(case)), tmp_path / "ix", "dot", progress=False)
    assert str(e.value) == f"building index directory {tmp_path / 'ix'}: {message}"
    assert snapshot(tmp_path / "ix") == before  # nothing left of the failed build
    Index.load(tmp_path / "ix")


def test_array_source_refusals(tmp_path):
    X = memmap(tmp_path, rows(10))
    with pytest.raises(ValueError, match=r"^got 9 ids for 10 rows of the source; pass one id per "
                                         r"row$"):
        build_index(X, tmp_path / "ix", ids=np.arange(9), progress=False)
    with pytest.raises(ValueError, match=r"^source must be of shape \(rows, dims\); got shape "
                                         r"\(240,\)$"):
        build_index(X.reshape(-1), tmp_path / "ix", progress=False)
    with pytest.raises(ValueError, match="holds no unfinished build to resume"):
        Index(DIMS).save(tmp_path / "done")
        build_index(X, tmp_path / "done", resume=True, progress=False)
    # Resumed with another source: refused, the checkpoint kept.
    build_index(X, tmp_path / "ck", "dot", segment_rows=4, progress=False)
    m = json.loads((tmp_path / "ck" / "manifest.json").read_text())
    m["build"] = {"source": {"rows": 10, "dims": DIMS, "dtype": "<f8", "ids": "default",
                             "segment_rows": 4}, "rows": 0, "tail": "0" * 64}
    (tmp_path / "ck" / "manifest.json").write_text(json.dumps(m))
    with pytest.raises(ValueError, match="build does not describe the rows the manifest lists"):
        build_index(X, tmp_path / "ck", "dot", segment_rows=4, resume=True, progress=False)


STREAM_CHILD = """
import sys, numpy as np
from lumvero_contrib import build_index
X = np.load(sys.argv[1], mmap_mode="r")
sys.stdout.write("go\\n"); sys.stdout.flush()
build_index(X, sys.argv[2], "cosine", batch_rows=900, segment_rows=2000, progress=False)
"""


def _row_files(d):
    return [n for n in os.listdir(d) if n.startswith("rows-")] if d.exists() else []


def test_a_killed_build_resumes_or_leaves_the_previous_state(tmp_path, long_run):
    """Killed as its k-th row file appears (and a little later), a build
    leaves the old index or a checkpoint; resumed, it ends as the build that
    was never killed."""
    X = rows(20000, np.float32, seed=5)
    path = tmp_path / "x.npy"
    np.save(path, X)
    ref = Index(DIMS, "cosine")
    ref.add(X)
    build_index(np.load(path, mmap_mode="r"), tmp_path / "straight", "cosine", batch_rows=900,
                segment_rows=2000, progress=False)
    straight = manifest_content(tmp_path / "straight")
    old = Index(DIMS, "cosine")
    old.add(rows(30, seed=8))
    outcomes = {"old": 0, "checkpoint": 0, "new": 0}
    rng = np.random.default_rng(0)
    for i in range(30 if long_run else 8):
        d = tmp_path / f"ix{i}"
        old.save(d)
        old_manifest = manifest_content(d)
        k = int(rng.integers(len(_row_files(d)) + 1, len(_row_files(d)) + 11))
        child = subprocess.Popen([sys.executable, "-c", STREAM_CHILD, str(path), str(d)],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "go\n"
        while child.poll() is None and len(_row_files(d)) < k:
            time.sleep(0.0005)
        if i % 2:  # else at once: inside the k-th segment
            time.sleep(rng.uniform(0, 0.02))
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=120)
        child.stdout.close()
        m = manifest_content(d)
        if "build" not in m:
            kind = "old" if m == old_manifest else "new"
            assert m in (old_manifest, straight)
            assert len(Index.load(d)) == (30 if kind == "old" else 20000)
        else:
            kind = "checkpoint"
            done = m["build"]["rows"]
            assert done % 2000 == 0 and 0 < done < 20000
            part = Index.load(d)
            assert part.ids().tolist() == list(range(done))
            np.testing.assert_array_equal(part.get([done - 1]), ref.get([done - 1]))
            build_index(np.load(path, mmap_mode="r"), d, "cosine", batch_rows=900,
                        segment_rows=2000, resume=True, progress=False)
            assert manifest_content(d) == straight
            assert_same_answers(d, ref, X[::4000])
        outcomes[kind] += 1
    print("kills:", outcomes)
    assert outcomes["checkpoint"] > 0, outcomes


def test_a_resumed_iterable_is_read_again_and_checked(tmp_path):
    """A resumed iterable is read from its start: its ids are checked
    again, the rows written before are skipped, and a source whose last
    rows written differ is refused."""
    X = rows(3000)
    batches = [(X[a:a + 700], np.arange(a, min(a + 700, 3000))[::-1] + 5)
               for a in range(0, 3000, 700)]

    def killed():
        yield from batches[:3]
        raise KeyboardInterrupt  # the build is stopped after its first checkpoint

    with pytest.raises(KeyboardInterrupt):
        build_index(killed(), tmp_path / "ix", "euclidean", segment_rows=1000, progress=False)
    assert manifest_content(tmp_path / "ix")["build"]["rows"] == 2000
    other = [(b[0] + (i == 2), b[1]) for i, b in enumerate(batches)]
    with pytest.raises(ValueError, match="the source's rows before row 2000 or their ids are not"):
        build_index(iter(other), tmp_path / "ix", "euclidean", segment_rows=1000, resume=True,
                    progress=False)
    build_index(iter(batches), tmp_path / "ix", "euclidean", segment_rows=1000, resume=True,
                progress=False)
    ref = Index(DIMS, "euclidean")
    for b, ids in batches:
        ref.add(b, ids=ids)
    assert_same_answers(tmp_path / "ix", ref, X[::600])


def test_blake3_stream_and_codes_head():
    """A stream fed in pieces gives the digest of their concatenation; the
    codes file's head and its parts' sections are codes_file of all rows."""
    data = np.random.default_rng(3).integers(0, 256, 10000, np.uint8).tobytes()
    s = _native.blake3_stream()
    for a, b in [(0, 1), (1, 1024), (1024, 5000), (5000, 10000)]:
        _native.blake3_update(s, data[a:b])
    assert _native.blake3_stream_hex(s) == blake3_hex(data)
    R = rows(3000, np.float32)  # 4.4 sum blocks
    norms = _native.row_norms_sq(R)
    whole = b"".join(bytes(p) for p in _native.codes_file(R, norms, bytes(range(32))))
    parts = [_native.codes_file(R[a:b], norms[a:b], bytes(32), 2)
             for a, b in [(0, 512), (512, 3000)]]
    head, pad, tail = _native.codes_file_head(3000, DIMS, bytes(range(32)))
    # The sums of the row data's 64 KiB blocks, fed a whole number of blocks
    # at a time.
    data = R.data.cast("B")
    sums = _native.block_sums(data[:65536 * 2]) + _native.block_sums(data[65536 * 2:])
    pieced = head + b"".join(bytes(p[k]) for k in (1, 2, 3) for p in parts) + pad + \
        b"".join(bytes(p[5]) for p in parts) + tail + sums
    assert pieced == whole
