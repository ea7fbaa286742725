"""A segment's attribute file (``attrs-<token>-<i>.arrow``): its rows'
attribute columns as an Arrow IPC file, written once with the segment,
named and hashed in the manifest, and bound to its segment by its schema's
metadata (the segment's row count and its row file's BLAKE3).

A load reads the file whole (bounded by the segment's rows), checks its
BLAKE3, then parses exactly the bytes it hashed, validates every buffer and
checks the binding, the column names and types; each failure is a
ValueError naming the directory and the file. The file is read into memory
rather than mapped, also under ``mmap=True``: Arrow reads a mapping without
the engine's guard, so a file shortened in place while mapped would end the
process instead of failing a search, and attributes are small beside the
rows."""

from __future__ import annotations

from typing import Any, Callable, Final

from lumvero_contrib import _native
from lumvero_contrib._index_attrs import RESERVED, arrow, kept_type, merged_types

META_ROWS: Final = b"lumvero.rows"
META_ROW_FILE: Final = b"lumvero.row_file_blake3"
# An attribute file holds at most this many bytes per row of its segment on
# average, plus MAX_SLACK for the schema and the footer.
MAX_BYTES_PER_ROW: Final = 64 << 10
MAX_SLACK: Final = 1 << 20


def attrs_bytes(table: Any, row_digest: str) -> Any:
    """The attribute file of a segment's rows (table) whose row file has
    BLAKE3 row_digest: a buffer for Commit.write."""
    pa = arrow()
    table = table.replace_schema_metadata({META_ROWS: str(table.num_rows).encode(),
                                           META_ROW_FILE: row_digest.encode()})
    sink = pa.BufferOutputStream()
    with pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)
    return memoryview(sink.getvalue())


def read_attrs(read: Callable[[str, int], bytes], bad: Callable[[str], ValueError],
               entry: tuple[str, str], rows: int, row_digest: str) -> Any:
    """The attribute Table of a segment of ``rows`` rows whose row file has
    BLAKE3 row_digest, from its file (entry: name, BLAKE3). read(name,
    most) returns the bytes of the named file, refusing one larger than
    most; bad(what) makes the ValueError naming the directory."""
    name, digest = entry
    raw = read(name, MAX_SLACK + MAX_BYTES_PER_ROW * rows)
    if _native.blake3_hex(raw) != digest:
        raise bad(f"{name} does not match its BLAKE3 hash in the manifest")
    pa = arrow()
    try:
        reader = pa.ipc.open_file(pa.py_buffer(raw))
        meta = reader.schema.metadata or {}
        table = reader.read_all()
        table.validate(full=True)
    except (pa.ArrowException, ValueError, OSError) as e:
        raise bad(f"{name} is not an Arrow IPC file of attributes ({e})") from None
    if meta.get(META_ROWS) != str(rows).encode() or table.num_rows != rows or \
            meta.get(META_ROW_FILE) != row_digest.encode():
        raise bad(f"{name} is not the attributes of its segment ({rows} rows of the row file "
                  f"with BLAKE3 {row_digest[:16]}...)")
    names: set[str] = set()
    for field in table.schema:
        if not field.name or field.name.startswith(RESERVED) or field.name in names:
            raise bad(f"{name}: column {field.name!r} is empty, reserved or repeated")
        names.add(field.name)
        try:
            same = kept_type(pa, field.name, field.type) == field.type
        except ValueError:
            same = False
        if not same:
            raise bad(f"{name}: column {field.name!r} has type {field.type}, not a type "
                      f"attributes are kept as")
    return table.replace_schema_metadata(None)


def segment_types(tables: list[tuple[str, Any]], bad: Callable[[str], ValueError]
                  ) -> dict[str, Any]:
    """The column types of the segments' tables (file name, Table), merged
    in segment order; ValueError naming the file whose types conflict."""
    types: dict[str, Any] = {}
    for name, table in tables:
        try:
            types = merged_types(types, table.schema, "this file")
        except ValueError as e:
            raise bad(f"{name}: {e}") from None
    return types
