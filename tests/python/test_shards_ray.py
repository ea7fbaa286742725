"""Sharded search on a Ray cluster that these tests start (two CPUs) and
stop: one actor per shard, bit-identical answers, actors that die."""
import os
import signal
import socket
import time

import numpy as np
import pytest

import ray
from lumvero_contrib.shards import ShardedIndex, ShardError, build_shards
from shard_helpers import METRICS, assert_bit_identical, make_data, one_file, reference

ROWS, DIMS, NQ = 203, 20, 9

# Ray's own processes would run with the sanitizer runtime preloaded, which
# costs minutes and checks Ray rather than this code; the local backend's
# tests cover the same merge under the sanitizer.
pytestmark = pytest.mark.skipif(bool(os.environ.get("LUMVO_SANITIZED")),
                                reason="Ray workers under the sanitizer runtime")


def start_local_ray():
    # "local": a cluster of this process's own, even when another one runs on
    # the machine.
    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False,
             configure_logging=False)


@pytest.fixture(scope="module", autouse=True)
def cluster():
    start_local_ray()
    yield
    ray.shutdown()


def named_shard_actors():
    return sorted(a["name"] for a in ray.util.list_named_actors(all_namespaces=True)
                  if a["name"].startswith("lumvero-shard-"))


def mixed_data(seed):
    """Random rows and tie-heavy rows in one matrix, with both kinds of query."""
    Xr, Qr = make_data("random", ROWS // 2, DIMS, NQ // 2, seed)
    Xt, Qt = make_data("ties", ROWS - ROWS // 2, DIMS, NQ - NQ // 2, seed)
    return np.vstack([Xt, Xr]), np.vstack([Qt, Qr])


@pytest.mark.parametrize("n_shards", [1, 3, 8])
@pytest.mark.parametrize("metric", METRICS)
def test_ray_answer_is_the_one_file_answer(tmp_path, metric, n_shards):
    X, Q = mixed_data(n_shards)
    whole = one_file(X, metric, tmp_path)
    manifest = build_shards(X, tmp_path / "shards", n_shards, metric=metric)
    with ShardedIndex(manifest, backend="ray") as idx:
        names = idx.actor_names
        assert len(names) == n_shards and all(n.startswith("lumvero-shard-") for n in names)
        assert named_shard_actors() == sorted(names)
        for k in [1, 10, 40, ROWS + 5]:
            assert_bit_identical(idx.search(Q, k), reference(whole, Q, k, metric))
        assert_bit_identical(idx.search(Q[0], 5), reference(whole, Q[:1], 5, metric))
        assert {i["pid"] for i in idx.shard_info()}.isdisjoint({os.getpid()})
        assert idx.retries == 0
    assert named_shard_actors() == []


def process_gone(pid, timeout=30):
    """Waits until pid has exited (or is a zombie)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().split(")")[-1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.05)
    return False


@pytest.fixture
def ray_index(tmp_path):
    X, Q = mixed_data(7)
    whole = one_file(X, "cosine", tmp_path)
    manifest = build_shards(X, tmp_path / "shards", 3, metric="cosine")
    idx = ShardedIndex(manifest, backend="ray")
    yield idx, Q, whole, tmp_path / "shards"
    idx.close()


def test_actor_killed_mid_query_is_restarted_and_asked_again(ray_index, monkeypatch):
    idx, Q, whole, _ = ray_index
    victim = idx.shard_info()[1]["pid"]
    submit = idx._impl._submit

    def submit_then_kill(qref, k):
        # Frozen before the queries reach it, killed after they were sent:
        # shard 1's answer is in flight when its actor dies.
        os.kill(victim, signal.SIGSTOP)
        refs = submit(qref, k)
        os.kill(victim, signal.SIGKILL)
        assert process_gone(victim)
        return refs

    monkeypatch.setattr(idx._impl, "_submit", submit_then_kill)
    old_names = idx.actor_names
    got = idx.search(Q, 10)
    monkeypatch.undo()
    assert_bit_identical(got, reference(whole, Q, 10, "cosine"))
    assert idx.retries == 1
    info = idx.shard_info()
    assert info[1]["pid"] != victim
    new_names = idx.actor_names
    assert new_names[0] == old_names[0] and new_names[2] == old_names[2]
    assert new_names[1] != old_names[1] and new_names[1].startswith("lumvero-shard-00001-")
    assert named_shard_actors() == sorted(new_names)
    # The restarted actor keeps serving.
    assert_bit_identical(idx.search(Q, 40), reference(whole, Q, 40, "cosine"))
    assert idx.retries == 1


def kill_actor(idx, shard):
    pid = idx.shard_info()[shard]["pid"]
    ray.kill(ray.get_actor(idx.actor_names[shard]), no_restart=True)
    assert process_gone(pid)


def test_actor_killed_between_queries(ray_index):
    idx, Q, whole, _ = ray_index
    kill_actor(idx, 2)
    assert_bit_identical(idx.search(Q, 10), reference(whole, Q, 10, "cosine"))
    assert idx.retries == 1


@pytest.mark.parametrize("how, cause", [
    ("flip", r"content hash [0-9a-f]{64} does not match the manifest's [0-9a-f]{64}"),
    ("remove", r"Failed to open file .*shard-00001_f32\.bin: No such file or directory"),
])
def test_shard_that_cannot_come_back_raises_naming_it(ray_index, how, cause):
    from test_shards import damage

    idx, Q, _, directory = ray_index
    damage(directory / "shard-00001_f32.bin", how)
    kill_actor(idx, 1)
    for _ in range(2):  # and again: still no partial answer
        with pytest.raises(ShardError, match=r"^shard 1 \(shard-00001_f32\.bin\) did not answer "
                                             r"\(.*\) and failed again after a restart \(.*"
                                             + cause) as e:
            idx.search(Q, 10)
        assert (e.value.shard, e.value.file) == (1, "shard-00001_f32.bin")


@pytest.mark.parametrize("how", ["flip", "append"])
def test_damaged_shard_is_refused_at_open_on_ray(tmp_path, how):
    from test_shards import damage

    X, _ = mixed_data(3)
    manifest = build_shards(X, tmp_path, 3, metric="euclidean")
    damage(tmp_path / "shard-00002_f32.bin", how)
    with pytest.raises(ValueError, match=r"^shard 2 \(shard-00002_f32\.bin\): content hash "
                                         r"[0-9a-f]{64} does not match the manifest's"):
        ShardedIndex(manifest, backend="ray")
    # No actor of the refused index is left running.
    deadline = time.monotonic() + 30
    while named_shard_actors() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert named_shard_actors() == []


def test_actor_options_are_passed_on(tmp_path):
    X, Q = mixed_data(5)
    whole = one_file(X, "dot", tmp_path)
    manifest = build_shards(X, tmp_path / "s", 2, metric="dot")
    seen = []

    def options(i, entry):
        seen.append((i, entry["file"], entry["first_row"], entry["rows"]))
        return {"num_cpus": 0.5}

    with ShardedIndex(manifest, backend="ray", actor_options=options) as idx:
        assert_bit_identical(idx.search(Q, 10), reference(whole, Q, 10, "dot"))
    assert seen == [(0, "shard-00000_f32.bin", 0, 102), (1, "shard-00001_f32.bin", 102, 101)]


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("case", ["unreachable", "unreachable-from-environment",
                                  "stopped-actor", "failing-shard"])
def test_waits_are_bounded_and_errors_readable(ray_index, case):
    """An unreachable cluster and a stopped actor end in bounded time; a
    shard that fails twice is reported by the first cause of each failure,
    in plain text."""
    from test_cli import run

    idx, Q, whole, directory = ray_index
    if case.startswith("unreachable"):
        address = f"127.0.0.1:{closed_port()}"
        np.save(directory / "q.npy", Q)
        # Given on the command line with a wait, or left to Ray to find in
        # the environment with the default wait.
        given = case == "unreachable"
        r = run("search", directory / "manifest.json", directory / "q.npy", "-k", 3, "--backend",
                "ray", *(["--ray-address", address, "--timeout", "5"] if given else []),
                env={"RAY_ADDRESS": "" if given else address}, timeout=60)
        assert (r.returncode, r.stdout) == (2, "")
        assert r.stderr == (f"lumvero-index: error: cannot reach the Ray cluster at {address}: "
                            "Connection refused\n")
    elif case == "stopped-actor":
        idx.close()
        with ShardedIndex(directory / "manifest.json", backend="ray", timeout=10) as idx:
            victim = idx.shard_info()[1]["pid"]
            os.kill(victim, signal.SIGSTOP)
            assert_bit_identical(idx.search(Q, 10), reference(whole, Q, 10, "cosine"))
            assert idx.retries == 1 and process_gone(victim)
    else:
        wrong = np.zeros((2, DIMS + 1), np.float32)  # past the front's own checks
        with pytest.raises(ShardError) as e:
            idx._impl.search(wrong, 3)
        cause = f"ValueError: {engine_message(whole, wrong)}"
        assert str(e.value) == (f"shard 0 (shard-00000_f32.bin) did not answer ({cause}) and "
                                f"failed again after a restart ({cause})")
        assert isinstance(e.value.__cause__, ray.exceptions.RayTaskError)


def engine_message(engine, queries):
    with pytest.raises(ValueError) as e:
        engine.query_batch_arrays(queries, 3)
    return str(e.value)


@pytest.fixture
def two_nodes():
    """A head and a worker node, each a raylet with its own CPU, on this
    machine; this module's single-node Ray is stopped meanwhile."""
    from ray.cluster_utils import Cluster

    ray.shutdown()
    nodes = Cluster(initialize_head=True, head_node_args={"num_cpus": 1})
    try:
        worker = nodes.add_node(num_cpus=1, resources={"worker": 1})
        nodes.wait_for_nodes()
        yield nodes, worker
    finally:
        ray.shutdown()
        nodes.shutdown()
        start_local_ray()


def test_two_node_cluster_by_address_with_placement_and_a_node_that_dies(tmp_path, two_nodes):
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

    nodes, worker = two_nodes
    on = [nodes.head_node.node_id, worker.node_id]
    X, Q = mixed_data(11)
    whole = one_file(X, "dot", tmp_path)
    manifest = build_shards(X, tmp_path / "shards", 2, metric="dot")
    want = reference(whole, Q, 10, "dot")

    def node_local(i, entry):  # shard i's file is only on node i
        return {"scheduling_strategy": NodeAffinitySchedulingStrategy(on[i], soft=False)}

    def shared_files(i, entry):  # every node sees every file: node i while it is up
        up = [n["NodeID"] for n in ray.nodes() if n["Alive"]]
        node = on[i] if on[i] in up else up[0]
        return {"scheduling_strategy": NodeAffinitySchedulingStrategy(node, soft=False)}

    with ShardedIndex(manifest, backend="ray", ray_address=nodes.address,
                      actor_options=shared_files) as shared, \
         ShardedIndex(manifest, backend="ray", actor_options=node_local) as local:
        for idx in (shared, local):
            assert [i["node_id"] for i in idx.shard_info()] == on
            assert_bit_identical(idx.search(Q, 10), want)
        nodes.remove_node(worker)
        assert_bit_identical(shared.search(Q, 10), want)
        assert shared.retries == 1
        assert [i["node_id"] for i in shared.shard_info()] == [on[0], on[0]]
        with pytest.raises(ShardError) as e:
            local.search(Q, 10)
        assert (e.value.shard, e.value.file) == (1, "shard-00001_f32.bin")
    # The index that connected by address disconnects when it closes.
    assert not ray.is_initialized()
