"""The board picture built in Python from the state bytes, and the action grid decoded in Python,
both checked against the compiled game."""

import os
import random
import re
import sys
import xml.etree.ElementTree as ET
from collections import Counter

import pytest

from tavrin_rl import PyTavrin
from tavrin_rl.board import (
    STATE_SIZE, SVG_CELL, SVG_COLOURS, SVG_FREE, SVG_MARGIN, cell_owners, picture, piece_masks, svg,
    view,
)
from tavrin_rl.catalogue import (
    NUM_ACTIONS, ORIENTATION_CELLS, ORIENTATION_KIND, PIECE_NAMES, action_cells,
    action_fits, action_kind, decode_action, describe_action, encode_action, parse_action,
    to_agent_action, to_board, to_board_action, to_frame,
)
from tavrin_rl.text_board import draw, use_colour


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
        # people read it in the board's frame: the vertical I3 (variant 1) at 0,19
        assert describe_action(to_board_action(1, 7 * 400)) == "I3:1 at 0,19"
        assert to_agent_action(1, parse_action("I3:1 at 0,19")) == 7 * 400

    def test_placements_between_frames(self):
        fitting = [i for i in range(NUM_ACTIONS) if action_fits(i)]
        assert [to_board_action(0, i) for i in fitting] == fitting  # player_0's frame is the board
        for agent in (1, 2, 3):
            turned = [to_board_action(agent, i) for i in fitting]
            assert sorted(turned) == fitting  # every placement once, in both directions
            for index, board in zip(fitting[::37], turned[::37]):
                assert sorted(action_cells(board)) == sorted(
                    to_board(agent, r, c) for r, c in action_cells(index))
                assert action_kind(board) == action_kind(index)
                assert to_agent_action(agent, board) == index
        with pytest.raises(ValueError):
            to_agent_action(1, encode_action(7, 0, 19))  # the horizontal I3 sticks out


ESCAPE = re.compile(r"\x1b\[[0-9;]*m")


def played(seed: int, plies: int):
    """A game after `plies` steps of seeded random play, and the board cells of its last
    placement."""
    last = []
    for game, agent, action in random_game(seed, plies):
        if action is not None:
            last = [to_board(agent, r, c) for r, c in action_cells(action)]
    return game, last


class TestTextBoard:
    def test_new_game(self):
        lines = draw(PyTavrin(), names=["greedy", "random", "reach", "human"]).split("\n")
        assert lines[1] == "   " + " ".join(str(c % 10) for c in range(20))
        assert lines[0].split() == ["1"] * 10 and lines[0].index("1") == lines[1].index("0", 20)
        assert lines[2] == " 0" + " ." * 20 and lines[21] == "19" + " ." * 20
        assert lines[23:27] == [
            "B player_0 greedy   21   -89  to move", "Y player_1 random   21   -89",
            "R player_2 reach    21   -89", "G player_3 human    21   -89"]
        assert lines[27] == "ply 0, player_0 to move"

    @pytest.mark.parametrize("seed, plies", [(1, 30), (2, None)])
    def test_letters_follow_the_state_in_both_colour_modes(self, seed, plies):
        game, last = played(seed, plies)
        owners = cell_owners(game.to_bytes())
        plain = draw(game, last=last)
        coloured = draw(game, last=last, colour=True)
        assert "\x1b[" not in plain
        assert ESCAPE.sub("", coloured) == plain
        assert max(map(len, plain.split("\n"))) <= 44
        for row, line in enumerate(plain.split("\n")[2:22]):
            assert line[:2] == f"{row:2d}"
            for column, letter in enumerate(line[3::2]):
                owner = owners[row][column]
                expected = "." if owner < 0 else "BYRG"[owner]
                if (row, column) in last:
                    expected = expected.lower()
                assert letter == expected
        # in colour every held cell sits on its agent's background, the last placement brighter
        for agent, (normal, bright) in enumerate([(44, 104), (43, 103), (41, 101), (42, 102)]):
            held = sum(row.count(agent) for row in owners)
            letter = "BYRG"[agent]
            count = len(re.findall(rf"\x1b\[[0-9;]*;{normal}m {letter}\x1b\[0m", coloured))
            count += len(re.findall(rf"\x1b\[[0-9;]*;{bright}m {letter.lower()}\x1b\[0m", coloured))
            assert count == held
        scores, left = game.scores, [bin(m).count("1") for m in piece_masks(game.to_bytes())]
        for agent in range(4):
            assert re.search(rf"^{'BYRG'[agent]} player_{agent} +{left[agent]} +{scores[agent]}",
                             plain, re.M)
        assert plain.endswith("game over" if game.is_over else "to move")

    def test_frame_turns_the_board(self):
        game, _ = played(3, 24)
        owners = cell_owners(game.to_bytes())
        for agent in range(4):
            lines = draw(game, frame=agent).split("\n")
            for row in (0, 7, 19):
                letters = lines[2 + row][3::2]
                for column in range(20):
                    r, c = to_board(agent, row, column)
                    assert letters[column] == ("." if owners[r][c] < 0 else "BYRG"[owners[r][c]])
            assert lines[-1].endswith(f", player_{agent}'s view") == (agent > 0)
        with pytest.raises(ValueError):
            draw(game, frame=4)

    def test_colour_only_on_a_terminal_without_no_color(self, monkeypatch, tmp_path):
        pty = pytest.importorskip("pty")
        reader, writer = pty.openpty()
        with open(writer, "w", closefd=True) as terminal, \
                open(tmp_path / "log", "w") as log:
            monkeypatch.delenv("NO_COLOR", raising=False)
            assert use_colour(terminal) and not use_colour(log) and not use_colour(None)
            monkeypatch.setenv("NO_COLOR", "")  # empty counts as unset
            assert use_colour(terminal)
            monkeypatch.setenv("NO_COLOR", "1")
            assert not use_colour(terminal)
        os.close(reader)
        assert not use_colour(terminal)  # closed


class TestNotation:
    def test_round_trip_for_every_index(self):
        texts = [describe_action(i) for i in range(NUM_ACTIONS)]
        assert len(set(texts)) == NUM_ACTIONS
        assert all(parse_action(text) == i for i, text in enumerate(texts))
        assert texts[0] == "I1:0 at 0,0" and texts[NUM_ACTIONS - 1] == "I5:1 at 19,19"
        assert describe_action(encode_action(64, 12, 4)) == "L5:3 at 12,4"

    @pytest.mark.parametrize("text, expected", [
        ("l5 3 12 4", (64, 12, 4)), ("L5/3 at (12, 4)", (64, 12, 4)), ("F1 0,0", (29, 0, 0)),
        ("O at 0,0", (13, 0, 0)), ("X 5,5", (36, 5, 5)), ("24804", (62, 0, 4)),
    ])
    def test_forgiving_forms(self, text, expected):
        assert decode_action(parse_action(text)) == expected

    @pytest.mark.parametrize("text, message", [
        ("", "cannot read"), ("L5:3", "cannot read"), ("Q:0 at 0,0", "no piece 'Q'"),
        ("Q7:0 at 0,0", r"no piece 'Q7' \(pieces: I1 I2 "),
        ("L5 at 0,0", "L5 has 8 variants: give one"), ("L5:8 at 0,0", "variants 0 to 7, not 8"),
        ("I1:0 at 20,0", "no cell 20,0"), ("36400", "outside"),
    ])
    def test_errors_say_what_is_wrong(self, text, message):
        with pytest.raises(ValueError, match=message):
            parse_action(text)


class TestSvg:
    def test_cells_outline_and_scores(self):
        game, last = played(5, 40)
        picture_ = ET.fromstring(svg(game, last, names=["a", "b", "c", "<d>"]))
        ns = "{http://www.w3.org/2000/svg}"
        squares = [r for r in picture_.iter(f"{ns}rect") if r.get("width") == str(SVG_CELL)]
        assert len(squares) == 400
        owners = cell_owners(game.to_bytes())
        for square in squares:
            row = (int(square.get("y")) - SVG_MARGIN) // SVG_CELL
            column = (int(square.get("x")) - SVG_MARGIN) // SVG_CELL
            owner = owners[row][column]
            assert square.get("fill") == (SVG_FREE if owner < 0 else SVG_COLOURS[owner])
        outline = next(p for p in picture_.iter(f"{ns}path") if p.get("id") == "last")
        assert outline.get("d").count("M") >= 2 * len(last) + 2  # a closed border, no inner edges
        texts = " ".join(t.text or "" for t in picture_.iter(f"{ns}text"))
        for agent, score in enumerate(game.scores):
            assert f"player_{agent}" in texts and f"score {score}," in texts
        assert "<d>" in texts  # names are escaped, the document still parses

    def test_view_is_a_snapshot(self):
        game, last = played(6, 12)
        snapshot = view(game, last)
        before = snapshot._repr_svg_()
        game.step(next(i for i, bit in enumerate(game.observe(game.agent_selection).action_mask)
                       if bit))
        assert snapshot._repr_svg_() == before != svg(game)
        assert repr(snapshot).startswith(draw(snapshot.game, last=last)[:100])
