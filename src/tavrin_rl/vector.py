"""Many games per call: a batched engine for training at scale.

    from tavrin_rl.vector import VectorGames

    v = VectorGames(num_games=256, seed=0)          # threads: the CPUs this process may use
    for _ in range(1000):
        v.step(v.sample_actions())                  # one random legal action per game, in C++
        v.observation        # (N, 100, 20, 20) uint8, the PettingZoo env's channels
        v.legal_action_mask  # (N, 36400) bool
        v.current_player     # (N,) int8
        v.rewards            # (N, 4) float32, by agent index
        v.terminated         # (N,) bool

Each game has a player to move (`current_player`), and `step` takes one grid index per game for
that player, read in its own frame exactly as `PyTavrin.step` reads it. Agents out of moves are
passed inside the engine, so the player to move always has a legal placement.

**Arrays are views.** Every array above is a read-only numpy view over memory the engine owns;
`step`, `reset` and `load` rewrite them in place, without copying or allocating. Keep a copy
(`v.observation.copy()`) if you need the values of an earlier step. A view keeps the engine alive
(through its `base`), so it stays valid after the `VectorGames` object itself is dropped.

**Observations** (`observation=`), always in the frame of the player to move:

* "full": `observation` (N, 100, 20, 20), the PettingZoo env's channels: 0-3 each seat's cells,
  4-7 corner cells, 8-11 blocked cells, 12-95 remaining pieces (12 + 21 * seat + kind, constant
  planes), 96-99 out-of-moves flags (constant planes); seat 0 is the player to move.
* "compact": `observation` (N, 12, 20, 20) the board planes only, plus `pieces` (N, 4, 21) and
  `done` (N, 4), by seat. ("full" fills `pieces` and `done` too.)
* None: no observation, only the mask and the bookkeeping.

`mask=False` drops `legal_action_mask`; `legal_grid_indexes_csr()` lists the legal grid indexes
of every game as CSR arrays instead.

**End of game and autoreset.** On the step that ends game i, `terminated[i]` is set and
`rewards[i]` holds the outcome in `reward_mode` for agents 0 to 3 (0 on every other step);
`final_scores[i]` holds its official scores and `final_game(i)` returns the finished game as a
`PyTavrin`, both until the next `step`, `reset` or `load`. With `autoreset=True` (the default) the
game starts anew within the same step, so the observation, mask and `current_player` already show
the new game: Gymnasium's "same-step" autoreset mode (`AutoresetMode.SAME_STEP`), with
`final_game`/`final_scores` standing in for the final observation in `infos`. (Gymnasium's default
"next-step" mode would instead spend one extra `step` call on the reset.) With `autoreset=False`
("disabled" in Gymnasium's terms) a finished game stays finished, keeps `terminated` set and
`current_player` at -1, ignores its actions and is paid only once, until `reset()` starts every
game anew or `reset(games=v.terminated)` only the finished ones.

**Seats** (`seats=`, four entries, or a dict {seat: name} whose missing seats are learners): a
"learner" or "external" seat is played by the caller through `step`; the engine plays the others
inside `step`: "random", "greedy", "reach", "mcts" (or "mcts:PLAYOUTS[:ROLLOUT]"), "baseline"
(the shipped net) or "policy:PATH" (a policy file's net; a loaded `Policy`, or a policy agent
such as `make_agent("baseline", sample=True)` to draw from the policy, may stand as the seat, as
may an `AgentConfig`).
Each seat plays at its own settings: one batch may hold "mcts" and "mcts:20", and several nets,
which run in C++ on the pool's threads (each file loaded once).

**Threads and seeds.** `step`, `reset`, `load` and the samplers release the GIL and split the
games over `threads` threads (default: the CPUs available to the process). Every game draws its
random choices from its own stream, seeded by `seed` and its index, so results are identical for
any thread count. The game itself has no randomness; the seed only drives `sample_actions`.

**Memory per game** (`VectorGames.bytes_per_game(observation, mask)`): about 80 KB with full
observations and the mask, 45 KB compact with the mask, 40 KB with the mask only, 42 KB full
without the mask and 1.5 KB with neither (100,000 such games take 150 MB). The mask is 36.4 KB of
it, and with the mask each game also keeps its legal set as a sorted list of grid indexes (2 KB)
for the samplers.
"""

from __future__ import annotations

import operator
import secrets
from collections.abc import Sequence
from typing import Any

import numpy as np

from tavrin_rl import _engine
from tavrin_rl._system import available_cpus
from tavrin_rl.catalogue import BOARD_CHANNELS, BOARD_SIDE, NUM_CHANNELS, NUM_KINDS, NUM_SEATS
from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents.seats import (  # noqa: F401 (names of this module since its start)
    OUTSIDE_SEATS, POLICIES, SEARCH_SEAT, SEATS, engine_settings, search_defaults, search_settings,
    seat_codes, seat_configs, seat_labels, seat_lineup, seat_names, uint64, whole,
)

__all__ = ["VectorGames", "OBSERVATION_MODES", "POLICIES", "SEATS"]

NUM_ACTIONS = _engine.NUM_ACTIONS
STATE_SIZE = _engine.STATE_SIZE

OBSERVATION_MODES: tuple[str | None, ...] = ("full", "compact", None)
_OBSERVATION_CODES = {None: 0, "compact": 1, "full": 2}
_CHANNELS = {None: 0, "compact": BOARD_CHANNELS, "full": NUM_CHANNELS}
# Below this many games per thread a step's work is shorter than handing it to another thread and
# waiting for it: more threads would cost CPU time and gain no wall time.
_GAMES_PER_THREAD = 128


def default_threads(num_games: int) -> int:
    """The thread count a batch of `num_games` gets by default: never more than the CPUs, and
    one per `_GAMES_PER_THREAD` games, so a small batch is never slower than on one thread."""
    return max(1, min(available_cpus(), num_games // _GAMES_PER_THREAD))


class VectorGames:
    """`num_games` games stepped together; see the module documentation."""

    def __init__(self, num_games: int, threads: int | None = None, seed: int | None = None,
                 observation: str | None = "full", mask: bool = True,
                 reward_mode: str = "win_share", autoreset: bool = True, seats: Any = None,
                 rotate_seats: bool = False, first_game: int = 0) -> None:
        num_games = whole(num_games, "num_games")
        if num_games < 1:
            raise ValueError(f"num_games must be at least 1, got {num_games}")
        threads = default_threads(num_games) if threads is None else whole(threads, "threads")
        if threads < 1:
            raise ValueError(f"threads must be at least 1, got {threads}")
        if observation not in _OBSERVATION_CODES:
            raise ValueError(f"unknown observation mode {observation!r}, choose from "
                             f"{', '.join(map(repr, OBSERVATION_MODES))}")
        if reward_mode not in PyTavrin.reward_modes:
            raise ValueError(f"unknown reward mode {reward_mode!r}, "
                             f"choose from {', '.join(PyTavrin.reward_modes)}")
        lineup = ("learner",) * NUM_SEATS if seats is None else seats
        codes, settings = seat_lineup(lineup)
        if autoreset and not OUTSIDE_SEATS.intersection(codes):
            raise ValueError("with autoreset, at least one seat must be a learner or external seat "
                             "(a lineup of engine seats alone plays each game to its end in reset: "
                             "use autoreset=False)")
        first_game = uint64(first_game, "first_game")
        self._core = _engine.VectorGames(
            num_games, threads, _OBSERVATION_CODES[observation], bool(mask),
            PyTavrin.reward_modes.index(reward_mode), bool(autoreset), codes, bool(rotate_seats),
            engine_settings(settings))
        #: Each seat as given ("mcts:20" stays itself), and the `AgentConfig` of each seat the
        #: engine plays (None for the caller's seats and for nets given loaded).
        self.seats, self.configs = seat_labels(lineup, codes), seat_configs(lineup)
        #: Each seat's settings, the defaults filled in: {"playouts", "rollout"} for an "mcts"
        #: seat, {} for the others.
        self.settings: tuple[dict[str, Any], ...] = settings
        #: How the first "mcts" seat searches (the defaults without one), for the code that
        #: read it when every search seat of a batch shared one setting.
        self.search: dict[str, Any] = next((dict(own) for own, c in zip(settings, codes)
                                            if c == SEARCH_SEAT), search_defaults({}))
        self.rotate_seats = bool(rotate_seats)
        self.num_games = num_games
        self.observation_mode = observation
        self.mask = bool(mask)
        self.reward_mode = reward_mode
        self.autoreset = bool(autoreset)
        n = num_games
        channels = _CHANNELS[observation]
        self._observation = self._view("observation", np.uint8, (n, channels, BOARD_SIDE, BOARD_SIDE))
        self._pieces = self._view("pieces", np.uint8, (n, NUM_SEATS, NUM_KINDS))
        self._done = self._view("done", np.uint8, (n, NUM_SEATS))
        self._mask = self._view("legal_action_mask", np.bool_, (n, NUM_ACTIONS))
        self._current_player = self._required("current_player", np.int8, (n,))
        self._rewards = self._required("rewards", np.float32, (n, NUM_SEATS))
        self._terminated = self._required("terminated", np.bool_, (n,))
        self._final_scores = self._required("final_scores", np.int16, (n, NUM_SEATS))
        self._lineup = self._required("lineup", np.uint8, (n, NUM_SEATS))
        self.reset(secrets.randbits(64) if seed is None else seed, first_game=first_game)

    def _view(self, name: str, dtype: Any, shape: tuple[int, ...]) -> np.ndarray | None:
        buffer = self._core.view(name)
        if buffer is None:
            return None
        array = np.frombuffer(memoryview(buffer), dtype=dtype).reshape(shape)
        array.flags.writeable = False
        return array

    def _required(self, name: str, dtype: Any, shape: tuple[int, ...]) -> np.ndarray:
        array = self._view(name, dtype, shape)
        if array is None:
            raise RuntimeError(f"the engine has no {name} array")
        return array

    # --- Arrays (read-only views, rewritten in place) ---

    @property
    def observation(self) -> np.ndarray | None:
        """(N, 100, 20, 20) or (N, 12, 20, 20) uint8 in the mover's frame; None without observations."""
        return self._observation

    @property
    def pieces(self) -> np.ndarray | None:
        """(N, 4, 21) uint8: 1 while the agent in that seat still holds the kind."""
        return self._pieces

    @property
    def done(self) -> np.ndarray | None:
        """(N, 4) uint8: the out-of-moves flag of each seat."""
        return self._done

    @property
    def legal_action_mask(self) -> np.ndarray | None:
        """(N, 36400) bool: the legal grid indexes of the player to move; None with mask=False."""
        return self._mask

    @property
    def current_player(self) -> np.ndarray:
        """(N,) int8: the agent to move, -1 in a finished game (only without autoreset)."""
        return self._current_player

    @property
    def rewards(self) -> np.ndarray:
        """(N, 4) float32 by agent index: the outcome on the step that ended the game, else 0."""
        return self._rewards

    @property
    def terminated(self) -> np.ndarray:
        """(N,) bool: the game ended on the last step (without autoreset: the game is over)."""
        return self._terminated

    @property
    def final_scores(self) -> np.ndarray:
        """(N, 4) int16: the official scores of each game flagged in `terminated`, else 0."""
        return self._final_scores

    @property
    def lineup(self) -> np.ndarray:
        """(N, 4) uint8 by agent index: who plays each agent of each game, as codes into `SEATS`
        (with `rotate_seats`, the lineup turned for that game)."""
        return self._lineup

    def outside_to_move(self) -> np.ndarray:
        """(N,) bool: the agent to move is played by the caller (a learner or external seat)."""
        mover = self._current_player.astype(np.intp)
        seat = self._lineup[np.arange(self.num_games), np.maximum(mover, 0)]
        return (mover >= 0) & (seat <= 1)

    @property
    def threads(self) -> int:
        return int(self._core.threads)

    def __len__(self) -> int:
        return self.num_games

    def __repr__(self) -> str:
        return (f"VectorGames(num_games={self.num_games}, threads={self.threads}, "
                f"observation={self.observation_mode!r}, mask={self.mask}, "
                f"reward_mode={self.reward_mode!r}, autoreset={self.autoreset}, "
                f"seats={self.seats!r}, rotate_seats={self.rotate_seats})")

    def _selection(self, games: Any) -> np.ndarray | None:
        """An (N,) uint8 selection from an (N,) bool mask or a sequence of game indexes."""
        if games is None:
            return None
        selection = np.asarray(games)
        if selection.dtype == np.bool_:
            if selection.shape != (self.num_games,):
                raise ValueError(f"a games mask must have shape ({self.num_games},), "
                                 f"got {selection.shape}")
            return selection.astype(np.uint8)
        if selection.ndim != 1:
            raise TypeError("games must be an (N,) bool mask or a 1-D sequence of game indexes")
        which = np.zeros(self.num_games, dtype=np.uint8)
        if selection.size == 0:  # "no game" (numpy reads [] as float64)
            return which
        if selection.dtype.kind not in "iu":
            raise TypeError("games must be an (N,) bool mask or a 1-D sequence of game indexes")
        if selection.min() < 0 or selection.max() >= self.num_games:
            raise IndexError(f"game index out of range [0, {self.num_games})")
        which[selection] = 1
        return which

    # --- Playing ---

    def reset(self, seed: int | None = None, games: Any = None, first_game: int = 0) -> None:
        """Starts every game anew, or only those selected by `games` (an (N,) bool mask or a
        sequence of game indexes; the others are left as they are). A seed reseeds the stream of
        each game started: game i gets `Stream.for_game(seed, first_game + i)`, the stream the
        command line and the dataset writer give game number first_game + i. None keeps the
        streams where they are. The engine's seats then play until a seat played outside is to
        move (with engine seats alone, to the game's end)."""
        if seed is not None:
            seed = uint64(seed, "seed")
        first_game = uint64(first_game, "first_game")
        self._core.reset(seed, self._selection(games), first_game)

    def step(self, actions: Any, games: Any = None) -> None:
        """One grid index per game for its player to move (ignored for a finished game, but still
        range-checked), for every game or only those selected by `games` (an (N,) bool mask or a
        sequence of indexes: the others keep their state and arrays, and their actions are not
        read). Every action is checked before any game changes: a wrong shape or dtype
        raises ValueError or TypeError, an out-of-range or illegal action ValueError naming the
        first such game; then no game has changed. The engine's seats then play until a seat
        played outside is to move."""
        array = np.asarray(actions)
        if array.shape != (self.num_games,):
            raise ValueError(f"actions must have shape ({self.num_games},), got {array.shape}")
        if array.dtype.kind not in "iu":
            raise TypeError(f"actions must be integers, got dtype {array.dtype}")
        if array.dtype != np.int32:
            # Values beyond int32 would wrap in the conversion: name the first one here.
            bad = (array < 0) | (array >= NUM_ACTIONS)
            if bad.any():
                i = int(np.argmax(bad))
                raise ValueError(f"game {i}: action {array[i]} is out of range [0, {NUM_ACTIONS})")
            array = array.astype(np.int32)
        which = self._selection(games)
        if which is None:
            self._core.step(np.ascontiguousarray(array))
        else:
            self._core.step(np.ascontiguousarray(array), which)

    def sample_actions(self, policy: Any = "random") -> np.ndarray:
        """(N,) int32: one action per game drawn in C++ from the game's own stream by a built-in
        rule ("random": a uniformly random legal placement; "greedy": the largest piece size that
        fits, then uniformly among its placements; "reach": among those, the farthest-reaching);
        0 for a finished game. `policy` is one name for every game, or an (N,) array of policy
        codes (indexes into `POLICIES`), one per game."""
        out = np.empty(self.num_games, dtype=np.int32)
        if isinstance(policy, str):
            if policy not in POLICIES:
                raise ValueError(f"unknown policy {policy!r}, choose from {', '.join(POLICIES)}")
            self._core.sample_actions(POLICIES.index(policy), out)
            return out
        codes = np.asarray(policy)
        if codes.shape != (self.num_games,) or codes.dtype.kind not in "iu":
            raise ValueError(f"policy must be a name or an ({self.num_games},) array of policy codes")
        if codes.size and (codes.min() < 0 or codes.max() >= len(POLICIES)):
            raise ValueError(f"policy codes must be from 0 to {len(POLICIES) - 1}")
        self._core.sample_actions(np.ascontiguousarray(codes, dtype=np.uint8), out)
        return out

    def play_out(self, seats: Sequence[str], visits: bool = False) -> dict[str, Any]:
        """Plays every unfinished game to its end in C++, agent k as the engine seat `seats[k]`
        ("random", "greedy", "reach", "mcts" or "mcts:PLAYOUTS[:ROLLOUT]"), drawing from each
        game's stream, and returns every placement:
        "states" (N, 84, 278) uint8 (the state before it), "actions" (N, 84) uint16, "agents"
        (N, 84) int8, and "plies" (N,) int16, the placements of each game (its rows beyond are
        unused). Games end scored as on a step and are kept finished, as with autoreset=False.
        With `visits`, also "visits": the root visits of every search that made playouts, as
        columns "game" int32 (its index here), "ply" int16 (its placement), "action" uint16 (a
        root child's grid index) and "visits" uint32, in game and placement order; a search's
        visits sum to the playouts it made."""
        # a str as given: seat_lineup says it wants four names, rather than counting letters
        codes, settings = seat_lineup(seats if isinstance(seats, str) else list(seats))
        if OUTSIDE_SEATS.intersection(codes):
            raise ValueError(f"play_out plays engine seats only, got {tuple(seats)!r}")
        most = NUM_SEATS * NUM_KINDS
        out = {"states": np.empty((self.num_games, most, STATE_SIZE), np.uint8),
               "actions": np.empty((self.num_games, most), np.uint16),
               "agents": np.empty((self.num_games, most), np.int8),
               "plies": np.zeros(self.num_games, np.int16)}
        columns = self._core.play_out(codes, engine_settings(settings), most, out["states"],
                                      out["actions"], out["agents"], out["plies"], visits)
        record: dict[str, Any] = dict(out)
        if visits:
            assert columns is not None
            record["visits"] = {name: np.frombuffer(column, dtype) for (name, dtype), column in zip(
                (("game", np.int32), ("ply", np.int16), ("action", np.uint16), ("visits", np.uint32)),
                columns)}
        return record

    def legal_grid_indexes_csr(self) -> tuple[np.ndarray, np.ndarray]:
        """The legal grid indexes of every game as CSR arrays (offsets (N + 1,) int64, indexes
        int32): game i's are indexes[offsets[i]:offsets[i + 1]], ascending; none for a finished
        game."""
        offsets, indexes = self._core.legal_actions()
        return np.frombuffer(offsets, dtype=np.int64), np.frombuffer(indexes, dtype=np.int32)

    legal_actions = legal_grid_indexes_csr  # the former name, kept for the code that calls it

    # --- Interop ---

    def game(self, i: int) -> PyTavrin:
        """A `PyTavrin` copy of game i."""
        return PyTavrin.from_bytes(self._core.game_bytes(operator.index(i)))

    def final_game(self, i: int) -> PyTavrin | None:
        """Game i as it ended on the last step (with autoreset it has restarted since), or None
        when it did not end then."""
        state = self._core.final_bytes(operator.index(i))
        return None if state is None else PyTavrin.from_bytes(state)

    def to_bytes(self) -> np.ndarray:
        """(N, 278) uint8: every game's state in `PyTavrin.to_bytes()` format."""
        out = np.empty((self.num_games, STATE_SIZE), dtype=np.uint8)
        self._core.to_bytes(out)
        return out

    def load(self, states: Any) -> None:
        """Sets every game from an (N, 278) uint8 array of state bytes. Invalid bytes raise
        ValueError naming the first bad game, and then no game has changed. A loaded game whose
        agent to move is out of moves is passed on to the next agent that has one."""
        array = np.asarray(states)
        if array.dtype != np.uint8:
            raise TypeError(f"states must be uint8, got dtype {array.dtype}")
        if array.shape != (self.num_games, STATE_SIZE):
            raise ValueError(f"states must have shape ({self.num_games}, {STATE_SIZE}), got {array.shape}")
        self._core.load(np.ascontiguousarray(array))

    @staticmethod
    def bytes_per_game(observation: str | None = "full", mask: bool = True) -> int:
        """The memory one game holds in that configuration, every array included."""
        if observation not in _OBSERVATION_CODES:
            raise ValueError(f"unknown observation mode {observation!r}")
        return int(_engine.bytes_per_game(_OBSERVATION_CODES[observation], bool(mask)))
