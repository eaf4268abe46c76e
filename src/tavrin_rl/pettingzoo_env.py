"""The game as a PettingZoo AEC environment, in the style of PettingZoo's classic board games.

    import tavrin_rl
    env = tavrin_rl.env(reward_mode="win_share", render_mode="ansi")

Agents are "player_0" to "player_3" (agent index 0 to 3, moving in that order). `observe(agent)`
returns {"observation": int8 array (100, 20, 20), "action_mask": int8 array (36400,)}, both in that
agent's own frame (its start corner at row 0, column 0; the other agents follow in turn order):

    channels  0-3   the cells held by seat 0 (the observer), 1, 2 and 3
    channels  4-7   each seat's corner cells: free cells its next piece can attach to
    channels  8-11  each seat's blocked cells: cells it can never fill
    channels 12-95  remaining pieces: channel 12 + 21 * seat + kind is all ones while that seat
                    still holds the kind (kinds in `PyTavrin.piece_names` order)
    channels 96-99  each seat's out-of-moves flag, as a constant plane

`observation="compact"` drops the 88 constant planes: {"observation": {"board": uint8 (12, 20, 20)
(channels 0-11 above), "pieces": uint8 (4, 21), "out_of_moves": uint8 (4,)}, "action_mask"}. The three
arrays sit under "observation", PettingZoo's key, so that libraries that read only
"observation" and "action_mask" (Tianshou's `PettingZooEnv`) keep the pieces and out-of-moves flags. `channels_last=True` gives the
boards as uint8 (20, 20, C) images for convolutional policies.

Actions are grid indexes of the (91, 20, 20) action grid, `Discrete(36400)`. An agent that runs out
of moves is never selected again: its turns are passed inside the game. Rewards and terminations
stay 0 and False for everyone until the game is over; then every agent is terminated in the same
step, with its final reward `outcome(reward_mode)`, and is stepped once more with None and removed
(PettingZoo's dead step). No reward arrives after an agent's termination.

Needs numpy, gymnasium and pettingzoo: `pip install '.[pettingzoo]'`.
"""

from __future__ import annotations

import copy
from typing import Any

import numpy as np

from tavrin_rl._extras import needs_extra

try:
    from gymnasium import spaces
    from gymnasium.utils import seeding
    from pettingzoo import AECEnv
    from pettingzoo.utils.env_logger import EnvLogger
    from pettingzoo.utils.wrappers import OrderEnforcingWrapper
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl's PettingZoo environment", "pettingzoo", _error) from _error

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents import pass_turns
from tavrin_rl.catalogue import NUM_ACTIONS
from tavrin_rl.gym.observations import ObservationMode, RenderMode, RewardMode
from tavrin_rl.gym.observations import (  # noqa: F401 (names of this module since its start)
    AGENT_RGB, AGENTS, BLOCKED, BOARD_CHANNELS, CELL_PIXELS, CORNERS, DONE, FREE_RGB, GRID_RGB,
    NUM_CHANNELS, NUM_KINDS, NUM_SEATS, OBSERVATION_MODES, OCCUPIED, PIECES, RENDER_MODES,
    FramePacer, ObsDict, action_index, board_image, board_planes, check_options, check_reward,
    checked_illegal_reward,
    observation_arrays, observation_planes, observation_space_of, placed_cells, render_game,
)

_GAME_OVER = "the game is over and every agent has left: call reset() to play again"


def env(reward_mode: RewardMode = "win_share", render_mode: RenderMode | None = None,
        illegal_reward: float | None = None, observation: ObservationMode = "full",
        channels_last: bool = False) -> AECEnv:
    """The wrapped environment, the one to train with.

    reward_mode: "score", "win_share" or "rank": each agent's final reward is the game's
        `outcome(reward_mode)`.
    render_mode: None, "human" (prints the board after every step, paced to
        `metadata["render_fps"]`), "ansi" (`render()` returns the picture) or "rgb_array".
    illegal_reward: what an agent receives for an illegal placement, which ends the game for
        everyone (the others receive 0). Default: -1, or -90 in "score" mode, below any outcome.
    observation: "full" (100 planes) or "compact" (board planes, pieces and done flags apart).
    channels_last: boards as uint8 (20, 20, C) images instead of (C, 20, 20).

    Actions must be integers (int, bool or numpy integer) in [0, 36400) for an agent that plays,
    and None for the dead step; anything else raises TypeError or ValueError and changes nothing.
    Calls before `reset()` or after the game is over raise.
    """
    if illegal_reward is None:
        check_options(reward_mode, render_mode, observation, channels_last)
    illegal_reward = checked_illegal_reward(illegal_reward, reward_mode)
    return CheckedEnv(raw_env(reward_mode, render_mode, observation, channels_last),
                      illegal_reward)


class raw_env(AECEnv):  # noqa: N801 (PettingZoo's name for the unwrapped class)
    """The unwrapped environment; see the module documentation and `env`.

    Unlike `env()`, it hands actions to the game as they are: an illegal one raises the game's
    AssertionError "Invalid action: Action index not available" and changes nothing. Copies
    (`copy.copy`, `copy.deepcopy`, pickle) hold the whole position and bookkeeping and are
    independent of the original.
    """

    metadata: dict[str, Any] = {
        "render_modes": list(RENDER_MODES),
        "name": "tavrin_v0",
        "is_parallelizable": False,
        "render_fps": 2,
    }

    def __init__(self, reward_mode: RewardMode = "win_share", render_mode: RenderMode | None = None,
                 observation: ObservationMode = "full", channels_last: bool = False) -> None:
        check_options(reward_mode, render_mode, observation, channels_last)
        super().__init__()
        self.reward_mode = reward_mode
        self.render_mode = render_mode
        self.observation_mode = observation
        self.channels_last = channels_last
        self.game = PyTavrin()
        self.possible_agents = list(AGENTS)
        self.agents = self.possible_agents[:]
        self._index = {agent: i for i, agent in enumerate(self.possible_agents)}
        self.action_spaces = {agent: spaces.Discrete(NUM_ACTIONS) for agent in self.agents}
        arrays = observation_space_of(observation, channels_last)
        seen: Any = arrays["observation"] if observation == "full" else spaces.Dict(arrays)
        self.observation_spaces = {
            agent: spaces.Dict({
                "observation": seen,
                "action_mask": spaces.Box(0, 1, (NUM_ACTIONS,), dtype=np.int8),
            })
            for agent in self.agents
        }
        self.state_space = observation_space_of("full", channels_last)["observation"]
        self._pacer = FramePacer()
        self._last_cells: list[tuple[int, int]] = []
        self._start_episode()

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        """The Dict space of `observe(agent)`."""
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Space[Any]:
        """`Discrete(36400)`: grid indexes in the agent's own frame."""
        return self.action_spaces[agent]

    def _start_episode(self) -> None:
        self.game.reset()
        self.agents = self.possible_agents[:]
        self.rewards = {agent: 0.0 for agent in self.agents}
        self._cumulative_rewards = {agent: 0.0 for agent in self.agents}
        self.terminations = {agent: False for agent in self.agents}
        self.truncations = {agent: False for agent in self.agents}
        self.infos: dict[str, dict[str, Any]] = {agent: {} for agent in self.agents}
        self.agent_selection = self.possible_agents[self.game.agent_selection]
        self._skip_agent_selection = None
        self._last_cells = []

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        """Starts a new game. The game has no randomness; `seed` only seeds `np_random`, as
        Gymnasium expects."""
        if seed is not None:
            self.np_random, self.np_random_seed = seeding.np_random(seed)
        self._start_episode()

    def observe(self, agent: str) -> ObsDict:
        """The agent's view in its own frame, with its action mask (int8; `.view(bool)` for a
        fast boolean view)."""
        observation = self.game.observe(self._index[agent])
        arrays = observation_arrays(observation, self.observation_mode, self.channels_last)
        seen: Any = arrays["observation"] if self.observation_mode == "full" else arrays
        return {"observation": seen,
                "action_mask": np.frombuffer(observation.action_mask, dtype=np.int8).copy()}

    def state(self) -> np.ndarray:
        """The whole game as player_0 sees it (all 100 planes): seats are agents and the frame is
        the board."""
        return observation_arrays(self.game.observe(0), "full", self.channels_last)["observation"]

    def last(self, observe: bool = True) -> tuple[ObsDict | None, float, bool, bool,
                                                  dict[str, Any]]:
        """PettingZoo's `last`; raises RuntimeError once every agent has left."""
        if not self.agents:
            raise RuntimeError(_GAME_OVER)
        return super().last(observe)

    def step(self, action: Any) -> None:
        """Places the selected agent's piece (grid index `action`), or removes a terminated agent
        (`action` None)."""
        if not self.agents:
            raise RuntimeError(_GAME_OVER)
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        # A rejected action raises AssertionError "Invalid action: ..." and changes nothing.
        self.game.step(action)
        self._after_placement(agent, action)

    def _place(self, index: int) -> bool:
        """Places grid index `index` for the selected (live) agent; False, with nothing changed,
        when the game rejects it."""
        agent = self.agent_selection
        try:
            self.game.step(index)
        except AssertionError:
            return False
        self._after_placement(agent, index)
        return True

    def _after_placement(self, agent: str, index: Any) -> None:
        if self.render_mode is not None:
            self._last_cells = placed_cells(self._index[agent], int(index))
        self._cumulative_rewards[agent] = 0.0
        self._clear_rewards()
        game = self.game
        # Agents out of moves are never selected: their turns are passed inside the game.
        pass_turns(game)
        if game.is_over:
            outcome = game.outcome(self.reward_mode)
            assert outcome is not None
            for name in self.agents:
                self.rewards[name] = outcome[self._index[name]]
                self.terminations[name] = True
        # After the last placement this is the first agent to take its dead step.
        self.agent_selection = self.possible_agents[game.agent_selection]
        self._accumulate_rewards()
        if self.render_mode == "human":
            self._pacer.wait(self.metadata.get("render_fps"))
            self.render()

    def _end_by_illegal_move(self, reward: float) -> None:
        """Ends the game for everyone: the selected agent receives `reward`, the others 0."""
        offender = self.agent_selection
        self._cumulative_rewards[offender] = 0.0
        self._clear_rewards()
        self.rewards[offender] = reward
        for name in self.agents:
            self.terminations[name] = True
        self._accumulate_rewards()
        self._deads_step_first()

    def render(self) -> None | np.ndarray | str:
        """The board: printed ("human"), as text ("ansi") or as an RGB image ("rgb_array")."""
        return render_game(self.game, self.render_mode, self._last_cells)

    def close(self) -> None:
        """Nothing to release."""

    def __copy__(self) -> raw_env:
        # A shallow copy would share the game and the dictionaries: never what a caller wants.
        return copy.deepcopy(self)


class CheckedEnv(OrderEnforcingWrapper):
    """`raw_env` as `env()` returns it: PettingZoo's order checks, actions checked before they
    reach the game, and an illegal placement ending the game with `illegal_reward` for the
    offender, as PettingZoo's classic games do."""

    def __init__(self, environment: raw_env, illegal_reward: float) -> None:
        super().__init__(environment)
        self.illegal_reward = illegal_reward

    def step(self, action: Any) -> None:
        """See `env`."""
        if not self._has_reset:
            EnvLogger.error_step_before_reset()
        raw: raw_env = self.env.unwrapped
        if not raw.agents:
            raise RuntimeError(_GAME_OVER)
        self._has_updated = True
        agent = raw.agent_selection
        if raw.terminations[agent] or raw.truncations[agent]:
            if action is not None:
                raise ValueError(f"{agent} is terminated: step it with None, not {action!r}")
            raw.step(None)
            return
        if action is None:
            raise ValueError(f"{agent} is still playing: None only steps a terminated agent")
        index = action_index(action)
        if not raw._place(index):
            EnvLogger.warn_on_illegal_move()
            raw._end_by_illegal_move(self.illegal_reward)

    def last(self, observe: bool = True) -> tuple[ObsDict | None, float, bool, bool,
                                                  dict[str, Any]]:
        """PettingZoo's `last`; raises before `reset()` and once every agent has left."""
        if not self._has_reset:
            EnvLogger.error_observe_before_reset()
        return self.env.last(observe)

    def __copy__(self) -> CheckedEnv:
        return copy.deepcopy(self)

    def __str__(self) -> str:
        return str(self.env)
