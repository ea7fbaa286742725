"""Preparing an index beside np.save of the same matrix, in the same run.

Goals: <= 1.2 x np.save for dot (plain copy), <= 1.4 x for cosine (normalised);
peak extra memory about one copy of the input ("extra mem / input": the peak
resident size above the input's, divided by the input's size). An index is
flushed to disk before it is renamed into place and np.save is not, so
np.save followed by fsync is shown as well. Each case runs in a fresh process
so its peak resident size can be read.
Run: .venv/bin/python benchmarks/bench_prepare.py [--quick]
"""
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import shape_label  # noqa: E402

SHAPES = [(1_000_000, 128), (100_000, 768)]
QUICK_SHAPES = [(200_000, 128), (20_000, 768)]

CASE = r"""
import json, os, sys, time, numpy as np, lumvero
rows, dims, what, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
X = np.random.default_rng(0).standard_normal((rows, dims), dtype=np.float32)
def hwm():
    return int([l for l in open('/proc/self/status') if l.startswith('VmHWM')][0].split()[1]) * 1024
def rss():
    return int([l for l in open('/proc/self/status') if l.startswith('VmRSS')][0].split()[1]) * 1024
base = rss()
t = time.perf_counter()
if what == 'npsave':
    np.save(os.path.join(out, 'm.npy'), X)
elif what == 'npsave_fsync':
    with open(os.path.join(out, 'm.npy'), 'wb') as f:
        np.save(f, X)
        f.flush()
        os.fsync(f.fileno())
else:
    lumvero.py_prepare_bin_from_embeddings(X, dims, rows, 'b', 'f32', metric=what, output_dir=out)
elapsed = time.perf_counter() - t
print(json.dumps({'s': elapsed, 'extra': hwm() - base, 'input': X.nbytes}))
"""


def run(rows, dims, what, out):
    times = []
    for _ in range(common.repeats(3, 2)):
        r = subprocess.run([sys.executable, "-c", CASE, str(rows), str(dims), what, out],
                           capture_output=True, text=True, check=True)
        times.append(json.loads(r.stdout))
    return min(times, key=lambda d: d["s"])


def chart(report, path):
    series = {
        "lumvero prepare, dot": lambda r: r["who"] == "prepare dot",
        "lumvero prepare, cosine": lambda r: r["who"] == "prepare cosine",
        "NumPy np.save": lambda r: r["who"] == "np.save",
        "NumPy np.save + fsync": lambda r: r["who"] == "np.save+fsync",
    }
    common.bar_chart(report, path, "s", "seconds", series, higher_is_better=False, fmt="{:.2f}")


def main():
    info = common.machine_info()
    common.print_header("preparing an index", info)
    print("ratio = prepare time / np.save time (then / np.save + fsync time); extra mem / "
          "input = peak resident memory above the input's, divided by the input's size.")
    report = common.Report("bench_prepare", "Preparing an index", info)
    out = common.temp_dir()
    print(f"{'shape':>18} {'metric':>7} {'prepare s':>10} {'np.save s':>10} {'ratio':>6} "
          f"{'save+fsync s':>13} {'ratio':>6} {'extra mem / input':>18}")
    for rows, dims in (QUICK_SHAPES if common.QUICK else SHAPES):
        shape = shape_label(rows, dims)
        save = run(rows, dims, "npsave", out)
        synced = run(rows, dims, "npsave_fsync", out)
        report.add(shape=shape, who="np.save", s=save["s"])
        report.add(shape=shape, who="np.save+fsync", s=synced["s"])
        for metric, target in (("dot", 1.2), ("cosine", 1.4)):
            p = run(rows, dims, metric, out)
            report.add(shape=shape, who=f"prepare {metric}", s=p["s"],
                       extra_mem_share=p["extra"] / p["input"])
            print(f"{shape:>18} {metric:>7} {p['s']:10.3f} {save['s']:10.3f} "
                  f"{p['s'] / save['s']:6.2f} {synced['s']:13.3f} {p['s'] / synced['s']:6.2f} "
                  f"{p['extra'] / p['input']:18.2f}", flush=True)
            report.add_goal(f"{shape} {metric}",
                            common.goal(f"np.save / prepare ({metric})", save["s"] / p["s"],
                                        round(1 / target, 3)))
    report.save(chart)


if __name__ == "__main__":
    common.run(main)
