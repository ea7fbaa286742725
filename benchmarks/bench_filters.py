"""Index.search with where= (a predicate over an attribute column) beside
the same rows passed as allow=, and beside LanceDB's flat (exhaustive)
search with the same filter.

1,000,000 x 128 embedding-like rows (clustered unit vectors, cosine) with an
integer column g = id % 100; the predicate g = 7 selects 1 % of the rows.
Timed side by side, median of rounds: single queries (k = 10) and one call
of 100 queries, for
  * lumvero where=("g = ?", [7])  (DuckDB over the Arrow column, then the
    exact scan of the selected rows),
  * lumvero allow=ids  (the same rows' ids, computed beforehand),
  * LanceDB: a table of the same vectors and g, searched without a vector
    index (exhaustive), .where("g = 7", prefilter=True), one query a call.

A repeated SQL predicate's rows are remembered until the attributes change;
"where= new pred." evaluates the predicate again for every query.

Goals: where= within 2 x of allow=; where= >= 100 x faster than LanceDB.
The machine may be shared: figures are noisy, rounds are interleaved.
Run: .venv/bin/python benchmarks/bench_filters.py [--quick]
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import shape_label, unit_vectors  # noqa: E402

from lumvero_contrib import Index  # noqa: E402

try:
    import lancedb
    import pyarrow as pa
except ImportError:  # installed by `make bench`
    lancedb = None

K = 10
SINGLE = 20
BATCH = 100
SHAPE = (1_000_000, 128)
QUICK_SHAPE = (100_000, 128)


def lance_table(directory, X, g):
    db = lancedb.connect(directory)
    vectors = pa.FixedSizeListArray.from_arrays(pa.array(X.reshape(-1)), X.shape[1])
    return db.create_table("rows", data=pa.table({"vector": vectors, "g": pa.array(g)}))


def lance_search(table, q):
    return (table.search(q).distance_type("cosine").where("g = 7", prefilter=True)
            .limit(K).to_arrow())


def main():
    info = common.machine_info()
    common.print_header("Index where= against allow= and LanceDB", info)
    report = common.Report("bench_filters", "where= (1 % of the rows) against allow= and "
                           "LanceDB's flat search", info)
    rows, dims = QUICK_SHAPE if common.QUICK else SHAPE
    shape = shape_label(rows, dims)
    repeat = common.repeats(5, 3)
    X = unit_vectors(rows, dims, seed=1, clusters=64)
    Q = unit_vectors(BATCH, dims, seed=2, clusters=64)
    ids = np.arange(rows, dtype=np.int64)
    g = ids % 100
    ix = Index(dims, metric="cosine")
    ix.add(X, ids=ids, attrs={"g": g})
    allow = ids[g == 7]
    where = ("g = ?", [7])
    got, want = ix.search(Q, K, where=where), ix.search(Q, K, allow=allow)
    assert np.array_equal(got[1], want[1]) and got[0].tobytes() == want[0].tobytes()
    print(f"  {shape}, {allow.size:,} rows selected", flush=True)
    def fresh(q):
        ix._attrs.chosen.clear()  # the predicate evaluated again, as a new one would be
        return ix.search(q, K, where=where)

    contenders = {
        "where= single": lambda: [ix.search(q, K, where=where) for q in Q[:SINGLE]],
        "where= new pred.": lambda: [fresh(q) for q in Q[:SINGLE]],
        "allow= single": lambda: [ix.search(q, K, allow=allow) for q in Q[:SINGLE]],
        "where= batch": lambda: ix.search(Q, K, where=where),
        "allow= batch": lambda: ix.search(Q, K, allow=allow),
    }
    if lancedb is not None:
        table = lance_table(common.temp_dir(), X, g)
        lance_ids = lance_search(table, Q[0])
        assert lance_ids.num_rows == K
        contenders["LanceDB single"] = lambda: [lance_search(table, q) for q in Q[:SINGLE]]
    else:
        print("  lancedb not installed: no LanceDB figures", flush=True)
    med = common.side_by_side(contenders, repeat=repeat)
    for who, s in med.items():
        per = s / (1 if "batch" in who else SINGLE)
        report.add(kind="filter", shape=shape, who=who, seconds=s, seconds_per_call=per)
        print(f"    {who:<16} {s:8.4f} s ({per * 1e3:8.3f} ms a call)", flush=True)
    for form in ("single", "batch"):
        report.add_goal(f"{shape} {form}", common.goal(
            f"allow= time / where= time ({form}; goal: where= within 2 x)",
            med[f"allow= {form}"] / med[f"where= {form}"], 0.5))
    if "LanceDB single" in med:
        report.add_goal(f"{shape} single", common.goal(
            "LanceDB flat search with the filter / where= (single queries)",
            med["LanceDB single"] / med["where= single"], 100.0))
    report.add_goal(f"{shape} single", common.goal(
        "allow= time / where= time, each query a new predicate (DuckDB evaluates it each time)",
        med["allow= single"] / med["where= new pred."], 0.5))
    report.notes.append("where= and allow= select the same rows and give the same ids and "
                        "score bits; a repeated SQL predicate's rows are remembered until the "
                        "attributes change ('where= new pred.' evaluates it every query); "
                        "LanceDB searched without a vector index (exhaustive), "
                        "prefilter=True.")
    report.save()


if __name__ == "__main__":
    common.run(main)
