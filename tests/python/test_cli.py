"""The self-play command (`python -m tavrin_rl`, `tavrin-rl`) and its built-in agents."""

import json
import os
import re
import shlex
import shutil
import signal
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from tavrin_rl import PyTavrin
from tavrin_rl.__main__ import format_wins, main, wilson_interval
from tavrin_rl.agents import (
    AGENTS, EngineAgent, GreedyAgent, RandomAgent, ReachAgent, Stream, legal_actions, make_agent,
)
from tavrin_rl.catalogue import ORIENTATION_KIND, PIECE_CELLS, describe_action, to_board_action

# The agents that play from an action mask alone (the search needs the game: test_mcts.py).
MASK_AGENTS = [name for name, cls in AGENTS.items() if issubclass(cls, EngineAgent)]

TIMING = re.compile(r"plies in [0-9.]+ s \([0-9,]+ plies/s\)")


def run_cli(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "tavrin_rl", *args], capture_output=True,
                          text=True, timeout=60)


def without_timing(text: str) -> str:
    return TIMING.sub("plies in T", text)


def full_device(folder: Path) -> Path:
    """A device like /dev/full (every write fails for want of space) made in `folder`, so that a
    test run as root never writes to, or replaces, the machine's own."""
    full = folder / "full"
    try:
        os.mknod(full, stat.S_IFCHR | 0o666, os.makedev(1, 7))
    except PermissionError as error:
        pytest.skip(f"cannot make a device file here: {error}")
    return full


class TestDefaultRun:
    def test_one_game_board_scores_outcomes_and_speed(self):
        done = run_cli("--seed", "3")
        assert done.returncode == 0, done.stderr
        out = done.stdout
        assert out.startswith("tavrin_rl self-play, seed 3, 1 game: player_0 greedy (blue)")
        # the text board: numbered rows of letters, a legend, no colour on a pipe
        assert re.search(r"^19( [BYRG.]){20}$", out, re.M)
        assert re.search(r"^B player_0 greedy +\d+ +-?\d+  done$", out, re.M)
        assert "ply " in out and "game over" in out
        assert "\x1b[" not in out
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


class TestStreams:
    """Each case runs the command in a subprocess with a timeout, so that a hang fails."""

    def run_shell(self, redirect: str, *args: str) -> subprocess.CompletedProcess[str]:
        command = " ".join([shlex.quote(sys.executable), "-m", "tavrin_rl", *args, redirect])
        return subprocess.run(["sh", "-c", command], capture_output=True, text=True,
                              timeout=60)

    def test_summary_reaches_stdout_with_stderr_closed(self):
        done = self.run_shell("2>&-", "--games", "2", "--seed", "1", "--progress")
        assert done.returncode == 0
        assert "2 games; wins split evenly on ties" in done.stdout
        assert re.search(r"^player_3 ", done.stdout, re.M)

    def test_summary_reaches_stdout_with_stderr_failing(self):
        done = self.run_shell("2>/dev/full", "--games", "3", "--seed", "1", "--progress")
        assert done.returncode == 0
        assert "3 games; wins split evenly on ties" in done.stdout

    @pytest.mark.parametrize("redirect, reason", [
        (">&-", "tavrin_rl: standard output is closed\n"),
        (">/dev/full", "tavrin_rl: cannot write to standard output: No space left on device\n"),
    ])
    def test_closed_or_full_stdout_ends_with_one_line(self, redirect, reason):
        if redirect == ">/dev/full" and not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full on this system")
        for args in (["--games", "3"], ["--watch"]):
            done = self.run_shell(redirect, "--seed", "1", *args)
            assert done.returncode == 1
            assert done.stderr == reason

    def test_closed_stdout_and_stderr(self):
        done = self.run_shell(">&- 2>&-", "--seed", "1")
        assert done.returncode == 1

    def test_reader_going_away_ends_quietly(self):
        process = subprocess.Popen([sys.executable, "-m", "tavrin_rl", "--watch", "--seed", "1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert process.stdout.readline().startswith(b"tavrin_rl self-play")
        process.stdout.close()  # like `| head -1`: every later write fails
        _, err = process.communicate(timeout=60)
        assert process.returncode == 1
        assert err == b""

    def test_dataset_run_with_full_or_closed_stdout(self, tmp_path):
        pytest.importorskip("pyarrow", reason="--out needs pyarrow (the data extra)")
        full = full_device(tmp_path)
        done = self.run_shell(f">{shlex.quote(str(full))}", "--seed", "1", "--out",
                              str(tmp_path / "a"))
        assert done.returncode == 1
        assert done.stderr == ("tavrin_rl: cannot write to standard output: No space left on "
                               "device\n")
        process = subprocess.Popen(
            [sys.executable, "-m", "tavrin_rl", "--seed", "1", "--out", str(tmp_path / "b")],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.stdout.close()  # like `| head -c0`
        _, err = process.communicate(timeout=60)
        assert process.returncode == 1
        assert err == b""

    def test_ctrl_c_reports_finished_games_and_exits_130(self):
        # A shell starts background jobs with SIGINT ignored, and Python keeps an ignored SIGINT
        # ignored: give the command the default disposition, as a terminal's foreground job has.
        process = subprocess.Popen(
            [sys.executable, "-m", "tavrin_rl", "--games", "1000000", "--seed", "1",
             "--progress"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        try:
            seen = b""
            while b"games" not in seen:  # the bar is drawn once a game has finished
                chunk = os.read(process.stderr.fileno(), 4096)
                assert chunk, "the command ended before drawing its progress bar"
                seen += chunk
            process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=60)
        finally:
            process.kill()
        assert process.returncode == 130
        text = out.decode()
        finished = re.search(r"^(\d+) of 1000000 games \(interrupted\)", text, re.M)
        assert finished and int(finished[1]) >= 1
        wins = re.findall(r"^player_\d +\w+ +([0-9.]+) ", text, re.M)
        assert sum(map(float, wins)) == pytest.approx(int(finished[1]), abs=0.2)
        assert (seen + err).endswith(b"\n")  # the progress line is ended
        assert b"Traceback" not in err


def test_help_names_every_command(capsys):
    with pytest.raises(SystemExit):
        main(["--help"])
    shown = " ".join(capsys.readouterr().out.split())
    assert all(f" {command} (" in shown for command in ("play", "arena", "train"))


def test_engine_fault_is_one_line_and_status_70(monkeypatch, capsys):
    import tavrin_rl
    import tavrin_rl.__main__ as command

    def broken(*args, **kwargs):
        raise tavrin_rl.InternalError("Bitboard index 420 out of range [0, 419]")

    monkeypatch.setattr(command, "play_game", broken)
    assert main(["--seed", "1"]) == 70
    err = capsys.readouterr().err
    assert err == ("tavrin_rl: internal error: Bitboard index 420 out of range [0, 419] (a bug in "
                   "tavrin_rl: please report it with the command line)\n")


class TestOptions:
    def test_summary_over_many_games(self, capsys):
        assert main(["--seed", "5", "--games", "30", "--agents", "reach,random,random,random",
                     "--no-progress"]) == 0
        out = capsys.readouterr().out
        assert "30 games; wins split evenly on ties; 95% Wilson intervals" in out
        assert re.search(r"wins win rate +95% interval +mean score +reward \(rank\)$", out, re.M)
        rows = re.findall(r"^player_(\d) +(\w+) +([0-9.]+) +([0-9.]+)% +([0-9.]+)%-([0-9.]+)% +"
                          r"(-?[0-9.]+) +([0-9.]+)$", out, re.M)
        assert [r[1] for r in rows] == ["reach", "random", "random", "random"]
        assert sum(float(r[2]) for r in rows) == pytest.approx(30, abs=0.01)
        for _, _, wins, rate, low, high, _, mean_rank in rows:
            assert float(low) <= float(rate) <= float(high)
            assert 0 <= float(mean_rank) <= 1
        assert "\x1b[" not in out  # no board in a summary

    def test_score_mode_shows_the_mean_score_once(self, capsys):
        assert main(["--seed", "5", "--games", "4", "--reward-mode", "score",
                     "--no-progress"]) == 0
        out = capsys.readouterr().out
        assert out.count("mean score") == 1
        assert re.search(r"^player_0 +greedy +\S+ +\S+% +\S+ +-?[0-9.]+$", out, re.M)

    def test_wins_are_whole_or_one_decimal(self):
        from fractions import Fraction
        assert format_wins([16100, 0, 3, 1]) == ["16100", "0", "3", "1"]
        assert format_wins([Fraction(32201, 2), Fraction(1, 3), 0, Fraction(2, 3)]) == [
            "16100.5", "0.3", "0.0", "0.7"]
        assert format_wins([Fraction(1, 3) * 3, Fraction(1, 2) * 2, 0, 0]) == ["1", "1", "0", "0"]

    def test_watch_draws_every_placement(self, capfd):
        assert main(["--seed", "2", "--watch", "--agents", "greedy"]) == 0
        out = capfd.readouterr().out
        placements = re.findall(r"^ply (\d+): player_(\d) \((\w+)\) places (\w+):\d+ at \d+,\d+ on ((?:\(\d+,\d+\) ?)+)$",
                                out, re.M)
        assert [int(p[0]) for p in placements] == list(range(1, len(placements) + 1))
        assert placements[0][1:3] == ("0", "greedy")
        assert placements[0][3] in PyTavrin.piece_names[9:]  # a five-cell piece first
        assert "(0,0)" in placements[0][4]  # the first piece covers player_0's corner
        assert out.count("  seat") == len(placements) + 0  # one board per placement
        assert out.count("is out of moves") == 4
        # the last placement is drawn in lower case: player_0's opening piece in the first board
        first_board = out.split("ply 2:")[0]
        assert re.search(r"^ 0 b", first_board, re.M)
        assert "\x1b[" not in out  # piped: no colour, no cursor movement

    @pytest.mark.parametrize("lines, redraw", [("60", "\x1b[29F\x1b[J"), ("20", "\x1b[H\x1b[J")])
    def test_watch_on_a_terminal_redraws_in_place(self, lines, redraw):
        pty = pytest.importorskip("pty")
        script = ("import sys, tavrin_rl.__main__ as m; "
                  "sys.exit(m.main(['--seed', '2', '--watch', '--delay', '0']))")
        reader, writer = pty.openpty()
        try:
            process = subprocess.Popen([sys.executable, "-c", script], stdout=writer,
                                       stderr=subprocess.PIPE,
                                       env={**os.environ, "NO_COLOR": "", "LINES": lines})
            os.close(writer)
            output = b""
            while True:
                try:
                    chunk = os.read(reader, 65536)
                except OSError:  # the terminal is gone once the child has ended
                    break
                if not chunk:
                    break
                output += chunk
            assert process.wait(timeout=60) == 0
        finally:
            os.close(reader)
        text = output.decode()
        plies = len(re.findall(r"ply \d+: player_", text))
        # each drawing replaces the one before: from its top, or on a cleared screen when the
        # terminal is too short for the cursor to reach the top
        assert text.count(redraw) == plies - 1
        assert "\x1b[97;44m B\x1b[0m" in text  # coloured on a terminal
        assert "is out of moves" not in text  # the legend says it instead

    def test_html_replay_page(self, tmp_path):
        page = tmp_path / "game.html"
        done = run_cli("--seed", "4", "--html", str(page))
        assert done.returncode == 0, done.stderr
        text = page.read_text(encoding="utf-8")
        assert "<script src" not in text and "http://" not in text.replace(
            'xmlns="http://www.w3.org/2000/svg"', "")
        data = json.loads(re.search(r'<script id="game-data" type="application/json">(.*?)'
                                    r"</script>", text, re.S)[1])
        final = re.findall(r"^player_\d +\w+ +\w+ +\d+ +(-?\d+) ", done.stdout, re.M)
        assert data["steps"][-1]["scores"] == [int(s) for s in final]
        bad = run_cli("--seed", "4", "--html", str(tmp_path / "missing" / "game.html"))
        assert bad.returncode == 1
        assert bad.stderr.startswith("tavrin_rl: cannot write ")
        assert without_timing(bad.stdout) == without_timing(done.stdout)  # the summary still

    def test_html_into_fifos_devices_and_links(self, tmp_path):
        # Renaming over these would put a regular file in their place: a FIFO's reader would
        # wait for ever, and a full device would report success.
        full = full_device(tmp_path)
        for name in ("full", "link"):
            if name == "link":
                (tmp_path / "link").symlink_to(full)
            done = run_cli("--seed", "4", "--html", str(tmp_path / name))
            assert done.returncode == 1
            assert done.stderr == (f"tavrin_rl: cannot write {tmp_path / name}: "
                                   "No space left on device\n")
        assert stat.S_ISCHR(full.stat().st_mode) and (tmp_path / "link").is_symlink()

        fifo, page = tmp_path / "fifo", tmp_path / "page.html"
        os.mkfifo(fifo)
        (tmp_path / "to-page").symlink_to(page)
        reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
        try:
            for target in (fifo, tmp_path / "to-page"):
                done = run_cli("--seed", "4", "--html", str(target))
                assert done.returncode == 0, done.stderr
                assert done.stderr == f"tavrin_rl: replay written to {target}\n"
            piped, _ = reader.communicate(timeout=60)
        finally:
            reader.kill()
        assert stat.S_ISFIFO(fifo.stat().st_mode) and (tmp_path / "to-page").is_symlink()
        assert piped.decode() == page.read_text(encoding="utf-8")
        assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo", "full", "link",
                                                              "page.html", "to-page"]

    def test_a_lineup_the_dataset_writer_refuses_touches_no_folder(self, tmp_path):
        for agents in (f"policy:{tmp_path}/absent.npz,random", f"policy:{tmp_path},random,random,random"):
            done = run_cli("--out", str(tmp_path / "data"), "--agents", agents)
            assert done.returncode == 2 and "Traceback" not in done.stderr, done.stderr
            assert not (tmp_path / "data").exists()

    @pytest.mark.parametrize("args, message", [
        (["--games", "0"], "argument --games: must be from 1 to 1000000000000000, got 0"),
        (["--games", "two"], "argument --games: must be a whole number from 1 to 1000000000000000, got 'two'"),
        (["--games", "²"], "argument --games: must be a whole number from 1 to 1000000000000000, got '²'"),
        (["--games", "9" * 400], "argument --games: must be from 1 to 1000000000000000, got a number of 400 digits"),
        (["--seed", "-1"], "argument --seed: must be from 0 to 2**64 - 1, got -1"),
        (["--seed", str(2**64)], f"argument --seed: must be from 0 to 2**64 - 1, got {2**64}"),
        (["--seed", str(2**64), "--out", "never-made"], "argument --seed: must be from 0 to 2**64 - 1"),
        (["--agents", "random,clever"], "unknown agent 'clever' (choose from random, greedy, reach, mcts, policy, baseline, human)"),
        (["--agents", "mcts:²"], "mcts playouts must be a whole number from 1 to"),
        (["--agents", "random,greedy"], "give one agent for every seat or 4 comma-separated agents, got 2"),
        (["--reward-mode", "Score"], "argument --reward-mode: invalid choice: 'Score'"),
        (["--delay", "-1"], "argument --delay: must be 0 to 3600 seconds, got -1"),
        (["--delay", "nan"], "argument --delay: must be 0 to 3600 seconds, got nan"),
        (["--colour"], "unrecognized arguments: --colour"),
    ])
    def test_bad_options_exit_2(self, args, message):
        done = run_cli(*args)
        assert done.returncode == 2
        assert done.stdout == ""
        assert message in done.stderr
        assert done.stderr.startswith("usage: python -m tavrin_rl")


class TestHumanPlay:
    SEED = 9
    AGENTS = ("human", "greedy", "random", "reach")

    def script(self, human_moves: int | None, lineup: tuple[str, ...] = AGENTS
               ) -> tuple[list[str], PyTavrin]:
        """Moves for the human seat, found by playing the same seeded game in this process: the
        last legal placement in grid order (a largest piece) each turn. None plays to the end."""
        human = lineup.index("human")
        stream = Stream.for_game(self.SEED, 0)  # the command's first game
        agents = [None if name == "human" else make_agent(name) for name in lineup]
        for agent in agents:
            if agent is not None:
                agent.stream = stream
        game, lines = PyTavrin(), []
        while not game.is_over and (human_moves is None or len(lines) < human_moves):
            agent = game.agent_selection
            if game.terminations[agent]:
                game.step(None)
                continue
            mask = game.observe(agent).action_mask
            action = mask.rfind(1) if agent == human else agents[agent].act(mask)
            if agent == human:  # typed in the board's frame
                lines.append(describe_action(to_board_action(human, action)))
            game.step(action)
        return lines, game

    def play(self, lines: list[str], lineup: tuple[str, ...] = AGENTS
             ) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-m", "tavrin_rl", "--seed", str(self.SEED), "--agents",
             ",".join(lineup)], input="".join(line + "\n" for line in lines),
            capture_output=True, text=True, timeout=120)

    def test_another_seat_plays_in_the_boards_frame(self):
        lineup = ("random", "greedy", "human", "reach")
        moves, game = self.script(4, lineup)
        done = self.play(["I1 at 0,0", "I1 at 10,10", "moves I5"] + moves + ["quit"], lineup)
        assert done.returncode == 0, done.stderr
        out = done.stdout
        assert "ply 2, player_2 to move\n" in out and "'s view" not in out  # the board unturned
        assert "you are player_2 (R), from the corner at 19,19" in out
        # the reasons and the legal moves name board cells: player_2's corner is 19,19
        assert "I1:0 at 0,0 cannot be played: cell 0,0 is taken" in out  # by player_0
        assert "I1:0 at 10,10 cannot be played: your first piece must cover your corner, " \
            "cell 19,19" in out
        assert "2 moves with I5: I5:0 at 19,15, I5:1 at 15,19" in out
        assert out.count("cannot be played") == 2  # each move, read in the board's frame, was legal
        # the log writes the person's moves as they were typed
        told = re.findall(r"^ply \d+: player_2 places (\S+ at \d+,\d+) on ", out, re.M)
        assert told == [" ".join(m.split()[:3]) for m in moves]
        scores = re.findall(r"^player_\d +\w+ +\w+ +\d+ +(-?\d+) +- +-$", done.stdout, re.M)
        # the others answered the fourth move before the quit
        assert len(scores) == 4 and done.stdout.count("player_2, your move") == 8

    def test_a_whole_game_through_stdin(self):
        moves, game = self.script(None)
        opening = ["I5:0 at 5,5", "L5:9 at 0,0", "nonsense", "moves", "moves X", "shapes W",
                   "help"]
        done = self.play(opening + moves)
        assert done.returncode == 0, done.stderr
        out = done.stdout
        assert "I5:0 at 5,5 cannot be played: your first piece must cover your corner" in out
        assert "L5 has variants 0 to 7, not 9" in out
        assert "cannot read 'nonsense'" in out
        assert re.search(r"^ I5: I5:0 at 0,0, I5:1 at 0,0$", out, re.M)  # moves, by piece
        assert "2 moves with X" not in out and "no legal move with X" in out
        assert "W:0   W:1   W:2   W:3" in out
        assert out.count("your move") == len(moves) + len(opening)
        assert re.search(r"^ply \d+: player_1 places ", out, re.M)  # others' moves are told
        final = re.findall(r"^player_\d +\w+ +\w+ +\d+ +(-?\d+) +[0-9.]+ +[0-9.]+$", out, re.M)
        assert [int(s) for s in final] == game.scores

    def test_taken_cell_and_quit(self):
        moves, game = self.script(3)
        done = self.play(moves + ["I1 at 0,0", moves[1], "quit"])
        assert done.returncode == 0, done.stderr
        assert "I1:0 at 0,0 cannot be played: cell 0,0 is taken" in done.stdout
        assert f"{moves[1]} cannot be played: you have already placed your " in done.stdout
        assert re.search(r"^player_0 +human +blue +18 +-?\d+ +- +-$", done.stdout, re.M)
        # the others answered the third move before the person quit: three full rounds
        assert f"game left unfinished after {game.ply + 3} plies" in done.stdout

    def test_an_undecodable_line_is_refused_and_play_goes_on(self):
        moves, game = self.script(2)
        typed = f"{moves[0]}\n".encode() + b"\xff\xfe\n" + f"{moves[1]}\nquit\n".encode()
        done = subprocess.run(
            [sys.executable, "-m", "tavrin_rl", "--seed", str(self.SEED), "--agents",
             ",".join(self.AGENTS)], input=typed, capture_output=True, timeout=120,
            env={**os.environ, "PYTHONIOENCODING": "utf-8:strict"})
        assert done.returncode == 0, done.stderr
        out = done.stdout.decode()
        assert "cannot read that line: it is not utf-8 text" in out
        # the lines on either side were read whole: both moves were made
        assert "cannot be played" not in out
        assert f"game left unfinished after {game.ply + 3} plies" in out

    def test_end_of_input_quits(self):
        done = self.play([])
        assert done.returncode == 0
        assert "game left unfinished after 0 plies" in done.stdout


def test_wilson_interval():
    low, high = wilson_interval(0, 10)
    assert low == 0.0 and high == pytest.approx(0.2775, abs=1e-4)
    low, high = wilson_interval(5, 10)
    assert (low, high) == (pytest.approx(0.2366, abs=1e-4), pytest.approx(0.7634, abs=1e-4))
    low, high = wilson_interval(100, 100)
    assert low == pytest.approx(0.9630, abs=1e-4) and high == 1.0


def test_version_comes_from_the_package_metadata():
    import importlib.metadata

    import tavrin_rl
    assert tavrin_rl.__version__ == importlib.metadata.version("tavrin_rl")
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", tavrin_rl.__version__)


def test_core_and_command_need_only_the_standard_library():
    code = ("import sys, tavrin_rl, tavrin_rl.__main__, tavrin_rl.agents, tavrin_rl.board, "
            "tavrin_rl.text_board, tavrin_rl.replay, tavrin_rl.human; "
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
        for name in MASK_AGENTS:
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
        for name in MASK_AGENTS:
            first, second = make_agent(name, "s"), make_agent(name, "s")
            assert [first.act(m) for m in masks] == [second.act(m) for m in masks]

    def test_unknown_agent(self):
        with pytest.raises(ValueError, match="unknown agent 'x'"):
            make_agent("x")


def docs_samples(page: str) -> list[str]:
    text = (Path(__file__).resolve().parents[2] / "docs" / page).read_text(encoding="utf-8")
    return re.findall(r"```text\n(.*?)```", text, re.S)


def test_docs_samples_are_what_the_command_prints():
    samples = docs_samples("getting-started.md")
    one = next(s for s in samples if s.startswith("$ python -m tavrin_rl --seed 7\n"))
    done = run_cli("--seed", "7")
    assert without_timing(done.stdout) == without_timing(one.split("\n", 1)[1])
    many = next(s for s in samples if s.startswith("200 games;"))
    done = run_cli("--games", "200", "--seed", "7", "--agents", "reach,greedy,random,random")
    assert without_timing(done.stdout.split("\n", 2)[2]) == without_timing(many)


def test_docs_arena_sample_is_what_the_command_prints():
    pytest.importorskip("openskill", reason="the arena rates with openskill (the `arena` extra)")
    sample = next(s for s in docs_samples("agents.md") if s.startswith("$ python -m tavrin_rl arena"))
    command, printed = sample.split("\n", 1)
    done = run_cli(*command.split()[4:])  # after "$ python -m tavrin_rl"
    assert done.returncode == 0, done.stderr

    def without_cpu_time(text: str) -> list[str]:  # the last column is CPU ms per move
        return [line.rsplit(None, 1)[0] if line.split() and line.split()[-1][0].isdigit() else line
                for line in text.splitlines()]
    assert without_cpu_time(done.stdout) == without_cpu_time(printed)
