"""Playing one chunk of games in the batched engine: the rows a shard holds, as numpy arrays.

A game is named by its global number. Game g of a run seeded with S draws every random choice
from its own stream, `Stream.for_game(S, g)`, one draw per placement, in ply order: the recipe of
`VectorGames.reset(S, first_game=...)` and of the command line without --out. So a game's moves
depend only on the run's seed, the agents and its number: never on which worker, process, chunk
or batch played it, nor on whether it was written.

The games of a chunk advance together in one `VectorGames`; every pick is the engine's own rule
for the agent to move (`VectorGames.sample_actions` with one policy per game).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

from tavrin_rl import _engine
from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents import POLICIES, parse_agent
from tavrin_rl.agents.seats import is_engine_seat, net_path
from tavrin_rl.catalogue import NUM_SEATS
from tavrin_rl.nets.policy import Policy, provide_policies
from tavrin_rl.vector import VectorGames

STATE_BYTES: int = _engine.STATE_SIZE
REWARD_MODES: tuple[str, ...] = tuple(PyTavrin.reward_modes)
AGENT_RULES = POLICIES


def game_seed(seed: int, game: int) -> int:
    """The 64-bit seed of game number `game` in a run seeded with `seed`: the initial state of
    its stream."""
    return int(_engine.stream_for_game(seed, game))


@dataclass
class Chunk:
    """The games [first_game, first_game + count) and every placement in them, in game order
    and, within a game, in ply order."""

    first_game: int
    agents: tuple[str, ...]
    # one entry per placement
    game: np.ndarray      # int64
    ply: np.ndarray       # int16, 0 for a game's first placement
    agent: np.ndarray     # int8, the agent that moves
    action: np.ndarray    # uint16, the grid index in that agent's frame
    state: np.ndarray     # (plies, 278) uint8, the state bytes before the placement
    # one entry per game
    seeds: np.ndarray     # uint64
    scores: np.ndarray    # (games, 4) int16
    outcomes: dict[str, np.ndarray]  # reward mode -> (games, 4) float32
    plies: np.ndarray     # int16, placements in the game
    # The root visits of searched placements, when recorded: row r's entries are
    # visit_action/visit_count[visit_offsets[r]:visit_offsets[r + 1]], none for a row whose
    # placement was not searched (another agent's, a forced or an opening one).
    visit_offsets: np.ndarray | None = None  # (plies + 1,) int64
    visit_action: np.ndarray | None = None   # uint16, a root child's grid index
    visit_count: np.ndarray | None = None    # uint32, its visits

    @property
    def count(self) -> int:
        return len(self.seeds)


def _nets_of(agents: Sequence[str]) -> list[str]:
    """The nets `agents` play by, once each: net seats' ("baseline", "policy:PATH") and the
    guides of searching seats ("mcts:...:guide=NET")."""
    nets = []
    for name in agents:
        if name in ("baseline", "policy") or name.startswith("policy:"):
            nets.append(name)
        elif name.partition(":")[0] == "mcts" and parse_agent(name)[1].get("guide"):
            nets.append(parse_agent(name)[1]["guide"])
    return list(dict.fromkeys(nets))


def net_arrays(agents: Sequence[str]) -> tuple[dict[str, dict[str, np.ndarray]], dict[str, Any]]:
    """The weights of the nets among `agents` (net seats and searches' guides, checked by
    `Policy.load`), by net name ("baseline", "policy:PATH"), for the tasks to carry, and what a
    manifest records of each: its file's real path and the SHA-256 of the very bytes the weights
    were read from."""
    import hashlib
    nets: dict[str, dict[str, np.ndarray]] = {}
    files: dict[str, Any] = {}
    for name in _nets_of(agents):
        path = net_path(name)

        def digest() -> str:
            with open(path, "rb") as f:
                return hashlib.sha256(f.read()).hexdigest()
        # Read from the file itself, never from a net this process read before; hashed before
        # and after, so that a file replaced meanwhile is not recorded beside another's games.
        before = digest()
        weights = Policy.load(path).weights
        if digest() != before:
            raise ValueError(f"{path} changed while it was read: run again once it is written")
        nets[name] = weights
        files[name] = {"path": path, "sha256": before}
    return nets, files


def play_chunk(first_game: int, count: int, agents: Sequence[str], seed: int,
               visits: bool = False, nets: dict[str, dict[str, np.ndarray]] | None = None) -> Chunk:
    """Plays games first_game .. first_game + count - 1 of a run between `agents` (one name per
    seat: one of AGENT_RULES, "mcts" / "mcts:PLAYOUTS[:ROLLOUT]", "baseline" or "policy:PATH")
    seeded with `seed`; with `visits`, records the root visits of the searches. The games are the
    same either way. `nets` gives the weights of the nets by name (`net_arrays`: net seats' and
    guides'), played instead of reading their files (which need not exist where the chunk is
    played, and may hold another net by now)."""
    agents = tuple(agents)
    for name in agents:
        if not is_engine_seat(name):
            raise ValueError(f"unknown agent {name!r} (choose from {', '.join(AGENT_RULES)}, mcts, "
                             "baseline, policy:PATH)")
    given = {net_path(name): Policy(weights, {}) for name, weights in (nets or {}).items()}
    with provide_policies(given):
        return _play(first_game, count, agents, seed, visits)


def _play(first_game: int, count: int, agents: tuple[str, ...], seed: int, visits: bool) -> Chunk:
    seeds = np.array([game_seed(seed, first_game + i) for i in range(count)], dtype=np.uint64)
    # One thread: a worker process is the unit of parallelism.
    games = VectorGames(count, threads=1, seed=seed, observation=None, mask=False, autoreset=False,
                        first_game=first_game)
    # One call plays the chunk: every game to its end in C++, its placements recorded by
    # (game, ply), so the chunk's game-by-game order needs no sort.
    record = games.play_out(agents, visits)
    plies = record["plies"].astype(np.int64)
    # Every game is over and, without autoreset, still held as it ended.
    scores = np.array(games.final_scores, dtype=np.int16)
    outcomes = {mode: np.frombuffer(_engine.outcomes(scores, code), np.float32).reshape(count, NUM_SEATS)
                for code, mode in enumerate(REWARD_MODES)}
    kept = np.arange(record["actions"].shape[1]) < plies[:, None]
    game, ply = np.nonzero(kept)
    recorded: dict[str, np.ndarray | None] = {"visit_offsets": None, "visit_action": None,
                                              "visit_count": None}
    if visits:
        found = record["visits"]
        # rows are in game order, then ply order, and so are the entries
        row = (np.cumsum(plies) - plies)[found["game"]] + found["ply"]
        offsets = np.zeros(len(game) + 1, np.int64)
        np.cumsum(np.bincount(row, minlength=len(game)), out=offsets[1:])
        recorded = {"visit_offsets": offsets, "visit_action": found["action"].copy(),
                    "visit_count": found["visits"].copy()}
    return Chunk(
        first_game=first_game, agents=agents,
        game=(game + first_game).astype(np.int64), ply=ply.astype(np.int16),
        agent=record["agents"][kept], action=record["actions"][kept], state=record["states"][kept],
        seeds=seeds, scores=scores, outcomes=outcomes, plies=plies.astype(np.int16), **recorded)
