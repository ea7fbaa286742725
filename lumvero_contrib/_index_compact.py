"""What ``Index.compact`` rewrites: each stretch of consecutive runs in which
every run has at least a tenth of its rows removed becomes one new run of
their live rows; every other run is kept as it is, mapped or in memory, with
its removed rows, and with the segments it was saved as, so that the next
save into the same directory writes only the new runs.

Why a tenth: rewriting a run reads and writes all its live rows once, while
a removed row costs only its share of each scan (its codes are read, the
mask skips it) and of the disk. Below a tenth the rewrite costs more than it
saves for a long time; it is the share Lucene's forceMergeDeletes rewrites a
segment at by default. Runs are merged only with their neighbours so that
the live rows keep their order, on which equal scores' ties depend."""

from __future__ import annotations

from typing import Final, NamedTuple

import numpy as np
import numpy.typing as npt

from lumvero_contrib import _native
from lumvero_contrib._index_rows import Run
from lumvero_contrib.storage.index_layout import SaveLink, SavedSegment

IdArray = npt.NDArray[np.int64]
# A run is rewritten when at least 1 / REWRITE_SHARE of its rows are removed.
REWRITE_SHARE: Final = 10


class Compacted(NamedTuple):
    runs: list[Run]
    ids: IdArray
    live: npt.NDArray[np.bool_]
    link: SaveLink | None
    kept: IdArray  # the old position of each new one


def rewritten(runs: list[Run], live: npt.NDArray[np.bool_]) -> list[bool]:
    """Whether compact rewrites each run."""
    out = []
    for run in runs:
        removed = run.count - int(np.count_nonzero(live[run.first: run.first + run.count]))
        out.append(removed > 0 and removed * REWRITE_SHARE >= run.count)
    return out


def compacted(runs: list[Run], ids: IdArray, live: npt.NDArray[np.bool_], dims: int,
              link: SaveLink | None) -> Compacted | None:
    """The runs, ids by position, live mask and save link after compact;
    None when no run is rewritten. Mapped rows are copied under the engine's
    fault guard and the runs checked afterwards: a row file shortened since
    the load raises ValueError before anything is replaced."""
    redo = rewritten(runs, live)
    if not any(redo):
        return None
    new_runs: list[Run] = []
    id_parts: list[IdArray] = []
    live_parts: list[npt.NDArray[np.bool_]] = []
    kept: list[IdArray] = []
    moved: dict[int, int] = {}  # a kept run's old first position -> its new one
    at = i = 0
    while i < len(runs):
        if not redo[i]:
            run = runs[i]
            moved[run.first] = at
            new_runs.append(run.moved(at))
            id_parts.append(ids[run.first: run.first + run.count])
            live_parts.append(live[run.first: run.first + run.count])
            kept.append(np.arange(run.first, run.first + run.count, dtype=np.int64))
            at += run.count
            i += 1
            continue
        j = i
        while j < len(runs) and redo[j]:
            j += 1
        merged = _merged(runs[i:j], live, dims, at)
        if merged is not None:
            new_runs.append(merged)
            first, end = runs[i].first, runs[j - 1].first + runs[j - 1].count
            id_parts.append(ids[first:end][live[first:end]])
            live_parts.append(np.ones(merged.count, np.bool_))
            kept.append(first + np.flatnonzero(live[first:end]).astype(np.int64))
            at += merged.count
        i = j
    for run in runs:
        run.check_intact()
    new_ids = np.concatenate(id_parts) if id_parts else np.zeros(0, np.int64)
    new_live = np.concatenate(live_parts) if live_parts else np.zeros(0, np.bool_)
    return Compacted(new_runs, new_ids, new_live, _moved_link(link, runs, moved),
                     np.concatenate(kept) if kept else np.zeros(0, np.int64))


def _merged(group: list[Run], live: npt.NDArray[np.bool_], dims: int, first: int) -> Run | None:
    """One in-memory run of the live rows of consecutive runs, in order."""
    keep = [np.flatnonzero(live[r.first: r.first + r.count]).astype(np.int64) for r in group]
    n = sum(int(k.size) for k in keep)
    if n == 0:
        return None
    rows = np.empty((n, dims), np.float32)
    norms = np.empty(n, np.float64)
    at = 0
    for run, k in zip(group, keep):
        _native.copy_rows(run.rows[: run.count], k, rows[at: at + k.size])
        norms[at: at + k.size] = run.norms_sq[k]
        at += int(k.size)
    return Run(rows, norms, n, first)


def _moved_link(link: SaveLink | None, runs: list[Run], moved: dict[int, int]
                ) -> SaveLink | None:
    """The link with the segments of kept runs at their new positions and
    those of rewritten runs dropped."""
    if link is None:
        return None
    out: list[tuple[int, SavedSegment]] = []
    for start, seg in link.segments:
        for run in runs:
            if run.first <= start < run.first + run.count:
                if run.first in moved:
                    out.append((start - run.first + moved[run.first], seg))
                break
    return link._replace(segments=out)
