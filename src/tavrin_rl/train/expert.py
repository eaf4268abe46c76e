"""Expert iteration: `python -m tavrin_rl train --expert ROUNDS`. Each round

1. plays games of the search with the current net as its guide (the plain search in the first
   round, or while the engine's search takes no guide), written as a dataset with the root's
   visit counts, on local workers or Ray (the same games either way: each is seeded by its number);
2. trains the learning net (which goes on from round to round, kept or not) on the visit distributions (cross-entropy to the normalised counts of
   the searched placements) and the outcomes (the value head: 1/2 win share + 1/2 rank, as the
   search's playouts value a game), each position mirrored in its diagonal half of the time;
3. plays the learning net against the kept one, two seats each, no search, on fresh seeds;
4. keeps the learning net (it becomes the search's guide) when the 95% Wilson interval of its win
   share there lies above 50%.

Everything goes to --out: `checkpoint.pt` (the kept and the learning net and the round counter: about 1 MB),
`log.csv` (one row per round), `curve.svg` (the match's win share and, with --expert-eval-games,
both nets' against three reach, against the CPU minutes of generation and training) and `policy.npz` (the kept net, a policy file). A round's
dataset is deleted once trained on (`--keep-data` keeps it). An interrupted run resumes from its
last completed round (`--resume`) and gives what a straight run gives: a round depends only on the
kept net, the run's seed and the round's number.
"""

from __future__ import annotations

import argparse
import csv
import io
import os
import resource
import shutil
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any, TextIO

import numpy as np

from tavrin_rl.catalogue import NUM_ACTIONS
from tavrin_rl.symmetry import mirror_actions

COLUMNS = ("round", "games", "playouts", "guided", "samples", "searched", "gen_cpu_s", "train_cpu_s",
           "cpu_s", "policy_loss", "value_loss", "match_games", "match_share", "match_low",
           "match_high", "kept", "match_cpu_s")


# Placements of a keeping match drawn from the policies (the first of every seat) before the
# nets play their most likely ones.
OPENING_DRAWS = 4


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


def add_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "expert iteration", "--expert ROUNDS: rounds of guided search play, training on its "
        "visit counts and a keeping match (see tavrin_rl.train.expert)")
    group.add_argument("--expert", type=int, metavar="ROUNDS", default=None,
                       help="run expert iteration for ROUNDS rounds in all (counted across resumes)")
    defaults = Settings()
    group.add_argument("--expert-games", type=int, default=defaults.games, metavar="N",
                       help=f"games of search play per round (default {defaults.games})")
    group.add_argument("--expert-playouts", type=int, default=defaults.playouts, metavar="N",
                       help=f"the search's playouts per decision (default {defaults.playouts})")
    group.add_argument("--expert-epochs", type=int, default=defaults.epochs, metavar="N",
                       help=f"passes over a round's placements (default {defaults.epochs})")
    group.add_argument("--match-games", type=int, default=defaults.match_games, metavar="N",
                       help=f"games of the new net against the kept one per round (default "
                            f"{defaults.match_games})")
    group.add_argument("--expert-eval-games", type=int, default=0, metavar="N",
                       help="games of the kept net against three reach after each round (default 0)")
    group.add_argument("--expert-workers", type=int, default=1, metavar="K",
                       help="local processes playing the games (default 1)")
    group.add_argument("--expert-ray", nargs="?", const="", default=None, metavar="ADDRESS",
                       help="play the games as Ray tasks (on the cluster at ADDRESS, or a local "
                            "instance), the same games as on local workers")
    group.add_argument("--keep-data", action="store_true", help="keep each round's dataset")
    group.add_argument("--expert-init", metavar="NET", default=None,
                       help="start both nets from a policy (baseline or policy:PATH; default: "
                            "a random net, the first round's search unguided)")
    group.add_argument("--guided-playouts", type=int, default=0, metavar="N",
                       help="the search's playouts once a net guides it (default: --expert-playouts)")


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Settings:
    """The expert settings of the command line, refused in the parser when out of range."""
    for name, low in (("expert", 1), ("expert_games", 1), ("expert_playouts", 1),
                      ("expert_epochs", 1), ("match_games", 4), ("expert_eval_games", 0),
                      ("expert_workers", 1)):
        if getattr(args, name) < low:
            parser.error(f"--{name.replace('_', '-')} must be at least {low}")
    if args.expert_playouts > 20_000:
        parser.error("--expert-playouts must be at most 20000")
    if args.clone is not None:
        parser.error("--expert learns from its own search: it takes no --clone (see --expert-init)")
    if args.expert_ray is not None:
        import importlib.util
        if importlib.util.find_spec("ray") is None:
            parser.error("--expert-ray needs Ray: pip install 'tavrin_rl[ray]'")
    if not 0 <= args.guided_playouts <= 20_000:
        parser.error("--guided-playouts must be from 0 to 20000")
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


def init_weights(init: str) -> dict[str, Any]:
    """A policy file's arrays as a float32 state dict."""
    import torch

    from tavrin_rl.agents.net import load_policy
    from tavrin_rl.agents.seats import net_path
    name = init if init == "baseline" or init.startswith("policy:") else "policy:" + init
    path = net_path(name)
    load_policy(path)  # checked before its arrays are trusted
    with np.load(path, allow_pickle=False) as arrays:
        return {k: torch.from_numpy(np.asarray(arrays[k], np.float32)) for k in arrays.files
                if k != "format"}


def search_agent(playouts: int, policy: Path | None) -> str:
    """The agent string of the round's search: guided by `policy` when there is one and the
    engine's search takes a guide."""
    plain = f"mcts:{playouts}"
    if policy is None:
        return plain
    guided = f"{plain}:reach:guide=policy:{policy}"
    from tavrin_rl.agents.registry import parse_agent
    try:
        parse_agent(guided)
    except ValueError:
        return plain  # this engine's search takes no guide yet
    return guided


def _cpu_s() -> float:
    """CPU seconds of this process and its finished children."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def round_seed(seed: int, round_: int, part: int) -> int:
    """The seed of part `part` (0 generation, 1 training, 2 match) of round `round_`."""
    return int(np.random.SeedSequence([seed, round_, part]).generate_state(1, np.uint64)[0] >> 1)


def visit_targets(batch: dict[str, np.ndarray]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """For the legal entries of `clone_inputs(batch)` (row by row, ascending): each searched
    row's entry positions and their targets (the visit share), and which rows were searched."""
    mask = batch["action_mask"]
    rows, legal = np.nonzero(mask)
    key = rows.astype(np.int64) * NUM_ACTIONS + legal
    offsets, actions, counts = batch["visit_offsets"], batch["visit_actions"], batch["visit_counts"]
    owner = np.repeat(np.arange(len(mask)), np.diff(offsets))
    entries = np.searchsorted(key, owner * NUM_ACTIONS + actions)
    if entries.size and (entries.max() >= len(key) or
                         np.any(key[entries] != owner * NUM_ACTIONS + actions)):
        raise ValueError("a visited placement is not legal in its position")
    totals = np.bincount(owner, weights=counts, minlength=len(mask))
    share = counts / np.maximum(totals[owner], 1)
    return entries, share.astype(np.float32), batch["searched"]


def train_round(net: Any, path: Path, settings: Settings, seed: int) -> dict[str, float]:
    """Trains `net` on the round's dataset: the searched rows' visit shares and every row's
    outcome. Returns the mean losses."""
    import torch

    from tavrin_rl.train.net import segment_log_softmax
    from tavrin_rl.train.ppo import clone_batches, clone_inputs
    torch.manual_seed(seed)
    optimizer = torch.optim.Adam(net.parameters(), lr=settings.lr)
    rng = np.random.default_rng(seed)
    sums = {"policy_loss": 0.0, "value_loss": 0.0}
    steps = 0
    for epoch in range(settings.epochs):
        for batch in clone_batches(str(path), seed + epoch, settings.minibatch, 0.5, visits=True):
            flip = rng.random(len(batch["action"])) < 0.5
            board, extras, segment, legal, _ = clone_inputs(batch, flip)
            entries, share, searched = visit_targets(batch)
            seg_t = torch.from_numpy(segment)
            logits, value = net(torch.from_numpy(board), torch.from_numpy(extras), seg_t,
                                torch.from_numpy(legal))
            logp, _ = segment_log_softmax(logits, seg_t, len(batch["action"]))
            count = max(int(searched.sum()), 1)
            policy_loss = -(logp[torch.from_numpy(entries)] * torch.from_numpy(share)).sum() / count
            value_loss = ((value - torch.from_numpy(batch["target"].astype(np.float32))) ** 2).mean()
            loss = policy_loss + settings.value_coef * value_loss
            optimizer.zero_grad()
            loss.backward()
            torch.nn.utils.clip_grad_norm_(net.parameters(), 0.5)
            optimizer.step()
            sums["policy_loss"] += float(policy_loss.detach())
            sums["value_loss"] += float(value_loss.detach())
            steps += 1
    return {name: total / max(steps, 1) for name, total in sums.items()}


def head_to_head(new: Any, old: Any, games: int, seed: int) -> tuple[float, int]:
    """Plays `new` (two seats) against `old` (the other two), no search, the seats turned per
    game so that each net sits in every seat equally; returns new's win share summed over the
    games (ties split) and the games played. Each net plays its most likely placement, except
    for the first OPENING_DRAWS placements of the game, drawn from its policy: two nets that
    draw nothing would play the same game over and over."""
    from tavrin_rl.agents.evaluate import outcome
    from tavrin_rl.agents.net import extras_of, legal_entries
    from tavrin_rl.vector import VectorGames
    rng = np.random.default_rng(seed)
    v = VectorGames(games, threads=1, seed=seed, observation="compact", mask=False,
                    reward_mode="win_share", autoreset=False,
                    seats=("learner", "external", "learner", "external"), rotate_seats=True)
    placed = 0
    while True:
        active = np.flatnonzero(~v.terminated)
        if active.size == 0:
            break
        assert v.observation is not None and v.pieces is not None and v.done is not None
        seat = v.lineup[active, v.current_player[active]]
        draws = rng.random(games) if placed < OPENING_DRAWS else None
        placed += 1
        step = np.zeros(games, np.int32)
        offsets, indexes = v.legal_grid_indexes_csr()
        for player, group in ((new, active[seat == 0]), (old, active[seat != 0])):
            if group.size:
                segment, legal = legal_entries(offsets, indexes, group)
                step[group] = player.choose(v.observation[group],
                                            extras_of(v.pieces[group], v.done[group]), segment, legal,
                                            None if draws is None else draws[group])
        v.step(step, games=active)
    share = 0.0
    for i in range(games):
        final = outcome(v.game(i), "win_share")
        share += sum(final[a] for a in range(4) if v.lineup[i, a] == 0)
    return share, games


def run(args: argparse.Namespace, settings: Settings, out: TextIO, err: TextIO | None) -> int:
    import torch

    from tavrin_rl import data
    from tavrin_rl._summary import wilson_interval
    from tavrin_rl.agents.evaluate import evaluate
    from tavrin_rl._command import is_terminal
    from tavrin_rl._progress import Progress
    from tavrin_rl.agents.net import Policy, policy_arrays, save_policy
    from tavrin_rl.train.curve import curve_svg
    from tavrin_rl.train.files import write_files
    from tavrin_rl.train.net import PolicyNet

    torch.set_num_threads(1)  # one thread: the machine is shared, and a run repeats exactly
    folder = Path(args.out)
    checkpoint_path, log_path = folder / "checkpoint.pt", folder / "log.csv"
    seed = args.seed
    torch.manual_seed(seed)
    net = PolicyNet(channels=settings.channels)
    if settings.init is not None:
        net.load_state_dict(init_weights(settings.init))
    candidate = PolicyNet(channels=settings.channels)  # the learning net
    candidate.load_state_dict(net.state_dict())
    state: dict[str, Any] = {"round": 0, "cpu_s": 0.0, "have_net": settings.init is not None,
                             "seed": seed,
                             "settings": asdict(settings)}
    rows: list[dict[str, Any]] = []
    if args.resume:
        if not checkpoint_path.exists():
            _tell(err, f"nothing to resume: no {checkpoint_path}")
            return 2
        try:  # data only (weights_only): a crafted checkpoint cannot run code
            saved = torch.load(checkpoint_path, weights_only=True, map_location="cpu")
            mode = saved["state"].get("mode") if isinstance(saved, dict) and isinstance(
                saved.get("state"), dict) else None
        except Exception:  # torch.load's many ways to refuse a file
            mode = saved = None
        if saved is None:
            _tell(err, f"cannot resume: {checkpoint_path} is damaged or not a tavrin_rl "
                       "checkpoint")
            return 2
        if mode != "expert":
            _tell(err, f"{checkpoint_path} is not an expert-iteration run")
            return 2
        try:
            net.load_state_dict(saved["net"])
            candidate.load_state_dict(saved["learner"])
        except Exception:
            _tell(err, f"cannot resume: {checkpoint_path} is damaged or not a tavrin_rl "
                       "checkpoint")
            return 2
        state.update(saved["state"])
        seed = int(state["seed"])
        if log_path.exists():
            with open(log_path, newline="") as f:
                rows = [r for r in csv.DictReader(f) if int(r["round"]) <= state["round"]]
    elif checkpoint_path.exists():
        _tell(err, f"{folder} holds a run already: --resume it or choose another --out")
        return 2
    state["mode"] = "expert"
    folder.mkdir(parents=True, exist_ok=True)
    columns = [*COLUMNS, *(["eval_reach", "learner_eval_reach"] if settings.eval_games else [])]
    series = ["match_share", *(["eval_reach", "learner_eval_reach"] if settings.eval_games else [])]
    out.write(f"expert iteration in {folder}: seed {seed}, rounds {state['round'] + 1} to "
              f"{settings.rounds}, {settings.games} games of {settings.playouts} playouts each\n")
    out.flush()
    # The round lines are the log; on a terminal a bar below them tells the rounds left.
    first = int(state["round"])
    progress = Progress(settings.rounds - first, out if is_terminal(out) else None, unit="rounds")
    progress.update(0)

    def save(row: dict[str, Any]) -> None:
        rows.append(row)
        log = io.StringIO()
        writer = csv.DictWriter(log, fieldnames=columns, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(rows)
        minutes = [{**r, "train_cpu_s": r["cpu_s"]} for r in rows]
        curve = curve_svg(minutes, series, f"tavrin_rl expert iteration, seed {seed}")
        arrays = policy_arrays(net.weights(), channels=net.channels, round=state["round"],
                               recipe="expert iteration")
        checkpoint = {"net": net.state_dict(), "learner": candidate.state_dict(), "state": state}
        # Together or not at all, the checkpoint last: a round counts once its files are written,
        # and an interruption or a full disk leaves the previous round's files whole.
        write_files([
            (log_path, lambda f: f.write(log.getvalue().encode())),
            (folder / "policy.npz", lambda f: np.savez_compressed(f, **arrays)),
            (folder / "curve.svg", lambda f: f.write(curve.encode())),
            (checkpoint_path, lambda f: torch.save(checkpoint, f)),
        ])

    try:
        while state["round"] < settings.rounds:
            round_ = int(state["round"]) + 1
            data_path = folder / f"round_{round_}"
            started = _cpu_s()
            guide = folder / "policy.npz" if state["have_net"] else None
            if guide is not None and not guide.exists():  # the first round from --expert-init
                save_policy(guide, net.weights(), channels=net.channels, round=0,
                            recipe=f"expert iteration's start: {settings.init}")
            agent = search_agent(settings.guide_playouts or settings.playouts, guide)
            summary = data.write_dataset(
                data_path, settings.games, (agent,) * 4, round_seed(seed, round_, 0),
                workers=settings.workers, ray=settings.ray is not None,
                ray_address=settings.ray or None, overwrite=True, visits=True)
            gen = _cpu_s() - started
            started = _cpu_s()
            losses = train_round(candidate, data_path, settings, round_seed(seed, round_, 1))
            trained = _cpu_s() - started
            started = _cpu_s()
            new, old = Policy(candidate.weights(), {}), Policy(net.weights(), {})
            share, games = head_to_head(new, old, settings.match_games, round_seed(seed, round_, 2))
            low, high = wilson_interval(share, games)
            kept = low > 0.5
            if kept:
                net.load_state_dict(candidate.state_dict())
                state["have_net"] = True
            matched = _cpu_s() - started
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
                for column, which in (("eval_reach", net), ("learner_eval_reach", candidate)):
                    row[column] = round(evaluate(Policy(which.weights(), {}), ("reach",) * 3,
                                                 settings.eval_games,
                                                 seed=round_seed(seed, round_, 3)).win_share, 4)
            save(row)
            if not settings.keep_data:
                shutil.rmtree(data_path, ignore_errors=True)
            progress.end()
            out.write(f"round {round_}: {summary.plies} placements ({searched} searched) in "
                      f"{gen:.1f} CPU s, trained in {trained:.1f} CPU s (policy loss "
                      f"{losses['policy_loss']:.3f}); new net vs kept {100 * share / games:.1f}% "
                      f"({100 * low:.1f}%-{100 * high:.1f}%): {'kept' if kept else 'dropped'}\n")
            out.flush()
            progress.update(round_ - first, force=True)
    except KeyboardInterrupt:
        progress.end()
        out.write(f"interrupted; rounds up to {state['round']} are in {checkpoint_path} (--resume)\n")
        return 130
    out.write(f"done: {state['round']} rounds, {float(state['cpu_s']) / 3600:.3f} CPU hours of "
              f"generation and training\npolicy: {folder / 'policy.npz'}\n")
    return 0


def _tell(err: TextIO | None, message: str) -> None:
    if err is not None:
        err.write(f"tavrin_rl train: {message}\n")


