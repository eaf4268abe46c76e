"""`SingleAgentEnv` many times over, as one Gymnasium vector environment on the batched engine.

    from tavrin_rl.gym import make_vec
    envs = make_vec(64, seat="random", opponents="greedy", seed=0)
    observations, infos = envs.reset(seed=0)
    actions = envs.sample_legal_actions()          # or a masked policy over infos["action_mask"]
    observations, rewards, terminations, truncations, infos = envs.step(actions)

Every game runs in `tavrin_rl.vector.VectorGames`; the opponents' placements are drawn and applied
in C++ (`sample_actions`), for every game at once, until the learner is to move again in each.
The games are played in an engine that writes no observations or masks; once per step a second
engine loads their states and writes the learner's observations and masks, so the opponents'
placements cost no observation work.
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
    NUM_SEATS, check_options, observation_arrays, observation_space_of,
)
from tavrin_rl.vector import POLICIES, VectorGames

__all__ = ["VectorSingleAgentEnv", "make_vec"]


class VectorSingleAgentEnv(VectorEnv):
    """`num_envs` games, the learner in one seat of each, the opponents moved by the engine.

    seat: 0 to 3, or "random" to draw each game's seat whenever that game starts.
    opponents: "random" or "greedy" (the engine's policies), or a sequence of three, for the
        seats after the learner's in turn order.
    reward_mode, observation ("compact" by default, or "full"), channels_last: as in
        `SingleAgentEnv`; observations are uint8 and batched on a first axis of `num_envs`.
    threads: the engine's threads (default: the CPUs this process may use); seed: the seed of the
        first reset (the opponents' choices and the random seats follow from it).

    Autoreset is Gymnasium's same-step mode (`metadata["autoreset_mode"]`): on the step that ends
    a game, `terminations[i]` is True and `rewards[i]` is the learner's outcome, while the
    observation already shows the next game; the finished game's last observation and info are in
    `infos["final_obs"]` and `infos["final_info"]` (with their masks `infos["_final_obs"]` and
    `infos["_final_info"]`). `infos["action_mask"]` (bool (num_envs, 36400)) and `action_masks()`
    give the learner's legal actions; `infos["seat"]` its seat in each game. An illegal action
    raises ValueError naming the game, and no game changes.
    """

    metadata: dict[str, Any] = {"autoreset_mode": AutoresetMode.SAME_STEP, "render_modes": []}

    def __init__(self, num_envs: int, seat: int | str = 0,
                 opponents: str | Sequence[str] = "random", reward_mode: str = "win_share",
                 observation: str = "compact", channels_last: bool = False,
                 threads: int | None = None, seed: int | None = None) -> None:
        check_options(reward_mode, None, observation, channels_last)
        if seat != "random" and (isinstance(seat, bool) or not isinstance(seat, int)
                                 or not 0 <= seat < NUM_SEATS):
            raise ValueError(f"seat must be 0, 1, 2, 3 or 'random', not {seat!r}")
        policies = (opponents,) * (NUM_SEATS - 1) if isinstance(opponents, str) else opponents
        if (not isinstance(policies, Sequence) or len(policies) != NUM_SEATS - 1
                or any(policy not in POLICIES for policy in policies)):
            raise ValueError(f"opponents must be one of {', '.join(POLICIES)} (the engine's "
                             f"policies) or a sequence of three of them, not {opponents!r}")
        self.games = VectorGames(num_envs, threads=threads, seed=seed, observation=None,
                                 mask=False, reward_mode=reward_mode, autoreset=True)
        # The learner's view: loaded from `games` once per step, never stepped itself.
        self.views = VectorGames(num_envs, threads=threads, seed=seed, observation=observation,
                                 mask=True, reward_mode=reward_mode, autoreset=False)
        # Plays out, one at a time, the games where the learner has run out of moves.
        self.finisher = VectorGames(1, threads=1, seed=seed, observation=None, mask=False,
                                    reward_mode=reward_mode, autoreset=False)
        self._rounds = np.zeros(num_envs, dtype=np.int64)  # opponent moves since the learner's
        self.num_envs = num_envs
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
        self.seats = np.zeros(num_envs, dtype=np.int8)
        self._range = np.arange(num_envs)
        # For tests and tuning: opponent rounds that held some games back, and games played out
        # in the finisher.
        self.holds = 0
        self.played_out = 0
        self._seed = seed

    # --- Gymnasium API ---------------------------------------------------------------------------

    def reset(self, *, seed: int | list[int] | None = None,
              options: dict[str, Any] | None = None) -> tuple[Any, dict[str, Any]]:
        """Starts every game anew and plays the opponents up to the learner's first turn."""
        if isinstance(seed, list):
            seed = seed[0]
        if seed is None and self._seed is not None:
            seed, self._seed = self._seed, None
        super().reset(seed=seed)
        streams = (self.np_random.integers(2**63, size=3).tolist() if seed is not None
                   else [None] * 3)
        for engine, stream in zip((self.games, self.views, self.finisher), streams):
            engine.reset(stream)
        self.seats[:] = self._draw_seats(self.num_envs)
        self._rounds[:] = 0
        self._play_opponents(None, None)
        self.views.load(self.games.to_bytes())
        return self._observe(), self._infos()

    def step(self, actions: Any) -> tuple[Any, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """The learner's placement in every game (one grid index each), then the opponents'."""
        rewards = np.zeros(self.num_envs, dtype=np.float32)
        ended = np.zeros(self.num_envs, dtype=bool)
        finals: dict[int, tuple[Any, dict[str, Any]]] = {}
        self.games.step(actions)  # checks every action first; raises with no game changed
        self._rounds[:] = 0
        self._collect(np.ones(self.num_envs, dtype=bool), rewards, ended, finals)
        self._play_opponents(rewards, (ended, finals))
        self.views.load(self.games.to_bytes())
        infos = self._infos()
        if finals:
            final_obs = np.empty(self.num_envs, dtype=object)
            final_info = np.empty(self.num_envs, dtype=object)
            for i, (observation, info) in finals.items():
                final_obs[i], final_info[i] = observation, info
            infos.update({"final_obs": final_obs, "_final_obs": ended.copy(),
                          "final_info": final_info, "_final_info": ended.copy()})
        return (self._observe(), rewards, ended, np.zeros(self.num_envs, dtype=bool), infos)

    def action_masks(self) -> np.ndarray:
        """The learner's legal actions in every game, bool (num_envs, 36400)."""
        mask = self.views.legal_action_mask
        assert mask is not None
        return mask.copy()

    def sample_legal_actions(self) -> np.ndarray:
        """One uniformly random legal action per game for the learner, drawn in C++."""
        return self.views.sample_actions("random")

    def close_extras(self, **kwargs: Any) -> None:
        """Nothing to release."""

    # --- the other seats -------------------------------------------------------------------------

    def _draw_seats(self, count: int) -> np.ndarray:
        if self.seat_option == "random":
            return self.np_random.integers(NUM_SEATS, size=count)
        return np.full(count, self.seat_option)

    def _sample_opponents(self, movers: np.ndarray) -> np.ndarray:
        first = self.opponent_policies[0]
        actions = self.games.sample_actions(first)
        if any(policy != first for policy in self.opponent_policies):
            position = (movers.astype(np.int64) - self.seats) % NUM_SEATS  # 1 to 3 for opponents
            for k, policy in enumerate(self.opponent_policies[1:], start=2):
                if policy != first:
                    actions = np.where(position == k, self.games.sample_actions(policy), actions)
        return actions

    def _play_opponents(self, rewards: np.ndarray | None,
                        collect: tuple[np.ndarray, dict[int, Any]] | None) -> None:
        games = self.games
        while True:
            movers = games.current_player.copy()
            waiting = movers != self.seats  # an opponent is to move there
            if not waiting.any():
                return
            # After three opponent moves the learner's turn comes back unless it is out of
            # moves. Such games are played out on their own, rather than holding every other
            # game back for up to 80 more rounds.
            stranded = waiting & (self._rounds >= NUM_SEATS - 1)
            if stranded.any():
                self._finish(np.flatnonzero(stranded), rewards, collect)
                continue
            self._rounds[waiting] += 1
            actions = self._sample_opponents(movers)
            held = ~waiting
            if held.any():
                # The engine steps every game; where the learner is already to move, its game
                # is put back afterwards.
                self.holds += 1
                saved = games.to_bytes()
            games.step(actions)
            if rewards is not None and collect is not None:
                self._collect(waiting, rewards, collect[0], collect[1])
            if held.any():
                states = games.to_bytes()
                states[held] = saved[held]
                games.load(states)

    def _finish(self, indexes: np.ndarray, rewards: np.ndarray | None,
                collect: tuple[np.ndarray, dict[int, Any]] | None) -> None:
        """Plays the games `indexes` to their end in the finisher, records them and starts them
        anew in `games`."""
        finisher, states = self.finisher, self.games.to_bytes()
        self.played_out += indexes.size
        for i in indexes.tolist():
            seat = int(self.seats[i])
            finisher.load(states[i:i + 1])
            while not finisher.terminated[0]:
                position = (int(finisher.current_player[0]) - seat) % NUM_SEATS
                finisher.step(finisher.sample_actions(self.opponent_policies[position - 1]))
            if rewards is not None and collect is not None:
                self._record(i, float(finisher.rewards[0, seat]), finisher.game(0), rewards,
                             *collect)
        self.games.reset(games=indexes)
        self.seats[indexes] = self._draw_seats(indexes.size)
        self._rounds[indexes] = 0

    def _collect(self, stepped: np.ndarray, rewards: np.ndarray, ended: np.ndarray,
                 finals: dict[int, Any]) -> None:
        """After an engine step over the `stepped` games: the learner's rewards and last views of
        the games that ended (restarted by the engine), whose seats are then drawn anew."""
        finished = np.flatnonzero(self.games.terminated & stepped)
        if finished.size == 0:
            return
        for i in finished.tolist():
            final = self.games.final_game(i)
            assert final is not None
            self._record(i, float(self.games.rewards[i, self.seats[i]]), final, rewards, ended,
                         finals)
        self.seats[finished] = self._draw_seats(finished.size)
        self._rounds[finished] = 0

    def _record(self, i: int, reward: float, final: Any, rewards: np.ndarray, ended: np.ndarray,
                finals: dict[int, Any]) -> None:
        seat = int(self.seats[i])
        rewards[i] = reward
        ended[i] = True
        arrays = observation_arrays(final.observe(seat), self.observation_mode, self.channels_last)
        observation = (arrays["observation"].view(np.uint8) if self.observation_mode == "full"
                       else arrays)
        finals[i] = (observation, {"seat": seat, "scores": final.scores})

    def _observe(self) -> Any:
        games = self.views
        assert games.observation is not None and games.pieces is not None
        board = games.observation
        if self.channels_last:
            board = board.transpose(0, 2, 3, 1)
        board = np.ascontiguousarray(board)  # a copy: the engine rewrites its arrays in place
        if self.observation_mode == "full":
            return board
        assert games.done is not None
        return {"board": board, "pieces": games.pieces.copy(), "done": games.done.copy()}

    def _infos(self) -> dict[str, Any]:
        return {"action_mask": self.action_masks(), "seat": self.seats.astype(np.int64)}


def make_vec(num_envs: int, seat: int | str = 0, opponents: str | Sequence[str] = "random",
             reward_mode: str = "win_share", observation: str = "compact",
             channels_last: bool = False, threads: int | None = None,
             seed: int | None = None) -> VectorSingleAgentEnv:
    """`num_envs` single-agent games on the batched engine; see `VectorSingleAgentEnv`."""
    return VectorSingleAgentEnv(num_envs, seat=seat, opponents=opponents, reward_mode=reward_mode,
                                observation=observation, channels_last=channels_last,
                                threads=threads, seed=seed)
