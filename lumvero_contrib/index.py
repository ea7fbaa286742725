"""Exact nearest-neighbour search over rows held in memory, with your own ids.

``Index`` is the everyday front door to the lumvero engine: any real array in,
int64 ids of your choosing, search within an allow-list, adds and removals,
and a save format that the module ``lumvero`` can open. Every answer is
exact: for any sequence of adds, removals, compactions, saves and loads,
``search`` returns the rows and float32 score bits that ``lumvero`` returns on
one index file holding the live (and allowed) rows in insertion order, equal
scores going to the earlier insertion.
"""

from __future__ import annotations

from typing import Any, Final, Literal, overload

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib._index_args import (Metric, as_id, float_rows, int_ids, integer, listed,
                                         normalize, sorted_unique)
from lumvero_contrib._index_attrs import Attrs, arrow, attrs_table
from lumvero_contrib._index_compact import compacted
from lumvero_contrib._index_rows import Run, gather
from lumvero_contrib._index_saving import Saving
from lumvero_contrib._index_search import Searching
from lumvero_contrib._index_state import FloatArray, IdArray
from lumvero_contrib._index_state import IdsLike as IdsLike

__all__ = ["Index", "Metric"]
# Version of the state that pickling and copying carry.
_STATE_VERSION: Final = 1


class Index(Searching, Saving):
    """Exact nearest-neighbour search over float32 rows in memory, with int64 ids.

    Arguments:
        dims: values per row, 1 to 10,000.
        metric: ``"cosine"`` (rows and queries scaled to unit length, scores
            are cosine similarities, higher is better; the float32 dot product
            of unit vectors can stray from [-1, 1] by a rounding, e.g. a row
            with itself may score 1.0000001), ``"dot"``
            (plain dot products, higher is better) or ``"euclidean"`` (squared
            distances, lower is better).

    Raises:
        ValueError: dims out of range or an unknown metric.
        TypeError: dims is not an integer, or metric is not a str.

    Ids are int64 values >= 0. Wherever ids are taken (``add``, ``remove``,
    ``get``, ``search``'s ``allow``), any iterable of integers will do: a
    NumPy array, a list, a set, a range, a generator, or a single integer.
    ``id in ix`` tells whether an id is live (anything but an integer is
    never in an index). ``get(ids)`` returns rows as stored.

    More rows than memory: ``lumvero_contrib.build_index`` writes an index
    directory a batch at a time; ``Index.load(path, mmap=True)`` keeps the
    row files on disk, mapped (in memory: the codes, about a quarter of the
    rows' bytes, the ids, squared norms and live mask, and the rows added
    since the load); ``add`` then ``save`` into the same directory writes
    only the new rows' segment (see ``save``).

    Copies: ``copy.copy``, ``copy.deepcopy`` and pickling make independent
    indexes holding the live rows in memory (also of an index loaded with
    ``mmap=True``); their ids, their next default id and every answer,
    score bits and ties included, are the original's.

    Examples:
        >>> import numpy as np
        >>> from lumvero_contrib import Index
        >>> ix = Index(4, metric="dot")
        >>> ix.add(np.eye(4), ids=[10, 11, 12, 13])
        >>> scores, ids = ix.search([0, 1, 0, 0], k=2)
        >>> ids.tolist()
        [[11, 10]]

    An Index is safe to use from several threads. Searches run at once: each
    takes a snapshot of the rows, removals and allowed rows under a short
    lock and searches it with the interpreter lock released, so it answers as
    of the moment it started even while rows are added, removed or compacted
    by other threads. Adds, removals, compactions and saves run one at a
    time.
    """

    # -- properties -------------------------------------------------------

    @property
    def dims(self) -> int:
        """Values per row."""
        return self._dims

    @property
    def metric(self) -> Metric:
        """``"cosine"``, ``"dot"`` or ``"euclidean"``."""
        return self._metric

    def __len__(self) -> int:
        """Live rows (added and not removed)."""
        return self._live_count

    def __contains__(self, id: object) -> bool:
        """Whether id is the id of a live row. Only integers (Python or
        NumPy) can be: ``"a" in ix`` and ``1.0 in ix`` are False."""
        i = as_id(id)
        if i is None:
            return False
        with self._lock:
            return bool(self._positions(np.array([i], np.int64))[0] >= 0)

    def __repr__(self) -> str:
        return f"Index(dims={self._dims}, metric={self._metric!r}, rows={self._live_count})"

    def ids(self) -> IdArray:
        """The ids of the live rows, in insertion order.

        Returns:
            A new int64 array of ``len(self)`` ids.
        """
        with self._lock:
            return self._ids[: self._stored][self._live[: self._stored]].copy()

    @overload
    def get(self, ids: IdsLike, attrs: Literal[False] = False) -> FloatArray: ...

    @overload
    def get(self, ids: IdsLike, attrs: Literal[True]) -> tuple[FloatArray, Any]: ...

    def get(self, ids: IdsLike, attrs: bool = False) -> FloatArray | tuple[FloatArray, Any]:
        """The rows of live ids, as stored, and with ``attrs=True`` their
        attributes.

        Arguments:
            ids: an id or any iterable of int64 ids (repeats allowed).
            attrs: also return the ids' attribute rows.

        Returns:
            A new float32 ``(len(ids), dims)`` array (``(1, dims)`` for a
            single id), row i holding the row of the i-th id given: the row
            as added, converted to float32, and for cosine scaled to unit
            length as it is searched. With ``attrs=True``, ``(rows, table)``:
            table is a ``pyarrow.Table`` whose row i holds the attributes
            of the i-th id given (every column the index has, null where an
            add gave none).

        Raises:
            KeyError: an id that is not live (never added, or removed); the
                message lists them (``"ids not present: [4, 7]"``) and
                nothing is returned.
            TypeError: ids of a non-integer dtype.
            ImportError: ``attrs=True`` without pyarrow (``pip install
                lumvero[attrs]``).

        Examples:
            >>> ix = Index(2, metric="dot")
            >>> ix.add([[1, 2], [3, 4]], ids=[10, 20])
            >>> ix.get([20, 10]).tolist()
            [[3.0, 4.0], [1.0, 2.0]]
            >>> 20 in ix, 30 in ix
            (True, False)
        """
        a = int_ids(ids, "ids")
        if attrs:
            arrow()
        with self._lock:
            pos = self._positions(a)
            missing = pos < 0
            if missing.any():
                raise KeyError(f"ids not present: {listed(sorted_unique(a[missing]))}")
            rows = gather(self._runs, pos, self._dims)
            return (rows, self._attrs_whole().take(pos)) if attrs else rows

    # -- copying and pickling ---------------------------------------------

    def __getstate__(self) -> dict[str, Any]:
        """The live rows and their ids in insertion order, and the next
        default id: all that answers depend on."""
        with self._lock:
            live = np.flatnonzero(self._live[: self._stored]).astype(np.int64)
            state = {"version": _STATE_VERSION, "dims": self._dims, "metric": self._metric,
                     "rows": gather(self._runs, live, self._dims), "ids": self._ids[live],
                     "next_id": self._next_id}
            if self._attrs is not None:  # the live rows' attributes (a pyarrow Table)
                state["attrs"] = self._attrs.take(live)
            return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        if not isinstance(state, dict) or state.get("version") != _STATE_VERSION:
            raise ValueError("not the state of an Index of a known version")
        Index.__init__(self, state["dims"], state["metric"])
        rows = np.ascontiguousarray(state["rows"], np.float32)
        ids = np.ascontiguousarray(state["ids"], np.int64)
        n = int(ids.shape[0])
        if rows.shape != (n, self._dims) or ids.ndim != 1:
            raise ValueError(f"Index state: rows of shape {rows.shape} for {n} ids of "
                             f"{self._dims} dims")
        if n:
            self._runs = [Run(rows, _native.row_norms_sq(rows), n, 0)]
            self._ids = ids
            self._live = np.ones(n, np.bool_)
            self._stored = self._live_count = n
            self._ascending = bool(np.all(ids[1:] > ids[:-1]))
        self._next_id = integer(state["next_id"], "next_id")
        if state.get("attrs") is not None:
            table = state["attrs"]
            if table.num_rows != n:
                raise ValueError(f"Index state: attributes of {table.num_rows} rows for {n} ids")
            self._attrs = Attrs()
            self._attrs.append(table, n)

    def __copy__(self) -> Index:
        """An independent copy (see the class's notes on copies)."""
        cls = type(self)
        new = cls.__new__(cls)
        new.__setstate__(self.__getstate__())
        return new

    def __deepcopy__(self, memo: dict[int, Any]) -> Index:
        new = self.__copy__()
        memo[id(self)] = new
        return new

    # -- adding and removing ----------------------------------------------

    def add(self, X: npt.ArrayLike, ids: IdsLike | None = None, attrs: object = None) -> None:
        """Adds rows, with their attributes. Nothing is added when anything
        is wrong.

        Arguments:
            X: ``(n, dims)`` or ``(dims,)``, any real dtype and layout (float64,
                float16, integers, strided, Fortran order, nested lists). It is
                converted once to float32 (float64 by NumPy's rounding to
                nearest); for cosine each row is then scaled to unit length.
            ids: one int64 id per row (any iterable of ints). By default the
                next integers after the largest id ever added (0, 1, 2, ...
                in a new index).
            attrs: the rows' attributes, one value per row in each column:
                a ``pyarrow.Table``, a pandas ``DataFrame`` or a dict of
                column name -> array-like (strings, integers, floats,
                booleans, dates, timestamps, None for null). Columns an add
                leaves out are null for its rows. A column keeps one type
                (integers as int64, floats as float64, strings as
                large_string, timestamps in microseconds with their time
                zone, dates as date32); a column given only nulls so far
                takes the type of the first values given. Search them with
                ``search(..., where=...)``; ``get(ids, attrs=True)`` returns
                them.

        Raises:
            ValueError: a shape that does not fit (``"X has 3 columns; this
                index has 128 dims"``), a non-finite value (after conversion to
                float32), an id already present (``"ids already present: [5,
                9]"``), a negative id, an id given twice, ids whose count
                differs from the rows', default ids that would pass
                2**63 - 1, or an attribute column that cannot be kept: the
                wrong number of values, a type other than those above, or
                a type other than the column's (``"attribute column
                'year' holds int64; this add gives large_string"``).
            TypeError: X or ids of a non-numeric or non-integer dtype, or
                attrs of another kind.
            ImportError: attrs without pyarrow (``pip install lumvero[attrs]``).

        Examples:
            >>> ix = Index(3, metric="euclidean")
            >>> ix.add([[0, 0, 1], [1, 0, 0]])
            >>> ix.add([0, 1, 0], ids=[7])
            >>> ix.ids().tolist()
            [0, 1, 7]
        """
        rows = float_rows(X, "X", self._dims)
        n = int(rows.shape[0])
        table = None if attrs is None else attrs_table(attrs, n)
        with self._lock:
            new_ids = self._check_new_ids(ids, n)
            self._check_attrs(table)
            if self._metric == "cosine":
                normalize(rows, "X", zero_ok=True)
            if n:
                self._append_rows(rows)
                self._append_ids(new_ids)
            self._append_attrs(table, n)

    def remove(self, ids: IdsLike) -> int:
        """Removes rows by id; they are never returned again.

        Arguments:
            ids: an id or any iterable of int64 ids; ids not present are
                ignored.

        Returns:
            How many of the ids were present (each counted once).

        Raises:
            TypeError: ids of a non-integer dtype.

        Examples:
            >>> ix = Index(2, metric="dot")
            >>> ix.add([[1, 0], [0, 1]])
            >>> ix.remove([1, 5])
            1
            >>> len(ix)
            1
        """
        a = sorted_unique(int_ids(ids, "ids"))
        with self._lock:
            if a.size == 0 or self._live_count == 0:
                return 0
            pos = self._positions(a)
            hit = pos[pos >= 0]
            # A new mask, not a write into the old one: searches that already
            # took their snapshot keep reading the old mask.
            self._live = self._live.copy()
            self._live[hit] = False
            self._live_count -= int(hit.size)
            if self._lookup is not None:
                self._lookup.remove(a[pos >= 0])
            return int(hit.size)

    def compact(self) -> None:
        """Rewrites the runs of rows that hold many removed rows.

        Each stretch of consecutive runs (a loaded index has a run per saved
        segment; added rows go to runs of their own) in which every run has
        at least a tenth of its rows removed becomes one new run in memory
        holding their live rows; the other runs are kept as they are (mapped
        ones stay mapped, their removed rows stay marked). Answers are
        unchanged: the live rows keep their order. The next ``save`` into the
        directory this index was loaded from or saved to writes only the new
        runs; the segments of the runs kept are kept.

        Why a tenth: a rewrite reads and writes all of a run's live rows,
        while a removed row costs only its share of each scan; below a tenth
        the rewrite does not pay for a long time (Lucene's forceMergeDeletes
        rewrites a segment at the same share by default).

        Raises:
            ValueError: a row file this index maps was shortened since it was
                loaded (the file is named); the index is left as it was.
        """
        with self._lock:
            done = compacted(self._runs, self._ids[: self._stored], self._live[: self._stored],
                             self._dims, self._saved)
            if done is None:
                return
            self._runs, self._ids, self._live, self._saved = done.runs, done.ids, done.live, \
                done.link
            if self._attrs is not None:  # kept with their rows, removed ones included
                self._attrs = self._attrs.compacted(done.kept)
            self._stored = int(done.ids.shape[0])
            self._ascending = bool(np.all(done.ids[1:] > done.ids[:-1]))
            self._lookup = None

