"""Argument checks of ``Index``: rows, ids and integers as the engine takes
them, each failure a message that says what to pass."""

from __future__ import annotations

import operator
from typing import Any

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]


def float_rows(X: Any, what: str, dims: int) -> FloatArray:
    """X as a fresh (n, dims) float32 C-contiguous array of finite values."""
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
    if a.dtype.kind == "f" and a.dtype.itemsize > 4:
        # Values beyond float32's range become infinities, reported below.
        with np.errstate(over="ignore", invalid="ignore"):
            out = np.array(a, dtype=np.float32, order="C", copy=True)
    else:
        out = np.array(a, dtype=np.float32, order="C", copy=True)
    bad = _native.first_non_finite(out) if out.size else -1
    if bad >= 0:
        r, c = divmod(bad, dims)
        raise ValueError(f"{what} has a non-finite value at row {r}, column {c} "
                         f"({float(out[r, c])} as float32); pass finite values")
    return out


def int_ids(ids: Any, what: str) -> IdArray:
    """ids as a 1-D int64 array; TypeError for anything but integers."""
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
    return a.astype(np.int64, copy=False)


def integer(value: object, what: str) -> int:
    """value as a Python int; TypeError for bool and non-integers."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer; got bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an integer; got {type(value).__name__}") from None


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

