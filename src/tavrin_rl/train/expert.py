"""Expert iteration: `python -m tavrin_rl train --expert ROUNDS`. Each round

1. plays games of the search with the kept net as its guide (the plain search while there is no
   kept net: a first round without --expert-init), written as a dataset with the root's visit
   counts, on local workers or Ray (the same games either way: each is seeded by its number);
2. trains the learning net (which goes on from round to round, kept or not) on the visit
   distributions (cross-entropy to the normalised counts of the searched placements) and the
   outcomes (the value head: 1/2 win share + 1/2 rank, as the search's playouts value a game),
   each position mirrored in its diagonal half of the time;
3. plays the learning net against the kept one, two seats each, no search, on fresh seeds;
4. keeps the learning net (it becomes the search's guide) when the 95% Wilson interval of its win
   share there lies above 50%.

Everything goes to --out (see `run_folder`): `checkpoint.pt` (the kept and the learning net and
the round counter: about 1 MB), `log.csv` (one row per round), `curve.svg` (the match's win share
and, with --expert-eval-games, both nets' against three reach, against the CPU minutes of
generation and training) and `policy.npz` (the kept net, a policy file). A new run writes them
for round 0 before the first round, so that a run stopped at any point can be resumed. A round's
dataset is deleted once trained on (`--keep-data` keeps it). An interrupted run resumes from its
last completed round (`--resume`) and gives what a straight run gives: a round depends only on the
kept net, the run's seed and the round's number. The mechanics of a round are `expert_round`.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any, TextIO

from tavrin_rl._command import add_ray, add_workers
from tavrin_rl.train import options, run_folder
# The names this module held before a round's mechanics moved out.
from tavrin_rl.train.expert_round import (OPENING_DRAWS, head_to_head, init_weights,  # noqa: F401
                                          round_seed, search_agent, train_round, visit_targets)
from tavrin_rl.train.run_folder import RunError

COLUMNS = ("round", "games", "playouts", "guided", "samples", "searched", "gen_cpu_s", "train_cpu_s",
           "cpu_s", "policy_loss", "value_loss", "match_games", "match_share", "match_low",
           "match_high", "kept", "match_cpu_s")
#: The checkpoint's counters and their types, checked before a resume trusts them.
COUNTERS: dict[str, Any] = {"round": int, "cpu_s": (int, float), "have_net": bool, "seed": int}


@dataclass(frozen=True)
class Settings:
    rounds: int = 10
    games: int = 200           # games of search play per round
    playouts: int = 120        # the search's budget
    epochs: int = 2            # passes over a round's placements
    minibatch: int = 256
    lr: float = 1e-3
    value_coef: float = 0.5
    match_games: int = 400     # games of the keeping match (a multiple of 4 seats each way)
    eval_games: int = 0        # games against three reach per round (0: none)
    channels: int = 16
    workers: int = 1           # local processes generating (or the most Ray tasks at once)
    ray: str | None = None     # a Ray address ("" : a local instance)
    keep_data: bool = False
    init: str | None = None    # the nets' start: a policy ("baseline" or policy:PATH); None: random
    guide_playouts: int = 0    # the guided search's budget (0: `playouts`)


def whole(text: str) -> int:
    """A count of the expert options: their lower bounds are checked with the others'
    (`check_arguments`), so that each says what it must be."""
    return options.bounded(text, 10**9, minimum=0)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "expert iteration", "--expert ROUNDS: rounds of guided search play, training on its "
        "visit counts and a keeping match (see tavrin_rl.train.expert)")
    group.add_argument("--expert", type=whole, metavar="ROUNDS", default=None,
                       help="run expert iteration for ROUNDS rounds in all (counted across resumes)")
    defaults = Settings()
    group.add_argument("--expert-games", type=whole, default=defaults.games, metavar="N",
                       help=f"games of search play per round (default {defaults.games})")
    group.add_argument("--expert-playouts", type=whole, default=defaults.playouts, metavar="N",
                       help=f"the search's playouts per decision (default {defaults.playouts})")
    group.add_argument("--expert-epochs", type=whole, default=defaults.epochs, metavar="N",
                       help=f"passes over a round's placements (default {defaults.epochs})")
    group.add_argument("--match-games", type=whole, default=defaults.match_games, metavar="N",
                       help=f"games of the new net against the kept one per round (default "
                            f"{defaults.match_games})")
    group.add_argument("--expert-eval-games", type=whole, default=0, metavar="N",
                       help="games of the kept net against three reach after each round (default 0)")
    add_workers(group, "--expert-workers", default=1,
                help="local processes playing the games (default 1)")
    add_ray(group, "--expert-ray", help="play the games as Ray tasks (on the cluster at ADDRESS, "
                                        "or a local instance), the same games as on local workers")
    group.add_argument("--keep-data", action="store_true", help="keep each round's dataset")
    group.add_argument("--expert-init", metavar="NET", default=None,
                       help="start both nets from a policy (baseline or policy:PATH; default: "
                            "a random net, the first round's search unguided)")
    group.add_argument("--guided-playouts", type=whole, default=0, metavar="N",
                       help="the search's playouts once a net guides it (default: --expert-playouts)")


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Settings:
    """The expert settings of the command line, refused in the parser when out of range."""
    for name, low in (("expert", 1), ("expert_games", 1), ("expert_playouts", 1),
                      ("expert_epochs", 1), ("match_games", 4), ("expert_eval_games", 0)):
        if getattr(args, name) < low:
            parser.error(f"--{name.replace('_', '-')} must be at least {low}")
    from tavrin_rl._limits import MAX_PLAYOUTS
    if args.expert_playouts > MAX_PLAYOUTS:
        parser.error(f"--expert-playouts must be at most {MAX_PLAYOUTS}")
    if args.clone is not None:
        parser.error("--expert learns from its own search: it takes no --clone (see --expert-init)")
    if args.expert_ray is not None:
        import importlib.util
        if importlib.util.find_spec("ray") is None:
            parser.error("--expert-ray needs Ray: pip install 'tavrin_rl[ray]'")
    if not 0 <= args.guided_playouts <= MAX_PLAYOUTS:
        parser.error(f"--guided-playouts must be from 0 to {MAX_PLAYOUTS}")
    if args.expert_init is not None:
        from tavrin_rl.agents.registry import check_agent
        try:
            check_agent(args.expert_init if args.expert_init.startswith("policy:") or
                        args.expert_init == "baseline" else "policy:" + args.expert_init)
        except ValueError as error:
            parser.error(f"--expert-init: {error}")
    return Settings(rounds=args.expert, games=args.expert_games, playouts=args.expert_playouts,
                    epochs=args.expert_epochs, match_games=args.match_games,
                    eval_games=args.expert_eval_games, workers=args.expert_workers, ray=args.expert_ray,
                    keep_data=args.keep_data, lr=args.lr, init=args.expert_init,
                    guide_playouts=args.guided_playouts)


def run(args: argparse.Namespace, settings: Settings, out: TextIO, err: TextIO | None,
        on_row: Callable[[dict[str, Any]], None] | None = None) -> int:
    """The expert-iteration command: its exit status, a RunError told in one line. `on_row(row)`
    sees each row of the log as it is written (the place for another log of the run)."""
    def hold() -> int:
        with run_folder.held(Path(args.out), args.resume):
            expert = ExpertRun(args, settings, out)
            expert.on_row = on_row
            return expert.run()
    return run_folder.guarded(hold, err)


class ExpertRun:
    """One expert-iteration run in its folder: the rounds and what they log."""

    def __init__(self, args: argparse.Namespace, settings: Settings, out: TextIO) -> None:
        import torch

        from tavrin_rl.nets.torch_net import PolicyNet
        torch.set_num_threads(1)  # one thread: the machine is shared, and a run repeats exactly
        self.settings, self.out = settings, out
        self.folder = Path(args.out)
        torch.manual_seed(args.seed)
        self.net = PolicyNet(channels=settings.channels)  # the kept net
        if settings.init is not None:
            self.net.load_state_dict(init_weights(settings.init))
        self.learner = PolicyNet(channels=settings.channels)  # the learning net
        self.learner.load_state_dict(self.net.state_dict())
        self.state: dict[str, Any] = {"round": 0, "cpu_s": 0.0, "have_net": settings.init is not None,
                                      "seed": args.seed, "settings": asdict(settings),
                                      "mode": "expert"}
        self.rows: list[dict[str, Any]] = []
        if args.resume:
            self.resume()
        self.seed = int(self.state["seed"])
        evals = ["eval_reach", "learner_eval_reach"] if settings.eval_games else []
        self.columns = [*COLUMNS, *evals]
        self.series = ["match_share", *evals]
        #: Called with each row as it is logged (a place for other logs of the run).
        self.on_row: Callable[[dict[str, Any]], None] | None = None

    def resume(self) -> None:
        checkpoint = self.folder / "checkpoint.pt"
        saved = run_folder.load_checkpoint(checkpoint, {"mode": str})
        if saved["state"]["mode"] != "expert":
            raise RunError(f"{checkpoint} is not an expert-iteration run", 2)
        run_folder.check_state(checkpoint, saved["state"], COUNTERS)  # now that it is ours
        run_folder.load_state(checkpoint, self.net, saved.get("net"))
        run_folder.load_state(checkpoint, self.learner, saved.get("learner"))
        self.state.update(saved["state"])
        self.rows = run_folder.read_log(self.folder, "round", int(self.state["round"]))

    def save(self, row: dict[str, Any] | None) -> None:
        """The round's files, together: a round counts once they are written, and an
        interruption, a kill or a full disk leaves the previous round's files whole."""
        from tavrin_rl.nets.format import policy_arrays
        from tavrin_rl.train.curve import curve_svg
        if row is not None:
            self.rows.append(row)
            if self.on_row is not None:
                self.on_row(row)
        round_ = self.state["round"]
        recipe = ("expert iteration" if round_ or self.settings.init is None
                  else f"expert iteration's start: {self.settings.init}")
        minutes = [{**r, "train_cpu_s": r["cpu_s"]} for r in self.rows]
        run_folder.save(self.folder, self.rows, self.columns,
                        curve_svg(minutes, self.series,
                                  f"tavrin_rl expert iteration, seed {self.seed}"),
                        policy_arrays(self.net.weights(), channels=self.net.channels,
                                      round=round_, recipe=recipe),
                        {"net": self.net.state_dict(), "learner": self.learner.state_dict(),
                         "state": self.state})

    def run(self) -> int:
        from tavrin_rl._command import is_terminal
        from tavrin_rl._progress import Progress
        settings, state, out = self.settings, self.state, self.out
        out.write(f"expert iteration in {self.folder}: seed {self.seed}, rounds "
                  f"{state['round'] + 1} to {settings.rounds}, {settings.games} games of "
                  f"{settings.playouts} playouts each\n")
        out.flush()
        # The round lines are the log; on a terminal a bar below them tells the rounds left.
        first = int(state["round"])
        progress = Progress(settings.rounds - first, out if is_terminal(out) else None,
                            unit="rounds")
        try:
            if not (self.folder / "checkpoint.pt").exists():
                self.save(None)  # round 0: a run stopped in its first round resumes from here
            progress.update(0)
            while state["round"] < settings.rounds:
                line = self.play_round()
                progress.end()
                out.write(line)
                out.flush()
                progress.update(int(state["round"]) - first, force=True)
        except KeyboardInterrupt:
            progress.end()
            out.write(run_folder.interrupted(self.folder) + "\n")
            return 130
        except OSError as error:  # a full disk, a folder made read-only under the run...
            progress.end()
            raise run_folder.write_failed(self.folder, error, "the last complete round") from None
        out.write(f"done: {state['round']} rounds, {float(state['cpu_s']) / 3600:.3f} CPU hours "
                  f"of generation and training\npolicy: {self.folder / 'policy.npz'}\n")
        return 0

    def play_round(self) -> str:
        """One round: search play, training, the keeping match, logged and saved; returns the
        round's line."""
        from tavrin_rl import data
        from tavrin_rl import evaluate as evaluation
        from tavrin_rl._summary import wilson_interval
        from tavrin_rl.nets.policy import Policy
        from tavrin_rl.train.expert_round import cpu_s
        settings, state, seed = self.settings, self.state, self.seed
        round_ = int(state["round"]) + 1
        data_path = self.folder / f"round_{round_}"
        started = cpu_s()
        guide = self.folder / "policy.npz" if state["have_net"] else None
        agent = search_agent(settings.guide_playouts or settings.playouts, guide)
        try:
            summary = data.write_dataset(
                data_path, settings.games, (agent,) * 4, round_seed(seed, round_, 0),
                workers=settings.workers, ray=settings.ray is not None,
                ray_address=settings.ray or None, overwrite=True, visits=True)
        except data.DatasetError as error:
            raise RunError(f"cannot write round {round_}'s games: {error}") from None
        gen = cpu_s() - started
        started = cpu_s()
        losses = train_round(self.learner, data_path, settings, round_seed(seed, round_, 1))
        trained = cpu_s() - started
        started = cpu_s()
        new, old = Policy(self.learner.weights(), {}), Policy(self.net.weights(), {})
        share, games = head_to_head(new, old, settings.match_games, round_seed(seed, round_, 2))
        low, high = wilson_interval(share, games)
        kept = low > 0.5
        if kept:
            self.net.load_state_dict(self.learner.state_dict())
            state["have_net"] = True
        matched = cpu_s() - started
        state["round"] = round_
        state["cpu_s"] = float(state["cpu_s"]) + gen + trained
        searched = int(data.open(data_path, observation=None).plies(["visits"]).column(
            "visits").is_valid().to_numpy(zero_copy_only=False).sum())
        row = {"round": round_, "games": settings.games, "playouts": int(agent.split(":")[1]),
               "guided": int("guide=" in agent),
               "samples": summary.plies, "searched": searched, "gen_cpu_s": round(gen, 2),
               "train_cpu_s": round(trained, 2), "cpu_s": round(state["cpu_s"], 2),
               "policy_loss": round(losses["policy_loss"], 5),
               "value_loss": round(losses["value_loss"], 5), "match_games": games,
               "match_share": round(share / games, 4), "match_low": round(low, 4),
               "match_high": round(high, 4), "kept": int(kept), "match_cpu_s": round(matched, 2)}
        if settings.eval_games:  # both nets on the same games
            for column, which in (("eval_reach", self.net), ("learner_eval_reach", self.learner)):
                row[column] = round(evaluation.evaluate(
                    Policy(which.weights(), {}), ("reach",) * 3, settings.eval_games,
                    seed=round_seed(seed, round_, 3)).win_share, 4)
        self.save(row)
        if not settings.keep_data:
            run_folder.remove(data_path)
        return (f"round {round_}: {summary.plies} placements ({searched} searched) in "
                f"{gen:.1f} CPU s, trained in {trained:.1f} CPU s (policy loss "
                f"{losses['policy_loss']:.3f}); new net vs kept "
                f"{100 * share / games:.1f}% ({100 * low:.1f}%-{100 * high:.1f}%): "
                f"{'kept' if kept else 'dropped'}\n")
