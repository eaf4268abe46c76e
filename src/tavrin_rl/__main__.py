"""`python -m tavrin_rl` (also installed as `tavrin-rl`): self-play between built-in agents.

With no options it plays one game, prints the final board, every agent's score and outcome in each
reward mode, and the speed in plies (placements) per second. With --games N it prints a summary
per seat instead: win rate with a 95% Wilson interval, mean score and mean reward. Only the
standard library is used.
"""

from __future__ import annotations

import argparse
import math
import os
import secrets
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TextIO

from tavrin_rl import PyTavrin
from tavrin_rl.agents import AGENTS, Agent, make_agent
from tavrin_rl.board import COLOUR_NAMES
from tavrin_rl.catalogue import PIECE_NAMES, action_cells, action_kind, to_board

DEFAULT_AGENTS = ("greedy", "random", "reach", "random")
NUM_SEATS = 4
Z_95 = 1.959963984540054  # two-sided 95% normal quantile


def _whole_number(text: str, minimum: int, rule: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < minimum:
        raise argparse.ArgumentTypeError(f"must be {rule}, got {value}")
    return value


def _positive_int(text: str) -> int:
    return _whole_number(text, 1, "at least 1")


def _seed(text: str) -> int:
    return _whole_number(text, 0, "0 or more")


def _agent_list(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    for name in names:
        if name not in AGENTS:
            raise argparse.ArgumentTypeError(
                f"unknown agent {name!r} (choose from {', '.join(AGENTS)})")
    if len(names) == 1:
        return names * NUM_SEATS
    if len(names) != NUM_SEATS:
        raise argparse.ArgumentTypeError(
            f"give one agent for every seat or {NUM_SEATS} comma-separated agents, "
            f"got {len(names)}")
    return names


def build_parser() -> argparse.ArgumentParser:
    agents_help = "; ".join(f"{name}: {cls.description}" for name, cls in AGENTS.items())
    script = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    parser = argparse.ArgumentParser(
        prog="tavrin-rl" if script.startswith("tavrin-rl") else "python -m tavrin_rl",
        description="Self-play between built-in agents of the four-player polyomino game.",
        epilog=f"Agents: {agents_help}.")
    parser.add_argument("--games", type=_positive_int, default=1, metavar="N",
                        help="number of games to play (default 1); more than one prints a "
                             "summary per seat instead of the final board")
    parser.add_argument("--seed", type=_seed, default=None, metavar="S",
                        help="seed of the agents' random choices (default: a fresh one, printed "
                             "so that the run can be repeated)")
    parser.add_argument("--agents", type=_agent_list, default=DEFAULT_AGENTS, metavar="LIST",
                        help="one agent for every seat, or four comma-separated agents for "
                             f"player_0 to player_3 (default {','.join(DEFAULT_AGENTS)})")
    parser.add_argument("--reward-mode", choices=PyTavrin.reward_modes, default="rank",
                        help="reward mode averaged per seat in the summary (default rank)")
    parser.add_argument("--watch", action="store_true",
                        help="draw the board after every placement")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="show a progress bar on standard error (default: when several "
                             "games are played and standard error is a terminal)")
    return parser


@dataclass
class GameResult:
    scores: list[int]
    outcomes: dict[str, list[float]]
    pieces_left: list[int]
    plies: int
    seconds: float


@dataclass
class Totals:
    games: int = 0
    plies: int = 0
    seconds: float = 0.0
    wins: list[float] = field(default_factory=lambda: [0.0] * NUM_SEATS)
    scores: list[float] = field(default_factory=lambda: [0.0] * NUM_SEATS)
    rewards: list[float] = field(default_factory=lambda: [0.0] * NUM_SEATS)

    def add(self, result: GameResult, reward_mode: str) -> None:
        self.games += 1
        self.plies += result.plies
        self.seconds += result.seconds
        for seat in range(NUM_SEATS):
            self.wins[seat] += result.outcomes["win_share"][seat]
            self.scores[seat] += result.scores[seat]
            self.rewards[seat] += result.outcomes[reward_mode][seat]


def wilson_interval(successes: float, trials: int, z: float = Z_95) -> tuple[float, float]:
    """Wilson score interval of a success rate; shared wins count fractionally."""
    if trials <= 0:
        return 0.0, 1.0
    rate = successes / trials
    denominator = 1.0 + z * z / trials
    centre = (rate + z * z / (2 * trials)) / denominator
    half = z / denominator * math.sqrt(rate * (1 - rate) / trials + z * z / (4 * trials * trials))
    return max(0.0, centre - half), min(1.0, centre + half)


class Progress:
    """A one-line progress bar on standard error, redrawn at most ten times a second."""

    WIDTH = 30

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.last_draw = 0.0

    def update(self, done: int, plies_per_second: float) -> None:
        now = time.monotonic()
        if done < self.total and now - self.last_draw < 0.1:
            return
        self.last_draw = now
        filled = self.WIDTH * done // self.total
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self.stream.write(f"\r[{bar}] {done}/{self.total} games, {plies_per_second:,.0f} plies/s")
        if done == self.total:
            self.stream.write("\n")
        self.stream.flush()


def describe_placement(agent: int, index: int) -> str:
    cells = sorted(to_board(agent, row, column) for row, column in action_cells(index))
    where = " ".join(f"({row},{column})" for row, column in cells)
    return f"{PIECE_NAMES[action_kind(index)]} on {where}"


def show_board(game: PyTavrin, out: TextIO) -> None:
    """Draw the board with `render`, which writes to file descriptor 1 behind `out`'s buffer."""
    out.flush()
    try:
        game.render()
    except BaseException as error:  # the module's own error class derives from BaseException
        if not str(error).startswith("failed printing to stdout"):
            raise
        failure = BrokenPipeError if "Broken pipe" in str(error) else OSError
        raise failure(str(error)) from error


def play_game(game: PyTavrin, agents: Sequence[Agent], names: Sequence[str], watch: bool,
              out: TextIO) -> GameResult:
    """Play one game to its end from a fresh board; with `watch`, draw it after every
    placement. Only the agents' choices and the steps are timed, not the drawing."""
    game.reset()
    seconds = 0.0
    reported_done = [False] * NUM_SEATS
    while not game.is_over:
        started = time.perf_counter()
        agent = game.agent_selection
        done = game.terminations[agent]
        action = None if done else agents[agent].act(game.observe(agent).action_mask)
        game.step(action)
        seconds += time.perf_counter() - started
        if not watch:
            continue
        if action is not None:
            out.write(f"\nply {game.ply}: player_{agent} ({names[agent]}) places "
                      f"{describe_placement(agent, action)}\n")
            show_board(game, out)
        for seat, finished in enumerate(game.terminations):
            if finished and not reported_done[seat]:
                reported_done[seat] = True
                out.write(f"player_{seat} ({names[seat]}) is out of moves\n")
    scores = game.scores
    outcomes: dict[str, list[float]] = {}
    for mode in PyTavrin.reward_modes:
        outcome = game.outcome(mode)
        assert outcome is not None  # the game is over
        outcomes[mode] = outcome
    observation = game.observe(0)
    pieces = observation.pieces  # seat order equals agent order for observer 0
    pieces_left = [sum(pieces[seat * 21:(seat + 1) * 21]) for seat in range(NUM_SEATS)]
    return GameResult(scores, outcomes, pieces_left, game.ply, seconds)


def _speed(plies: int, seconds: float) -> str:
    rate = plies / seconds if seconds > 0 else float("inf")
    return f"{plies} plies in {seconds:.3f} s ({rate:,.0f} plies/s)"


def report_game(result: GameResult, names: Sequence[str], out: TextIO) -> None:
    modes = PyTavrin.reward_modes
    out.write(f"\n{'seat':<9} {'agent':<7} {'colour':<7} {'pieces left':>11} "
              + " ".join(f"{mode:>9}" for mode in modes) + "\n")
    for seat in range(NUM_SEATS):
        values = []
        for mode in modes:
            value = result.outcomes[mode][seat]
            values.append(f"{value:>9.0f}" if mode == "score" else f"{value:>9.3f}")
        out.write(f"player_{seat:<2} {names[seat]:<7} {COLOUR_NAMES[seat]:<7} "
                  f"{result.pieces_left[seat]:>11} " + " ".join(values) + "\n")
    out.write(_speed(result.plies, result.seconds) + "\n")


def report_summary(totals: Totals, names: Sequence[str], reward_mode: str, out: TextIO) -> None:
    n = totals.games
    out.write(f"\n{n} games; wins split evenly on ties; 95% Wilson intervals\n")
    reward_title = f"mean {reward_mode}"
    out.write(f"{'seat':<9} {'agent':<7} {'wins':>7} {'win rate':>8}  {'95% interval':<15} "
              f"{'mean score':>10} {reward_title:>14}\n")
    for seat in range(NUM_SEATS):
        wins = totals.wins[seat]
        low, high = wilson_interval(wins, n)
        interval = f"{100 * low:.1f}%-{100 * high:.1f}%"
        out.write(f"player_{seat:<2} {names[seat]:<7} {wins:>7.4g} {100 * wins / n:>7.1f}%  "
                  f"{interval:<15} {totals.scores[seat] / n:>10.2f} "
                  f"{totals.rewards[seat] / n:>14.3f}\n")
    out.write(_speed(totals.plies, totals.seconds) + "\n")


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    seed = args.seed if args.seed is not None else secrets.randbelow(2**32)
    names: tuple[str, ...] = args.agents
    agents = [make_agent(name, f"{seed}:{seat}") for seat, name in enumerate(names)]
    lineup = ", ".join(f"player_{seat} {name} ({COLOUR_NAMES[seat]})"
                       for seat, name in enumerate(names))
    games = "1 game" if args.games == 1 else f"{args.games} games"
    out.write(f"tavrin_rl self-play, seed {seed}, {games}: {lineup}\n")
    show_progress = args.progress if args.progress is not None else (
        args.games > 1 and err.isatty())
    progress = Progress(args.games, err) if show_progress else None

    game = PyTavrin()
    totals = Totals()
    result = None
    for number in range(1, args.games + 1):
        if args.watch and args.games > 1:
            out.write(f"\n== game {number}\n")
        result = play_game(game, agents, names, args.watch, out)
        totals.add(result, args.reward_mode)
        if progress is not None:
            rate = totals.plies / totals.seconds if totals.seconds > 0 else 0.0
            progress.update(number, rate)
    assert result is not None
    if args.games == 1:
        if not args.watch:
            out.write("\n")
            show_board(game, out)
        report_game(result, names, out)
    else:
        report_summary(totals, names, args.reward_mode, out)
    out.flush()
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return run(args, sys.stdout, sys.stderr)
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, without a second error at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
