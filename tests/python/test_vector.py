"""tavrin_rl.vector.VectorGames against single PyTavrin games, across thread counts and on bad input."""

from __future__ import annotations

import gc
import threading
import re

import numpy as np
import pytest

from tavrin_rl import PyTavrin
from tavrin_rl.board import decode_states
from tavrin_rl.catalogue import PIECE_CELLS
from tavrin_rl.vector import VectorGames

pettingzoo_env = pytest.importorskip("tavrin_rl.pettingzoo_env", reason="the full observation is "
                                     "the PettingZoo env's; needs tavrin_rl[pettingzoo]")


def expect_like(v: VectorGames, i: int, game: PyTavrin) -> None:
    """Game i of the batch shows what the single game shows to its player to move."""
    player = game.agent_selection
    assert v.current_player[i] == player
    observation = game.observe(player)
    mask = np.frombuffer(observation.action_mask, dtype=np.uint8).astype(bool)
    assert mask.any(), "the player to move has a legal placement"
    if v.legal_action_mask is not None:
        np.testing.assert_array_equal(v.legal_action_mask[i], mask)
    offsets, actions = v.legal_actions()
    np.testing.assert_array_equal(actions[offsets[i]:offsets[i + 1]], np.flatnonzero(mask))
    planes = pettingzoo_env.observation_planes(observation).astype(np.uint8)
    if v.observation_mode == "full":
        np.testing.assert_array_equal(v.observation[i], planes)
    elif v.observation_mode == "compact":
        np.testing.assert_array_equal(v.observation[i], planes[:12])
        np.testing.assert_array_equal(v.pieces[i].ravel(), planes[12:96, 0, 0])
        np.testing.assert_array_equal(v.done[i], planes[96:, 0, 0])


def pass_out_of_moves(game: PyTavrin) -> None:
    while not game.is_over and game.terminations[game.agent_selection]:
        game.step(None)


@pytest.mark.parametrize("observation, mask, reward_mode", [
    ("full", True, "win_share"), ("compact", False, "score"), (None, True, "rank")])
def test_plays_like_single_games_with_autoreset(observation, mask, reward_mode):
    n = 4
    v = VectorGames(n, threads=2, seed=5, observation=observation, mask=mask, reward_mode=reward_mode)
    games = [PyTavrin() for _ in range(n)]
    ended = 0
    for ply in range(260):
        actions = v.sample_actions("greedy" if ply % 4 == 0 else "random")
        v.step(actions)
        for i, game in enumerate(games):
            game.step(int(actions[i]))
            pass_out_of_moves(game)
            assert v.terminated[i] == game.is_over
            if game.is_over:
                np.testing.assert_array_equal(v.rewards[i], np.float32(game.outcome(reward_mode)))
                np.testing.assert_array_equal(v.final_scores[i], game.scores)
                assert v.final_game(i).to_bytes() == game.to_bytes()
                games[i] = game = PyTavrin()
                ended += 1
            else:
                assert not v.rewards[i].any() and v.final_game(i) is None
            assert v.game(i).to_bytes() == game.to_bytes()
            expect_like(v, i, game)
    assert ended >= n


def trace(threads: int, seed: int, n: int = 23, plies: int = 120) -> list[bytes]:
    v = VectorGames(n, threads=threads, seed=seed, observation="compact")
    out = []
    for ply in range(plies):
        actions = v.sample_actions("random" if ply % 2 else "greedy")
        v.step(actions)
        out += [actions.tobytes(), v.to_bytes().tobytes(), v.observation.tobytes(), v.pieces.tobytes(),
                v.legal_action_mask.tobytes(), v.rewards.tobytes(), v.terminated.tobytes()]
    out += [a.tobytes() for a in v.legal_actions()]
    return out


def test_results_and_seeds_do_not_depend_on_threads():
    runs = [trace(threads, seed=9) for threads in (1, 2, 4)]
    assert runs[0] == runs[1] == runs[2]
    assert trace(1, seed=10, plies=3) != trace(1, seed=9, plies=3)
    v = VectorGames(23, threads=3, seed=9, observation="compact")
    v.reset(seed=9)  # a reset with the same seed restarts the same streams
    assert v.sample_actions("greedy").tobytes() == runs[0][0]
    # Whether the engine keeps the mask changes no draw.
    bare = VectorGames(23, threads=1, seed=9, observation=None, mask=False)
    for ply in range(6):
        actions = bare.sample_actions("random" if ply % 2 else "greedy")
        assert actions.tobytes() == runs[0][7 * ply]
        bare.step(actions)


def snapshot(v: VectorGames) -> list[bytes]:
    arrays = (v.observation, v.legal_action_mask, v.current_player, v.rewards, v.terminated, v.final_scores)
    return [v.to_bytes().tobytes()] + [a.tobytes() for a in arrays]


def test_refused_input_changes_no_game():
    n = 5
    v = VectorGames(n, threads=2, seed=3)
    for _ in range(20):
        v.step(v.sample_actions())
    actions = v.sample_actions()
    before = snapshot(v)
    bad_range = actions.astype(np.int64)
    bad_range[[2, 4]] = 2 ** 40, -1
    illegal = actions.copy()
    illegal[[1, 3]] = 0  # (0, 0) of the mover's frame is its own cell by now
    states = v.to_bytes()
    states[3, 0] = 99  # a version no reader knows
    cases = [
        (v.step, actions[:-1], ValueError, "shape"),
        (v.step, actions.astype(np.float64), TypeError, "integers"),
        (v.step, actions.astype(bool), TypeError, "integers"),
        (v.step, bad_range, ValueError, "game 2: action 1099511627776 is out of range"),
        (v.step, np.where(np.arange(n) == 4, 36400, actions).astype(np.int32), ValueError,
         "game 4: action 36400 is out of range"),
        (v.step, illegal, ValueError, f"game 1: action 0 is not a legal placement of player {v.current_player[1]}"),
        (v.load, states, ValueError, "game 3: not a game state"),
        (v.load, states[:, :-1], ValueError, "shape"),
        (v.load, states.astype(np.int16), TypeError, "uint8"),
    ]
    for method, argument, error, text in cases:
        with pytest.raises(error, match=re.escape(text)):
            method(argument)
        assert snapshot(v) == before, (method.__name__, text)
    v.step(actions)


def test_arrays_are_read_only_views_that_keep_the_engine_alive():
    v = VectorGames(3, threads=1, seed=1)
    observation, mask, rewards = v.observation, v.legal_action_mask, v.rewards
    assert observation is v.observation  # the same view every step, rewritten in place
    first = observation.copy()
    v.step(v.sample_actions())
    assert not np.array_equal(observation, first)
    for array in (observation, mask, rewards, v.current_player, v.terminated, v.final_scores):
        with pytest.raises(ValueError, match="read-only"):
            array[0] = 0
        with pytest.raises(ValueError):
            array.flags.writeable = True
    expected = mask.copy()
    del v
    gc.collect()
    np.testing.assert_array_equal(mask, expected)
    assert observation.sum() > 0


def test_load_round_trip_and_modes_without_arrays():
    source = VectorGames(6, threads=2, seed=4)
    for _ in range(37):
        source.step(source.sample_actions())
    v = VectorGames(6, threads=1, observation=None, mask=False)
    assert v.observation is None and v.legal_action_mask is None and v.pieces is None
    v.load(source.to_bytes())
    np.testing.assert_array_equal(v.to_bytes(), source.to_bytes())
    np.testing.assert_array_equal(v.current_player, source.current_player)
    for i in range(6):
        expect_like(v, i, v.game(i))
    owners, pieces, done, to_move = decode_states(source.to_bytes())
    seats = (source.current_player[:, None] + np.arange(4)) % 4
    np.testing.assert_array_equal(np.take_along_axis(pieces, seats[:, :, None], axis=1), source.pieces)
    np.testing.assert_array_equal(np.take_along_axis(done, seats, axis=1), source.done.astype(bool))
    np.testing.assert_array_equal(to_move, source.current_player)
    held = 89 - (pieces * np.array(PIECE_CELLS)).sum(axis=2)  # cells of the placed pieces
    np.testing.assert_array_equal((owners[:, :, :, None] == np.arange(4)).sum(axis=(1, 2)), held)
    with pytest.raises(IndexError):
        v.game(6)
    assert VectorGames.bytes_per_game(None, False) < 4000 < VectorGames.bytes_per_game("full", True)


def test_without_autoreset_a_finished_game_stays_finished():
    v = VectorGames(2, threads=1, seed=6, observation=None, autoreset=False)
    paid = np.zeros(2, dtype=int)
    for _ in range(200):
        v.step(v.sample_actions())
        paid += v.rewards.any(axis=1)
    assert v.terminated.all() and (v.current_player == -1).all() and (paid == 1).all()
    assert not v.legal_action_mask.any()
    assert v.final_game(0).is_over and v.game(0).to_bytes() == v.final_game(0).to_bytes()
    finished = v.game(1).to_bytes()
    v.reset(games=[0])
    assert v.terminated.tolist() == [False, True] and v.current_player.tolist() == [0, -1]
    assert v.game(0).ply == 0 and v.game(1).to_bytes() == finished
    v.reset(games=np.array([False, True]))
    assert not v.terminated.any() and (v.current_player == 0).all()


def test_a_hundred_thousand_games():
    v = VectorGames(100_000, seed=0, observation=None, mask=False)
    v.step(v.sample_actions("greedy"))
    assert (v.current_player == 1).all()
    assert v.game(99_999).ply == 1


def test_threads_sharing_one_batch_are_refused_not_mixed():
    v = VectorGames(2000, threads=2, seed=8, observation=None, mask=False)
    unexpected = []

    def play():
        for _ in range(30):
            try:
                v.step(v.sample_actions())
            except RuntimeError as error:  # another thread holds the batch: refused at once
                if str(error) != "VectorGames is in use by another thread":
                    unexpected.append(error)
            except ValueError as error:  # sampled before another thread's step: stale, refused whole
                if "is not a legal placement" not in str(error):
                    unexpected.append(error)
            except Exception as error:  # noqa: BLE001 (reported below, not lost in the thread)
                unexpected.append(error)

    workers = [threading.Thread(target=play) for _ in range(3)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not unexpected
    # Whatever the interleaving, every game is a valid position that reads back as it stands.
    copy = VectorGames(2000, threads=1, observation=None, mask=False)
    copy.load(v.to_bytes())
    np.testing.assert_array_equal(copy.current_player, v.current_player)
    np.testing.assert_array_equal(copy.to_bytes(), v.to_bytes())


def test_threads_the_system_refuses_raise_and_leave_nothing_behind():
    import subprocess
    import sys
    script = ("import resource\n"
              "resource.setrlimit(resource.RLIMIT_AS, (2_500_000_000, 2_500_000_000))\n"
              "from tavrin_rl.vector import VectorGames\n"
              "try:\n"
              "    VectorGames(4, threads=1024)\n"
              "except RuntimeError as error:\n"
              "    print('refused:', error)\n"
              "v = VectorGames(4, threads=2)\n"
              "v.step(v.sample_actions())\n"
              "print('still works')\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "refused: cannot start 1023 worker threads" in done.stdout and "still works" in done.stdout


def test_seats_played_by_the_engine_and_subsets():
    v = VectorGames(8, seats={0: "learner", 1: "reach", 2: "greedy", 3: "random"}, seed=3,
                    rotate_seats=True, observation=None, mask=False)
    turns = {bytes(np.roll(np.array([0, 4, 3, 2], np.uint8), k)) for k in range(4)}
    assert {bytes(row) for row in v.lineup} <= turns and len({bytes(r) for r in v.lineup}) > 1
    for _ in range(200):
        assert v.outside_to_move().all()  # step returns only when the learner is to move
        assert (v.lineup[np.arange(8), v.current_player] == 0).all()
        before = v.to_bytes()
        actions = v.sample_actions()
        v.step(actions, games=[1, 5])
        after = v.to_bytes()
        untouched = [i for i in range(8) if i not in (1, 5)]
        np.testing.assert_array_equal(after[untouched], before[untouched])
        v.step(actions * 0 + v.sample_actions(), games=np.arange(8) % 2 == 0)
    v.reset(games=[])  # no game
    with pytest.raises(ValueError, match="learner or external"):
        VectorGames(2, seats=("reach",) * 4)


def test_a_caller_writing_its_array_during_a_step_cannot_make_the_engine_apply_unchecked_actions():
    """The engine copies the actions before it works without the GIL: a writer thread racing
    the call leads to a refusal (ValueError, nothing changed) or a legal step, never a fault."""
    import threading
    v = VectorGames(256, threads=2, seed=5, observation=None, mask=False)
    stop = threading.Event()
    actions = np.zeros(256, np.int32)

    def scribble():
        while not stop.is_set():
            actions[:] = 1  # I1 far from every corner: illegal in every game
    for _ in range(100):
        actions[:] = v.sample_actions()
        writer = threading.Thread(target=scribble)
        writer.start()
        try:
            v.step(actions)
        except ValueError:
            pass
        finally:
            stop.set()
            writer.join()
            stop.clear()


def test_a_caller_writing_its_array_during_a_load_changes_every_game_or_none():
    """`load` checks and sets the games from one copy of the caller's states: a thread writing
    invalid states into the array during the call leads to a refusal with no game changed, or
    to every game set from the valid states, never to a fault half-way."""
    import threading
    n = 4000
    v = VectorGames(n, threads=2, seed=5, observation=None, mask=False)
    source = VectorGames(n, threads=2, seed=6, observation=None, mask=False)
    for _ in range(6):
        source.step(source.sample_actions())
    valid = source.to_bytes()
    invalid = np.full_like(valid, 0xFF)
    with pytest.raises(ValueError):
        PyTavrin.from_bytes(invalid[0].tobytes())
    states = valid.copy()
    stop = threading.Event()

    def scribble():
        while not stop.is_set():
            states[:] = invalid  # large copies run without the GIL: truly beside the load
            states[:] = valid
    outcomes = set()
    for _ in range(60):
        v.reset(5)
        before = v.to_bytes()
        writer = threading.Thread(target=scribble)
        writer.start()
        try:
            v.load(states)
            outcomes.add("loaded")
            assert (v.to_bytes() == valid).all()
        except ValueError:
            outcomes.add("refused")
            assert (v.to_bytes() == before).all()
        finally:
            stop.set()
            writer.join()
            stop.clear()
    assert outcomes  # (which of the two happen depends on the scheduler)


def test_play_out_of_one_name_says_it_got_a_str():
    with pytest.raises(TypeError, match="four seat names .* got a str"):
        VectorGames(2, observation=None, mask=False).play_out("reach")
