"""The module surface and the call boundary: registration, signatures,
argument errors, read-only results, panics."""
import inspect
import os

import numpy as np
import pytest

import lumvero
from conftest import run_python

X = np.arange(12, dtype=np.float32).reshape(4, 3)


def test_module_exports_exactly_three_names():
    public = {n for n in dir(lumvero) if not n.startswith("__")}
    assert public == {"PySearchEngine", "PyQueryResult", "py_prepare_bin_from_embeddings"}
    assert lumvero.__all__ == ["PySearchEngine", "PyQueryResult", "py_prepare_bin_from_embeddings"]
    assert lumvero.__doc__ in ("", None)
    assert lumvero.py_prepare_bin_from_embeddings.__module__ == "lumvero"


def test_text_signatures():
    E = lumvero.PySearchEngine
    assert E.__text_signature__ == "(bin_path, ann)"
    expected = {
        "dims": "($self)", "rows": "($self)",
        "query_exact": "($self, query, k)",
        "query_exact_arrays": "($self, query, k)",
        "query_batch": "($self, queries, k)",
        "query_batch_arrays": "($self, queries, k)",
        "query_exact_detailed": "($self, query, k)",
        "query_exact_certified": "($self, query, k, block_size=64, enable_pruning=True)",
        "query_batch_exact_certified": "($self, queries, k, block_size=64, enable_pruning=True)",
        "query_batch_detailed": "($self, queries, k)",
        "compare": "($self, query, idx_a, idx_b, block_size, top_blocks)",
        "explain": "($self, query, idx, block_size, top_blocks)",
    }
    for name, sig in expected.items():
        assert getattr(E, name).__text_signature__ == sig, name
    assert str(inspect.signature(lumvero.py_prepare_bin_from_embeddings)) == (
        "(embeddings, dims, rows, base_name, level, normalize=False, ann=False, seed=0, "
        "metric='cosine', output_dir=None)")


def test_dims_is_a_method(make_engine):
    e = make_engine(X)
    assert callable(e.dims) and e.dims() == 3 and e.rows() == 4
    assert isinstance(e.dims(), int)
    with pytest.raises(TypeError):
        e.dims(1)


@pytest.mark.parametrize("cls", ["PyQueryResult", "PyQueryItem"])
def test_no_constructor(make_engine, cls):
    e = make_engine(X)
    types = {"PyQueryResult": lumvero.PyQueryResult,
             "PyQueryItem": type(e.query_exact(np.ones(3, np.float32), 1).results[0])}
    with pytest.raises(TypeError, match="^No constructor defined$"):
        types[cls]()


def test_query_item_type_is_not_exported(make_engine):
    item = make_engine(X).query_exact(np.ones(3, np.float32), 1).results[0]
    assert type(item).__name__ == "PyQueryItem"
    assert not hasattr(lumvero, "PyQueryItem")


def test_results_are_read_only(make_engine):
    r = make_engine(X).query_exact(np.ones(3, np.float32), 2)
    with pytest.raises(AttributeError):
        r.method_used = "x"
    with pytest.raises(AttributeError):
        r.results[0].score = 1.0


@pytest.mark.parametrize("bin_path", [b"x.bin", 3, None])
def test_bin_path_must_be_str(bin_path):
    with pytest.raises(TypeError, match="^argument 'bin_path': "):
        lumvero.PySearchEngine(bin_path, False)


def test_bin_path_pathlike_refused(tmp_path):
    with pytest.raises(TypeError, match="^argument 'bin_path': 'PosixPath' object cannot be converted"):
        lumvero.PySearchEngine(tmp_path / "x.bin", False)


@pytest.mark.parametrize("ann", [1, 0, None, np.True_])
def test_ann_must_be_bool(tmp_path, ann):
    with pytest.raises(TypeError) as info:
        lumvero.PySearchEngine(str(tmp_path / "x.bin"), ann)
    assert str(info.value) == (f"argument 'ann': '{type(ann).__name__}' object cannot be "
                               "converted to 'PyBool'")


def test_constructor_by_keyword_and_arity(make_engine, tmp_path):
    from conftest import write_index
    path = write_index(tmp_path / "k.bin", X)
    assert lumvero.PySearchEngine(ann=True, bin_path=path).rows() == 4
    with pytest.raises(TypeError, match="PySearchEngine"):
        lumvero.PySearchEngine(path)
    with pytest.raises(TypeError, match="PySearchEngine"):
        lumvero.PySearchEngine(path, False, 1)
    with pytest.raises(TypeError, match="PySearchEngine"):
        lumvero.PySearchEngine(path, False, bogus=1)


def test_query_argument_errors(make_engine):
    e = make_engine(X)
    with pytest.raises(TypeError) as info:
        e.query_exact([1.0, 2.0, 3.0], 1)
    assert str(info.value) == "argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'"
    with pytest.raises(TypeError) as info:
        e.query_exact(np.ones(3), 1)
    assert str(info.value) == "argument 'query': type mismatch:\n from=float64, to=float32"
    with pytest.raises(TypeError) as info:
        e.query_exact(np.ones((1, 3), np.float32), 1)
    assert str(info.value) == "argument 'query': dimensionality mismatch:\n from=2, to=1"
    with pytest.raises(OverflowError) as info:
        e.query_exact(np.ones(3, np.float32), -1)
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        e.query_exact(np.ones(3, np.float32), 2**64)
    with pytest.raises(TypeError, match="^argument 'k': "):
        e.query_exact(np.ones(3, np.float32), 1.5)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        e.query_exact(np.ones(6, np.float32)[::2], 1)


def test_array_checked_before_k_and_contiguity_after(make_engine):
    e = make_engine(X)
    with pytest.raises(TypeError, match="^argument 'query'"):
        e.query_exact(np.ones(6)[::2], -1)
    with pytest.raises(OverflowError):
        e.query_exact(np.ones(6, np.float32)[::2], -1)


def test_index_protocol_for_k(make_engine):
    e = make_engine(X)
    assert len(e.query_exact(np.ones(3, np.float32), np.int64(2)).results) == 2
    assert len(e.query_exact(np.ones(3, np.float32), True).results) == 1


def test_receiver_of_wrong_class():
    with pytest.raises(TypeError):
        lumvero.PySearchEngine.dims(5)


def test_value_error_text_unchanged(make_engine):
    e = make_engine(X)
    with pytest.raises(ValueError) as info:
        e.query_exact(np.array([np.nan, 0, 0], np.float32), 1)
    assert str(info.value) == "Query vector cont\u00c3\u00a9m valores n\u00c3\u00a3o finitos"


def test_repr_format(make_engine):
    r = make_engine(X).query_exact(np.ones(3, np.float32), 3)
    assert repr(r) == f"<PyQueryResult results=3 time={r.query_time_ms:.3f}ms method={r.method_used}>"
    assert str(r) == repr(r)


def test_second_initialisation_raises_import_error():
    code = (
        "import sys, lumvero\n"
        "del sys.modules['lumvero']\n"
        "try:\n"
        "    import lumvero\n"
        "except ImportError as e:\n"
        "    print('ImportError', e)\n"
    )
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("ImportError")


def test_panic_exception_derives_from_base_exception():
    code = (
        "import lumvero, gc\n"
        "P = [c for c in BaseException.__subclasses__() if c.__name__ == 'PanicException']\n"
        "assert len(P) == 1 and P[0].__bases__ == (BaseException,), P\n"
        "assert not issubclass(P[0], Exception)\n"
        "print('ok')\n"
    )
    out = run_python(code)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr


def test_memory_error_instead_of_abort(tmp_path):
    if os.environ.get("LUMVO_SANITIZED"):
        pytest.skip("address-space limits conflict with the sanitizer's shadow memory")
    # Leave 100 MiB of address space: the 200 MB private copy cannot be allocated.
    code = (
        "import resource, numpy as np, lumvero\n"
        "a = np.ones((50000, 1000), np.float32)\n"
        "vm = [l for l in open('/proc/self/status') if l.startswith('VmSize:')][0]\n"
        "limit = int(vm.split()[1]) * 1024 + (100 << 20)\n"
        "resource.setrlimit(resource.RLIMIT_AS, (limit, limit))\n"
        "try:\n"
        f"    lumvero.py_prepare_bin_from_embeddings(a, 1000, 50000, 'm', 'f32', output_dir={str(tmp_path)!r})\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n"
    )
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "MemoryError"


class Retyper:
    """An integer whose __index__ retypes the array in place: same buffer,
    four times as many (one-byte) elements."""

    def __init__(self, array, value):
        self.array, self.value = array, value

    def __index__(self):
        self.array.dtype = np.int8
        return self.value


def prepare(a, dims, rows, **kw):
    return lumvero.py_prepare_bin_from_embeddings(a, dims, rows, "rt2", "f32",
                                                  output_dir="/nonexistent/never-written", **kw)


ENTRY_POINTS = [
    # (name, array dimensions, call with (engine, array, integer maker))
    ("query_exact k", 1, lambda e, a, n: e.query_exact(a, n(2))),
    ("query_exact_arrays k", 1, lambda e, a, n: e.query_exact_arrays(a, n(2))),
    ("query_exact_detailed k", 1, lambda e, a, n: e.query_exact_detailed(a, n(2))),
    ("query_batch k", 2, lambda e, a, n: e.query_batch(a, n(2))),
    ("query_batch_arrays k", 2, lambda e, a, n: e.query_batch_arrays(a, n(2))),
    ("query_batch_detailed k", 2, lambda e, a, n: e.query_batch_detailed(a, n(2))),
    ("query_exact_certified k", 1, lambda e, a, n: e.query_exact_certified(a, n(2))),
    ("query_exact_certified block_size", 1,
     lambda e, a, n: e.query_exact_certified(a, 2, n(2))),
    ("query_batch_exact_certified k", 2, lambda e, a, n: e.query_batch_exact_certified(a, n(2))),
    ("query_batch_exact_certified block_size", 2,
     lambda e, a, n: e.query_batch_exact_certified(a, 2, n(2))),
    ("explain idx", 1, lambda e, a, n: e.explain(a, n(1), 2, 2)),
    ("explain top_blocks", 1, lambda e, a, n: e.explain(a, 1, 2, n(2))),
    ("compare idx_b", 1, lambda e, a, n: e.compare(a, 0, n(1), 2, 2)),
    ("compare top_blocks", 1, lambda e, a, n: e.compare(a, 0, 1, 2, n(2))),
    ("prepare dims", 2, lambda e, a, n: prepare(a, n(3), 4)),
    ("prepare rows", 2, lambda e, a, n: prepare(a, 3, n(4))),
    ("prepare seed", 2, lambda e, a, n: prepare(a, 3, 4, seed=n(0))),
]


@pytest.mark.parametrize("name,ndim,call", ENTRY_POINTS, ids=[p[0] for p in ENTRY_POINTS])
def test_index_callback_cannot_retype_a_checked_array(tmp_path, name, ndim, call):
    """Whatever an argument's __index__ does to the array, the engine reads
    only what was checked: here the retyped array is refused."""
    path = lumvero.py_prepare_bin_from_embeddings(X, 3, 4, "rt", "f32", metric="dot",
                                                  output_dir=str(tmp_path))
    e = lumvero.PySearchEngine(path, False)
    a = np.ones(3 if ndim == 1 else (4, 3), np.float32)
    with pytest.raises(TypeError) as info:
        call(e, a, lambda v: Retyper(a, v))
    arg = "embeddings" if name.startswith("prepare") else "queries" if ndim == 2 else "query"
    assert str(info.value) == f"argument '{arg}': type mismatch:\n from=int8, to=float32"
    assert a.dtype == np.int8
