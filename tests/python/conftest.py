"""What the package's tests share: child processes that start with SIGINT at its default, and one
two-node Ray cluster for the tests that need a real one."""

from __future__ import annotations

import os
import resource
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from collections.abc import Callable
from typing import NamedTuple

import pytest

from processes import end_sessions, free_port, wait_for_port

# A background job of a non-interactive shell (`bash scripts/test.sh &`, or CI's runner) starts
# with SIGINT ignored, and a child keeps an ignored signal across exec: the tests that stop a
# command with Ctrl-C would then find it, rightly, still running. With a handler of our own
# installed, every child this process starts begins with SIGINT at its default, as under a
# terminal. Python's own handler (KeyboardInterrupt) is what pytest expects.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


class RayCluster(NamedTuple):
    env: dict[str, str]   # the environment a driver needs (token authentication)
    address: str          # the GCS address, for --ray HOST:PORT
    client: str           # the Ray Client address, ray://HOST:PORT

    def run(self, args: list[str], reset: Callable[[], None] | None = None,
            timeout: float = 300) -> subprocess.CompletedProcess[str]:
        """Runs a driver command on the cluster. Ray Client starts a server process for each
        connection, and on a loaded machine that start can fail ("Starting Ray client server
        failed") before any of our code runs: such a run is tried again, up to three times in
        all, after `reset()` (which clears what the failed attempt left)."""
        for attempt in range(3):
            done = subprocess.run(args, env=self.env, capture_output=True, text=True,
                                  timeout=timeout)
            if done.returncode == 0 or "Starting Ray client server failed" not in done.stderr:
                return done
            if reset is not None:
                reset()
        return done


# Run in a driver process of its own, so that this one never joins the cluster.
WAIT_FOR_NODES = """
import sys, time, ray
ray.init(address=sys.argv[1], logging_level="ERROR", log_to_driver=False)
deadline = time.monotonic() + float(sys.argv[2])
while (alive := sum(node["Alive"] for node in ray.nodes())) < 2:
    if time.monotonic() > deadline:
        sys.exit(f"{alive} of 2 nodes alive after {sys.argv[2]} s")
    time.sleep(0.5)
"""
CONNECT = """
import sys, ray
ray.init(address=sys.argv[1], logging_level="ERROR", log_to_driver=False)
"""


@pytest.fixture(scope="session")
def ray_cluster(tmp_path_factory):
    """A head and a second node on 127.0.0.1 sharing a token, started once for the session and
    ready: both nodes alive and the Ray Client server listening. On a loaded machine Ray's start
    can fail ("Starting Ray client server failed"); each start is tried three times on fresh
    ports. Each node's processes stay in the session its `ray start` began, and only those are
    ended afterwards: `ray stop` would end every Ray instance on the machine."""
    if os.environ.get("TAVRIN_RL_TEST_RAY_CLUSTER") != "1":
        pytest.skip("a real Ray cluster runs only with TAVRIN_RL_TEST_RAY_CLUSTER=1 "
                    "(set by scripts/test.sh)")
    pytest.importorskip("ray", reason="ray is not installed (pip install 'tavrin_rl[ray]')")
    token = tmp_path_factory.mktemp("ray") / "token"
    token.write_text(secrets.token_hex(32))
    env = {**os.environ, "RAY_AUTH_MODE": "token", "RAY_AUTH_TOKEN_PATH": str(token)}
    ray_command = str(Path(sys.executable).parent / "ray")
    failures = []
    for attempt in range(3):
        sessions: list[int] = []
        # short: Ray's socket paths under it must fit in 107 bytes, which tmp_path's may not
        temp = tempfile.mkdtemp(prefix="tavrin-ray-")
        port, client = free_port(), free_port()

        def start(*options):
            node = subprocess.Popen(
                [ray_command, "start", *options, "--node-ip-address", "127.0.0.1",
                 "--num-cpus", "1", "--disable-usage-stats",
                 "--dashboard-agent-listen-port", str(free_port())],
                env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                start_new_session=True)
            sessions.append(node.pid)
            output, _ = node.communicate(timeout=180)
            if node.returncode != 0:
                raise RuntimeError(f"ray start {' '.join(options[:1])} failed:\n{output}")

        try:
            start("--head", "--port", str(port), "--ray-client-server-port", str(client),
                  "--include-dashboard", "false", "--temp-dir", temp)
            start("--address", f"127.0.0.1:{port}")
            waited = subprocess.run([sys.executable, "-c", WAIT_FOR_NODES, f"127.0.0.1:{port}",
                                     "120"], env=env, capture_output=True, text=True,
                                    timeout=240)
            if waited.returncode != 0:
                raise RuntimeError(f"the nodes did not come up:\n{waited.stderr[-2000:]}")
            if not wait_for_port(client, 60):
                raise RuntimeError(f"the Ray Client server is not listening on {client}")
            cluster = RayCluster(env, f"127.0.0.1:{port}", f"ray://127.0.0.1:{client}")
            # one connection through Ray Client, so that its first server start is behind us
            reached = cluster.run([sys.executable, "-c", CONNECT, cluster.client], timeout=240)
            if reached.returncode != 0:
                raise RuntimeError(f"Ray Client did not connect:\n{reached.stderr[-2000:]}")
        except (RuntimeError, subprocess.TimeoutExpired) as error:
            failures.append(f"attempt {attempt + 1}: {error}")
            end_sessions(sessions)
            shutil.rmtree(temp, ignore_errors=True)
            time.sleep(2)
            continue
        try:
            yield cluster
        finally:
            end_sessions(sessions)
            shutil.rmtree(temp, ignore_errors=True)
        return
    pytest.fail("the Ray cluster did not start:\n" + "\n".join(failures))


# TAVRIN_TEST_CPU=N: the N tests that took the most CPU time (this process and the children it
# waited for; a module's fixtures count in its first test), against the suite's budget of two
# CPU-minutes without the slow tests.
CPU_TOP = int(os.environ.get("TAVRIN_TEST_CPU", "0") or 0)
cpu_used: dict[str, float] = {}


def cpu_seconds() -> float:
    own, children = (resource.getrusage(who) for who in (resource.RUSAGE_SELF,
                                                          resource.RUSAGE_CHILDREN))
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    started = cpu_seconds() if CPU_TOP else 0.0
    yield
    if CPU_TOP:
        cpu_used[item.nodeid] = cpu_seconds() - started


def pytest_terminal_summary(terminalreporter):
    if CPU_TOP:
        terminalreporter.write_sep("=", f"the {CPU_TOP} tests that took the most CPU")
        for nodeid, seconds in sorted(cpu_used.items(), key=lambda kv: -kv[1])[:CPU_TOP]:
            terminalreporter.write_line(f"{seconds:7.2f} s  {nodeid}")
        terminalreporter.write_line(f"{sum(cpu_used.values()):7.2f} s  in all tests; "
                                    f"{cpu_seconds():.2f} s with collection")
