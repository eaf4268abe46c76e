"""The net in the engine: its cost, its batched speed, its agreement with numpy, and its games.

Each part prints its figures; `all` runs every part. Process CPU time, one thread (BLAS capped
to one with threadpoolctl), medians or means as stated; ratios come from runs interleaved in
this process.

    python benchmarks/bench_net.py decision [--games 200]     # one decision against an mcts move
    TAVRIN_KERNEL=portable python benchmarks/bench_net.py decision   # portable kernels (the
                                                              # search's move kernel too)
    python benchmarks/bench_net.py batched [--games 256]      # seats reach + three baselines
    python benchmarks/bench_net.py training [--runs 3]        # PPO vs baseline seats vs reach seats
    python benchmarks/bench_net.py equal [--positions 10000]  # engine against numpy
    python benchmarks/bench_net.py strength [--games 1000]    # the same games as numpy's baseline
    python benchmarks/bench_net.py agents [--games 100]       # agents as documented vs their seats
"""

from __future__ import annotations

import argparse
import math
import statistics
import time
from typing import Any

import numpy as np

from tavrin_rl import PyTavrin, _engine
from tavrin_rl.agents import AGENTS, Stream, make_agent
from tavrin_rl.agents.net import Policy, baseline_path, extras_of, legal_entries, position_arrays
from tavrin_rl.vector import VectorGames

from bench_policy import numpy_choose  # the numpy path, the reference of the batched goal


def one_thread() -> Any:
    try:
        from threadpoolctl import threadpool_limits
        return threadpool_limits(1)
    except ImportError:
        return None


def seeded_positions(games: int, lineup: tuple[str, ...] = ("baseline", "reach", "greedy", "random"),
                     seed: int = 0) -> list[PyTavrin]:
    """Every position with a placement to make in `games` seeded games of `lineup`."""
    found = []
    for g in range(games):
        stream = Stream.for_game(seed, g)
        agents = [make_agent(name) for name in lineup]
        for agent in agents:
            agent.stream = stream
        game = PyTavrin()
        while not game.is_over:
            seat = game.agent_selection
            if game.terminations[seat]:
                game.step(None)
                continue
            found.append(PyTavrin.from_bytes(game.to_bytes()))
            game.step(agents[seat].act(None, game=game))
    return found


def bench_decision(games: int) -> None:
    positions = seeded_positions(games)
    net, search = make_agent("baseline"), make_agent("mcts")
    spent = {"net": 0.0, "mcts": 0.0}
    for game in positions:  # interleaved: the machine's load falls on both alike
        for name, agent in (("net", net), ("mcts", search)):
            started = time.process_time()
            agent.act(None, game=game)
            spent[name] += time.process_time() - started
    n = len(positions)
    print(f"one decision, {n} positions of {games} games, kernel {net.policy.engine.kernel()}: "
          f"baseline {1e3 * spent['net'] / n:.3f} ms, mcts {1e3 * spent['mcts'] / n:.3f} ms, "
          f"ratio {spent['net'] / spent['mcts']:.3f}")


def bench_batched(games: int, runs: int) -> None:
    policy = Policy.load(baseline_path())
    # the numpy path of bench_policy.py: learner positions of games against three greedy seats
    from bench_policy import positions
    batches = positions(games, 0)
    decisions = sum(len(b[0]) for b in batches)
    numpy_rates, seat_rates = [], []
    for _ in range(runs):
        started = time.process_time()
        for board, extras, segment, legal in batches:
            numpy_choose(policy, board, extras, segment, legal)
        numpy_rates.append(decisions / (time.process_time() - started))
        v = VectorGames(games, threads=1, seed=0, observation=None, mask=False, autoreset=False,
                        seats=("reach", "baseline", "baseline", "baseline"))
        started = time.process_time()
        v.reset(1)  # every game played to its end in C++
        spent = time.process_time() - started
        net_moves = sum(_net_moves(v.game(i)) for i in range(games))
        seat_rates.append(net_moves / spent)
    numpy_rate, seat_rate = statistics.median(numpy_rates), statistics.median(seat_rates)
    print(f"batched, {games} games, one thread: numpy path {numpy_rate:,.0f} decisions/CPU-s, "
          f"engine seats (reach + 3 baseline, everything included) {seat_rate:,.0f} net "
          f"decisions/CPU-s, ratio {seat_rate / numpy_rate:.2f}")


def _net_moves(game: PyTavrin) -> int:
    """Placements of agents 1 to 3 in a finished game (the net seats of the batched lineup)."""
    held = np.frombuffer(game.observe(0).pieces, np.uint8).reshape(4, 21)
    return int(3 * 21 - held[1:].sum())


def bench_training(runs: int) -> None:
    import torch

    from tavrin_rl.train import ppo
    from tavrin_rl.train.net import PolicyNet
    torch.set_num_threads(1)
    rates: dict[str, list[float]] = {"reach": [], "baseline": []}
    nets = {}
    for name in rates:
        torch.manual_seed(0)
        net = PolicyNet()
        nets[name] = (net, torch.optim.Adam(net.parameters(), lr=1e-3))
    settings = ppo.Settings()
    for update in range(runs):
        for name in rates:  # interleaved
            net, optimizer = nets[name]
            v = VectorGames(settings.games, threads=1, seed=0, observation="compact", mask=False,
                            autoreset=False, seats=("learner", name, name, name), rotate_seats=True)
            rng = np.random.default_rng([0, update])
            started = time.process_time()
            rollout = ppo.collect(net, v, 0, update * settings.games, rng, settings.win_weight)
            ppo.ppo_update(net, optimizer, rollout, settings, rng)
            rates[name].append(rollout.steps / (time.process_time() - started))
    reach, base = statistics.median(rates["reach"]), statistics.median(rates["baseline"])
    print(f"PPO, {settings.games} games per update, median of {runs}: against reach "
          f"{reach:,.0f} learner steps/CPU-s, against baseline {base:,.0f}, ratio {base / reach:.2f}")


def bench_equal(count: int) -> None:
    policy = Policy.load(baseline_path())
    games = 0
    positions: list[PyTavrin] = []
    lineups = [("random", "reach", "baseline", "greedy"), ("baseline", "baseline", "reach", "random"),
               ("mcts:8", "random", "random", "baseline")]
    while len(positions) < count:
        positions += seeded_positions(1, lineups[games % 3], seed=games + 1000)
        games += 1
    positions = positions[:count]
    worst_logit = worst_value = 0.0
    compared = disagree = 0
    for game in positions:
        board, extras, mask = position_arrays(game)
        legal = np.flatnonzero(mask)
        segment = np.zeros(len(legal), np.intp)
        ref = policy.reference_logits(board, extras, segment, legal)
        got = policy.logits(board, extras, segment, legal)
        worst_logit = max(worst_logit, float(np.max(np.abs(got - ref) / np.maximum(1, np.abs(ref)))))
        ref_v, got_v = policy.reference_value(board, extras)[0], policy.value(board, extras)[0]
        worst_value = max(worst_value, abs(got_v - ref_v) / max(1.0, abs(ref_v)))
        top = np.sort(ref)[-2:] if len(ref) > 1 else ref
        if len(ref) == 1 or top[1] - top[0] > 1e-3:
            compared += 1
            disagree += int(np.argmax(got) != np.argmax(ref))
    print(f"equal to numpy on {count} positions of {games} games: largest |C++ - numpy| / "
          f"max(1, |numpy|) {worst_logit:.2e} (logits), {worst_value:.2e} (values); argmax "
          f"differs at {disagree} of {compared} positions whose top two differ by more than 1e-3")


def bench_strength(games: int) -> None:
    policy = Policy.load(baseline_path())
    seed, same = 0, 0
    for first in range(0, games, 250):
        n = min(250, games - first)
        seat = VectorGames(n, threads=1, seed=seed, observation=None, mask=False, autoreset=False,
                           seats=("baseline", "reach", "reach", "reach"), rotate_seats=True,
                           first_game=first)
        learner = VectorGames(n, threads=1, seed=seed, observation="compact", mask=False,
                              autoreset=False, seats=("learner", "reach", "reach", "reach"),
                              rotate_seats=True, first_game=first)
        while not learner.terminated.all():
            active = np.flatnonzero(~learner.terminated)
            offsets, actions = learner.legal_grid_indexes_csr()
            segment, legal = legal_entries(offsets, actions, active)
            assert learner.observation is not None
            picks = numpy_choose(policy, learner.observation[active],
                                 extras_of(learner.pieces[active], learner.done[active]), segment, legal)
            step = np.zeros(n, np.int32)
            step[active] = picks
            learner.step(step, games=active)
        same += int((seat.to_bytes() == learner.to_bytes()).all(axis=1).sum())
    low, high = _wilson(same, games)
    print(f"strength: {same} of {games} games against three reach identical move for move "
          f"(final states) to the numpy baseline's: {100 * same / games:.1f}% "
          f"(95% interval {100 * low:.1f}-{100 * high:.1f}%)")


def bench_agents(games: int) -> None:
    for name in [n for n in AGENTS if n != "policy"] + [f"policy:{baseline_path()}", "mcts:20"]:
        if name == "mcts":
            continue  # the default budget: mcts:20 stands for it (the same code, fewer playouts)
        lineup = (name, "reach", "greedy", "random")
        batch = VectorGames(games, threads=1, seed=3, observation=None, mask=False, autoreset=False,
                            seats=lineup)
        same = refused = differ = 0
        for g in range(games):
            stream = Stream.for_game(3, g)
            agents = [make_agent(n) for n in lineup]
            for agent in agents:
                agent.stream = stream
            game = PyTavrin()
            while not game.is_over:
                seat = game.agent_selection
                if game.terminations[seat]:
                    game.step(None)
                    continue
                if seat == 0:  # from its observation alone: the same placement, or a refusal
                    seen, whole = make_agent(name), make_agent(name)
                    seen.stream, whole.stream = Stream(stream.state), Stream(stream.state)
                    try:
                        differ += int(seen.act(game.observe(seat)) != whole.act(None, game=game))
                    except TypeError:
                        refused += 1
                game.step(agents[seat].act(None, game=game))
            same += int(game.to_bytes() == bytes(batch.to_bytes()[g]))
        print(f"{name}: {same} of {games} games the same as its engine seat; act(observation): "
              f"{refused} refusals, {differ} other placements than act(None, game=game)")


def _wilson(successes: float, n: int) -> tuple[float, float]:
    z = 1.959964
    p = successes / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return centre - half, centre + half


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("part", choices=["decision", "batched", "training", "equal", "strength",
                                         "agents", "all"])
    parser.add_argument("--games", type=int, default=None)
    parser.add_argument("--positions", type=int, default=10_000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    limit = one_thread()  # held to the end: its limit lasts while it lives  # noqa: F841
    parts = ["decision", "batched", "training", "equal", "strength", "agents"] \
        if args.part == "all" else [args.part]
    for part in parts:
        if part == "decision":
            bench_decision(args.games or 200)
        elif part == "batched":
            bench_batched(args.games or 256, args.runs)
        elif part == "training":
            bench_training(args.runs)
        elif part == "equal":
            bench_equal(args.positions)
        elif part == "strength":
            bench_strength(args.games or 1000)
        else:
            bench_agents(args.games or 100)


if __name__ == "__main__":
    main()
