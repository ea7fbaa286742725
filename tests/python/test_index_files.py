"""The directory Index.save writes, under concurrency and failure: saves and
loads from several threads and processes at once, a save that runs out of
room, rows mapped from a file shortened under a foreign SIGBUS handler,
directories a save must not touch, and the order of the flushes that make a
saved state survive a crash (for the shard manifest too)."""
import errno
import json
import os
import re
import subprocess
import sys
import threading

import numpy as np
import pytest

from lumvero_contrib import DistributedIndex, Index
from lumvero_contrib.shards import build_shards

STATES = r"""
import numpy as np
from lumvero_contrib import Index

Q = np.random.default_rng(99).standard_normal((3, 8))


def state(which):
    rng = np.random.default_rng(which)
    n = 30 + 15 * which
    ix = Index(8, metric="dot")
    ix.add(rng.standard_normal((n, 8)), ids=np.arange(n) + 1000 * which)
    ix.remove([1000 * which + 2])
    return ix


def signature(ix):
    scores, ids = ix.search(Q, 5)
    return ix.ids().tolist(), scores.tobytes(), ids.tolist()
"""
exec(STATES)

CONCURRENT_CHILD = STATES + r"""
import os, sys
role, d = sys.argv[1], sys.argv[2]
if role == "save":
    ix = state(int(sys.argv[3]))
    for _ in range(int(sys.argv[4])):
        ix.save(d)
else:  # load until the savers are done, at least a few times
    want = [signature(state(1)), signature(state(2))]
    loads = fails = 0
    while not os.path.exists(sys.argv[3]) or loads < 5:
        try:
            if signature(Index.load(d, mmap=loads % 2 == 0)) not in want:
                print("a state that was never saved")
                fails += 1
        except Exception as e:
            print(type(e).__name__, e)
            fails += 1
        loads += 1
    print("loads", loads, "failed", fails)
"""


def _assert_one_saved_state(d):
    assert signature(Index.load(d)) in [signature(state(1)), signature(state(2))]
    # The files of that state and of the version before it, and nothing
    # else: the cleanup kept up.
    versions = Index.versions(d)
    assert len(versions) == 2 and versions[1] == versions[0] + 1
    want = {"manifest.json", "save.lock"}
    for v in versions:
        m = json.loads((d / f"manifest-{v}.json").read_text())
        want |= {f"manifest-{v}.json"} | {f["file"] for seg in m["segments"]
                                         for f in seg.values() if isinstance(f, dict)}
    assert set(os.listdir(d)) == want


def test_saves_and_loads_from_several_processes(tmp_path):
    d = tmp_path / "ix"
    child = [sys.executable, "-c", CONCURRENT_CHILD]
    subprocess.run(child + ["save", str(d), "1", "1"], check=True, timeout=120)
    stop = tmp_path / "stop"
    loader = subprocess.Popen(child + ["load", str(d), str(stop)], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    savers = [subprocess.Popen(child + ["save", str(d), str(which), "25"],
                               stderr=subprocess.PIPE, text=True) for which in (1, 2, 1)]
    try:
        for p in savers:
            assert p.wait(timeout=300) == 0, p.stderr.read() if p.stderr else ""
    finally:
        stop.touch()
        out, err = loader.communicate(timeout=300)
    assert loader.returncode == 0, err
    assert out.splitlines()[-1].endswith(" failed 0"), out
    _assert_one_saved_state(d)


def test_saves_from_several_threads(tmp_path):
    d = tmp_path / "ix"
    errors = []

    def save(ix, rounds=20):
        try:
            for _ in range(rounds):
                ix.save(d)
        except Exception as e:  # reported below: every save must succeed
            errors.append(e)

    for _ in range(3):
        threads = [threading.Thread(target=save, args=(state(w),)) for w in (1, 2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        _assert_one_saved_state(d)


SIGBUS_CHILD = r"""
import faulthandler, os, sys
import numpy as np
from lumvero_contrib import Index
src, dst = sys.argv[1], sys.argv[2]
ix = Index(128, metric="dot")
ix.add(np.arange(40 * 128, dtype=np.float32).reshape(40, 128))  # rows past the first page
ix.save(src)
to_compact, to_save = Index.load(src, mmap=True), Index.load(src, mmap=True)
# faulthandler's SIGBUS handler now sits in front of the engine's, as Ray's
# crash reporter does when it starts after the load.
faulthandler.enable()
to_compact.remove(range(4))  # a tenth of the rows: compact copies the rest
rows = next(p for p in os.listdir(src) if p.endswith(".index"))
os.truncate(os.path.join(src, rows), 12)
for name, call in [("compact", to_compact.compact), ("save", lambda: to_save.save(dst)),
                   ("search", lambda: to_save.search(np.ones(128), 3))]:
    try:
        call()
        print(name, "no error")
    except ValueError as e:
        print(name, "ValueError", e)
print(sorted(os.listdir(dst)), len(to_compact))
"""


def test_rows_of_a_shortened_file_are_copied_under_the_fault_guard(tmp_path):
    src, dst = tmp_path / "src", tmp_path / "dst"
    r = subprocess.run([sys.executable, "-c", SIGBUS_CHILD, str(src), str(dst)],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr  # -7: the process died of SIGBUS
    rows = next(p for p in os.listdir(src) if p.endswith(".index"))
    changed = f"row file {src / rows} changed while in use; load the index again"
    assert r.stdout.splitlines() == [f"compact ValueError {changed}", f"save ValueError {changed}",
                                     f"search ValueError {changed}", "['save.lock'] 36"]


FSIZE_CHILD = r"""
import os, resource, sys
import numpy as np
from lumvero_contrib import Index
d = sys.argv[1]
small = Index(16, metric="dot")
small.add(np.ones((4, 16)))
small.save(d)
before = sorted(os.listdir(d))
resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 10, 64 << 10))
big = Index(16, metric="dot")
big.add(np.ones((2000, 16)))  # a 128 KB row file
try:
    big.save(d)
    print("saved")
except OSError as e:
    print("OSError", e.errno)
print(sorted(os.listdir(d)) == before)
small.add(np.zeros((1, 16)))
small.save(d)  # a partial file left behind would take this save's room
print(len(Index.load(d)))
"""


def test_a_failed_save_removes_its_files(tmp_path):
    d = tmp_path / "ix"
    r = subprocess.run([sys.executable, "-c", FSIZE_CHILD, str(d)], capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["OSError", str(errno.EFBIG), "True", "5"]


def _shard_directory(d):
    build_shards(np.ones((4, 8), np.float32), d, 2, metric="dot")


def _only_manifest(d):
    d.mkdir()
    (d / "manifest.json").write_text(json.dumps({"format": 1, "shards": []}))


def _other_file(d):
    d.mkdir()
    (d / "notes.txt").write_text("mine")
    (d / ("ids-" + "0" * 32 + ".npy")).write_bytes(b"an Index's name, not listed")


def _sub_directory(d):
    d.mkdir()
    (d / "sub").mkdir()
    (d / "sub" / "x").write_text("mine")


def _save_sharded(d):
    with DistributedIndex(8, "dot", shards=2, backend="local") as ix:
        ix.add(np.eye(8), ids=np.arange(8))
        ix.save(d)


def _snapshot(d):
    """Every name under d with its bytes (None for a folder)."""
    return {os.path.relpath(os.path.join(top, name), d):
            None if name in dirs else open(os.path.join(top, name), "rb").read()
            for top, dirs, files in os.walk(d) for name in dirs + files}


INDEX_AGAIN = "save into a new or empty directory, or one an Index was saved to"
SHARDED_AGAIN = "save into a new or empty directory, or one a DistributedIndex was saved to"


@pytest.mark.parametrize("save, prepare, message", [
    (state(1).save, _shard_directory, rf"index directory {{d}}: holds files an Index did not "
                                      rf"write \(shard-00000_f32\.bin, shard-00001_f32\.bin\); "
                                      rf"{INDEX_AGAIN}"),
    (state(1).save, _only_manifest, r"index directory {d}: its manifest\.json is not one an Index "
                                    r"wrote \(not an Index manifest\); save into a new or empty "
                                    r"directory"),
    (state(1).save, _other_file, rf"index directory {{d}}: holds files an Index did not write "
                                 rf"\(notes\.txt\); {INDEX_AGAIN}"),
    (state(1).save, _sub_directory, rf"index directory {{d}}: holds files an Index did not write "
                                    rf"\(sub\); {INDEX_AGAIN}"),
    (state(1).save, _save_sharded, rf"index directory {{d}}: holds a saved DistributedIndex \(its "
                                   rf"manifest\.json is a DistributedIndex's\); {INDEX_AGAIN}"),
    (_save_sharded, state(1).save, rf"sharded index directory {{d}}: holds a saved Index \(its "
                                   rf"manifest\.json is an Index's\); {SHARDED_AGAIN}"),
    (_save_sharded, _shard_directory, rf"sharded index directory {{d}}: holds files a "
                                      rf"DistributedIndex did not write \(shard-00000_f32\.bin, "
                                      rf"shard-00001_f32\.bin\); {SHARDED_AGAIN}"),
    (_save_sharded, _only_manifest, r"sharded index directory {d}: its manifest\.json is not one "
                                    r"a DistributedIndex wrote \(not a DistributedIndex "
                                    r"manifest\); save into a new or empty directory"),
    (_save_sharded, _other_file, rf"sharded index directory {{d}}: holds files a DistributedIndex "
                                 rf"did not write \(ids-0{{32}}\.npy, notes\.txt\); "
                                 rf"{SHARDED_AGAIN}"),
    (_save_sharded, _sub_directory, rf"sharded index directory {{d}}: holds files a "
                                    rf"DistributedIndex did not write \(sub\); {SHARDED_AGAIN}"),
], ids=[f"{writer} into {kind}" for writer, kinds in [
    ("Index", ["build_shards", "other manifest", "other files", "sub-folder", "DistributedIndex"]),
    ("DistributedIndex", ["Index", "build_shards", "other manifest", "other files", "sub-folder"])]
    for kind in kinds])
def test_save_refuses_directories_of_another_kind_before_writing(tmp_path, save, prepare,
                                                                  message):
    """Index.save and DistributedIndex.save refuse a directory that another
    kind of writer saved to, or that holds other files, and leave it as it
    was: same names, same bytes, no lock file, no temporary file."""
    d = tmp_path / "ix"
    prepare(d)
    before = _snapshot(d)
    with pytest.raises(ValueError, match="^" + message.replace("{d}", re.escape(str(d))) + "$"):
        save(d)
    assert _snapshot(d) == before


@pytest.mark.parametrize("call", [lambda: state(1).save(""), lambda: Index.load("")])
def test_the_empty_path_is_refused(call):
    with pytest.raises(ValueError, match="the index directory path is empty"):
        call()


def _record_flushes(monkeypatch):
    """os.fsync and os.replace as a list of ("fsync", path) and ("replace",
    destination) events."""
    events = []
    fsync, replace = os.fsync, os.replace

    def recording_fsync(fd):
        events.append(("fsync", os.readlink(f"/proc/self/fd/{fd}")))
        fsync(fd)

    def recording_replace(src, dst, **kw):
        events.append(("replace", os.fspath(dst)))
        replace(src, dst, **kw)

    monkeypatch.setattr(os, "fsync", recording_fsync)
    monkeypatch.setattr(os, "replace", recording_replace)
    return events


@pytest.mark.parametrize("write", [
    lambda d: state(1).save(d),
    lambda d: build_shards(np.ones((4, 8), np.float32), d, 2, metric="dot"),
])
def test_directory_flushed_before_and_after_the_manifest_rename(tmp_path, monkeypatch, write):
    d = tmp_path / "ix"
    d.mkdir()
    events = _record_flushes(monkeypatch)
    write(d)
    manifest = str(d / "manifest.json")
    at = events.index(("replace", manifest))
    assert events[at - 1] == ("fsync", str(d))  # the names the manifest lists are on disk
    assert events[at + 1] == ("fsync", str(d))  # and the manifest's own name
    assert events.count(("replace", manifest)) == 1
    # Every file the manifest names was flushed before the rename.
    names = json.loads((d / "manifest.json").read_text())
    listed = [f["file"] for s in names.get("segments", []) for f in s.values()
              if isinstance(f, dict)] + ([f"manifest-{names['index_version']}.json"]
                                         if "segments" in names else [])
    flushed = {os.path.basename(p) for kind, p in events[:at] if kind == "fsync"}
    assert set(listed) <= flushed


def _copy_rows_args():
    rows = np.arange(12, dtype=np.float32).reshape(4, 3)
    return rows, np.empty((2, 3), np.float32)


@pytest.mark.parametrize("args, error, message", [
    (lambda r, o: (r, np.array([0, 4]), o), ValueError, "positions must lie inside rows"),
    (lambda r, o: (r, np.array([-1, 0]), o), ValueError, "positions must lie inside rows"),
    (lambda r, o: (r, np.array([0]), o), ValueError, "out must have one row of rows' dims"),
    (lambda r, o: (r, None, o), ValueError, "out must have one row of rows' dims"),
    (lambda r, o: (r, np.array([0, 1]), r[2:]), ValueError, "out must not overlap rows"),
    (lambda r, o: (r, np.array([0, 1]), o.astype(np.float64)), TypeError, "out must be a 2-D"),
    (lambda r, o: (r, np.array([0, 1], np.int32), o), TypeError, "positions must be a 1-D"),
    (lambda r, o: (r, np.array([0, 1]), o[:, :2].copy().T), TypeError, "out must be a 2-D"),
])
def test_copy_rows_checks_its_arguments(args, error, message):
    from lumvero_contrib import _native
    rows, out = _copy_rows_args()
    with pytest.raises(error, match=message):
        _native.copy_rows(*args(rows, out))
    _native.copy_rows(rows, np.array([3, 1]), out)
    assert out.tolist() == rows[[3, 1]].tolist()
