"""Sharded search: 1,000,000 x 128 (cosine) in 1, 2 and 4 shards, searched in
one process ("local") and through one Ray actor per shard on a Ray cluster
started on this machine ("ray"), 1,000 queries, k = 10. For each: queries/s
and the time against one index file (runs alternating with it, best of
each), and where the time goes:

  merge    merging the per-shard top-k lists in the caller (merge_top_k)
  fan-out  Ray's transport for a search of this size, measured apart: the
           query matrix put once and sent to S actors that answer at once
           with lists of the same size without searching (best of 5); and
           the round trip of an empty call to all S actors
  scan     the rest: time - merge (local), time - fan-out - merge (ray)

Every sharded answer is checked bit for bit against the one-file answer.

Then the sharded Index (DistributedIndex, one Ray actor per shard) against one
Index, in the same run, on the same rows with ids: the whole task (adding all
rows, a batch of the queries, then 200 single queries) and where the search
time goes: "shard" is the slowest shard's own search (timed in its actor),
"fan-out+merge" the rest of the call (sending the queries, collecting the
answers, mapping ids to insertion order and merging), as a share of it.
Run: .venv/bin/python benchmarks/bench_shards.py [--quick] [--results]
       [--rows N] [--dims D] [--nq Q] [--shards 1,2,4] [--repeat R] [--no-ray]
       [--no-files] [--singles S]
--quick: 100,000 rows, 200 queries, best of 2.
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import unit_vectors  # noqa: E402

import lumvero  # noqa: E402
from lumvero_contrib import DistributedIndex, Index  # noqa: E402
from lumvero_contrib.shards import (ShardedIndex, build_shards, load_manifest,  # noqa: E402
                                    merge_top_k, search_engine)


def best_of(fn, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def exact(got, want):
    return np.array_equal(got[1], want[1]) and got[0].tobytes() == want[0].tobytes()


def merge_time(manifest_path, Q, k, repeat):
    """Best time of merging the shards' own answers (computed here, in
    this process, from the shard files)."""
    m = load_manifest(manifest_path)
    parts = [search_engine(lumvero.PySearchEngine(e.path, False), e.first_row, Q, k, m.metric)
             for e in m.shards]
    return best_of(lambda: merge_top_k(parts, k, m.metric), repeat)[0]


class Transport:
    """Actors that answer like shards without searching: what Ray's calls
    and data movement cost for S shards, n queries and k results."""

    def __init__(self, ray, n_actors):
        @ray.remote(num_cpus=0)
        class Echo:
            def answer(self, q, k):
                return np.zeros((q.shape[0], k), np.float32), np.zeros((q.shape[0], k), np.int64)

            def ping(self):
                return None

        self.ray = ray
        self.actors = [Echo.remote() for _ in range(n_actors)]
        ray.get([a.ping.remote() for a in self.actors])

    def fan_out(self, Q, k, n):
        def once():
            qref = self.ray.put(Q)
            self.ray.get([a.answer.remote(qref, k) for a in self.actors[:n]])
        return best_of(once, 5)[0]

    def empty_call(self, n):
        return best_of(lambda: self.ray.get([a.ping.remote() for a in self.actors[:n]]), 5)[0]


def timed_search(ix, Q, k):
    """(seconds of the call, seconds of the slowest shard's own search)."""
    t = time.perf_counter()
    out = ix.search(Q, k)
    dt = time.perf_counter() - t
    shard = max(ix._shard_seconds.values()) if isinstance(ix, DistributedIndex) else dt
    return dt, shard, out


def index_task(ix, X, ids, Q, k, singles, repeat):
    """The whole task on one Index or a DistributedIndex: add every row, the
    batch (best of repeat), then single queries one by one."""
    t0 = time.perf_counter()
    ix.add(X, ids=ids)
    t_add = time.perf_counter() - t0
    batch, batch_shard, answer = float("inf"), 0.0, None
    for _ in range(repeat):
        dt, shard, answer = timed_search(ix, Q, k)
        if dt < batch:
            batch, batch_shard = dt, shard
    t_single, t_single_shard, single_answers = 0.0, 0.0, []
    for q in Q[:singles]:
        dt, shard, out = timed_search(ix, q, k)
        t_single += dt
        t_single_shard += shard
        single_answers.append(out)
    return {"add": t_add, "batch": batch, "batch_shard": batch_shard, "single": t_single,
            "single_shard": t_single_shard, "answer": answer, "singles": single_answers,
            "task": t_add + batch + t_single}


def bench_index(a, X, Q, counts, singles, repeat, report):
    """DistributedIndex with 1, 2 and 4 shards against one Index."""
    ids = np.arange(X.shape[0], dtype=np.int64) * 3 + 7
    base = index_task(Index(a.dims, "cosine"), X, ids, Q, a.k, singles, repeat)
    print(f"\nsharded Index (DistributedIndex on Ray) against one Index, {singles} single "
          f"queries\n{'shards':>6} {'add s':>7} {'batch ms':>9} {'shard ms':>9} "
          f"{'fan+merge':>10} {'share':>6} {'single ms':>10} {'share':>6} {'task s':>7} "
          f"{'vs Index':>8}  exact", flush=True)
    print(f"{'Index':>6} {base['add']:7.2f} {base['batch'] * 1e3:9.1f} {'':>9} {'':>10} "
          f"{'':>6} {base['single'] / singles * 1e3:10.2f} {'':>6} {base['task']:7.2f} "
          f"{'':>8}", flush=True)
    report.add(shape="Index", backend="index", shards=0, add_s=base["add"],
               batch_ms=base["batch"] * 1e3, single_ms=base["single"] / singles * 1e3,
               task_s=base["task"], exact=True)
    for n in counts:
        with DistributedIndex(a.dims, "cosine", shards=n, backend="ray") as ix:
            r = index_task(ix, X, ids, Q, a.k, singles, repeat)
        ok = exact(r["answer"], base["answer"]) and all(
            exact(g, w) for g, w in zip(r["singles"], base["singles"]))
        fan = r["batch"] - r["batch_shard"]
        single_fan = r["single"] - r["single_shard"]
        print(f"{n:>6} {r['add']:7.2f} {r['batch'] * 1e3:9.1f} {r['batch_shard'] * 1e3:9.1f} "
              f"{fan * 1e3:10.1f} {fan / r['batch'] * 100:5.1f}% "
              f"{r['single'] / singles * 1e3:10.2f} {single_fan / r['single'] * 100:5.1f}% "
              f"{r['task']:7.2f} {(r['task'] / base['task'] - 1) * 100:+7.1f}%  "
              f"{'yes' if ok else 'NO'}", flush=True)
        report.add(shape=f"DistributedIndex {n} shard{'s' if n > 1 else ''}",
                   backend="distributed-index", shards=n, add_s=r["add"],
                   batch_ms=r["batch"] * 1e3, shard_ms=r["batch_shard"] * 1e3,
                   fanout_merge_ms=fan * 1e3, fanout_merge_share=fan / r["batch"],
                   single_ms=r["single"] / singles * 1e3,
                   single_fanout_merge_share=single_fan / r["single"], task_s=r["task"],
                   vs_index=r["task"] / base["task"] - 1, exact=ok)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--results", action="store_true")
    ap.add_argument("--rows", type=int)
    ap.add_argument("--dims", type=int, default=128)
    ap.add_argument("--nq", type=int)
    ap.add_argument("-k", type=int, default=10)
    ap.add_argument("--shards", default="1,2,4")
    ap.add_argument("--repeat", type=int)
    ap.add_argument("--no-ray", action="store_true")
    ap.add_argument("--no-files", action="store_true", help="only the sharded Index")
    ap.add_argument("--singles", type=int, default=200)
    a = ap.parse_args()
    rows = a.rows or common.repeats(1_000_000, 100_000)
    nq = a.nq or common.repeats(1000, 200)
    repeat = a.repeat or common.repeats(3, 2)
    counts = [int(c) for c in a.shards.split(",")]

    info = common.machine_info()
    common.print_header("sharded search", info)
    print(f"OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')}; "
          f"shape {rows:,} x {a.dims}, cosine, {nq:,} queries, k = {a.k}, best of {repeat}")
    report = common.Report("bench_shards", f"Sharded search, {rows:,} x {a.dims}, {nq:,} queries, "
                           f"k = {a.k}", info)
    report.notes.append("scan = time - merge (local), time - fan-out - merge (ray); fan-out and "
                        "empty call measured apart with actors that do not search")

    X = unit_vectors(rows, a.dims, seed=1)
    Q = unit_vectors(nq, a.dims, seed=2)
    tmp = common.temp_dir()
    ray = None
    if not a.no_ray:
        import ray

        # Ray's workers put the driver's working directory first on their
        # path: started in a source checkout, they would import the
        # lumvero_contrib there (without its built extension), not the
        # installed one.
        os.chdir(tmp)
        ray.init(num_cpus=info["cpus"], include_dashboard=False, log_to_driver=False,
                 configure_logging=False)
        try:
            bench_index(a, X, Q, counts, min(a.singles, nq), repeat, report)
        finally:
            if a.no_files:
                ray.shutdown()
    if a.no_files:
        report.save()
        if not all(r["exact"] for r in report.rows):
            sys.exit("a sharded answer differs from the one Index's")
        return
    manifests = {}
    for n in sorted(set(counts) | {1}):
        t = time.perf_counter()
        manifests[n] = build_shards(X, os.path.join(tmp, f"s{n}"), n, metric="cosine")
        print(f"build_shards {n} shard{'s' if n > 1 else ''}: {time.perf_counter() - t:6.2f} s",
              flush=True)
    del X

    # One file: the 1-shard build is an ordinary index file.
    engine = lumvero.PySearchEngine(load_manifest(manifests[1]).shards[0].path, False)
    d = engine.query_batch_arrays(Q, a.k)
    want = (d["scores"], d["indices"].astype(np.int64))
    print(f"\n{'backend':<7} {'shards':>6} {'q/s':>8} {'time ms':>9} {'file ms':>9} "
          f"{'vs file':>8} {'scan ms':>9} {'fan-out ms':>11} {'merge ms':>9} {'empty ms':>9}  exact",
          flush=True)

    backends = ["local"] + ([] if a.no_ray else ["ray"])
    transport = None
    try:
        if "ray" in backends:
            transport = Transport(ray, max(counts))
        for backend in backends:
            for n in counts:
                with ShardedIndex(manifests[n], backend=backend) as idx:
                    ok = exact(idx.search(Q, a.k), want)
                    # One-file and sharded runs alternate, so both see the
                    # same load on a shared machine; best of each.
                    t, t_file = float("inf"), float("inf")
                    for _ in range(repeat):
                        t_file = min(t_file, best_of(lambda: engine.query_batch_arrays(Q, a.k),
                                                     1)[0])
                        dt, got = best_of(lambda: idx.search(Q, a.k), 1)
                        ok = ok and exact(got, want)
                        t = min(t, dt)
                t_merge = merge_time(manifests[n], Q, a.k, 5)
                fan = empty = None
                if backend == "ray":
                    fan, empty = transport.fan_out(Q, a.k, n), transport.empty_call(n)
                scan = t - t_merge - (fan or 0.0)
                report.add(shape=f"{n} shard{'s' if n > 1 else ''}", backend=backend, shards=n,
                           qps=nq / t, ms=t * 1e3, file_ms=t_file * 1e3,
                           vs_file=t / t_file - 1, scan_ms=scan * 1e3, merge_ms=t_merge * 1e3,
                           fanout_ms=None if fan is None else fan * 1e3,
                           empty_call_ms=None if empty is None else empty * 1e3, exact=ok)
                opt = (lambda v: f"{v * 1e3:.1f}" if v is not None else "")
                print(f"{backend:<7} {n:>6} {nq / t:8.0f} {t * 1e3:9.1f} {t_file * 1e3:9.1f} "
                      f"{(t / t_file - 1) * 100:+7.1f}% {scan * 1e3:9.1f} {opt(fan):>11} "
                      f"{t_merge * 1e3:9.2f} {opt(empty):>9}  {'yes' if ok else 'NO'}", flush=True)
    finally:
        if ray is not None and ray.is_initialized():
            ray.shutdown()
    report.save()
    if not all(r["exact"] for r in report.rows):
        sys.exit("a sharded answer differs from the one-file answer")


if __name__ == "__main__":
    common.run(main)
