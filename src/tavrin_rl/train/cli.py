"""`python -m tavrin_rl train`: behaviour cloning from a dataset, then PPO against engine seats,
with a progress bar, a CSV log, a learning curve, checkpoints and --resume. `--evaluate PATH`
plays a saved policy instead (numpy only, no torch).

Everything a run writes goes to --out: `checkpoint.pt` (net, optimiser, counters; rewritten after
every update), `log.csv` (one row per update), `curve.svg` (win shares against training CPU
minutes) and `policy.npz` (the latest policy, float16, for `make_agent("policy", path=...)`).
Budgets count training CPU time across resumes, evaluation excluded, so a run resumed after a
stop ends where it would have; a later stage (other opponents) is a --resume with a larger budget.
With the same seed and one thread, a run repeats exactly, stopped and resumed or not.
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import time
from pathlib import Path
from typing import Any, Sequence, TextIO

from tavrin_rl._extras import install_hint
from tavrin_rl._progress import Progress
from tavrin_rl.train.curve import curve_svg
from tavrin_rl.vector import POLICIES

COLUMNS = ("update", "phase", "games", "steps", "train_cpu_s", "steps_per_cpu_s", "train_win_share",
           "policy_loss", "value_loss", "entropy", "clip_fraction")


SELF = "self"  # an opponent drawn from the run's own earlier versions
#: Opponents played by the engine inside `VectorGames.step` (mcts at its default budget; also
#: "mcts:PLAYOUTS[:ROLLOUT]" and "policy:PATH", a policy file's net).
ENGINE_OPPONENTS: tuple[str, ...] = (*POLICIES, "mcts", "baseline")


def _engine_opponent(name: str) -> None:
    """Refuses a name the engine does not play, and a policy file that does not load, in one
    line (argparse's status 2, before anything is created)."""
    from tavrin_rl.agents.seats import is_engine_seat, net_path
    try:
        known = is_engine_seat(name)
        if known and (name == "baseline" or name.startswith("policy:")):
            from tavrin_rl.agents.net import load_policy
            load_policy(net_path(name))
    except (OSError, ValueError) as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    if not known:
        raise argparse.ArgumentTypeError(
            f"unknown opponent {name!r} (choose from {', '.join((*ENGINE_OPPONENTS, SELF))}, "
            "mcts:PLAYOUTS[:ROLLOUT] or policy:PATH)")


def _opponents(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    for name in names:
        if name != SELF:
            _engine_opponent(name)
    if len(names) == 1:
        return names * 3
    if len(names) != 3:
        raise argparse.ArgumentTypeError(f"give one opponent or three, got {len(names)}")
    return names


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _names(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(",") if name.strip())
    for name in names:
        _engine_opponent(name)
    return names


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m tavrin_rl train",
        description="Train a policy net (behaviour cloning, then PPO against the engine's "
                    "agents), or evaluate a saved one with --evaluate.")
    p.add_argument("--out", metavar="DIR", help="folder of the run's checkpoint, log, curve and "
                   "policy (required for training)")
    p.add_argument("--seed", type=int, default=0, help="seed of the whole run (default 0)")
    p.add_argument("--opponents", type=_opponents, default=("greedy",) * 3, metavar="LIST",
                   help=f"the three opponents, or one for all three ({', '.join(ENGINE_OPPONENTS)}; "
                        f"default greedy; also mcts:PLAYOUTS[:ROLLOUT] and policy:PATH, a policy "
                        f"file's net, whose PATH may not contain a comma; {SELF}: an earlier "
                        "version of the learner, from its pool); every opponent, nets and the "
                        "pool included, is played by the engine; the learner's seat turns per "
                        "game")
    p.add_argument("--cpu-minutes", type=float, default=4.0, metavar="M",
                   help="training CPU minutes in all, counted across resumes (default 4)")
    p.add_argument("--updates", type=_positive, default=None, metavar="N",
                   help="stop after N PPO updates in all, if sooner")
    p.add_argument("--resume", action="store_true", help="continue the run in --out")
    p.add_argument("--clone", metavar="DATASET", default=None,
                   help="first clone the choices of a dataset written by `python -m tavrin_rl "
                        "--out DATASET` (e.g. --agents reach)")
    p.add_argument("--clone-minutes", type=float, default=1.5, metavar="M",
                   help="CPU minutes of cloning (default 1.5), part of --cpu-minutes")
    ppo = p.add_argument_group("PPO")
    ppo.add_argument("--games", type=_positive, default=128, metavar="N",
                     help="games per rollout, played to their end (default 128)")
    ppo.add_argument("--epochs", type=_positive, default=3, metavar="N",
                     help="passes over each rollout (default 3)")
    ppo.add_argument("--minibatch", type=_positive, default=512, metavar="N",
                     help="decisions per gradient step (default 512)")
    ppo.add_argument("--lr", type=float, default=1e-3, help="Adam's step size (default 1e-3)")
    ppo.add_argument("--entropy", type=float, default=0.01, metavar="COEF",
                     help="weight of the entropy bonus (default 0.01)")
    ppo.add_argument("--pool-every", type=_positive, default=10, metavar="K",
                     help=f"with {SELF} opponents: add the learner to its pool every K updates "
                          "(default 10); each rollout draws one version from the pool, the "
                          "latest half of the time")
    ppo.add_argument("--augment", action="store_true",
                     help="show the net each position mirrored in its diagonal half of the time "
                          "(the board's symmetry that keeps the mover's corner)")
    show = p.add_argument_group("evaluation and display")
    show.add_argument("--eval-every", type=int, default=5, metavar="K",
                      help="evaluate every K updates (default 5; 0: never)")
    show.add_argument("--eval-games", type=_positive, default=200, metavar="G",
                      help="games per evaluation opponent (default 200)")
    show.add_argument("--eval-against", type=_names, default=("random", "greedy", "reach"),
                      metavar="LIST", help="opponents (three of each) of the evaluations")
    show.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                      help="a progress bar on standard error (default: on a terminal)")
    show.add_argument("--evaluate", metavar="POLICY", default=None,
                      help="play the policy file against --opponents for --eval-games games, "
                           "print its win share with a 95%% Wilson interval, and exit")
    show.add_argument("--sample", action="store_true",
                      help="with --evaluate: draw placements from the policy instead of taking "
                           "the most likely")
    from tavrin_rl.train import expert
    expert.add_arguments(p)
    return p


def run_evaluation(args: argparse.Namespace, out: TextIO) -> int:
    from tavrin_rl.agents.evaluate import evaluate
    from tavrin_rl.agents.net import Policy
    try:
        policy = Policy.load(args.evaluate)
    except OSError as error:
        _tell(sys.stderr, f"cannot read {args.evaluate}: {error.strerror or error}")
        return 2
    except ValueError as error:
        _tell(sys.stderr, str(error))
        return 2
    started = time.process_time()
    result = evaluate(policy, args.opponents, args.eval_games, args.seed, args.sample)
    seconds = time.process_time() - started
    out.write(f"{args.evaluate}: {result}\n")
    out.write(f"{seconds:.1f} CPU seconds\n")
    return 0


def _atomic_save(obj: Any, path: Path) -> None:
    import torch
    tmp = path.with_suffix(".tmp")
    torch.save(obj, tmp)
    os.replace(tmp, path)


def run_training(args: argparse.Namespace, out: TextIO, err: TextIO | None) -> int:
    import numpy as np
    import torch

    from tavrin_rl.agents.evaluate import play_games
    from tavrin_rl.agents.net import Policy, load_policy, save_policy
    from tavrin_rl.agents.policy import PolicyAgent
    from tavrin_rl.train import ppo
    from tavrin_rl.train.net import PolicyNet

    torch.set_num_threads(1)  # the machine is shared; one thread also makes runs repeatable
    folder = Path(args.out)
    folder.mkdir(parents=True, exist_ok=True)
    checkpoint_path = folder / "checkpoint.pt"
    settings = ppo.Settings(games=args.games, epochs=args.epochs, minibatch=args.minibatch,
                            lr=args.lr, entropy=args.entropy, opponents=args.opponents,
                            augment=args.augment)
    torch.manual_seed(args.seed)
    net = PolicyNet()
    optimizer = torch.optim.Adam(net.parameters(), lr=settings.lr)
    state: dict[str, Any] = {
        "update": 0, "games": 0, "steps": 0, "train_cpu_s": 0.0, "clone_batches": 0,
        "clone_done": args.clone is None, "seed": args.seed, "pool": []}
    rows: list[dict[str, Any]] = []
    log_path = folder / "log.csv"
    if args.resume:
        if not checkpoint_path.exists():
            _tell(err, f"nothing to resume: no {checkpoint_path}")
            return 2
        saved = torch.load(checkpoint_path, weights_only=False)
        net.load_state_dict(saved["net"])
        optimizer.load_state_dict(saved["optimizer"])
        for group in optimizer.param_groups:
            group["lr"] = settings.lr
        state.update(saved["state"])
        if args.clone is not None and saved["state"].get("clone_done") is False:
            state["clone_done"] = False
        if log_path.exists():
            with open(log_path, newline="") as f:
                rows = [r for r in csv.DictReader(f) if int(r["update"]) <= state["update"]]
    elif checkpoint_path.exists():
        _tell(err, f"{folder} holds a run already: --resume it or choose another --out")
        return 2
    seed = int(state["seed"])
    series = ["train_win_share", *(f"eval_{name}" for name in args.eval_against)]
    columns = [*COLUMNS, *series[1:]]
    show = args.progress if args.progress is not None else (err is not None and err.isatty())
    budget = 60 * args.cpu_minutes
    bar = Progress(int(budget), err if show else None, unit="training CPU s")
    out.write(f"training in {folder}: seed {seed}, opponents {', '.join(args.opponents)}, "
              f"{args.cpu_minutes:g} CPU minutes in all\n")

    def save(row: dict[str, Any] | None) -> None:
        """Checkpoint, then the log with `row` appended (None: the last row was changed)."""
        _atomic_save({"net": net.state_dict(), "optimizer": optimizer.state_dict(),
                      "state": state}, checkpoint_path)
        if row is not None:
            rows.append(row)
        with open(log_path, "w", newline="") as f:
            writer = csv.DictWriter(f, fieldnames=columns, extrasaction="ignore")
            writer.writeheader()
            writer.writerows(rows)
        save_policy(folder / "policy.npz", net.weights(), channels=net.channels,
                    update=state["update"], train_cpu_s=state["train_cpu_s"])
        (folder / "curve.svg").write_text(curve_svg(rows, series, f"tavrin_rl training, "
                                                                  f"seed {seed}"))

    def evaluation() -> dict[str, float]:
        policy = Policy(net.weights(), {})
        return {f"eval_{name}": play_games(policy.choose, (name,) * 3, args.eval_games,
                                           seed=seed + 1).win_share
                for name in args.eval_against}

    try:
        if not state["clone_done"]:
            clone_budget = 60 * args.clone_minutes
            batches = ppo.clone_batches(args.clone, seed, settings.clone_minibatch,
                                        settings.win_weight)
            for _ in range(int(state["clone_batches"])):  # where a resumed run left off
                next(batches)
            total = [0.0, 0.0, 0]
            while state["train_cpu_s"] < min(clone_budget, budget):
                started = time.process_time()
                try:
                    batch = next(batches)
                except StopIteration:
                    batches = ppo.clone_batches(args.clone, seed + state["clone_batches"],
                                                settings.clone_minibatch, settings.win_weight)
                    continue
                flip = None
                if settings.augment:
                    flip = np.random.default_rng([seed, state["clone_batches"]]).random(
                        len(batch["action"])) < 0.5
                losses = ppo.clone_step(net, optimizer, batch, settings.value_coef, flip)
                state["clone_batches"] += 1
                state["steps"] += len(batch["action"])
                state["train_cpu_s"] += time.process_time() - started
                total[0] += losses[0]
                total[1] += losses[1]
                total[2] += 1
                bar.update(int(state["train_cpu_s"]),
                           f"cloning: {state['clone_batches']} batches, loss {losses[0]:.3f}")
                if state["clone_batches"] % 50 == 0:
                    row = {"update": state["update"], "phase": "clone", "games": state["games"],
                           "steps": state["steps"], "train_cpu_s": round(state["train_cpu_s"], 2),
                           "policy_loss": total[0] / total[2], "value_loss": total[1] / total[2]}
                    total = [0.0, 0.0, 0]
                    save(row)
            state["clone_done"] = True
            row = {"update": state["update"], "phase": "clone", "games": state["games"],
                   "steps": state["steps"], "train_cpu_s": round(state["train_cpu_s"], 2)}
            if args.eval_every:
                row.update(evaluation())
            save(row)
            bar.end()
            out.write(f"cloned {state['clone_batches']} batches in "
                      f"{state['train_cpu_s'] / 60:.2f} CPU minutes; " + _evals(row) + "\n")

        games = None if SELF in settings.opponents else _rollout_games(settings)
        pool_folder = folder / "pool"
        while state["train_cpu_s"] < budget and (args.updates is None
                                                  or state["update"] < args.updates):
            update = int(state["update"])
            rng = np.random.default_rng([seed, update])
            started = time.process_time()
            round_games = games
            if SELF in settings.opponents:
                pool = state["pool"]
                if not pool:
                    frozen = Policy(net.weights(), {})
                else:
                    pick = len(pool) - 1 if rng.random() < 0.5 else int(rng.integers(len(pool)))
                    frozen = load_policy(pool_folder / pool[pick])
                # the frozen version plays as an engine seat, drawing from the policy
                round_games = _rollout_games(settings, PolicyAgent.from_policy(frozen, sample=True))
            rollout = ppo.collect(net, round_games, seed, update * settings.games, rng,
                                  settings.win_weight, settings.augment)
            stats = ppo.ppo_update(net, optimizer, rollout, settings, rng)
            spent = time.process_time() - started
            state["update"] = update + 1
            state["games"] += settings.games
            state["steps"] += rollout.steps
            state["train_cpu_s"] += spent
            row = {"update": update + 1, "phase": "ppo " + "/".join(sorted(set(args.opponents))),
                   "games": state["games"], "steps": state["steps"],
                   "train_cpu_s": round(state["train_cpu_s"], 2),
                   "steps_per_cpu_s": round(rollout.steps / spent, 1),
                   "train_win_share": float(rollout.win_share.mean()),
                   **{k: round(v, 5) for k, v in stats.items()}}
            if args.eval_every and (update + 1) % args.eval_every == 0:
                row.update(evaluation())
            if SELF in settings.opponents and (update + 1) % args.pool_every == 0:
                pool_folder.mkdir(exist_ok=True)
                name = f"update_{update + 1}.npz"
                save_policy(pool_folder / name, net.weights(), update=update + 1)
                state["pool"] = [*state["pool"], name]
            save(row)
            bar.update(int(state["train_cpu_s"]),
                       f"update {update + 1}, {rollout.steps / spent:,.0f} steps/CPU-s, "
                       f"win share in training {100 * row['train_win_share']:.1f}%" + _evals(rows[-1], recent=rows))
    except KeyboardInterrupt:
        bar.end()
        out.write(f"interrupted; the last checkpoint is in {checkpoint_path} (--resume)\n")
        return 130
    bar.end()
    last = rows[-1] if rows else {}
    if rows and args.eval_every and last.get(series[1]) in (None, ""):
        last.update(evaluation())  # the figures of the policy the run ends with
        save(None)
    out.write(f"done: {state['update']} updates, {state['games']} games, {state['steps']} "
              f"decisions, {state['train_cpu_s'] / 60:.2f} training CPU minutes"
              + _evals(last, recent=rows) + f"\npolicy: {folder / 'policy.npz'}\n")
    return 0


def _rollout_games(settings: Any, pool_seat: Any = None) -> Any:
    """The games of the rollouts: learner in one seat (turned per game), the opponents in C++,
    `pool_seat` (a net seat) where the opponents name the pool."""
    from tavrin_rl.vector import VectorGames
    return VectorGames(settings.games, threads=1, seed=0, observation="compact", mask=False,
                       reward_mode="win_share", autoreset=False,
                       seats=("learner", *(pool_seat if name == SELF else name
                                           for name in settings.opponents)),
                       rotate_seats=True)


def _evals(row: dict[str, Any], recent: list[dict[str, Any]] | None = None) -> str:
    """The latest evaluation's win shares, from `row` or the latest row that has them."""
    for r in [row, *reversed(recent or [])]:
        found = {k[5:]: float(v) for k, v in r.items() if k.startswith("eval_") and v != ""}
        if found:
            return "; eval " + ", ".join(f"{k} {100 * v:.1f}%" for k, v in found.items())
    return ""


def _tell(err: TextIO | None, message: str) -> None:
    if err is not None:
        err.write(f"tavrin_rl train: {message}\n")


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.evaluate is not None:
        return run_evaluation(args, sys.stdout)
    if args.out is None:
        parser.error("--out is required for training")
    from tavrin_rl.train import expert
    settings = expert.check_arguments(parser, args) if args.expert is not None else None
    try:
        import torch  # noqa: F401
    except ImportError:
        _tell(sys.stderr, f"training needs torch (the 'train' extra): {install_hint('train')}")
        return 2
    if settings is not None:
        return expert.run(args, settings, sys.stdout, sys.stderr)
    return run_training(args, sys.stdout, sys.stderr)
