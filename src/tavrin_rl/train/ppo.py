"""PPO on the batched engine, with the opponents played in C++, and behaviour cloning from a
dataset. One readable file: the settings first, then rollouts, the update, cloning.

A rollout plays `games` whole games at once (`VectorGames` with the learner in one seat, turned
per game, and engine seats in the others) and keeps every learner decision: board planes, pieces
and flags, the legal grid indexes, the choice, its log-probability and the value. The reward comes
once, at the game's end: 1/2 win share + 1/2 rank outcome of the learner's agent; with no
discounting, the advantages are GAE(lambda) over each game's values and that reward.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Iterator

import numpy as np

from tavrin_rl._extras import needs_extra

try:
    import torch
    from torch import nn
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.train", "train", _error) from _error

from tavrin_rl.catalogue import NUM_ACTIONS
from tavrin_rl.nets.inputs import extras_of, segment_sample
from tavrin_rl.nets.torch_net import PolicyNet, segment_log_softmax
from tavrin_rl.play_loop import EXTERNAL, LEARNER, outcome, play_out
from tavrin_rl.symmetry import mirror_actions, mirror_board, mirror_pieces
from tavrin_rl.vector import VectorGames


class Diverged(ArithmeticError):
    """A loss stopped being finite: the net has diverged, and a step on it would only spread
    the NaN to every weight."""


def _check_loss(loss: torch.Tensor, where: str) -> None:
    if not bool(torch.isfinite(loss.detach())):
        raise Diverged(where)


@dataclass
class Settings:
    games: int = 128          # games per rollout, played to their end
    epochs: int = 3           # passes over a rollout
    minibatch: int = 512      # decisions per gradient step
    lam: float = 0.95         # GAE lambda; no discounting (gamma = 1): a game is short
    clip: float = 0.2
    lr: float = 1e-3
    entropy: float = 0.01
    value_coef: float = 0.5
    max_grad_norm: float = 0.5
    win_weight: float = 0.5   # reward = win_weight * win share + (1 - win_weight) * rank outcome
    opponents: tuple[str, ...] = ("greedy", "greedy", "greedy")
    clone_minibatch: int = 512
    augment: bool = False     # show the net each position mirrored half of the time
    extras: dict[str, Any] = field(default_factory=dict)


@dataclass
class Rollout:
    """The learner's decisions of one rollout, in the order they were taken."""

    board: np.ndarray         # (S, 12, 20, 20) uint8
    extras: np.ndarray        # (S, 88) float32
    offsets: np.ndarray       # (S + 1,) int64: decision s's legal indexes are legal[offsets[s]:offsets[s + 1]]
    legal: np.ndarray         # (E,) int64 grid indexes
    choice: np.ndarray        # (S,) the position of the chosen index within the decision's legal list
    logp: np.ndarray          # (S,) float32 log-probability of the choice when it was made
    value: np.ndarray         # (S,) float32
    game: np.ndarray          # (S,) the game of each decision
    reward: np.ndarray        # (G,) float32 per game
    win_share: np.ndarray     # (G,) float32 per game

    @property
    def steps(self) -> int:
        return len(self.choice)


def outcomes(v: VectorGames, learner: np.ndarray, win_weight: float) -> tuple[np.ndarray, np.ndarray]:
    """The reward and win share of the learner's agent in each (finished) game of `v`."""
    reward = np.empty(v.num_games, np.float32)
    share = np.empty(v.num_games, np.float32)
    for i in range(v.num_games):
        final = v.game(i)
        share[i] = outcome(final, "win_share")[learner[i]]
        reward[i] = win_weight * share[i] + (1 - win_weight) * outcome(final, "rank")[learner[i]]
    return reward, share


def mirror_some(flip: np.ndarray, board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
                legal: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Board planes, extras and legal grid indexes with the positions `flip` (B,) bool mirrored
    (`tavrin_rl.symmetry`); the legal lists stay in the same order, so choices keep their
    positions in them."""
    board, extras, legal = board.copy(), extras.copy(), legal.copy()
    board[flip] = mirror_board(board[flip])
    seats = extras[flip, :84].reshape(-1, 4, 21)
    extras[flip, :84] = mirror_pieces(seats).reshape(-1, 84)
    extras[flip, 84:] = mirror_pieces(extras[flip, 84:])
    entries = flip[segment]
    legal[entries] = mirror_actions(legal[entries])
    return board, extras, legal


def collect(net: PolicyNet, v: VectorGames, seed: int, first_game: int,
            rng: np.random.Generator, win_weight: float, augment: bool = False,
            external: Any = None) -> Rollout:
    """Play every game of `v` to its end from a fresh start, the learner sampling from `net`;
    with `augment`, the net sees each position mirrored half of the time (and its choice is
    mirrored back before it is played). `external(board, extras, segment, legal)` plays the
    "external" seats (earlier versions of the learner): one grid index per position."""
    v.reset(seed, first_game=first_game)
    learner = np.argmax(v.lineup == LEARNER, axis=1)
    boards, extras, legals, counts, choices, logps, values, games = ([] for _ in range(8))

    def learn(active: np.ndarray, board: np.ndarray, extra: np.ndarray, segment: np.ndarray,
              legal: np.ndarray) -> np.ndarray:
        n = active.size
        played = legal
        if augment:
            board, extra, legal = mirror_some(rng.random(n) < 0.5, board, extra, segment, legal)
        with torch.no_grad():
            seg_t = torch.from_numpy(segment)
            logits, value = net(torch.from_numpy(board), torch.from_numpy(extra), seg_t,
                                torch.from_numpy(legal))
            logp, _ = segment_log_softmax(logits, seg_t, n)
        picks = segment_sample(logits.numpy(), segment, n, rng.random(n))
        count = np.bincount(segment, minlength=n)
        starts = np.concatenate([[0], np.cumsum(count)[:-1]])
        boards.append(board)
        extras.append(extra)
        legals.append(legal)
        counts.append(count)
        choices.append(picks - starts)
        logps.append(logp.numpy()[picks])
        values.append(value.numpy())
        games.append(active)
        chosen: np.ndarray = played[picks]
        return chosen
    players = {LEARNER: learn}
    if external is not None:  # played first, drawing nothing from `rng`
        players = {EXTERNAL: lambda group, *position: external(*position), LEARNER: learn}
    play_out(v, players)
    reward, share = outcomes(v, learner, win_weight)
    count_all = np.concatenate(counts)
    return Rollout(np.concatenate(boards), np.concatenate(extras),
                   np.concatenate([[0], np.cumsum(count_all)]), np.concatenate(legals),
                   np.concatenate(choices), np.concatenate(logps).astype(np.float32),
                   np.concatenate(values).astype(np.float32), np.concatenate(games),
                   reward, share)


def advantages(r: Rollout, lam: float) -> tuple[np.ndarray, np.ndarray]:
    """GAE(lambda) advantages and the value targets, with no discounting and the reward at each
    game's last decision. Decisions of a game are in order, so one pass backwards suffices."""
    next_value = r.reward.astype(np.float64).copy()  # past a game's last decision: its reward
    next_adv = np.zeros(len(r.reward))
    adv = np.empty(r.steps)
    # decisions were taken in rounds, one per unfinished game; walk the rounds backwards
    bounds = np.flatnonzero(np.diff(r.game) <= 0) + 1
    rounds = np.split(np.arange(r.steps), bounds)
    for idx in reversed(rounds):
        g = r.game[idx]
        delta = next_value[g] - r.value[idx]
        a = delta + lam * next_adv[g]
        adv[idx] = a
        next_adv[g] = a
        next_value[g] = r.value[idx]
    return adv.astype(np.float32), (adv + r.value).astype(np.float32)


def gather(offsets: np.ndarray, legal: np.ndarray, rows: np.ndarray,
           ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The legal lists of decisions `rows` joined: segment (E,), legal (E,) and where each
    row's list starts (B,)."""
    starts, counts = offsets[rows], offsets[rows + 1] - offsets[rows]
    first = np.concatenate([[0], np.cumsum(counts)[:-1]])
    positions = np.repeat(starts - first, counts) + np.arange(counts.sum())
    segment = np.repeat(np.arange(len(rows)), counts)
    return segment, legal[positions], first


def ppo_update(net: PolicyNet, optimizer: torch.optim.Optimizer, r: Rollout, s: Settings,
               rng: np.random.Generator) -> dict[str, float]:
    """`s.epochs` passes of clipped PPO over the rollout; returns the mean losses."""
    adv, returns = advantages(r, s.lam)
    sums = {"policy_loss": 0.0, "value_loss": 0.0, "entropy": 0.0, "clip_fraction": 0.0}
    steps = 0
    for epoch in range(s.epochs):
        order = rng.permutation(r.steps)
        for begin in range(0, r.steps, s.minibatch):
            rows = order[begin:begin + s.minibatch]
            segment, legal, first = gather(r.offsets, r.legal, rows)
            seg_t = torch.from_numpy(segment)
            logits, value = net(torch.from_numpy(r.board[rows]), torch.from_numpy(r.extras[rows]),
                                seg_t, torch.from_numpy(legal))
            logp_all, entropy = segment_log_softmax(logits, seg_t, len(rows))
            logp = logp_all[torch.from_numpy(first + r.choice[rows])]
            a = torch.from_numpy(adv[rows])
            a = (a - a.mean()) / (a.std() + 1e-8) if len(rows) > 1 else a
            ratio = (logp - torch.from_numpy(r.logp[rows])).exp()
            policy_loss = -torch.min(ratio * a, ratio.clamp(1 - s.clip, 1 + s.clip) * a).mean()
            value_loss = 0.5 * (value - torch.from_numpy(returns[rows])).pow(2).mean()
            loss = policy_loss + s.value_coef * value_loss - s.entropy * entropy.mean()
            _check_loss(loss, f"a PPO step (epoch {epoch + 1}, decision {begin})")
            optimizer.zero_grad()
            loss.backward()
            nn.utils.clip_grad_norm_(net.parameters(), s.max_grad_norm)
            optimizer.step()
            sums["policy_loss"] += float(policy_loss.detach())
            sums["value_loss"] += float(value_loss.detach())
            sums["entropy"] += float(entropy.mean().detach())
            sums["clip_fraction"] += float(((ratio - 1).abs() > s.clip).float().mean())
            steps += 1
    return {name: total / max(steps, 1) for name, total in sums.items()}


def clone_batches(path: str, seed: int, batch_size: int, win_weight: float,
                  visits: bool = False) -> Iterator[dict[str, np.ndarray]]:
    """Batches of a dataset for behaviour cloning, with the value target of the reward: the
    dataset's rows carry one reward mode, so the other comes from its games table. With
    `visits`, the search's root visits too (a dataset written with them)."""
    from tavrin_rl import data
    dataset = data.open(path, observation="compact", reward_mode="win_share",
                        batch_size=batch_size, shuffle=True, seed=seed, visits=visits)
    table = dataset.games()
    numbers = table.column("game").to_numpy()
    order = np.argsort(numbers)
    rank = np.asarray(table.column("outcome_rank").combine_chunks().flatten(),
                      np.float32).reshape(-1, 4)
    for batch in dataset:
        row = order[np.searchsorted(numbers[order], batch["game"])]
        rank_outcome = rank[row, batch["agent"]]
        batch["target"] = win_weight * batch["outcome"] + (1 - win_weight) * rank_outcome
        yield batch


def clone_inputs(batch: dict[str, np.ndarray], flip: np.ndarray | None = None,
                 ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Board planes, extras, segment and legal grid indexes of a dataset batch, and the position
    of each row's chosen index among the legal ones; `flip` (B,) bool mirrors those rows."""
    mask = batch["action_mask"]
    rows, legal = np.nonzero(mask)
    n = len(mask)
    # np.nonzero lists row by row, ascending: the choice's position is found by one search
    key = rows.astype(np.int64) * NUM_ACTIONS + legal
    choice = np.searchsorted(key, np.arange(n) * NUM_ACTIONS + batch["action"])
    board, extras = batch["observation"], extras_of(batch["pieces"], batch["done"])
    segment, legal = rows.astype(np.int64), legal.astype(np.int64)
    if flip is not None:
        board, extras, legal = mirror_some(flip, board, extras, segment, legal)
    return board, extras, segment, legal, choice


def clone_step(net: PolicyNet, optimizer: torch.optim.Optimizer, batch: dict[str, np.ndarray],
               value_coef: float, flip: np.ndarray | None = None) -> tuple[float, float]:
    """One gradient step of cross-entropy to the dataset's choices, plus value regression to
    the outcome; `flip` (B,) bool mirrors those positions. Returns the two losses."""
    board, extras, segment, legal, choice = clone_inputs(batch, flip)
    seg_t = torch.from_numpy(segment)
    logits, value = net(torch.from_numpy(board), torch.from_numpy(extras), seg_t,
                        torch.from_numpy(legal))
    logp, _ = segment_log_softmax(logits, seg_t, len(choice))
    policy_loss = -logp[torch.from_numpy(choice)].mean()
    value_loss = 0.5 * (value - torch.from_numpy(batch["target"].astype(np.float32))).pow(2).mean()
    loss = policy_loss + value_coef * value_loss
    _check_loss(loss, "a cloning step")
    optimizer.zero_grad()
    loss.backward()
    optimizer.step()
    return float(policy_loss.detach()), float(value_loss.detach())
