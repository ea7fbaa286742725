"""Faults from outside the process: an index file shortened under an open
engine, preparations killed half-way, full disks, read-only directories,
unreadable files, and two writers racing on one name (a file size limit
during preparation is covered in test_prepare.py).

Scenarios that could kill the interpreter run in a child process, so that a
regression shows up as a failed assertion (with the child's exit status)
rather than as a crashed test run."""
import json
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest

import lumvero
from conftest import dot_layout, run_python, topk_oracle, write_index

CHANGED = "Index file changed while in use: {}"
PREP = lumvero.py_prepare_bin_from_embeddings


def leftovers(directory, keep):
    return sorted(set(os.listdir(directory)) - set(keep))


# ---------------------------------------------------------------------------
# An index file shortened while an engine has it open.

# One call per query method; each gets a fresh engine, so each is the first
# call to touch the missing pages. `idx` lies in the last page of the rows.
CALLS = {
    "query_exact": "e.query_exact(q, 5)",
    "query_exact_arrays": "e.query_exact_arrays(q, 5)",
    "query_exact_detailed": "e.query_exact_detailed(q, 5)",
    "query_batch": "e.query_batch(Q, 5)",
    "query_batch_arrays": "e.query_batch_arrays(Q, 5)",
    "query_batch_detailed": "e.query_batch_detailed(Q, 5)",
    "query_exact_certified": "e.query_exact_certified(q, 5)",
    "query_batch_exact_certified": "e.query_batch_exact_certified(Q, 5)",
    "explain": "e.explain(q, idx, 16, 2)",
    "compare": "e.compare(q, 0, idx, 16, 2)",
}

SHORTEN = {
    # what another process does to the file
    "truncate": "os.truncate(path, 12)",
    "rewrite_empty": "open(path, 'wb').close()",
    "copy_smaller": "shutil.copyfile(small, path)",
}


def shortened_script(path, small, how, calls):
    return f"""
import json, os, shutil, subprocess, sys
import numpy as np, lumvero
path, small = {str(path)!r}, {str(small)!r}
rows, dims = 6000, 64
X = np.random.default_rng(3).standard_normal((rows, dims)).astype(np.float32)
q, Q, idx = X[7], X[:3], rows - 1
engines = {{name: lumvero.PySearchEngine(path, False) for name in {list(calls)!r}}}
subprocess.run([sys.executable, "-c", "import os, shutil; path, small = {str(path)!r}, {str(small)!r}; " + {SHORTEN[how]!r}], check=True)
out = {{}}
for name, call in {calls!r}.items():
    e = engines[name]
    got = []
    for attempt in range(2):  # the faulting call, then a later one
        try:
            eval(call)
            got.append("ok")
        except ValueError as err:
            got.append(str(err))
    out[name] = got
print(json.dumps(out))
"""


@pytest.mark.parametrize("how", sorted(SHORTEN))
def test_shortened_index_raises_instead_of_killing(tmp_path, how):
    rows, dims = 6000, 64
    X = np.random.default_rng(3).standard_normal((rows, dims)).astype(np.float32)
    path = write_index(tmp_path / "idx.bin", X, "dot")
    small = write_index(tmp_path / "small.bin", X[:2], "dot")
    r = run_python(shortened_script(path, small, how, CALLS))
    assert r.returncode == 0, f"child died with {r.returncode}: {r.stderr[-2000:]}"
    got = json.loads(r.stdout)
    want = CHANGED.format(os.path.realpath(path))
    assert got == {name: [want, want] for name in CALLS}


def test_untouched_engines_and_pages_stay_usable(tmp_path):
    """Only the engine whose file changed reports it; others answer as before."""
    X = np.random.default_rng(4).standard_normal((6000, 64)).astype(np.float32)
    a = write_index(tmp_path / "a.bin", X, "dot")
    b = write_index(tmp_path / "b.bin", X, "dot")
    code = f"""
import os, numpy as np, lumvero
X = np.random.default_rng(4).standard_normal((6000, 64)).astype(np.float32)
ea, eb = lumvero.PySearchEngine({a!r}, False), lumvero.PySearchEngine({b!r}, False)
before = eb.query_exact_arrays(X[5], 4)["indices"].tolist()
os.truncate({a!r}, 4096)
try:
    ea.query_exact(X[5], 4); print("no error")
except ValueError as err:
    print(err)
print(eb.query_exact_arrays(X[5], 4)["indices"].tolist() == before)
print(ea.dims(), ea.rows())
"""
    r = run_python(code)
    assert r.returncode == 0, f"child died with {r.returncode}: {r.stderr[-2000:]}"
    assert r.stdout.split("\n")[:3] == [CHANGED.format(os.path.realpath(a)), "True", "64 6000"]


# Another SIGBUS handler installed after the first open: the engine's
# handler is put back in front of it (chaining to it) before the next query.
# (code before the open, code after the first query, code at the end)
REPLACED = {
    "faulthandler_enabled_late": ("", "faulthandler.enable()", ""),
    "faulthandler_disabled": ("faulthandler.enable()", "faulthandler.disable()", ""),
    "ray_init_after_open": ("", "import ray; ray.init(num_cpus=1, include_dashboard=False, "
                                "log_to_driver=False, configure_logging=False)", "ray.shutdown()"),
}


@pytest.mark.parametrize("how", sorted(REPLACED))
def test_a_handler_installed_later_does_not_take_the_fault(tmp_path, how):
    before, replace, after = REPLACED[how]
    if how.startswith("ray"):
        pytest.importorskip("ray")
        if os.environ.get("LUMVO_SANITIZED"):
            pytest.skip("Ray workers under the sanitizer runtime")
    X = np.random.default_rng(5).standard_normal((6000, 64)).astype(np.float32)
    path = write_index(tmp_path / "idx.bin", X, "dot")
    code = f"""
import faulthandler, os, signal, numpy as np, lumvero
{before}
X = np.random.default_rng(5).standard_normal((6000, 64)).astype(np.float32)
e = lumvero.PySearchEngine({path!r}, False)
e.query_exact(X[1], 3)
{replace}
os.truncate({path!r}, 4096)
for attempt in range(2):
    try:
        e.query_batch(X[:4], 3); print("no error")
    except ValueError as err:
        print(err)
{after}
"""
    r = run_python(code, timeout=300)
    assert r.returncode == 0, f"child died with {r.returncode}: {r.stderr[-2000:]}"
    assert r.stdout.splitlines() == [CHANGED.format(os.path.realpath(path))] * 2


@pytest.mark.parametrize("late", [False, True])
def test_faulthandler_still_reports_foreign_faults(tmp_path, late):
    """A SIGBUS outside any index mapping reaches faulthandler, installed
    before lumvero's handler or after it (then put behind it by the next
    query, while faulthandler hands the signal back to lumvero's), and the
    process still dies of it, reported once."""
    X = np.ones((10, 4), np.float32)
    path = write_index(tmp_path / "i.bin", X, "dot")
    enable = "faulthandler.enable()"
    code = f"""
import faulthandler, mmap, os, numpy as np, lumvero
{"" if late else enable}
e = lumvero.PySearchEngine({path!r}, False)
{enable if late else ""}
e.query_exact(np.ones(4, np.float32), 1)
f = open({str(tmp_path / "other")!r}, "w+b"); f.truncate(8192)
m = mmap.mmap(f.fileno(), 8192, access=mmap.ACCESS_READ)
f.truncate(0)
m[5000]
"""
    r = run_python(code)
    assert r.stderr.count("Fatal Python error: Bus error") == 1
    # Under AddressSanitizer its own handler comes last and exits with 1.
    assert r.returncode == (1 if os.environ.get("LUMVO_SANITIZED") else -signal.SIGBUS)


def test_truncate_restore_race(tmp_path, long_run):
    """Another process cuts the file and writes it back, over and over, while
    this one queries from several threads: every answer is either the right
    one or the change error, and once an engine reported the change it keeps
    reporting it. Opens during the race succeed or fail with a message."""
    seconds = 6 if long_run else 1.5
    X = np.random.default_rng(5).standard_normal((20000, 64)).astype(np.float32)
    path = write_index(tmp_path / "race.bin", X, "dot")
    data = open(path, "rb").read()
    code = f"""
import json, os, threading, time, numpy as np, lumvero
path = {path!r}
X = np.random.default_rng(5).standard_normal((20000, 64)).astype(np.float32)
want = {{i: lumvero.PySearchEngine(path, False).query_exact_arrays(X[i], 3)["indices"].tolist() for i in range(8)}}
print("ready", flush=True)
stats = {{"ok": 0, "changed": 0, "wrong": 0, "other_errors": [], "reopened": 0, "open_errors": 0}}
lock = threading.Lock()
def worker(t):
    e = None
    end = time.monotonic() + {seconds}
    while time.monotonic() < end:
        if e is None:
            try:
                e = lumvero.PySearchEngine(path, False)
                with lock: stats["reopened"] += 1
            except ValueError:  # caught mid-cut: refused with a message
                with lock: stats["open_errors"] += 1
                continue
        try:
            got = e.query_exact_arrays(X[t], 3)["indices"].tolist()
            with lock: stats["ok" if got == want[t] else "wrong"] += 1
        except ValueError as err:
            with lock:
                if str(err) == "Index file changed while in use: " + os.path.realpath(path):
                    stats["changed"] += 1
                else:
                    stats["other_errors"].append(str(err))
            try:  # the engine keeps reporting the change
                e.query_exact_arrays(X[t], 3)
                with lock: stats["other_errors"].append("a changed engine answered again")
            except ValueError:
                pass
            e = None
threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
for t in threads: t.start()
for t in threads: t.join()
print(json.dumps(stats))
"""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    end = time.monotonic() + seconds
    cuts = 0
    while time.monotonic() < end and child.poll() is None:
        with open(path, "r+b") as f:
            f.truncate(len(data) // 3)
            time.sleep(0.002)
            f.seek(0)
            f.write(data)
        cuts += 1
        time.sleep(0.003)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, f"child died with {child.returncode}: {err[-2000:]}"
    stats = json.loads(out.strip().splitlines()[-1])
    print("truncate/restore race:", cuts, "cuts,", stats)
    assert stats["wrong"] == 0 and stats["other_errors"] == [], stats
    assert stats["ok"] > 0 and cuts > 10, stats


# ---------------------------------------------------------------------------
# Preparation under faults.

# Child-side code that makes the kernel refuse unnamed files (O_TMPFILE) to
# the process, as NFS, CIFS and many FUSE file systems do: a seccomp filter
# answering EOPNOTSUPP to every openat that carries the flag (x86-64 only).
NO_UNNAMED_FILES = """
import ctypes, struct
def _no_unnamed_files():
    program = [(0x20, 0, 0, 4), (0x15, 0, 5, 0xC000003E),   # arch is x86-64, else allow
               (0x20, 0, 0, 0), (0x15, 0, 3, 257),           # openat, else allow
               (0x20, 0, 0, 32), (0x45, 0, 1, 0x400000),     # flags hold __O_TMPFILE
               (0x06, 0, 0, 0x00050000 | 95), (0x06, 0, 0, 0x7FFF0000)]
    raw = b"".join(struct.pack("HBBI", *op) for op in program)
    buf = ctypes.create_string_buffer(raw, len(raw))
    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]
    prog = Program(len(program), ctypes.addressof(buf))
    libc = ctypes.CDLL(None, use_errno=True)
    if (libc.prctl(38, 1, 0, 0, 0) != 0 or   # PR_SET_NO_NEW_PRIVS
            libc.prctl(22, 2, ctypes.c_void_p(ctypes.addressof(prog)), 0, 0) != 0):  # filter
        raise OSError(ctypes.get_errno(), "seccomp")
_no_unnamed_files()
"""


def require_no_unnamed_files():
    r = run_python(NO_UNNAMED_FILES + "import os\ntry:\n    os.open('.', os.O_TMPFILE | os.O_RDWR)\n"
                   "except OSError as e:\n    print(e.errno)\n")
    if r.stdout.strip() != "95":
        pytest.skip(f"cannot refuse unnamed files to a child here: {r.stderr.strip()[-300:]}")


@pytest.mark.parametrize("files", ["unnamed", "named"])
def test_sigkill_during_preparation(tmp_path, long_run, files):
    """Killed at points spread over a preparation, the final name always holds
    the old or the new file byte for byte. With unnamed files no temporary
    remains; where the file system has none, a kill can leave the named
    temporary, and the next preparation of the name removes it."""
    if files == "named":
        require_no_unnamed_files()
    points = 60 if long_run else 10
    rows, dims = 60000, 128
    new_dir = tmp_path / "new"
    new_dir.mkdir()
    X_old = np.full((rows, dims), 0.5, np.float32)
    X_new = np.random.default_rng(6).standard_normal((rows, dims)).astype(np.float32)
    expected_new = open(PREP(X_new, dims, rows, "k", "f32", metric="dot",
                             output_dir=str(new_dir)), "rb").read()
    out = tmp_path / "out"
    out.mkdir()
    old_path = PREP(X_old, dims, rows, "k", "f32", metric="dot", output_dir=str(out))
    expected_old = open(old_path, "rb").read()

    code = (NO_UNNAMED_FILES if files == "named" else "") + f"""
import sys, numpy as np, lumvero
X = np.random.default_rng(6).standard_normal(({rows}, {dims})).astype(np.float32)
sys.stdout.write("go\\n"); sys.stdout.flush()
lumvero.py_prepare_bin_from_embeddings(X, {dims}, {rows}, "k", "f32", metric="dot", output_dir={str(out)!r})
sys.stdout.write("done\\n"); sys.stdout.flush()
"""

    def run(delay, when_temporary=False):
        child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "go\n"
        start = time.monotonic()
        if when_temporary:  # killed as soon as a named temporary is seen
            while child.poll() is None and not leftovers(out, ["k_f32.bin"]):
                time.sleep(0.0005)
            child.send_signal(signal.SIGKILL)
        elif delay is not None:
            time.sleep(delay)
            child.send_signal(signal.SIGKILL)
        child.wait(timeout=120)
        return time.monotonic() - start, child.returncode

    duration, code_ = run(None)  # calibrate: how long one preparation takes
    assert code_ == 0
    outcomes = {"old": 0, "new": 0}
    left_behind = set()
    for i in range(points):
        with open(old_path, "wb") as f:  # start every round from the old file
            f.write(expected_old)
        _, rc = run(duration * 1.5 * i / points)
        got = open(old_path, "rb").read()
        assert got in (expected_old, expected_new), f"point {i}: a partial file under the final name"
        outcomes["old" if got == expected_old else "new"] += 1
        left = leftovers(out, ["k_f32.bin"])
        if files == "unnamed":
            assert left == [], f"point {i} (exit {rc})"
        else:
            assert all(re.fullmatch(r"k_f32\.[0-9a-f]{16}\.tmp", n) for n in left), left
            left_behind.update(left)
    # Where the preparation's temporary lives only a short part of the run
    # (a fast machine, a slow interpreter exit), the spread points may all
    # miss it: then kills are timed by the temporary's appearance.
    for _ in range(20 if files == "named" and not left_behind else 0):
        with open(old_path, "wb") as f:
            f.write(expected_old)
        run(None, when_temporary=True)
        got = open(old_path, "rb").read()
        assert got in (expected_old, expected_new), "a partial file under the final name"
        left = leftovers(out, ["k_f32.bin"])
        assert all(re.fullmatch(r"k_f32\.[0-9a-f]{16}\.tmp", n) for n in left), left
        left_behind.update(left)
        if left_behind:
            break
    print("SIGKILL points:", points, outcomes, "temporaries left:", len(left_behind))
    assert outcomes["old"] > 0, outcomes  # the early kills did interrupt it
    if files == "named":
        assert left_behind, "no kill caught a named temporary"
        PREP(X_old[:2], dims, 2, "k", "f32", metric="dot", output_dir=str(out))
        assert leftovers(out, ["k_f32.bin"]) == []


def test_temporaries_of_killed_writers_are_reclaimed(tmp_path):
    """A named temporary that a killed preparation left (where the file system
    has no unnamed files, or killed between link and rename) is removed by the
    next preparation of the same name; one that a live process holds locked
    stays until that process is killed."""
    X = np.random.default_rng(2).standard_normal((300, 16)).astype(np.float32)
    abandoned = tmp_path / "k_f32.0123456789abcdef.tmp"
    held = tmp_path / "k_f32.fedcba9876543210.tmp"
    for leftover in (abandoned, held):
        leftover.write_bytes(b"\0" * 65536)
    holder = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, time\n"
         f"f = open({str(held)!r}, 'r+b'); fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
         "print('locked', flush=True); time.sleep(600)\n"], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "locked\n"
        path = PREP(X, 16, 300, "k", "f32", metric="dot", output_dir=str(tmp_path))
        assert leftovers(tmp_path, ["k_f32.bin"]) == [held.name]
    finally:
        holder.send_signal(signal.SIGKILL)
        holder.wait(timeout=60)
    assert PREP(X, 16, 300, "k", "f32", metric="dot", output_dir=str(tmp_path)) == path
    assert leftovers(tmp_path, ["k_f32.bin"]) == []
    assert open(path, "rb").read()[12:] == X.tobytes()


def _mount_tmpfs(where, options):
    if os.geteuid() != 0:
        return False
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(where)],
                       capture_output=True)
    return r.returncode == 0


@pytest.fixture
def small_tmpfs(tmp_path):
    """A 1 MiB tmpfs; skipped where mount is impossible (not root, or no
    permission to mount in this container)."""
    where = tmp_path / "small"
    where.mkdir()
    if not _mount_tmpfs(where, "size=1m"):
        pytest.skip("cannot mount a tmpfs here (needs root and mount permission)")
    yield where
    subprocess.run(["umount", str(where)], check=True)


def test_disk_full_keeps_old_index(small_tmpfs):
    old = PREP(np.ones((10, 8), np.float32), 8, 10, "d", "f32", metric="dot",
               output_dir=str(small_tmpfs))
    before = open(old, "rb").read()
    X = np.ones((2000, 256), np.float32)  # 2 MB: does not fit
    with pytest.raises(ValueError) as info:
        PREP(X, 256, 2000, "d", "f32", metric="dot", output_dir=str(small_tmpfs))
    assert str(info.value) == "Failed to set file length: No space left on device (os error 28)"
    assert open(old, "rb").read() == before
    assert os.listdir(small_tmpfs) == ["d_f32.bin"]
    # The space is back: a file that fits is written.
    PREP(np.ones((100, 256), np.float32), 256, 100, "d", "f32", output_dir=str(small_tmpfs))


def test_read_only_directory(tmp_path):
    where = tmp_path / "ro"
    where.mkdir()
    (where / "x_f32.bin").write_bytes(b"old")
    if os.geteuid() == 0:
        # Permission bits do not stop root: use a read-only file system.
        subprocess.run(["mount", "--bind", str(where), str(where)], capture_output=True)
        r = subprocess.run(["mount", "-o", "remount,bind,ro", str(where)], capture_output=True)
        if r.returncode != 0:
            subprocess.run(["umount", str(where)], capture_output=True)
            pytest.skip("cannot make a read-only mount here")
        err = "Read-only file system (os error 30)"
    else:
        os.chmod(where, 0o555)
        err = "Permission denied (os error 13)"
    try:
        with pytest.raises(ValueError) as info:
            PREP(np.ones((4, 4), np.float32), 4, 4, "x", "f32", output_dir=str(where))
        assert re.fullmatch(re.escape(f"Failed to create file {where}/x_f32.") + r"[0-9a-f]{16}\.tmp: "
                            + re.escape(err), str(info.value)), str(info.value)
        assert os.listdir(where) == ["x_f32.bin"]
        assert (where / "x_f32.bin").read_bytes() == b"old"
    finally:
        if os.geteuid() == 0:
            subprocess.run(["umount", str(where)], check=True)
        else:
            os.chmod(where, 0o755)


def test_unreadable_index_file():
    X = np.ones((3, 4), np.float32)
    where = tempfile.mkdtemp(prefix="lumvero_unreadable_")
    try:
        os.chmod(where, 0o755)
        path = write_index(os.path.join(where, "u.bin"), X, "dot")
        os.chmod(path, 0)
        # Root reads anything: the child gives up its privileges first.
        drop = "import os\nif os.geteuid() == 0:\n    os.setgroups([]); os.setresgid(65534, 65534, 65534); os.setresuid(65534, 65534, 65534)\n"
        code = (f"import lumvero\n{drop}try:\n    lumvero.PySearchEngine({path!r}, False)\n"
                "except ValueError as err:\n    print(err)\n")
        r = run_python(code)
        assert r.returncode == 0, r.stderr
        assert r.stdout.strip() == f"Failed to open file {path}: Permission denied (os error 13)"
    finally:
        subprocess.run(["rm", "-rf", where])


def test_two_writers_and_a_reader(tmp_path, long_run):
    """Two processes prepare the same name with different data, round after
    round, while a third reads the final file: the reader only ever sees a
    complete file, each round ends with one complete file, and no temporary
    file remains."""
    rounds = 50 if long_run else 12
    rows, dims = 20000, 64
    out = tmp_path / "out"
    out.mkdir()
    final = out / "race_f32.bin"
    complete = {}
    for seed in (1, 2):
        X = np.random.default_rng(seed).standard_normal((rows, dims)).astype(np.float32)
        d = tmp_path / f"ref{seed}"
        d.mkdir()
        complete[seed] = open(PREP(X, dims, rows, "race", "f32", metric="dot",
                                   output_dir=str(d)), "rb").read()
    writer = f"""
import sys, numpy as np, lumvero
seed, rounds = int(sys.argv[1]), int(sys.argv[2])
X = np.random.default_rng(seed).standard_normal(({rows}, {dims})).astype(np.float32)
for i in range(rounds):
    sys.stdin.readline()
    lumvero.py_prepare_bin_from_embeddings(X, {dims}, {rows}, "race", "f32", metric="dot",
                                           output_dir={str(out)!r})
    print(seed, flush=True)
"""
    reader = f"""
import os, sys, time, hashlib
final, good = {str(final)!r}, set(sys.argv[1:])
seen = bad = 0
end = time.monotonic() + 600
while time.monotonic() < end:
    try:
        data = open(final, "rb").read()
    except FileNotFoundError:
        continue
    seen += 1
    if hashlib.sha256(data).hexdigest() not in good:
        bad += 1
    if os.path.exists({str(out / "stop")!r}):
        break
print(seen, bad)
"""
    import hashlib
    good = [hashlib.sha256(complete[s]).hexdigest() for s in (1, 2)]
    writers = {s: subprocess.Popen([sys.executable, "-c", writer, str(s), str(rounds)],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
               for s in (1, 2)}
    rd = subprocess.Popen([sys.executable, "-c", reader, *good], stdout=subprocess.PIPE, text=True)
    try:
        for i in range(rounds):
            for w in writers.values():
                w.stdin.write("go\n")
                w.stdin.flush()
            finished = [int(writers[s].stdout.readline()) for s in (1, 2)]
            assert finished == [1, 2]
            content = final.read_bytes()
            assert content in (complete[1], complete[2]), f"round {i}: partial or lost file"
            assert leftovers(out, ["race_f32.bin"]) == [], f"round {i}"
    finally:
        (out / "stop").write_text("")
        for w in writers.values():
            w.stdin.close()
            w.wait(timeout=60)
        seen, bad = map(int, rd.communicate(timeout=60)[0].split())
    print("two writers:", rounds, "rounds; reader saw", seen, "files,", bad, "partial")
    assert bad == 0, f"the reader saw {bad} partial files out of {seen}"
    assert seen > 0


# ---------------------------------------------------------------------------
# Headers that declare far more than the file holds.

@pytest.mark.skipif(bool(os.environ.get("LUMVO_SANITIZED")),
                    reason="the sanitizer's shadow memory counts against the data limit")
@pytest.mark.parametrize("dims, rows", [(0, 1 << 28), (0, 2**32 - 1), (1 << 30, 0)])
def test_memory_follows_the_file_not_the_header(tmp_path, dims, rows):
    """A 12-byte file opens and answers under a 400 MiB data limit, whatever
    shape its header declares (the per-row tables alone once took 12 bytes
    per declared row: 3 GiB for 2^28 rows)."""
    path = tmp_path / "h.bin"
    path.write_bytes(struct.pack("<III", dims, rows, 0))
    code = f"""
import resource, numpy as np, lumvero
resource.setrlimit(resource.RLIMIT_DATA, (400 << 20, 400 << 20))
e = lumvero.PySearchEngine({str(path)!r}, False)
print(e.dims(), e.rows())
if {dims} == 0:
    r = e.query_exact_arrays(np.zeros(0, np.float32), 3)
    print(r["indices"].tolist(), r["scores"].tolist(), r["method_used"])
"""
    r = run_python(code)
    assert r.returncode == 0, r.stderr[-2000:]
    lines = r.stdout.splitlines()
    assert lines[0] == f"{dims} {rows}"
    if dims == 0:
        assert lines[1] == "[0, 1, 2] [0.0, 0.0, 0.0] exact"


# ---------------------------------------------------------------------------
# An address-space limit just above what the process already holds.

LIMITED_CALLS = {
    # what runs, and the single-query strategy it runs under
    "batch": ("e.query_batch_arrays(Q, 10)", None),
    "batch_matrix": ("e.query_batch_arrays(Q, 10)", "matrix"),
    "batch_chunked": ("e.query_batch_arrays(Q, 10)", "chunked"),
    "single_blocked": ("e.query_exact_arrays(Q[0], 10)", "blocked"),
    "single_matrix_full": ("e.query_exact_arrays(Q[0], 10)", "matrix_full"),
}


@pytest.mark.skipif(bool(os.environ.get("LUMVO_SANITIZED")),
                    reason="the sanitizer's shadow memory counts against the limit")
def test_matrix_strategies_under_an_address_space_limit(tmp_path, long_run):
    """With RLIMIT_AS a few MiB above the process's size, BLAS cannot get its
    per-thread buffer: every matrix strategy still answers with the kernel's
    rows and bits, or raises MemoryError, and the process lives on."""
    rng = np.random.default_rng(6)
    X = rng.standard_normal((20000, 256)).astype(np.float32)
    Q = rng.standard_normal((8, 256)).astype(np.float32)
    path = write_index(tmp_path / "idx.bin", X, "dot")
    np.save(tmp_path / "q.npy", Q)
    want = [topk_oracle(dot_layout(X, q), 10, "dot") for q in Q]
    code = f"""
import json, os, resource, sys, numpy as np, lumvero
e = lumvero.PySearchEngine({path!r}, False)
Q = np.load({str(tmp_path / "q.npy")!r})
size = [int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize")][0] << 10
resource.setrlimit(resource.RLIMIT_AS, (size + (int(sys.argv[1]) << 20), resource.RLIM_INFINITY))
out = {{}}
for name, (call, mode) in {LIMITED_CALLS!r}.items():
    os.environ["LUMVO_BATCH_MODE" if name.startswith("batch") else "LUMVO_SINGLE_MODE"] = mode or ""
    try:
        r = eval(call)
        out[name] = [np.atleast_2d(r["indices"]).tolist(), np.atleast_2d(r["scores"]).tobytes().hex()]
    except MemoryError:
        out[name] = "MemoryError"
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(json.dumps(out))
"""
    answered = 0
    for mib in range(0, 66, 2) if long_run else (0, 2, 4, 8, 80):
        r = subprocess.run([sys.executable, "-c", code, str(mib)], capture_output=True, text=True,
                           timeout=120)
        assert r.returncode == 0, f"{mib} MiB: child died with {r.returncode}: {r.stderr[-2000:]}"
        for name, got in json.loads(r.stdout).items():
            if got == "MemoryError":
                continue
            n = 8 if name.startswith("batch") else 1
            assert got[0] == [w[0].tolist() for w in want[:n]], f"{mib} MiB {name}"
            assert got[1] == np.stack([w[1] for w in want[:n]]).tobytes().hex(), f"{mib} MiB {name}"
            answered += 1
    assert answered > 0


HEADROOM_CHILD = r"""
import hashlib, json, os, resource, sys, numpy as np, lumvero
from lumvero_contrib import Index
X, Q = np.load(sys.argv[2]), np.load(sys.argv[3])
e = lumvero.PySearchEngine(sys.argv[4], False)
ix = Index(X.shape[1], metric="dot")
ix.add(X)
ix.remove(np.arange(0, X.shape[0], 7))  # the live rows as a filter
if sys.argv[1] != "none":
    size = [int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize")][0]
    limit = (size << 10) + (int(sys.argv[1]) << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
out = {}
for mode in ["", "matrix", "chunked", "blocked", "rayon"]:
    os.environ["LUMVO_BATCH_MODE"] = mode
    try:
        r = e.query_batch_arrays(Q, 10)
        out["module " + mode] = hashlib.sha256(r["indices"].tobytes() + r["scores"].tobytes())
    except MemoryError:
        out["module " + mode] = "MemoryError"
for name, allow in [("index", None), ("index allow", range(0, X.shape[0], 3))]:
    try:
        s, i = ix.search(Q, 10, allow=allow)
        out[name] = hashlib.sha256(s.tobytes() + i.tobytes())
    except MemoryError:
        out[name] = "MemoryError"
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(json.dumps({k: v if isinstance(v, str) else v.hexdigest() for k, v in out.items()}))
"""


@pytest.mark.skipif(bool(os.environ.get("LUMVO_SANITIZED")),
                    reason="the sanitizer's shadow memory counts against the limit")
def test_batch_queries_at_every_headroom(tmp_path, long_run):
    """Under RLIMIT_AS at any headroom above the process's size, batch
    queries (every strategy of the module, and Index's) answer exactly as
    without a limit, or raise MemoryError; the process never dies (a failed
    allocation on a worker thread once ended it: the first throw on a thread
    needs thread-local storage that glibc could not allocate any more)."""
    rng = np.random.default_rng(9)
    X = rng.standard_normal((30000, 64)).astype(np.float32)
    Q = rng.standard_normal((1000, 64)).astype(np.float32)
    np.save(tmp_path / "x.npy", X)
    np.save(tmp_path / "q.npy", Q)
    path = write_index(tmp_path / "idx.bin", X, "dot")

    def child(mib):
        r = subprocess.run([sys.executable, "-c", HEADROOM_CHILD, str(mib), str(tmp_path / "x.npy"),
                            str(tmp_path / "q.npy"), path], capture_output=True, text=True,
                           timeout=300, env={**os.environ, "LUMVO_THREADS": "4"})
        assert r.returncode == 0, f"{mib} MiB: the child died ({r.returncode}): {r.stderr[-2000:]}"
        return json.loads(r.stdout)

    want = child("none")
    assert "MemoryError" not in want.values()
    answered = failed = 0
    # The edge between failing and answering lies within the first few MiB
    # here; the process once died at headrooms of 110 to 200 MiB.
    for mib in range(-16, 260, 2) if long_run else (0, 1, 2, 4, 8, 150):
        for name, got in child(mib).items():
            if got == "MemoryError":
                failed += 1
            else:
                assert got == want[name], f"{mib} MiB: {name}"
                answered += 1
    assert answered > 0 and failed > 0  # both sides of the edge were reached
