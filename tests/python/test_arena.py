"""The arena (`python -m tavrin_rl arena`): its schedule, ratings, workers and Ctrl-C."""

import itertools
import json
import os
import re
import signal
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from collections import Counter

import pytest

from tavrin_rl import arena

try:
    import openskill  # noqa: F401
except ModuleNotFoundError:
    pytest.skip("the arena rates with openskill: pip install 'tavrin_rl[arena]'",
                allow_module_level=True)


def played(pool, games, seed, workers):
    records = []
    arena.play_arena(pool, games, seed, records.extend, workers=workers)
    return records


@pytest.mark.parametrize("size", [2, 3, 4, 5, 6])
def test_schedule_is_balanced(size):
    cycle = arena.schedule(size)
    seats = Counter((agent, seat) for table in cycle for seat, agent in enumerate(table))
    assert len(set(seats.values())) == 1 and len(seats) == size * 4  # every agent in every seat
    met = {pair for table in cycle for pair in itertools.combinations(sorted(set(table)), 2)}
    assert met == set(itertools.combinations(range(size), 2))
    for first in range(0, len(cycle), 4):  # balanced after every fourth game already
        block = cycle[first:first + 4]
        assert all(sorted(table[seat] for table in block) == sorted(block[0])
                   for seat in range(4))
    if size >= 4:
        assert all(len(set(table)) == 4 for table in cycle)
    else:
        assert all(set(table) == set(range(size)) for table in cycle)


def test_ratings_order_strong_above_weak_and_totals_add_up():
    records = played(["random", "greedy", "reach"], 36, seed=3, workers=1)
    rows = {row.agent: row for row in arena.standings(["random", "greedy", "reach"], records)}
    assert rows["reach"].ordinal > rows["random"].ordinal
    assert rows["reach"].mu - rows["random"].mu > 3 * (rows["reach"].sigma + rows["random"].sigma)
    assert sum(row.seats for row in rows.values()) == 4 * 36
    assert sum(row.wins for row in rows.values()) == 36  # ties split, never lost or doubled
    assert sum(row.place for row in rows.values()) == 36 * (1 + 2 + 3 + 4)
    assert arena.places([5, 5, -3, 7]) == [2.5, 2.5, 4, 1]


@pytest.mark.slow  # starts worker processes and Ray
def test_same_seed_same_results_on_one_and_two_workers_and_ray():
    pool = ["random", "greedy", "reach"]
    one, two = (sorted(played(pool, 10, seed=11, workers=k), key=lambda r: r.number)
                for k in (1, 2))
    assert [r.number for r in two] == list(range(10))

    def key(records):
        return [(r.number, r.seats, r.scores, r.moves, r.plies) for r in records]
    assert key(one) == key(two)
    # arrival order differs between workers; the ratings must not
    rated = [[(r.agent, r.mu, r.sigma) for r in arena.standings(pool, rs)]
             for rs in (one, list(reversed(two)))]
    assert rated[0] == rated[1]

    ray = pytest.importorskip("ray", reason="ray is not installed (pip install 'tavrin_rl[ray]')")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level="ERROR")
    try:
        records = []
        arena.play_arena(pool, 10, 11, records.extend, ray=True)
    finally:
        ray.shutdown()
    assert key(sorted(records, key=lambda r: r.number)) == key(one)


def test_interrupt_counts_finished_games_only(monkeypatch, tmp_path, capsys):
    real = arena.play_game

    def stop_at_five(plan, number):
        if number == 5:
            raise KeyboardInterrupt
        return real(plan, number)
    monkeypatch.setattr(arena.match, "play_game", stop_at_five)
    out = tmp_path / "cut.json"
    assert arena.main(["random", "reach", "--games", "8", "--seed", "2", "--workers", "1",
                       "--out", str(out)]) == 130
    assert "5 of 8 games (interrupted)" in capsys.readouterr().out
    monkeypatch.undo()
    whole = tmp_path / "five.json"
    assert arena.main(["random", "reach", "--games", "5", "--seed", "2", "--workers", "1",
                       "--out", str(whole)]) == 0
    cut, five = json.loads(out.read_text()), json.loads(whole.read_text())
    assert cut["interrupted"] and cut["games"] == 5
    for a, b in zip(cut["standings"], five["standings"]):
        assert (a["agent"], a["mu"], a["sigma"]) == (b["agent"], b["mu"], b["sigma"])


def test_command_writes_table_json_and_svg(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "tavrin_rl", "arena", "random", "greedy", "reach", "--games", "4",
         "--seed", "1", "--workers", "1", "--out", str(tmp_path / "r.json"),
         "--svg", str(tmp_path / "r.svg")], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert re.search(r"^ 1 \w+ +-?[0-9.]+ ", done.stdout, re.M)
    report = json.loads((tmp_path / "r.json").read_text())
    assert [r["game"] for r in report["game_records"]] == [0, 1, 2, 3]
    svg = ElementTree.parse(tmp_path / "r.svg").getroot()
    circles = svg.findall("{http://www.w3.org/2000/svg}circle")
    assert len(circles) == len(report["standings"])


@pytest.mark.parametrize("args, message", [
    (["random"], "at least two"),
    (["random", "random"], "every agent once"),
    (["random", "nobody"], "unknown agent"),
])
def test_bad_pools_exit_2(args, message, capsys):
    with pytest.raises(SystemExit) as exit_:
        arena.main(args)
    assert exit_.value.code == 2 and message in capsys.readouterr().err


def test_missing_openskill_says_what_to_install(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "openskill.models", None)
    assert arena.main(["random", "reach", "--games", "1"]) == 1
    assert "pip install 'tavrin_rl[arena]'" in capsys.readouterr().err


def test_ctrl_c_with_workers_reports_finished_games_and_exits_130(tmp_path):
    # started with the default SIGINT disposition, as a terminal's foreground job is
    process = subprocess.Popen(
        [sys.executable, "-m", "tavrin_rl", "arena", "random", "reach", "--games", "100000",
         "--seed", "1", "--workers", "2", "--progress", "--out", str(tmp_path / "r.json")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        seen = b""
        while b"games" not in seen:  # the bar is drawn once a chunk has finished
            chunk = os.read(process.stderr.fileno(), 4096)
            assert chunk, "the arena ended before drawing its progress bar"
            seen += chunk
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 130, err
    finished = re.search(r"^(\d+) of 100000 games \(interrupted\)", out.decode(), re.M)
    report = json.loads((tmp_path / "r.json").read_text())
    assert finished and report["games"] == int(finished[1]) == len(report["game_records"])
    assert b"Traceback" not in err


def test_outputs_are_whole_or_untouched_and_bad_options_exit_2(tmp_path):
    import resource
    kept = tmp_path / "a.json"
    kept.write_text('{"complete": true}\n')

    def small_files():  # the child's disk "fills" at 1 KB: the JSON of 8 games is larger
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))
    done = subprocess.run(
        [sys.executable, "-m", "tavrin_rl", "arena", "random", "greedy", "--games", "8",
         "--seed", "1", "--workers", "1", "--out", str(kept)], capture_output=True, text=True,
        timeout=60, preexec_fn=small_files)
    assert done.returncode == 1
    assert done.stderr == f"tavrin_rl: cannot write {kept}: File too large\n"
    assert kept.read_text() == '{"complete": true}\n' and os.listdir(tmp_path) == ["a.json"]

    for args, message in (
            (["--games", "9" * 400], "argument --games: must be from 1 to 1000000000000000, "
                                     "got a number of 400 digits"),
            (["--seed", str(2**64)], "argument --seed: must be from 0 to 2**64 - 1"),
            (["--ray", "x"], "argument --ray: not a Ray address: 'x'")):
        done = subprocess.run([sys.executable, "-m", "tavrin_rl", "arena", "random", "greedy",
                               "--out", str(tmp_path / "new.json"), *args],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 2 and message in done.stderr.splitlines()[-1], done.stderr
    assert os.listdir(tmp_path) == ["a.json"]
