"""step, scores, rewards, outcome and piece_names."""

import pytest

from tavrin_rl._tavrin import PyTavrin

from states import ALL_PIECES, BOARD, state

I1_CODE, I2_CODE = 1, 2
V3_BIT, L5_BIT, I5_BIT = 1 << 2, 1 << 15, 1 << 20


def finished(masks, lasts=(0, 0, 0, 0)):
    """A game nobody can move in: agent 0 covers the whole board; scores follow the masks."""
    cells = [BOARD, [], [], []]
    return PyTavrin.from_bytes(state(list(zip(cells, masks, lasts))))


def first_agent_done():
    """Agent 1 sits on agent 0's start cell, so agent 0 is done before it moves; the others are not."""
    return PyTavrin.from_bytes(
        state([([], ALL_PIECES, 0), ([0], ALL_PIECES & ~1, I1_CODE), ([], ALL_PIECES, 0), ([], ALL_PIECES, 0)])
    )


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


class TestPieceNames:
    def test_names_in_index_order(self):
        names = PyTavrin.piece_names
        assert isinstance(names, tuple) and len(names) == 21 and len(set(names)) == 21
        assert names[:4] == ("I1", "I2", "V3", "I3")
        assert names[-3:] == ("V5", "N", "I5")
        assert names == ("I1", "I2", "V3", "I3", "T4", "O", "L4", "I4", "Z4", "F", "X",
                         "P", "W", "Z5", "Y", "L5", "U", "T5", "V5", "N", "I5")


class TestStep:
    def test_success_moves_the_turn_on(self):
        game = PyTavrin()
        for expected_ply in range(1, 9):
            mover = game.agent_selection
            mask = game.observe(mover).action_mask
            assert game.step(mask.index(1)) is None
            assert game.ply == expected_ply
            assert game.agent_selection == (mover + 1) % 4

    @pytest.mark.parametrize("action", [None, 36400, 2**31, 2**32 - 1, 36399, 1])
    def test_rejected_actions(self, action):
        # 36399 is the last orientation anchored at (19, 19), which cannot fit on the board;
        # 1 is a real placement that misses the start corner.
        game = PyTavrin()
        with pytest.raises(AssertionError) as e:
            game.step(action)
        assert str(e.value) == "Invalid action: Action index not available"
        assert game.agent_selection == 0 and game.ply == 0
        assert game.to_bytes() == PyTavrin().to_bytes()

    def test_rejected_after_kind_placed_or_overlap(self):
        game = PyTavrin()
        game.step(0)  # agent 0: I1 on its corner
        before = game.to_bytes()
        for _ in range(3):
            game.step(game.observe(game.agent_selection).action_mask.index(1))
        # Agent 0 again: I1 is gone, so every grid index of orientation 0 is refused.
        for index in range(0, 400, 37):
            with pytest.raises(AssertionError):
                game.step(index)
        assert game.agent_selection == 0 and game.ply == 4
        assert game.to_bytes()[:70] == before[:70]

    @pytest.mark.parametrize(
        "action,error,message",
        [
            (-1, OverflowError, None),
            (2**64, OverflowError, None),
            (2**32, OverflowError, "number too large to fit in target type"),
            (2**64 - 1, OverflowError, "number too large to fit in target type"),
            (1.0, TypeError, None),
            ("3", TypeError, None),
            (b"\x00", TypeError, None),
        ],
    )
    def test_conversion_failures_carry_a_note(self, action, error, message):
        game = PyTavrin()
        with pytest.raises(error) as e:
            game.step(action)
        if message is not None:
            assert str(e.value) == message
        assert notes(e) == ["while processing 'action_idx'"]
        assert game.to_bytes() == PyTavrin().to_bytes()

    def test_index_errors_propagate_with_the_note(self):
        class Broken:
            def __index__(self):
                raise KeyError("mine")

        game = PyTavrin()
        with pytest.raises(KeyError) as e:
            game.step(Broken())
        assert notes(e) == ["while processing 'action_idx'"]

    def test_integer_likes(self):
        game = PyTavrin()
        game.step(action_idx=0)
        assert game.ply == 1

        class Zero:
            def __index__(self):
                return 0

        game = PyTavrin()
        game.step(Zero())
        assert game.ply == 1

    def test_numpy_integer(self):
        np = pytest.importorskip("numpy")
        game = PyTavrin()
        game.step(np.uint16(0))
        assert game.ply == 1

    def test_true_is_index_one(self):
        # Agent 0 holds a cell at (1, 0), so (0, 1) is one of its corners and I1 there is index 1.
        game = PyTavrin.from_bytes(
            state([([21], ALL_PIECES & ~2, I2_CODE), ([], ALL_PIECES, 0), ([], ALL_PIECES, 0), ([], ALL_PIECES, 0)])
        )
        assert game.observe(0).action_mask[1] == 1
        game.step(True)
        assert game.observe(0).observation[1] == 1
        assert game.ply == 2 and game.agent_selection == 1

    def test_done_agent_passes(self):
        game = first_agent_done()
        assert game.terminations == [True, False, False, False]
        before = game.to_bytes()
        for action in [None, 0, 5, 2**32 - 1]:
            game.step(action)
            assert game.agent_selection == 1 and game.ply == 1
            assert game.to_bytes()[:-1] == before[:-1]
            game = PyTavrin.from_bytes(before)

    def test_done_agent_pass_still_converts(self):
        game = first_agent_done()
        with pytest.raises(OverflowError) as e:
            game.step(2**32)
        assert notes(e) == ["while processing 'action_idx'"]
        assert game.agent_selection == 0

    def test_passes_after_the_end(self):
        game = finished([I5_BIT, I5_BIT, I5_BIT | L5_BIT, 0], (0, 0, 0, I1_CODE))
        assert game.is_over
        before = game.to_bytes()
        for expected in [1, 2, 3, 0, 1]:
            game.step(None)
            assert game.agent_selection == expected
        assert game.to_bytes()[:-1] == before[:-1]


class TestScores:
    def test_new_game(self):
        game = PyTavrin()
        assert game.scores == [-89] * 4
        assert game.rewards == [None] * 4
        for mode in PyTavrin.reward_modes:
            assert game.outcome(mode) is None
        assert game.outcome(mode="rank") is None

    def test_rewards_of_done_agents_only(self):
        game = first_agent_done()
        assert game.scores == [-89, -88, -89, -89]
        assert game.rewards == [-89, None, None, None]
        assert game.outcome("score") is None

    def test_finished_game(self):
        game = finished([I5_BIT, I5_BIT, I5_BIT | L5_BIT, 0], (0, 0, 0, I1_CODE))
        assert game.terminations == [True] * 4 and game.is_over is True
        assert game.scores == [-5, -5, -10, 20]
        assert game.rewards == [-5, -5, -10, 20]
        assert game.outcome("score") == [-5.0, -5.0, -10.0, 20.0]
        assert game.outcome("win_share") == [0.0, 0.0, 0.0, 1.0]
        assert game.outcome("rank") == [0.5, 0.5, 0.0, 1.0]
        assert all(type(v) is float for v in game.outcome("rank"))

    def test_three_leaders_get_single_precision_shares(self):
        game = finished([0, 0, 0, V3_BIT], (I2_CODE, I2_CODE, I2_CODE, 0))
        assert game.scores == [15, 15, 15, -3]
        share = game.outcome("win_share")
        assert share == [0.3333333432674408] * 3 + [0.0]
        assert share[0] != 1 / 3
        assert game.outcome("rank") == [0.6666666865348816] * 3 + [0.0]

    @pytest.mark.parametrize("mode", ["Score", "rank ", "", " score", "win-share", "score\x00"])
    def test_unknown_mode(self, mode):
        for game in [PyTavrin(), finished([0] * 4)]:
            with pytest.raises(ValueError) as e:
                game.outcome(mode)
            assert str(e.value) == "Unknown reward mode " + mode
            assert notes(e) == []

    @pytest.mark.parametrize(
        "mode,message",
        [
            (0, "'int' object is not an instance of 'str'"),
            (None, "'None' is not an instance of 'str'"),
            (b"score", "'bytes' object is not an instance of 'str'"),
            (["score"], "'list' object is not an instance of 'str'"),
        ],
    )
    def test_mode_must_be_str(self, mode, message):
        with pytest.raises(TypeError) as e:
            PyTavrin().outcome(mode)
        assert str(e.value) == message
        assert notes(e) == ["while processing 'mode'"]

    def test_str_subclass_and_unencodable_text(self):
        class Mode(str):
            pass

        assert finished([0] * 4).outcome(Mode("score")) == [15.0] * 4
        with pytest.raises(UnicodeEncodeError) as e:
            PyTavrin().outcome("\ud800")
        assert notes(e) == ["while processing 'mode'"]
