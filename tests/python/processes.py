"""Processes the tests start and must end: the sessions they lead, and free ports for them."""

from __future__ import annotations

import os
import signal
import socket
import time
from pathlib import Path


def session_processes(leader: int, named: str = "") -> list[int]:
    """The ids of the processes in the session `leader` started (itself excluded) whose command
    line holds `named`."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            command = (entry / "cmdline").read_bytes()
        except (OSError, IndexError):
            continue
        if int(fields[3]) == leader and int(entry.name) != leader and named.encode() in command:
            found.append(int(entry.name))  # fields[3] is the session
    return found


def end_sessions(leaders: list[int]) -> None:
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


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port: int, seconds: float) -> bool:
    """Whether something accepts connections on 127.0.0.1:`port` within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2):
                return True
        except OSError:
            time.sleep(0.5)
    return False
