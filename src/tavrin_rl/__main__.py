"""`python -m tavrin_rl` (also installed as `tavrin-rl`): self-play between built-in agents, or
against a person at the terminal.

With no options it plays one game, prints the final board, every agent's score and outcome in each
reward mode, and the speed in plies (placements) per second. With --games N it prints a summary
per seat instead: win rate with a 95% Wilson interval, mean score and mean reward. --watch draws
the board after every placement, --html writes a replay page, and `human` in --agents lets a
person play a seat. Only the standard library is used. `python -m tavrin_rl play` serves a page
to play against the agents in a browser (`tavrin_rl.play`).

The summary always goes to standard output, whatever becomes of standard error. A closed or
failing standard output (`>&-`, `>/dev/full`) ends the run with status 1 and one line on standard
error; a reader that goes away (`| head`) ends it quietly with status 1. Ctrl-C prints the summary
of the games finished so far and exits with status 130. A fault inside the engine (the module's
`InternalError`) is reported in one line, with status 70.
"""

from __future__ import annotations

import signal
import sys



def _stopped_while_loading(number: int, frame: object) -> None:
    sys.stderr.write("tavrin_rl: stopped\n")
    raise SystemExit(130)


# Ctrl-C while the package loads (a second or so) ends the run as Ctrl-C ends it later, in one
# line and status 130, not a traceback of whichever import it landed in. A SIGINT that was
# ignored when the process started stays ignored.
if __name__ == "__main__" and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
    signal.signal(signal.SIGINT, _stopped_while_loading)

import argparse
import shutil
import time
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl._command import add_seed, game_count, is_terminal, positive_int, prog, run_guarded, run_seed, tell
from tavrin_rl._command import seconds as seconds_option
from tavrin_rl._progress import Progress
from tavrin_rl._summary import (  # noqa: F401 (names of this module since its start)
    GameResult, Totals, format_wins, report_game, report_summary, wilson_interval,
)
from tavrin_rl.agents import AGENTS, Agent, Stream, make_agent, parse_agent, pass_turns  # noqa: F401
from tavrin_rl.agents.config import agent_config
from tavrin_rl.board_state import COLOUR_NAMES, piece_masks
from tavrin_rl.catalogue import NUM_SEATS, describe_action, placed_cells, to_board_action
from tavrin_rl.data import _cli as dataset_cli
from tavrin_rl.human import HumanPlayer, QuitGame
from tavrin_rl.text_board import draw, use_colour

DEFAULT_AGENTS = ("greedy", "random", "reach", "random")
HUMAN = "human"
WATCH_DELAY = 0.2  # seconds between placements when --watch draws on a terminal


def _agent_list(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    choices = (*AGENTS, HUMAN)
    for name in names:
        if name == HUMAN:
            continue
        try:
            agent_config(name).check()  # a policy file is read here, once, for the run too
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
    parser = argparse.ArgumentParser(
        prog=prog(),
        description="Self-play between built-in agents of the four-player polyomino game. "
                    "Other commands, each with its own --help: play (you against agents in the "
                    "browser), arena (rate agents against each other), train (PPO and expert "
                    "iteration; the train extra).",
        epilog=f"Agents: {agents_help}; {HUMAN}: {HumanPlayer.description}.")
    play = parser.add_argument_group("play")
    play.add_argument("--games", type=game_count, default=1, metavar="N",
                      help="number of games to play (default 1); more than one prints a "
                           "summary per seat instead of the final board")
    add_seed(play, help="seed of the agents' random choices (default: a fresh one, printed "
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
    show.add_argument("--delay", type=seconds_option, default=None, metavar="SECONDS",
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


def describe_placement(agent: int, index: int) -> str:
    """A placement by `agent` (`index` in its own frame) as people read it, in the board's frame:
    its notation, as a person would type it at the terminal, and its cells, as --watch and the
    log print it: "L5:3 at 0,15 on (0,18) (0,19) (1,19) (2,19) (3,19)"."""
    cells = sorted(placed_cells(agent, index))
    where = " ".join(f"({row},{column})" for row, column in cells)
    return f"{describe_action(to_board_action(agent, index))} on {where}"


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
        last = placed_cells(agent, index)
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
    while True:
        started = time.perf_counter()
        pass_turns(game)
        seconds += time.perf_counter() - started
        if game.is_over:
            break
        agent = game.agent_selection
        player = agents[agent]
        action: int | None
        if isinstance(player, HumanPlayer):
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
        if action is None:  # no placement was made
            continue
        moves.append((agent, action))
        last = placed_cells(agent, action)
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


def run(args: argparse.Namespace, out: TextIO, err: TextIO | None,
        stdin: TextIO | None = None) -> int:
    """Play the games `args` asks for, writing to `out` (and progress to `err`, which may be
    None); return the exit status."""
    seed = run_seed(args.seed)
    names: tuple[str, ...] = args.agents
    colour = use_colour(out)
    stdin = sys.stdin if stdin is None else stdin
    if HUMAN in names and stdin is None:
        tell(err, "standard input is closed: nobody can play the human seat")
        return 2
    agents: list[Any] = [
        HumanPlayer(stdin, out, names, colour) if name == HUMAN else
        agent_config(name).make()
        for seat, name in enumerate(names)]
    lineup = ", ".join(f"player_{seat} {name} ({COLOUR_NAMES[seat]})"
                       for seat, name in enumerate(names))
    games = "1 game" if args.games == 1 else f"{args.games} games"
    out.write(f"tavrin_rl self-play, seed {seed}, {games}: {lineup}\n")
    live = out.isatty()
    show_progress = args.progress if args.progress is not None else (
        args.games > 1 and err is not None and is_terminal(err))
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
            tell(err, f"cannot write {args.html}: {error.strerror or error}")
            return 1
        # on standard error: the page itself may have gone to standard output (/dev/stdout)
        tell(err, f"replay written to {args.html}")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """The command line entry point; returns the exit status."""
    words = sys.argv[1:] if argv is None else list(argv)
    if words[:1] == ["arena"]:  # a command of its own, with its own options
        from tavrin_rl.arena import main as arena_main
        return arena_main(words[1:])
    if words[:1] == ["play"]:  # the browser page's server, with its own options
        from tavrin_rl.play import main as play_main
        return play_main(words[1:])
    if words[:1] == ["train"]:  # likewise: tavrin_rl.train parses its own options
        from tavrin_rl.train import main as train_main
        return train_main(words[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    dataset_cli.check_arguments(parser, args)
    err = sys.stderr  # None when started with standard error closed (2>&-)

    def command(out: Any) -> int:
        if args.out is not None:
            return dataset_cli.run_dataset(args, sys.argv[1:] if argv is None else argv,
                                           parser.prog, out, err)
        return run(args, out, err)
    return run_guarded(command, err)


if __name__ == "__main__":
    if signal.getsignal(signal.SIGINT) is _stopped_while_loading:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        status = main()
    except KeyboardInterrupt:  # in a subcommand's imports, before its own handling starts
        tell(sys.stderr, "stopped")
        status = 130
    sys.exit(status)
