"""``where=``: the rows whose attributes satisfy a predicate, as sorted
positions, for a search's selection (applied inside the scan as an
allow-list is).

A predicate is a SQL boolean expression over the attribute columns,
evaluated by DuckDB over the Arrow columns (read in place, not copied), or
a ``pyarrow.compute.Expression``. Values come as DuckDB's prepared
parameters, never spliced into the SQL: ``("lang = ? AND year >= ?",
["pt", 2020])``. A row whose predicate is NULL is not selected (SQL's
WHERE). The expression must be one expression: DuckDB parses it alone
first, so it cannot close the clause it is placed in. DuckDB runs without
access to files or the network (``enable_external_access`` off)."""

from __future__ import annotations

import threading
from collections.abc import Sequence
from typing import Any, Final, Union

import numpy as np

from lumvero_contrib._index_attrs import _INSTALL, POSITION, Attrs, IdArray, arrow

# A predicate: SQL, SQL with its parameters, or a pyarrow.compute.Expression.
Where = Union[str, tuple[str, Sequence[object]], Any]
_TABLE: Final = "lumvero_rows"
# The rows of this many recent SQL predicates are kept per index.
_REMEMBERED: Final = 16
_local = threading.local()


def _connection() -> Any:
    """This thread's DuckDB connection (a connection is not shared between
    threads), opened without access to files or the network."""
    con = getattr(_local, "con", None)
    if con is None:
        try:
            import duckdb
        except ImportError:
            raise ImportError(f"where= as SQL needs duckdb: {_INSTALL}") from None
        con = _local.con = duckdb.connect(":memory:", config={"enable_external_access": False})
    return con


def _sql_parts(where: object) -> tuple[str, list[object]] | None:
    """(sql, parameters) of a SQL predicate; None for an Expression."""
    if isinstance(where, str):
        return where, []
    if isinstance(where, tuple):
        if len(where) != 2 or not isinstance(where[0], str) or isinstance(where[1], (str, bytes)) \
                or not isinstance(where[1], Sequence):
            raise TypeError("where as a tuple is (sql, parameters): a str and a list of "
                            "values, one per ?")
        return where[0], list(where[1])
    pc = _compute()
    if isinstance(where, pc.Expression):
        return None
    raise TypeError(f"where must be a SQL str, (sql, parameters) or a "
                    f"pyarrow.compute.Expression; got {type(where).__name__}")


def _compute() -> Any:
    arrow()
    import pyarrow.compute

    return pyarrow.compute


def check_where(where: object) -> None:
    """TypeError or ImportError for a predicate of the wrong form, before
    anything is read."""
    arrow()
    _sql_parts(where)


def chosen_rows(attrs: Attrs, where: object) -> IdArray:
    """The sorted stored positions whose attributes satisfy where. The rows
    of a SQL predicate (the same SQL and parameters) are remembered until
    the attributes change: a filter repeated query after query is
    evaluated once (so a volatile function such as random() is too)."""
    key = _key(where)
    if key is not None and key in attrs.chosen:
        return attrs.chosen[key]
    got = where_positions(attrs.whole(), where)
    got.flags.writeable = False
    if key is not None:
        if len(attrs.chosen) >= _REMEMBERED:
            attrs.chosen.pop(next(iter(attrs.chosen)))
        attrs.chosen[key] = got
    return got


def _key(where: object) -> tuple[object, ...] | None:
    """The key a SQL predicate's rows are remembered by; None for one not
    remembered (an Expression, unhashable parameters)."""
    parts = _sql_parts(where)
    if parts is None:
        return None
    key = (parts[0], *[(type(p).__name__, p) for p in parts[1]])
    try:
        hash(key)
    except TypeError:
        return None
    return key


def where_positions(table: Any, where: object) -> IdArray:
    """The sorted positions (table's POSITION) of the rows that satisfy
    where; ValueError naming the expression, with DuckDB's or Arrow's
    message, when it cannot be evaluated."""
    parts = _sql_parts(where)
    if parts is None:
        pa = arrow()
        try:
            picked = table.filter(where).column(POSITION)
        except (pa.ArrowException, TypeError, ValueError) as e:
            raise ValueError(f"where {where}: {e}") from None
        return np.unique(picked.to_numpy().astype(np.int64, copy=False))
    sql, params = parts
    import duckdb

    con = _connection()
    try:
        duckdb.SQLExpression(sql)  # one expression, or a ParserException
        con.register(_TABLE, table)
        try:
            got = con.execute(f'SELECT "{POSITION}" FROM {_TABLE} WHERE ({sql})',
                              params).fetchnumpy()[POSITION]
        finally:
            con.unregister(_TABLE)
    except (duckdb.Error, TypeError, ValueError) as e:
        raise ValueError(f"where {sql!r}: {e}") from None
    return np.unique(np.asarray(got, np.int64))
