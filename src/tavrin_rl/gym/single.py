"""One seat of the game as a single-agent Gymnasium environment, the other three played by
built-in or given opponents."""

from __future__ import annotations

import copy
from collections.abc import Callable, Sequence
from typing import Any, Union

import gymnasium
import numpy as np
from gymnasium import spaces

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents import AGENTS, Agent, Stream, make_agent, pass_turns
from tavrin_rl.catalogue import NUM_ACTIONS
from tavrin_rl.gym.observations import (
    EPISODE_OVER, NUM_SEATS, SEEDED_RUN, RENDER_MODES, FramePacer, action_index, check_options, check_seat, checked_illegal_reward,
    observation_arrays, observation_space_of, render_game, ObservationMode, OpponentName,
    RenderMode, RewardMode, Seat,
)

# An opponent callable: (observation in the learner's format, int8 action mask) -> grid index.
OpponentFn = Callable[[Any, np.ndarray], Any]
OpponentSpec = Union[OpponentName, OpponentFn]
BUILT_IN = AGENTS

__all__ = ["SingleAgentEnv"]


class SingleAgentEnv(gymnasium.Env[Any, np.int64]):
    """The game from one seat: each `step` places the learner's piece and then plays the other
    three seats until the learner is to move again or the game is over.

    seat: 0 to 3 (the learner's agent index, 0 moves first), or "random" to draw one at every
        reset from the game's seeded stream.
    opponents: a built-in agent ("random": a uniformly random legal placement; "greedy": the
        largest piece that fits, placed at random; "reach": placed to reach farthest), played by
        the engine's rules, or a callable taking (observation, action_mask) and returning
        a grid index; the observation is in the learner's format, seen from the opponent's own
        frame, and the mask is its int8 (36400,) array. Also a sequence of three of these, for
        the seats after the learner's in turn order.
    reward_mode: "score", "win_share" (default) or "rank": the learner's reward when the game is
        over, `outcome(reward_mode)[seat]`; 0 on every other step.
    observation: "compact" (default): a Dict of "board" uint8 (12, 20, 20), "pieces" uint8
        (4, 21) and "out_of_moves" uint8 (4,) (each seat's flag); "full": the (100, 20, 20) planes of the PettingZoo env,
        as uint8.
    channels_last: boards as uint8 (20, 20, C) images.
    illegal_reward: the learner's reward for an illegal placement, which ends the episode.
        Default -1, or -90 in "score" mode.
    render_mode: None, "human", "ansi" or "rgb_array", as in the PettingZoo environment.

    Actions are grid indexes, `Discrete(36400)`. The legal ones are `action_masks()` (bool, the
    convention of sb3-contrib's MaskablePPO) and `info["action_mask"]` (int8, for
    `Discrete.sample(mask=...)`). An episode ends (terminated) when the game is over or after an
    illegal placement; it is never truncated. `info` also holds "seat", and at the end "scores".

    `reset(seed=s)` plays the game `make_vec(...).reset(seed=s - i)` plays as its game i: the
    seat and the built-in opponents' choices come from one stream, which a seed starts anew and a
    reset without one continues.
    """

    metadata: dict[str, Any] = {"render_modes": list(RENDER_MODES), "render_fps": 2}

    def __init__(self, seat: Seat = 0,
                 opponents: OpponentSpec | Sequence[OpponentSpec] = "random",
                 reward_mode: RewardMode = "win_share", observation: ObservationMode = "compact",
                 channels_last: bool = False, illegal_reward: float | None = None,
                 render_mode: RenderMode | None = None) -> None:
        check_options(reward_mode, render_mode, observation, channels_last)
        check_seat(seat)
        self.opponent_specs = self._check_opponents(opponents)
        self.illegal_reward = checked_illegal_reward(illegal_reward, reward_mode)
        self.seat_option = seat
        self.reward_mode = reward_mode
        self.observation_mode = observation
        self.channels_last = channels_last
        self.render_mode = render_mode
        self.action_space = spaces.Discrete(NUM_ACTIONS)
        arrays = observation_space_of(observation, channels_last)
        self.observation_space = (spaces.Box(0, 1, arrays["observation"].shape, dtype=np.uint8)
                                  if observation == "full" else spaces.Dict(arrays))
        self.game = PyTavrin()
        self.seat = 0 if seat == "random" else int(seat)
        self._mask = bytes(NUM_ACTIONS)
        self._over = True
        self._opponents: list[Any] = []
        self._stream: Stream | None = None
        self._pacer = FramePacer()

    @staticmethod
    def _check_opponents(opponents: Any) -> tuple[OpponentSpec, ...]:
        specs = ((opponents,) * (NUM_SEATS - 1)
                 if isinstance(opponents, str) or callable(opponents)
                 else tuple(opponents) if isinstance(opponents, Sequence) else None)
        if specs is None or len(specs) != NUM_SEATS - 1:
            raise ValueError(f"opponents must be one of {', '.join(BUILT_IN)}, a callable "
                             "(observation, action_mask) -> action, or a sequence of three of these, "
                             f"not {opponents!r}")
        for spec in specs:
            if not callable(spec):
                if not isinstance(spec, str) or spec.partition(":")[0] not in BUILT_IN:
                    raise ValueError(f"unknown opponent {spec!r}, choose from "
                                     f"{', '.join(BUILT_IN)} or pass a callable")
                make_agent(spec)  # refused here, naming what is wrong (a policy file is read once)
        return specs

    # --- Gymnasium API ---------------------------------------------------------------------------

    def reset(self, *, seed: int | None = None,
              options: dict[str, Any] | None = None) -> tuple[Any, dict[str, Any]]:
        """Starts a new game, draws the seat when it is "random", and plays the opponents up to
        the learner's first turn."""
        super().reset(seed=seed)
        # One stream draws the seat and the built-in opponents' choices, as the batched engine
        # draws a game's: a seed starts it anew, otherwise it goes on from the last game.
        if seed is not None:
            self._stream = Stream.for_game(SEEDED_RUN, int(seed) % 2**64)
        elif self._stream is None:
            self._stream = Stream.from_seed(None)
        stream = self._stream
        if self.seat_option == "random":
            # The engine turns the lineup (learner first) by a draw t, which seats the learner at -t.
            self.seat = -stream.below(NUM_SEATS) % NUM_SEATS
        self._opponents = []
        for spec in self.opponent_specs:
            opponent = make_agent(spec) if isinstance(spec, str) else spec
            if isinstance(opponent, Agent):
                opponent.stream = stream
            self._opponents.append(opponent)
        self.game.reset()
        # Over until the opponents have moved: an opponent that raises (or Ctrl-C) leaves an
        # opponent to move, and the learner's next action must not be played in its place.
        self._over = True
        self._play_opponents()
        self._over = False
        return self._view()

    def step(self, action: Any) -> tuple[Any, float, bool, bool, dict[str, Any]]:
        """Places the learner's piece (a grid index), then plays the opponents."""
        if self._over:
            raise RuntimeError(EPISODE_OVER)
        if action is None:
            raise TypeError("an action is an integer grid index, not None")
        index = action_index(action)
        try:
            self.game.step(index)
        except AssertionError:
            self._over = True
            observation, info = self._view()
            info["illegal_action"] = True
            info["action_mask"][:] = 0
            return observation, self.illegal_reward, True, False, info
        self._over = True  # until the opponents have moved (see reset)
        self._play_opponents()
        self._over = False
        observation, info = self._view()
        reward = 0.0
        if self.game.is_over:
            self._over = True
            outcome = self.game.outcome(self.reward_mode)
            assert outcome is not None
            reward = outcome[self.seat]
        if self.render_mode == "human":
            self._pacer.wait(self.metadata.get("render_fps"))
            self.render()
        return observation, reward, self._over, False, info

    def action_masks(self) -> np.ndarray:
        """The learner's legal actions now, as a bool (36400,) array (all False once the episode
        is over)."""
        if self._over:
            return np.zeros(NUM_ACTIONS, dtype=bool)
        return np.frombuffer(self._mask, dtype=bool).copy()

    def render(self) -> None | np.ndarray | str:
        """The board, as the PettingZoo environment draws it."""
        return render_game(self.game, self.render_mode)

    def close(self) -> None:
        """Nothing to release."""

    def __copy__(self) -> SingleAgentEnv:
        # A shallow copy would share the game: never what a caller wants.
        return copy.deepcopy(self)

    # --- the other seats -------------------------------------------------------------------------

    def _play_opponents(self) -> None:
        game, seat = self.game, self.seat
        while True:
            pass_turns(game)
            agent = game.agent_selection
            if game.is_over or agent == seat:
                return
            opponent = self._opponents[(agent - seat) % NUM_SEATS - 1]
            if isinstance(opponent, Agent):
                action = opponent.act(None, game=game)
            else:
                observed = game.observe(agent)
                mask = np.frombuffer(observed.action_mask, dtype=np.int8).copy()
                action = opponent(self._format(observed), mask)
            try:
                game.step(action)
            except (AssertionError, TypeError, OverflowError) as error:
                raise ValueError(f"opponent {opponent!r} at agent index {agent} chose "
                                 f"{action!r}, not a legal action") from error

    def _format(self, observed: Any) -> Any:
        arrays = observation_arrays(observed, self.observation_mode, self.channels_last)
        if self.observation_mode == "full":
            return arrays["observation"].view(np.uint8)
        return arrays

    def _view(self) -> tuple[Any, dict[str, Any]]:
        observed = self.game.observe(self.seat)
        self._mask = observed.action_mask
        info: dict[str, Any] = {
            "action_mask": np.frombuffer(self._mask, dtype=np.int8).copy(),
            "seat": self.seat,
        }
        if self.game.is_over:
            info["scores"] = self.game.scores
        return self._format(observed), info

