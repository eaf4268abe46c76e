"""The arena's run: the balanced schedule of tables, the games played on local workers or Ray,
and the command line (`tavrin_rl.arena` describes the whole)."""

from __future__ import annotations

import argparse
import itertools
import json
import math
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, TextIO

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.arena.ratings import (  # noqa: F401 (names of the arena since its start)
    GameRecord, Z, Standing, import_openskill, places, report_table, standings, to_svg,
)
from tavrin_rl._command import (add_ray, add_seed, add_workers, game_count, is_terminal, prog,
                                run_guarded, run_seed, tell, write_text_file)
from tavrin_rl._progress import Progress
from tavrin_rl._system import available_cpus, blas_threads
from tavrin_rl.agents import Agent, Stream, make_agent, pass_turns
from tavrin_rl.agents.registry import check_agent
from tavrin_rl.catalogue import NUM_SEATS
from tavrin_rl.data._workers import import_ray, run_in_process, run_processes, run_ray

MAX_CHUNK = 8  # games per task: small, so that Ctrl-C loses little work in progress
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

    pool: tuple[str, ...]
    seed: int
    cycle: tuple[tuple[int, ...], ...]


def play_game(plan: Plan, number: int) -> GameRecord:
    """Plays game `number` of the run to its end."""
    seats = plan.cycle[number % len(plan.cycle)]
    stream = Stream.for_game(plan.seed, number)
    agents = []
    for index in seats:
        # fresh agents every game: nothing an agent keeps can carry over to the next game, which
        # may be another worker's
        agent = make_agent(plan.pool[index])
        if isinstance(agent, Agent):
            agent.stream = stream
        agents.append(agent)
    game = PyTavrin()
    moves = [0] * NUM_SEATS
    cpu = [0.0] * NUM_SEATS
    while True:
        pass_turns(game)
        if game.is_over:
            break
        seat = game.agent_selection
        started = time.thread_time()
        action = agents[seat].act(None, game=game)
        cpu[seat] += time.thread_time() - started
        moves[seat] += 1
        game.step(action)
    return GameRecord(number, tuple(seats), tuple(game.scores), tuple(moves), tuple(cpu),
                      game.ply)


def play_chunk(plan: Plan, first: int, count: int) -> list[GameRecord]:
    """Plays games [first, first + count): one task of a worker, BLAS at one thread (the
    workers are the parallelism)."""
    with blas_threads(1):
        return [play_game(plan, number) for number in range(first, first + count)]


Done = Callable[[list[GameRecord]], None]


def _chunks(games: int, size: int) -> Iterator[tuple[int, int]]:
    return ((first, min(size, games - first)) for first in range(0, games, size))


def play_arena(pool: Sequence[str], games: int, seed: int, done: Done, *,
               workers: int | None = None, ray: bool = False,
               ray_address: str | None = None) -> None:
    """Plays games 0 to `games` - 1 of the pool `pool` and hands every finished game to `done`,
    in lists, in any order. On local processes (`workers`, default the CPUs available) or as Ray
    tasks (`workers` then caps the tasks at once), run as the dataset writer runs its chunks.
    KeyboardInterrupt stops it."""
    plan = Plan(tuple(pool), seed, tuple(schedule(len(pool))))
    limit = workers or (None if ray else available_cpus())
    size = max(1, min(MAX_CHUNK, math.ceil(games / (4 * (limit or 8)))))
    if ray:
        run_ray(play_chunk, plan, _chunks(games, size), done, ray_address, {}, limit)
    elif limit is None or limit == 1 or games <= size:
        # game by game: Ctrl-C keeps every finished one
        run_in_process(play_chunk, plan, _chunks(games, 1), done)
    else:
        run_processes(play_chunk, plan, _chunks(games, size), done,
                      min(limit, math.ceil(games / size)))


# --- output ------------------------------------------------------------------------------------

def to_json(pool: Sequence[str], rows: Sequence[Standing], records: Sequence[GameRecord],
            seed: int, planned: int) -> dict[str, Any]:
    """The run as JSON: its settings, the standings and every game counted."""
    return {
        "seed": seed, "pool": list(pool), "games_planned": planned, "games": len(records),
        "interrupted": len(records) < planned, "cycle": len(schedule(len(pool))),
        "model": "openskill PlackettLuce, ranks by score, ties as ties",
        "ordinal": f"mu - {Z:g} sigma", "copies": COPIES,
        "standings": [row.as_json() for row in rows],
        "game_records": [{"game": r.number, "agents": [pool[i] for i in r.seats],
                          "scores": list(r.scores), "plies": r.plies}
                         for r in sorted(records, key=lambda r: r.number)],
    }



# --- the command -------------------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog(" arena"),
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
    parser.add_argument("--games", type=game_count, default=None, metavar="N",
                        help="games to play (default: one cycle of the schedule; balanced "
                             "after every whole cycle)")
    add_seed(parser, help="seed of the games (default: a fresh one, printed); game g plays "
                          "with Stream.for_game(S, g), as the self-play command does")
    add_workers(parser, help="local worker processes (default: the CPUs available); with --ray "
                             "the most Ray tasks at once")
    add_ray(parser, help="play on the Ray cluster at ADDRESS, or on a local instance "
                         "started for the run (needs tavrin_rl[ray])")
    parser.add_argument("--out", metavar="PATH", help="write the standings and games as JSON")
    parser.add_argument("--svg", metavar="PATH", help="draw the ratings as an SVG picture")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="progress bar on standard error (default: when it is a terminal)")
    return parser


def _check_pool(parser: argparse.ArgumentParser, pool: Sequence[str]) -> None:
    if len(pool) < 2:
        parser.error("give at least two agents")
    repeated = sorted({name for name in pool if pool.count(name) > 1})
    if repeated:
        parser.error(f"give every agent once (repeated: {', '.join(repeated)})")
    for name in pool:
        try:
            check_agent(name)
        except ValueError as error:
            parser.error(str(error))


def run(args: argparse.Namespace, out: TextIO, err: TextIO | None) -> int:
    """Plays and rates the arena `args` asks for; returns the exit status."""
    pool: tuple[str, ...] = tuple(args.agents)
    seed = run_seed(args.seed)
    cycle = len(schedule(len(pool)))
    games = args.games or cycle
    out.write(f"tavrin_rl arena, seed {seed}, {games} games: {', '.join(pool)}\n")
    if games % cycle:
        out.write(f"(the schedule's cycle is {cycle} games: seats and meetings are balanced "
                  "over whole cycles only)\n")
    out.flush()
    show = args.progress if args.progress is not None else (err is not None and is_terminal(err))
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
        play_arena(pool, games, seed, done, workers=args.workers, ray=args.ray is not None,
                   ray_address=args.ray or None)
    except KeyboardInterrupt:
        pass
    except ConnectionError as error:  # Ray's cluster is not there (or went away)
        if progress is not None:
            progress.end()
        tell(err, f"cannot reach Ray at {args.ray or 'the local instance'}: "
                  f"{str(error).strip().splitlines()[0] if str(error).strip() else error!r}")
        return 1
    if progress is not None:
        progress.end()
    if not records:
        out.write("\ninterrupted before the first game ended\n")
        out.flush()
        return 130
    rows = standings(pool, records)
    report_table(rows, len(records), games, out)
    out.flush()
    status = 130 if len(records) < games else 0
    # after the table, which a failure here must not cost
    outputs: list[tuple[str, Callable[[], str]]] = []
    if args.out is not None:
        outputs.append((args.out, lambda: json.dumps(to_json(pool, rows, records, seed, games),
                                                     indent=1) + "\n"))
    if args.svg is not None:
        outputs.append((args.svg, lambda: to_svg(rows, f"tavrin_rl arena: {len(records)} games, "
                                                       f"seed {seed}")))
    for path, text in outputs:
        try:
            write_text_file(path, text())
        except OSError as error:
            tell(err, f"cannot write {path}: {error.strerror or error}")
            return status or 1
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """`python -m tavrin_rl arena ...`; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    _check_pool(parser, args.agents)
    err = sys.stderr

    def command(out: Any) -> int:
        try:
            import_openskill()
            if args.ray is not None:
                import_ray()
        except ModuleNotFoundError as error:
            tell(err, str(error))
            return 1
        return run(args, out, err)
    return run_guarded(command, err)


if __name__ == "__main__":
    sys.exit(main())
