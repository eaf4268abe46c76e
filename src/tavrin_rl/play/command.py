"""`python -m tavrin_rl play`: start the play page's server and open the page."""

from __future__ import annotations

import argparse
import os
import sys
import threading
import webbrowser
from collections.abc import Sequence
from typing import Any, TextIO

from tavrin_rl._command import add_seed, prog, real, run_guarded, run_seed, tell
from tavrin_rl.agents import AGENTS, agent_config
from tavrin_rl.catalogue import NUM_SEATS
from tavrin_rl.play.tables import HUMAN

DEFAULT_OPPONENTS = "mcts"


def _seats(text: str) -> tuple[int, ...]:
    seats = []
    for word in text.split(","):
        word = word.strip()
        # int() refuses texts of over 4300 digits: the length is checked first
        if not (word.isascii() and word.isdigit()) or len(word) > 20 or int(word) >= NUM_SEATS:
            raise argparse.ArgumentTypeError(
                f"seats are numbers from 0 to {NUM_SEATS - 1}, comma-separated; got {text!r}")
        if int(word) in seats:
            raise argparse.ArgumentTypeError(f"seat {word} given twice in {text!r}")
        seats.append(int(word))
    return tuple(seats)


def _agents(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    for name in names:
        try:
            agent_config(name)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return names


def _port(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or len(text) > 20 or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"a port is a whole number from 0 to 65535, got {text!r}")
    return int(text)


def _host(text: str) -> str:
    from tavrin_rl.play.server import listen_address
    try:
        return listen_address(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _pause(text: str) -> float:
    return real(text, "0 to 10 seconds", 0, 10)


def build_parser() -> argparse.ArgumentParser:
    agents = ", ".join(AGENTS)
    parser = argparse.ArgumentParser(
        prog=prog(" play"),
        description="Play against the agents in your browser: a local server and its page.",
        epilog=f"Agents: {agents}; e.g. mcts:200, baseline, policy:PATH.")
    parser.add_argument("--seat", type=_seats, default=(0,), metavar="N[,N...]",
                        help=f"your seat or seats, 0 to {NUM_SEATS - 1} (default 0: you move "
                             "first, from the top-left corner)")
    parser.add_argument("--opponents", type=_agents, default=None,
                        metavar="LIST",
                        help="one agent for every other seat, or one per other seat in seat "
                             f"order, comma-separated (default {DEFAULT_OPPONENTS})")
    add_seed(parser, help="seed of the agents' random choices (default: a fresh one, printed)")
    parser.add_argument("--host", type=_host, default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1: this machine only)")
    parser.add_argument("--port", type=_port, default=0,
                        help="port to listen on (default 0: a free one)")
    parser.add_argument("--pause", type=_pause, default=0.6, metavar="SECONDS",
                        help="pause after each agent's move on the page (default 0.6)")
    parser.add_argument("--no-browser", action="store_true",
                        help="print the page's address instead of opening a browser")
    return parser


def lineup(parser: argparse.ArgumentParser, args: argparse.Namespace) -> tuple[str, ...]:
    """Every seat's player, HUMAN or an agent string; refuses counts that do not fit."""
    others = [seat for seat in range(NUM_SEATS) if seat not in args.seat]
    if not others and args.opponents is not None:
        parser.error("--opponents: every seat is yours (--seat), none is left for an agent")
    opponents: tuple[str, ...] = args.opponents or (DEFAULT_OPPONENTS,)
    if len(opponents) == 1:
        opponents = opponents * len(others)
    if len(opponents) != len(others):
        parser.error(f"--opponents: give one agent, or {len(others)} for seats "
                     f"{', '.join(map(str, others))}; got {len(opponents)}")
    seats = [HUMAN] * NUM_SEATS
    for seat, name in zip(others, opponents):
        seats[seat] = name
    for name in set(opponents):
        try:  # a policy file is read here, so that a bad one is refused before the server starts
            agent_config(name).check()
        except ValueError as error:
            parser.error(f"--opponents: {name}: {error}")
    return tuple(seats)


def main(argv: Sequence[str]) -> int:
    err = sys.stderr
    parser = build_parser()
    try:
        args = parser.parse_args(list(argv))
        seats = lineup(parser, args)  # reads the policy files
    except KeyboardInterrupt:  # Ctrl-C before the server starts: nothing to undo
        tell(err, "stopped")
        return 130
    return run_guarded(lambda out: serve(args, seats, out, err), err)


def _graphical() -> bool:
    """Whether a browser window can open. Without a display, `webbrowser` falls back to a text
    browser such as lynx, which would take over the terminal the server prints to."""
    if sys.platform in ("darwin", "win32"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def serve(args: argparse.Namespace, seats: tuple[str, ...], out: Any, err: TextIO | None) -> int:
    from tavrin_rl.play.server import PlayServer

    seed = run_seed(args.seed)
    try:
        server = PlayServer(args.host, args.port, seats, seed, pause=args.pause)
    except OSError as error:
        tell(err, f"cannot listen on {args.host}:{args.port}: {error.strerror or error}")
        return 1
    try:
        lineup_text = ", ".join(f"player_{seat} {'you' if name == HUMAN else name}"
                                for seat, name in enumerate(seats))
        out.write(f"tavrin_rl play, seed {seed}: {lineup_text}\n")
        out.write(f"open {server.address}\n(Ctrl-C stops the server)\n")
        out.flush()
        if not args.no_browser:
            if _graphical():
                # webbrowser may wait for the browser it starts: not on the serving thread
                threading.Thread(target=webbrowser.open, args=(server.address,),
                                 daemon=True).start()
            else:
                tell(err, "no graphical display here: open the address above in a browser")
        server.serve_forever()
    except KeyboardInterrupt:
        tell(err, "stopped")
        return 130
    finally:
        server.server_close()
    return 0
