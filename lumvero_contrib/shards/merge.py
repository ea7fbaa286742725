"""Searching one shard and merging the shards' answers under the engine's
one result order: score under IEEE totalOrder (higher first for cosine and
dot, lower first for euclidean), equal scores by lower global row. Every
shard returns its own k best under that order, so the merged list is the
list one index file holding all the rows would return."""
import operator

import numpy as np
from numpy.typing import NDArray

import lumvero

__all__ = ["Answer", "merge_top_k", "search_engine", "prepare_queries", "check_k"]

Answer = tuple[NDArray[np.float32], NDArray[np.int64]]
"""(scores, global row ids), both (n_queries, m); id -1 marks an empty slot."""

_EMPTY_KEY = 1 << 40  # after every real score's key


def _missing_score(metric: str) -> np.float32:
    """The score of an empty result slot: the worst value under the metric."""
    return np.float32(np.inf if metric == "euclidean" else -np.inf)


def _order_keys(scores: NDArray[np.float32]) -> NDArray[np.int64]:
    """IEEE totalOrder of float32 scores as int64 keys (ascending)."""
    bits = np.asarray(scores, np.float32).view(np.int32).astype(np.int64)
    return np.where(bits >= 0, bits, bits ^ 0x7FFFFFFF)


def _empty(n: int) -> Answer:
    return np.zeros((n, 0), np.float32), np.zeros((n, 0), np.int64)


def merge_top_k(parts: list[Answer], k: int, metric: str) -> Answer:
    """Merges per-shard answers into the k best per query.

    Arguments:
        parts: Per shard, (scores float32 (n, m_i), ids int64 (n, m_i)) with
            global row ids; id -1 marks an empty slot.
        k: Results per query.
        metric: ``"cosine"``, ``"dot"`` or ``"euclidean"``.

    Returns:
        (scores, ids), both (n, k), best first under the result order, empty
        slots last (id -1, score -inf for cosine and dot, +inf for
        euclidean).

    Raises:
        ValueError: ``parts`` is empty.

    Examples:
        >>> s = np.array([[0.5, 0.2]], np.float32)
        >>> a = (s, np.array([[3, 1]], np.int64))
        >>> b = (np.array([[0.5]], np.float32), np.array([[0]], np.int64))
        >>> merge_top_k([a, b], 2, "dot")[1].tolist()
        [[0, 3]]
    """
    if not parts:
        raise ValueError("nothing to merge")
    n = parts[0][0].shape[0]
    S = np.concatenate([np.asarray(p[0], np.float32) for p in parts], axis=1)
    ids = np.concatenate([np.asarray(p[1], np.int64) for p in parts], axis=1)
    fill = _missing_score(metric)
    out_s = np.full((n, k), fill, np.float32)
    out_i = np.full((n, k), -1, np.int64)
    if S.shape[1] == 0 or k == 0:
        return out_s, out_i
    key = _order_keys(S)
    if metric != "euclidean":
        key = -key
    empty = ids < 0
    key[empty] = _EMPTY_KEY
    tie = np.where(empty, np.iinfo(np.int64).max, ids)
    order = np.lexsort((tie, key), axis=1)[:, :k]
    w = order.shape[1]
    top_s = np.take_along_axis(S, order, axis=1)
    top_i = np.take_along_axis(ids, order, axis=1)
    top_s[top_i < 0] = fill
    out_s[:, :w] = top_s
    out_i[:, :w] = top_i
    return out_s, out_i


def _ragged_answer(engine: lumvero.PySearchEngine, queries: NDArray[np.float32], k: int,
                   metric: str) -> tuple[NDArray[np.int64], NDArray[np.float32]]:
    """The list form of a batch answer, widened with empty slots: it carries
    queries whose answers differ in length."""
    results = engine.query_batch(queries, k)
    m = max((len(r.results) for r in results), default=0)
    local = np.full((len(results), m), -1, np.int64)
    scores = np.full((len(results), m), _missing_score(metric), np.float32)
    for row, r in enumerate(results):
        items = r.results
        local[row, :len(items)] = [it.idx for it in items]
        scores[row, :len(items)] = [it.score for it in items]
    return local, scores


def search_engine(engine: lumvero.PySearchEngine, first_row: int, queries: NDArray[np.float32],
                  k: int, metric: str) -> Answer:
    """One index file's k best per query, with global row ids.

    Arguments:
        engine: The opened index file.
        first_row: Global row number of its first row.
        queries: A C-ordered float32 (n, dims) matrix (see
            :func:`prepare_queries`).
        k: Results per query (see :func:`check_k`).
        metric: The index's metric.

    Returns:
        (scores float32 (n, m), global ids int64 (n, m)), m = min(k, rows);
        empty slots (rows whose score is not finite) have id -1.

    Raises:
        ValueError: The engine refused the queries.
        RuntimeError: The engine answered fewer queries than asked.

    Examples:
        >>> engine = lumvero.PySearchEngine("s-00001_f32.bin", False)  # doctest: +SKIP
        >>> scores, ids = search_engine(engine, 1000, Q, 10, "cosine")  # doctest: +SKIP
    """
    n = queries.shape[0]
    if n == 0 or k == 0:
        return _empty(n)
    try:
        d = engine.query_batch_arrays(queries, k)
        local, scores = d["indices"].astype(np.int64), d["scores"]
    except ValueError as e:
        # Queries whose rows do not all have finite scores come back shorter
        # than the others; the list form carries any lengths.
        if not str(e).startswith("invalid length"):
            raise
        local, scores = _ragged_answer(engine, queries, k, metric)
    if local.shape[0] != n:
        if local.shape[0] == 0:  # nothing to select from
            return _empty(n)
        raise RuntimeError(f"the engine answered {local.shape[0]} of {n} queries")
    local[local >= 0] += first_row
    return np.asarray(scores, np.float32), local


def prepare_queries(queries: object, dims: int) -> NDArray[np.float32]:
    """Checks queries and lays them out for the engine.

    Arguments:
        queries: A float32 NumPy array, one query (1-D) or one per row.
        dims: The index's dims.

    Returns:
        A C-ordered (n, dims) float32 matrix.

    Raises:
        TypeError: Not a float32 NumPy array.
        ValueError: Wrong shape, wrong dims, or a NaN or infinity.

    Examples:
        >>> prepare_queries(np.zeros(4, np.float32), 4).shape
        (1, 4)
    """
    if not isinstance(queries, np.ndarray):
        raise TypeError(f"queries must be a NumPy float32 array, got {type(queries).__name__}")
    if queries.dtype != np.float32:
        raise TypeError(f"queries must be float32, got {queries.dtype}")
    Q = queries[None, :] if queries.ndim == 1 else queries
    if Q.ndim != 2:
        raise ValueError(f"queries must be one- or two-dimensional, got {queries.ndim} dimensions")
    if Q.shape[1] != dims:
        raise ValueError(f"Query dimensions {Q.shape[1]} != index dimensions {dims}")
    Q = np.ascontiguousarray(Q)
    if not np.isfinite(Q).all():
        raise ValueError("queries contain non-finite values (NaN or Inf)")
    return Q


def check_k(k: int) -> int:
    """Checks a result count.

    Arguments:
        k: Results per query; any integer type (``operator.index``).

    Returns:
        k as an int.

    Raises:
        TypeError: Not an integer.
        ValueError: Negative.

    Examples:
        >>> check_k(np.int64(5))
        5
    """
    k = operator.index(k)
    if k < 0:
        raise ValueError(f"k must be non-negative, got {k}")
    return k
