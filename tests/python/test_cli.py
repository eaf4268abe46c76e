"""The self-play command (`python -m tavrin_rl`, `tavrin-rl`) and its built-in agents."""

import os
import re
import shutil
import subprocess
import sys

import pytest

from tavrin_rl import PyTavrin
from tavrin_rl.__main__ import main, wilson_interval
from tavrin_rl.agents import AGENTS, GreedyAgent, RandomAgent, ReachAgent, legal_actions, make_agent
from tavrin_rl.catalogue import ORIENTATION_KIND, PIECE_CELLS

TIMING = re.compile(r"plies in [0-9.]+ s \([0-9,]+ plies/s\)")


def run_cli(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "tavrin_rl", *args], capture_output=True,
                          text=True, timeout=60)


def without_timing(text: str) -> str:
    return TIMING.sub("plies in T", text)


class TestDefaultRun:
    def test_one_game_board_scores_outcomes_and_speed(self):
        done = run_cli("--seed", "3")
        assert done.returncode == 0, done.stderr
        out = done.stdout
        assert out.startswith("tavrin_rl self-play, seed 3, 1 game: player_0 greedy (blue)")
        # the board comes from render: header, coloured cells, 20 numbered rows
        assert "  |  0 |  1 |  2 |" in out
        assert "\x1b[44mx\x1b[0m" in out
        assert re.search(r"^19\|", out, re.M)
        assert re.search(r"seat +agent +colour +pieces left +score +win_share +rank", out)
        rows = re.findall(r"^player_(\d) +(\w+) +(\w+) +(\d+) +(-?\d+) +([0-9.]+) +([0-9.]+)$",
                          out, re.M)
        assert [r[0] for r in rows] == ["0", "1", "2", "3"]
        scores = [int(r[4]) for r in rows]
        leaders = scores.count(max(scores))
        for r, score in zip(rows, scores):
            share = 1 / leaders if score == max(scores) else 0.0
            better = sum(s > score for s in scores)
            ties = scores.count(score)
            rank = sum(3 - better - k for k in range(ties)) / 3 / ties
            assert (float(r[5]), float(r[6])) == (pytest.approx(share, abs=1e-3),
                                                  pytest.approx(rank, abs=1e-3))
        assert TIMING.search(out)
        assert done.stderr == ""

    def test_no_options_at_all(self):
        done = run_cli()
        assert done.returncode == 0, done.stderr
        assert re.match(r"tavrin_rl self-play, seed \d+, 1 game", done.stdout)

    def test_same_seed_same_games(self):
        first = run_cli("--seed", "11", "--games", "3")
        second = run_cli("--seed", "11", "--games", "3")
        other = run_cli("--seed", "12", "--games", "3")
        assert first.returncode == second.returncode == 0
        assert without_timing(first.stdout) == without_timing(second.stdout)
        assert without_timing(first.stdout) != without_timing(other.stdout)

    def test_console_script_is_installed(self):
        script = shutil.which("tavrin-rl", path=os.path.dirname(sys.executable))
        if script is None:
            pytest.skip("tavrin-rl not installed beside this interpreter")
        done = subprocess.run([script, "--seed", "1"], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert "plies/s" in done.stdout


    def test_reader_going_away_ends_quietly(self):
        process = subprocess.Popen([sys.executable, "-m", "tavrin_rl", "--watch", "--seed", "1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert process.stdout.readline().startswith(b"tavrin_rl self-play")
        process.stdout.close()  # like `| head -1`: every later write fails
        _, err = process.communicate(timeout=60)
        assert process.returncode == 1
        assert err == b""


class TestOptions:
    def test_summary_over_many_games(self, capsys):
        assert main(["--seed", "5", "--games", "30", "--agents", "reach,random,random,random",
                     "--reward-mode", "score", "--no-progress"]) == 0
        out = capsys.readouterr().out
        assert "30 games; wins split evenly on ties; 95% Wilson intervals" in out
        assert "mean score" in out
        rows = re.findall(r"^player_(\d) +(\w+) +([0-9.]+) +([0-9.]+)% +([0-9.]+)%-([0-9.]+)% +"
                          r"(-?[0-9.]+) +(-?[0-9.]+)$", out, re.M)
        assert [r[1] for r in rows] == ["reach", "random", "random", "random"]
        assert sum(float(r[2]) for r in rows) == pytest.approx(30, abs=0.01)
        for _, _, wins, rate, low, high, mean_score, mean_reward in rows:
            assert float(low) <= float(rate) <= float(high)
            # the "score" mode pays the score
            assert float(mean_score) == pytest.approx(float(mean_reward), abs=0.01)
        assert "\x1b[" not in out  # no board in a summary

    def test_watch_draws_every_placement(self, capfd):
        assert main(["--seed", "2", "--watch", "--agents", "greedy"]) == 0
        out = capfd.readouterr().out
        placements = re.findall(r"^ply (\d+): player_(\d) \((\w+)\) places (\w+) on ((?:\(\d+,\d+\) ?)+)$",
                                out, re.M)
        assert [int(p[0]) for p in placements] == list(range(1, len(placements) + 1))
        assert placements[0][1:3] == ("0", "greedy")
        assert placements[0][3] in PyTavrin.piece_names[9:]  # a five-cell piece first
        assert "(0,0)" in placements[0][4]  # the first piece covers player_0's corner
        assert out.count("  |  0 |  1 |") == len(placements)  # one board per placement
        assert out.count("is out of moves") == 4

    def test_progress_bar_goes_to_stderr(self, capsys):
        assert main(["--seed", "1", "--games", "4", "--progress"]) == 0
        captured = capsys.readouterr()
        assert "[##############################] 4/4 games" in captured.err
        assert "[#" not in captured.out

    @pytest.mark.parametrize("args, message", [
        (["--games", "0"], "argument --games: must be at least 1, got 0"),
        (["--games", "two"], "argument --games: not a whole number: 'two'"),
        (["--seed", "-1"], "argument --seed: must be 0 or more, got -1"),
        (["--agents", "random,clever"], "unknown agent 'clever' (choose from random, greedy, reach)"),
        (["--agents", "random,greedy"], "give one agent for every seat or 4 comma-separated agents, got 2"),
        (["--reward-mode", "Score"], "argument --reward-mode: invalid choice: 'Score'"),
        (["--colour"], "unrecognized arguments: --colour"),
    ])
    def test_bad_options_exit_2(self, args, message):
        done = run_cli(*args)
        assert done.returncode == 2
        assert done.stdout == ""
        assert message in done.stderr
        assert done.stderr.startswith("usage: python -m tavrin_rl")


def test_wilson_interval():
    low, high = wilson_interval(0, 10)
    assert low == 0.0 and high == pytest.approx(0.2775, abs=1e-4)
    low, high = wilson_interval(5, 10)
    assert (low, high) == (pytest.approx(0.2366, abs=1e-4), pytest.approx(0.7634, abs=1e-4))
    low, high = wilson_interval(100, 100)
    assert low == pytest.approx(0.9630, abs=1e-4) and high == 1.0


def test_core_and_command_need_only_the_standard_library():
    code = ("import sys, tavrin_rl, tavrin_rl.__main__, tavrin_rl.agents, tavrin_rl.board; "
            "print(sorted(m for m in sys.modules if m.split('.')[0] in "
            "('numpy', 'gymnasium', 'pettingzoo')))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


class TestAgents:
    def masks(self):
        """Masks of the agent to move along a seeded random game."""
        game, rng = PyTavrin(), RandomAgent(99)
        while not game.is_over:
            agent = game.agent_selection
            mask = game.observe(agent).action_mask
            yield mask
            game.step(None if game.terminations[agent] else rng.act(mask))

    def test_every_agent_plays_legal_moves_and_passes_on_empty_mask(self):
        for name in AGENTS:
            agent = make_agent(name, 1)
            assert agent.act(bytes(PyTavrin.num_actions)) is None
            for mask in self.masks():
                action = agent.act(mask)
                assert action is None if not any(mask) else mask[action] == 1

    def test_greedy_and_reach_place_a_largest_piece(self):
        greedy, reach = GreedyAgent(0), ReachAgent(0)
        for mask in self.masks():
            legal = legal_actions(mask)
            if not legal:
                continue
            largest = max(PIECE_CELLS[ORIENTATION_KIND[i // 400]] for i in legal)
            for action in (greedy.act(mask), reach.act(mask)):
                assert action is not None
                assert PIECE_CELLS[ORIENTATION_KIND[action // 400]] == largest

    def test_agents_repeat_with_their_seed(self):
        masks = list(self.masks())[:20]
        for name in AGENTS:
            first, second = make_agent(name, "s"), make_agent(name, "s")
            assert [first.act(m) for m in masks] == [second.act(m) for m in masks]

    def test_unknown_agent(self):
        with pytest.raises(ValueError, match="unknown agent 'x'"):
            make_agent("x")
