"""Argument checks of ``Index``: rows, ids and integers as the engine takes
them, each failure a message that says what to pass."""

from __future__ import annotations

import math
import operator
from collections.abc import Iterable
from fractions import Fraction
from typing import Any, Final, Literal, cast

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]
Metric = Literal["cosine", "dot", "euclidean"]
METRICS: Final[tuple[Metric, ...]] = ("cosine", "dot", "euclidean")
INT64_MAX: Final = 2**63 - 1


def float_rows(X: Any, what: str, dims: int, fresh: bool = True) -> FloatArray:
    """X as a fresh (n, dims) float32 C-contiguous array of finite values
    (fresh=False: X itself when it is one already, a buffer of the
    caller's)."""
    a = np.asarray(X)
    if a.dtype.kind not in "iuf":  # not bool, complex, text or objects
        raise TypeError(f"{what} must hold real numbers; got dtype {a.dtype}")
    if a.ndim == 1:
        if a.shape[0] != dims:
            raise ValueError(f"{what} has {a.shape[0]} values; this index has {dims} dims")
        a = a.reshape(1, dims)
    elif a.ndim == 2:
        if a.shape[1] != dims:
            raise ValueError(f"{what} has {a.shape[1]} columns; this index has {dims} dims")
    else:
        raise ValueError(f"{what} must be (n, {dims}) or ({dims},); got shape {a.shape}")
    copy = True if fresh else None
    if a.dtype.kind == "f" and a.dtype.itemsize > 4:
        # Values beyond float32's range become infinities, reported below.
        with np.errstate(over="ignore", invalid="ignore"):
            out = np.array(a, dtype=np.float32, order="C", copy=copy)
    else:
        out = np.array(a, dtype=np.float32, order="C", copy=copy)
    bad = _native.first_non_finite(out) if out.size else -1
    if bad >= 0:
        r, c = divmod(bad, dims)
        raise ValueError(f"{what} has a non-finite value at row {r}, column {c} "
                         f"({float(out[r, c])} as float32); pass finite values")
    return out


def int_ids(ids: Any, what: str) -> IdArray:
    """ids as a 1-D int64 array; TypeError for anything but integers. Any
    iterable of integers is taken (a set, a generator, a range, a dict's
    keys), as is a single integer."""
    if (isinstance(ids, Iterable) and not hasattr(ids, "__array__")
            and not isinstance(ids, (list, tuple, range, str, bytes))):
        ids = list(ids)  # NumPy takes no sets or iterators as sequences
    a = np.asarray(ids)
    if a.ndim == 0:
        a = a.reshape(1)
    if a.ndim != 1:
        raise ValueError(f"{what} must be a 1-D sequence of integers; got shape {a.shape}")
    if a.size == 0:
        return np.zeros(0, np.int64)
    if a.dtype.kind not in "iu":
        raise TypeError(f"{what} must be integers (int64); got dtype {a.dtype}")
    if a.dtype == np.uint64 and int(a.max()) > np.iinfo(np.int64).max:
        big = sorted({int(v) for v in a[a > np.iinfo(np.int64).max][:10]})
        raise ValueError(f"{what} do not fit in int64: {big}")
    # Contiguous native int64 whatever the layout given (a strided or reversed
    # view, a column of a 2-D array, big-endian): the lookups read it as such.
    return np.ascontiguousarray(a, dtype=np.int64)


def integer(value: object, what: str) -> int:
    """value as a Python int; TypeError for bool and non-integers."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer; got bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an integer; got {type(value).__name__}") from None


def score_bound(radius: object, at_least: bool) -> float:
    """The float64 t that decides a float64 score s against radius exactly:
    s >= radius exactly when s >= t (at_least), s <= radius exactly when
    s <= t (otherwise). radius is any real number (an int beyond float64, a
    longdouble finer than float64); it is rounded to float64 towards the side
    it admits, never to nearest first.

    Raises:
        TypeError: radius is not a real number (bools are refused too).
        ValueError: radius is NaN.
    """
    if isinstance(radius, bool) or not isinstance(radius, (int, float, np.integer, np.floating)):
        raise TypeError(f"radius must be a real number; got {type(radius).__name__}")
    if isinstance(radius, np.integer):
        radius = int(radius)
    if radius != radius:
        raise ValueError("radius must be a number; got nan")
    if radius in (math.inf, -math.inf):
        return float(radius)
    exact = Fraction(*radius.as_integer_ratio())
    try:
        t = float(exact)  # to nearest
    except OverflowError:
        return math.inf if exact > 0 else -math.inf
    if at_least and Fraction(t) < exact:
        t = math.nextafter(t, math.inf)
    elif not at_least and Fraction(t) > exact:
        t = math.nextafter(t, -math.inf)
    return t


def metric_name(value: object) -> Metric:
    """value as one of the three metric names."""
    if not isinstance(value, str):
        raise TypeError(f"metric must be a str; got {type(value).__name__}")
    if value not in METRICS:
        raise ValueError(f"metric must be 'cosine', 'dot' or 'euclidean'; got {value!r}")
    return cast(Metric, str(value))


def result_count(k: object) -> int:
    """k, the number of results per query, as a Python int in [1, 2**63 - 1]."""
    n = integer(k, "k")
    if n < 1:
        raise ValueError(f"k must be at least 1; got {n}")
    if n > INT64_MAX:
        raise ValueError(f"k must be at most 2**63 - 1 ({INT64_MAX}); got {n}")
    return n


def as_id(value: object) -> int | None:
    """value as an id when it can be one (a Python or NumPy integer within
    [0, 2**63 - 1]); None for anything else, which no index holds."""
    try:
        i = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        return None
    return i if 0 <= i <= INT64_MAX else None


def default_ids(next_id: int, n: int) -> IdArray:
    """The ids of n rows added without ids: next_id, next_id + 1, ...

    Raises:
        ValueError: they would pass 2**63 - 1.
    """
    if next_id + n - 1 > INT64_MAX:
        raise ValueError(f"default ids for {n} rows would pass 2**63 - 1 (the next default id "
                         f"is {next_id}); pass ids explicitly")
    return np.arange(next_id, next_id + n, dtype=np.int64)


def given_ids(ids: Any, n: int, rows: str) -> tuple[IdArray, IdArray]:
    """Ids given for n new rows (named ``rows`` in messages), as an int64
    array, and their sorted distinct values: one per row, none given twice,
    none negative. Whether one is already present is the caller's check."""
    a = int_ids(ids, "ids")
    if a.shape[0] != n:
        raise ValueError(f"got {a.shape[0]} ids for {n} rows of {rows}; pass one id per row")
    if n == 0:
        return a, a
    uniq = a
    if n > 1:
        uniq, counts = np.unique(a, return_counts=True)
        if uniq.size != n:
            raise ValueError(f"ids repeated in this call: {listed(uniq[counts > 1])}")
    if uniq[0] < 0:
        raise ValueError(f"ids must be >= 0; negative ids: {listed(uniq[uniq < 0])}")
    return a, uniq


def sorted_unique(a: IdArray) -> IdArray:
    """The distinct values, sorted (sorted needles make the binary searches
    that follow read memory in order)."""
    s = np.sort(a)
    if s.shape[0] > 1:
        s = s[np.concatenate(([True], s[1:] != s[:-1]))]
    return s


def listed(values: Any, limit: int = 10) -> str:
    items = [int(v) for v in values[:limit]]
    more = ", ..." if len(values) > limit else ""
    return "[" + ", ".join(str(v) for v in items) + more + "]"


def normalize(rows: FloatArray, what: str, zero_ok: bool) -> None:
    """Scales rows to unit length in place, exactly as the index writer does.
    Zero rows stay zero where zero_ok; a row whose sum of squares overflows or
    underflows float32 cannot be scaled."""
    zero, lost = _native.normalize_rows(rows)
    if zero >= 0 and not zero_ok:
        raise ValueError(f"{what} row {zero} is zero; a cosine query needs a non-zero vector")
    if lost >= 0:
        raise ValueError(f"{what} row {lost} cannot be scaled to unit length: its sum of "
                         f"squares overflows or underflows float32; rescale it first")

