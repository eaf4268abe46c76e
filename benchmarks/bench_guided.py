"""The search guided by a net against the plain search: win shares against three `reach` agents
(or three default `mcts`) and CPU per move, every configuration playing the same games.

Game g puts the tested search in seat g % 4 against three opponents, every agent drawing from the
game's stream (`Stream.for_game(seed, g)`); each configuration plays game g before any plays game
g + 1, so that the machine's load falls on all of them alike. CPU is the thread's time around
each of the tested agent's decisions (the state's bytes and the call included, passes excluded),
averaged over its decisions, one engine thread. Win shares split ties, with 95% Wilson intervals.

    python benchmarks/bench_guided.py --games 1000 --seed 0 --net baseline \\
        plain:120 guided:60:0.5:32:0 guided:40:0.5:32:0

A configuration is plain:PLAYOUTS or guided:PLAYOUTS:PUCT:GUIDE_VISITS:VALUE_WEIGHT[:MIX:W],
W being w for the widening schedule at guided nodes (anything else: PUCT alone).
Not a test: the figures depend on the machine and its load.
"""

from __future__ import annotations

import argparse
import time

from tavrin_rl import PyTavrin, _engine
from tavrin_rl._summary import wilson_interval
from tavrin_rl.agents import Stream, make_agent
from tavrin_rl.agents.net import load_policy
from tavrin_rl.agents.seats import net_path


def parse(text: str) -> dict:
    kind, *rest = text.split(":")
    if kind == "plain" and len(rest) == 1:
        return {"name": text, "playouts": int(rest[0])}
    if kind == "guided" and len(rest) in (4, 6):
        config = {"name": text, "playouts": int(rest[0]), "puct": float(rest[1]),
                  "guide_visits": int(rest[2]), "guide_value_weight": float(rest[3])}
        if len(rest) == 6:
            config.update(guide_mix=float(rest[4]), guide_widening=rest[5] == "w")
        return config
    raise argparse.ArgumentTypeError(f"not a configuration: {text!r}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("configs", type=parse, nargs="+")
    p.add_argument("--games", type=int, default=200)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--net", default="baseline", help="the guide: baseline or policy:PATH")
    p.add_argument("--opponent", default="reach", help="reach, or mcts (its default budget)")
    args = p.parse_args()
    net = load_policy(net_path(args.net)).engine
    results = {c["name"]: [0.0, 0.0, 0] for c in args.configs}  # wins, cpu seconds, decisions
    game = PyTavrin()
    for number in range(args.games):
        seat = number % 4
        for config in args.configs:
            opponents = [make_agent(args.opponent) for _ in range(4)]
            stream = Stream.for_game(args.seed, number)
            for agent in opponents:
                agent.stream = stream
            extra = {k: config[k] for k in ("puct", "guide_visits", "guide_value_weight", "guide_mix",
                                            "guide_widening") if k in config}
            if extra:
                extra["guide"] = net
            game.reset()
            while not game.is_over:
                mover = game.agent_selection
                if game.terminations[mover]:
                    game.step(None)
                    continue
                if mover != seat:
                    game.step(opponents[mover].act(None, game=game))
                    continue
                started = time.thread_time()
                action, stream.state = _engine.search(game.to_bytes(), config["playouts"], 2,
                                                      stream.state, **extra)
                results[config["name"]][1] += time.thread_time() - started
                results[config["name"]][2] += 1
                game.step(action)
            results[config["name"]][0] += game.outcome("win_share")[seat]
    print(f"{args.games} games against three {args.opponent}, seed {args.seed}, guide {args.net}")
    for name, (wins, cpu, decisions) in results.items():
        low, high = wilson_interval(wins, args.games)
        print(f"{name:28s} win share {100 * wins / args.games:5.1f}% ({100 * low:.1f}-{100 * high:.1f}%)"
              f"  {1e3 * cpu / decisions:.3f} ms CPU per move")


if __name__ == "__main__":
    main()
