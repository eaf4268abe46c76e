"""to_bytes, from_bytes, pickling and render."""

import errno
import io
import os
import pickle
import sys

import pytest

import tavrin_rl
from tavrin_rl._tavrin import PyTavrin

from states import ALL_PIECES, BOARD, board_image, state

I1_CODE, I5_CODE = 1, 101
NEW_BLOCK = bytes(64) + b"\xff\xff\x1f\x00" + b"\x00"
NEW_STATE = b"\x01" + NEW_BLOCK * 4 + b"\x00"
NOT_A_STATE = "Not a game state written by to_bytes() of this version"


def with_agent0(cells=(), mask=ALL_PIECES, last=0, agent_selection=0):
    return state([(cells, mask, last)] + [([], ALL_PIECES, 0)] * 3, agent_selection)


def played(plies):
    """A game after `plies` placements, each the last index of the mover's mask."""
    game = PyTavrin()
    for _ in range(plies):
        mask = game.observe(game.agent_selection).action_mask
        game.step(mask.rindex(1))
    return game


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


def summary(game):
    return (game.to_bytes(), game.ply, game.agent_selection, game.scores, game.terminations, game.rewards)


class TestToBytes:
    def test_new_game_state(self):
        game = PyTavrin()
        assert game.to_bytes() == NEW_STATE
        assert len(NEW_STATE) == 278 and NEW_STATE[0] == 1
        assert game.__getstate__() == game.to_bytes()
        assert type(game.to_bytes()) is bytes

    def test_board_image_layout(self):
        # Agent 0 places I1 on (0, 0): position 0 is bit 0 of block byte 48.
        game = PyTavrin()
        game.step(0)
        data = game.to_bytes()
        assert data[1 + 48] == 1 and data[1:1 + 64].count(0) == 63
        assert data[1 + 64:1 + 68] == (ALL_PIECES & ~1).to_bytes(4, "little")
        assert data[1 + 68] == I1_CODE and data[277] == 1
        assert data[70:] == NEW_BLOCK * 3 + b"\x01"


class TestFromBytes:
    @pytest.mark.parametrize("plies", [0, 5, 23])
    def test_round_trip(self, plies):
        game = played(plies)
        data = game.to_bytes()
        for restored in [PyTavrin.from_bytes(data), game.from_bytes(data), PyTavrin.from_bytes(data=data)]:
            assert type(restored) is PyTavrin and restored is not game
            assert summary(restored) == summary(game)
            for k in range(4):
                assert restored.observe(k).action_mask == game.observe(k).action_mask
        restored.step(restored.observe(restored.agent_selection).action_mask.index(1))  # no borrow left over

    def test_reads_bytes_subclasses(self):
        class Data(bytes):
            pass

        assert PyTavrin.from_bytes(Data(NEW_STATE)).to_bytes() == NEW_STATE

    @pytest.mark.parametrize(
        "data,message",
        [
            (bytearray(NEW_STATE), "'bytearray' object is not an instance of 'bytes'"),
            (memoryview(NEW_STATE), "'memoryview' object is not an instance of 'bytes'"),
            (None, "'None' is not an instance of 'bytes'"),
            (NEW_STATE.hex(), "'str' object is not an instance of 'bytes'"),
        ],
    )
    def test_only_bytes(self, data, message):
        with pytest.raises(TypeError) as e:
            PyTavrin.from_bytes(data)
        assert str(e.value) == message
        assert notes(e) == ["while processing 'data'"]

    @pytest.mark.parametrize(
        "data",
        [
            b"",
            NEW_STATE[:-1],
            NEW_STATE + b"\x00",
            b"\x00" + NEW_STATE[1:],
            b"\x02" + NEW_STATE[1:],
            NEW_STATE[:-1] + b"\x04",
            NEW_STATE[:-1] + b"\xff",
            with_agent0(mask=0x200000),
            with_agent0(mask=0x80000000),
            with_agent0(last=4),
            with_agent0(last=8),
            with_agent0(last=102),
            with_agent0(cells=[20]),
            with_agent0(cells=[419]),
            with_agent0(cells=[420]),
            with_agent0(cells=[511]),
        ],
    )
    def test_invalid_states(self, data):
        with pytest.raises(ValueError) as e:
            PyTavrin.from_bytes(data)
        assert str(e.value) == NOT_A_STATE

    @pytest.mark.parametrize(
        "data",
        [
            with_agent0(agent_selection=3),
            with_agent0(mask=0),
            with_agent0(last=I1_CODE),
            with_agent0(last=I5_CODE),
            with_agent0(cells=[418]),
            state([([0, 1], ALL_PIECES, 0), ([1], ALL_PIECES, 0), ([], ALL_PIECES, 0), ([], ALL_PIECES, 0)]),
        ],
    )
    def test_accepted_states_read_back_unchanged(self, data):
        assert PyTavrin.from_bytes(data).to_bytes() == data

    def test_nobody_can_move(self):
        game = PyTavrin.from_bytes(with_agent0(cells=BOARD))
        assert game.is_over and game.terminations == [True] * 4 and game.ply == 0


class TestSetState:
    def test_replaces_the_game_in_place(self):
        game = PyTavrin()
        alias = game
        target = played(6)
        assert game.__setstate__(target.to_bytes()) is None
        assert alias is game and summary(game) == summary(target)
        game.__setstate__(state=NEW_STATE)
        assert game.to_bytes() == NEW_STATE

    @pytest.mark.parametrize("data", [b"", b"\x02" + NEW_STATE[1:], with_agent0(cells=[20])])
    def test_invalid_state_changes_nothing(self, data):
        game = played(3)
        before = summary(game)
        with pytest.raises(ValueError) as e:
            game.__setstate__(data)
        assert str(e.value) == NOT_A_STATE
        assert summary(game) == before

    def test_only_bytes(self):
        game = played(2)
        before = game.to_bytes()
        with pytest.raises(TypeError) as e:
            game.__setstate__(bytearray(NEW_STATE))
        assert str(e.value) == "'bytearray' object is not an instance of 'bytes'"
        assert notes(e) == ["while processing 'state'"]
        assert game.to_bytes() == before


class TestPickle:
    @pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
    @pytest.mark.parametrize("plies", [0, 9])
    def test_round_trip(self, protocol, plies):
        game = played(plies)
        restored = pickle.loads(pickle.dumps(game, protocol=protocol))
        assert type(restored) is PyTavrin and restored is not game
        assert summary(restored) == summary(game)

    def test_finished_game_and_default_protocol(self):
        game = PyTavrin.from_bytes(with_agent0(cells=BOARD, mask=0, last=I1_CODE, agent_selection=2))
        restored = pickle.loads(pickle.dumps(game))
        assert restored.is_over and summary(restored) == summary(game)
        assert restored.outcome("rank") == game.outcome("rank")


ESC = "\x1b"
COLOURS = ["44", "43", "41", "42"]


def picture(owners):
    """The expected text picture; `owners` maps (row, col) to an agent."""
    header = "  | " + " | ".join(f"{c:2d}" for c in range(20)) + " |"
    rule = "-" * 103
    lines = [header, rule]
    for r in range(20):
        cells = []
        for c in range(20):
            agent = owners.get((r, c))
            symbol = "." if agent is None else f"{ESC}[{COLOURS[agent]}mx{ESC}[0m"
            cells.append(f"|  {symbol} ")
        lines.append(f"{r:2d}" + "".join(cells) + "|")
        if r < 19:
            lines.append(rule)
    return "\n".join(lines)


class TestRender:
    def test_new_game(self, capfd):
        assert PyTavrin().render() is None
        out = capfd.readouterr().out
        assert out == picture({}) + "\n"
        lines = out.split("\n")
        assert len(lines) == 42 and lines[-1] == ""
        assert lines[0] == "  |  0 |  1 |  2 |  3 |  4 |  5 |  6 |  7 |  8 |  9 | 10 | 11 | 12 | 13 | 14 | 15 | 16 | 17 | 18 | 19 |"
        assert lines[2] == " 0|" + "  . |" * 20

    def test_colours_at_the_start_cells(self, capfd):
        game = PyTavrin.from_bytes(
            state([([0], ALL_PIECES, 0), ([19], ALL_PIECES, 0), ([418], ALL_PIECES, 0), ([399], ALL_PIECES, 0)])
        )
        game.render()
        assert capfd.readouterr().out == picture({(0, 0): 0, (0, 19): 1, (19, 19): 2, (19, 0): 3}) + "\n"

    def test_bypasses_sys_stdout(self, capfd, monkeypatch):
        replaced = io.StringIO()
        monkeypatch.setattr(sys, "stdout", replaced)
        game = PyTavrin()
        game.step(0)
        game.render()
        assert replaced.getvalue() == ""
        assert capfd.readouterr().out == picture({(0, 0): 0}) + "\n"

    def test_write_failure_is_an_internal_error(self):
        read_end, write_end = os.pipe()
        saved = os.dup(1)
        errors = []
        try:
            os.dup2(read_end, 1)  # writing to the read end of a pipe fails with EBADF
            for _ in range(2):
                try:
                    PyTavrin().render()
                except BaseException as e:  # noqa: BLE001 - the module's internal error is not an Exception
                    errors.append(e)
        finally:
            os.dup2(saved, 1)
            for fd in (saved, read_end, write_end):
                os.close(fd)
        assert len(errors) == 2
        first, second = errors
        assert type(first) is type(second)
        assert type(first).__name__ == "InternalError" and type(first).__module__ == "tavrin_rl._tavrin"
        # The package exports the very class, to catch by name; the module itself gains no name.
        assert type(first) is tavrin_rl.InternalError
        assert not isinstance(first, Exception)
        assert str(first) == "failed printing to stdout: " + os.strerror(errno.EBADF)
