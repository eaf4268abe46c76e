"""How soon `python -m tavrin_rl play --no-browser` answers its first board request.

Each run starts the command, reads the address it prints, asks for the page and a new game's
state, and stops the server with Ctrl-C. It prints the median time from the process's start to
the answer (wall clock: the goal is about a person waiting, under 1 s) and the median CPU time of
the server process up to its end (user + system, from getrusage of the reaped child: steadier on
a shared machine).

    python benchmarks/bench_play.py [RUNS]
"""

from __future__ import annotations

import http.client
import json
import resource
import signal
import statistics
import subprocess
import sys
import time


def one_run() -> tuple[float, float]:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    process = subprocess.Popen([sys.executable, "-m", "tavrin_rl", "play", "--no-browser",
                                "--seed", "0", "--opponents", "mcts:200"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        process.stdout.readline()
        address = process.stdout.readline().split()[-1]
        host, token = address.split("/")[2], address.split("/")[3]
        connection = http.client.HTTPConnection(host, timeout=30)
        connection.request("GET", f"/{token}/")
        connection.getresponse().read()
        connection.request("POST", f"/{token}/api/new", body=b"{}",
                           headers={"Content-Type": "application/json"})
        state = json.loads(connection.getresponse().read())
        answered = time.perf_counter() - started
        assert state["legal"], "the person moves first: the legal moves come with the board"
        connection.close()
    finally:
        process.send_signal(signal.SIGINT)
        process.wait(timeout=30)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return answered, cpu


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    results = [one_run() for _ in range(runs)]
    walls, cpus = zip(*results)
    print(f"{runs} runs: first board answered {statistics.median(walls):.3f} s after the start "
          f"(median wall; min {min(walls):.3f}, max {max(walls):.3f}); server CPU "
          f"{statistics.median(cpus):.3f} s (median)")


if __name__ == "__main__":
    main()
