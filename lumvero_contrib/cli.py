"""lumvero-index: build, inspect, search and verify index files, shard
manifests and saved index directories from the shell.

    lumvero-index build EMB.npy --metric M --out DIR [--ids IDS.npy] [--resume]
    lumvero-index build EMB.npy --metric M --out DIR --shards N
    lumvero-index info PATH
    lumvero-index search PATH QUERIES.npy -k K [--json] [--backend ray --timeout S]
    lumvero-index verify PATH

PATH is an index file, a ``build_shards`` manifest (the file or its
directory), or a directory that ``Index.save`` or ``DistributedIndex.save``
wrote (searched in this process, or with ``--backend ray`` on Ray); every
kind is read, checked and searched the same way (under cosine, queries are
scaled to unit length as the rows are). Exit statuses:

    0   success
    1   ``verify``: a file does not match its manifest (or is no valid index)
    2   a mistake in the command line or its input files, or a shard or Ray
        cluster that cannot answer; one line on standard error
    3   an internal error of this tool; one line on standard error
    130 interrupted (Ctrl-C)
"""
import argparse
import contextlib
import json
import math
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Final, NoReturn

import numpy as np
from numpy.typing import NDArray

PROG: Final = "lumvero-index"

# Exit statuses, the one table of them (see the module docstring).
SUCCESS: Final = 0
MISMATCH: Final = 1
USER_ERROR: Final = 2
INTERNAL_ERROR: Final = 3
INTERRUPTED: Final = 130

_NPY_MAGIC: Final = b"\x93NUMPY"


class UserError(Exception):
    """A mistake in the command line or its input files."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        sub = self.prog.split(" ", 1)[1] if " " in self.prog else ""
        hint = f"{PROG} {sub} --help" if sub else f"{PROG} --help"
        raise UserError(f"{message} (see {hint})")


@contextlib.contextmanager
def _reading(path: str) -> Iterator[None]:
    """Plain words for an input path that is missing or unreadable (a
    directory or a pipe is refused, in plain words too, by open_regular)."""
    try:
        yield
    except FileNotFoundError:
        raise UserError(f"{path}: no such file") from None
    except PermissionError:
        raise UserError(f"{path}: permission denied") from None


def _load_npy(path: str, what: str, any_real: bool = False) -> NDArray[Any]:
    from lumvero_contrib.shards import open_regular

    with _reading(path), open_regular(path) as f:
        magic = f.read(len(_NPY_MAGIC))
    if magic != _NPY_MAGIC:
        raise UserError(f"{path}: is not a NumPy .npy file (it does not start with the .npy "
                        f"signature)")
    try:
        arr = np.load(path, mmap_mode="r", allow_pickle=False)
    except (ValueError, OSError, EOFError) as e:
        raise UserError(f"{path}: not a valid NumPy .npy file ({e})") from None
    if not isinstance(arr, np.ndarray):
        raise UserError(f"{path}: not a single-array .npy file")
    if any_real and arr.dtype.kind not in "iuf":
        raise UserError(f"{path}: {what} must hold real numbers, got {arr.dtype}")
    if not any_real and arr.dtype != np.float32:
        raise UserError(f"{path}: {what} must be float32, got {arr.dtype}")
    return arr


def _is_manifest(path: str) -> bool:
    """A manifest is JSON text; an index file starts with its binary header.
    Only the first bytes are read to tell them apart."""
    from lumvero_contrib.shards import looks_like_manifest

    with _reading(path):
        return looks_like_manifest(path)


def _human(n: int) -> str:
    if n < 1024:
        return f"{n} B"
    size = float(n)
    for unit in ("KiB", "MiB", "GiB"):
        size /= 1024
        if size < 1024:
            return f"{size:.1f} {unit}"
    return f"{size / 1024:.1f} TiB"


# ---------------------------------------------------------------------------


def cmd_build(args: argparse.Namespace) -> int:
    from lumvero_contrib.cli_build import build

    return build(args)


def _target(path: str) -> tuple[str, str]:
    """What PATH is, and the path to read: ``("file", path)`` an index file,
    ``("shards", manifest)`` a build_shards manifest (given as the file or as
    its directory), ``("index", path)`` or ``("distributed", path)`` a
    directory Index.save or DistributedIndex.save wrote."""
    from lumvero_contrib.shards import MANIFEST_NAME

    if os.path.isdir(path):
        from lumvero_contrib.shards.index_cli import directory_kind

        kind = directory_kind(path)
        return kind, os.path.join(path, MANIFEST_NAME) if kind == "shards" else path
    return ("shards" if _is_manifest(path) else "file"), path


def _manifest_info(path: str) -> None:
    from lumvero_contrib.shards import MANIFEST_FORMAT, file_hash, load_manifest
    from lumvero_contrib.shards.index_cli import KINDS

    m = load_manifest(path)
    lines = [("path", os.path.abspath(path)),
             ("kind", f"{KINDS['shards']}, format version {MANIFEST_FORMAT}"),
             ("dims", m.dims), ("rows", m.rows), ("metric", m.metric), ("shards", len(m.shards))]
    total, missing, rows_out = 0, 0, []
    for s in m.shards:
        try:
            size = os.path.getsize(s.path)
            total += size
            size_text = _human(size)
        except OSError:
            missing += 1
            size_text = "missing"
        rows_out.append(f"  {s.index}: {s.file} rows {s.first_row}-{s.first_row + s.rows - 1}"
                        f" ({s.rows}) {size_text} {s.index_hash}")
    size_line = f"{total} bytes ({_human(total)})"
    if missing:
        size_line += f", {missing} shard file{'s' if missing > 1 else ''} missing"
    lines += [("size", size_line), ("hash", f"{file_hash(path)} (manifest file)")]
    for k, v in lines:
        print(f"{k}: {v}")
    print("shard files:")
    print("\n".join(rows_out))


def cmd_info(args: argparse.Namespace) -> int:
    from lumvero_contrib.shards import file_hash, read_header

    kind, path = _target(args.path)
    if kind in ("index", "distributed"):
        from lumvero_contrib.shards.index_cli import directory_info

        print("\n".join(directory_info(path, kind)))
    elif kind == "shards":
        _manifest_info(path)
    else:
        dims, rows, metric, size = read_header(path)
        for k, v in [("path", os.path.abspath(path)), ("kind", "index file"), ("dims", dims),
                     ("rows", rows), ("metric", metric),
                     ("size", f"{size} bytes ({_human(size)})"), ("hash", file_hash(path))]:
            print(f"{k}: {v}")
    return SUCCESS


def _unit_queries(queries: NDArray[np.float32], dims: int, metric: str) -> NDArray[np.float32]:
    """The queries checked and, for cosine, scaled to unit length as Index
    scales them (the rows of every kind of saved index are stored so)."""
    from lumvero_contrib._index_args import normalize
    from lumvero_contrib.shards import prepare_queries

    Q = prepare_queries(np.array(queries), dims)
    if metric == "cosine":
        normalize(Q, "Q", zero_ok=False)
    return Q


def _search_files(kind: str, args: argparse.Namespace) -> tuple[str, NDArray[np.float32],
                                                                  NDArray[np.int64]]:
    """(metric, scores, ids) from a build_shards manifest or an index file."""
    from lumvero_contrib.shards import (ShardedIndex, check_k, merge_top_k, read_header,
                                        search_engine)

    if kind == "shards":
        Q = _load_npy(args.queries, "queries")
        with ShardedIndex(args.path, backend=args.backend, ray_address=args.ray_address,
                          timeout=args.timeout) as idx:
            return idx.metric, *idx.search(_unit_queries(Q, idx.dims, idx.metric), args.k)
    import lumvero

    dims, _, metric, _ = read_header(args.path)
    Q = _unit_queries(_load_npy(args.queries, "queries"), dims, metric)
    k = check_k(args.k)
    engine = lumvero.PySearchEngine(args.path, False)
    return metric, *merge_top_k([search_engine(engine, 0, Q, k, metric)], k, metric)


def cmd_search(args: argparse.Namespace) -> int:
    if args.k < 0:
        raise UserError(f"-k must be non-negative, got {args.k}")
    if not 0 < args.timeout < math.inf:
        raise UserError(f"--timeout must be a positive number of seconds, got {args.timeout:g}")
    kind, args.path = _target(args.path)
    if kind in ("index", "distributed"):
        from lumvero_contrib.shards.index_cli import search_directory

        Q = _load_npy(args.queries, "queries")
        metric, scores, ids = search_directory(args.path, kind, np.array(Q), args.k,
                                               args.backend, args.ray_address, args.timeout)
    else:
        metric, scores, ids = _search_files(kind, args)
    if args.json:
        doc = {"metric": metric, "k": args.k,
               "ids": ids.tolist(),
               "scores": [[float(s) if i >= 0 else None for s, i in zip(rs, ri)]
                          for rs, ri in zip(scores, ids)]}
        json.dump(doc, sys.stdout)
        sys.stdout.write("\n")
    else:
        for q, (rs, ri) in enumerate(zip(scores, ids)):
            hits = " ".join(f"{i}:{s!r}" for s, i in zip(rs.tolist(), ri.tolist()) if i >= 0)
            print(f"{q}\t{hits}")
    return SUCCESS


def _verify_manifest(path: str) -> int:
    from lumvero_contrib.shards import file_hash, load_manifest, read_header

    m = load_manifest(path)
    bad = 0
    for s in m.shards:
        try:
            dims, rows, metric, _ = read_header(s.path)
        except FileNotFoundError:
            print(f"FAILED {s.label()}: file missing")
            bad += 1
            continue
        except (OSError, ValueError) as e:
            print(f"FAILED {s.label()}: {e}")
            bad += 1
            continue
        digest = file_hash(s.path)
        if digest != s.index_hash:
            print(f"FAILED {s.label()}: hash {digest}, manifest {s.index_hash}")
            bad += 1
        elif (dims, rows, metric) != (m.dims, s.rows, m.metric):
            print(f"FAILED {s.label()}: {rows} rows × {dims} dims ({metric}), manifest "
                  f"{s.rows} rows × {m.dims} dims ({m.metric})")
            bad += 1
        else:
            print(f"ok {s.label()}: {digest}")
    if bad:
        print(f"{bad} of {len(m.shards)} shards failed verification")
        return MISMATCH
    print(f"all {len(m.shards)} shards match the manifest")
    return SUCCESS


def cmd_verify(args: argparse.Namespace) -> int:
    from lumvero_contrib.shards import file_hash, read_header

    kind, path = _target(args.path)
    if kind in ("index", "distributed"):
        from lumvero_contrib.shards.index_cli import verify_directory

        ok, lines = verify_directory(path, kind)
        print("\n".join(lines))
        return SUCCESS if ok else MISMATCH
    if kind == "shards":
        return _verify_manifest(path)
    try:
        dims, rows, metric, size = read_header(path)
    except ValueError as e:
        print(f"FAILED {e}")
        return MISMATCH
    print(f"ok {path}: {rows} rows × {dims} dims, {metric}, {size} bytes, hash "
          f"{file_hash(path)} (no manifest to compare with)")
    return SUCCESS


_PATH_HELP: Final = ("index file, build_shards manifest (the file or its directory), or a "
                     "directory Index.save or DistributedIndex.save wrote")


def build_parser() -> argparse.ArgumentParser:
    from lumvero_contrib.shards import DEFAULT_TIMEOUT

    p = _Parser(prog=PROG, description="Build, inspect, search and verify lumvero index files "
                                        "and shard manifests.")
    sub = p.add_subparsers(dest="command", required=True, parser_class=_Parser)
    from lumvero_contrib.cli_build import add_build_parser

    add_build_parser(sub).set_defaults(func=cmd_build)

    i = sub.add_parser("info", help="kind, format version, dims, rows, metric, files and "
                       "hashes of an index or manifest")
    i.add_argument("path", metavar="PATH", help=_PATH_HELP)
    i.set_defaults(func=cmd_info)

    s = sub.add_parser("search", help="exact top-k for every row of a .npy query matrix",
                       description="Exact top-k for every row of a .npy query matrix. Under "
                       "cosine each query is scaled to unit length, as the rows are stored, "
                       "whatever kind PATH is: the scores are cosine similarities, the same "
                       "for the same rows in an index file, a build_shards manifest, an Index "
                       "or a DistributedIndex directory (a zero query is refused).")
    s.add_argument("path", metavar="PATH", help=_PATH_HELP)
    s.add_argument("queries", metavar="QUERIES.npy", help="float32 queries, one per row")
    s.add_argument("-k", type=int, required=True, metavar="K", help="results per query")
    s.add_argument("--json", action="store_true", help="one JSON object: ids and scores "
                   "(empty slots: id -1, score null)")
    s.add_argument("--backend", choices=("local", "ray"), default="local",
                   help="where the shards of a manifest or a saved index directory are "
                   "searched (default local)")
    s.add_argument("--ray-address", default=None, help="Ray cluster to connect to (auto, "
                   "HOST:PORT or ray://HOST:10001)")
    s.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                   help="how long to wait for the Ray cluster, a shard's actor or a shard's "
                   f"answer (default {DEFAULT_TIMEOUT:g})")
    s.set_defaults(func=cmd_search)

    v = sub.add_parser("verify", help="recompute the BLAKE3 of every file the manifest names "
                       "and compare")
    v.add_argument("path", metavar="PATH", help=_PATH_HELP)
    v.set_defaults(func=cmd_verify)
    return p


def _one_line(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return f"{e.filename}: {e.strerror}" if e.filename else e.strerror
    text = " ".join(str(e).split())
    return text or type(e).__name__


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status (see the module
    docstring)."""
    from lumvero_contrib.shards import ShardError

    try:
        args = build_parser().parse_args(argv)
        func: Callable[[argparse.Namespace], int] = args.func
        return func(args)
    except UserError as e:
        message = str(e)
    except (ValueError, OSError, ImportError, ShardError) as e:
        # Bad input files and what the module refuses (ValueError), the file
        # system and the network (OSError), Ray missing, a shard that cannot
        # answer.
        message = _one_line(e)
    except KeyboardInterrupt:
        return INTERRUPTED
    except Exception as e:
        print(f"{PROG}: internal error: {type(e).__name__}: {_one_line(e)} (a fault in "
              f"{PROG}; please report it)", file=sys.stderr)
        return INTERNAL_ERROR
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return USER_ERROR


if __name__ == "__main__":
    sys.exit(main())
