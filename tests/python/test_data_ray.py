"""Datasets written by Ray tasks, on a local Ray instance with 2 CPUs: the same rows as local
processes, and a task whose worker dies is played again without losing or repeating a game. With
TAVRIN_RL_TEST_RAY_CLUSTER=1 (scripts/test.sh sets it), also on the two-node cluster of
`conftest.ray_cluster` (token authentication), through both address forms."""

import os
import shutil
import signal
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("numpy")
pytest.importorskip("pyarrow", reason="datasets need pyarrow (pip install 'tavrin_rl[data]')")
ray = pytest.importorskip("ray", reason="ray is not installed for this interpreter "
                                        "(pip install 'tavrin_rl[ray]'; CI installs it on 3.11)")

from tavrin_rl import data  # noqa: E402
from tavrin_rl.data import _store, _write  # noqa: E402
from test_data import session_processes, start_cli  # noqa: E402

AGENTS = ("reach", "random", "greedy", "random")


@pytest.fixture(scope="module")
def local_ray():
    """One local instance for the module: starting Ray takes seconds."""
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             logging_level="ERROR")
    yield
    ray.shutdown()


def contents(path):
    dataset = data.open(path)
    return dataset.plies(), dataset.games()


@pytest.fixture(scope="module")
def local_run(tmp_path_factory):
    path = tmp_path_factory.mktemp("local") / "games"
    data.write_dataset(path, 10, AGENTS, 9, workers=1, chunk_size=4)
    return path


def test_ray_tasks_write_the_same_rows_as_local_processes(local_ray, local_run, tmp_path):
    summary = data.write_dataset(tmp_path / "games", 10, AGENTS, 9, ray=True, chunk_size=4)
    assert (summary.games, summary.shards, summary.status) == (10, 3, "complete")
    assert contents(tmp_path / "games") == contents(local_run)
    assert _store.read_manifest(tmp_path / "games")["runs"][0]["backend"].startswith("ray")


def test_a_task_whose_worker_dies_is_retried(local_ray, local_run, tmp_path, monkeypatch):
    import faults
    ray.cloudpickle.register_pickle_by_value(faults)  # Ray's workers do not see the tests' path
    marker = tmp_path / "died"
    monkeypatch.setattr(_write, "WORK", faults.failing_once(marker, 4, "exit"))
    data.write_dataset(tmp_path / "games", 10, AGENTS, 9, ray=True, chunk_size=4)
    assert marker.exists()  # the worker playing games 4 to 7 did die once
    plies, games = contents(tmp_path / "games")
    assert games.column("game").to_pylist() == list(range(10))  # none lost, none twice
    assert (plies, games) == contents(local_run)
    names = {p.name for p in Path(tmp_path / "games").rglob("*") if p.is_file()}
    assert not any(".tmp-" in name for name in names)


@pytest.mark.slow  # starts Ray in a command
def test_ctrl_c_while_ray_starts_leaves_no_process_behind(tmp_path):
    process = start_cli("--games", "100000", "--ray", "--out", str(tmp_path / "games"),
                        memory=None)  # Ray reserves far more address space than it uses
    try:
        deadline = time.monotonic() + 120
        while not session_processes(process.pid, "raylet") and time.monotonic() < deadline:
            time.sleep(0.01)
        os.killpg(process.pid, signal.SIGINT)  # while ray.init is still starting the instance
        _, stderr = process.communicate(timeout=120)
        assert process.returncode == 130, stderr
        deadline = time.monotonic() + 5
        while session_processes(process.pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert session_processes(process.pid) == []
    finally:
        process.kill()
        for pid in session_processes(process.pid):  # only what this test started
            os.kill(pid, signal.SIGKILL)


@pytest.mark.slow  # a two-node cluster and three runs of 200 games
def test_a_two_node_cluster_writes_the_same_rows(ray_cluster, tmp_path):
    _, address, client = ray_cluster
    written = {}
    for name, where in (("local", ["--workers", "1"]), ("ray", ["--ray", address]),
                        ("client", ["--ray", client])):
        done = ray_cluster.run(
            [sys.executable, "-m", "tavrin_rl", "--games", "200", "--seed", "3", "--chunk-size",
             "20", "--out", str(tmp_path / name), *where],
            reset=lambda name=name: shutil.rmtree(tmp_path / name, ignore_errors=True))
        assert done.returncode == 0, done.stderr
        written[name] = contents(tmp_path / name)
    assert written["ray"] == written["client"] == written["local"]
