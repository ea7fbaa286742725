"""Writing index files: bytes, normalisation, names, checks and safety."""
import os
import re
import resource
import shutil
import signal
import struct
import subprocess
import sys

import numpy as np
import pytest

import lumvero
from conftest import run_python

prep = lumvero.py_prepare_bin_from_embeddings
A = np.array([[1, 2, 3], [4, 5, 6]], np.float32)


def body(path):
    data = open(path, "rb").read()
    dims, rows, metric = struct.unpack("<III", data[:12])
    return dims, rows, metric, np.frombuffer(data[12:], "<f4").reshape(rows, dims)


def normalize_ref(X):
    """The writer's binary32 normalisation: 8-wide grouped sum of squares."""
    X = np.asarray(X, np.float32)
    rows, dims = X.shape
    with np.errstate(over="ignore", invalid="ignore"):
        sq = (X * X).astype(np.float32)
    s = np.zeros(rows, np.float32)
    c = 0
    if dims >= 8:
        while c + 8 <= dims:
            g = sq[:, c:c + 8]
            h1 = (((g[:, 0] + g[:, 1]).astype(np.float32) + g[:, 2]).astype(np.float32) + g[:, 3]).astype(np.float32)
            h2 = (((g[:, 4] + g[:, 5]).astype(np.float32) + g[:, 6]).astype(np.float32) + g[:, 7]).astype(np.float32)
            s = (s + (h1 + h2).astype(np.float32)).astype(np.float32)
            c += 8
    for i in range(c, dims):
        s = (s + sq[:, i]).astype(np.float32)
    norm = np.sqrt(s).astype(np.float32)
    with np.errstate(all="ignore"):
        inv = (np.float32(1) / norm).astype(np.float32)
        out = (X * inv[:, None]).astype(np.float32)
    bad = (s == 0) | ~np.isfinite(norm)
    out[bad] = 0
    return out


def test_thirty_six_bytes_of_the_dot_example(tmp_path):
    path = prep(A, 3, 2, "ex", "f32", metric="dot", output_dir=str(tmp_path))
    assert path == str(tmp_path / "ex_f32.bin")
    raw = open(path, "rb").read()
    assert raw == bytes.fromhex("03000000" "02000000" "01000000") + A.astype("<f4").tobytes()
    assert not os.path.exists(tmp_path / "ex_f32.tmp")


def test_cosine_rows_are_reciprocal_norm_products(tmp_path):
    path = prep(A, 3, 2, "ex", "f32", output_dir=str(tmp_path))
    _, _, metric, X = body(path)
    inv = np.float32(1) / np.sqrt(np.float32(14))
    assert metric == 0
    np.testing.assert_array_equal(X[0], A[0] * inv)


@pytest.mark.parametrize("dims", [1, 3, 7, 8, 9, 15, 16, 17, 384, 1000])
@pytest.mark.parametrize("seed", [0, 1])
def test_normalisation_bit_exact(tmp_path, dims, seed):
    rng = np.random.default_rng(seed)
    X = (rng.standard_normal((37, dims)) * rng.uniform(1e-3, 1e3, (37, 1))).astype(np.float32)
    X[3] = 0
    X[5, 0] = 1e20   # finite, but the sum of squares overflows
    if dims > 1:
        X[7, 1] = np.nan
    path = prep(X, dims, 37, f"n{dims}", "f32", normalize=True, metric="dot",
                output_dir=str(tmp_path))
    _, _, _, got = body(path)
    want = normalize_ref(X)
    assert got.tobytes() == want.tobytes(), f"seed={seed} dims={dims}"
    assert not got[3].any() and not got[5].any()


def test_bytes_do_not_depend_on_thread_count(tmp_path):
    code = (
        "import numpy as np, lumvero, sys\n"
        "X = np.random.default_rng(5).standard_normal((20000, 96)).astype(np.float32)\n"
        "p = lumvero.py_prepare_bin_from_embeddings(X, 96, 20000, sys.argv[1] if len(sys.argv) > 1 else 't', 'f32', output_dir=%r)\n"
        "print(p)\n"
    )
    outs = []
    for threads in ("1", "2", "5"):
        d = tmp_path / threads
        r = run_python(code % str(d), env={"RAYON_NUM_THREADS": threads})
        assert r.returncode == 0, r.stderr
        outs.append(open(r.stdout.strip(), "rb").read())
    assert outs[0] == outs[1] == outs[2]


@pytest.mark.parametrize("metric,metric_id", [
    ("COSINE", 0), ("Cos", 0), ("L2", 2), ("normalized-cosine", 0), ("DOT_PRODUCT", 1),
    ("euclidian", 2), ("Dotproduct", 1)])
def test_metric_spellings(tmp_path, metric, metric_id):
    path = prep(A, 3, 2, "m", "f32", metric=metric, output_dir=str(tmp_path))
    assert body(path)[2] == metric_id


@pytest.mark.parametrize("metric", [" cosine", "euclid", "cosine ", "", "İ"])
def test_unknown_metric(tmp_path, metric):
    with pytest.raises(ValueError) as info:
        prep(A, 3, 2, "m", "f32", metric=metric, output_dir=str(tmp_path))
    assert str(info.value) == f"Unknown similarity metric: {metric}"


@pytest.mark.parametrize("name,stored", [
    ("my index", "myindex"), ("Übung-7", "Übung-7"), ("a_b-c", "a_b-c"), ("x²", "x²"),
    ("Ⅻ", "Ⅻ"), ("١٢", "١٢"), ("a+b", "ab"),
    # The longest names whose temporary names ("<stem>_f16.<16 hex>.tmp") fit
    # in 255 bytes.
    ("a" * 230, "a" * 230), ("Ü" * 115, "Ü" * 115), ("a b" * 115, "ab" * 115)])
def test_base_name_sanitised(tmp_path, name, stored):
    path = prep(A, 3, 2, name, "f16", output_dir=str(tmp_path))
    assert os.path.basename(path) == f"{stored}_f16.bin"
    assert os.listdir(tmp_path) == [f"{stored}_f16.bin"]


@pytest.mark.parametrize("name,stored", [
    ("a" * 231, "a" * 231), ("Ü" * 116, "Ü" * 116), ("a b" * 116, "ab" * 116),
    ("a" * 255, "a" * 255), ("a" * 300, "a" * 300)])
def test_name_too_long_fails_before_anything_is_written(tmp_path, name, stored):
    """A name whose temporary name exceeds the file system's limit fails with
    the error creating that temporary gives, before any directory is made."""
    where = tmp_path / "new" / "dir"
    with pytest.raises(ValueError) as info:
        prep(np.ones((5000, 64), np.float32), 64, 5000, name, "f16", output_dir=str(where))
    assert re.fullmatch(re.escape(f"Failed to create file {where}/{stored}_f16.") +
                        r"[0-9a-f]{16}\.tmp: File name too long \(os error 36\)", str(info.value)), str(info.value)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name", ["a.b", "a/b", "   ", "", "a|b", "a<b", "a>b", 'a"b', "a?b",
                                  "a*b", "a:b", "a\\b", "\u2003\u00a0"])
def test_base_name_refused(tmp_path, name):
    with pytest.raises(ValueError, match="^Invalid base_name: cannot be empty or contain special characters$"):
        prep(A, 3, 2, name, "f32", output_dir=str(tmp_path))


def test_base_name_with_nothing_left(tmp_path):
    with pytest.raises(ValueError, match="^Base name contains no valid characters$"):
        prep(A, 3, 2, "+=+", "f32", output_dir=str(tmp_path))


@pytest.mark.parametrize("level", ["F32", "f 32", "f32 ", "f128", ""])
def test_level_refused(tmp_path, level):
    with pytest.raises(ValueError) as info:
        prep(A, 3, 2, "x", level, output_dir=str(tmp_path))
    assert str(info.value) == f"Invalid level '{level}'. Must be f8, f16, f32, or f64"


def test_levels_same_bytes_different_names(tmp_path):
    p16 = prep(A, 3, 2, "x", "f16", output_dir=str(tmp_path))
    p32 = prep(A, 3, 2, "x", "f32", output_dir=str(tmp_path))
    assert p16 != p32 and open(p16, "rb").read() == open(p32, "rb").read()


@pytest.mark.parametrize("dims,rows,msg", [
    (0, 1, "Invalid dims: 0 (must be 1-10000)"),
    (10001, 1, "Invalid dims: 10001 (must be 1-10000)"),
    (3, 0, "Invalid rows: 0 (must be 1-50000000)"),
    (3, 50000001, "Invalid rows: 50000001 (must be 1-50000000)"),
    (3, 3, "Data shape mismatch: expected 3\u00d73=9, got 6"),
])
def test_shape_checks(tmp_path, dims, rows, msg):
    with pytest.raises(ValueError) as info:
        prep(A, dims, rows, "x", "f32", output_dir=str(tmp_path))
    assert str(info.value) == msg


def test_check_order_dims_before_name_and_level(tmp_path):
    with pytest.raises(ValueError, match="^Invalid dims"):
        prep(A, 0, 2, "a.b", "F32", metric="dot", output_dir=str(tmp_path))
    with pytest.raises(ValueError, match="^Unknown similarity metric"):
        prep(A, 0, 2, "a.b", "F32", metric="nope", output_dir=str(tmp_path))


def test_dims_10000_accepted_and_transposed_shape_passes(tmp_path):
    big = np.ones((1, 10000), np.float32)
    assert prep(big, 10000, 1, "big", "f32", output_dir=str(tmp_path))
    B = np.arange(12, dtype=np.float32).reshape(4, 3)
    path = prep(B, 4, 3, "t", "f32", metric="dot", output_dir=str(tmp_path))
    _, _, _, X = body(path)
    np.testing.assert_array_equal(X, B.reshape(3, 4))


def test_fortran_matrix_keeps_logical_rows(tmp_path):
    C = np.arange(24, dtype=np.float32).reshape(6, 4)
    F = np.asfortranarray(C)
    pc = prep(C, 4, 6, "c", "f32", metric="dot", output_dir=str(tmp_path))
    pf = prep(F, 4, 6, "f", "f32", metric="dot", output_dir=str(tmp_path))
    assert open(pc, "rb").read() == open(pf, "rb").read()
    # Any other shape keeps the memory order.
    G = np.asfortranarray(np.arange(24, dtype=np.float32).reshape(4, 6))
    pg = prep(G, 4, 6, "g", "f32", metric="dot", output_dir=str(tmp_path))
    np.testing.assert_array_equal(body(pg)[3].ravel(), G.ravel(order="F"))


def test_non_contiguous_refused(tmp_path):
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        prep(np.ones((4, 6), np.float32)[:, ::2], 3, 4, "x", "f32", output_dir=str(tmp_path))


def test_caller_array_untouched(tmp_path):
    X = np.random.default_rng(0).standard_normal((50, 16)).astype(np.float32)
    before = X.copy()
    prep(X, 16, 50, "u", "f32", output_dir=str(tmp_path))
    np.testing.assert_array_equal(X, before)


@pytest.mark.parametrize("arg,value,exc,prefix", [
    ("normalize", 1, TypeError, "argument 'normalize': 'int' object cannot be converted to 'PyBool'"),
    ("normalize", np.True_, TypeError, "argument 'normalize': 'bool' object cannot be converted to 'PyBool'"),
    ("ann", 0, TypeError, "argument 'ann': 'int' object cannot be converted to 'PyBool'"),
    ("seed", -1, OverflowError, None),
    ("seed", 1.0, TypeError, "argument 'seed': "),
    ("metric", 2, TypeError, "argument 'metric': "),
    ("output_dir", b"/tmp", TypeError, "argument 'output_dir': "),
])
def test_argument_conversion(tmp_path, arg, value, exc, prefix):
    kwargs = {"output_dir": str(tmp_path), arg: value}
    with pytest.raises(exc) as info:
        prep(A, 3, 2, "x", "f32", **kwargs)
    if prefix:
        assert str(info.value).startswith(prefix)
    assert not os.listdir(tmp_path) if arg != "output_dir" else True


def test_negative_dims_is_overflow(tmp_path):
    with pytest.raises(OverflowError):
        prep(A, -1, 2, "x", "f32", output_dir=str(tmp_path))


@pytest.mark.parametrize("emb,msg", [
    (A.astype(np.float64), "argument 'embeddings': type mismatch:\n from=float64, to=float32"),
    (A.ravel(), "argument 'embeddings': dimensionality mismatch:\n from=1, to=2"),
])
def test_embedding_conversion(tmp_path, emb, msg):
    with pytest.raises(TypeError) as info:
        prep(emb, 3, 2, "x", "f32", output_dir=str(tmp_path))
    assert str(info.value) == msg


def test_ann_and_seed_leave_no_trace(tmp_path):
    a = prep(A, 3, 2, "a", "f32", output_dir=str(tmp_path / "1"))
    b = prep(A, 3, 2, "a", "f32", ann=True, seed=12345, output_dir=str(tmp_path / "2"))
    assert open(a, "rb").read() == open(b, "rb").read()


def test_all_arguments_by_keyword(tmp_path):
    path = prep(embeddings=A, dims=3, rows=2, base_name="kw", level="f8", normalize=False,
                ann=False, seed=0, metric="dot", output_dir=str(tmp_path))
    assert path.endswith("kw_f8.bin")


@pytest.mark.parametrize("n,bad_at,msg", [
    (50, [7], "Too many invalid values: 1/50 (2.0%)"),
    (1000, [10, 20], "Too many invalid values: 2/100 (2.0%)"),
    (1000, [11, 21], None),
    (200000, [0, 1000, 2000], "Too many invalid values: 3/200 (1.5%)"),
    (200000, [0, 1000], None),
])
def test_invalid_sample(tmp_path, n, bad_at, msg):
    X = np.ones((n // 10, 10), np.float32)
    X.ravel()[bad_at] = np.nan
    if msg is None:
        path = prep(X, 10, n // 10, "s", "f32", output_dir=str(tmp_path))
        _, _, _, got = body(path)
        for i in bad_at:
            assert not got[i // 10].any()  # normalised rows with a NaN become zeros
    else:
        with pytest.raises(ValueError) as info:
            prep(X, 10, n // 10, "s", "f32", output_dir=str(tmp_path))
        assert str(info.value) == msg


@pytest.mark.parametrize("strict", ["1", "0", "true", ""])
def test_memory_check_passes_small_inputs_in_any_mode(tmp_path, strict):
    code = (
        "import numpy as np, lumvero\n"
        f"print(lumvero.py_prepare_bin_from_embeddings(np.ones((1, 4), np.float32), 4, 1, 'x', 'f32', output_dir={str(tmp_path)!r}))\n"
    )
    r = run_python(code, env={"LUMVO_STRICT_MEMCHECK": strict})
    assert r.returncode == 0 and r.stdout.strip() == str(tmp_path / "x_f32.bin"), r.stderr
    assert r.stderr == ""


def test_replaces_existing_index_and_returns_same_path(tmp_path):
    p1 = prep(A, 3, 2, "r", "f32", metric="dot", output_dir=str(tmp_path))
    e = lumvero.PySearchEngine(p1, False)
    p2 = prep(A * 2, 3, 2, "r", "f32", metric="dot", output_dir=str(tmp_path))
    assert p1 == p2
    assert body(p2)[3][0, 0] == 2.0
    # The engine opened before keeps the old contents mapped.
    assert e.query_exact(np.array([1, 0, 0], np.float32), 1).results[0].score == 4.0
    assert sorted(os.listdir(tmp_path)) == ["r_f32.bin"]


@pytest.mark.parametrize("kind", ["file", "fifo", "symlink", "directory", "full directory"])
def test_stale_temp_file_removed(tmp_path, kind):
    """What an earlier version's crash left under the fixed temporary name is
    removed; a directory there is not the writer's and does not block it."""
    stale = tmp_path / "s_f32.tmp"
    if kind == "file":
        stale.write_bytes(b"junk")
    elif kind == "fifo":
        os.mkfifo(stale)
    elif kind == "symlink":
        stale.symlink_to(tmp_path / "missing")
    else:
        stale.mkdir()
        if kind == "full directory":
            (stale / "inside").write_bytes(b"kept")
    for _ in range(2):
        path = prep(A, 3, 2, "s", "f32", metric="dot", output_dir=str(tmp_path))
        assert body(path)[3].tobytes() == A.tobytes()
    kept = ["s_f32.tmp"] if "directory" in kind else []
    assert sorted(os.listdir(tmp_path)) == ["s_f32.bin"] + kept
    if kind == "full directory":
        assert (stale / "inside").read_bytes() == b"kept"


@pytest.mark.parametrize("where", ["absolute", "relative", "working directory"])
def test_directory_synced_after_the_rename(tmp_path, where):
    """The new name is made durable: the directory is opened and fsynced
    after the rename (an fsync of the file itself would leave the name in
    the air after a crash)."""
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed")
    out = tmp_path / "out"
    out.mkdir()
    output_dir, directory, cwd = {
        "absolute": (str(out), str(out), tmp_path),
        "relative": ("out", "out", tmp_path),
        "working directory": ("", ".", out),
    }[where]
    final = "x_f32.bin" if directory == "." else f"{directory}/x_f32.bin"
    code = (
        "import numpy as np, lumvero\n"
        f"print(lumvero.py_prepare_bin_from_embeddings(np.ones((2, 3), np.float32), 3, 2, 'x', 'f32', output_dir={output_dir!r}))\n"
    )
    trace = tmp_path / "trace"
    r = subprocess.run([strace, "-f", "-qq", "-o", str(trace),
                        "-e", "trace=openat,fsync,rename,renameat,renameat2",
                        sys.executable, "-c", code], cwd=cwd, capture_output=True, text=True, timeout=120)
    if r.returncode != 0 and "ptrace" in r.stderr.lower():
        pytest.skip(f"strace cannot trace here: {r.stderr.strip()}")
    assert r.returncode == 0 and r.stdout.strip() == final, r.stderr
    lines = trace.read_text().splitlines()
    renamed = [i for i, line in enumerate(lines)
               if re.search(r"rename(at2?)?\(.*\"%s\"" % re.escape(final), line) and line.endswith("= 0")]
    assert len(renamed) == 1, "\n".join(lines[-20:])
    opened = re.compile(r'openat\(AT_FDCWD, "%s", ([A-Z_|]+)\) = (\d+)$' % re.escape(directory))
    directory_fds, synced = set(), []
    for line in lines[renamed[0] + 1:]:
        if (m := opened.search(line)) and "O_DIRECTORY" in m[1] and "O_TMPFILE" not in m[1]:
            directory_fds.add(m[2])
        if (m := re.search(r"fsync\((\d+)\)\s+= 0$", line)) and m[1] in directory_fds:
            synced.append(line)
    assert synced, "no fsync of the directory after the rename:\n" + "\n".join(lines[renamed[0]:])


def test_output_dir_is_file(tmp_path):
    f = tmp_path / "file"
    f.write_text("x")
    with pytest.raises(ValueError) as info:
        prep(A, 3, 2, "x", "f32", output_dir=str(f))
    assert str(info.value) == f"Output path is not a directory: {f}"


def test_output_dir_created_with_ancestors(tmp_path):
    d = tmp_path / "a" / "b" / "c"
    path = prep(A, 3, 2, "x", "f32", output_dir=str(d))
    assert path == str(d / "x_f32.bin") and os.path.isfile(path)


def test_relative_output_dir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert prep(A, 3, 2, "x", "f32", output_dir="rel") == "rel/x_f32.bin"
    assert os.path.isfile(tmp_path / "rel" / "x_f32.bin")


def test_directory_cannot_be_created(tmp_path):
    (tmp_path / "blocker").write_text("x")
    with pytest.raises(ValueError, match=r"^Failed to create directory .*blocker/sub: .*\(os error 20\)$"):
        prep(A, 3, 2, "x", "f32", output_dir=str(tmp_path / "blocker" / "sub"))


def test_default_directory_from_home(tmp_path):
    code = (
        "import numpy as np, lumvero\n"
        "print(lumvero.py_prepare_bin_from_embeddings(np.ones((2, 3), np.float32), 3, 2, 'news', 'f16'))\n"
    )
    r = run_python(code, env={"HOME": str(tmp_path)})
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == f"{tmp_path}/.lumvo/indexes/news_f16.bin"
    r = run_python(code, env={"HOME": ""})  # falls back to the password database
    assert r.returncode == 0, r.stderr
    import pwd
    assert r.stdout.strip() == f"{pwd.getpwuid(os.getuid()).pw_dir}/.lumvo/indexes/news_f16.bin"
    os.remove(r.stdout.strip())


def test_failure_mid_write_keeps_old_index(tmp_path):
    old = prep(A, 3, 2, "w", "f32", metric="dot", output_dir=str(tmp_path))
    before = open(old, "rb").read()
    code = (
        "import resource, signal, numpy as np, lumvero\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
        "X = np.ones((1000, 64), np.float32)\n"
        "try:\n"
        f"    lumvero.py_prepare_bin_from_embeddings(X, 64, 1000, 'w', 'f32', metric='dot', output_dir={str(tmp_path)!r})\n"
        "except ValueError as e:\n"
        "    print(e)\n"
    )
    r = run_python(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "Failed to set file length: File too large (os error 27)"
    assert open(old, "rb").read() == before
    assert sorted(os.listdir(tmp_path)) == ["w_f32.bin"]


def test_other_threads_run_while_writing(tmp_path):
    import threading
    X = np.random.default_rng(1).standard_normal((400000, 64)).astype(np.float32)
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(1)
            done.wait(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        prep(X, 64, 400000, "g", "f32", output_dir=str(tmp_path))
    finally:
        done.set()
        t.join()
    assert len(ticks) > 3


@pytest.mark.parametrize("suffix", ["\0", "\0sub", "/\0"])
def test_output_dir_with_nul_is_refused_before_the_disk(tmp_path, suffix):
    """A NUL would cut the path short: a symlink named by the prefix must
    survive, and nothing may be written anywhere."""
    target = tmp_path / "target"
    target.mkdir()
    link = tmp_path / "link"
    link.symlink_to(target)
    with pytest.raises(ValueError) as info:
        prep(A, 3, 2, "idx", "f32", output_dir=str(link) + suffix)
    assert str(info.value) == "embedded null byte"
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert sorted(os.listdir(tmp_path)) == ["link", "target"]
    assert os.listdir(target) == []
