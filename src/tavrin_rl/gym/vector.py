"""`SingleAgentEnv` many times over, as one Gymnasium vector environment on the batched engine.

    from tavrin_rl.gym import make_vec
    envs = make_vec(64, seat="random", opponents="reach", seed=0)
    observations, infos = envs.reset(seed=0)
    actions = envs.sample_legal_actions()          # or a masked policy over infos["action_mask"]
    observations, rewards, terminations, truncations, infos = envs.step(actions)

Every game runs in one `tavrin_rl.vector.VectorGames` whose other seats the engine plays itself:
a `step` places the learner's pieces, then plays the opponents in C++ until the learner is to move
again in each game, and only then writes the learner's observations and masks.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from tavrin_rl.catalogue import NUM_ACTIONS
from tavrin_rl.gym.observations import (
    NUM_SEATS, check_options, check_seat, observation_arrays, observation_space_of,
)
from tavrin_rl.agents.seats import is_engine_seat
from tavrin_rl.vector import POLICIES, SEATS, VectorGames

__all__ = ["VectorSingleAgentEnv", "make_vec", "OPPONENTS"]

#: The opponents the engine plays: its policies, the search ("mcts", or "mcts:PLAYOUTS[:ROLLOUT]")
#: and the shipped net ("baseline", or any policy file as "policy:PATH").
OPPONENTS: tuple[str, ...] = (*POLICIES, "mcts", "baseline")
_MODES = {"next_step": AutoresetMode.NEXT_STEP, "same_step": AutoresetMode.SAME_STEP}


class VectorSingleAgentEnv(VectorEnv):
    """`num_envs` games, the learner in one seat of each, the opponents played by the engine.

    seat: 0 to 3, or "random" to draw each game's seat whenever that game starts (from the game's
        own random stream).
    opponents: one of `OPPONENTS` ("random", "greedy", "reach", "mcts", "baseline"), an
        "mcts:PLAYOUTS[:ROLLOUT]" or "policy:PATH" string, or a sequence of three, for the seats
        after the learner's in turn order; the engine plays them all, nets included.
    reward_mode, observation ("compact" by default, or "full"), channels_last: as in
        `SingleAgentEnv`; observations are uint8 and batched on a first axis of `num_envs`.
    threads: the engine's threads (default: one per 128 games, at most the CPUs); seed: the seed
        of the first reset (the opponents' choices and the random seats follow from it).
    autoreset_mode: "next_step" (Gymnasium's default): the step that ends a game returns its last
        observation with `terminations[i]` set, and the next step starts the game anew, ignoring
        its action and returning reward 0. "same_step": the step that ends a game already returns
        the next game's observation; the last one is in `infos["final_obs"]` and
        `infos["final_info"]` (masks `infos["_final_obs"]`, `infos["_final_info"]`).
    copy: True (default) returns observations and masks the caller owns, as Gymnasium's
        `SyncVectorEnv(copy=True)` does; False returns read-only views of the engine's arrays,
        which the next `step` or `reset` rewrites (no copy at all; keep what you need).

    `infos["action_mask"]` (bool (num_envs, 36400)) and `action_masks()` give the learner's legal
    actions (none in a finished game waiting for next-step's reset, whose action is ignored);
    `infos["seat"]` its seat in each game. An illegal action raises ValueError naming the game,
    and no game changes. The environment holds a C++ engine and cannot be pickled: create it in
    each process.
    """

    metadata: dict[str, Any] = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": []}

    def __init__(self, num_envs: int, seat: int | str = 0,
                 opponents: str | Sequence[str] = "random", reward_mode: str = "win_share",
                 observation: str = "compact", channels_last: bool = False,
                 threads: int | None = None, seed: int | None = None,
                 autoreset_mode: str | AutoresetMode = "next_step", copy: bool = True) -> None:
        check_options(reward_mode, None, observation, channels_last)
        check_seat(seat)
        policies = (opponents,) * (NUM_SEATS - 1) if isinstance(opponents, str) else opponents
        if (not isinstance(policies, Sequence) or len(policies) != NUM_SEATS - 1
                or not all(is_engine_seat(policy) for policy in policies)):
            raise ValueError(f"opponents must be one of {', '.join(OPPONENTS)} or policy:PATH "
                             f"(played by the engine) or a sequence of three of them, not "
                             f"{opponents!r}")
        mode = autoreset_mode.name.lower() if isinstance(autoreset_mode, AutoresetMode) else autoreset_mode
        if mode not in _MODES:
            raise ValueError(f"autoreset_mode must be 'next_step' or 'same_step', not {autoreset_mode!r}")
        # The lineup in turn order from the learner; a fixed seat turns it to start there.
        lineup = ["learner", *policies]
        first = 0 if seat == "random" else int(seat)
        seats = [lineup[(a - first) % NUM_SEATS] for a in range(NUM_SEATS)]
        self.games = VectorGames(num_envs, threads=threads, seed=seed, observation=observation,
                                 mask=True, reward_mode=reward_mode, autoreset=False, seats=seats,
                                 rotate_seats=seat == "random")
        self.num_envs = num_envs
        self.metadata = {**self.metadata, "autoreset_mode": _MODES[mode]}
        self.autoreset_mode = _MODES[mode]
        self.copy = bool(copy)
        self.seat_option = seat
        self.opponent_policies = tuple(policies)
        self.reward_mode = reward_mode
        self.observation_mode = observation
        self.channels_last = channels_last
        arrays = observation_space_of(observation, channels_last)
        if observation == "full":
            self.single_observation_space: spaces.Space[Any] = spaces.Box(
                0, 1, arrays["observation"].shape, dtype=np.uint8)
        else:
            self.single_observation_space = spaces.Dict(arrays)
        self.single_action_space = spaces.Discrete(NUM_ACTIONS)
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self._range = np.arange(num_envs)
        self.seats = self._learner_seats()
        # next_step: the games that ended on the last step, started anew on the next.
        self._pending = np.zeros(num_envs, dtype=bool)
        self._seed = seed

    def __getstate__(self) -> Any:
        raise TypeError(f"{type(self).__name__} holds a C++ engine and cannot be pickled; create "
                        f"it in each process (make_vec and its arguments pickle)")

    # --- Gymnasium API ---------------------------------------------------------------------------

    def reset(self, *, seed: int | list[int] | None = None,
              options: dict[str, Any] | None = None) -> tuple[Any, dict[str, Any]]:
        """Starts every game anew and plays the opponents up to the learner's first turn."""
        if isinstance(seed, list):
            seed = seed[0]
        if seed is None and self._seed is not None:
            seed, self._seed = self._seed, None
        super().reset(seed=seed)
        self.games.reset(seed)
        self.seats = self._learner_seats()
        self._pending[:] = False
        return self._observe(None), self._infos()

    def step(self, actions: Any) -> tuple[Any, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """The learner's placement in every game (one grid index each), then the opponents'."""
        games = self.games
        pending = self._pending
        if pending.any():
            live = ~pending
            games.step(actions, games=live)  # checks every action first; raises with no game changed
            games.reset(games=pending)
            self.seats[pending] = self._learner_seats()[pending]
            ended = games.terminated & live
        else:
            games.step(actions)
            ended = games.terminated.copy()
        rewards = np.where(ended, games.rewards[self._range, self.seats], 0).astype(np.float32)
        infos: dict[str, Any]
        if not ended.any():
            self._pending = np.zeros(self.num_envs, dtype=bool)
            return (self._observe(None), rewards, ended, np.zeros(self.num_envs, dtype=bool),
                    self._infos())
        finals = {i: self._final(i) for i in np.flatnonzero(ended).tolist()}
        if self.autoreset_mode == AutoresetMode.NEXT_STEP:
            self._pending = ended.copy()  # the caller owns `ended`
            observations = self._observe(finals)
            infos = self._infos()
            scores = np.zeros((self.num_envs, NUM_SEATS), dtype=np.int64)
            for i, (_, info) in finals.items():
                scores[i] = info["scores"]
            infos["scores"], infos["_scores"] = scores, ended.copy()
            return observations, rewards, ended, np.zeros(self.num_envs, dtype=bool), infos
        games.reset(games=ended)
        self.seats[ended] = self._learner_seats()[ended]
        infos = self._infos()
        final_obs = np.empty(self.num_envs, dtype=object)
        final_info = np.empty(self.num_envs, dtype=object)
        for i, (observation, info) in finals.items():
            final_obs[i], final_info[i] = observation, info
        infos.update({"final_obs": final_obs, "_final_obs": ended.copy(),
                      "final_info": final_info, "_final_info": ended.copy()})
        return self._observe(None), rewards, ended, np.zeros(self.num_envs, dtype=bool), infos

    def action_masks(self) -> np.ndarray:
        """The learner's legal actions in every game, bool (num_envs, 36400) (a view with
        copy=False)."""
        mask = self.games.legal_action_mask
        assert mask is not None
        return mask.copy() if self.copy else mask

    def sample_legal_actions(self) -> np.ndarray:
        """One uniformly random legal action per game for the learner, drawn in C++ (0 where a
        finished game waits for its reset)."""
        return self.games.sample_actions("random")

    def close_extras(self, **kwargs: Any) -> None:
        """Nothing to release."""

    # --- helpers ---------------------------------------------------------------------------------

    def _learner_seats(self) -> np.ndarray:
        # Several learner seats are not offered here; the one learner's seat in each game.
        return np.argmax(self.games.lineup == SEATS.index("learner"), axis=1).astype(np.int64)

    def _final(self, i: int) -> tuple[Any, dict[str, Any]]:
        """Game i's last observation from the learner's seat, and its info."""
        seat = int(self.seats[i])
        game = self.games.game(i)  # still finished: the engine keeps it until reset
        arrays = observation_arrays(game.observe(seat), self.observation_mode, self.channels_last)
        observation = (arrays["observation"].view(np.uint8) if self.observation_mode == "full"
                       else {key: value.view(np.uint8) for key, value in arrays.items()})
        return observation, {"seat": seat, "scores": game.scores}

    def _observe(self, finals: dict[int, tuple[Any, dict[str, Any]]] | None) -> Any:
        games = self.games
        assert games.observation is not None and games.pieces is not None and games.done is not None
        board = games.observation
        if self.channels_last:
            board = board.transpose(0, 2, 3, 1)
        # A finished game's arrays are in the frame of whoever was to move: its rows are replaced
        # by the learner's last view, so those steps always copy.
        copy = self.copy or finals is not None
        if copy:
            board = np.ascontiguousarray(board) if self.channels_last else board.copy()
        if self.observation_mode == "full":
            if finals:
                for i, (observation, _) in finals.items():
                    board[i] = observation
            return board
        result = {"board": board, "pieces": games.pieces.copy() if copy else games.pieces,
                  "done": games.done.copy() if copy else games.done}
        if finals:
            for i, (observation, _) in finals.items():
                for key in result:
                    result[key][i] = observation[key]
        return result

    def _infos(self) -> dict[str, Any]:
        return {"action_mask": self.action_masks(), "seat": self.seats.copy()}


def make_vec(num_envs: int, seat: int | str = 0, opponents: str | Sequence[str] = "random",
             reward_mode: str = "win_share", observation: str = "compact",
             channels_last: bool = False, threads: int | None = None,
             seed: int | None = None, autoreset_mode: str = "next_step",
             copy: bool = True) -> VectorSingleAgentEnv:
    """`num_envs` single-agent games on the batched engine; see `VectorSingleAgentEnv`."""
    return VectorSingleAgentEnv(num_envs, seat=seat, opponents=opponents, reward_mode=reward_mode,
                                observation=observation, channels_last=channels_last,
                                threads=threads, seed=seed, autoreset_mode=autoreset_mode,
                                copy=copy)
