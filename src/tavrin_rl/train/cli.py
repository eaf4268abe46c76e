"""`python -m tavrin_rl train`: reads the arguments and starts a recipe. PPO (behaviour cloning
from a dataset, then PPO against engine seats) is `ppo_run`, expert iteration (`--expert`) is
`expert`; both keep their run in --out as `run_folder` says. `--evaluate PATH` plays a saved
policy instead (numpy only, no torch).

Everything a run writes goes to --out: `checkpoint.pt` (nets, optimiser, counters), `log.csv`
(one row per update or round), `curve.svg` (win shares against training CPU minutes) and
`policy.npz` (the latest policy, float16, for `make_agent("policy", path=...)`), replaced
together after every update or round.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Sequence, TextIO

from tavrin_rl._command import add_seed, run_guarded
from tavrin_rl._extras import install_hint
from tavrin_rl.train import expert, ppo_run, tensorboard
# The names this module held before the recipes moved out, for the code that imports them.
from tavrin_rl.train.clone_data import check_dataset  # noqa: F401
from tavrin_rl.train.options import ENGINE_OPPONENTS, SELF  # noqa: F401
from tavrin_rl.train.ppo_run import CLONE_SAVE_EVERY, COLUMNS, load_checkpoint  # noqa: F401
from tavrin_rl.train.run_folder import RUN_FILES, RunError, check_output, tell  # noqa: F401


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m tavrin_rl train",
        description="Train a policy net (behaviour cloning, then PPO against the engine's "
                    "agents), or evaluate a saved one with --evaluate.")
    p.add_argument("--out", metavar="DIR", help="folder of the run's checkpoint, log, curve and "
                   "policy (required for training)")
    add_seed(p, default=0, help="seed of the whole run, 0 to 2**64 - 1 (default 0)")
    p.add_argument("--resume", action="store_true", help="continue the run in --out")
    show = ppo_run.add_arguments(p)
    show.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                      help="progress on standard error: a bar on a terminal, elsewhere a line every "
                           "20 s (default: on)")
    show.add_argument("--evaluate", metavar="POLICY", default=None,
                      help="play the policy file against --opponents for --eval-games games, "
                           "print its win share with a 95%% Wilson interval, and exit")
    show.add_argument("--sample", action="store_true",
                      help="with --evaluate: draw placements from the policy instead of taking "
                           "the most likely")
    expert.add_arguments(p)
    tensorboard.add_option(p)
    return p


def run_evaluation(args: argparse.Namespace, out: TextIO) -> int:
    from tavrin_rl import evaluate as evaluation
    from tavrin_rl.nets.policy import Policy
    try:
        policy = Policy.load(args.evaluate)
    except OSError as error:
        tell(sys.stderr, f"cannot read {args.evaluate}: {error.strerror or error}")
        return 2
    except ValueError as error:
        tell(sys.stderr, str(error))
        return 2
    started = time.process_time()
    try:
        result = evaluation.evaluate(policy, args.opponents, args.eval_games, args.seed,
                                     args.sample)
    except KeyboardInterrupt:
        tell(sys.stderr, "interrupted: no result")
        return 130
    seconds = time.process_time() - started
    out.write(f"{args.evaluate}: {result}\n")
    out.write(f"{seconds:.1f} CPU seconds\n")
    return 0


def run_training(args: argparse.Namespace, out: TextIO, err: TextIO | None) -> int:
    """The PPO recipe (see `ppo_run.run`)."""
    return ppo_run.run(args, out, err)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    err = sys.stderr
    if args.evaluate is not None:
        return run_guarded(lambda out: run_evaluation(args, out), err)
    if args.out is None:
        parser.error("--out is required for training")
    settings = expert.check_arguments(parser, args) if args.expert is not None else None
    try:
        import torch  # noqa: F401
    except ImportError:
        tell(sys.stderr, f"training needs torch (the 'train' extra): {install_hint('train')}")
        return 2
    board: tensorboard.TensorBoardLog | None = None
    try:
        board = tensorboard.open_log(args.tensorboard, "update" if settings is None else "round")
    except (ModuleNotFoundError, OSError) as error:
        tell(sys.stderr, str(error))
        return 2
    on_row = None if board is None else board.write
    try:
        if settings is not None:
            return run_guarded(lambda out: expert.run(args, settings, out, err, on_row), err)
        return run_guarded(lambda out: ppo_run.run(args, out, err, on_row), err)
    finally:
        if board is not None:
            board.close()
