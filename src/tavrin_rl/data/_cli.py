"""The dataset options of `python -m tavrin_rl` (--out, --workers, --ray, --append, --overwrite).

Only the standard library at import: numpy, pyarrow and ray load when a dataset is written.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import TextIO

from tavrin_rl._command import add_ray, add_workers, positive_int, run_seed
from tavrin_rl.catalogue import NUM_SEATS

# Options that mean something only with --out, as argparse names them.
DATASET_ONLY = ("workers", "ray", "append", "overwrite", "chunk_size", "visits")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "datasets", "write the games to a Parquet dataset instead of printing them "
        "(needs tavrin_rl[data]; --ray needs tavrin_rl[ray])")
    group.add_argument("--out", metavar="DIR",
                       help="dataset folder: one row per placement (game, ply, agent, action, "
                            "state before it), one per game, a manifest.json")
    add_workers(group)
    add_ray(group, help="play the chunks as Ray tasks on the cluster at ADDRESS, or on a "
                        "local Ray instance started for the run when no address is given")
    group.add_argument("--chunk-size", type=positive_int, metavar="N",
                       help="games per shard (default: a 32nd of the games, 16 to 1000)")
    group.add_argument("--visits", action="store_true", default=None,
                       help="record the root visits of each searched placement (mcts seats; "
                            "dataset format version 3)")
    exclusive = group.add_mutually_exclusive_group()
    exclusive.add_argument("--append", action="store_true",
                           help="add the games to the dataset already in DIR")
    exclusive.add_argument("--overwrite", action="store_true",
                           help="replace the dataset already in DIR")


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Refuses dataset options without --out, and options that mean nothing with it."""
    if args.out is None:
        given = [name for name in DATASET_ONLY if getattr(args, name) not in (None, False)]
        if given:
            parser.error(f"--{given[0].replace('_', '-')} needs --out DIR")
        return
    for option in ("watch", "html", "delay"):
        if getattr(args, option, None) not in (None, False):
            parser.error(f"--{option} shows games to a person; it cannot be combined with --out")
    if "human" in args.agents:
        parser.error("--out plays built-in agents only, not human")
    # the writer's own rule, asked here: a lineup it refuses must not leave a folder behind
    from tavrin_rl.agents.seats import is_engine_seat
    for name in args.agents:
        try:
            playable = is_engine_seat(name)
        except ValueError as error:
            parser.error(f"--out: {error}")
        if not playable:
            parser.error(f"--out: datasets are played by the engine, which cannot play {name!r}")
    if args.visits and not any(name.partition(":")[0] == "mcts" for name in args.agents):
        parser.error("--visits records searches: it needs an mcts seat")


def run_dataset(args: argparse.Namespace, argv: Sequence[str], prog: str, out: TextIO,
                err: TextIO | None) -> int:
    """Writes the dataset that the command line asks for; returns the exit status."""
    if err is None:  # standard error closed: errors still decide the exit status
        import io
        err = io.StringIO()
    try:
        from tavrin_rl.data import _write
    except ModuleNotFoundError as error:
        err.write(f"{prog}: error: --out needs numpy and pyarrow: "
                  f"pip install 'tavrin_rl[data]' ({error})\n")
        return 2
    try:
        from pathlib import Path
        _write.check_output(Path(args.out), args.append, args.overwrite, args.visits)
    except _write.DatasetError as error:
        err.write(f"{prog}: error: {error}\n")
        return 2
    seed = run_seed(args.seed)
    agents: tuple[str, ...] = tuple(args.agents)
    lineup = ", ".join(f"player_{seat} {name}" for seat, name in enumerate(agents))
    games = "1 game" if args.games == 1 else f"{args.games} games"
    out.write(f"tavrin_rl self-play dataset, seed {seed}, {games}: {lineup} -> {args.out}\n")
    out.flush()
    show_progress = args.progress if args.progress is not None else err.isatty()
    try:
        summary = _write.write_dataset(
            args.out, args.games, agents, seed, workers=args.workers,
            ray=args.ray is not None, ray_address=args.ray or None, append=args.append,
            overwrite=args.overwrite, chunk_size=args.chunk_size, command=[prog, *argv],
            progress=err if show_progress else None, visits=args.visits)
    except (_write.DatasetError, ModuleNotFoundError) as error:
        err.write(f"{prog}: error: {error}\n")
        return 2
    except KeyboardInterrupt:
        err.write(f"\n{prog}: interrupted: {_kept(args.out)}\n")
        return 130
    except Exception as error:  # a chunk failed on every attempt, a disk filled up, ...
        err.write(f"{prog}: error: {type(error).__name__}: {error}\n{_kept(args.out)}\n")
        return 1
    _write.print_summary(summary, out)
    return 0


def _kept(out: str) -> str:
    """What a stopped run left in `out`, as its manifest says (when it could write one)."""
    from pathlib import Path

    from tavrin_rl.data import _store
    manifest = _store.read_manifest(Path(out))
    if manifest is None or not manifest.get("runs"):
        return f"{out} holds no dataset: the run stopped before its manifest was written"
    return (f"{out} keeps {manifest.get('games', 0)} games in {len(manifest.get('shards', []))} "
            f"complete shards; its manifest marks the run {manifest['runs'][-1].get('status')}")
