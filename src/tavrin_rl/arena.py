"""`python -m tavrin_rl arena AGENT AGENT ...`: rates agents by playing them against each other.

The pool's agents sit at four-player tables on a fixed, balanced schedule. With four agents or
more, every combination of four of them is a table; with three, each agent in turn takes two
seats of the table; with two, each takes two seats, side by side and alternating. Every table
plays its four cyclic rotations in a row, so over each whole cycle of the schedule every agent
meets every other and sits in every seat equally often.

Game g of a run seeded with S gives every built-in agent at the table the stream
`Stream.for_game(S, g)`, the recipe of the self-play command and the dataset writer, and the
agents are made afresh for every game: which worker plays a game never changes it.

Ratings come from the `openskill` package (`pip install 'tavrin_rl[arena]'`): the Plackett-Luce
model on each game's ranking by score, tied scores as ties, the games taken in game-number order.
A rating is a mean `mu`, an uncertainty `sigma`, and the conservative `ordinal` mu - 3 sigma that
the table is sorted by. Copies of one agent at a table (pools of two or three) each play as a
separate player of the ranking, starting from the agent's rating; the agent's rating then takes
every copy's change: mu moves by the sum of the copies' changes and sigma's square by the product
of their factors, as if the copies' results had been observed one after the other. The copies
are interchangeable, so which of them finished ahead of the other makes no difference.
Win shares (ties split evenly), mean score and mean place count each seat an agent held as one
observation, so an agent doubled at a table counts twice in that game.

Besides the table on standard output: --out writes JSON, --svg a picture of the ratings. Ctrl-C
prints the table of the games finished so far (only those count) and exits with status 130.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import itertools
import json
import math
import multiprocessing
import os
import secrets
import signal
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from fractions import Fraction
from typing import Any, TextIO
from xml.sax.saxutils import escape

from tavrin_rl import InternalError, PyTavrin
from tavrin_rl.__main__ import (
    StdoutFailed, _is_terminal, _positive_int, _quiet_stdout, _seed, _Stdout, _tell,
    wilson_interval)
from tavrin_rl.agents import Agent, Stream, make_agent
from tavrin_rl._progress import Progress
from tavrin_rl._system import available_cpus
from tavrin_rl.data._workers import Interrupts, ignore_interrupts, import_ray, stop_pool
from tavrin_rl.catalogue import NUM_SEATS

MAX_CHUNK = 8  # games per task: small, so that Ctrl-C loses little work in progress
Z = 3.0  # ordinal = mu - Z sigma, openskill's default
COPIES = ("copies of an agent at one table each play as a separate player of the ranking; "
          "the agent's rating takes the sum of their mu changes and the product of their "
          "sigma^2 factors; win share, score and place count every seat held")


# --- the schedule ------------------------------------------------------------------------------

def tables(pool_size: int) -> list[tuple[int, ...]]:
    """The tables of one cycle, as pool indexes per seat before rotation."""
    if pool_size < 2:
        raise ValueError(f"an arena needs at least 2 agents, got {pool_size}")
    if pool_size >= NUM_SEATS:
        return list(itertools.combinations(range(pool_size), NUM_SEATS))
    if pool_size == 3:
        # each agent doubled once: over the cycle every agent holds 16 seats, 4 in each
        return [(a, a, b, c) for a, b, c in ((0, 1, 2), (1, 2, 0), (2, 0, 1))]
    # two agents: side by side, then alternating (who moves after whom matters)
    return [(0, 0, 1, 1), (0, 1, 0, 1)]


def schedule(pool_size: int) -> list[tuple[int, ...]]:
    """One cycle of the schedule: every table in its four cyclic rotations, one after the other,
    so that the seats are balanced after every fourth game already."""
    return [table[r:] + table[:r] for table in tables(pool_size) for r in range(NUM_SEATS)]


# --- playing -----------------------------------------------------------------------------------

@dataclass(frozen=True)
class Plan:
    """What a worker needs to play any game of the run; small and picklable."""

    specs: tuple[str, ...]
    seed: int
    cycle: tuple[tuple[int, ...], ...]


@dataclass(frozen=True)
class GameRecord:
    """One finished game: the pool index and score per seat, placements and passes asked of
    each seat (`moves`), the CPU seconds each seat's agent took to choose them, and plies."""

    number: int
    seats: tuple[int, ...]
    scores: tuple[int, ...]
    moves: tuple[int, ...]
    cpu: tuple[float, ...]
    plies: int


def play_game(plan: Plan, number: int) -> GameRecord:
    """Plays game `number` of the run to its end."""
    seats = plan.cycle[number % len(plan.cycle)]
    stream = Stream.for_game(plan.seed, number)
    agents = []
    for index in seats:
        # fresh agents every game: nothing an agent keeps can carry over to the next game, which
        # may be another worker's
        agent = make_agent(plan.specs[index])
        if isinstance(agent, Agent):
            agent.stream = stream
        agents.append(agent)
    game = PyTavrin()
    moves = [0] * NUM_SEATS
    cpu = [0.0] * NUM_SEATS
    while not game.is_over:
        seat = game.agent_selection
        action = None
        if not game.terminations[seat]:
            started = time.thread_time()
            action = agents[seat].act(None, game=game)
            cpu[seat] += time.thread_time() - started
            moves[seat] += 1
        game.step(action)
    return GameRecord(number, tuple(seats), tuple(game.scores), tuple(moves), tuple(cpu),
                      game.ply)


def play_chunk(plan: Plan, first: int, count: int) -> list[GameRecord]:
    """Plays games [first, first + count): one task of a worker."""
    return [play_game(plan, number) for number in range(first, first + count)]


Done = Callable[[list[GameRecord]], None]


def _run_in_process(plan: Plan, games: int, done: Done) -> None:
    for number in range(games):
        done([play_game(plan, number)])  # game by game: Ctrl-C keeps every finished one


def _chunks(games: int, size: int) -> list[tuple[int, int]]:
    return [(first, min(size, games - first)) for first in range(0, games, size)]


def _run_processes(plan: Plan, games: int, done: Done, workers: int, size: int) -> None:
    """Chunks on K worker processes, started as the dataset writer starts them."""
    context = multiprocessing.get_context("spawn")  # no fork of a driver that may hold threads
    pool = concurrent.futures.ProcessPoolExecutor(
        max_workers=workers, mp_context=context, initializer=ignore_interrupts)
    try:
        with Interrupts() as interrupts:
            # Workers start inside submit and inherit the signal mask: with SIGINT blocked, a
            # Ctrl-C while one starts cannot kill it before it ignores SIGINT. The driver gets
            # its own Ctrl-C when the block is lifted.
            mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
            try:
                running = {pool.submit(play_chunk, plan, first, count)
                           for first, count in _chunks(games, size)}
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, mask)
            while running:
                interrupts.check()
                finished, running = concurrent.futures.wait(
                    running, timeout=interrupts.POLL,
                    return_when=concurrent.futures.FIRST_COMPLETED)
                for future in finished:
                    try:
                        records = future.result()  # a game that raises once raises again
                    except Exception:
                        interrupts.check()  # a worker lost to a Ctrl-C: not a fault
                        raise
                    done(records)
    except BaseException:
        stop_pool(pool)
        raise
    pool.shutdown(wait=True)


def _run_ray(plan: Plan, games: int, done: Done, address: str | None, in_flight: int | None,
             size: int) -> None:
    """One Ray task per chunk; Ray plays a task again when its worker dies."""
    ray = import_ray()
    started_here = not ray.is_initialized()
    if started_here:
        import logging
        ray.init(address=address or None, include_dashboard=False,
                 logging_level=logging.WARNING)
    refs: dict[Any, int] = {}
    try:
        remote = ray.remote(num_cpus=1)(play_chunk)
        waiting = list(reversed(_chunks(games, size)))
        with Interrupts() as interrupts:
            while waiting or refs:
                interrupts.check()
                while waiting and (in_flight is None or len(refs) < in_flight):
                    first, count = waiting.pop()
                    refs[remote.remote(plan, first, count)] = first
                ready, _ = ray.wait(list(refs), num_returns=1, timeout=interrupts.POLL)
                for ref in ready:
                    del refs[ref]
                    done(ray.get(ref))
    except BaseException:
        for ref in refs:
            ray.cancel(ref, force=True)
        raise
    finally:
        if started_here:
            ray.shutdown()


def play_arena(specs: Sequence[str], games: int, seed: int, done: Done, *,
               workers: int | None = None, ray: bool = False,
               ray_address: str | None = None) -> None:
    """Plays games 0 to `games` - 1 of the pool `specs` and hands every finished game to `done`,
    in lists, in any order. On local processes (`workers`, default the CPUs available) or as Ray
    tasks (`workers` then caps the tasks at once). KeyboardInterrupt stops it."""
    plan = Plan(tuple(specs), seed, tuple(schedule(len(specs))))
    limit = workers or (None if ray else available_cpus())
    size = max(1, min(MAX_CHUNK, math.ceil(games / (4 * (limit or 8)))))
    if ray:
        _run_ray(plan, games, done, ray_address, limit, size)
    elif limit is None or limit == 1 or games <= size:
        _run_in_process(plan, games, done)
    else:
        _run_processes(plan, games, done, min(limit, math.ceil(games / size)), size)


# --- ratings and totals ------------------------------------------------------------------------

def places(scores: Sequence[int]) -> list[float]:
    """Each seat's place by score, 1 for first; tied seats share the mean of their places."""
    return [1 + sum(o > s for o in scores) + (sum(o == s for o in scores) - 1) / 2
            for s in scores]


def _import_openskill() -> Any:
    try:
        from openskill.models import PlackettLuce
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError("the arena rates with openskill: "
                                  "pip install 'tavrin_rl[arena]'", name=error.name) from error
    return PlackettLuce


@dataclass
class Standing:
    """One agent's rating and totals over the games counted."""

    agent: str
    mu: float = 0.0
    sigma: float = 0.0
    ordinal: float = 0.0
    seats: int = 0  # seats held, an agent doubled at a table holding two
    wins: Fraction = Fraction(0)
    score: int = 0
    place: float = 0.0
    moves: int = 0
    cpu: float = 0.0
    win_interval: tuple[float, float] = (0.0, 1.0)

    def as_json(self) -> dict[str, Any]:
        n = max(1, self.seats)
        return {
            "agent": self.agent, "mu": self.mu, "sigma": self.sigma, "ordinal": self.ordinal,
            "seats": self.seats, "wins": float(self.wins), "win_share": float(self.wins) / n,
            "win_share_95": list(self.win_interval), "mean_score": self.score / n,
            "mean_place": self.place / n, "moves": self.moves,
            "cpu_ms_per_move": 1000 * self.cpu / max(1, self.moves)}


def standings(specs: Sequence[str], records: Sequence[GameRecord]) -> list[Standing]:
    """Ratings and totals from `records` taken in game-number order, best ordinal first."""
    model = _import_openskill()()
    ratings = [model.rating(name=spec) for spec in specs]
    rows = [Standing(spec) for spec in specs]
    for record in sorted(records, key=lambda r: r.number):
        place = places(record.scores)
        rated = model.rate([[ratings[i]] for i in record.seats], ranks=place)
        mu_change = [0.0] * len(specs)
        variance_factor = [1.0] * len(specs)
        top = max(record.scores)
        leaders = record.scores.count(top)
        for seat, index in enumerate(record.seats):
            new, old = rated[seat][0], ratings[index]
            mu_change[index] += new.mu - old.mu
            variance_factor[index] *= (new.sigma / old.sigma) ** 2
            row = rows[index]
            row.seats += 1
            row.wins += Fraction(1, leaders) if record.scores[seat] == top else 0
            row.score += record.scores[seat]
            row.place += place[seat]
            row.moves += record.moves[seat]
            row.cpu += record.cpu[seat]
        for index in set(record.seats):
            old = ratings[index]
            ratings[index] = model.rating(mu=old.mu + mu_change[index],
                                          sigma=old.sigma * math.sqrt(variance_factor[index]),
                                          name=old.name)
    for row, rating in zip(rows, ratings):
        row.mu, row.sigma, row.ordinal = rating.mu, rating.sigma, rating.mu - Z * rating.sigma
        row.win_interval = wilson_interval(float(row.wins), row.seats)
    return sorted(rows, key=lambda r: -r.ordinal)


# --- output ------------------------------------------------------------------------------------

def report_table(rows: Sequence[Standing], played: int, planned: int, out: TextIO) -> None:
    """The ratings table, best ordinal first."""
    done = f"{played} games" if played == planned else f"{played} of {planned} games (interrupted)"
    out.write(f"\n{done}; Plackett-Luce ratings, ordinal = mu - 3 sigma; win share with ties "
              "split evenly and its 95% Wilson interval\n")
    width = max(5, *(len(row.agent) for row in rows))
    out.write(f"{'#':>2} {'agent':<{width}} {'ordinal':>7} {'mu':>6} {'sigma':>5} {'seats':>5} "
              f"{'win share':>9}  {'95% interval':<13} {'mean score':>10} {'mean place':>10} "
              f"{'CPU ms/move':>11}\n")
    for number, row in enumerate(rows, 1):
        n = max(1, row.seats)
        low, high = row.win_interval
        out.write(f"{number:>2} {row.agent:<{width}} {row.ordinal:>7.2f} {row.mu:>6.2f} "
                  f"{row.sigma:>5.2f} {row.seats:>5} {100 * float(row.wins) / n:>8.1f}%  "
                  f"{f'{100 * low:.1f}-{100 * high:.1f}%':<13} {row.score / n:>10.2f} "
                  f"{row.place / n:>10.2f} {1000 * row.cpu / max(1, row.moves):>11.3f}\n")


def to_json(specs: Sequence[str], rows: Sequence[Standing], records: Sequence[GameRecord],
            seed: int, planned: int) -> dict[str, Any]:
    """The run as JSON: its settings, the standings and every game counted."""
    return {
        "seed": seed, "pool": list(specs), "games_planned": planned, "games": len(records),
        "interrupted": len(records) < planned, "cycle": len(schedule(len(specs))),
        "model": "openskill PlackettLuce, ranks by score, ties as ties",
        "ordinal": f"mu - {Z:g} sigma", "copies": COPIES,
        "standings": [row.as_json() for row in rows],
        "game_records": [{"game": r.number, "agents": [specs[i] for i in r.seats],
                          "scores": list(r.scores), "plies": r.plies}
                         for r in sorted(records, key=lambda r: r.number)],
    }


def _ticks(low: float, high: float) -> list[float]:
    step = 10 ** math.floor(math.log10(max(high - low, 1e-9) / 4))
    for factor in (1, 2, 5, 10):
        if (high - low) / (step * factor) <= 6:
            step *= factor
            break
    return [i * step for i in range(math.ceil(low / step), math.floor(high / step) + 1)]


def to_svg(rows: Sequence[Standing], title: str) -> str:
    """One row per agent, best first: a whisker from mu - 3 sigma (the ordinal) to mu + 3 sigma,
    a bar over mu +- sigma and a dot at mu."""
    left, right, top, row_height = 150, 30, 50, 30
    width = 720
    height = top + row_height * len(rows) + 40
    low = min(row.mu - Z * row.sigma for row in rows)
    high = max(row.mu + Z * row.sigma for row in rows)
    pad = 0.05 * (high - low or 1)
    low, high = low - pad, high + pad

    def x(value: float) -> float:
        return left + (value - low) / (high - low) * (width - left - right)

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="13">',
             f'<rect width="{width}" height="{height}" fill="white"/>',
             f'<text x="{width / 2}" y="22" text-anchor="middle" font-size="15">'
             f'{escape(title)}</text>']
    bottom = top + row_height * len(rows)
    for tick in _ticks(low, high):
        parts.append(f'<line x1="{x(tick):.1f}" y1="{top - 8}" x2="{x(tick):.1f}" '
                     f'y2="{bottom}" stroke="#ddd"/>')
        parts.append(f'<text x="{x(tick):.1f}" y="{bottom + 16}" text-anchor="middle" '
                     f'fill="#555">{tick:g}</text>')
    parts.append(f'<text x="{(left + width - right) / 2}" y="{bottom + 34}" '
                 'text-anchor="middle" fill="#555">rating: dot mu, bar mu ± sigma, whisker '
                 'mu ± 3 sigma (left end: ordinal)</text>')
    for number, row in enumerate(rows):
        y = top + row_height * number + row_height / 2
        a, b = x(row.mu - Z * row.sigma), x(row.mu + Z * row.sigma)
        parts += [
            f'<text x="{left - 10}" y="{y + 4:.1f}" text-anchor="end">{escape(row.agent)}</text>',
            f'<line x1="{a:.1f}" y1="{y:.1f}" x2="{b:.1f}" y2="{y:.1f}" stroke="#333"/>',
            f'<line x1="{a:.1f}" y1="{y - 6:.1f}" x2="{a:.1f}" y2="{y + 6:.1f}" stroke="#333"/>',
            f'<line x1="{b:.1f}" y1="{y - 6:.1f}" x2="{b:.1f}" y2="{y + 6:.1f}" stroke="#333"/>',
            f'<rect x="{x(row.mu - row.sigma):.1f}" y="{y - 5:.1f}" '
            f'width="{x(row.mu + row.sigma) - x(row.mu - row.sigma):.1f}" height="10" '
            'fill="#7aa6d8"/>',
            f'<circle cx="{x(row.mu):.1f}" cy="{y:.1f}" r="4" fill="#1f4e8c">'
            f'<title>{escape(row.agent)}: mu {row.mu:.2f}, sigma {row.sigma:.2f}, '
            f'ordinal {row.ordinal:.2f}</title></circle>']
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


# --- the command -------------------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    script = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    parser = argparse.ArgumentParser(
        prog=("tavrin-rl" if script.startswith("tavrin-rl") else "python -m tavrin_rl")
        + " arena",
        description="Rate agents by playing them against each other at four-player tables on a "
                    "balanced schedule (every agent meets every other, in every seat), with "
                    "openskill's Plackett-Luce ratings (needs tavrin_rl[arena]).",
        epilog="Pools of two or three agents fill the table with copies of an agent: each copy "
               "plays as a separate player of the game's ranking, starting from the agent's "
               "rating, and the agent's rating takes all of the copies' changes, as if observed "
               "one after the other (which copy finished ahead of the other makes no "
               "difference). Win share, mean score and mean place (1 first, 4 last) count every "
               "seat an agent held.")
    parser.add_argument("agents", nargs="+", metavar="AGENT",
                        help="agents as make_agent names them (random, greedy, reach, ...); at "
                             "least two, each once")
    parser.add_argument("--games", type=_positive_int, default=None, metavar="N",
                        help="games to play (default: one cycle of the schedule; balanced "
                             "after every whole cycle)")
    parser.add_argument("--seed", type=_seed, default=None, metavar="S",
                        help="seed of the games (default: a fresh one, printed); game g plays "
                             "with Stream.for_game(S, g), as the self-play command does")
    parser.add_argument("--workers", type=_positive_int, default=None, metavar="K",
                        help="local worker processes (default: the CPUs available); with --ray "
                             "the most Ray tasks at once")
    parser.add_argument("--ray", nargs="?", const="", default=None, metavar="ADDRESS",
                        help="play on the Ray cluster at ADDRESS, or on a local instance "
                             "started for the run (needs tavrin_rl[ray])")
    parser.add_argument("--out", metavar="PATH", help="write the standings and games as JSON")
    parser.add_argument("--svg", metavar="PATH", help="draw the ratings as an SVG picture")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="progress bar on standard error (default: when it is a terminal)")
    return parser


def _check_pool(parser: argparse.ArgumentParser, specs: Sequence[str]) -> None:
    if len(specs) < 2:
        parser.error("give at least two agents")
    repeated = sorted({spec for spec in specs if specs.count(spec) > 1})
    if repeated:
        parser.error(f"give every agent once (repeated: {', '.join(repeated)})")
    for spec in specs:
        try:
            make_agent(spec)
        except ValueError as error:
            parser.error(str(error))


def run(args: argparse.Namespace, out: TextIO, err: TextIO | None) -> int:
    """Plays and rates the arena `args` asks for; returns the exit status."""
    specs: tuple[str, ...] = tuple(args.agents)
    seed = args.seed if args.seed is not None else secrets.randbelow(2**32)
    cycle = len(schedule(len(specs)))
    games = args.games or cycle
    out.write(f"tavrin_rl arena, seed {seed}, {games} games: {', '.join(specs)}\n")
    if games % cycle:
        out.write(f"(the schedule's cycle is {cycle} games: seats and meetings are balanced "
                  "over whole cycles only)\n")
    out.flush()
    show = args.progress if args.progress is not None else (err is not None and _is_terminal(err))
    progress = Progress(games, err) if show and err is not None else None
    records: list[GameRecord] = []
    plies = 0
    started = time.monotonic()

    def done(finished: list[GameRecord]) -> None:
        nonlocal plies
        records.extend(finished)
        plies += sum(record.plies for record in finished)
        if progress is not None:
            progress.update(len(records), f"{plies / max(time.monotonic() - started, 1e-9):,.0f} plies/s")

    try:
        play_arena(specs, games, seed, done, workers=args.workers, ray=args.ray is not None,
                   ray_address=args.ray or None)
    except KeyboardInterrupt:
        pass
    if progress is not None:
        progress.end()
    if not records:
        out.write("\ninterrupted before the first game ended\n")
        out.flush()
        return 130
    rows = standings(specs, records)
    report_table(rows, len(records), games, out)
    out.flush()
    status = 130 if len(records) < games else 0
    try:  # after the table, which a failure here must not cost
        if args.out is not None:
            with open(args.out, "w") as file:
                json.dump(to_json(specs, rows, records, seed, games), file, indent=1)
                file.write("\n")
        if args.svg is not None:
            with open(args.svg, "w") as file:
                file.write(to_svg(rows, f"tavrin_rl arena: {len(records)} games, seed {seed}"))
    except OSError as error:
        _tell(err, f"cannot write {error.filename}: {error.strerror or error}")
        return status or 1
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """`python -m tavrin_rl arena ...`; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    _check_pool(parser, args.agents)
    err = sys.stderr
    if sys.stdout is None:
        _tell(err, "standard output is closed")
        return 1
    try:
        _import_openskill()
        if args.ray is not None:
            import_ray()
    except ModuleNotFoundError as error:
        _tell(err, str(error))
        return 1
    try:
        return run(args, _Stdout(sys.stdout), err)  # type: ignore[arg-type]
    except StdoutFailed as failure:
        _quiet_stdout()
        if isinstance(failure.error, BrokenPipeError):
            return 1
        _tell(err, f"cannot write to standard output: {failure.error.strerror or failure}")
        return 1
    except KeyboardInterrupt:  # while writing the table
        return 130
    except InternalError as error:
        _tell(err, f"internal error: {error} (a bug in tavrin_rl: please report it with the "
                   "command line)")
        return 70


if __name__ == "__main__":
    sys.exit(main())
