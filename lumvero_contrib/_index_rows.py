"""The stored rows of an ``Index``: runs of float32 rows with their squared
norms, and the id lookup for ids that do not follow insertion order."""

from __future__ import annotations

from typing import Final

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib.storage import block_sums

FloatArray = npt.NDArray[np.float32]
IdArray = npt.NDArray[np.int64]


class Run:
    """Rows [0, count) of a buffer of float32 rows and their squared norms;
    row j has position first + j."""

    __slots__ = ("rows", "norms_sq", "count", "first", "source", "codes", "codes_source",
                 "unverified")

    def __init__(self, rows: FloatArray, norms_sq: npt.NDArray[np.float64], count: int,
                 first: int, source: str | None = None, codes: object | None = None,
                 codes_source: str | None = None,
                 unverified: tuple[bytes, str, npt.NDArray[np.uint8]] | None = None) -> None:
        self.rows = rows
        self.norms_sq = norms_sq
        self.count = count
        self.first = first
        self.source = source  # the row file, when the rows are mapped from one
        # The run's int8 codes for the pre-filter: read from its codes
        # file (codes_source), or empty until a search wants it, extended by
        # the first search after rows were appended; dropped with the run
        # (compact replaces the runs).
        self.codes = _native.run_codes() if codes is None else codes
        self.codes_source = codes_source
        # The row file's header and BLAKE3, and the codes file's bytes, when
        # the mapped rows were neither hashed nor compared with the codes at
        # load (Index.verify does both). Their codes file's sums, when it
        # keeps them, are checked by the engine on each block's first read.
        self.unverified = unverified
        if source is not None and unverified is not None:
            block_sums.attach(rows, unverified[2])

    def moved(self, first: int) -> Run:
        """The same rows, codes and checks at another first position (what
        compact keeps): mapped rows stay mapped, their sums attached once."""
        new = Run.__new__(Run)
        for name in Run.__slots__:
            setattr(new, name, getattr(self, name))
        new.first = first
        return new

    def snapshot(self) -> tuple[FloatArray, npt.NDArray[np.float64], int, int, object]:
        """What a search reads: rows [0, count) as they are now. Appends
        write only beyond count, so the snapshot stays valid."""
        return (self.rows, self.norms_sq, self.count, self.first, self.codes)

    def check_intact(self) -> None:
        """Raises ValueError when the mapped row file was shortened under
        this index (its missing rows then read as zeros), or a read found
        one of its sum blocks changed since it was saved."""
        if self.source is not None and _native.mapping_damaged(self.rows):
            raise ValueError(f"row file {self.source} changed while in use; load the index again")
        if self.source is not None:
            block_sums.check_unchanged(self.rows, self.source)
        if self.codes_source is not None and _native.mapping_damaged(self.codes):
            raise ValueError(f"codes file {self.codes_source} changed while in use; load the index "
                             f"again")

    def verify(self) -> None:
        """Raises ValueError when the mapped rows do not match the row file's
        hash in the manifest, or the codes mapped beside them are not those
        the rows give (codes, scales, bounds and norms, bit for bit). Both
        are read here, under the fault guard."""
        if self.unverified is None:
            return
        header, digest, codes_bytes = self.unverified
        rows = self.rows[: self.count]
        read = _native.blake3_hex(header, rows)
        self.check_intact()
        if read != digest:
            raise ValueError(f"row file {self.source} does not match its BLAKE3 hash in the "
                             f"index's manifest.json; its rows may give wrong answers: save the "
                             f"index again from its source, or restore the file")
        want = block_sums.codes_hash(rows, _native.row_norms_sq(rows), digest, codes_bytes)
        got = _native.blake3_hex(codes_bytes)
        self.check_intact()
        if got != want:
            raise ValueError(f"codes file {self.codes_source} is not the codes of row file "
                             f"{self.source}: its codes, scales, bounds or norms differ from "
                             f"those of the rows, and searches through them may give wrong "
                             f"answers; load the index with mmap=False (which compares them and "
                             f"builds them again) and save it")

    def spare(self) -> int:
        return int(self.rows.shape[0]) - self.count


class Snapshot:
    """What one search reads, taken under the index's lock: the runs as the
    engine takes them, the live mask or the allowed positions (or neither),
    how many rows may be returned and the ids by position."""

    __slots__ = ("_held", "runs", "live", "allowed", "selectable", "ids")

    def __init__(self, held: list[Run], live: npt.NDArray[np.bool_] | None,
                 allowed: IdArray | None, selectable: int, ids: IdArray) -> None:
        self._held = held
        self.runs = [r.snapshot() for r in held]
        self.live = live
        self.allowed = allowed
        self.selectable = selectable
        self.ids = ids

    def check_intact(self) -> None:
        """Run.check_intact for every run read."""
        for r in self._held:
            r.check_intact()


def gather(runs: list[Run], positions: IdArray, dims: int) -> FloatArray:
    """A new (len(positions), dims) array of the rows at the positions (each
    a stored position), in the order given; mapped rows are checked to be
    intact after they were read (and their sum blocks checked)."""
    out = np.empty((positions.shape[0], dims), np.float32)
    for run in runs:
        inside = np.flatnonzero((positions >= run.first) & (positions < run.first + run.count))
        if not inside.size:
            continue
        if run.source is None:
            out[inside] = run.rows[positions[inside] - run.first]
            continue
        part = np.empty((inside.size, dims), np.float32)
        _native.copy_rows(run.rows, positions[inside] - run.first, part)
        run.check_intact()
        out[inside] = part
    return out


class Lookup:
    """Live id -> position for ids that do not increase with position: sorted
    arrays searched in bulk, plus the ids added since they were last sorted.

    Removed ids keep their place with position -1 until the next merge, which
    drops them, so an id removed and added again is found at its new place.
    """

    # Ids added in one call beyond this are merged at once; fewer wait in the
    # pending dict until it outgrows a small share of the sorted ids.
    _MERGE_AT_ONCE: Final = 64

    def __init__(self, ids: IdArray, positions: IdArray) -> None:
        order = np.argsort(ids, kind="stable")
        self._keys: IdArray = ids[order]
        self._vals: IdArray = positions[order]
        self._pending: dict[int, int] = {}
        self._sorted_pending: tuple[IdArray, IdArray] | None = None

    def add(self, ids: IdArray, positions: IdArray) -> None:
        if ids.shape[0] > self._MERGE_AT_ONCE:
            self._merge(ids, positions)
            return
        self._pending.update(zip(ids.tolist(), positions.tolist()))
        self._sorted_pending = None
        if len(self._pending) > 1024 + self._keys.shape[0] // 32:
            self._merge(np.zeros(0, np.int64), np.zeros(0, np.int64))

    def _merge(self, ids: IdArray, positions: IdArray) -> None:
        alive = self._vals >= 0
        pk = np.fromiter(self._pending.keys(), np.int64, len(self._pending))
        pv = np.fromiter(self._pending.values(), np.int64, len(self._pending))
        keys = np.concatenate([self._keys[alive], pk, ids])
        vals = np.concatenate([self._vals[alive], pv, positions])
        order = np.argsort(keys, kind="stable")
        self._keys, self._vals = keys[order], vals[order]
        self._pending = {}
        self._sorted_pending = None

    @staticmethod
    def _search(keys: IdArray, vals: IdArray, ids: IdArray) -> IdArray:
        at = _native.find_sorted(keys, ids)
        out = np.full(ids.shape[0], -1, np.int64)
        hit = at >= 0
        out[hit] = vals[at[hit]]
        return out

    def find(self, ids: IdArray) -> IdArray:
        """Positions of the ids, -1 for those not live."""
        out = self._search(self._keys, self._vals, ids)
        if self._pending:
            if self._sorted_pending is None:
                pk = np.fromiter(self._pending.keys(), np.int64, len(self._pending))
                pv = np.fromiter(self._pending.values(), np.int64, len(self._pending))
                order = np.argsort(pk)
                self._sorted_pending = (pk[order], pv[order])
            recent = self._search(*self._sorted_pending, ids)
            out = np.where(recent >= 0, recent, out)
        return out

    def remove(self, ids: IdArray) -> None:
        """Forgets live ids."""
        at = _native.find_sorted(self._keys, ids)
        self._vals[at[at >= 0]] = -1
        if self._pending:
            for i in ids.tolist():
                if self._pending.pop(i, None) is not None:
                    self._sorted_pending = None

