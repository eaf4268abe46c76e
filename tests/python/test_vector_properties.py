"""Property tests of the batched engine's step and load with random batches, valid and invalid: a
refused batch changes no game and no array, an accepted one equals N single games."""

from __future__ import annotations

import re

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

from tavrin_rl import PyTavrin
from tavrin_rl.vector import NUM_ACTIONS, STATE_SIZE, VectorGames

# Seeded and bounded: the same examples every run, no example database, no time limit per example.
SETTINGS = settings(max_examples=120, deadline=None, derandomize=True, database=None,
                    suppress_health_check=list(HealthCheck))
GAMES = 4
REWARD_MODE = "rank"


def batch(seed: int, plies: int) -> VectorGames:
    """A batch a few plies into its games; two threads, so the pool splits every call."""
    v = VectorGames(GAMES, threads=2, seed=seed, observation="compact", reward_mode=REWARD_MODE)
    for _ in range(plies):
        v.step(v.sample_actions())
    return v


def snapshot(v: VectorGames) -> list[bytes]:
    arrays = (v.to_bytes(), v.observation, v.pieces, v.done, v.legal_action_mask, v.current_player, v.rewards,
              v.terminated, v.final_scores)
    return [a.tobytes() for a in arrays] + [a.tobytes() for a in v.legal_actions()]


def pass_out_of_moves(game: PyTavrin) -> None:
    while not game.is_over and game.terminations[game.agent_selection]:
        game.step(None)


def assert_game_matches(v: VectorGames, i: int, game: PyTavrin) -> None:
    """Game i of the batch is `game`, as the player to move sees it."""
    assert v.game(i).to_bytes() == game.to_bytes()
    player = game.agent_selection
    assert v.current_player[i] == player
    mask = np.frombuffer(game.observe(player).action_mask, dtype=np.uint8).astype(bool)
    np.testing.assert_array_equal(v.legal_action_mask[i], mask)


def refused(call, argument, v: VectorGames, bad_games: set[int], text: str) -> None:
    before = snapshot(v)
    try:
        call(argument)
    except ValueError as e:
        named = re.match(r"game (\d+): ", str(e))
        assert named and int(named.group(1)) in bad_games and text in str(e), str(e)
    else:
        raise AssertionError(f"accepted a batch with bad games {sorted(bad_games)}")
    assert snapshot(v) == before


ACTION_KINDS = st.sampled_from(["legal"] * 6 + ["illegal", "out of range"])


@pytest.mark.slow  # 120 batches of games
@SETTINGS
@given(seed=st.integers(0, 2**32), plies=st.integers(0, 70), wide=st.booleans(), data=st.data())
def test_step_refuses_any_bad_action_and_otherwise_plays_like_single_games(seed, plies, wide, data):
    v = batch(seed, plies)
    offsets, legal = v.legal_actions()
    actions, bad = [], set()
    for i in range(GAMES):
        ones = legal[offsets[i]:offsets[i + 1]]
        kind = data.draw(ACTION_KINDS)
        if kind == "legal":
            action = data.draw(st.sampled_from(ones.tolist()))
        elif kind == "illegal":
            action = data.draw(st.integers(0, NUM_ACTIONS - 1))
        else:
            limit = 2**40 if wide else 2**31 - 1
            action = data.draw(st.one_of(st.integers(-limit, -1), st.integers(NUM_ACTIONS, limit)))
        if action not in set(ones.tolist()):
            bad.add(i)
        actions.append(action)
    array = np.array(actions, dtype=np.int64 if wide else np.int32)
    if bad:
        event("refused")
        refused(v.step, array, v, bad, "action")
        return
    event("accepted")
    games = [v.game(i) for i in range(GAMES)]
    v.step(array)
    for i, game in enumerate(games):
        game.step(actions[i])
        pass_out_of_moves(game)
        assert v.terminated[i] == game.is_over
        if game.is_over:
            # Finished and restarted in the same step: the outcome and the final game are kept.
            assert v.final_game(i).to_bytes() == game.to_bytes()
            np.testing.assert_array_equal(v.rewards[i], np.float32(game.outcome(REWARD_MODE)))
            np.testing.assert_array_equal(v.final_scores[i], game.scores)
            game = PyTavrin()
        else:
            assert not v.rewards[i].any()
        assert_game_matches(v, i, game)


@pytest.mark.slow  # 120 batches of games
@SETTINGS
@given(seed=st.integers(0, 2**32), plies=st.integers(0, 70), data=st.data())
def test_load_refuses_any_bad_state_and_otherwise_sets_every_game(seed, plies, data):
    states = batch(seed, plies).to_bytes()
    for i in range(GAMES):
        # Some games keep their state, others get a few bytes overwritten at random.
        for _ in range(data.draw(st.sampled_from([0, 0, 1, 2, 5]))):
            states[i, data.draw(st.integers(0, STATE_SIZE - 1))] = data.draw(st.integers(0, 255))
    expected, bad = [], set()
    for i in range(GAMES):
        try:
            expected.append(PyTavrin.from_bytes(states[i].tobytes()))
        except ValueError:
            bad.add(i)
    v = batch(seed + 1, 3)
    if bad:
        event("refused")
        refused(v.load, states, v, bad, "not a game state")
        return
    event("accepted")
    v.load(states)
    for i, game in enumerate(expected):
        if not game.terminations[game.agent_selection]:
            assert v.to_bytes()[i].tobytes() == states[i].tobytes()  # kept as it was written
        pass_out_of_moves(game)
        if not game.is_over:
            assert_game_matches(v, i, game)
