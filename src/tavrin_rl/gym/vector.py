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
    CELL_PIXELS, NUM_SEATS, SEEDED_RUN, AutoresetModeName, ObservationMode, OpponentName, RewardMode, Seat,
    VectorRenderMode, board_image, check_options, check_seat, checked_illegal_reward,
    observation_arrays, observation_space_of, render_game,
)
from tavrin_rl.agents.seats import is_engine_seat
from tavrin_rl.text_board import draw
from tavrin_rl.vector import POLICIES, SEATS, VectorGames

__all__ = ["VectorSingleAgentEnv", "make_vec", "OPPONENTS", "RENDER_GAMES", "VECTOR_RENDER_MODES"]

#: The opponents the engine plays: its policies, the search ("mcts", or "mcts:PLAYOUTS[:ROLLOUT]")
#: and the shipped net ("baseline", or any policy file as "policy:PATH").
OPPONENTS: tuple[str, ...] = (*POLICIES, "mcts", "baseline")
#: How many games `render()` draws, side by side.
RENDER_GAMES = 4
VECTOR_RENDER_MODES = ("ansi", "rgb_array")
_MODES = {"next_step": AutoresetMode.NEXT_STEP, "same_step": AutoresetMode.SAME_STEP}


class VectorSingleAgentEnv(VectorEnv):
    """`num_envs` games, the learner in one seat of each, the opponents played by the engine.

    seat: 0 to 3, or "random" to draw each game's seat whenever that game starts (from the game's
        own random stream).
    opponents: one of `OPPONENTS` ("random", "greedy", "reach", "mcts", "baseline"), an
        "mcts:PLAYOUTS[:ROLLOUT]" or "policy:PATH" string, or a sequence of three, for the seats
        after the learner's in turn order; the engine plays them all, nets included.
    reward_mode, observation ("compact" by default, or "full"), channels_last, illegal_reward: as
        in `SingleAgentEnv`; observations are uint8 and batched on a first axis of `num_envs`.
    threads: the engine's threads (default: one per 128 games, at most the CPUs); seed: the seed
        of the first reset (the opponents' choices and the random seats follow from it). Game i
        of a reset with seed s is the game `SingleAgentEnv` plays after `reset(seed=s + i)`, as
        Gymnasium's own vectorisation gives, when the learner's actions are the same
        (`sample_legal_actions` draws from the games' streams, so it changes what follows).
    autoreset_mode: "next_step" (Gymnasium's default): the step that ends a game returns its last
        observation with `terminations[i]` set, and the next step starts the game anew, ignoring
        its action and returning reward 0. "same_step": the step that ends a game already returns
        the next game's observation; the last one is in `infos["final_obs"]` (an object array)
        and its info in `infos["final_info"]`, a dict of batched arrays with `_key` masks, as
        Gymnasium's own vector environments lay it out (`infos["final_info"]["scores"]` (N, 4),
        and its "action_mask", all 0, and "seat").
    copy: True (default) returns observations and masks the caller owns, as Gymnasium's
        `SyncVectorEnv(copy=True)` does; False returns read-only views of the engine's arrays,
        which the next `step` or `reset` rewrites (no copy at all; keep what you need).
    strict_actions: False (default): a placement the mask forbids is a move, and a bad one: it
        ends that game with `illegal_reward`, flagged in `infos["illegal_action"]` (in
        `infos["final_info"]` in same-step mode), as `SingleAgentEnv` does. True: it raises
        ValueError naming the game, and no game changes.
    render_mode: None, "ansi" or "rgb_array": `render()` draws the first `RENDER_GAMES` games
        side by side.

    `infos["action_mask"]` (int8 (num_envs, 36400), the dtype of Gymnasium's sample masks, as
    Gymnasium's own vectorisation of `SingleAgentEnv` gives it) and `action_masks()` (bool, for
    MaskablePPO) give the learner's legal actions; a finished game waiting for next-step's reset
    allows every action (any is ignored), so that a masked distribution stays well defined.
    `infos["seat"]` holds the learner's seat in each game. Every info key K comes with
    Gymnasium's bool `infos["_K"]`, the games that have it. An action outside [0, 36400), or
    actions of the wrong shape or dtype, raise and no game changes. The environment holds a C++
    engine and cannot be pickled: create it in each process.
    """

    metadata: dict[str, Any] = {"autoreset_mode": AutoresetMode.NEXT_STEP,
                                "render_modes": list(VECTOR_RENDER_MODES)}

    def __init__(self, num_envs: int, seat: Seat = 0,
                 opponents: OpponentName | Sequence[OpponentName] = "random",
                 reward_mode: RewardMode = "win_share", observation: ObservationMode = "compact",
                 channels_last: bool = False, threads: int | None = None, seed: int | None = None,
                 autoreset_mode: AutoresetModeName | AutoresetMode = "next_step", copy: bool = True,
                 strict_actions: bool = False, illegal_reward: float | None = None,
                 render_mode: VectorRenderMode | None = None) -> None:
        check_options(reward_mode, None, observation, channels_last)
        check_seat(seat)
        if render_mode is not None and render_mode not in VECTOR_RENDER_MODES:
            raise ValueError(f"unknown render mode {render_mode!r} for a vector environment, "
                             f"choose from {', '.join(VECTOR_RENDER_MODES)} or None")
        if not isinstance(strict_actions, bool):
            raise TypeError(f"strict_actions must be True or False, not {strict_actions!r}")
        illegal = checked_illegal_reward(illegal_reward, reward_mode)
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
        self.strict_actions = strict_actions
        self.illegal_reward = illegal
        self.render_mode = render_mode
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

    def reset(self, *, seed: int | Sequence[int | None] | None = None,
              options: dict[str, Any] | None = None) -> tuple[Any, dict[str, Any]]:
        """Starts every game anew and plays the opponents up to the learner's first turn.

        seed: None (each game's stream goes on), one seed s, or one per game (None for a game
        whose stream goes on); s stands for [s, s + 1, ...], as in Gymnasium's own vector
        environments, so that a game's start depends on its own seed alone."""
        seeds = self._seed_list(seed)
        if seeds is None and self._seed is not None:
            seeds = self._seed_list(self._seed)
        self._seed = None
        first = None if seeds is None else next((s for s in seeds if s is not None), None)
        super().reset(seed=first)
        self._reset_games(seeds)
        self.seats = self._learner_seats()
        self._pending[:] = False
        return self._observe(None), self._infos()

    def step(self, actions: Any) -> tuple[Any, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """The learner's placement in every game (one grid index each), then the opponents'."""
        games = self.games
        actions = self._checked_actions(actions)
        pending = self._pending
        live = ~pending
        mask = games.legal_action_mask
        assert mask is not None
        illegal = live & ~mask[self._range, actions]
        if illegal.any() and self.strict_actions:
            i = int(np.argmax(illegal))
            raise ValueError(f"game {i}: action {int(actions[i])} is not a legal placement for "
                             f"the learner (seat {int(self.seats[i])}); no game has changed")
        played = live & ~illegal
        games.step(actions, games=played)
        if pending.any():
            games.reset(games=pending)
            self.seats[pending] = self._learner_seats()[pending]
        finished = games.terminated & played
        rewards = np.where(finished, games.rewards[self._range, self.seats], 0).astype(np.float32)
        rewards[illegal] = self.illegal_reward
        ended = finished | illegal
        infos: dict[str, Any]
        if not ended.any():
            self._pending = np.zeros(self.num_envs, dtype=bool)
            return (self._observe(None), rewards, ended, np.zeros(self.num_envs, dtype=bool),
                    self._infos())
        finals = {i: self._final(i, bool(illegal[i])) for i in np.flatnonzero(ended).tolist()}
        if self.autoreset_mode == AutoresetMode.NEXT_STEP:
            self._pending = ended.copy()  # the caller owns `ended`
            observations = self._observe(finals)
            infos = self._infos()
            for i, (_, info) in finals.items():
                # already in infos: the seat, and the mask that allows every action while the
                # game waits for its reset
                del info["seat"], info["action_mask"]
                self._add_info(infos, info, i)
            return observations, rewards, ended, np.zeros(self.num_envs, dtype=bool), infos
        games.reset(games=ended)
        self.seats[ended] = self._learner_seats()[ended]
        infos = self._infos()
        for i, (observation, info) in finals.items():
            self._add_info(infos, {"final_obs": observation, "final_info": info}, i)
        return self._observe(None), rewards, ended, np.zeros(self.num_envs, dtype=bool), infos

    def action_masks(self) -> np.ndarray:
        """The learner's legal actions in every game, bool (num_envs, 36400) (a view with
        copy=False, unless a game waits for next-step's reset: its row allows every action)."""
        mask = self.games.legal_action_mask
        assert mask is not None
        if self._pending.any():
            mask = mask.copy()
            mask[self._pending] = True
            return mask
        return mask.copy() if self.copy else mask

    def sample_legal_actions(self) -> np.ndarray:
        """One uniformly random legal action per game for the learner, drawn in C++ (0 where a
        finished game waits for its reset)."""
        return self.games.sample_actions("random")

    def render(self) -> np.ndarray | str | None:  # type: ignore[override]  # one picture
        """The first `RENDER_GAMES` games side by side, as `SingleAgentEnv` draws one: an RGB
        image ("rgb_array") or text ("ansi"); None (with Gymnasium's warning) without a mode."""
        shown = [self.games.game(i) for i in range(min(RENDER_GAMES, self.num_envs))]
        if self.render_mode == "rgb_array":
            images = [board_image(game.to_bytes()) for game in shown]
            gap = np.full((images[0].shape[0], CELL_PIXELS // 2, 3), 255, dtype=np.uint8)
            parts = [part for image in images for part in (image, gap)][:-1]
            return np.concatenate(parts, axis=1)
        if self.render_mode == "ansi":
            return "\n".join(f"game {i}:\n{draw(game)}" for i, game in enumerate(shown))
        return render_game(shown[0], None)  # warns

    def close_extras(self, **kwargs: Any) -> None:
        """Nothing to release."""

    # --- helpers ---------------------------------------------------------------------------------

    def _seed_list(self, seed: Any) -> list[int | None] | None:
        """`reset`'s seed as one entry per game, or None; TypeError or ValueError for a seed
        that is not one."""
        if seed is None:
            return None
        if isinstance(seed, (int, np.integer)) and not isinstance(seed, bool):
            seed = [int(seed) + i for i in range(self.num_envs)]
        if isinstance(seed, (str, bytes)) or not isinstance(seed, (Sequence, np.ndarray)):
            raise TypeError(f"seed must be None, an int or a list of one per game, not "
                            f"{type(seed).__name__}")
        seeds = list(seed)
        if len(seeds) != self.num_envs:
            raise ValueError(f"seed must hold one entry per game ({self.num_envs}), got {len(seeds)}")
        for s in seeds:
            if s is not None and (isinstance(s, bool) or not isinstance(s, (int, np.integer))
                                  or s < 0):
                raise ValueError(f"a game's seed must be a whole number of at least 0 or None, "
                                 f"not {s!r}")
        return [None if s is None else int(s) for s in seeds]

    def _reset_games(self, seeds: list[int | None] | None) -> None:
        """Starts every game anew, game i with `seeds[i]`: as game number s of the run
        `SEEDED_RUN`, the game `SingleAgentEnv` plays with seed s. The engine gives game i of a
        reset with first_game f the stream of game number f + i, so game i's seed s is played as
        f = s - i: one engine call for each distinct f, a single one for [s, s + 1, ...]."""
        if seeds is None:
            self.games.reset(None)
            return
        groups: dict[int | None, list[int]] = {}
        for i, s in enumerate(seeds):
            groups.setdefault(None if s is None else (s - i) % 2**64, []).append(i)
        if len(groups) == 1:
            first = next(iter(groups))
            self.games.reset(None if first is None else SEEDED_RUN, first_game=first or 0)
            return
        for first, members in groups.items():
            self.games.reset(None if first is None else SEEDED_RUN, games=np.array(members),
                             first_game=first or 0)

    def _checked_actions(self, actions: Any) -> np.ndarray:
        """The actions as an (N,) integer array in range; ValueError or TypeError before any game
        changes."""
        array = np.asarray(actions)
        if array.shape != (self.num_envs,):
            raise ValueError(f"actions must have shape ({self.num_envs},), got {array.shape}")
        if array.dtype.kind not in "iu":
            raise TypeError(f"actions must be integers, got dtype {array.dtype}")
        bad = (array < 0) | (array >= NUM_ACTIONS)
        if bad.any():
            i = int(np.argmax(bad))
            raise ValueError(f"game {i}: action {array[i]} is out of range [0, {NUM_ACTIONS})")
        return array

    def _learner_seats(self) -> np.ndarray:
        # Several learner seats are not offered here; the one learner's seat in each game.
        return np.argmax(self.games.lineup == SEATS.index("learner"), axis=1).astype(np.int64)

    def _final(self, i: int, illegal: bool) -> tuple[Any, dict[str, Any]]:
        """Game i's last observation from the learner's seat, and its info: the seat, and the
        scores of a finished game or the flag of an illegal placement (the game stopped there)."""
        seat = int(self.seats[i])
        game = self.games.game(i)  # still finished: the engine keeps it until reset
        arrays = observation_arrays(game.observe(seat), self.observation_mode, self.channels_last)
        observation = (arrays["observation"].view(np.uint8) if self.observation_mode == "full"
                       else {key: value.view(np.uint8) for key, value in arrays.items()})
        # The mask of a game that has ended allows nothing, as `SingleAgentEnv`'s last info says.
        info: dict[str, Any] = {"action_mask": np.zeros(NUM_ACTIONS, dtype=np.int8), "seat": seat}
        if illegal:
            info["illegal_action"] = True
        else:
            info["scores"] = np.array(game.scores, dtype=np.int64)
        return observation, info

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
                  "out_of_moves": games.done.copy() if copy else games.done}
        if finals:
            for i, (observation, _) in finals.items():
                for key in result:
                    result[key][i] = observation[key]
        return result

    def _infos(self) -> dict[str, Any]:
        # int8, as Gymnasium batches SingleAgentEnv's masks and as its sample(mask=) wants them;
        # the same bytes as the bool mask, so the view costs nothing.
        # Every game has both, and Gymnasium pairs every key K with a bool `_K` of the games
        # that have it.
        every = np.ones(self.num_envs, dtype=bool)
        return {"action_mask": self.action_masks().view(np.int8), "_action_mask": every,
                "seat": self.seats.copy(), "_seat": every.copy()}


def make_vec(num_envs: int, seat: Seat = 0,
             opponents: OpponentName | Sequence[OpponentName] = "random",
             reward_mode: RewardMode = "win_share", observation: ObservationMode = "compact",
             channels_last: bool = False, threads: int | None = None,
             seed: int | None = None, autoreset_mode: AutoresetModeName = "next_step",
             copy: bool = True, strict_actions: bool = False, illegal_reward: float | None = None,
             render_mode: VectorRenderMode | None = None) -> VectorSingleAgentEnv:
    """`num_envs` single-agent games on the batched engine; see `VectorSingleAgentEnv`."""
    return VectorSingleAgentEnv(num_envs, seat=seat, opponents=opponents, reward_mode=reward_mode,
                                observation=observation, channels_last=channels_last,
                                threads=threads, seed=seed, autoreset_mode=autoreset_mode,
                                copy=copy, strict_actions=strict_actions,
                                illegal_reward=illegal_reward, render_mode=render_mode)
