"""What the environments share: observation arrays and their spaces, the checks of their
options, and rendering. Needs numpy and gymnasium only.

The channels are laid out by the engine (`catalogue.OBSERVATION_LAYOUT`, listed in
`tavrin_rl.pettingzoo_env`); the compact observation keeps the board groups as "board" and the
pieces and flags as small arrays.
"""

from __future__ import annotations

import math
import numbers
import operator
import sys
import time
from collections.abc import Iterable
from typing import Any, Literal, TypedDict, Union

import gymnasium
import numpy as np
from gymnasium import spaces

from tavrin_rl._tavrin import PyObservation, PyTavrin
from tavrin_rl.board_state import cell_owners
from tavrin_rl.catalogue import BOARD_CHANNELS as BOARD_CHANNELS
from tavrin_rl.catalogue import FLAT_SIZE as FLAT_SIZE
from tavrin_rl.catalogue import NUM_CHANNELS as NUM_CHANNELS
from tavrin_rl.catalogue import (
    BOARD_SIDE, COLOURS, NUM_ACTIONS, NUM_KINDS, NUM_SEATS, OBSERVATION_LAYOUT,
)
from tavrin_rl.catalogue import placed_cells as placed_cells
from tavrin_rl.text_board import draw, use_colour



def _channels(group: str) -> slice:
    first, count = OBSERVATION_LAYOUT[group]  # type: ignore[misc]
    return slice(first, first + count)


# Channel ranges of the "observation" array, as the engine lays them out.
OCCUPIED = _channels("occupied")
CORNERS = _channels("corners")
BLOCKED = _channels("blocked")
PIECES = _channels("pieces")
DONE = _channels("done")

# rgb_array: pixels per cell, and the colours of free cells, grid lines and agents 0 to 3
# (the engine's colour table, which `render` draws with too).
CELL_PIXELS = 16
FREE_RGB = (236, 236, 236)
GRID_RGB = (150, 150, 150)
AGENT_RGB = tuple(rgb for _, _, rgb in COLOURS)  # the engine's colour table

# A seeded game of the single-agent environments is game number `seed` of this run seed on the
# batched engine (`Stream.for_game(SEEDED_RUN, seed)`): `SingleAgentEnv` seeded with s + i then
# plays the game `make_vec`'s game i plays after reset(seed=s), which the engine starts for
# consecutive seeds in one call (first_game=s).
SEEDED_RUN = 0
EPISODE_OVER = "the episode is over: call reset() to start the next one"
RENDER_MODES = ("human", "ansi", "rgb_array")
OBSERVATION_MODES = ("full", "compact")
AGENTS = tuple(f"player_{i}" for i in range(NUM_SEATS))

ObsDict = dict[str, np.ndarray]

# The options' strings, spelled out for editors and type checkers.
RewardMode = Literal["score", "win_share", "rank"]
ObservationMode = Literal["compact", "full"]
RenderMode = Literal["human", "ansi", "rgb_array"]
VectorRenderMode = Literal["ansi", "rgb_array"]
AutoresetModeName = Literal["next_step", "same_step"]
#: An opponent the engine plays; "mcts:PLAYOUTS[:ROLLOUT]" and "policy:PATH" are str too.
OpponentName = Union[Literal["random", "greedy", "reach", "mcts", "baseline"], str]
#: An agent index, or "random": drawn whenever a game starts.
Seat = Union[int, Literal["random"]]


class CompactObservation(TypedDict):
    """observation="compact", one game (a first axis of N in the vector environments)."""

    board: np.ndarray         # uint8 (12, 20, 20): cells, corners, blocked cells of seats 0 to 3
    pieces: np.ndarray        # uint8 (4, 21): 1 while the seat holds the kind
    out_of_moves: np.ndarray  # uint8 (4,): each seat's out-of-moves flag


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


def board_planes(observation: PyObservation, channels_last: bool = False) -> np.ndarray:
    """The 12 board planes (cells, corners, blocked cells of seats 0 to 3) of one `PyObservation`
    as uint8, (12, 20, 20), or (20, 20, 12) with `channels_last`."""
    planes = np.empty((BOARD_CHANNELS, BOARD_SIDE * BOARD_SIDE), dtype=np.uint8)
    planes[OCCUPIED] = np.frombuffer(observation.observation, dtype=np.uint8).reshape(NUM_SEATS, -1)
    planes[CORNERS] = np.frombuffer(observation.corners, dtype=np.uint8).reshape(NUM_SEATS, -1)
    planes[BLOCKED] = np.frombuffer(observation.blocked, dtype=np.uint8).reshape(NUM_SEATS, -1)
    if channels_last:
        return np.ascontiguousarray(planes.T).reshape(BOARD_SIDE, BOARD_SIDE, BOARD_CHANNELS)
    return planes.reshape(BOARD_CHANNELS, BOARD_SIDE, BOARD_SIDE)


def flat_observation(observation: PyObservation) -> np.ndarray:
    """The engine's flat layout of one `PyObservation` as uint8 (FLAT_SIZE,): the board planes
    (`board_planes`), then the pieces and out-of-moves flags, one value per channel."""
    return np.concatenate((board_planes(observation).reshape(-1),
                           np.frombuffer(observation.pieces + observation.done, dtype=np.uint8)))


def observation_arrays(observation: PyObservation, mode: str = "full",
                       channels_last: bool = False) -> ObsDict:
    """One agent's view without its action mask: {"observation": the 100 planes} in "full" mode,
    {"board", "pieces", "out_of_moves"} in "compact" mode (see the module documentation)."""
    if mode == "compact":
        return {
            "board": board_planes(observation, channels_last),
            "pieces": np.frombuffer(observation.pieces, dtype=np.uint8).reshape(
                NUM_SEATS, NUM_KINDS).copy(),
            "out_of_moves": np.frombuffer(observation.done, dtype=np.uint8).copy(),
        }
    planes = observation_planes(observation)
    if channels_last:
        planes = np.ascontiguousarray(planes.view(np.uint8).transpose(1, 2, 0))
    return {"observation": planes}


def observation_space_of(mode: str = "full",
                         channels_last: bool = False) -> dict[str, spaces.Space[Any]]:
    """The spaces of `observation_arrays(..., mode, channels_last)`, by key."""
    def board(channels: int, dtype: Any) -> spaces.Box:
        shape = ((BOARD_SIDE, BOARD_SIDE, channels) if channels_last
                 else (channels, BOARD_SIDE, BOARD_SIDE))
        return spaces.Box(0, 1, shape, dtype=dtype)

    if mode == "compact":
        return {
            "board": board(BOARD_CHANNELS, np.uint8),
            "pieces": spaces.Box(0, 1, (NUM_SEATS, NUM_KINDS), dtype=np.uint8),
            # Not "done": TorchRL reserves that key for the end of an episode.
            "out_of_moves": spaces.Box(0, 1, (NUM_SEATS,), dtype=np.uint8),
        }
    return {"observation": board(NUM_CHANNELS, np.uint8 if channels_last else np.int8)}


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


def check_options(reward_mode: Any, render_mode: Any, observation: Any,
                  channels_last: Any) -> None:
    """Raises TypeError or ValueError, naming the argument, for an option the environments do not
    know. Shared by the PettingZoo and Gymnasium environments."""
    def choice(name: str, value: Any, allowed: tuple[str, ...], optional: bool = False) -> None:
        if optional and value is None:
            return
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str, one of {', '.join(allowed)}"
                            f"{' or None' if optional else ''}, not {type(value).__name__}")
        if value not in allowed:
            raise ValueError(f"unknown {name.replace('_', ' ')} {value!r}, "
                             f"choose from {', '.join(allowed)}")

    choice("reward_mode", reward_mode, PyTavrin.reward_modes)
    choice("render_mode", render_mode, RENDER_MODES, optional=True)
    choice("observation", observation, OBSERVATION_MODES)
    if not isinstance(channels_last, bool):
        raise TypeError(f"channels_last must be True or False, not {channels_last!r}")


def check_seat(seat: Any) -> None:
    """ValueError unless `seat` is an agent index or "random" (drawn at every reset)."""
    if seat != "random" and (isinstance(seat, bool) or not isinstance(seat, int)
                             or not 0 <= seat < NUM_SEATS):
        raise ValueError(f"seat must be 0, 1, 2, 3 or 'random', not {seat!r}")


def check_reward(name: str, value: Any) -> float:
    """`value` as a float when it is a finite real number (not a bool); otherwise TypeError or
    ValueError naming `name`."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, not {value!r}")
    return float(value)


def checked_illegal_reward(value: Any, reward_mode: str) -> float:
    """The reward for an illegal placement: `value` checked as `check_reward` checks it, or when
    None the default of every environment, -1, or -90 in "score" mode, below any score."""
    if value is None:
        value = -90.0 if reward_mode == "score" else -1.0
    return check_reward("illegal_reward", value)


def action_index(action: Any) -> int:
    """`action` as a grid index: any integer (a bool counts as 0 or 1, numpy integers too);
    TypeError for None and non-integers, ValueError outside the action space."""
    try:
        index = operator.index(action)
    except TypeError:
        raise TypeError(f"an action is an integer grid index, not "
                        f"{type(action).__name__}") from None
    if not 0 <= index < NUM_ACTIONS:
        raise ValueError(f"action {index} outside the action space Discrete({NUM_ACTIONS})")
    return index


class FramePacer:
    """Keeps frames at least 1 / fps seconds apart, so that a person can follow them."""

    def __init__(self) -> None:
        self.last_frame: float | None = None

    def wait(self, fps: float | None) -> None:
        """Sleeps until the next frame is due (at once for the first frame, or without fps)."""
        now = time.monotonic()
        if fps and self.last_frame is not None:
            delay = self.last_frame + 1.0 / fps - now
            if delay > 0:
                time.sleep(delay)
                now += delay
        self.last_frame = now


def render_game(game: PyTavrin, render_mode: str | None,
                last: Iterable[tuple[int, int]] = ()) -> None | np.ndarray | str:
    """`render()` of the environments: prints the text board ("human", coloured on a terminal
    without NO_COLOR), returns it ("ansi", no colour) or returns an RGB image ("rgb_array"); the
    cells `last` (the last placement) are highlighted. Warns and returns None without a render
    mode."""
    if render_mode is None:
        gymnasium.logger.warn("You are calling render method without specifying any "
                              "render mode.")
        return None
    if render_mode == "ansi":
        return draw(game, last=last)
    if render_mode == "rgb_array":
        return board_image(game.to_bytes())
    print(draw(game, colour=use_colour(sys.stdout), last=last), flush=True)
    return None
