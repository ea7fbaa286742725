"""The room each test file checks, for the quick runs (`make test-<room>`:
that room's C++ program, then these files; `pytest -m <room>` selects the
same tests): the engine's rooms (src/engine/<room>), the writer (prepare),
and the surfaces above them. A file may serve several rooms.

    python rooms.py ROOM    prints the room's files
"""
import sys

ROOMS = {
    "format": ["test_format.py"],
    "prepare": ["test_prepare.py"],
    "search": ["test_search.py", "test_batch.py", "test_exactness.py", "test_blas.py"],
    "prefilter": ["test_exactness.py", "test_index.py"],
    "certify": ["test_certified.py", "test_explain.py"],
    "runtime": ["test_threads.py"],
    "kernels": [],
    "module": ["test_api.py", "test_stubs.py", "test_search.py", "test_batch.py"],
    "index": ["test_index.py", "test_index_files.py", "test_stream_build.py",
              "test_index_attrs.py", "test_langchain.py"],
    "shards": ["test_shards.py", "test_index_shards.py", "test_shards_ray.py"],
    "cli": ["test_cli.py"],
    "reliability": ["test_faults.py", "test_leaks.py", "test_concurrency.py"],
}


if __name__ == "__main__":
    print(" ".join(ROOMS[sys.argv[1]]))
