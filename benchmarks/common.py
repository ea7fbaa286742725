"""Helpers shared by the benchmarks: the machine header, data sets, temporary
index files that never outlive the run, interleaved timing, and the JSON +
PNG report every benchmark writes: to benchmarks/out/ (not tracked), or with
--results to benchmarks/results/, the committed figures the docs show."""
import atexit
import datetime
import json
import os
import platform
import shutil
import signal
import struct
import sys
import tempfile
import time

import numpy as np

# FAISS's OpenMP threads spin after a search by default and take the CPUs
# from whatever is timed next (measured here: lumvero's queries right after a
# two-thread FAISS search took twice as long). Set before any benchmark
# imports FAISS and its OpenMP runtime starts; one-thread figures are
# unaffected.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

METRIC_IDS = {"cosine": 0, "dot": 1, "euclidean": 2}
SHAPES = [(100_000, 384), (1_000_000, 128), (200_000, 768)]
# --quick (make bench-quick): the same dims, a tenth of the rows, fewer runs.
QUICK_SHAPES = [(10_000, 384), (100_000, 128), (20_000, 768)]
QUICK = "--quick" in sys.argv[1:]
# An ordinary run leaves the checkout as it was; only --results (make
# bench-results) replaces the committed figures.
RESULTS = "--results" in sys.argv[1:]
RESULTS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                           "results" if RESULTS else "out")


def shapes():
    return QUICK_SHAPES if QUICK else SHAPES


def repeats(full, quick):
    return quick if QUICK else full


# ---------------------------------------------------------------------------
# The machine, the libraries and their versions
# ---------------------------------------------------------------------------
def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def cpu_family_model():
    fam = mod = None
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("cpu family") and fam is None:
                    fam = line.split(":", 1)[1].strip()
                elif line.startswith("model\t") and mod is None:
                    mod = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return f"family {fam} model {mod}"


def _version(dist):
    from importlib import metadata

    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def blas_libraries():
    """threadpoolctl's BLAS entries, split into lumvero's and the others.

    lumvero's is the one importing lumvero brought in (scipy-openblas32 in the
    default build); NumPy's is the one under numpy.libs."""
    import threadpoolctl

    import lumvero  # noqa: F401  (its BLAS must be loaded to be listed)

    infos = [i for i in threadpoolctl.threadpool_info() if i.get("user_api") == "blas"]
    out = {"lumvero": None, "numpy": None, "other": []}
    for i in infos:
        entry = {k: i.get(k) for k in ("filepath", "version", "architecture", "num_threads",
                                       "threading_layer")}
        path = i.get("filepath") or ""
        if "scipy_openblas32" in path and out["lumvero"] is None:
            out["lumvero"] = entry
        elif "numpy.libs" in path or "numpy/" in path:
            out["numpy"] = entry
        else:
            out["other"].append(entry)
    if out["lumvero"] is None and out["other"]:  # a system-BLAS build
        out["lumvero"] = out["other"].pop(0)
    return out


def machine_info():
    blas = blas_libraries()
    try:
        affinity = len(os.sched_getaffinity(0))
    except OSError:
        affinity = os.cpu_count()
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "host": platform.node(),
        "cpu_model": cpu_model(),
        "cpu_id": cpu_family_model(),
        "cpus": affinity,
        "last_level_cache_bytes": last_level_cache_bytes(),
        "blas_core": (blas["lumvero"] or {}).get("architecture") or "unknown",
        "blas": blas,
        "threads": os.environ.get("LUMVO_THREADS", "(unset: one per CPU)"),
        "quick": QUICK,
        "versions": {
            "python": platform.python_version(),
            "lumvero": _version("lumvero"),
            "numpy": np.__version__,
            "scipy-openblas32": _version("scipy-openblas32"),
            "faiss-cpu": _version("faiss-cpu"),
            "threadpoolctl": _version("threadpoolctl"),
            "ray": _version("ray"),
        },
    }


def last_level_cache_bytes():
    """Size of the largest CPU cache (bytes), 0 when unknown."""
    best = 0
    base = "/sys/devices/system/cpu/cpu0/cache"
    try:
        for d in os.listdir(base):
            try:
                with open(os.path.join(base, d, "size")) as f:
                    text = f.read().strip()
            except OSError:
                continue
            mult = {"K": 1024, "M": 1024 ** 2, "G": 1024 ** 3}.get(text[-1:], 1)
            best = max(best, int(text.rstrip("KMG")) * mult)
    except (OSError, ValueError):
        pass
    return best


def print_header(title, info):
    b = info["blas"]
    lb, nb = b["lumvero"] or {}, b["numpy"] or {}
    print(f"== {title}{' (quick)' if info['quick'] else ''} ==")
    print(f"CPU: {info['cpu_model']} ({info['cpu_id']}), {info['cpus']} CPUs available; "
          f"LUMVO_THREADS={info['threads']}")
    print(f"BLAS core: {info['blas_core']} (lumvero: OpenBLAS {lb.get('version')}, "
          f"{lb.get('filepath')}); NumPy's BLAS: {nb.get('architecture')} "
          f"(OpenBLAS {nb.get('version')})")
    v = info["versions"]
    print("versions: " + ", ".join(f"{k} {v[k]}" for k in v if v[k]), flush=True)


# ---------------------------------------------------------------------------
# Data and temporary index files
# ---------------------------------------------------------------------------
def unit_vectors(rows, dims, seed=0, clusters=0):
    rng = np.random.default_rng(seed)
    if clusters:
        centres = rng.standard_normal((clusters, dims)).astype(np.float32)
        X = centres[rng.integers(0, clusters, rows)]
        X += 0.3 * rng.standard_normal((rows, dims), dtype=np.float32)
    else:
        X = rng.standard_normal((rows, dims), dtype=np.float32)
    X /= np.linalg.norm(X, axis=1, keepdims=True)
    return X


_TEMP_DIRS = []


def _remove_temp_dirs():
    while _TEMP_DIRS:
        shutil.rmtree(_TEMP_DIRS.pop(), ignore_errors=True)


def _on_signal(signum, frame):
    # SIGTERM/SIGHUP: unwind like Ctrl-C does, so every finally block and the
    # atexit hook below run and remove the index files.
    raise SystemExit(128 + signum)


atexit.register(_remove_temp_dirs)
for _sig in (signal.SIGTERM, signal.SIGHUP):
    signal.signal(_sig, _on_signal)
# Ctrl-C raises KeyboardInterrupt even when the shell that started us ignored
# SIGINT (a background job of a script does), so the files go then too.
signal.signal(signal.SIGINT, signal.default_int_handler)


def temp_dir():
    """A directory for index files, removed when the benchmark ends by any
    path: normal exit, an exception, Ctrl-C (KeyboardInterrupt) or SIGTERM."""
    d = tempfile.mkdtemp(prefix="lumvero-bench-")
    _TEMP_DIRS.append(d)
    return d


def write_index(X, metric="cosine", directory=None):
    directory = directory or temp_dir()
    rows, dims = X.shape
    path = os.path.join(directory, f"bench_{rows}x{dims}_{metric}.bin")
    with open(path, "wb") as f:
        f.write(struct.pack("<III", dims, rows, METRIC_IDS[metric]))
        X.astype("<f4", copy=False).tofile(f)
    return path


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------
def median_time(fn, repeat=5, warmup=1):
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return float(np.median(times))


def side_by_side(contenders, repeat, warmup=1):
    """Median seconds per contender, the contenders timed in turn within each
    round so that noise from other work on the machine hits all of them."""
    for _ in range(warmup):
        for fn in contenders.values():
            fn()
    times = {name: [] for name in contenders}
    for _ in range(repeat):
        for name, fn in contenders.items():
            t = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t)
    return {name: float(np.median(ts)) for name, ts in times.items()}


# Several times the last-level cache, so that no pass finds the buffer in it.
_STREAM_BUFFER = None


def stream_buffer():
    """The buffer memory_bandwidth reads: 8 x the last-level cache, at least
    256 MB, filled (so every page is backed), allocated once per run."""
    global _STREAM_BUFFER
    if _STREAM_BUFFER is None:
        nbytes = max(8 * last_level_cache_bytes(), 256 << 20)
        _STREAM_BUFFER = np.random.default_rng(0).integers(0, 2**32, nbytes // 4, dtype=np.uint32)
    return _STREAM_BUFFER


def memory_bandwidth(threads, repeat=5):
    """GB/s of one read of memory that is not in the CPU caches: an integer OR
    over stream_buffer(), split over `threads` threads (NumPy releases the GIL
    inside it), median of `repeat` passes. The same buffer size, pass and
    thread count every time, so runs can be compared; no scan that reads
    every value of an index larger than the caches can beat it."""
    from concurrent.futures import ThreadPoolExecutor

    buf = stream_buffer()
    parts = np.array_split(buf, threads)
    with ThreadPoolExecutor(threads) as ex:
        def scan():
            list(ex.map(np.bitwise_or.reduce, parts))
        return buf.nbytes / median_time(scan, repeat=repeat) / 1e9


def floor_applies(nbytes):
    """Whether a memory-bandwidth floor bounds a scan of nbytes: only when
    the data is at least twice the last-level cache, so that a pass cannot
    find a good share of it still cached from the one before."""
    llc = last_level_cache_bytes()
    return llc > 0 and nbytes >= 2 * llc


def goal(label, ratio, target):
    met = ratio >= target
    return {"goal": label, "ratio": round(ratio, 3), "target": target, "met": met}


def print_goal(g):
    print(f"    {'MET    ' if g['met'] else 'NOT MET'} {g['goal']}: {g['ratio']:.2f} "
          f"(goal >= {g['target']})", flush=True)


# ---------------------------------------------------------------------------
# Report: <RESULTS_DIR>/<name>.json and <name>.png
# ---------------------------------------------------------------------------
class Report:
    """Collects one benchmark's figures and writes them as JSON and a chart."""

    def __init__(self, name, title, info):
        self.name, self.title, self.info = name, title, info
        self.rows = []
        self.goals = []
        self.notes = []
        self.started = time.perf_counter()

    def add(self, **fields):
        self.rows.append(fields)

    def add_goal(self, shape, g):
        g = dict(g, shape=shape)
        self.goals.append(g)
        print_goal(g)

    def save(self, chart=None):
        os.makedirs(RESULTS_DIR, exist_ok=True)
        suffix = "-quick" if QUICK else ""
        base = os.path.join(RESULTS_DIR, self.name + suffix)
        elapsed = time.perf_counter() - self.started
        doc = {"benchmark": self.name, "title": self.title, "machine": self.info,
               "elapsed_s": round(elapsed, 1),
               "notes": self.notes, "goals": self.goals, "figures": self.rows}
        with open(base + ".json", "w") as f:
            json.dump(doc, f, indent=1)
        print(f"wrote {base}.json ({self.name} took {elapsed:.0f} s)", flush=True)
        if chart is not None:
            try:
                chart(self, base + ".png")
                print(f"wrote {base}.png", flush=True)
            except ImportError:
                print("matplotlib not installed: no chart", flush=True)


def bar_chart(report, path, value_key, ylabel, series, floor_key=None, floor_label=None,
              higher_is_better=True, fmt="{:,.0f}"):
    """Grouped bars, one group per shape, one bar per series (label -> row
    filter); an optional horizontal mark per group for the machine's floor."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    groups = []
    for r in report.rows:
        if r["shape"] not in groups:
            groups.append(r["shape"])
    width = 0.8 / max(len(series), 1)
    fig, ax = plt.subplots(figsize=(10, 5.2))
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for si, (label, pick) in enumerate(series.items()):
        xs, ys = [], []
        for gi, g in enumerate(groups):
            hit = [r for r in report.rows if r["shape"] == g and pick(r)]
            if hit:
                xs.append(gi - 0.4 + width * (si + 0.5))
                ys.append(hit[0][value_key])
        bars = ax.bar(xs, ys, width * 0.95, label=label, color=colours[si % len(colours)])
        ax.bar_label(bars, labels=[fmt.format(y) for y in ys], fontsize=7, padding=1)
    if floor_key:
        for gi, g in enumerate(groups):
            fl = [r[floor_key] for r in report.rows if r["shape"] == g and r.get(floor_key)]
            if fl:
                ax.hlines(fl[0], gi - 0.45, gi + 0.45, colors="black", linestyles="dashed",
                          label=floor_label if gi == 0 else None)
    ax.set_xticks(range(len(groups)))
    ax.set_xticklabels(groups)
    ax.set_ylabel(ylabel + ("  (higher is better)" if higher_is_better else "  (lower is better)"))
    m = report.info
    ax.set_title(f"{report.title}\n{m['cpu_model']}, {m['cpus']} CPUs, BLAS core "
                 f"{m['blas_core']}{' (quick)' if m['quick'] else ''}", fontsize=10)
    ax.legend(fontsize=8, loc="best")
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def shape_label(rows, dims):
    return f"{rows:,} x {dims}"


def run(main):
    """Runs a benchmark's main; Ctrl-C stops it with a short note (the
    temporary index files are removed on the way out)."""
    try:
        main()
    except KeyboardInterrupt:
        _remove_temp_dirs()
        print("\ninterrupted: temporary index files removed", file=sys.stderr)
        sys.exit(130)


def faiss_single_query(faiss, X, k):
    """FAISS's exact inner-product index over X and, for one and two
    threads, a function answering one query ("faiss 1", "faiss 2")."""
    index = faiss.IndexFlatIP(X.shape[1])
    index.add(X)
    contenders = {}
    for t in (1, 2):
        def search(q, t=t):
            faiss.omp_set_num_threads(t)
            index.search(q[None, :], k)
        contenders[f"faiss {t}"] = search
    return index, contenders


def query_by_query(contenders, Q, threads):
    """Every contender on each query in turn, so that noise hits all alike,
    with the memory bandwidth sampled four times along the way (GB/s).
    Returns the median milliseconds per contender and the bandwidth samples."""
    times = {name: [] for name in contenders}
    floor_gbs = []
    nq = len(Q)
    for i, q in enumerate(Q):
        for name, fn in contenders.items():
            t = time.perf_counter()
            fn(q)
            times[name].append(time.perf_counter() - t)
        if i % max(nq // 4, 1) == 0:
            floor_gbs.append(memory_bandwidth(threads))
    return {name: float(np.median(ts)) * 1e3 for name, ts in times.items()}, floor_gbs
