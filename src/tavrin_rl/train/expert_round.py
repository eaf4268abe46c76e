"""The mechanics of an expert-iteration round (`expert` runs the rounds): the search agent it
plays, its seeds, the visit targets, training on a round's dataset and the keeping match."""

from __future__ import annotations

import resource
from pathlib import Path
from typing import Any

import numpy as np

from tavrin_rl.catalogue import NUM_ACTIONS

# Placements of a keeping match drawn from the policies (the first of every seat) before the
# nets play their most likely ones.
OPENING_DRAWS = 4


def init_weights(init: str) -> dict[str, Any]:
    """A policy file's arrays as a float32 state dict."""
    import torch

    from tavrin_rl.nets.policy import load_policy
    from tavrin_rl.agents.seats import net_path
    name = init if init == "baseline" or init.startswith("policy:") else "policy:" + init
    path = net_path(name)
    load_policy(path)  # checked before its arrays are trusted
    with np.load(path, allow_pickle=False) as arrays:
        return {k: torch.from_numpy(np.asarray(arrays[k], np.float32)) for k in arrays.files
                if k != "format"}


def search_agent(playouts: int, policy: Path | None) -> str:
    """The agent string of the round's search: guided by `policy` when there is one."""
    plain = f"mcts:{playouts}"
    return plain if policy is None else f"{plain}:reach:guide=policy:{policy}"


def cpu_s() -> float:
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


def train_round(net: Any, path: Path, settings: Any, seed: int) -> dict[str, float]:
    """Trains `net` on the round's dataset: the searched rows' visit shares and every row's
    outcome. Returns the mean losses."""
    import torch

    from tavrin_rl.nets.torch_net import segment_log_softmax
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
    from tavrin_rl.play_loop import EXTERNAL, LEARNER, outcome, play_out
    from tavrin_rl.vector import VectorGames
    rng = np.random.default_rng(seed)
    v = VectorGames(games, threads=1, seed=seed, observation="compact", mask=False,
                    reward_mode="win_share", autoreset=False,
                    seats=("learner", "external", "learner", "external"), rotate_seats=True)
    turn: dict[str, Any] = {"placed": 0, "draws": None}

    def each_turn(active: np.ndarray) -> None:
        turn["draws"] = rng.random(games) if turn["placed"] < OPENING_DRAWS else None
        turn["placed"] += 1

    def player(net: Any) -> Any:
        def choose(group: np.ndarray, *position: np.ndarray) -> np.ndarray:
            draws = turn["draws"]
            picks: np.ndarray = net.choose(*position, None if draws is None else draws[group])
            return picks
        return choose
    play_out(v, {LEARNER: player(new), EXTERNAL: player(old)}, each_turn)
    share = 0.0
    for i in range(games):
        final = outcome(v.game(i), "win_share")
        share += sum(final[a] for a in range(4) if v.lineup[i, a] == LEARNER)
    return share, games
