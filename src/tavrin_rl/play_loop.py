"""The one batched play loop: evaluation, PPO's rollouts and expert iteration's keeping match
play their games through `play_out`.

The loop sits above the batched engine (`vector.py`) and the agents: the seats the caller plays
("learner" and "external", codes 0 and 1 of `SEATS`) are chosen by the caller's functions, the
engine's seats move inside `VectorGames.step`.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping

import numpy as np

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.nets.inputs import extras_of, legal_entries
from tavrin_rl.vector import VectorGames

#: The codes in `VectorGames.lineup` of the seats the caller plays.
LEARNER, EXTERNAL = 0, 1

#: `choose(games, board, extras, segment, legal)`: one grid index for each of `games` (the games'
#: numbers in the batch), from their positions as `Policy.choose` takes them.
Chooser = Callable[[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray], np.ndarray]


def play_out(v: VectorGames, players: Mapping[int, Chooser],
             each_turn: Callable[[np.ndarray], None] | None = None) -> None:
    """Plays every unfinished game of `v` to its end. Each turn, `each_turn(active)` sees the
    unfinished games first; then `players[code]` chooses for the games whose mover sits in a seat
    of that code (in the mapping's order, so that callers drawing random numbers draw them in a
    fixed order), and one step moves them all, the engine's seats playing inside it."""
    actions = np.zeros(v.num_games, np.int32)
    while True:
        active = np.flatnonzero(~v.terminated)
        if active.size == 0:
            return
        if each_turn is not None:
            each_turn(active)
        assert v.observation is not None and v.pieces is not None and v.done is not None
        offsets, indexes = v.legal_grid_indexes_csr()
        seat = v.lineup[active, v.current_player[active]]
        actions[:] = 0
        for code, choose in players.items():
            group = active[seat == code]
            if group.size:
                segment, legal = legal_entries(offsets, indexes, group)
                actions[group] = choose(group, v.observation[group],
                                        extras_of(v.pieces[group], v.done[group]), segment, legal)
        v.step(actions, games=active)


def outcome(game: PyTavrin, mode: str) -> list[float]:
    """The outcome of a finished game in reward mode `mode`, by agent."""
    result = game.outcome(mode)
    assert result is not None, "the game is not over"
    return result
