"""Datasets written by Ray tasks, on a local Ray instance with 2 CPUs: the same rows as local
processes, and a task whose worker dies is played again without losing or repeating a game. With
TAVRIN_RL_TEST_RAY_CLUSTER=1 (scripts/test.sh sets it), also on a two-node cluster started with
`ray start` on 127.0.0.1, with token authentication, through both address forms."""

import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
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


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def ray_cluster(tmp_path):
    """A head and a second node on 127.0.0.1 sharing a token; yields (env, GCS address, client
    address). Each node's processes stay in the session its `ray start` began, and only those
    are ended afterwards: `ray stop` would end every Ray instance on the machine."""
    if os.environ.get("TAVRIN_RL_TEST_RAY_CLUSTER") != "1":
        pytest.skip("a real Ray cluster runs only with TAVRIN_RL_TEST_RAY_CLUSTER=1 "
                    "(set by scripts/test.sh)")
    token = tmp_path / "token"
    token.write_text(secrets.token_hex(32))
    env = {**os.environ, "RAY_AUTH_MODE": "token", "RAY_AUTH_TOKEN_PATH": str(token)}
    port, client = free_port(), free_port()
    sessions = []

    def start(*options):
        node = subprocess.Popen(
            [str(Path(sys.executable).parent / "ray"), "start", *options,
             "--node-ip-address", "127.0.0.1", "--num-cpus", "1", "--disable-usage-stats",
             "--dashboard-agent-listen-port", str(free_port())],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            start_new_session=True)
        sessions.append(node.pid)
        output, _ = node.communicate(timeout=180)
        assert node.returncode == 0, output

    # short: Ray's socket paths under it must fit in 107 bytes, which tmp_path's may not
    temp = tempfile.mkdtemp(prefix="tavrin-ray-")
    try:
        start("--head", "--port", str(port), "--ray-client-server-port", str(client),
              "--include-dashboard", "false", "--temp-dir", temp)
        start("--address", f"127.0.0.1:{port}")
        yield env, f"127.0.0.1:{port}", f"ray://127.0.0.1:{client}"
    finally:
        end_sessions(sessions)
        shutil.rmtree(temp, ignore_errors=True)


def end_sessions(leaders):
    """SIGTERM to every process of these sessions, SIGKILL to those left 10 s later."""
    for how in (signal.SIGTERM, signal.SIGKILL):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            left = [pid for leader in leaders for pid in session_processes(leader)]
            if not left:
                return
            for pid in left:
                try:
                    os.kill(pid, how)
                except ProcessLookupError:
                    pass
            time.sleep(0.5)


def test_a_two_node_cluster_writes_the_same_rows(ray_cluster, tmp_path):
    env, address, client = ray_cluster
    written = {}
    for name, where in (("local", ["--workers", "1"]), ("ray", ["--ray", address]),
                        ("client", ["--ray", client])):
        done = subprocess.run(
            [sys.executable, "-m", "tavrin_rl", "--games", "200", "--seed", "3", "--chunk-size",
             "20", "--out", str(tmp_path / name), *where], env=env, capture_output=True,
            text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        written[name] = contents(tmp_path / name)
    assert written["ray"] == written["client"] == written["local"]
