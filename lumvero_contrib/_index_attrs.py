"""Attribute columns kept with an Index's rows (a language, a date, a
tenant): Arrow columns by position, one piece per add, that follow the rows
through removals (the live mask), compaction, copies, saves and loads.

Types. Each column holds one kind, set by the first values given for it:
integers are kept as int64 (unsigned ones that fit), floats as float64,
strings as large_string (a pandas categorical of strings too), booleans,
timestamps as microseconds (their time zone kept; finer ones must be whole
microseconds), dates as date32. A column given only nulls so far takes the
kind of the first values given later; any other difference is a ValueError
naming the column (an integer column never becomes a float one). A column
absent from an add is null for its rows.

pyarrow is imported only when attributes are used: without it ``attrs=``
and ``where=`` raise ImportError saying how to install it."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Final

import numpy as np
import numpy.typing as npt

IdArray = npt.NDArray[np.int64]
# The column of positions the predicates see beside the attributes; the
# names starting with RESERVED are not the user's.
POSITION: Final = "__lumvero_position"
RESERVED: Final = "__lumvero"
_INSTALL: Final = "pip install lumvero[attrs]"


def arrow() -> Any:
    """The pyarrow module, or ImportError saying how to install it."""
    try:
        import pyarrow
    except ImportError:
        raise ImportError(f"attributes (attrs=, where=) need pyarrow and duckdb: "
                          f"{_INSTALL}") from None
    return pyarrow


def kept_type(pa: Any, name: str, t: Any) -> Any:
    """The type a column of type t is kept as; ValueError for kinds not kept."""
    types = pa.types
    if types.is_null(t) or types.is_boolean(t):
        return t
    if types.is_integer(t):
        return pa.int64()
    if types.is_floating(t):
        return pa.float64()
    if types.is_string(t) or types.is_large_string(t) or (
            types.is_dictionary(t) and (types.is_string(t.value_type)
                                        or types.is_large_string(t.value_type))):
        return pa.large_string()
    if types.is_timestamp(t):
        return pa.timestamp("us", t.tz)
    if types.is_date(t):
        return pa.date32()
    raise ValueError(f"attribute column {name!r} has type {t}; attributes are strings, "
                     f"integers, floats, booleans, dates or timestamps")


def _column(pa: Any, name: str, values: Any, n: int) -> Any:
    """One column as kept: an Arrow array of n values of a kept type."""
    try:
        col = values if isinstance(values, (pa.Array, pa.ChunkedArray)) else pa.array(values)
    except (pa.ArrowException, TypeError, ValueError, OverflowError) as e:
        raise ValueError(f"attribute column {name!r}: {e}") from None
    if len(col) != n:
        raise ValueError(f"attribute column {name!r} has {len(col)} values for {n} rows; "
                         f"pass one value per row")
    want = kept_type(pa, name, col.type)
    try:
        return col.cast(want) if col.type != want else col
    except (pa.ArrowException, ValueError, OverflowError) as e:
        raise ValueError(f"attribute column {name!r} cannot be kept as {want}: {e}") from None


def _named_columns(pa: Any, attrs: object) -> list[tuple[object, Any]]:
    """(name, values) of a Table, a RecordBatch, a pandas DataFrame or a
    mapping of names to array-likes."""
    if isinstance(attrs, (pa.Table, pa.RecordBatch)):
        return list(zip(attrs.column_names, attrs.columns))
    if type(attrs).__name__ == "DataFrame" and type(attrs).__module__.startswith("pandas"):
        try:
            table = pa.Table.from_pandas(attrs, preserve_index=False)
        except (pa.ArrowException, TypeError, ValueError) as e:
            raise ValueError(f"attrs: {e}") from None
        return list(zip(table.column_names, table.columns))
    if isinstance(attrs, Mapping):
        return list(attrs.items())
    raise TypeError(f"attrs must be a pyarrow Table, a pandas DataFrame or a dict of columns; "
                    f"got {type(attrs).__name__}")


def attrs_table(attrs: object, n: int) -> Any:
    """attrs as a Table of n rows whose columns have kept types, checked
    (names: non-empty str, distinct, not reserved)."""
    pa = arrow()
    names: list[str] = []
    columns = []
    for name, values in _named_columns(pa, attrs):
        if not isinstance(name, str) or not name:
            raise ValueError(f"attribute column names are non-empty strings; got {name!r}")
        if name.startswith(RESERVED):
            raise ValueError(f"attribute column {name!r}: names starting with {RESERVED!r} "
                             f"are reserved")
        if name in names:
            raise ValueError(f"attribute column {name!r} is given twice")
        names.append(name)
        columns.append(_column(pa, name, values, n))
    if not names:
        return None
    return pa.table(columns, names=names)


def merged_types(types: dict[str, Any], schema: Any, where: str = "this add") -> dict[str, Any]:
    """The column types after adding a schema's: new columns appended in
    order, null columns taking their first real type; ValueError naming a
    column whose types differ."""
    out = dict(types)
    for field in schema:
        old = out.get(field.name)
        if old is None or old.id == arrow().null().id:
            out[field.name] = field.type
        elif field.type != old and field.type.id != arrow().null().id:
            raise ValueError(f"attribute column {field.name!r} holds {old}; {where} gives "
                             f"{field.type}")
    return out


class Attrs:
    """The attribute columns of an Index's stored rows, by position: pieces
    of consecutive positions, each a Table (or None: all nulls) of its rows.
    Small pieces at the end are merged as they come (their sizes halve
    towards the end), so an index fed one row at a time holds a few dozen
    pieces; pieces read from files are never merged (nor copied)."""

    def __init__(self, types: dict[str, Any] | None = None) -> None:
        self.types: dict[str, Any] = dict(types or {})
        self.pieces: list[tuple[int, Any, bool]] = []  # (rows, Table or None, read from a file)
        self.stored = 0
        self._whole: Any = None  # every column and POSITION for [0, stored), built on need
        # The rows of recent SQL predicates (_index_where), until the next change.
        self.chosen: dict[tuple[object, ...], IdArray] = {}

    def declare(self, types: dict[str, Any]) -> None:
        """Takes columns this index has no values of yet (a shard told the
        columns of the whole index); ValueError when one conflicts."""
        merged = merged_types(self.types, arrow().schema(list(types.items())),
                              "the index's other shards")
        if list(merged) != list(self.types) or merged != self.types:
            self.types = merged
            self._whole = None
            self.chosen = {}

    def append(self, table: Any, n: int, read: bool = False) -> None:
        """Appends n rows' attributes (table None: all null); the types must
        have been merged with the table's already."""
        if table is not None:
            self.types = merged_types(self.types, table.schema)
        self._whole = None
        self.chosen = {}
        if n == 0:
            return
        self.pieces.append((n, table, read))
        self.stored += n
        while len(self.pieces) > 1 and not self.pieces[-2][2] and \
                self.pieces[-2][0] <= 2 * self.pieces[-1][0]:
            (a, ta, _), (b, tb, _) = self.pieces[-2:]
            pa = arrow()
            self.pieces[-2:] = [(a + b, pa.concat_tables(
                [self._filled(ta, a, list(self.types)), self._filled(tb, b, list(self.types))]),
                False)]

    def _filled(self, table: Any, n: int, names: list[str]) -> Any:
        """The piece's Table with exactly the columns named, in order,
        of the index's types (nulls where it has none)."""
        pa = arrow()
        have = set() if table is None else set(table.column_names)
        cols = []
        for name in names:
            t = self.types[name]
            if name not in have:
                cols.append(pa.nulls(n, t))
                continue
            c = table.column(name)
            cols.append(c if c.type == t else c.cast(t))
        if names:
            return pa.table(cols, names=names)
        return pa.table({"_": pa.nulls(n)}).drop_columns(["_"])  # n rows, no columns

    def whole(self) -> Any:
        """Every column and POSITION for the stored positions [0, stored),
        as one Table (zero-copy pieces; kept until the next change)."""
        if self._whole is None:
            pa = arrow()
            names = list(self.types)
            parts, first = [], 0
            for n, table, _ in self.pieces:
                t = self._filled(table, n, names).append_column(
                    POSITION, pa.array(np.arange(first, first + n, dtype=np.int64)))
                parts.append(t)
                first += n
            if not parts:
                schema = pa.schema([*self.types.items(), (POSITION, pa.int64())])
                self._whole = schema.empty_table()
            else:
                self._whole = pa.concat_tables(parts)
        return self._whole

    def take(self, positions: IdArray) -> Any:
        """The attribute rows at the positions, in the order given (a
        Table without POSITION)."""
        t = self.whole()
        return t.take(arrow().array(positions, type=arrow().int64())).drop_columns([POSITION])

    def rows(self, start: int, end: int) -> Any:
        """The attribute rows of positions [start, end) (zero-copy)."""
        return self.whole().slice(start, end - start).drop_columns([POSITION])

    def compacted(self, live: IdArray) -> Attrs:
        """The attributes of the live positions, renumbered from 0."""
        out = Attrs(self.types)
        if live.size:
            out.append(self.take(live).combine_chunks() if self.types else None,
                       int(live.size))
        return out
