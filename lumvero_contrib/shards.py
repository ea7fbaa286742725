"""Sharded exact search.

An embedding matrix too large for one machine is split into shard files:
contiguous, balanced row ranges, each an ordinary lumvero index file, listed
in a ``manifest.json`` with the range and the content hash of every shard.
``ShardedIndex`` searches every shard (in this process, or through one Ray
actor per shard) and merges the per-shard top-k lists under the engine's one
result order: score under IEEE totalOrder (higher first for cosine and dot,
lower first for euclidean), equal scores by lower global row index. Every
shard returns its own k best under that total order, so the merged list is
exactly the list one index file holding all the rows would return.
"""
import json
import operator
import os
import socket
import struct
import tempfile
import threading
import uuid
from dataclasses import dataclass

import numpy as np

import lumvero

__all__ = ["build_shards", "ShardedIndex", "ShardError", "load_manifest", "merge_top_k",
           "file_hash", "read_header", "MANIFEST_NAME", "MANIFEST_FORMAT"]

MANIFEST_NAME = "manifest.json"
MANIFEST_FORMAT = 1
METRIC_NAMES = ("cosine", "dot", "euclidean")
HEADER_BYTES = 12
MAX_SHARD_ROWS = 50_000_000  # the most rows the writer puts in one index file
ACTOR_PREFIX = "lumvero-shard-"
_LEVEL = "f32"
_IO_CHUNK = 64 << 20


class ShardError(RuntimeError):
    """A shard could not answer, even after its actor was restarted once."""

    def __init__(self, shard, file, message):
        super().__init__(message)
        self.shard = shard
        self.file = file


# ---------------------------------------------------------------------------
# Files: header, content hash


def read_header(path):
    """(dims, rows, metric name, file size) of an index file, checked the way
    the engine checks it when it opens the file."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        head = f.read(HEADER_BYTES)
    if len(head) < HEADER_BYTES:
        raise ValueError(f"{path}: not an index file ({size} bytes, shorter than the "
                         f"{HEADER_BYTES}-byte header)")
    dims, rows, metric_id = struct.unpack("<III", head)
    if metric_id >= len(METRIC_NAMES):
        raise ValueError(f"{path}: Unknown metric id: {metric_id}")
    need = HEADER_BYTES + 4 * dims * rows
    if size < need:
        raise ValueError(f"{path}: File too small: expected {need} bytes, got {size}")
    return dims, rows, METRIC_NAMES[metric_id], size


def file_hash(path, progress=None):
    """BLAKE3 of every byte of the file as 64 lowercase hex digits: for an
    index file, the engine's "index_hash". ``progress(done, total)`` is called
    as bytes are hashed. Uses the ``blake3`` package when it is installed and
    otherwise lets the engine hash the file by opening it."""
    path = os.fspath(path)
    try:
        import blake3
    except ImportError:  # pragma: no cover - the extras install it
        return engine_hash(lumvero.PySearchEngine(path, False))
    h = blake3.blake3(max_threads=blake3.blake3.AUTO)
    if progress is None:
        h.update_mmap(path)
        return h.hexdigest()
    with open(path, "rb") as f:
        total = os.fstat(f.fileno()).st_size
        buf = bytearray(min(_IO_CHUNK, max(total, 1)))
        view = memoryview(buf)
        done = 0
        while True:
            n = f.readinto(buf)
            if not n:
                break
            h.update(view[:n])
            done += n
            progress(done, total)
    return h.hexdigest()


def engine_hash(engine):
    """The content hash the engine computed when it opened its file."""
    return engine.query_exact_detailed(np.zeros(engine.dims(), np.float32), 0).index_hash


# ---------------------------------------------------------------------------
# Manifest


@dataclass(frozen=True)
class ShardEntry:
    index: int
    file: str  # as written in the manifest, relative to it
    path: str  # resolved against the manifest's directory
    first_row: int
    rows: int
    index_hash: str

    def label(self):
        return f"shard {self.index} ({self.file})"

    def to_json(self):
        return {"file": self.file, "first_row": self.first_row, "rows": self.rows,
                "index_hash": self.index_hash}


@dataclass(frozen=True)
class Manifest:
    path: str
    metric: str
    dims: int
    rows: int
    shards: tuple


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def _is_hex64(v):
    return isinstance(v, str) and len(v) == 64 and all(c in "0123456789abcdef" for c in v)


def load_manifest(manifest_path):
    """Reads and checks a shard manifest. Raises ``ValueError`` naming the
    manifest (and the shard) for anything malformed."""
    path = os.fspath(manifest_path)
    with open(path, "rb") as f:
        raw = f.read()
    try:
        doc = json.loads(raw)
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError(f"{path}: not a shard manifest (invalid JSON: {e})") from None
    if not isinstance(doc, dict) or "shards" not in doc:
        raise ValueError(f"{path}: not a shard manifest (no \"shards\" list)")

    def bad(what):
        return ValueError(f"{path}: invalid manifest: {what}")

    if doc.get("format") != MANIFEST_FORMAT:
        raise bad(f"format {doc.get('format')!r} is not {MANIFEST_FORMAT}")
    metric = doc.get("metric")
    if metric not in METRIC_NAMES:
        raise bad(f"unknown metric {metric!r}")
    dims, rows, shards = doc.get("dims"), doc.get("rows"), doc.get("shards")
    if not _is_int(dims) or dims < 1:
        raise bad(f"dims {dims!r} is not a positive integer")
    if not _is_int(rows) or rows < 1:
        raise bad(f"rows {rows!r} is not a positive integer")
    if not isinstance(shards, list) or not shards:
        raise bad("\"shards\" is not a non-empty list")
    base = os.path.dirname(os.path.abspath(path))
    entries = []
    next_row = 0
    for i, s in enumerate(shards):
        if not isinstance(s, dict):
            raise bad(f"shard {i} is not an object")
        file, first, count, digest = (s.get("file"), s.get("first_row"), s.get("rows"),
                                      s.get("index_hash"))
        if not isinstance(file, str) or not file:
            raise bad(f"shard {i} has no file name")
        if not _is_int(first) or not _is_int(count) or count < 1:
            raise bad(f"shard {i} ({file}) has no valid first_row and rows")
        if first != next_row:
            raise bad(f"shard {i} ({file}) starts at row {first}, expected {next_row}")
        if not _is_hex64(digest):
            raise bad(f"shard {i} ({file}) has no valid index_hash")
        entries.append(ShardEntry(i, file, os.path.join(base, file), first, count, digest))
        next_row = first + count
    if next_row != rows:
        raise bad(f"the shards hold {next_row} rows, the manifest says {rows}")
    return Manifest(path, metric, dims, rows, tuple(entries))


def _write_json_atomic(path, doc):
    """Temporary file in the same directory, flushed to disk, then renamed:
    a reader sees the old manifest or the new one, never a partial one."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".manifest-", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(doc, f, indent=2)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    dfd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(dfd)
    finally:
        os.close(dfd)


# ---------------------------------------------------------------------------
# Building


def shard_bounds(rows, n_shards):
    """Contiguous balanced ranges [first, end): the first rows % n_shards
    shards get one row more than the others."""
    base, extra = divmod(rows, n_shards)
    out, first = [], 0
    for i in range(n_shards):
        end = first + base + (1 if i < extra else 0)
        out.append((first, end))
        first = end
    return out


def _touch_pages(part, report):
    """Reads a memory-mapped shard once, chunk by chunk, so its pages are in
    the page cache before the writer copies them (and progress shows while
    the file is read)."""
    rows = part.shape[0]
    step = max(1, _IO_CHUNK // max(part.itemsize * part.shape[1], 1))
    row_bytes = part.itemsize * part.shape[1]
    for a in range(0, rows, step):
        b = min(rows, a + step)
        np.bitwise_or.reduce(part[a:b].view(np.uint32), axis=None)
        report((b - a) * row_bytes)


def build_shards(embeddings, out_dir, n_shards, metric="cosine", normalize=False, name="shard",
                 progress=None):
    """Writes ``embeddings`` as ``n_shards`` index files of contiguous,
    balanced row ranges (one at a time, so a memory-mapped matrix larger than
    memory works) and then ``manifest.json``, atomically. Returns the
    manifest's path.

    ``progress(shard, n_shards, stage, done, total)``, if given, is called as
    each shard is read ("read", memory-mapped input only), written ("write")
    and hashed ("hash"); done and total are bytes of that stage."""
    X = embeddings
    if not isinstance(X, np.ndarray):
        raise TypeError(f"embeddings must be a NumPy array, got {type(X).__name__}")
    if X.ndim != 2:
        raise ValueError(f"embeddings must be two-dimensional (rows, dims), got {X.ndim} "
                         f"dimension{'s' if X.ndim != 1 else ''}")
    if X.dtype != np.float32:
        raise TypeError(f"embeddings must be float32, got {X.dtype}")
    rows, dims = X.shape
    n_shards = operator.index(n_shards)
    if rows == 0 or dims == 0:
        raise ValueError(f"embeddings are empty (shape {rows}×{dims})")
    if not 1 <= n_shards <= rows:
        raise ValueError(f"n_shards must be between 1 and the row count {rows}, got {n_shards}")
    if -(-rows // n_shards) > MAX_SHARD_ROWS:
        raise ValueError(f"{rows} rows need at least {-(-rows // MAX_SHARD_ROWS)} shards "
                         f"(at most {MAX_SHARD_ROWS} rows per shard), got {n_shards}")
    out_dir = os.fspath(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    width = max(5, len(str(n_shards - 1)))
    report = progress or (lambda *a: None)
    entries, metric_name = [], None
    for i, (first, end) in enumerate(shard_bounds(rows, n_shards)):
        part = X[first:end]
        nbytes = part.shape[0] * dims * 4
        if isinstance(part, np.memmap):
            done = [0]

            def read(n, i=i, nbytes=nbytes, done=done):
                done[0] += n
                report(i, n_shards, "read", done[0], nbytes)

            _touch_pages(part, read)
        if not (part.flags.c_contiguous or part.flags.f_contiguous):
            part = np.ascontiguousarray(part)
        report(i, n_shards, "write", 0, nbytes)
        path = lumvero.py_prepare_bin_from_embeddings(
            part, dims, end - first, f"{name}-{i:0{width}d}", _LEVEL, normalize=normalize,
            metric=metric, output_dir=out_dir)
        report(i, n_shards, "write", nbytes, nbytes)
        del part
        digest = file_hash(path, progress=lambda d, t, i=i: report(i, n_shards, "hash", d, t))
        _, _, metric_name, _ = read_header(path)
        entries.append({"file": os.path.basename(path), "first_row": first, "rows": end - first,
                        "index_hash": digest})
    manifest = {"format": MANIFEST_FORMAT, "metric": metric_name, "dims": dims, "rows": rows,
                "shards": entries}
    manifest_path = os.path.join(out_dir, MANIFEST_NAME)
    _write_json_atomic(manifest_path, manifest)
    return manifest_path


# ---------------------------------------------------------------------------
# Searching one shard, merging shards


def missing_score(metric):
    """The score of an empty result slot: the worst value under the metric."""
    return np.float32(np.inf if metric == "euclidean" else -np.inf)


def order_keys(scores):
    """IEEE totalOrder of float32 scores as int64 keys (ascending)."""
    bits = np.asarray(scores, np.float32).view(np.int32).astype(np.int64)
    return np.where(bits >= 0, bits, bits ^ 0x7FFFFFFF)


def merge_top_k(parts, k, metric):
    """Merges per-shard answers into the k best per query.

    ``parts``: a list of (scores float32 (n, m_i), ids int64 (n, m_i)) with
    global row ids; an id of -1 marks an empty slot. Returns (scores, ids) of
    shape (n, k), best first under the result order, empty slots last (id -1,
    score -inf for cosine and dot, +inf for euclidean)."""
    if not parts:
        raise ValueError("nothing to merge")
    n = parts[0][0].shape[0]
    S = np.concatenate([np.asarray(p[0], np.float32) for p in parts], axis=1)
    ids = np.concatenate([np.asarray(p[1], np.int64) for p in parts], axis=1)
    fill = missing_score(metric)
    out_s = np.full((n, k), fill, np.float32)
    out_i = np.full((n, k), -1, np.int64)
    if S.shape[1] == 0 or k == 0:
        return out_s, out_i
    key = order_keys(S)
    if metric != "euclidean":
        key = -key
    empty = ids < 0
    key[empty] = 1 << 40  # after every real score
    tie = np.where(empty, np.iinfo(np.int64).max, ids)
    order = np.lexsort((tie, key), axis=1)[:, :k]
    w = order.shape[1]
    top_s = np.take_along_axis(S, order, axis=1)
    top_i = np.take_along_axis(ids, order, axis=1)
    top_empty = top_i < 0
    top_s[top_empty] = fill
    out_s[:, :w] = top_s
    out_i[:, :w] = top_i
    return out_s, out_i


def search_engine(engine, first_row, queries, k, metric):
    """One shard's k best per query: (scores (n, m) float32, global ids
    (n, m) int64), m = min(k, rows), empty slots with id -1."""
    n = queries.shape[0]
    if n == 0 or k == 0:
        return np.zeros((n, 0), np.float32), np.zeros((n, 0), np.int64)
    try:
        d = engine.query_batch_arrays(queries, k)
        local, scores = d["indices"], d["scores"]
    except ValueError as e:
        # Queries whose rows do not all have finite scores come back shorter
        # than the others; the list form carries any lengths.
        if not str(e).startswith("invalid length"):
            raise
        results = engine.query_batch(queries, k)
        m = max((len(r.results) for r in results), default=0)
        local = np.full((len(results), m), -1, np.int64)
        scores = np.full((len(results), m), missing_score(metric), np.float32)
        for row, r in enumerate(results):
            items = r.results
            local[row, :len(items)] = [it.idx for it in items]
            scores[row, :len(items)] = [it.score for it in items]
    if local.shape[0] != n:
        if local.shape[0] == 0:  # nothing to select from
            return np.zeros((n, 0), np.float32), np.zeros((n, 0), np.int64)
        raise RuntimeError(f"the engine answered {local.shape[0]} of {n} queries")
    ids = np.asarray(local).astype(np.int64)
    ids[ids >= 0] += first_row
    return np.asarray(scores, np.float32), ids


def prepare_queries(queries, dims):
    """A C-ordered (n, dims) float32 matrix of finite queries."""
    if not isinstance(queries, np.ndarray):
        raise TypeError(f"queries must be a NumPy float32 array, got {type(queries).__name__}")
    if queries.dtype != np.float32:
        raise TypeError(f"queries must be float32, got {queries.dtype}")
    Q = queries[None, :] if queries.ndim == 1 else queries
    if Q.ndim != 2:
        raise ValueError(f"queries must be one- or two-dimensional, got {queries.ndim} dimensions")
    if Q.shape[1] != dims:
        raise ValueError(f"Query dimensions {Q.shape[1]} != index dimensions {dims}")
    Q = np.ascontiguousarray(Q)
    if not np.isfinite(Q).all():
        raise ValueError("queries contain non-finite values (NaN or Inf)")
    return Q


def check_k(k):
    k = operator.index(k)
    if k < 0:
        raise ValueError(f"k must be non-negative, got {k}")
    return k


class ShardServer:
    """One opened shard: its engine, checked against its manifest entry."""

    def __init__(self, entry, dims, metric):
        self.entry = entry
        self.metric = metric
        try:
            self.engine = lumvero.PySearchEngine(entry.path, False)
        except ValueError as e:
            raise ValueError(f"{entry.label()}: {e}") from None
        r = self.engine.query_exact_detailed(np.zeros(self.engine.dims(), np.float32), 0)
        if r.index_hash != entry.index_hash:
            raise ValueError(f"{entry.label()}: content hash {r.index_hash} does not match "
                             f"the manifest's {entry.index_hash}")
        if (r.dims, r.rows, r.metric) != (dims, entry.rows, metric):
            raise ValueError(f"{entry.label()}: the file holds {r.rows} rows × {r.dims} dims "
                             f"({r.metric}); the manifest says {entry.rows} rows × {dims} dims "
                             f"({metric})")
        self.index_hash = r.index_hash

    def search(self, queries, k):
        return search_engine(self.engine, self.entry.first_row, queries, k, self.metric)


# ---------------------------------------------------------------------------
# Backends


class _LocalShards:
    def __init__(self, manifest):
        self.servers = [ShardServer(e, manifest.dims, manifest.metric) for e in manifest.shards]

    def search(self, queries, k):
        return [s.search(queries, k) for s in self.servers]

    def close(self):
        self.servers = []


class _ShardActor:
    """Body of the Ray actor serving one shard. It never fails to construct:
    an error opening the shard is kept and reported by info()."""

    def __init__(self, entry, dims, metric):
        self.error = None
        self.server = None
        try:
            self.server = ShardServer(entry, dims, metric)
        except Exception as e:  # reported through info()
            self.error = f"{e}"

    def info(self):
        import ray

        return {"error": self.error, "pid": os.getpid(), "host": socket.gethostname(),
                "node_id": ray.get_runtime_context().get_node_id()}

    def search(self, queries, k):
        if self.server is None:
            raise ValueError(self.error)
        return self.server.search(queries, k)


_remote_class = None


def _actor_class():
    global _remote_class
    if _remote_class is None:
        import ray

        _remote_class = ray.remote(_ShardActor)
    return _remote_class


def _short(exc):
    text = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {text[0] if text else ''}".rstrip(": ")


class _RayShards:
    def __init__(self, manifest, address, actor_options, timeout):
        try:
            import ray
        except ImportError:
            raise ImportError("backend='ray' needs Ray: pip install 'lumvero[ray]'") from None
        self.ray = ray
        self.manifest = manifest
        self.timeout = timeout
        self.actor_options = actor_options
        self.retries = 0
        self.lock = threading.Lock()
        self.own_ray = False
        if not ray.is_initialized():
            ray.init(address=address)
            self.own_ray = True
        self.token = uuid.uuid4().hex[:8]
        self.generation = [0] * len(manifest.shards)
        self.names = [None] * len(manifest.shards)
        self.actors = [None] * len(manifest.shards)
        try:
            # Every actor opens its shard at the same time.
            for e in manifest.shards:
                self.actors[e.index] = self._spawn(e)
            pending = [a.info.remote() for a in self.actors]
            for e, ref in zip(manifest.shards, pending):
                self._check_open(e, ref)
        except BaseException:
            self.close()
            raise

    def _spawn(self, entry):
        gen = self.generation[entry.index]
        self.generation[entry.index] += 1
        name = f"{ACTOR_PREFIX}{entry.index:05d}-{self.token}" + (f"-{gen}" if gen else "")
        options = {"num_cpus": 0, "max_restarts": 0, "scheduling_strategy": "SPREAD"}
        extra = self.actor_options
        if callable(extra):
            extra = extra(entry.index, entry.to_json())
        options.update(extra or {})
        options["name"] = name
        self.names[entry.index] = name
        return _actor_class().options(**options).remote(entry, self.manifest.dims,
                                                        self.manifest.metric)

    def _check_open(self, entry, ref):
        try:
            info = self.ray.get(ref, timeout=self.timeout)
        except self.ray.exceptions.RayError as e:
            raise ShardError(entry.index, entry.file,
                             f"{entry.label()}: its actor did not start: {_short(e)}") from None
        if info["error"]:
            raise ValueError(info["error"])
        return info

    def _kill(self, actor):
        if actor is not None:
            try:
                self.ray.kill(actor, no_restart=True)
            except Exception:
                pass

    def restart(self, i):
        """A new actor for shard i in place of the old one (killed first, in
        case it only hangs)."""
        entry = self.manifest.shards[i]
        self._kill(self.actors[i])
        self.actors[i] = self._spawn(entry)
        self._check_open(entry, self.actors[i].info.remote())

    def _submit(self, qref, k):
        return [a.search.remote(qref, k) for a in self.actors]

    def search(self, queries, k):
        ray = self.ray
        qref = ray.put(queries)
        # Every shard gets the queries at once; answers are collected in
        # shard order.
        asked = list(self.actors)
        refs = self._submit(qref, k)
        results, failed = [None] * len(refs), []
        for i, ref in enumerate(refs):
            try:
                results[i] = ray.get(ref, timeout=self.timeout)
            except ray.exceptions.RayError as e:
                failed.append((i, e))
        for i, first in failed:
            # Restart the shard's actor and ask once more; a second failure
            # is the caller's, never a partial answer.
            entry = self.manifest.shards[i]
            try:
                with self.lock:
                    self.retries += 1
                    if self.actors[i] is asked[i]:  # not yet restarted by another search
                        self.restart(i)
                    actor = self.actors[i]
                results[i] = ray.get(actor.search.remote(qref, k), timeout=self.timeout)
            except Exception as e:
                raise ShardError(i, entry.file,
                                 f"{entry.label()} did not answer ({_short(first)}) and failed "
                                 f"again after a restart ({_short(e)})") from None
        return results

    def info(self):
        return self.ray.get([a.info.remote() for a in self.actors], timeout=self.timeout)

    def close(self):
        actors, self.actors = self.actors, [None] * len(self.actors)
        for a in actors:
            self._kill(a)
        if self.own_ray:
            self.own_ray = False
            self.ray.shutdown()


class ShardedIndex:
    """Exact search over the shards listed in a manifest.

    ``backend="local"`` opens every shard in this process; ``backend="ray"``
    starts one named Ray actor per shard (names start with "lumvero-shard-"),
    each opening its file by path on its node. Ray is initialised with
    ``ray_address`` unless it already is (and shut down by ``close`` in that
    case). ``actor_options``: extra ``.options()`` for the actors (a dict, or
    a function of (shard index, manifest entry) returning one), for instance
    a node-affinity scheduling strategy placing each actor where its file is.
    ``timeout``: seconds to wait for a shard's answer (default: no limit).

    Every shard's content hash is checked against the manifest at open.
    ``search`` returns exactly the answer of one index holding all the rows."""

    def __init__(self, manifest_path, backend="local", ray_address=None, *, actor_options=None,
                 timeout=None):
        if backend not in ("local", "ray"):
            raise ValueError(f"unknown backend {backend!r}: expected 'local' or 'ray'")
        self.manifest = load_manifest(manifest_path)
        self.backend = backend
        self._impl = None
        if backend == "local":
            self._impl = _LocalShards(self.manifest)
        else:
            self._impl = _RayShards(self.manifest, ray_address, actor_options, timeout)

    @property
    def metric(self):
        return self.manifest.metric

    @property
    def dims(self):
        return self.manifest.dims

    @property
    def rows(self):
        return self.manifest.rows

    @property
    def n_shards(self):
        return len(self.manifest.shards)

    @property
    def actor_names(self):
        """Names of the shard actors (Ray backend), in shard order."""
        return list(self._impl.names) if isinstance(self._impl, _RayShards) else []

    @property
    def retries(self):
        """How many shard answers were asked for again after a restart."""
        return getattr(self._impl, "retries", 0)

    def shard_info(self):
        """Per shard: where it is served ("pid", "host", and "node_id" on Ray)."""
        if self._impl is None:
            raise ValueError("this ShardedIndex is closed")
        if isinstance(self._impl, _RayShards):
            return self._impl.info()
        return [{"error": None, "pid": os.getpid(), "host": socket.gethostname()}
                for _ in self._impl.servers]

    def search(self, queries, k):
        """(scores float32, ids int64), both (n_queries, k), best first; a
        1-D query is one row. Empty slots: id -1, score -inf (cosine, dot) or
        +inf (euclidean)."""
        if self._impl is None:
            raise ValueError("this ShardedIndex is closed")
        Q = prepare_queries(queries, self.dims)
        k = check_k(k)
        n = Q.shape[0]
        if n == 0 or k == 0:
            return merge_top_k([(np.zeros((n, 0), np.float32), np.zeros((n, 0), np.int64))], k,
                               self.metric)
        return merge_top_k(self._impl.search(Q, k), k, self.metric)

    def close(self):
        impl, self._impl = self._impl, None
        if impl is not None:
            impl.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self._impl is None else self.backend
        return (f"ShardedIndex({self.manifest.path!r}, {self.n_shards} shards, {self.rows} rows × "
                f"{self.dims} dims, {self.metric}, {state})")
