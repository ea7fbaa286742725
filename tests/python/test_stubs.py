"""The typed stubs (lumvero-stubs) against what the module really returns.

stubtest checks names and signatures but not the keys of the dictionaries
the methods return; here every TypedDict of the stub is compared with a real
result: the same keys in the same order, and every value of the declared type
(Literal values included)."""
import ast
import os

import numpy as np
import pytest

from conftest import unit_rows

def _stub_path():
    """The stubs this interpreter would give a type checker (installed with
    the module), else the source tree's copy."""
    import sysconfig

    for key in ("platlib", "purelib"):
        p = os.path.join(sysconfig.get_paths()[key], "lumvero-stubs", "__init__.pyi")
        if os.path.exists(p):
            return p
    p = os.path.join(os.path.dirname(__file__), "..", "..", "lumvero-stubs", "__init__.pyi")
    if not os.path.exists(p):
        pytest.skip("lumvero-stubs not found")
    return p


def _parse_stub():
    tree = ast.parse(open(_stub_path(), encoding="utf-8").read())
    aliases, typed_dicts = {}, {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1:
            aliases[node.targets[0].id] = node.value
        elif isinstance(node, ast.ClassDef) and any(
                isinstance(b, ast.Name) and b.id == "TypedDict" for b in node.bases):
            typed_dicts[node.name] = [(s.target.id, s.annotation) for s in node.body
                                      if isinstance(s, ast.AnnAssign)]
    return aliases, typed_dicts


ALIASES, TYPED_DICTS = _parse_stub()


def _literal_values(node):
    """The strings a Literal[...] (or a union of Literals / aliases) allows."""
    if isinstance(node, ast.Name) and node.id in ALIASES:
        return _literal_values(ALIASES[node.id])
    if isinstance(node, ast.BinOp):
        return _literal_values(node.left) | _literal_values(node.right)
    if isinstance(node, ast.Subscript) and getattr(node.value, "id", "") == "Literal":
        elts = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        return {e.value for e in elts}
    return None


def check_value(value, node, where):
    """Asserts that value has the stub's declared type node."""
    lit = _literal_values(node)
    if lit is not None:
        assert value in lit, f"{where}: {value!r} not in {sorted(lit)}"
        return
    if isinstance(node, ast.Name):
        if node.id in TYPED_DICTS:
            check_dict(value, node.id, where)
            return
        want = {"int": int, "float": float, "str": str, "bool": bool}[node.id]
        assert type(value) is want, f"{where}: {type(value).__name__} is not {node.id}"
        return
    assert isinstance(node, ast.Subscript), ast.dump(node)
    head = node.value.id
    if head == "list":
        assert type(value) is list, f"{where}: not a list"
        for i, v in enumerate(value):
            check_value(v, node.slice, f"{where}[{i}]")
    elif head == "NDArray":
        dtype = getattr(np, node.slice.attr)
        assert isinstance(value, np.ndarray) and value.dtype == dtype, \
            f"{where}: {getattr(value, 'dtype', type(value))} is not {node.slice.attr}"
    else:
        raise AssertionError(f"{where}: unhandled annotation {ast.dump(node)}")


def check_dict(value, name, where=None):
    where = where or name
    fields = TYPED_DICTS[name]
    assert type(value) is dict, f"{where}: not a dict"
    assert list(value) == [k for k, _ in fields], f"{where}: keys differ from the stub's {name}"
    for key, node in fields:
        check_value(value[key], node, f"{where}[{key!r}]")


def test_stub_declares_every_result_dict():
    assert {"QueryArrays", "BatchArrays", "ScoredItem", "Certificate", "CertifiedResult",
            "BlockContribution", "Explanation", "Comparison"} <= set(TYPED_DICTS)


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
def test_result_dicts_match_the_stub(make_engine, metric):
    rng = np.random.default_rng(5)
    X = unit_rows(rng, 300, 40)
    engine = make_engine(X, metric)
    q, Q = X[3].copy(), X[:6].copy()
    check_dict(engine.query_exact_arrays(q, 4), "QueryArrays")
    check_dict(engine.query_batch_arrays(Q, 4), "BatchArrays")
    for pruning in (True, False):
        check_dict(engine.query_exact_certified(q, 4, 16, pruning), "CertifiedResult")
    for i, c in enumerate(engine.query_batch_exact_certified(Q, 2)):
        check_dict(c, "CertifiedResult", f"batch[{i}]")
    check_dict(engine.explain(q, 7, 16, 2), "Explanation")
    check_dict(engine.compare(q, 7, 9, 16, 2), "Comparison")


@pytest.mark.parametrize("k", [0, 3])
def test_empty_and_trivial_answers_match_the_stub(make_engine, k):
    # k = 0 gives the certified search's "empty-result" answer and empty arrays.
    X = unit_rows(np.random.default_rng(6), 50, 8)
    engine = make_engine(X, "dot")
    check_dict(engine.query_exact_certified(X[0].copy(), k), "CertifiedResult")
    check_dict(engine.query_exact_arrays(X[0].copy(), k), "QueryArrays")
    check_dict(engine.query_batch_arrays(X[:5].copy(), k), "BatchArrays")


@pytest.mark.parametrize("n", [1, 3, 8])
def test_method_names_are_among_the_stub_literals(make_engine, n, monkeypatch):
    allowed = _literal_values(ALIASES["_Method"])
    X = unit_rows(np.random.default_rng(7), 12_000, 64)
    engine = make_engine(X, "cosine")
    for mode in (None, "rayon", "blocked", "matrix_full", "pruned"):
        if mode:
            monkeypatch.setenv("LUMVO_SINGLE_MODE", mode)
        for r in engine.query_batch(X[:n].copy(), 2):
            assert r.method_used in allowed
        monkeypatch.delenv("LUMVO_SINGLE_MODE", raising=False)
    for mode in ("matrix", "chunked", "blocked", "rayon"):
        monkeypatch.setenv("LUMVO_BATCH_MODE", mode)
        for r in engine.query_batch(X[:n].copy(), 2):
            assert r.method_used in allowed
