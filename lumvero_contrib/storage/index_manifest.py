"""Reading an ``Index`` directory's manifest: bounded, strictly typed, every
number an int64 checked before anything is allocated, each file entry a name
a save writes and listed once. The files themselves are read by
storage.index_read."""

from __future__ import annotations

import json
import os
import re
from pathlib import Path
from typing import Any

from lumvero_contrib.storage.commit import MANIFEST
from lumvero_contrib.storage.files import confined, is_hex64, is_int, open_regular
from lumvero_contrib.storage.index_layout import (ATTRS_FILE, CODES_FILE, FORMAT, IDS_FILE,
                                                  MAX_DIMS,
                                                  MAX_FILE_ROWS, MAX_INDEX_VERSION,
                                                  MAX_MANIFEST_BYTES, METRIC_IDS, READ_VERSIONS,
                                                  REMOVED_FILE, ROW_FILE, SEGMENT_IDS_FILE,
                                                  SEGMENT_REMOVED_FILE, version_file)


def read_manifest(directory: Path, name: str = MANIFEST) -> bytes:
    """A manifest's bytes: a regular file inside the directory, bounded;
    a kept version's manifest is never a symlink."""
    folder = os.path.realpath(directory)
    confined(folder, name, f"index directory {directory}: {name}", "the directory")
    if name != MANIFEST and os.path.islink(directory / name):
        raise ValueError(f"index directory {directory}: {name} is a symlink; a kept version's "
                         f"manifest is a regular file a save writes")
    with open_regular(directory / name) as f:
        raw = f.read(MAX_MANIFEST_BYTES + 1)
    if len(raw) > MAX_MANIFEST_BYTES:
        raise ValueError(f"index directory {directory}: {name} is larger than "
                         f"{MAX_MANIFEST_BYTES >> 20} MiB; not a manifest an Index wrote")
    return raw


def read_version(directory: Path, version: int | None) -> tuple[str, bytes]:
    """The name and bytes of the manifest of a version: manifest.json for
    None (the current one), else manifest-<version>.json, or manifest.json
    when it is that version and no copy was kept (a version-1 directory)."""
    if version is None:
        return MANIFEST, read_manifest(directory)
    name = version_file(version)
    if not os.path.lexists(directory / name):
        raw = read_manifest(directory)
        if IndexManifest(directory, raw).index_version == version:
            return MANIFEST, raw
        raise ValueError(f"index directory {directory}: version {version} is not kept (kept: "
                         f"{kept_versions(directory)})")
    return name, read_manifest(directory, name)


def kept_versions(directory: Path) -> list[int]:
    """The versions that can be loaded: the current one and, when its
    manifest is still there, the one before."""
    current = IndexManifest(directory, read_manifest(directory)).index_version
    before = current - 1
    return ([before] if before >= 0 and os.path.lexists(directory / version_file(before))
            else []) + [current]


class IndexManifest:
    """One reading of a saved state from its manifest's bytes; every failure
    is a ValueError naming the directory and the file. Every number is an
    int64 (next_id may be 2**63, after the id 2**63 - 1, when no default id
    is left) checked against the files before anything is allocated.

    Version 1 lists row_files, codes_files, ids and removed (positions in
    all rows); version 2 lists segments, each with its row file, codes file,
    ids and removals (positions within the segment, or null), and its
    version number index_version (version 1: 0); version 3 as 2, each
    segment with its attribute file (or null)."""

    def __init__(self, directory: Path, raw: bytes, name: str = MANIFEST) -> None:
        self.directory, self.mname = directory, name
        self.folder = os.path.realpath(directory)
        doc = self.document(raw)
        self.format_version = doc.get("version")
        if self.format_version not in READ_VERSIONS or not is_int(self.format_version):
            raise self.bad(f"{name} has version {doc.get('version')!r}; this version of "
                           f"lumvero_contrib reads versions 1 to 3")
        self.numbers(doc)
        self.names: set[str] = set()
        # Per row file: (name, rows, BLAKE3, codes file); per segment: its
        # ids and removals (version 1: one of each for all, in ids_entry
        # and removed_entry).
        self.entries: list[tuple[str, int, str, tuple[str, str] | None]] = []
        self.segment_files: list[tuple[tuple[str, str], tuple[str, str] | None]] = []
        self.segment_attrs: list[tuple[str, str] | None] = []  # attribute files (version 3)
        if self.format_version == 1:
            self.index_version = 0
            self.version_1(doc)
        else:
            self.version_2(doc)
        if sum(n for _, n, _, _ in self.entries) != self.stored:
            raise self.bad(f"{name}: the row files hold {sum(n for _, n, _, _ in self.entries)} "
                           f"rows, rows says {self.stored}")

    def document(self, raw: bytes) -> dict[str, Any]:
        """The manifest's JSON object, when it is an Index's."""
        try:
            doc = json.loads(raw)
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            raise self.bad(f"{self.mname} is not valid JSON: {e}") from None
        except RecursionError:
            raise self.bad(f"{self.mname} is not valid JSON: nested too deeply") from None
        if not isinstance(doc, dict) or doc.get("format") != FORMAT:
            raise self.bad(f"{self.mname} is not an Index manifest")
        return doc

    def numbers(self, doc: dict[str, Any]) -> None:
        M = self.mname
        dims, metric, stored = self.field(doc, "dims"), self.field(doc, "metric"), \
            self.field(doc, "rows")
        if not is_int(dims) or not 1 <= dims <= MAX_DIMS:
            raise self.bad(f"{M}: dims {dims!r} is not an integer from 1 to {MAX_DIMS}")
        if not isinstance(metric, str) or metric not in METRIC_IDS:
            raise self.bad(f"{M}: metric {metric!r} is not 'cosine', 'dot' or 'euclidean'")
        if not is_int(stored) or stored < 0:
            raise self.bad(f"{M}: rows {stored!r} is not an integer >= 0")
        next_id = self.field(doc, "next_id")
        if not is_int(next_id) or not 0 <= next_id <= 2**63:
            raise self.bad(f"{M}: next_id {next_id!r} is not an integer from 0 to 2**63")
        self.dims, self.metric, self.stored, self.next_id = dims, metric, stored, next_id

    def row_count(self, n: object, label: str, name: str) -> int:
        if not is_int(n) or not 1 <= n <= MAX_FILE_ROWS:
            raise self.bad(f"{self.mname}: {label} ({name}) rows {n!r} is not an integer from 1 "
                           f"to {MAX_FILE_ROWS}")
        return n

    def version_1(self, doc: dict[str, Any]) -> None:
        files = self.field(doc, "row_files")
        if not isinstance(files, list):
            raise self.bad(f"{self.mname}: row_files is not a list")
        for i, entry in enumerate(files):
            name, digest = self.named(entry, f"row_files[{i}]", ROW_FILE)
            self.entries.append((name, self.row_count(entry.get("rows"), f"row_files[{i}]",
                                                      name), digest, None))
        if "codes_files" in doc:  # absent in directories saved before codes files
            codes = doc["codes_files"]
            if not isinstance(codes, list) or len(codes) != len(self.entries):
                raise self.bad(f"{self.mname}: codes_files is not a list of one entry per row "
                               f"file")
            self.entries = [(name, n, digest,
                             self.named(entry, f"codes_files[{i}]", CODES_FILE))
                            for i, (entry, (name, n, digest, _)) in
                            enumerate(zip(codes, self.entries))]
        self.ids_entry = self.named(self.field(doc, "ids"), "ids", IDS_FILE)
        self.removed_entry = self.named(self.field(doc, "removed"), "removed", REMOVED_FILE)

    def version_2(self, doc: dict[str, Any]) -> None:
        number = self.field(doc, "index_version")
        if not is_int(number) or not 1 <= number <= MAX_INDEX_VERSION:
            raise self.bad(f"{self.mname}: index_version {number!r} is not an integer from 1 "
                           f"to {MAX_INDEX_VERSION}")
        self.index_version = number
        segments = self.field(doc, "segments")
        if not isinstance(segments, list):
            raise self.bad(f"{self.mname}: segments is not a list")
        for i, seg in enumerate(segments):
            label = f"segments[{i}]"
            if not isinstance(seg, dict):
                raise self.bad(f"{self.mname}: {label} is not an object")
            name, digest = self.named(seg.get("row_file"), label, ROW_FILE)
            n = self.row_count(seg.get("rows"), label, name)
            codes = self.named(seg.get("codes_file"), f"{label}.codes_file", CODES_FILE)
            self.entries.append((name, n, digest, codes))
            ids = self.named(seg.get("ids"), f"{label}.ids", SEGMENT_IDS_FILE)
            removed = seg.get("removed")
            self.segment_files.append((ids, None if removed is None else self.named(
                removed, f"{label}.removed", SEGMENT_REMOVED_FILE)))
            attrs = seg.get("attrs") if self.format_version == 3 else None
            self.segment_attrs.append(None if attrs is None else self.named(
                attrs, f"{label}.attrs", ATTRS_FILE))

    def bad(self, what: str) -> ValueError:
        return ValueError(f"index directory {self.directory}: {what}")

    def field(self, doc: dict[str, Any], key: str) -> Any:
        if key not in doc:
            raise self.bad(f"{self.mname} lacks {key!r}")
        return doc[key]

    def named(self, entry: object, label: str, pattern: re.Pattern[str]) -> tuple[str, str]:
        """A file entry's name and hash; each file listed once."""
        M = self.mname
        if not isinstance(entry, dict):
            raise self.bad(f"{M}: {label} is not an object")
        name, digest = entry.get("file"), entry.get("blake3")
        if not isinstance(name, str) or not pattern.fullmatch(name):
            raise self.bad(f"{M}: {label} names {name!r}, not a file an Index writes")
        if not is_hex64(digest):
            raise self.bad(f"{M}: {label} ({name}) has no valid blake3")
        if name in self.names:
            raise self.bad(f"{M}: {name} is listed more than once")
        self.names.add(name)
        return name, digest
