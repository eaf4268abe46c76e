"""The PPO recipe's run: behaviour cloning from a dataset, then PPO against engine seats, with
its options, a progress bar, the log, the curve, checkpoints and --resume (the folder's rules in
`run_folder`). The algorithm itself (rollouts, the update, cloning steps) is `ppo`.

Budgets count training CPU time across resumes, evaluation excluded, so a run resumed after a
stop ends where it would have; the log's `total_cpu_s` and the last line give the whole run's CPU
time, evaluations and saving included. A later stage (other opponents) is a --resume with a
larger budget. With the same seed and one thread, a run repeats exactly, stopped and resumed or
not. A loss or weight that stops being finite ends the run, keeping the last good checkpoint.
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, TextIO

from tavrin_rl._command import MAX_SEED, game_count
from tavrin_rl._progress import Progress
from tavrin_rl.train import clone_data, options, run_folder
from tavrin_rl.train.curve import curve_svg
from tavrin_rl.train.options import ENGINE_OPPONENTS, SELF
from tavrin_rl.train.run_folder import RunError

COLUMNS = ("update", "phase", "games", "steps", "train_cpu_s", "steps_per_cpu_s", "train_win_share",
           "policy_loss", "value_loss", "entropy", "clip_fraction", "total_cpu_s")
CLONE_SAVE_EVERY = 50  # cloning batches between checkpoints
FLOAT16_MAX = 65504.0  # the largest finite float16: the policy file's weights are float16
#: The checkpoint's counters and their types, checked before a resume trusts them.
COUNTERS: dict[str, Any] = {
    "update": int, "games": int, "steps": int, "train_cpu_s": (int, float), "clone_batches": int,
    "clone_done": bool, "seed": int, "pool": list}


def add_arguments(p: argparse.ArgumentParser) -> Any:
    """PPO's options; returns the group of evaluation and display, which the command adds to."""
    p.add_argument("--opponents", type=options.opponents, default=("greedy",) * 3, metavar="LIST",
                   help=f"the three opponents, or one for all three ({', '.join(ENGINE_OPPONENTS)}; "
                        f"default greedy; also mcts:PLAYOUTS[:ROLLOUT] and policy:PATH, a policy "
                        f"file's net, whose PATH may not contain a comma; {SELF}: an earlier "
                        "version of the learner, from its pool); every opponent, nets and the "
                        "pool included, is played by the engine; the learner's seat turns per "
                        "game")
    p.add_argument("--cpu-minutes", type=options.above_zero, default=4.0, metavar="M",
                   help="training CPU minutes in all, counted across resumes (default 4). The "
                        "evaluations and saving are not counted: the whole run takes more CPU "
                        "time, which the log's total_cpu_s column and the last line report")
    p.add_argument("--updates", type=options.positive, default=None, metavar="N",
                   help="stop after N PPO updates in all, if sooner")
    p.add_argument("--clone", metavar="DATASET", default=None,
                   help="first clone the choices of a dataset written by `python -m tavrin_rl "
                        "--out DATASET` (e.g. --agents reach)")
    p.add_argument("--clone-minutes", type=options.not_negative, default=1.5, metavar="M",
                   help="CPU minutes of cloning (default 1.5), part of --cpu-minutes")
    ppo = p.add_argument_group("PPO")
    ppo.add_argument("--games", type=options.rollout_size, default=128, metavar="N",
                     help="games per rollout, played to their end (default 128)")
    ppo.add_argument("--epochs", type=options.positive, default=3, metavar="N",
                     help="passes over each rollout (default 3)")
    ppo.add_argument("--minibatch", type=options.positive, default=512, metavar="N",
                     help="decisions per gradient step (default 512)")
    ppo.add_argument("--lr", type=options.above_zero, default=1e-3,
                     help="Adam's step size (default 1e-3)")
    ppo.add_argument("--entropy", type=options.finite, default=0.01, metavar="COEF",
                     help="weight of the entropy bonus (default 0.01)")
    ppo.add_argument("--pool-every", type=options.positive, default=10, metavar="K",
                     help=f"with {SELF} opponents: add the learner to its pool every K updates "
                          "(default 10); each rollout draws one version from the pool, the "
                          "latest half of the time")
    ppo.add_argument("--augment", action="store_true",
                     help="show the net each position mirrored in its diagonal half of the time "
                          "(the board's symmetry that keeps the mover's corner)")
    show = p.add_argument_group("evaluation and display")
    show.add_argument("--eval-every", type=options.every, default=5, metavar="K",
                      help="evaluate every K updates (default 5; 0: never)")
    show.add_argument("--eval-games", type=game_count, default=200, metavar="G",
                      help="games per evaluation opponent (default 200)")
    show.add_argument("--eval-against", type=options.names, default=("random", "greedy", "reach"),
                      metavar="LIST", help="opponents (three of each) of the evaluations")
    return show


def load_checkpoint(path: Path, net: Any, optimizer: Any) -> dict[str, Any]:
    """The counters of the checkpoint at `path`, its net and optimiser loaded into `net` and
    `optimizer`; RunError (status 2) for anything that is not a whole checkpoint of ours."""
    saved = run_folder.load_checkpoint(path, COUNTERS)
    state = saved["state"]
    if not all(isinstance(name, str) and "/" not in name and name not in ("", ".", "..")
               for name in state["pool"]):
        raise run_folder.damaged(path)
    run_folder.load_state(path, net, saved.get("net"))
    run_folder.load_state(path, optimizer, saved.get("optimizer"))
    return dict(state)


def run(args: argparse.Namespace, out: TextIO, err: TextIO | None,
        on_row: Callable[[dict[str, Any]], None] | None = None) -> int:
    """The PPO command: its exit status, a RunError told in one line. `on_row(row)` sees each
    row of the log as it is written (the place for another log of the run)."""
    folder = Path(args.out)

    def hold() -> int:
        if args.clone is not None and not args.resume:
            run_folder.check_output(folder, False)
            clone_data.check_dataset(args.clone)  # before --out is created
        with run_folder.held(folder, args.resume):
            ppo = PpoRun(args, out, err)
            ppo.on_row = on_row
            return ppo.run()
    return run_folder.guarded(hold, err)


class PpoRun:
    """One PPO run in its folder: the loop and what it logs, step by step."""

    def __init__(self, args: argparse.Namespace, out: TextIO, err: TextIO | None) -> None:
        import torch

        from tavrin_rl.train import ppo
        from tavrin_rl.nets.torch_net import PolicyNet
        self.started = time.process_time()
        torch.set_num_threads(1)  # the machine is shared; one thread also makes runs repeatable
        self.args, self.out = args, out
        self.folder = Path(args.out)
        self.settings = ppo.Settings(games=args.games, epochs=args.epochs,
                                     minibatch=args.minibatch, lr=args.lr, entropy=args.entropy,
                                     opponents=args.opponents, augment=args.augment)
        torch.manual_seed(args.seed)
        self.net = PolicyNet()
        self.optimizer = torch.optim.Adam(self.net.parameters(), lr=self.settings.lr)
        self.state: dict[str, Any] = {
            "update": 0, "games": 0, "steps": 0, "train_cpu_s": 0.0, "clone_batches": 0,
            "clone_done": args.clone is None, "seed": args.seed, "pool": [],
            "clone_pass_start": 0, "total_cpu_s": 0.0}
        self.rows: list[dict[str, Any]] = []
        if args.resume:
            self.resume()
        self.seed = int(self.state["seed"])
        self.total_before = float(self.state["total_cpu_s"])
        self.series = ["train_win_share", *(f"eval_{name}" for name in args.eval_against)]
        self.columns = [*COLUMNS, *self.series[1:]]
        show = args.progress if args.progress is not None else err is not None  # a log: a line every 20 s
        self.budget = 60 * args.cpu_minutes
        self.bar = Progress(int(self.budget), err if show else None, unit="training CPU s",
                            quiet_start=args.progress is None)
        self.games: Any = None  # the rollouts' games, when no pool seat changes between them
        #: Called with each row as it is logged (a place for other logs of the run).
        self.on_row: Callable[[dict[str, Any]], None] | None = None

    def resume(self) -> None:
        checkpoint = self.folder / "checkpoint.pt"
        saved = load_checkpoint(checkpoint, self.net, self.optimizer)
        for group in self.optimizer.param_groups:
            group["lr"] = self.settings.lr
        # a run saved before the whole run's CPU was counted: its training CPU is all we know
        self.state["total_cpu_s"] = float(saved.get("train_cpu_s", 0.0))
        self.state.update(saved)
        if self.args.clone is not None and saved.get("clone_done") is False:
            self.state["clone_done"] = False
            clone_data.check_dataset(self.args.clone)
        self.rows = run_folder.read_log(self.folder, "update", int(self.state["update"]))

    def total_cpu(self) -> float:
        return self.total_before + time.process_time() - self.started

    def save(self, row: dict[str, Any] | None) -> None:
        """The policy, curve, log with `row` appended (None: the last row was changed) and the
        checkpoint, together."""
        from tavrin_rl.nets.format import policy_arrays
        state = self.state
        state["total_cpu_s"] = round(self.total_cpu(), 2)
        if row is not None:
            row["total_cpu_s"] = state["total_cpu_s"]
            self.rows.append(row)
        if self.on_row is not None and self.rows:  # an evaluation added to the last row, too
            self.on_row(self.rows[-1])
        arrays = policy_arrays(self.net.weights(), channels=self.net.channels,
                               update=state["update"], train_cpu_s=state["train_cpu_s"])
        run_folder.save(self.folder, self.rows, self.columns,
                        curve_svg(self.rows, self.series, f"tavrin_rl training, seed {self.seed}"),
                        arrays, {"net": self.net.state_dict(),
                                 "optimizer": self.optimizer.state_dict(), "state": state})

    def evaluation(self) -> dict[str, float]:
        from tavrin_rl import evaluate as evaluation
        from tavrin_rl.nets.policy import Policy
        policy = Policy(self.net.weights(), {})
        return {f"eval_{name}": evaluation.play_games(policy.choose, (name,) * 3,
                                                      self.args.eval_games,
                                                      seed=(self.seed + 1) & MAX_SEED).win_share
                for name in self.args.eval_against}

    def check_finite(self, losses: Sequence[float], where: str) -> None:
        # the policy file stores float16: a weight beyond its range would be saved infinite
        weights_ok = all(bool(p.abs().max() < FLOAT16_MAX) for p in self.net.parameters())
        if weights_ok and all(math.isfinite(x) for x in losses):
            return
        raise RunError(f"the run diverged at {where}: a loss or weight is no longer finite "
                       f"(a smaller --lr may help); "
                       f"{run_folder.kept(self.folder, 'the last good update')}")

    def run(self) -> int:
        from tavrin_rl.train import ppo
        args, state, out = self.args, self.state, self.out
        out.write(f"training in {self.folder}: seed {self.seed}, opponents "
                  f"{', '.join(args.opponents)}, {args.cpu_minutes:g} training CPU minutes in "
                  "all (evaluations not counted)\n")
        try:
            if not state["clone_done"]:
                self.clone()
            while state["train_cpu_s"] < self.budget and (args.updates is None
                                                           or state["update"] < args.updates):
                self.update()
            self.bar.end()
            last = self.rows[-1] if self.rows else {}
            if self.rows and args.eval_every and last.get(self.series[1]) in (None, ""):
                last.update(self.evaluation())  # the figures of the policy the run ends with
                self.save(None)
        except KeyboardInterrupt:
            self.bar.end()
            out.write(run_folder.interrupted(self.folder) + "\n")
            return 130
        except ppo.Diverged as error:
            self.bar.end()
            self.check_finite([math.nan], f"cloning batch {state['clone_batches'] + 1} ({error})"
                              if not state["clone_done"]
                              else f"update {state['update'] + 1} ({error})")
        except OSError as error:  # a full disk, a folder made read-only under the run...
            self.bar.end()
            raise run_folder.write_failed(self.folder, error, "the last complete update") from None
        out.write(f"done: {state['update']} updates, {state['games']} games, {state['steps']} "
                  f"decisions, {state['train_cpu_s'] / 60:.2f} training CPU minutes "
                  f"({self.total_cpu() / 60:.2f} CPU minutes in all, evaluations included)"
                  + evals(last, recent=self.rows) + f"\npolicy: {self.folder / 'policy.npz'}\n")
        return 0

    def clone_pass(self, start: int) -> Iterator[dict[str, Any]]:
        # a pass starts after `start` batches in all, shuffled with seed + start: the seeds of a
        # straight run, so a resumed one reads the same batches
        from tavrin_rl.train import ppo
        return ppo.clone_batches(self.args.clone, (self.seed + start) & MAX_SEED,
                                 self.settings.clone_minibatch, self.settings.win_weight)

    def next_batch(self, batches: Iterator[dict[str, Any]]) -> dict[str, Any] | None:
        try:
            return next(batches, None)
        except (OSError, ValueError) as error:  # a shard damaged since the run began
            raise RunError(f"cannot clone {self.args.clone}: {clone_data.first_line(error)}") from None

    def clone(self) -> None:
        """Behaviour cloning until its budget is spent, saved every CLONE_SAVE_EVERY batches."""
        import numpy as np

        from tavrin_rl.train import ppo
        state, settings = self.state, self.settings
        clone_budget = 60 * self.args.clone_minutes
        start = int(state.get("clone_pass_start", 0))
        batches = self.clone_pass(start)
        for _ in range(int(state["clone_batches"]) - start):  # where a resumed run left off
            if self.next_batch(batches) is None:  # an earlier version's checkpoint: no pass start
                start = int(state["clone_batches"])
                batches = self.clone_pass(start)
                break
        total = [0.0, 0.0, 0]
        fresh = False  # whether `batches` has not yielded yet
        while state["train_cpu_s"] < min(clone_budget, self.budget):
            started = time.process_time()
            batch = self.next_batch(batches)
            if batch is None:
                if fresh:  # checked before the run, so only if the dataset changed since
                    raise RunError(f"cannot clone {self.args.clone}: it holds no placements")
                state["clone_pass_start"] = int(state["clone_batches"])
                batches = self.clone_pass(state["clone_pass_start"])
                fresh = True
                continue
            fresh = False
            flip = None
            if settings.augment:
                flip = np.random.default_rng([self.seed, state["clone_batches"]]).random(
                    len(batch["action"])) < 0.5
            losses = ppo.clone_step(self.net, self.optimizer, batch, settings.value_coef, flip)
            self.check_finite(losses, f"cloning batch {state['clone_batches'] + 1}")
            state["clone_batches"] += 1
            state["steps"] += len(batch["action"])
            state["train_cpu_s"] += time.process_time() - started
            total[0] += losses[0]
            total[1] += losses[1]
            total[2] += 1
            self.bar.update(int(state["train_cpu_s"]),
                            f"cloning: {state['clone_batches']} batches, loss {losses[0]:.3f}")
            if state["clone_batches"] % CLONE_SAVE_EVERY == 0:
                row = {**self.counters(), "phase": "clone",
                       "policy_loss": total[0] / total[2], "value_loss": total[1] / total[2]}
                total = [0.0, 0.0, 0]
                self.save(row)
        state["clone_done"] = True
        row = {**self.counters(), "phase": "clone"}
        if self.args.eval_every:
            row.update(self.evaluation())
        self.save(row)
        self.bar.end()
        self.out.write(f"cloned {state['clone_batches']} batches in "
                       f"{state['train_cpu_s'] / 60:.2f} CPU minutes; " + evals(row) + "\n")

    def counters(self) -> dict[str, Any]:
        state = self.state
        return {"update": state["update"], "games": state["games"], "steps": state["steps"],
                "train_cpu_s": round(state["train_cpu_s"], 2)}

    def update(self) -> None:
        """One rollout and PPO update, logged and saved."""
        import numpy as np

        from tavrin_rl.train import ppo
        args, state, settings = self.args, self.state, self.settings
        update = int(state["update"])
        rng = np.random.default_rng([self.seed, update])
        started = time.process_time()
        if SELF in settings.opponents:
            games = rollout_games(settings, self.pool_seat(rng))
        else:
            self.games = self.games or rollout_games(settings)
            games = self.games
        rollout = ppo.collect(self.net, games, self.seed, update * settings.games, rng,
                              settings.win_weight, settings.augment)
        stats = ppo.ppo_update(self.net, self.optimizer, rollout, settings, rng)
        self.check_finite(list(stats.values()), f"update {update + 1}")
        spent = time.process_time() - started
        state["update"] = update + 1
        state["games"] += settings.games
        state["steps"] += rollout.steps
        state["train_cpu_s"] += spent
        row = {**self.counters(), "phase": "ppo " + "/".join(sorted(set(args.opponents))),
               "steps_per_cpu_s": round(rollout.steps / spent, 1),
               "train_win_share": float(rollout.win_share.mean()),
               **{k: round(v, 5) for k, v in stats.items()}}
        if args.eval_every and (update + 1) % args.eval_every == 0:
            row.update(self.evaluation())
        if SELF in settings.opponents and (update + 1) % args.pool_every == 0:
            self.add_to_pool(update + 1)
        self.save(row)
        self.bar.update(int(state["train_cpu_s"]),
                        f"update {update + 1}, {rollout.steps / spent:,.0f} steps/CPU-s, "
                        f"win share in training {100 * row['train_win_share']:.1f}%"
                        + evals(self.rows[-1], recent=self.rows))

    def pool_seat(self, rng: Any) -> Any:
        """The earlier version of the learner a rollout plays against, as an engine seat that
        draws from its policy."""
        from tavrin_rl.nets.policy import Policy, load_policy
        from tavrin_rl.agents.policy import PolicyAgent
        pool, folder = self.state["pool"], self.folder / "pool"
        if not pool:
            frozen = Policy(self.net.weights(), {})
        else:
            pick = len(pool) - 1 if rng.random() < 0.5 else int(rng.integers(len(pool)))
            try:
                frozen = load_policy(folder / pool[pick])
            except (OSError, ValueError) as error:
                raise RunError(f"cannot read the pool's {folder / pool[pick]}: "
                               f"{getattr(error, 'strerror', None) or error}") from None
        return PolicyAgent.from_policy(frozen, sample=True)

    def add_to_pool(self, update: int) -> None:
        import numpy as np

        from tavrin_rl._atomic import write_file
        from tavrin_rl.nets.format import policy_arrays
        folder = self.folder / "pool"
        folder.mkdir(exist_ok=True)
        name = f"update_{update}.npz"
        arrays = policy_arrays(self.net.weights(), update=update)
        write_file(folder / name,
                   lambda f: np.savez_compressed(f, **arrays))  # type: ignore[arg-type]
        self.state["pool"] = [*self.state["pool"], name]


def rollout_games(settings: Any, pool_seat: Any = None) -> Any:
    """The games of the rollouts: learner in one seat (turned per game), the opponents in C++,
    `pool_seat` (a net seat) where the opponents name the pool."""
    from tavrin_rl.vector import VectorGames
    return VectorGames(settings.games, threads=1, seed=0, observation="compact", mask=False,
                       reward_mode="win_share", autoreset=False,
                       seats=("learner", *(pool_seat if name == SELF else name
                                           for name in settings.opponents)),
                       rotate_seats=True)


def evals(row: dict[str, Any], recent: list[dict[str, Any]] | None = None) -> str:
    """The latest evaluation's win shares, from `row` or the latest row that has them."""
    for r in [row, *reversed(recent or [])]:
        found = {k[5:]: float(v) for k, v in r.items() if k.startswith("eval_") and v != ""}
        if found:
            return "; eval " + ", ".join(f"{k} {100 * v:.1f}%" for k, v in found.items())
    return ""
