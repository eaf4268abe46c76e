"""`python -m tavrin_rl` (also installed as `tavrin-rl`): self-play between built-in agents, or
against a person at the terminal.

With no options it plays one game, prints the final board, every agent's score and outcome in each
reward mode, and the speed in plies (placements) per second. With --games N it prints a summary
per seat instead: win rate with a 95% Wilson interval, mean score and mean reward. --watch draws
the board after every placement, --html writes a replay page, and `human` in --agents lets a
person play a seat. Only the standard library is used.

The summary always goes to standard output, whatever becomes of standard error. A closed or
failing standard output (`>&-`, `>/dev/full`) ends the run with status 1 and one line on standard
error; a reader that goes away (`| head`) ends it quietly with status 1. Ctrl-C prints the summary
of the games finished so far and exits with status 130. A fault inside the engine (the module's
`InternalError`) is reported in one line, with status 70.
"""

from __future__ import annotations

import argparse
import math
import os
import secrets
import shutil
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Any, TextIO

from tavrin_rl import InternalError, PyTavrin
from tavrin_rl.agents import AGENTS, Agent, Stream, make_agent, parse_agent
from tavrin_rl.board import COLOUR_NAMES, piece_masks
from tavrin_rl.catalogue import NUM_SEATS, PIECE_NAMES, action_cells, action_kind, to_board
from tavrin_rl.data import _cli as dataset_cli
from tavrin_rl._progress import Progress
from tavrin_rl.human import HumanPlayer, QuitGame
from tavrin_rl.text_board import draw, use_colour

DEFAULT_AGENTS = ("greedy", "random", "reach", "random")
HUMAN = "human"
Z_95 = 1.959963984540054  # two-sided 95% normal quantile
WATCH_DELAY = 0.2  # seconds between placements when --watch draws on a terminal


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


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 <= value <= 3600:  # also refuses nan and inf
        raise argparse.ArgumentTypeError(f"must be 0 to 3600 seconds, got {text}")
    return value


def _agent_list(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    choices = (*AGENTS, HUMAN)
    for name in names:
        if name == HUMAN:
            continue
        try:
            parse_agent(name)
        except ValueError as error:
            if name.partition(":")[0] not in choices:
                error = ValueError(f"unknown agent {name!r} (choose from {', '.join(choices)})")
            raise argparse.ArgumentTypeError(str(error)) from None
    if len(names) == 1:
        return names * NUM_SEATS
    if len(names) != NUM_SEATS:
        raise argparse.ArgumentTypeError(
            f"give one agent for every seat or {NUM_SEATS} comma-separated agents, "
            f"got {len(names)}")
    return names


def build_parser() -> argparse.ArgumentParser:
    """The command's options. Options are grouped by what they change, so that a new group
    (output files, parallel workers) is one more `add_argument_group` here."""
    agents_help = "; ".join(f"{name}: {cls.description}" for name, cls in AGENTS.items())
    script = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    parser = argparse.ArgumentParser(
        prog="tavrin-rl" if script.startswith("tavrin-rl") else "python -m tavrin_rl",
        description="Self-play between built-in agents of the four-player polyomino game.",
        epilog=f"Agents: {agents_help}; {HUMAN}: {HumanPlayer.description}.")
    play = parser.add_argument_group("play")
    play.add_argument("--games", type=_positive_int, default=1, metavar="N",
                      help="number of games to play (default 1); more than one prints a "
                           "summary per seat instead of the final board")
    play.add_argument("--seed", type=_seed, default=None, metavar="S",
                      help="seed of the agents' random choices (default: a fresh one, printed "
                           "so that the run can be repeated)")
    play.add_argument("--agents", type=_agent_list, default=DEFAULT_AGENTS, metavar="LIST",
                      help="one agent for every seat, or four comma-separated agents for "
                           f"player_0 to player_3 (default {','.join(DEFAULT_AGENTS)}); e.g. "
                           "mcts,reach,reach,reach, or mcts:200:random for a search of 200 "
                           "random playouts per move")
    play.add_argument("--reward-mode", choices=PyTavrin.reward_modes, default="rank",
                      help="reward mode averaged per seat in the summary (default rank)")
    show = parser.add_argument_group("display")
    show.add_argument("--watch", action="store_true",
                      help="draw the board after every placement (in place on a terminal)")
    show.add_argument("--delay", type=_seconds, default=None, metavar="SECONDS",
                      help=f"pause after each placement drawn by --watch (default "
                           f"{WATCH_DELAY} on a terminal, 0 otherwise)")
    show.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                      help="show a progress bar on standard error (default: when several "
                           "games are played and standard error is a terminal)")
    files = parser.add_argument_group("output files")
    files.add_argument("--html", metavar="PATH", default=None,
                       help="write a self-contained HTML page replaying the game (the last "
                            "one with --games N)")
    dataset_cli.add_arguments(parser)
    return parser


@dataclass
class GameResult:
    """One game's end: scores, outcomes per reward mode (None when the game was left
    unfinished), pieces left per seat, plies played, the agents' time, and the placements."""

    scores: list[int]
    outcomes: dict[str, list[float]] | None
    pieces_left: list[int]
    plies: int
    seconds: float
    moves: list[tuple[int, int]] = field(default_factory=list)


@dataclass
class Totals:
    """Sums over finished games. Wins are kept as exact fractions: a tie among three leaders
    gives each a third, and three such thirds make a whole win again."""

    games: int = 0
    plies: int = 0
    seconds: float = 0.0
    wins: list[Fraction] = field(default_factory=lambda: [Fraction(0)] * NUM_SEATS)
    scores: list[float] = field(default_factory=lambda: [0.0] * NUM_SEATS)
    rewards: list[float] = field(default_factory=lambda: [0.0] * NUM_SEATS)

    def add(self, result: GameResult, reward_mode: str) -> None:
        """Count one finished game, with its reward in `reward_mode`."""
        assert result.outcomes is not None  # only finished games are counted
        self.games += 1
        self.plies += result.plies
        self.seconds += result.seconds
        for seat in range(NUM_SEATS):
            share = result.outcomes["win_share"][seat]
            # single-precision shares (0.33333334) name the exact split 1 / leaders
            self.wins[seat] += Fraction(1, round(1 / share)) if share > 0 else 0
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


def format_wins(wins: Sequence[Fraction | float]) -> list[str]:
    """The wins column: whole numbers while every seat's wins are whole, otherwise every seat
    with one decimal (ties split wins into halves, thirds and quarters)."""
    if all(float(w).is_integer() for w in wins):
        return [f"{int(w)}" for w in wins]
    return [f"{float(w):.1f}" for w in wins]


def describe_placement(agent: int, index: int) -> str:
    """The piece and the board cells of a placement by `agent`, as --watch prints it."""
    cells = sorted(to_board(agent, row, column) for row, column in action_cells(index))
    where = " ".join(f"({row},{column})" for row, column in cells)
    return f"{PIECE_NAMES[action_kind(index)]} on {where}"


class Watcher:
    """Draws the board after every placement. On a terminal each drawing replaces the one
    before (the cursor goes back up over it), with a pause between them; elsewhere, as in a
    log, the drawings follow each other."""

    def __init__(self, out: TextIO, names: Sequence[str], delay: float, live: bool,
                 colour: bool) -> None:
        self.out = out
        self.names = names
        self.delay = delay
        self.live = live
        self.colour = colour
        self.height = 0  # lines of the drawing on screen, to go back over

    def placement(self, game: PyTavrin, agent: int, index: int,
                  newly_done: Sequence[int]) -> None:
        """Draw the board after `agent` placed `index`; `newly_done` are the seats that ran out
        of moves with it."""
        last = [to_board(agent, row, column) for row, column in action_cells(index)]
        lines = [f"ply {game.ply}: player_{agent} ({self.names[agent]}) places "
                 f"{describe_placement(agent, index)}"]
        lines += draw(game, names=self.names, colour=self.colour, last=last).split("\n")
        if self.live:
            if self.height >= shutil.get_terminal_size().lines:
                # part of the last drawing scrolled away, out of the cursor's reach: start
                # again at the top of a cleared screen
                self.out.write("\x1b[H\x1b[J")
            elif self.height:
                self.out.write(f"\x1b[{self.height}F\x1b[J")  # up to the drawing's top, clear
            self.height = len(lines)
        else:
            lines.insert(0, "")
            lines += [f"player_{seat} ({self.names[seat]}) is out of moves"
                      for seat in newly_done]
        self.out.write("\n".join(lines) + "\n")
        self.out.flush()
        if self.delay > 0:
            time.sleep(self.delay)

    def forget(self) -> None:
        """Keep what is on screen: the next drawing starts below it."""
        self.height = 0


def play_game(game: PyTavrin, agents: Sequence[Any], watcher: Watcher | None,
              narrate: Callable[[str], None] | None = None) -> GameResult:
    """Play one game to its end from a fresh board. Only the built-in agents' choices and the
    steps are timed, not drawing or a person's thinking. A person's `quit` ends the game early
    (the result then has no outcomes). `narrate`, when given, receives a line per placement."""
    game.reset()
    seconds = 0.0
    moves: list[tuple[int, int]] = []
    last: list[tuple[int, int]] = []
    reported_done = [False] * NUM_SEATS
    quit_early = False
    while not game.is_over:
        agent = game.agent_selection
        player = agents[agent]
        action: int | None
        if game.terminations[agent]:
            action = None
        elif isinstance(player, HumanPlayer):
            if watcher is not None:
                watcher.forget()
            try:
                action = player.choose(game, agent, last)
            except QuitGame:
                quit_early = True
                break
        else:
            started = time.perf_counter()
            action = player.act(None, game=game)
            seconds += time.perf_counter() - started
        started = time.perf_counter()
        game.step(action)
        seconds += time.perf_counter() - started
        if action is None:
            continue
        moves.append((agent, action))
        last = [to_board(agent, row, column) for row, column in action_cells(action)]
        newly_done = [seat for seat, finished in enumerate(game.terminations)
                      if finished and not reported_done[seat]]
        for seat in newly_done:
            reported_done[seat] = True
        if watcher is not None:
            watcher.placement(game, agent, action, newly_done)
        elif narrate is not None:
            narrate(f"ply {game.ply}: player_{agent} places {describe_placement(agent, action)}")
    outcomes: dict[str, list[float]] | None = None
    if not quit_early:
        outcomes = {}
        for mode in PyTavrin.reward_modes:
            outcome = game.outcome(mode)
            assert outcome is not None  # the game is over
            outcomes[mode] = outcome
    pieces_left = [bin(mask).count("1") for mask in piece_masks(game.to_bytes())]
    return GameResult(game.scores, outcomes, pieces_left, game.ply, seconds, moves)


def _speed(plies: int, seconds: float) -> str:
    rate = plies / seconds if seconds > 0 else float("inf")
    return f"{plies} plies in {seconds:.3f} s ({rate:,.0f} plies/s)"


def report_game(result: GameResult, names: Sequence[str], out: TextIO) -> None:
    """The table of one game: per seat its agent, pieces left, score and outcome per mode."""
    modes = PyTavrin.reward_modes
    width = max(7, *(len(name) for name in names))
    out.write(f"{'seat':<9} {'agent':<{width}} {'colour':<7} {'pieces left':>11} "
              + " ".join(f"{mode:>9}" for mode in modes) + "\n")
    for seat in range(NUM_SEATS):
        values = []
        for mode in modes:
            if mode == "score":
                values.append(f"{result.scores[seat]:>9}")
            elif result.outcomes is None:
                values.append(f"{'-':>9}")
            else:
                values.append(f"{result.outcomes[mode][seat]:>9.3f}")
        out.write(f"player_{seat:<2} {names[seat]:<{width}} {COLOUR_NAMES[seat]:<7} "
                  f"{result.pieces_left[seat]:>11} " + " ".join(values) + "\n")
    if result.outcomes is None:
        out.write(f"game left unfinished after {result.plies} plies\n")
    else:
        out.write(_speed(result.plies, result.seconds) + "\n")


def report_summary(totals: Totals, names: Sequence[str], reward_mode: str, out: TextIO,
                   planned: int | None = None) -> None:
    """The table over many games: wins (ties split evenly), win rate with its Wilson interval,
    mean score, and the mean reward in `reward_mode` unless that is the score itself."""
    n = totals.games
    played = f"{n} games" if planned is None else f"{n} of {planned} games (interrupted)"
    out.write(f"\n{played}; wins split evenly on ties; 95% Wilson intervals\n")
    width = max(7, *(len(name) for name in names))
    reward_title = "" if reward_mode == "score" else f" {'mean ' + reward_mode:>14}"
    out.write(f"{'seat':<9} {'agent':<{width}} {'wins':>7} {'win rate':>8}  "
              f"{'95% interval':<15} {'mean score':>10}{reward_title}\n")
    wins = format_wins(totals.wins)
    for seat in range(NUM_SEATS):
        low, high = wilson_interval(float(totals.wins[seat]), n)
        interval = f"{100 * low:.1f}%-{100 * high:.1f}%"
        reward = "" if reward_mode == "score" else f" {totals.rewards[seat] / n:>14.3f}"
        out.write(f"player_{seat:<2} {names[seat]:<{width}} {wins[seat]:>7} "
                  f"{100 * float(totals.wins[seat]) / n:>7.1f}%  {interval:<15} "
                  f"{totals.scores[seat] / n:>10.2f}{reward}\n")
    out.write(_speed(totals.plies, totals.seconds) + "\n")


class StdoutFailed(Exception):
    """Writing to standard output failed; `error` is the OSError it raised."""

    def __init__(self, error: OSError) -> None:
        super().__init__(str(error))
        self.error = error


class _Stdout:
    """Standard output for `run`: every OSError of a write or flush becomes `StdoutFailed`, so
    that a failing stdout is told apart from other failures (of an --html file, say)."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def _guard(self, call: Callable[[], Any]) -> Any:
        try:
            return call()
        except OSError as error:
            raise StdoutFailed(error) from error

    def write(self, text: str) -> int:
        """Write `text`; a failure raises `StdoutFailed`."""
        return self._guard(lambda: self.stream.write(text))  # type: ignore[no-any-return]

    def flush(self) -> None:
        """Flush; a failure raises `StdoutFailed`."""
        self._guard(self.stream.flush)

    def isatty(self) -> bool:
        """Whether standard output is a terminal (False once it is closed)."""
        try:
            return self.stream.isatty()
        except (ValueError, OSError):
            return False


def _tell(err: TextIO | None, message: str) -> None:
    """One line on standard error, if there is one that still works."""
    if err is None:
        return
    try:
        err.write(f"tavrin_rl: {message}\n")
        err.flush()
    except (OSError, ValueError):
        pass


def run(args: argparse.Namespace, out: TextIO, err: TextIO | None,
        stdin: TextIO | None = None) -> int:
    """Play the games `args` asks for, writing to `out` (and progress to `err`, which may be
    None); return the exit status."""
    seed = args.seed if args.seed is not None else secrets.randbelow(2**32)
    names: tuple[str, ...] = args.agents
    colour = use_colour(out)
    stdin = sys.stdin if stdin is None else stdin
    if HUMAN in names and stdin is None:
        _tell(err, "standard input is closed: nobody can play the human seat")
        return 2
    agents: list[Any] = [
        HumanPlayer(stdin, out, names, colour) if name == HUMAN else
        make_agent(name)
        for seat, name in enumerate(names)]
    lineup = ", ".join(f"player_{seat} {name} ({COLOUR_NAMES[seat]})"
                       for seat, name in enumerate(names))
    games = "1 game" if args.games == 1 else f"{args.games} games"
    out.write(f"tavrin_rl self-play, seed {seed}, {games}: {lineup}\n")
    live = out.isatty()
    show_progress = args.progress if args.progress is not None else (
        args.games > 1 and err is not None and _is_terminal(err))
    progress = Progress(args.games, err) if show_progress and err is not None else None
    watcher = None
    if args.watch:
        delay = args.delay if args.delay is not None else (WATCH_DELAY if live else 0.0)
        watcher = Watcher(out, names, delay, live, colour)

    # A person sees what the others did between two of its turns.
    narrate: Callable[[str], None] | None = None
    if HUMAN in names:
        def narrate(line: str) -> None:
            out.write(line + "\n")
    game = PyTavrin()
    totals = Totals()
    result = None
    interrupted = False
    try:
        for number in range(1, args.games + 1):
            # Every game draws from its own stream, shared by its built-in agents: the recipe of
            # the dataset writer and VectorGames, so a seed gives the same games with --out.
            stream = Stream.for_game(seed, number - 1)
            for agent in agents:
                if isinstance(agent, Agent):
                    agent.stream = stream
            if watcher is not None and args.games > 1:
                out.write(f"\n== game {number}\n")
                watcher.forget()
            result = play_game(game, agents, watcher, narrate)
            if result.outcomes is None:  # a person quit
                break
            totals.add(result, args.reward_mode)
            if progress is not None:
                rate = totals.plies / totals.seconds if totals.seconds > 0 else 0.0
                progress.update(number, f"{rate:,.0f} plies/s")
    except KeyboardInterrupt:
        interrupted = True
    if progress is not None:
        progress.end()
    if interrupted:
        if totals.games == 0:
            out.write("\ninterrupted before the first game ended\n")
        else:
            report_summary(totals, names, args.reward_mode, out, planned=args.games)
        out.flush()
        return 130
    assert result is not None
    if result.outcomes is None or args.games == 1:
        if args.watch and result.outcomes is not None:
            out.write("\n")
        else:
            out.write("\n" + draw(game, names=names, colour=colour) + "\n\n")
        if totals.games and args.games > 1:
            report_summary(totals, names, args.reward_mode, out, planned=args.games)
        report_game(result, names, out)
    else:
        report_summary(totals, names, args.reward_mode, out)
    out.flush()
    if args.html is not None:  # after the summary, which a failure here must not cost
        from tavrin_rl.replay import write_html  # only this option needs it
        try:
            write_html(args.html, result.moves, names, title=f"tavrin_rl, seed {seed}")
        except OSError as error:
            _tell(err, f"cannot write {args.html}: {error.strerror or error}")
            return 1
        # on standard error: the page itself may have gone to standard output (/dev/stdout)
        _tell(err, f"replay written to {args.html}")
    return 0


def _is_terminal(stream: TextIO) -> bool:
    """Whether `stream` is a terminal (the progress bar redraws one line and needs one)."""
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False


def _quiet_stdout() -> None:
    """Point file descriptor 1 at /dev/null, so that the interpreter's last flush of sys.stdout
    at exit neither fails nor reports the failure a second time."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """The command line entry point; returns the exit status."""
    words = sys.argv[1:] if argv is None else list(argv)
    if words[:1] == ["arena"]:  # a command of its own, with its own options
        from tavrin_rl.arena import main as arena_main
        return arena_main(words[1:])
    if words[:1] == ["train"]:  # likewise: tavrin_rl.train parses its own options
        from tavrin_rl.train import main as train_main
        return train_main(words[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    dataset_cli.check_arguments(parser, args)
    err = sys.stderr  # None when started with standard error closed (2>&-)
    if sys.stdout is None:  # started with standard output closed (>&-)
        _tell(err, "standard output is closed")
        return 1
    out: Any = _Stdout(sys.stdout)
    try:
        if args.out is not None:
            return dataset_cli.run_dataset(args, sys.argv[1:] if argv is None else argv,
                                           parser.prog, out, err)
        return run(args, out, err)
    except StdoutFailed as failure:
        _quiet_stdout()
        if isinstance(failure.error, BrokenPipeError):
            return 1  # the reader went away (`... | head`): nothing to tell
        _tell(err, f"cannot write to standard output: {failure.error.strerror or failure}")
        return 1
    except KeyboardInterrupt:  # while writing the summary
        return 130
    except InternalError as error:
        # A fault inside the engine is a bug, never a state reached by play: say so in one line
        # with the text that locates it, rather than as a traceback of our own code.
        _tell(err, f"internal error: {error} (a bug in tavrin_rl: please report it with the "
                   "command line)")
        return 70  # EX_SOFTWARE


if __name__ == "__main__":
    sys.exit(main())
