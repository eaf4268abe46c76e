"""Random self-play with the game class alone: no numpy, no PettingZoo.

Every agent picks a uniformly random legal placement from its action mask. Prints each game's
scores and the rank outcome, then the board of the last game.

    python examples/random_self_play.py [games] [seed]
"""

from __future__ import annotations

import random
import sys

from tavrin_rl import PyTavrin


def legal_actions(mask: bytes) -> list[int]:
    """The grid indexes the mask allows (a 1 byte), in increasing order."""
    found = []
    index = mask.find(1)
    while index >= 0:
        found.append(index)
        index = mask.find(1, index + 1)
    return found


def play(game: PyTavrin, rng: random.Random) -> None:
    """Play `game` from a fresh board to its end."""
    game.reset()
    while not game.is_over:
        agent = game.agent_selection
        if game.terminations[agent]:
            game.step(None)  # out of moves: the agent passes
            continue
        mask = game.observe(agent).action_mask  # in this agent's own frame
        game.step(rng.choice(legal_actions(mask)))


def main(argv: list[str]) -> int:
    games = int(argv[1]) if len(argv) > 1 else 5
    rng = random.Random(int(argv[2]) if len(argv) > 2 else 0)
    game = PyTavrin()
    for number in range(games):
        play(game, rng)
        rank = game.outcome("rank") or []  # None only while the game is running
        print(f"game {number}: {game.ply} placements, scores {game.scores}, "
              f"rank outcome {[round(value, 3) for value in rank]}")
    game.render()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
