"""lumvero-index build: an Index directory written a batch at a time
(build_index), or with --shards N the file shards of build_shards."""
import argparse
import sys
from collections.abc import Callable
from typing import Any

from numpy.typing import NDArray

from lumvero_contrib.cli import SUCCESS, UserError, _load_npy


def add_build_parser(sub: Any) -> argparse.ArgumentParser:
    """The build command's parser."""
    b: argparse.ArgumentParser = sub.add_parser(
        "build", help="write an Index directory (or, with --shards, shard files and a "
        "manifest) from a .npy matrix",
        description="Write an Index directory from a .npy matrix, read memory-mapped a batch "
        "at a time: memory holds one batch and the codes being written, never the rows "
        "(lumvero_contrib.build_index; Index.load reads it). With --shards N, write N index "
        "files and a build_shards manifest instead, as this command did before Index "
        "directories (ShardedIndex reads them).")
    b.add_argument("embeddings", metavar="EMB.npy", help="(rows, dims) matrix of any real "
                   "dtype (float32 with --shards); read memory-mapped")
    b.add_argument("--metric", required=True, help="cosine, dot or euclidean")
    b.add_argument("--out", required=True, metavar="DIR", help="output directory")
    b.add_argument("--ids", metavar="IDS.npy", default=None, help="int64 ids, one per row "
                   "(default 0, 1, 2, ...); not with --shards")
    b.add_argument("--resume", action="store_true", help="continue a build of the same "
                   "matrix that was killed, from its last checkpoint; not with --shards")
    b.add_argument("--shards", type=int, default=None, metavar="N", help="write N shard files "
                   "and a build_shards manifest instead of an Index directory")
    b.add_argument("--name", default=None, help="base name of the shard files (--shards "
                   "only; default shard)")
    b.add_argument("--normalize", action="store_true", help="scale rows to unit length "
                   "(--shards only; always done for cosine)")
    return b


def _progress_bars() -> tuple[Callable[[int, int, str, int, int], None], Callable[[], None]]:
    """One tqdm bar per shard (shown on a terminal), in bytes read, written
    and hashed."""
    try:
        from tqdm import tqdm
    except ImportError:  # pragma: no cover - installed with the extras
        return lambda *a: None, lambda: None
    bars: dict[int, Any] = {}
    seen: dict[tuple[int, str], int] = {}

    def report(shard: int, n_shards: int, stage: str, done: int, total: int) -> None:
        bar = bars.get(shard)
        if bar is None:
            # The shard's bytes are read (memory-mapped input), written, then
            # hashed with the 12-byte header.
            passes = 3 if stage == "read" else 2
            bar = tqdm(total=passes * total + 12, desc=f"shard {shard + 1}/{n_shards}",
                       unit="B", unit_scale=True, unit_divisor=1024, leave=True, disable=None,
                       file=sys.stderr)
            bars[shard] = bar
        key = (shard, stage)
        if key not in seen:
            seen[key] = 0
            bar.set_postfix_str(stage, refresh=False)
        bar.update(done - seen[key])
        seen[key] = done
        if stage == "hash" and done >= total:
            bar.close()

    def close() -> None:
        for bar in bars.values():
            bar.close()

    return report, close


def build(args: argparse.Namespace) -> int:
    from lumvero_contrib.shards import build_shards

    X = _load_npy(args.embeddings, "embeddings", any_real=args.shards is None)
    if X.ndim != 2:
        raise UserError(f"{args.embeddings}: embeddings must be a (rows, dims) matrix, "
                        f"got shape {X.shape}")
    if args.shards is None:
        return _build_index(X, args)
    if args.ids is not None or args.resume:
        raise UserError("--ids and --resume are for an Index directory (without --shards)")
    if args.shards < 1:
        raise UserError(f"--shards must be at least 1, got {args.shards}")
    report, close = _progress_bars()
    try:
        path = build_shards(X, args.out, args.shards, metric=args.metric,
                            normalize=args.normalize, name=args.name or "shard",
                            progress=report)
    finally:
        close()
    print(path)
    return SUCCESS


def _build_index(X: NDArray[Any], args: argparse.Namespace) -> int:
    """An Index directory built from the memory-mapped matrix a batch at a
    time (build_index), with the ids of a .npy file or the default ones."""
    from lumvero_contrib import build_index
    from lumvero_contrib._index_args import METRICS

    if args.name is not None or args.normalize:
        raise UserError("--name and --normalize are for file shards (--shards N); an Index "
                        "directory scales rows to unit length for cosine only")
    metric = args.metric.lower()
    if metric not in METRICS:
        raise UserError(f"Unknown similarity metric: {args.metric}")
    ids = None
    if args.ids is not None:
        ids = _load_npy(args.ids, "ids", any_real=True)
        if ids.dtype.kind not in "iu" or ids.ndim != 1:
            raise UserError(f"{args.ids}: ids must be a 1-D array of integers, got {ids.dtype} "
                            f"of shape {ids.shape}")
    build_index(X, args.out, metric, ids=ids, resume=args.resume,
                progress=sys.stderr.isatty())
    print(args.out)
    return SUCCESS
