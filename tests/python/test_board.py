"""The board picture built in Python from the state bytes, and the action grid decoded in Python,
both checked against the compiled game."""

import random
import sys
from collections import Counter

import pytest

from tavrin_rl import PyTavrin
from tavrin_rl.board import STATE_SIZE, cell_owners, picture
from tavrin_rl.catalogue import (
    GRID_SHAPE, NUM_ACTIONS, ORIENTATION_CELLS, ORIENTATION_KIND, PIECE_NAMES, action_cells,
    action_fits, action_kind, decode_action, encode_action, to_board, to_frame,
)


def random_game(seed: int, plies: int | None = None):
    """Yield (game, agent, action) after every step of a seeded random game."""
    rng = random.Random(seed)
    game = PyTavrin()
    while not game.is_over and (plies is None or game.ply < plies):
        agent = game.agent_selection
        mask = game.observe(agent).action_mask
        legal = [i for i, bit in enumerate(mask) if bit]
        action = rng.choice(legal) if legal else None
        game.step(action)
        yield game, agent, action


def rendered(game: PyTavrin, capfd) -> str:
    sys.stdout.flush()
    capfd.readouterr()
    game.render()
    return capfd.readouterr().out


class TestPicture:
    def test_equals_render_through_a_game(self, capfd):
        game = PyTavrin()
        assert rendered(game, capfd) == picture(game.to_bytes()) + "\n"
        checked = 0
        for game, _, action in random_game(4):
            if (action is not None and game.ply % 10 == 0) or game.is_over:
                assert rendered(game, capfd) == picture(game.to_bytes()) + "\n"
                checked += 1
        assert game.is_over and checked >= 5

    def test_new_game_layout(self):
        lines = picture(PyTavrin().to_bytes()).split("\n")
        assert len(lines) == 41
        assert lines[0] == "  |" + "".join(f" {c:2d} |" for c in range(20))
        assert lines[2] == " 0" + "|  . " * 20 + "|"
        assert all(len(line) == 103 for line in lines)
        assert lines[-1].startswith("19|")

    def test_lowest_agent_shows_on_a_shared_cell(self, capfd):
        state = bytearray(PyTavrin().to_bytes())
        for agent in (1, 2):  # cell (0, 0) is bit 0 of byte 48 of each agent's board image
            state[1 + 69 * agent + 48] |= 1
        state[1 + 69 * 3 + 4] |= 1 << 2  # agent 3 at position 418 = (19, 19): byte 4, bit 2
        game = PyTavrin.from_bytes(bytes(state))
        text = picture(game.to_bytes())
        assert text.split("\n")[2].startswith(" 0|  \x1b[43mx\x1b[0m |  . |")
        assert text.endswith("|  \x1b[42mx\x1b[0m |")
        assert rendered(game, capfd) == text + "\n"

    @pytest.mark.parametrize("state", [b"", bytes(STATE_SIZE), bytes([2]) + bytes(277),
                                       PyTavrin().to_bytes() + b"\0"])
    def test_rejects_what_is_not_a_state(self, state):
        with pytest.raises(ValueError, match="Not a game state"):
            cell_owners(state)


class TestActionGrid:
    def test_tables_agree_with_the_game_class(self):
        assert PIECE_NAMES == PyTavrin.piece_names
        assert GRID_SHAPE == PyTavrin.action_grid_shape
        assert NUM_ACTIONS == PyTavrin.num_actions

    def test_placements_per_kind(self):
        counts = Counter(action_kind(i) for i in range(NUM_ACTIONS) if action_fits(i))
        assert [counts[k] for k in range(21)] == [
            400, 760, 1444, 720, 1368, 361, 2736, 680, 1368, 2592, 324, 2736, 1296, 1296, 2584,
            2584, 1368, 1296, 1296, 2584, 640]

    def test_decode_and_encode(self):
        assert decode_action(0) == (0, 0, 0)
        assert decode_action(36399) == (90, 19, 19)
        assert decode_action(5389) == (13, 9, 9)
        for index in range(0, NUM_ACTIONS, 37):
            assert encode_action(*decode_action(index)) == index
        for bad in (-1, NUM_ACTIONS):
            with pytest.raises(ValueError):
                decode_action(bad)
        with pytest.raises(ValueError):
            encode_action(91, 0, 0)
        with pytest.raises(ValueError, match="off the board"):
            action_cells(encode_action(89, 0, 16))  # horizontal I5 past column 19

    def test_opening_mask_is_every_orientation_covering_its_corner(self):
        mask = PyTavrin().observe(0).action_mask
        opening = {o * 400 for o, cells in enumerate(ORIENTATION_CELLS) if (0, 0) in cells}
        assert len(opening) == 58
        assert {i for i, bit in enumerate(mask) if bit} == opening

    def test_cells_of_every_placement_match_the_board(self):
        for seed in (1, 2):
            before = cell_owners(PyTavrin().to_bytes())
            for game, agent, action in random_game(seed):
                after = cell_owners(game.to_bytes())
                new = {(r, c) for r in range(20) for c in range(20) if after[r][c] != before[r][c]}
                expected = {to_board(agent, r, c) for r, c in action_cells(action)} \
                    if action is not None else set()
                assert new == expected
                assert all(after[r][c] == agent for r, c in new)
                before = after

    def test_frames(self):
        corners = [(0, 0), (0, 19), (19, 19), (19, 0)]
        for agent in range(4):
            assert to_board(agent, 0, 0) == corners[agent]
            for seat in range(4):  # seat k's corner sits at the k-th corner in every frame
                assert to_frame(agent, *corners[(agent + seat) % 4]) == corners[seat]
            for r, c in [(0, 5), (7, 19), (19, 3)]:
                assert to_frame(agent, *to_board(agent, r, c)) == (r, c)
        with pytest.raises(ValueError):
            to_board(4, 0, 0)

    def test_player_1_vertical_i3_on_its_corner(self):
        game = PyTavrin()
        game.step(0)
        game.step(7 * 400)  # the horizontal I3 at (0, 0) of player_1's frame
        owners = cell_owners(game.to_bytes())
        assert [(r, c) for r in range(20) for c in range(20) if owners[r][c] == 1] == [
            (0, 19), (1, 19), (2, 19)]
        assert PIECE_NAMES[ORIENTATION_KIND[7]] == "I3"
