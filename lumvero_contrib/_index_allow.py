"""``allow=`` of the searches: one allow-list for every query, or one per
query; how the two are told apart, and the per-query lists turned into
groups of queries that share their allowed positions."""

from __future__ import annotations

import operator
from collections.abc import Iterable
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from lumvero_contrib._index_args import int_ids, sorted_unique

IdArray = npt.NDArray[np.int64]
# One entry per query: its ids (sorted, distinct) or None (every live row).
PerQuery = list[IdArray | None]

# How allow= tells one list from one list per query (the searches'
# docstrings say the same).
RULE: Final = ("pass one list of ids for every query, or one entry per query (a list of ids "
               "or None)")


def allow_lists(allow: Any, nq: int) -> IdArray | PerQuery | None:
    """allow as the searches take it: None (no restriction), the sorted
    distinct ids of one list for every query, or a list of nq entries (one
    per query: sorted distinct ids, or None).

    One entry per query is a list or tuple whose every element is None or
    itself a collection (not a str or bytes), a 1-D object array of such
    elements, or a 2-D array (row i for query i). Everything else (an
    array, a set, a range, a generator, a single integer, a list of
    integers) is one list of ids for every query. An empty list is one
    empty list (no row allowed).

    Raises:
        TypeError: a callable, or ids of a non-integer dtype.
        ValueError: a list mixing ids with lists, or a number of entries
            other than the queries'.
    """
    if allow is None:
        return None
    if callable(allow) and not hasattr(allow, "__array__"):
        raise TypeError(f"allow must be ids, not a callable ({type(allow).__name__}); pass the "
                        f"ids it accepts, e.g. allow=[i for i in ix.ids() if keep(i)], or one "
                        f"list of ids per query")
    if hasattr(allow, "__array__"):
        a = np.asarray(allow)
        if a.ndim == 2 and a.dtype.kind != "O":
            return _entries(list(a), nq, "rows")
        if a.ndim != 1 or a.dtype.kind != "O":
            return sorted_unique(int_ids(a, "allow"))
        allow = list(a)
    elif not isinstance(allow, (list, tuple)):
        return sorted_unique(int_ids(allow, "allow"))
    kinds = {_is_entry(e) for e in allow}
    if kinds == {True, False}:
        raise ValueError(f"allow mixes ids with lists of ids; {RULE}")
    if kinds == {True}:
        return _entries(allow, nq, "entries")
    return sorted_unique(int_ids(allow, "allow"))


def _is_entry(e: object) -> bool:
    """Whether an element of allow is a query's entry (None or a collection)
    rather than an id."""
    if e is None:
        return True
    if isinstance(e, (str, bytes)):
        return False
    if isinstance(e, np.ndarray):
        return e.ndim > 0
    if isinstance(e, Iterable):
        return True
    try:
        operator.index(e)  # type: ignore[arg-type]
    except TypeError:
        return hasattr(e, "__array__")
    return False


def _entries(items: list[Any], nq: int, what: str) -> PerQuery:
    if len(items) != nq:
        raise ValueError(f"allow has {len(items)} {what} for {nq} quer"
                         f"{'y' if nq == 1 else 'ies'}; {RULE}")
    out: PerQuery = []
    done: dict[int, IdArray] = {}  # the same object given for several queries, converted once
    for i, e in enumerate(items):
        if e is None:
            out.append(None)
            continue
        a = done.get(id(e))
        if a is None:
            a = done[id(e)] = sorted_unique(int_ids(e, f"allow[{i}]"))
        out.append(a)
    return out


def split_positions(entries: PerQuery, positions: IdArray) -> list[IdArray | None]:
    """Each entry's sorted positions, from the positions of all entries'
    ids concatenated in order (-1 for ids not live): one lookup for all."""
    out: list[IdArray | None] = []
    at = 0
    seen: dict[int, IdArray] = {}
    for e in entries:
        if e is None:
            out.append(None)
            continue
        p = seen.get(id(e))
        if p is None:
            p = positions[at: at + e.shape[0]]
            at += e.shape[0]
            p = p[p >= 0]
            p.sort()
            seen[id(e)] = p
        out.append(p)
    return out


def distinct_ids(entries: PerQuery) -> IdArray:
    """The ids of every distinct entry (by object) concatenated, in the
    order split_positions reads them back."""
    seen: set[int] = set()
    parts = []
    for e in entries:
        if e is not None and id(e) not in seen:
            seen.add(id(e))
            parts.append(e)
    return np.concatenate(parts) if parts else np.zeros(0, np.int64)


def groups_of(lists: list[IdArray | None]) -> list[tuple[IdArray, IdArray | None]]:
    """The queries grouped by equal allowed positions: (query rows, the
    group's positions or None), groups in order of their first query."""
    buckets: dict[tuple[int, ...], list[tuple[IdArray | None, list[int]]]] = {}
    order: list[tuple[IdArray | None, list[int]]] = []
    for q, p in enumerate(lists):
        key = (-1,) if p is None else _fingerprint(p)
        bucket = buckets.setdefault(key, [])
        for positions, members in bucket:
            if p is positions or (p is not None and positions is not None
                                  and np.array_equal(p, positions)):
                members.append(q)
                break
        else:
            group: tuple[IdArray | None, list[int]] = (p, [q])
            bucket.append(group)
            order.append(group)
    return [(np.array(m, np.int64), p) for p, m in order]


def _fingerprint(p: IdArray) -> tuple[int, ...]:
    n = int(p.shape[0])
    if n == 0:
        return (0,)
    return (n, int(p[0]), int(p[-1]), int(p.sum(dtype=np.uint64)))
