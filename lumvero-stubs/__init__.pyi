"""Exact nearest-neighbour search over memory-mapped float32 index files.

``py_prepare_bin_from_embeddings`` writes an embedding matrix to an index
file; ``PySearchEngine`` opens one and answers exact top-k queries (one query
or a batch), certified searches and score explanations. Scores are the dot
product for ``cosine`` and ``dot`` indexes (higher is better) and the squared
Euclidean distance for ``euclidean`` ones (lower is better).

Errors: a failing operation raises ``ValueError`` with the engine's message
unchanged; a wrong argument type raises ``TypeError`` ("argument 'query': ...");
a negative or too large integer raises ``OverflowError``; an internal fault
raises ``PanicException``, which derives from ``BaseException`` (not from
``Exception``).
"""

from typing import Literal, SupportsIndex, TypedDict, final, type_check_only

import numpy as np
from numpy.typing import NDArray

__all__ = ["PySearchEngine", "PyQueryResult", "py_prepare_bin_from_embeddings"]

_Metric = Literal["cosine", "dot", "euclidean"]
# Spellings py_prepare_bin_from_embeddings accepts (compared after lower-casing).
_MetricSpelling = Literal[
    "cosine", "cos", "norm_cosine", "normalized_cosine", "normalized-cosine",
    "dot", "dotproduct", "dot_product",
    "euclidean", "euclidian", "l2",
]
_Level = Literal["f8", "f16", "f32", "f64"]
_SingleMethod = Literal[
    "exact", "exact-chunked", "exact-blocked-matrix", "exact-matrix-full", "exact-pruned-fast"
]
_BatchMethod = Literal["matrix-full", "matrix-chunked", "batch-blocked-exact", "rayon-optimized"]
_Method = _SingleMethod | _BatchMethod
_CertifiedMethod = Literal["exact-certified-pruning", "exact-certified-no-pruning", "exact-certified"]
_Query = NDArray[np.float32]

@type_check_only
class QueryArrays(TypedDict):
    """What ``PySearchEngine.query_exact_arrays`` returns (keys in this order)."""

    indices: NDArray[np.uint64]
    """Row indices of the results, best first (1-D, length min(k, rows) or fewer)."""
    scores: NDArray[np.float32]
    """Their scores, same order."""
    query_time_ms: float
    """Search time in milliseconds (engine only, no conversion)."""
    method_used: _SingleMethod
    """The strategy that ran."""
    index_hash: str
    """BLAKE3 hash of the index file, 64 lowercase hex digits."""
    metric: _Metric
    normalized: bool
    """True exactly for a cosine index."""
    dims: int
    rows: int
    index_path: str
    """The index file's canonical path."""

@type_check_only
class BatchArrays(TypedDict):
    """What ``PySearchEngine.query_batch_arrays`` returns (keys in this order;
    no ``index_hash``)."""

    indices: NDArray[np.uint64]
    """2-D, one row per returned result: c x m row indices."""
    scores: NDArray[np.float32]
    """2-D, c x m scores, row i belongs to result i."""
    query_time_ms: NDArray[np.float64]
    """1-D, one time per result (0.0 under the matrix strategies)."""
    method_used: list[_Method]
    """One strategy name per result."""
    metric: _Metric
    normalized: bool
    dims: int
    rows: int
    index_path: str

@type_check_only
class ScoredItem(TypedDict):
    """One result of a certified search."""

    idx: int
    score: float

@type_check_only
class Certificate(TypedDict):
    """How a certified search reached its answer (keys in this order)."""

    total_candidates: int
    """Rows in the index."""
    pruned_candidates: int
    """Rows skipped by the bound without being scored in full."""
    full_evaluated: int
    """Rows scored in full."""
    kth_score: float
    """The final k-th best score."""
    bound_rule: Literal[
        "upper_bound = partial_dot + ||q_rem||*||x||",
        "lower_bound_l2 = ||q||^2 + ||x||^2 - 2*(partial_dot + ||q_rem||*||x||)",
        "empty-result",
    ]
    safe: bool
    """True when every skip still holds against the final k-th score."""
    block_size: int
    block_order: list[int]
    """Block indices in visiting order (largest query energy first)."""
    threshold_evolution: list[float]
    """Successive k-th scores (at most 2048)."""
    enable_pruning: bool
    simd_path: Literal["avx2", "avx", "sse4.2", "scalar"]
    compile_flags: str
    pruned_bound_values: list[float]
    """The bound that skipped each pruned row, in scan order (at most 2048)."""
    bound_kind: Literal["upper_bound", "lower_bound", "none"]

@type_check_only
class CertifiedResult(TypedDict):
    """What ``query_exact_certified`` returns, one per query for
    ``query_batch_exact_certified`` (keys in this order)."""

    results: list[ScoredItem]
    query_time_ms: float
    method_used: _CertifiedMethod
    index_hash: str
    query_hash: str
    """BLAKE3 of the query's float32 bytes, 64 lowercase hex digits."""
    engine_version: str
    metric: _Metric
    normalized: bool
    dims: int
    rows: int
    index_path: str
    certificate: Certificate

@type_check_only
class BlockContribution(TypedDict):
    """One dimension block's share of a score (keys in this order)."""

    block_id: int
    start: int
    end: int
    """The block covers dimensions start <= d < end."""
    contribution: float

@type_check_only
class Explanation(TypedDict):
    """What ``PySearchEngine.explain`` returns (keys in this order)."""

    score_total: float
    """The row's score, negated for euclidean (larger = more similar)."""
    block_size: int
    top_blocks: int
    num_blocks: int
    dims: int
    blocks: list[BlockContribution]
    """The top_blocks largest contributions by magnitude, largest first."""
    residual: float
    """Sum of the contributions of the blocks not listed."""

@type_check_only
class Comparison(TypedDict):
    """What ``PySearchEngine.compare`` returns (keys in this order)."""

    score_a: float
    score_b: float
    delta_score_space: float
    """Positive when row idx_a is the better of the two."""
    block_size: int
    top_blocks: int
    num_blocks: int
    dims: int
    blocks: list[BlockContribution]
    residual: float

@final
@type_check_only
class PyQueryItem:
    """One result row: its index in the index file and its score.

    Not importable from ``lumvero``: it is the type of the items of
    ``PyQueryResult.results``."""

    @property
    def idx(self) -> int:
        """Row index in the index file (0-based)."""
    @property
    def score(self) -> float:
        """The float32 score, widened exactly."""

@final
class PyQueryResult:
    """The answer to one query: results best first, the strategy that ran and
    the time it took. Read-only; cannot be created from Python.

    The eight provenance attributes (``index_hash`` to ``index_path``) are
    ``None`` except in results of ``query_exact_detailed`` and
    ``query_batch_detailed``, where all are set.

    Example::

        r = engine.query_exact(q, 5)
        print(r)                      # <PyQueryResult results=5 time=0.412ms method=exact-chunked>
        best = r.results[0].idx
    """

    @property
    def results(self) -> list[PyQueryItem]:
        """The rows found, best first (a new list on every read)."""
    @property
    def query_time_ms(self) -> float:
        """Search time in milliseconds (0.0 for some batch strategies)."""
    @property
    def method_used(self) -> _Method:
        """Name of the strategy that ran, e.g. "exact-chunked"."""
    @property
    def index_hash(self) -> str | None:
        """BLAKE3 hash of the index file (detailed methods only)."""
    @property
    def query_hash(self) -> str | None:
        """BLAKE3 hash of the query's float32 bytes (detailed methods only)."""
    @property
    def engine_version(self) -> str | None:
        """"1.1.0" (detailed methods only)."""
    @property
    def metric(self) -> _Metric | None:
        """The index's metric (detailed methods only)."""
    @property
    def normalized(self) -> bool | None:
        """True exactly for a cosine index (detailed methods only)."""
    @property
    def dims(self) -> int | None:
        """The index's dimensions (detailed methods only)."""
    @property
    def rows(self) -> int | None:
        """The index's row count (detailed methods only)."""
    @property
    def index_path(self) -> str | None:
        """The index file's canonical path (detailed methods only)."""

@final
class PySearchEngine:
    """An opened index file: memory-mapped read-only, checked, with row norms
    and a content hash computed once. Exact search; safe to share between
    threads.

    Args:
        bin_path: path of an index file written by
            ``py_prepare_bin_from_embeddings`` (a ``str``; not bytes or Path).
        ann: accepted for compatibility; must be a ``bool``; ignored.

    Raises:
        ValueError: the file cannot be opened or mapped ("Failed to open file
            ...", "Failed to mmap file: ..."), its header is invalid ("Unknown
            metric id: 3") or it is too short ("File too small: expected ...").
        TypeError: bin_path is not a str or ann is not a bool.

    Example::

        engine = lumvero.PySearchEngine("/tmp/idx/news_f32.bin", False)
        engine.rows(), engine.dims()
    """

    def __new__(cls, bin_path: str, ann: bool) -> PySearchEngine: ...
    def dims(self) -> int:
        """Number of dimensions of the index (components per row)."""
    def rows(self) -> int:
        """Number of rows in the index."""
    def query_exact(self, query: _Query, k: SupportsIndex) -> PyQueryResult:
        """The k best rows for one query, best first.

        Args:
            query: 1-D contiguous float32 array of ``dims()`` values, used as
                given (not normalised).
            k: number of results wanted; more than ``rows()`` gives all rows.

        Returns:
            A ``PyQueryResult`` with min(k, rows) items (fewer when some
            scores are NaN or infinite), the strategy and the time.

        Raises:
            ValueError: "Query dimension {n} != index dimension {dims}", or
                the query holds NaN/inf ("Query vector contÃ©m valores nÃ£o
                finitos", the text as the engine stores it).
            TypeError: query is not a 1-D float32 NumPy array, or is not
                contiguous ("The given array is not contiguous").
            OverflowError: k is negative.

        Example::

            r = engine.query_exact(q, 10)
            [(item.idx, item.score) for item in r.results]
        """
    def query_exact_arrays(self, query: _Query, k: SupportsIndex) -> QueryArrays:
        """``query_exact`` with the results as NumPy arrays plus index facts.

        Args:
            query: 1-D contiguous float32 array of ``dims()`` values.
            k: number of results wanted.

        Returns:
            A dict: "indices" (uint64) and "scores" (float32) arrays, best
            first, then "query_time_ms", "method_used", "index_hash",
            "metric", "normalized", "dims", "rows", "index_path".

        Raises:
            ValueError, TypeError, OverflowError: as ``query_exact``.

        Example::

            d = engine.query_exact_arrays(q, 10)
            d["indices"][0], d["scores"][0]
        """
    def query_batch(self, queries: _Query, k: SupportsIndex) -> list[PyQueryResult]:
        """The k best rows for each row of a query matrix.

        Args:
            queries: 2-D C-contiguous float32 array, one query per row, with
                ``dims()`` columns.
            k: number of results wanted per query.

        Returns:
            One ``PyQueryResult`` per query, in query order. With k = 0 and 4
            or more queries the list is empty.

        Raises:
            ValueError: "Query dimensions {d} != index dimensions {dims}";
                with 2 or 3 queries, a NaN/inf in any query ("Queries contÃªm
                valores nÃ£o finitos (NaN/Inf)"); with 4 or more, such a query
                simply gets fewer results or none.
            TypeError: not a 2-D float32 NumPy array, or not contiguous.
            OverflowError: k is negative.

        Example::

            for r in engine.query_batch(Q, 10):
                print(r.results[0].idx)
        """
    def query_batch_arrays(self, queries: _Query, k: SupportsIndex) -> BatchArrays:
        """``query_batch`` with the results as 2-D NumPy arrays.

        Args:
            queries: 2-D C-contiguous float32 array, one query per row.
            k: number of results wanted per query.

        Returns:
            A dict: "indices" (uint64) and "scores" (float32), one row per
            query; "query_time_ms" (float64 array), "method_used" (list),
            "metric", "normalized", "dims", "rows", "index_path".

        Raises:
            ValueError: as ``query_batch``, or "invalid length: {n}, but
                expected {m}" when queries got different numbers of results
                (some scores NaN or infinite).
            TypeError, OverflowError: as ``query_batch``.

        Example::

            d = engine.query_batch_arrays(Q, 10)
            d["indices"].shape            # (len(Q), 10)
        """
    def query_exact_detailed(self, query: _Query, k: SupportsIndex) -> PyQueryResult:
        """``query_exact`` plus provenance: every optional attribute of the
        result is set (index and query hashes, engine version, metric,
        normalized, dims, rows, index path).

        Args:
            query: 1-D contiguous float32 array of ``dims()`` values.
            k: number of results wanted.

        Returns:
            A fully populated ``PyQueryResult``.

        Raises:
            ValueError, TypeError, OverflowError: as ``query_exact``.

        Example::

            r = engine.query_exact_detailed(q, 5)
            r.query_hash, r.index_hash, r.engine_version
        """
    def query_exact_certified(
        self,
        query: _Query,
        k: SupportsIndex,
        block_size: SupportsIndex = 64,
        enable_pruning: bool = True,
    ) -> CertifiedResult:
        """Exact search with a pruning certificate.

        Scans every row once on the calling thread; after the first k rows, a
        row is bounded block by block (Cauchy-Schwarz on the unvisited
        dimensions) and skipped as soon as it provably cannot enter the top k.

        Args:
            query: 1-D contiguous float32 array of ``dims()`` values.
            k: number of results wanted.
            block_size: dimensions per block of the bound (0 counts as 1).
            enable_pruning: False scores every row in full.

        Returns:
            A dict with "results" (list of {"idx", "score"}), time, method,
            hashes, index facts and "certificate" (counters, bound rule, block
            order, k-th score evolution, "safe").

        Raises:
            ValueError: "Query dimension {n} != index dimension {dims}", or
                "Query vector contains non-finite values".
            TypeError: bad array, or enable_pruning not a bool.
            OverflowError: negative k or block_size.

        Example::

            c = engine.query_exact_certified(q, 10, 32)
            c["certificate"]["pruned_candidates"], c["certificate"]["safe"]
        """
    def query_batch_exact_certified(
        self,
        queries: _Query,
        k: SupportsIndex,
        block_size: SupportsIndex = 64,
        enable_pruning: bool = True,
    ) -> list[CertifiedResult]:
        """``query_exact_certified`` for every row of a query matrix, the
        queries in parallel on the worker pool.

        Args:
            queries: 2-D C-contiguous float32 array, one query per row.
            k, block_size, enable_pruning: as ``query_exact_certified``.

        Returns:
            One certified dict per query, in query order.

        Raises:
            ValueError: "Query dimensions {d} != index dimensions {dims}", or
                "Query vector contains non-finite values" when any query holds
                NaN/inf (the whole call fails).
            TypeError, OverflowError: as ``query_exact_certified``.

        Example::

            for c in engine.query_batch_exact_certified(Q, 10):
                assert c["certificate"]["safe"]
        """
    def query_batch_detailed(self, queries: _Query, k: SupportsIndex) -> list[PyQueryResult]:
        """``query_batch`` with every result fully populated, each carrying its
        own query's hash.

        Args:
            queries: 2-D C-contiguous float32 array, one query per row.
            k: number of results wanted per query.

        Returns:
            One ``PyQueryResult`` per returned result, in query order.

        Raises:
            ValueError, TypeError, OverflowError: as ``query_batch``.

        Example::

            rs = engine.query_batch_detailed(Q, 3)
            {r.query_hash for r in rs}
        """
    def compare(
        self,
        query: _Query,
        idx_a: SupportsIndex,
        idx_b: SupportsIndex,
        block_size: SupportsIndex,
        top_blocks: SupportsIndex,
    ) -> Comparison:
        """Why row idx_a scores better or worse than row idx_b for a query,
        block by block of dimensions.

        Args:
            query: 1-D contiguous float32 array of ``dims()`` values.
            idx_a, idx_b: the two rows.
            block_size: dimensions per block (> 0).
            top_blocks: how many blocks to list (> 0); the rest are summed
                into "residual".

        Returns:
            A dict: "score_a", "score_b", "delta_score_space" (positive when
            idx_a is better), "block_size", "top_blocks", "num_blocks",
            "dims", "blocks" (largest contributions by magnitude first),
            "residual".

        Raises:
            ValueError: "Query dimensions {n} != index dimensions {dims}",
                "Index out of bounds", "block_size must be > 0" or
                "top_blocks must be > 0".
            TypeError, OverflowError: bad argument types or negative integers.

        Example::

            c = engine.compare(q, 3, 7, 32, 3)
            c["delta_score_space"], [b["block_id"] for b in c["blocks"]]
        """
    def explain(
        self,
        query: _Query,
        idx: SupportsIndex,
        block_size: SupportsIndex,
        top_blocks: SupportsIndex,
    ) -> Explanation:
        """Where one row's score comes from, block by block of dimensions.

        Args:
            query: 1-D contiguous float32 array of ``dims()`` values.
            idx: the row to explain.
            block_size: dimensions per block (> 0).
            top_blocks: how many blocks to list (> 0); the rest are summed
                into "residual".

        Returns:
            A dict: "score_total" (negated for euclidean, so larger is more
            similar), "block_size", "top_blocks", "num_blocks", "dims",
            "blocks" (largest contributions by magnitude first), "residual".

        Raises:
            ValueError: "Query dimensions {n} != index dimensions {dims}",
                "Index out of bounds", "block_size must be > 0" or
                "top_blocks must be > 0".
            TypeError, OverflowError: bad argument types or negative integers.

        Example::

            e = engine.explain(q, r.results[0].idx, 64, 3)
            e["score_total"], e["residual"]
        """

def py_prepare_bin_from_embeddings(
    embeddings: _Query,
    dims: SupportsIndex,
    rows: SupportsIndex,
    base_name: str,
    level: _Level,
    normalize: bool = False,
    ann: bool = False,
    seed: SupportsIndex = 0,
    metric: _MetricSpelling = "cosine",
    output_dir: str | None = None,
) -> str:
    """Writes an embedding matrix to an index file and returns its path.

    The file "{base_name}_{level}.bin" (base name sanitised) is written under
    output_dir (default ``~/.lumvo/indexes``) through a temporary file that is
    flushed and renamed into place, so a reader never sees a partial file.
    Rows are scaled to unit length for cosine, or when normalize is True. The
    interpreter lock is released while the file is written.

    Args:
        embeddings: 2-D float32 array, rows x dims (copied; not modified).
        dims: components per row (1 to 10,000); must match the array.
        rows: number of rows (1 to 50,000,000); must match the array.
        base_name: stem of the file name (letters, digits, "-", "_").
        level: "f8", "f16", "f32" or "f64": names the file and sets the
            memory estimate; values are always stored as float32.
        normalize: scale rows to unit length (always done for cosine).
        ann: accepted and ignored.
        seed: accepted and ignored.
        metric: "cosine", "dot" or "euclidean" (or an alias such as "l2";
            case-insensitive).
        output_dir: directory of the index file, created when missing.

    Returns:
        The path of the index file.

    Raises:
        ValueError: "Unknown similarity metric: {m}", "Invalid dims: ...",
            "Invalid rows: ...", "Data shape mismatch: ...", "Invalid
            base_name: ...", "Invalid level '{l}'. Must be f8, f16, f32, or
            f64", "Too many invalid values: ...", or an I/O failure ("Failed
            to create file ...", ...).
        TypeError: wrong argument types (normalize and ann must be bool).
        OverflowError: negative dims, rows or seed.

    Example::

        X = np.random.default_rng(0).standard_normal((10_000, 128)).astype(np.float32)
        path = lumvero.py_prepare_bin_from_embeddings(X, 128, 10_000, "news", "f32",
                                                      metric="cosine", output_dir="/tmp/idx")
    """
