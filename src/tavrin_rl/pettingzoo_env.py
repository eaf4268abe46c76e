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

Actions are grid indexes of the (91, 20, 20) action grid, `Discrete(36400)`. Rewards are 0 until
the game is over, then every agent receives `outcome(reward_mode)`. An agent that runs out of
moves is terminated at once, but keeps its place in `agents` (its game turns are passed for it)
until the game is over: its final reward depends on how the others finish. Then every agent is
stepped once more with None and removed, PettingZoo's dead-step convention.

Needs numpy, gymnasium and pettingzoo: `pip install tavrin_rl[pettingzoo]`.
"""

from __future__ import annotations

import sys
from typing import Any

import gymnasium
import numpy as np
from gymnasium import spaces
from gymnasium.utils import EzPickle, seeding
from pettingzoo import AECEnv
from pettingzoo.utils import wrappers

from tavrin_rl import PyObservation, PyTavrin
from tavrin_rl.board import cell_owners, picture
from tavrin_rl.catalogue import BOARD_SIDE, NUM_ACTIONS, PIECE_NAMES

NUM_SEATS = 4
NUM_KINDS = len(PIECE_NAMES)
# Channel ranges of the "observation" array.
OCCUPIED = slice(0, 4)
CORNERS = slice(4, 8)
BLOCKED = slice(8, 12)
PIECES = slice(12, 12 + NUM_SEATS * NUM_KINDS)
DONE = slice(PIECES.stop, PIECES.stop + NUM_SEATS)
NUM_CHANNELS = DONE.stop

# rgb_array: pixels per cell, and the colours of free cells, grid lines and agents 0 to 3
# (the hues of `render`'s blue, yellow, red and green).
CELL_PIXELS = 16
FREE_RGB = (236, 236, 236)
GRID_RGB = (150, 150, 150)
AGENT_RGB = ((40, 90, 220), (235, 195, 30), (215, 50, 45), (40, 165, 75))

RENDER_MODES = ("human", "ansi", "rgb_array")

ObsDict = dict[str, np.ndarray]


def observation_planes(observation: PyObservation) -> np.ndarray:
    """The (100, 20, 20) int8 "observation" array of one `PyObservation` (channels above)."""
    planes = np.empty((NUM_CHANNELS, BOARD_SIDE, BOARD_SIDE), dtype=np.int8)
    board = (NUM_SEATS, BOARD_SIDE, BOARD_SIDE)
    planes[OCCUPIED] = np.frombuffer(observation.observation, dtype=np.int8).reshape(board)
    planes[CORNERS] = np.frombuffer(observation.corners, dtype=np.int8).reshape(board)
    planes[BLOCKED] = np.frombuffer(observation.blocked, dtype=np.int8).reshape(board)
    planes[PIECES] = np.frombuffer(observation.pieces, dtype=np.int8)[:, None, None]
    planes[DONE] = np.frombuffer(observation.done, dtype=np.int8)[:, None, None]
    return planes


def board_image(state: bytes, cell_pixels: int = CELL_PIXELS) -> np.ndarray:
    """An RGB picture (uint8, height x width x 3) of the board in `state` (`to_bytes()`), one
    colour per agent, oriented as `render` draws it."""
    palette = np.array((*AGENT_RGB, FREE_RGB), dtype=np.uint8)  # index -1 picks FREE_RGB
    owners = np.array(cell_owners(state), dtype=np.intp)
    image = np.repeat(np.repeat(palette[owners], cell_pixels, axis=0), cell_pixels, axis=1)
    image[::cell_pixels, :] = GRID_RGB
    image[:, ::cell_pixels] = GRID_RGB
    image[-1, :] = GRID_RGB
    image[:, -1] = GRID_RGB
    return image


def env(**kwargs: Any) -> AECEnv:
    """The wrapped environment, as PettingZoo's classic games build theirs: an illegal action
    ends the game with `illegal_reward` for the offender (default: below any outcome of the
    reward mode), out-of-range actions raise, and calls out of order are reported."""
    illegal_reward = kwargs.pop("illegal_reward", None)
    environment: AECEnv = raw_env(**kwargs)
    if illegal_reward is None:
        illegal_reward = -90.0 if environment.unwrapped.reward_mode == "score" else -1.0
    environment = wrappers.TerminateIllegalWrapper(environment, illegal_reward=illegal_reward)
    environment = wrappers.AssertOutOfBoundsWrapper(environment)
    environment = wrappers.OrderEnforcingWrapper(environment)
    return environment


class raw_env(AECEnv, EzPickle):  # noqa: N801 (PettingZoo's name for the unwrapped class)
    """The unwrapped environment; see the module documentation."""

    metadata: dict[str, Any] = {
        "render_modes": list(RENDER_MODES),
        "name": "tavrin_v0",
        "is_parallelizable": False,
        "render_fps": 2,
    }

    def __init__(self, reward_mode: str = "win_share", render_mode: str | None = None) -> None:
        EzPickle.__init__(self, reward_mode=reward_mode, render_mode=render_mode)
        super().__init__()
        if reward_mode not in PyTavrin.reward_modes:
            raise ValueError(f"unknown reward mode {reward_mode!r}, "
                             f"choose from {', '.join(PyTavrin.reward_modes)}")
        if render_mode is not None and render_mode not in RENDER_MODES:
            raise ValueError(f"unknown render mode {render_mode!r}, "
                             f"choose from {', '.join(RENDER_MODES)}")
        self.reward_mode = reward_mode
        self.render_mode = render_mode
        self.game = PyTavrin()
        self.possible_agents = [f"player_{i}" for i in range(NUM_SEATS)]
        self.agents = self.possible_agents[:]
        self._index = {agent: i for i, agent in enumerate(self.possible_agents)}
        self.action_spaces = {agent: spaces.Discrete(NUM_ACTIONS) for agent in self.agents}
        self.observation_spaces = {
            agent: spaces.Dict({
                "observation": spaces.Box(0, 1, (NUM_CHANNELS, BOARD_SIDE, BOARD_SIDE),
                                          dtype=np.int8),
                "action_mask": spaces.Box(0, 1, (NUM_ACTIONS,), dtype=np.int8),
            })
            for agent in self.agents
        }
        self.state_space = spaces.Box(0, 1, (NUM_CHANNELS, BOARD_SIDE, BOARD_SIDE), dtype=np.int8)
        self._start_episode()

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Space[Any]:
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

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        # The game has no randomness; the seed only seeds `np_random`, as Gymnasium expects.
        if seed is not None:
            self.np_random, self.np_random_seed = seeding.np_random(seed)
        self._start_episode()

    def observe(self, agent: str) -> ObsDict:
        observation = self.game.observe(self._index[agent])
        return {
            "observation": observation_planes(observation),
            "action_mask": np.frombuffer(observation.action_mask, dtype=np.int8).copy(),
        }

    def state(self) -> np.ndarray:
        """The whole game as player_0 sees it: seats are agents and the frame is the board."""
        return observation_planes(self.game.observe(0))

    def step(self, action: Any) -> None:
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        # A rejected action raises AssertionError "Invalid action: ..." and changes nothing.
        self.game.step(action)
        self._clear_rewards()
        # Agents out of moves do not choose: their turns in the game are passed for them.
        while not self.game.is_over and self.game.terminations[self.game.agent_selection]:
            self.game.step(None)
        for index, finished in enumerate(self.game.terminations):
            name = self.possible_agents[index]
            if finished and name in self.terminations:
                self.terminations[name] = True
        if self.game.is_over:
            outcome = self.game.outcome(self.reward_mode)
            assert outcome is not None
            for name in self.agents:
                self.rewards[name] = outcome[self._index[name]]
        # After the last placement this is the first agent to take its dead step.
        self.agent_selection = self.possible_agents[self.game.agent_selection]
        self._accumulate_rewards()
        if self.render_mode == "human":
            self.render()

    def render(self) -> None | np.ndarray | str:
        if self.render_mode is None:
            gymnasium.logger.warn("You are calling render method without specifying any "
                                  "render mode.")
            return None
        if self.render_mode == "ansi":
            return picture(self.game.to_bytes())
        if self.render_mode == "rgb_array":
            return board_image(self.game.to_bytes())
        sys.stdout.flush()  # `render` writes to file descriptor 1 behind Python's buffer
        self.game.render()
        return None

    def close(self) -> None:
        pass
