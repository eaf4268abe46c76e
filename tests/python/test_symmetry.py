"""The diagonal mirror: the mirrored replay of a game shows the mirrored observation and exactly
the mirrored legal placements."""

import numpy as np

from tavrin_rl import PyTavrin
from tavrin_rl.symmetry import MIRROR_ORIENTATIONS, mirror_actions, mirror_board, mirror_pieces
from tavrin_rl.vector import VectorGames


def compact(game):
    """Board planes (1, 12, 20, 20), pieces (1, 4, 21), flags (1, 4) and mask of the mover."""
    seen = game.observe(game.agent_selection)
    planes = [np.frombuffer(getattr(seen, name), np.uint8).reshape(4, 20, 20)
              for name in ("observation", "corners", "blocked")]
    return (np.concatenate(planes)[None], np.frombuffer(seen.pieces, np.uint8).reshape(1, 4, 21),
            np.frombuffer(seen.done, np.uint8).reshape(1, 4),
            np.frombuffer(seen.action_mask, np.uint8).astype(bool))


def test_mirror_is_an_involution_on_the_grid():
    assert (MIRROR_ORIENTATIONS[MIRROR_ORIENTATIONS] == np.arange(91)).all()
    every = np.arange(36400)
    assert (mirror_actions(mirror_actions(every)) == every).all()
    assert (mirror_actions([0, 1]) == [0, 20]).all()  # the monomino at (0, 1) goes to (1, 0)


def test_mirrored_replay_has_the_mirrored_legal_placements():
    checked = 0
    for seed in range(6):
        rounds = 2 + 2 * seed  # positions from the opening to mid-game
        v = VectorGames(1, threads=1, seed=seed, observation=None, autoreset=False)
        moves = []  # (agent, action) in order; each agent acts in its own frame
        for _ in range(4 * rounds):
            agent = int(v.current_player[0])
            moves.append((agent, int(v.sample_actions("random")[0])))
            v.step(np.array([moves[-1][1]]))
        original = v.game(0)
        if any(original.terminations) or original.agent_selection != 0:
            continue  # a pass would break the round-by-round replay
        by_agent = {a: [m for b, m in moves if b == a] for a in range(4)}
        mirrored = PyTavrin()
        for k in range(rounds):
            for agent in range(4):  # the mover is agent 0: agents 1 and 3 trade moves
                theirs = by_agent[[0, 3, 2, 1][agent]][k]
                mirrored.step(int(mirror_actions(theirs)))
        board, pieces, done, mask = compact(original)
        m_board, m_pieces, m_done, m_mask = compact(mirrored)
        assert (m_board == mirror_board(board)).all()
        assert (m_pieces == mirror_pieces(pieces)).all() and (m_done == mirror_pieces(done)).all()
        legal = np.flatnonzero(mask)
        assert legal.size and (np.sort(mirror_actions(legal)) == np.flatnonzero(m_mask)).all()
        checked += 1
    assert checked >= 4
