"""`python -m tavrin_rl train`: behaviour cloning from a dataset, then PPO against engine seats,
with a progress bar, a CSV log, a learning curve, checkpoints and --resume. `--evaluate PATH`
plays a saved policy instead (numpy only, no torch).

Everything a run writes goes to --out: `checkpoint.pt` (net, optimiser, counters; rewritten after
every update), `log.csv` (one row per update), `curve.svg` (win shares against training CPU
minutes) and `policy.npz` (the latest policy, float16, for `make_agent("policy", path=...)`).
Each is written to a temporary beside it and renamed over it, the checkpoint last and Ctrl-C held
off until all are in place, so the files always belong to one update; a full disk leaves the
previous update's files whole and no temporary behind. A checkpoint holds only tensors,
containers, numbers and strings, and is read with `torch.load(weights_only=True)`.
Budgets count training CPU time across resumes, evaluation excluded, so a run resumed after a
stop ends where it would have; the log's `total_cpu_s` and the last line give the whole run's CPU
time, evaluations and saving included. A later stage (other opponents) is a --resume with a
larger budget. With the same seed and one thread, a run repeats exactly, stopped and resumed or
not. A loss or weight that stops being finite ends the run, keeping the last good checkpoint.
"""

from __future__ import annotations

import argparse
import csv
import io
import math
import os
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, Sequence, TextIO

from tavrin_rl._command import MAX_SEED, _whole_number, game_count, run_guarded
from tavrin_rl._command import seed as seed_option
from tavrin_rl._extras import install_hint
from tavrin_rl._progress import Progress
from tavrin_rl.train.curve import curve_svg
from tavrin_rl.train.files import ctrl_c_held as _ctrl_c_held
from tavrin_rl.train.files import write_files as _write_files
from tavrin_rl.vector import POLICIES

COLUMNS = ("update", "phase", "games", "steps", "train_cpu_s", "steps_per_cpu_s", "train_win_share",
           "policy_loss", "value_loss", "entropy", "clip_fraction", "total_cpu_s")
CLONE_SAVE_EVERY = 50  # cloning batches between checkpoints
FLOAT16_MAX = 65504.0  # the largest finite float16: the policy file's weights are float16
#: The files of a run, besides the pool of earlier versions (`pool/`).
RUN_FILES = ("checkpoint.pt", "log.csv", "policy.npz", "curve.svg")


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
    return _bounded(text, 10**9)


def _bounded(text: str, maximum: int) -> int:
    return _whole_number(text, 1, f"from 1 to {maximum}", maximum)


def _rollout_size(text: str) -> int:
    # a rollout's games are held at once, with every decision of the learner's: beyond this
    # the memory, not the CPU, is the limit
    return _bounded(text, 100_000)


def _number(text: str, rule: str, low: float, low_included: bool = True) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number {rule}, got {text!r}") from None
    if not math.isfinite(value) or value < low or (value == low and not low_included):
        raise argparse.ArgumentTypeError(f"must be a number {rule}, got {text}")
    return value


def _minutes(text: str) -> float:
    return _number(text, "above 0", 0.0, low_included=False)


def _clone_minutes(text: str) -> float:
    return _number(text, "of 0 or more", 0.0)


def _learning_rate(text: str) -> float:
    return _number(text, "above 0", 0.0, low_included=False)


def _coefficient(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text!r}")
    return value


def _every(text: str) -> int:
    return _whole_number(text, 0, "from 0 up")


def _names(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(",") if name.strip())
    if not names:
        raise argparse.ArgumentTypeError(f"give at least one agent, got {text!r}")
    for name in names:
        _engine_opponent(name)
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise argparse.ArgumentTypeError(f"give every agent once (repeated: {', '.join(repeated)})")
    return names


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m tavrin_rl train",
        description="Train a policy net (behaviour cloning, then PPO against the engine's "
                    "agents), or evaluate a saved one with --evaluate.")
    p.add_argument("--out", metavar="DIR", help="folder of the run's checkpoint, log, curve and "
                   "policy (required for training)")
    p.add_argument("--seed", type=seed_option, default=0,
                   help="seed of the whole run, 0 to 2**64 - 1 (default 0)")
    p.add_argument("--opponents", type=_opponents, default=("greedy",) * 3, metavar="LIST",
                   help=f"the three opponents, or one for all three ({', '.join(ENGINE_OPPONENTS)}; "
                        f"default greedy; also mcts:PLAYOUTS[:ROLLOUT] and policy:PATH, a policy "
                        f"file's net, whose PATH may not contain a comma; {SELF}: an earlier "
                        "version of the learner, from its pool); every opponent, nets and the "
                        "pool included, is played by the engine; the learner's seat turns per "
                        "game")
    p.add_argument("--cpu-minutes", type=_minutes, default=4.0, metavar="M",
                   help="training CPU minutes in all, counted across resumes (default 4). The "
                        "evaluations and saving are not counted: the whole run takes more CPU "
                        "time, which the log's total_cpu_s column and the last line report")
    p.add_argument("--updates", type=_positive, default=None, metavar="N",
                   help="stop after N PPO updates in all, if sooner")
    p.add_argument("--resume", action="store_true", help="continue the run in --out")
    p.add_argument("--clone", metavar="DATASET", default=None,
                   help="first clone the choices of a dataset written by `python -m tavrin_rl "
                        "--out DATASET` (e.g. --agents reach)")
    p.add_argument("--clone-minutes", type=_clone_minutes, default=1.5, metavar="M",
                   help="CPU minutes of cloning (default 1.5), part of --cpu-minutes")
    ppo = p.add_argument_group("PPO")
    ppo.add_argument("--games", type=_rollout_size, default=128, metavar="N",
                     help="games per rollout, played to their end (default 128)")
    ppo.add_argument("--epochs", type=_positive, default=3, metavar="N",
                     help="passes over each rollout (default 3)")
    ppo.add_argument("--minibatch", type=_positive, default=512, metavar="N",
                     help="decisions per gradient step (default 512)")
    ppo.add_argument("--lr", type=_learning_rate, default=1e-3,
                     help="Adam's step size (default 1e-3)")
    ppo.add_argument("--entropy", type=_coefficient, default=0.01, metavar="COEF",
                     help="weight of the entropy bonus (default 0.01)")
    ppo.add_argument("--pool-every", type=_positive, default=10, metavar="K",
                     help=f"with {SELF} opponents: add the learner to its pool every K updates "
                          "(default 10); each rollout draws one version from the pool, the "
                          "latest half of the time")
    ppo.add_argument("--augment", action="store_true",
                     help="show the net each position mirrored in its diagonal half of the time "
                          "(the board's symmetry that keeps the mover's corner)")
    show = p.add_argument_group("evaluation and display")
    show.add_argument("--eval-every", type=_every, default=5, metavar="K",
                      help="evaluate every K updates (default 5; 0: never)")
    show.add_argument("--eval-games", type=game_count, default=200, metavar="G",
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
    try:
        result = evaluate(policy, args.opponents, args.eval_games, args.seed, args.sample)
    except KeyboardInterrupt:
        _tell(sys.stderr, "interrupted: no result")
        return 130
    seconds = time.process_time() - started
    out.write(f"{args.evaluate}: {result}\n")
    out.write(f"{seconds:.1f} CPU seconds\n")
    return 0


class RunError(Exception):
    """Ends a run with one line on standard error and `status`."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def check_output(folder: Path, resume: bool) -> None:
    """Refuse an --out that is not a folder, a folder of something else's, a run when a new
    one is asked for, and a folder without a run to resume (RunError, status 2); nothing is
    created."""
    if folder.exists() and not folder.is_dir():
        raise RunError(f"--out {folder} is not a folder", 2)
    checkpoint = folder / "checkpoint.pt"
    if resume:
        if not checkpoint.is_file():
            raise RunError(f"nothing to resume: no {checkpoint}", 2)
        return
    if checkpoint.exists():
        raise RunError(f"{folder} holds a run already: --resume it or choose another --out", 2)
    try:
        entries = sorted(entry.name for entry in folder.iterdir()) if folder.exists() else []
    except OSError as error:
        raise RunError(f"cannot read --out {folder}: {error.strerror or error}", 2) from None
    if entries:
        raise RunError(f"{folder} is not empty and holds no tavrin_rl run (it has "
                       f"{', '.join(entries[:3])}{', ...' if len(entries) > 3 else ''}): "
                       "choose an empty or new folder", 2)


def check_dataset(path: str) -> int:
    """The number of placements of the dataset at `path` to clone, its manifest and every
    shard's footer read; RunError (status 2) in one line when it has none or cannot be read."""
    try:
        from tavrin_rl import data
        from tavrin_rl.data import _store
        dataset = data.open(path)
        pa = _store.pyarrow()
        for shard in dataset.shards:
            for name in shard["files"]:
                try:
                    rows = pa.parquet.read_metadata(dataset.path / name).num_rows
                except (OSError, ValueError) as error:  # pyarrow's errors derive from these
                    raise ValueError(f"{dataset.path / name}: {error}") from None
                if name == shard["files"][0] and rows != shard["plies"]:
                    raise ValueError(f"{dataset.path / name}: {rows} rows, the manifest says "
                                     f"{shard['plies']}")
    except ModuleNotFoundError as error:
        raise RunError(f"--clone reads datasets with pyarrow: pip install 'tavrin_rl[data]' "
                       f"({error})", 2) from None
    except FileNotFoundError as error:
        manifest = Path(path) / "manifest.json"
        if manifest.is_file():  # there, but not ours: not the same as missing
            raise RunError(f"cannot clone {path}: {manifest} is damaged or not a tavrin_rl "
                           "dataset manifest", 2) from None
        text = f"{error.filename} is missing" if error.filename else str(error)
        raise RunError(f"cannot clone {path}: {text}", 2) from None
    except (OSError, ValueError) as error:  # pyarrow's errors are ValueError or OSError
        text = str(error).strip().splitlines()[0] if str(error).strip() else repr(error)
        raise RunError(f"cannot clone {path}: {text}", 2) from None
    if dataset.num_samples == 0:
        raise RunError(f"cannot clone {path}: it holds no placements", 2)
    return dataset.num_samples


def load_checkpoint(path: Path, net: Any, optimizer: Any) -> dict[str, Any]:
    """The counters of the checkpoint at `path`, its net and optimiser loaded into `net` and
    `optimizer`. Only tensors, containers, numbers and strings are read (`weights_only`):
    a file cannot run code. Anything that is not a whole checkpoint of ours is RunError."""
    import torch
    refusal = RunError(f"cannot resume: {path} is damaged or not a tavrin_rl checkpoint", 2)
    try:
        saved = torch.load(path, weights_only=True, map_location="cpu")
        if not isinstance(saved, dict) or not isinstance(saved.get("state"), dict):
            raise refusal
        state = saved["state"]
        for key, kind in (("update", int), ("games", int), ("steps", int),
                          ("train_cpu_s", (int, float)), ("clone_batches", int),
                          ("clone_done", bool), ("seed", int), ("pool", list)):
            if not isinstance(state.get(key), kind):
                raise refusal
        if not 0 <= state["seed"] <= MAX_SEED or not all(
                isinstance(name, str) and "/" not in name and name not in ("", ".", "..")
                for name in state["pool"]):
            raise refusal
        net.load_state_dict(saved["net"])
        if not all(bool(torch.isfinite(t).all()) for t in net.state_dict().values()):
            raise refusal
        optimizer.load_state_dict(saved["optimizer"])
    except RunError:
        raise
    except Exception:  # torch.load's and load_state_dict's many ways to refuse a file
        raise refusal from None
    return state


def run_training(args: argparse.Namespace, out: TextIO, err: TextIO | None) -> int:
    try:
        return _train(args, out, err)
    except RunError as error:
        _tell(err, str(error))
        return error.status


def _train(args: argparse.Namespace, out: TextIO, err: TextIO | None) -> int:
    folder = Path(args.out)
    check_output(folder, args.resume)
    if args.clone is not None and not args.resume:
        check_dataset(args.clone)  # before --out is created

    import numpy as np
    import torch

    from tavrin_rl.agents.evaluate import play_games
    from tavrin_rl.agents.net import Policy, load_policy, policy_arrays
    from tavrin_rl.agents.policy import PolicyAgent
    from tavrin_rl.train import ppo
    from tavrin_rl.train.net import PolicyNet

    run_started = time.process_time()
    torch.set_num_threads(1)  # the machine is shared; one thread also makes runs repeatable
    checkpoint_path = folder / "checkpoint.pt"
    settings = ppo.Settings(games=args.games, epochs=args.epochs, minibatch=args.minibatch,
                            lr=args.lr, entropy=args.entropy, opponents=args.opponents,
                            augment=args.augment)
    torch.manual_seed(args.seed)
    net = PolicyNet()
    optimizer = torch.optim.Adam(net.parameters(), lr=settings.lr)
    state: dict[str, Any] = {
        "update": 0, "games": 0, "steps": 0, "train_cpu_s": 0.0, "clone_batches": 0,
        "clone_done": args.clone is None, "seed": args.seed, "pool": [],
        "clone_pass_start": 0, "total_cpu_s": 0.0}
    rows: list[dict[str, Any]] = []
    log_path = folder / "log.csv"
    if args.resume:
        saved = load_checkpoint(checkpoint_path, net, optimizer)
        for group in optimizer.param_groups:
            group["lr"] = settings.lr
        # a run saved before the whole run's CPU was counted: its training CPU is all we know
        state["total_cpu_s"] = float(saved.get("train_cpu_s", 0.0))
        state.update(saved)
        if args.clone is not None and saved.get("clone_done") is False:
            state["clone_done"] = False
            check_dataset(args.clone)
        if log_path.exists():
            try:
                with open(log_path, newline="") as f:
                    rows = [r for r in csv.DictReader(f) if int(r["update"]) <= state["update"]]
            except (OSError, ValueError, KeyError, TypeError, csv.Error):
                raise RunError(f"cannot resume: {log_path} is damaged", 2) from None
    else:
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise RunError(f"cannot create {folder}: {error.strerror or error}", 2) from None
    seed = int(state["seed"])
    total_before = float(state["total_cpu_s"])
    series = ["train_win_share", *(f"eval_{name}" for name in args.eval_against)]
    columns = [*COLUMNS, *series[1:]]
    show = args.progress if args.progress is not None else (err is not None and err.isatty())
    budget = 60 * args.cpu_minutes
    bar = Progress(int(budget), err if show else None, unit="training CPU s")
    out.write(f"training in {folder}: seed {seed}, opponents {', '.join(args.opponents)}, "
              f"{args.cpu_minutes:g} training CPU minutes in all (evaluations not counted)\n")

    def total_cpu() -> float:
        return total_before + time.process_time() - run_started

    def save(row: dict[str, Any] | None) -> None:
        """The policy, curve, log with `row` appended (None: the last row was changed) and the
        checkpoint, together (see `_write_files`)."""
        state["total_cpu_s"] = round(total_cpu(), 2)
        if row is not None:
            row["total_cpu_s"] = state["total_cpu_s"]
            rows.append(row)
        arrays = policy_arrays(net.weights(), channels=net.channels, update=state["update"],
                               train_cpu_s=state["train_cpu_s"])

        def log(f: Any) -> None:
            text = io.StringIO(newline="")
            writer = csv.DictWriter(text, fieldnames=columns, extrasaction="ignore")
            writer.writeheader()
            writer.writerows(rows)
            f.write(text.getvalue().encode())
        curve = curve_svg(rows, series, f"tavrin_rl training, seed {seed}").encode()
        checkpoint = {"net": net.state_dict(), "optimizer": optimizer.state_dict(),
                      "state": state}
        _write_files([
            (folder / "policy.npz",
             lambda f: np.savez_compressed(f, **arrays)),  # type: ignore[arg-type]
            (folder / "curve.svg", lambda f: f.write(curve)),
            (log_path, log),
            (checkpoint_path, lambda f: torch.save(checkpoint, f))])

    def evaluation() -> dict[str, float]:
        policy = Policy(net.weights(), {})
        return {f"eval_{name}": play_games(policy.choose, (name,) * 3, args.eval_games,
                                           seed=(seed + 1) & MAX_SEED).win_share
                for name in args.eval_against}

    def check_finite(losses: Sequence[float], where: str) -> None:
        # the policy file stores float16: a weight beyond its range would be saved infinite
        weights_ok = all(bool(p.abs().max() < FLOAT16_MAX) for p in net.parameters())
        if weights_ok and all(math.isfinite(x) for x in losses):
            return
        kept = (f"{checkpoint_path} keeps the last good update" if checkpoint_path.exists()
                else "nothing was saved")
        raise RunError(f"the run diverged at {where}: a loss or weight is no longer finite "
                       f"(a smaller --lr may help); {kept}")

    try:
        if not state["clone_done"]:
            clone_budget = 60 * args.clone_minutes

            def clone_pass(start: int) -> Iterator[dict[str, Any]]:
                # a pass starts after `start` batches in all, shuffled with seed + start: the
                # seeds of a straight run, so a resumed one reads the same batches
                return ppo.clone_batches(args.clone, (seed + start) & MAX_SEED,
                                         settings.clone_minibatch, settings.win_weight)

            def next_batch(batches: Iterator[dict[str, Any]]) -> dict[str, Any] | None:
                try:
                    return next(batches, None)
                except (OSError, ValueError) as error:  # a shard damaged since the run began
                    text = str(error).strip().splitlines()[0] if str(error).strip() else repr(error)
                    raise RunError(f"cannot clone {args.clone}: {text}") from None
            start = int(state.get("clone_pass_start", 0))
            batches = clone_pass(start)
            for _ in range(int(state["clone_batches"]) - start):  # where a resumed run left off
                if next_batch(batches) is None:  # an earlier version's checkpoint: no pass start
                    start = int(state["clone_batches"])
                    batches = clone_pass(start)
                    break
            total = [0.0, 0.0, 0]
            fresh = False  # whether `batches` has not yielded yet
            while state["train_cpu_s"] < min(clone_budget, budget):
                started = time.process_time()
                batch = next_batch(batches)
                if batch is None:
                    if fresh:  # checked before the run, so only if the dataset changed since
                        raise RunError(f"cannot clone {args.clone}: it holds no placements")
                    state["clone_pass_start"] = int(state["clone_batches"])
                    batches = clone_pass(state["clone_pass_start"])
                    fresh = True
                    continue
                fresh = False
                flip = None
                if settings.augment:
                    flip = np.random.default_rng([seed, state["clone_batches"]]).random(
                        len(batch["action"])) < 0.5
                losses = ppo.clone_step(net, optimizer, batch, settings.value_coef, flip)
                check_finite(losses, f"cloning batch {state['clone_batches'] + 1}")
                state["clone_batches"] += 1
                state["steps"] += len(batch["action"])
                state["train_cpu_s"] += time.process_time() - started
                total[0] += losses[0]
                total[1] += losses[1]
                total[2] += 1
                bar.update(int(state["train_cpu_s"]),
                           f"cloning: {state['clone_batches']} batches, loss {losses[0]:.3f}")
                if state["clone_batches"] % CLONE_SAVE_EVERY == 0:
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
                    try:
                        frozen = load_policy(pool_folder / pool[pick])
                    except (OSError, ValueError) as error:
                        raise RunError(f"cannot read the pool's {pool_folder / pool[pick]}: "
                                       f"{getattr(error, 'strerror', None) or error}") from None
                # the frozen version plays as an engine seat, drawing from the policy
                round_games = _rollout_games(settings, PolicyAgent.from_policy(frozen, sample=True))
            rollout = ppo.collect(net, round_games, seed, update * settings.games, rng,
                                  settings.win_weight, settings.augment)
            stats = ppo.ppo_update(net, optimizer, rollout, settings, rng)
            check_finite(list(stats.values()), f"update {update + 1}")
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
                pool_arrays = policy_arrays(net.weights(), update=update + 1)
                _write_files([(pool_folder / name,
                               lambda f: np.savez_compressed(f, **pool_arrays))])  # type: ignore[arg-type]
                state["pool"] = [*state["pool"], name]
            save(row)
            bar.update(int(state["train_cpu_s"]),
                       f"update {update + 1}, {rollout.steps / spent:,.0f} steps/CPU-s, "
                       f"win share in training {100 * row['train_win_share']:.1f}%" + _evals(rows[-1], recent=rows))
        bar.end()
        last = rows[-1] if rows else {}
        if rows and args.eval_every and last.get(series[1]) in (None, ""):
            last.update(evaluation())  # the figures of the policy the run ends with
            save(None)
    except KeyboardInterrupt:
        bar.end()
        out.write(f"interrupted; the last checkpoint is in {checkpoint_path} (--resume)\n")
        return 130
    except ppo.Diverged as error:
        bar.end()
        check_finite([math.nan], f"cloning batch {state['clone_batches'] + 1} ({error})"
                     if not state["clone_done"] else f"update {state['update'] + 1} ({error})")
    except OSError as error:  # a full disk, a folder made read-only under the run...
        bar.end()
        where = error.filename or folder
        raise RunError(f"cannot write {where}: {error.strerror or error}; "
                       + (f"{checkpoint_path} keeps the last complete update"
                          if checkpoint_path.exists() else "nothing was saved")) from None
    out.write(f"done: {state['update']} updates, {state['games']} games, {state['steps']} "
              f"decisions, {state['train_cpu_s'] / 60:.2f} training CPU minutes "
              f"({total_cpu() / 60:.2f} CPU minutes in all, evaluations included)"
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
    err = sys.stderr
    if args.evaluate is not None:
        return run_guarded(lambda out: run_evaluation(args, out), err)
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
        return run_guarded(lambda out: expert.run(args, settings, out, err), err)
    return run_guarded(lambda out: run_training(args, out, err), err)
