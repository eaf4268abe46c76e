"""Property tests: random sequences of every call a training loop or a careless caller makes, with
the game's invariants checked after each, and the state reader fed arbitrary and corrupted bytes."""

from __future__ import annotations

import copy
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import reference_model as ref
from tavrin_rl import PyTavrin

INVALID = "Invalid action: Action index not available"
BAD_STATE = "Not a game state written by to_bytes() of this version"
NEW_STATE = PyTavrin().to_bytes()

# Seeded and bounded: the same examples every run, no example database, no time limit per example.
SETTINGS = settings(max_examples=40, stateful_step_count=40, deadline=None, derandomize=True, database=None,
                    suppress_health_check=list(HealthCheck))


def mask_ones(game: PyTavrin, agent: int) -> list[int]:
    return np.flatnonzero(np.frombuffer(game.observe(agent).action_mask, dtype=np.uint8)).tolist()


def check_any_state(game: PyTavrin) -> None:
    """What holds for every game, even one read from hand-made bytes: derived fields agree with the
    stored ones and with the masks."""
    data = game.to_bytes()
    state = ref.State(data)
    assert ref.state_is_valid(data)
    assert game.agent_selection == state.agent_selection
    assert game.ply == sum(state.placed(a) for a in range(4))
    assert game.scores == [state.score(a) for a in range(4)]
    terminations = game.terminations
    assert game.is_over == all(terminations)
    expected = ref.Frames(state, terminations)
    for o in range(4):
        obs = game.observe(o)
        assert obs.action_mask == expected.expected(o)["action_mask"]
        assert obs.done == bytes(int(terminations[(o + k) % 4]) for k in range(4))
        assert terminations[o] == (1 not in obs.action_mask)


def check_play_state(game: PyTavrin) -> None:
    """What holds in addition for a game reached by play from a new game."""
    state = ref.State(game.to_bytes())
    total = np.zeros((20, 20), dtype=int)
    for a in range(4):
        assert int(state.boards[a].sum()) == 89 - state.remaining_cells(a)
        assert (state.last[a] == 0) == (state.placed(a) == 0)
        total += state.boards[a]
    assert total.max() <= 1


class GameMachine(RuleBasedStateMachine):
    """One game under random calls. The model is the state the game was last set to (new, reset or
    read from bytes) plus the successful steps since; replaying them must give the game's bytes."""

    @initialize()
    def start(self):
        self.game = PyTavrin()
        self.base = NEW_STATE
        self.steps: list[object] = []
        self.from_play = True  # reached by play from a new game
        self.done_floor = [False] * 4
        self.seen = [NEW_STATE]

    def rebase(self, data: bytes, from_play: bool) -> None:
        self.base, self.steps, self.from_play = data, [], from_play
        self.done_floor = self.game.terminations

    def expect_unchanged(self, call, exception, message=None, note=None):
        before = self.game.to_bytes()
        with pytest.raises(exception) as caught:
            call()
        if message is not None:
            assert str(caught.value) == message
        if note is not None:
            assert getattr(caught.value, "__notes__", None) == [note]
        assert self.game.to_bytes() == before

    # Playing.

    @rule(data=st.data())
    def step_legal(self, data):
        agent = self.game.agent_selection
        ones = mask_ones(self.game, agent)
        arg = data.draw(st.sampled_from(ones)) if ones else data.draw(st.sampled_from([None, 0, 36400]))
        ply = self.game.ply
        self.game.step(arg)
        self.steps.append(arg)
        assert self.game.agent_selection == (agent + 1) % 4
        assert self.game.ply == ply + (1 if ones else 0)

    @rule(moves=st.integers(1, 40), seed=st.integers(0, 2**16))
    def play_on(self, moves, seed):
        """Many legal moves at once, so that runs reach the middle and the end of games."""
        for i in range(moves):
            ones = mask_ones(self.game, self.game.agent_selection)
            arg = ones[(seed * 7919 + i * 104729) % len(ones)] if ones else None
            self.game.step(arg)
            self.steps.append(arg)

    @rule(arg=st.one_of(st.none(), st.integers(0, 36399), st.integers(36400, 2**32 - 1)),
          keyword=st.booleans())
    def step_any(self, arg, keyword):
        agent = self.game.agent_selection
        mask = self.game.observe(agent).action_mask
        accepted = self.game.terminations[agent] or (arg is not None and arg < 36400 and mask[arg] == 1)
        call = (lambda: self.game.step(action_idx=arg)) if keyword else (lambda: self.game.step(arg))
        if accepted:
            call()
            self.steps.append(arg)
            assert self.game.agent_selection == (agent + 1) % 4
        else:
            self.expect_unchanged(call, AssertionError, INVALID)

    @rule(arg=st.sampled_from([-1, 2**32, 2**63, 2**64, 1.0, "3", b"1", [0]]))
    def step_unconvertible(self, arg):
        exception = OverflowError if isinstance(arg, int) else TypeError
        self.expect_unchanged(lambda: self.game.step(arg), exception, note="while processing 'action_idx'")

    # Reading.

    @rule(observer=st.integers(-3, 7))
    def observe(self, observer):
        if observer < 0:
            self.expect_unchanged(lambda: self.game.observe(observer), OverflowError,
                                  note="while processing 'agent_idx'")
        elif observer > 3:
            self.expect_unchanged(lambda: self.game.observe(observer), ValueError, f"Unknown agent {observer}")
        else:
            obs = self.game.observe(agent_idx=observer)
            lengths = [len(getattr(obs, f)) for f in ref.OBSERVATION_FIELDS]
            assert lengths == [1600, 1600, 1600, 84, 4, 36400]

    @rule(mode=st.sampled_from(["score", "win_share", "rank", "Score", "rank ", ""]))
    def outcome(self, mode):
        if mode in PyTavrin.reward_modes:
            result = self.game.outcome(mode)
            assert (result is None) == (not self.game.is_over)
        else:
            self.expect_unchanged(lambda: self.game.outcome(mode), ValueError, "Unknown reward mode " + mode)

    # Copies and persistence: continue on the new object, so later rules test it.

    @rule(how=st.sampled_from(["copy", "__copy__", "copy.copy", "copy.deepcopy", "from_bytes", "pickle"]),
          data=st.data())
    def replace_by_copy(self, how, data):
        old = self.game
        before = old.to_bytes()
        if how == "copy.copy":
            new = copy.copy(old)
        elif how == "copy.deepcopy":
            new = copy.deepcopy(old)
        elif how == "from_bytes":
            new = PyTavrin.from_bytes(before)
        elif how == "pickle":
            new = pickle.loads(pickle.dumps(old, protocol=data.draw(st.integers(2, pickle.HIGHEST_PROTOCOL))))
        else:
            new = getattr(old, how)()
        assert type(new) is PyTavrin and new is not old
        assert new.to_bytes() == before and new.terminations == old.terminations
        # The two are independent: moving one leaves the other as it was.
        ones = mask_ones(new, new.agent_selection)
        probe = new.copy()
        probe.step(ones[0] if ones else None)
        assert new.to_bytes() == before and old.to_bytes() == before
        self.game = new
        if self.from_play:  # setstate_seen replays only states that play reached
            self.seen.append(before)

    @rule(data=st.data())
    def setstate_seen(self, data):
        state = data.draw(st.sampled_from(self.seen))
        assert self.game.__setstate__(state) is None
        assert self.game.to_bytes() == state
        self.rebase(state, from_play=True)

    @rule(data=st.data())
    def setstate_corrupted(self, data):
        good = self.game.to_bytes()
        kind = data.draw(st.sampled_from(["bit", "byte", "length"]))
        if kind == "bit":
            i = data.draw(st.integers(0, len(good) * 8 - 1))
            bad = bytearray(good)
            bad[i // 8] ^= 1 << (i % 8)
            bad = bytes(bad)
        elif kind == "byte":
            i = data.draw(st.integers(0, len(good) - 1))
            bad = good[:i] + bytes([data.draw(st.integers(0, 255))]) + good[i + 1:]
        else:
            bad = good[:data.draw(st.integers(0, 300))] + bytes(data.draw(st.integers(0, 3)))
        if ref.state_is_valid(bad):
            self.game.__setstate__(state=bad)
            assert self.game.to_bytes() == bad
            self.rebase(bad, from_play=self.from_play and bad == good)
        else:
            self.expect_unchanged(lambda: self.game.__setstate__(bad), ValueError, BAD_STATE)
            self.expect_unchanged(lambda: PyTavrin.from_bytes(bad), ValueError, BAD_STATE)

    @rule(arg=st.sampled_from([None, bytearray(NEW_STATE), memoryview(NEW_STATE), "x", 0]))
    def setstate_not_bytes(self, arg):
        self.expect_unchanged(lambda: self.game.__setstate__(arg), TypeError, note="while processing 'state'")

    @rule()
    def reset(self):
        assert self.game.reset() is None
        assert self.game.to_bytes() == NEW_STATE
        self.rebase(NEW_STATE, from_play=True)

    @precondition(lambda self: len(self.steps) > 0)
    @invariant()
    def replay_gives_the_same_game(self):
        replay = PyTavrin.from_bytes(self.base)
        for arg in self.steps:
            replay.step(arg)
        assert replay.to_bytes() == self.game.to_bytes()

    @invariant()
    def state_is_consistent(self):
        check_any_state(self.game)
        if self.from_play:
            check_play_state(self.game)
        terminations = self.game.terminations
        assert all(t or not floor for t, floor in zip(terminations, self.done_floor)), "done reverted"
        self.done_floor = terminations


# 40 runs of 40 calls, each checked against the reference model: about a minute
TestGameMachine = pytest.mark.slow(GameMachine.TestCase)
TestGameMachine.settings = SETTINGS


# The state reader on arbitrary bytes: accepted exactly when every stored field is in range, an
# accepted state writes back unchanged, and every accepted state can be observed and played on.

def structured_state():
    """Plausible states: random cells (possibly overlapping), masks and codes across their ranges,
    any agent to move."""
    board = st.lists(st.integers(0, 399), max_size=60).map(
        lambda cells: np.isin(np.arange(400), cells).reshape(20, 20))
    mask = st.one_of(st.integers(0, 0x1FFFFF), st.sampled_from([0, 0x1FFFFF]))
    code = st.sampled_from(ref.KIND_CODES + (0,))
    return st.builds(ref.encode_state, st.lists(board, min_size=4, max_size=4),
                     st.lists(mask, min_size=4, max_size=4), st.lists(code, min_size=4, max_size=4),
                     st.integers(0, 3))


def with_field(data: bytes, offset: int, value: bytes) -> bytes:
    return data[:offset] + value + data[offset + len(value):]


def corrupted_field():
    """A plausible state with one stored field pushed out of (or just inside) its range."""
    agent = st.integers(0, 3)
    return st.one_of(
        st.builds(lambda d, v: with_field(d, 277, bytes([v])), structured_state(), st.integers(0, 255)),
        st.builds(lambda d, a, v: with_field(d, 1 + ref.BLOCK * a + 68, bytes([v])),
                  structured_state(), agent, st.integers(0, 255)),
        st.builds(lambda d, a, v: with_field(d, 1 + ref.BLOCK * a + 64, v.to_bytes(4, "little")),
                  structured_state(), agent,
                  st.one_of(st.integers(0x1FFFFF, 0x200001), st.integers(0x200000, 2**32 - 1))),
        st.builds(lambda d, v: with_field(d, 0, bytes([v])), structured_state(), st.integers(0, 3)),
    )


def with_stray_bits(data: bytes, positions: list[int]) -> bytes:
    """Sets board positions (any of 0 to 511) in the first block: the spare column and the
    positions past 419 must be refused."""
    out = bytearray(data)
    for p in positions:
        byte, bit = ref.bit_position_byte(p)
        out[1 + byte] |= 1 << bit
    return bytes(out)


@pytest.mark.slow  # 250 states, each checked against the reference model
@settings(SETTINGS, max_examples=250)
@given(st.one_of(
    structured_state(),
    corrupted_field(),
    st.builds(with_stray_bits, structured_state(), st.lists(st.integers(0, 511), max_size=3)),
    st.binary(min_size=276, max_size=280),
    st.binary(max_size=8),
))
def test_state_reader_accepts_exactly_the_valid_states(data):
    if not ref.state_is_valid(data):
        with pytest.raises(ValueError) as caught:
            PyTavrin.from_bytes(data)
        assert str(caught.value) == BAD_STATE
        return
    game = PyTavrin.from_bytes(data)
    assert game.to_bytes() == data
    check_any_state(game)
    # Play a few turns on from any accepted state; done flags never revert.
    for _ in range(6):
        before = game.terminations
        ones = mask_ones(game, game.agent_selection)
        game.step(ones[len(ones) // 2] if ones else None)
        assert all(t or not b for t, b in zip(game.terminations, before))
        check_any_state(game)


def test_states_nobody_can_move_in_read_as_over():
    full = np.ones((20, 20), dtype=bool)
    empty = np.zeros((20, 20), dtype=bool)
    data = ref.encode_state([full, empty, empty, empty], [ref.ALL_PIECES] * 4, [0] * 4, 2)
    game = PyTavrin.from_bytes(data)
    assert game.is_over and game.terminations == [True] * 4
    assert game.rewards == game.scores == [-89] * 4
    assert game.outcome("rank") == [0.5] * 4
    game.step(None)
    assert game.agent_selection == 3 and game.to_bytes()[:277] == data[:277]
