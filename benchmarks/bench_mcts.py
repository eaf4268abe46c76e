"""Strength and cost of the search agent (`mcts`) against three `reach` agents (or others).

* Win share of the search agent over N games, its seat rotated (game g: seat g % 4), with a 95%
  Wilson interval; shared wins count fractionally. Every game draws from its own stream
  (`Stream.for_game(seed, g)`), so a seed gives the same games.
* CPU time per decision of the search agent (`time.thread_time` around `act`, the state's bytes
  and the call included; passes excluded), its mean over the run and by the agent's own move
  number.
* Complete random playouts per CPU second from the opening position on one thread: games played
  by four random seats in one `VectorGames.reset`. (The same inside a search, selection and node
  copies included: `tavrin_bench --benchmark_filter=Search`.)

    python benchmarks/bench_mcts.py [--games 400] [--playouts 120] [--rollout reach] [--seed 0]

Not a test: the figures depend on the machine and its load.
"""

from __future__ import annotations

import argparse
import statistics
import time

from tavrin_rl import PyTavrin
from tavrin_rl._summary import wilson_interval
from tavrin_rl.agents import DEFAULT_PLAYOUTS, POLICIES, Stream, make_agent
from tavrin_rl.vector import VectorGames


def play_games(games: int, tested: str, seed: int, opponent: str = "reach") -> tuple[float, list[list[float]]]:
    """The search agent's total win share, and its CPU seconds per decision by move number."""
    wins = 0.0
    by_move: list[list[float]] = []
    game = PyTavrin()
    for number in range(games):
        seat = number % 4
        agents = [make_agent(opponent) for _ in range(4)]
        agents[seat] = make_agent(tested)
        stream = Stream.for_game(seed, number)
        for agent in agents:
            agent.stream = stream
        game.reset()
        move = 0
        while not game.is_over:
            mover = game.agent_selection
            if game.terminations[mover]:
                game.step(None)
                continue
            if mover != seat:
                game.step(agents[mover].act(None, game=game))
                continue
            started = time.thread_time()
            action = agents[mover].act(None, game=game)
            spent = time.thread_time() - started
            if move == len(by_move):
                by_move.append([])
            by_move[move].append(spent)
            move += 1
            game.step(action)
        outcome = game.outcome("win_share")
        assert outcome is not None
        wins += outcome[seat]
    return wins, by_move


def random_playout_rate(games: int, seed: int) -> float:
    """Complete random games from the opening per CPU second, one thread."""
    batch = VectorGames(games, threads=1, seats=["random"] * 4, autoreset=False,
                        observation=None, mask=False)
    started = time.process_time()
    batch.reset(seed)
    return games / (time.process_time() - started)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=400)
    parser.add_argument("--playouts", type=int, default=DEFAULT_PLAYOUTS)
    parser.add_argument("--rollout", choices=POLICIES, default="reach")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--rate-games", type=int, default=4000,
                        help="random games played for the playout rate (default 4000)")
    parser.add_argument("--opponent", default="reach",
                        help="the agent of the three other seats, as make_agent names it (default "
                             "reach; mcts:120 measures how the search scales with its budget)")
    args = parser.parse_args()
    tested = f"mcts:{args.playouts}:{args.rollout}"

    rates = [random_playout_rate(args.rate_games, args.seed + k) for k in range(3)]
    print(f"random playouts from the opening: {statistics.median(rates):,.0f} per CPU second "
          f"(median of 3 runs of {args.rate_games} games, one thread)")

    wall = time.perf_counter()
    wins, by_move = play_games(args.games, tested, args.seed, args.opponent)
    wall = time.perf_counter() - wall
    low, high = wilson_interval(wins, args.games)
    decisions = [t for times in by_move for t in times]
    print(f"{tested} against three {args.opponent} (seat rotated), {args.games} games, seed "
          f"{args.seed}: win share {wins / args.games:.1%} (95% interval {low:.1%}-{high:.1%})")
    print(f"CPU per decision: mean {1e3 * statistics.fmean(decisions):.3f} ms over "
          f"{len(decisions)} decisions, median {1e3 * statistics.median(decisions):.3f} ms, "
          f"max {1e3 * max(decisions):.2f} ms; {wall:.1f} s wall for the games")
    print("mean ms by the agent's move number: " + " ".join(
        f"{k}:{1e3 * statistics.fmean(times):.2f}" for k, times in enumerate(by_move[:21])))


if __name__ == "__main__":
    main()
