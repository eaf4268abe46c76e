"""Seeded random games played to the end from Python, checked at every ply against an independent
model of the rules (reference_model): the stored state, the turn order, the scores, every
observer's planes and action mask, and that the mask is exactly the set of indexes `step` accepts
in every agent's frame."""

from __future__ import annotations

import copy
import pickle
import random

import numpy as np
import pytest

import reference_model as ref
from tavrin_rl import PyTavrin

INVALID = "Invalid action: Action index not available"
MODES = ("score", "win_share", "rank")


def reference_outcome(scores: list[int], mode: str) -> list[float]:
    """The outcome in single precision, summed in the order the rules fix."""
    out = []
    for s in scores:
        better = sum(t > s for t in scores)
        ties = sum(t == s for t in scores)
        if mode == "score":
            out.append(float(np.float32(s)))
        elif mode == "win_share":
            out.append(float(np.float32(1.0) / np.float32(ties)) if better == 0 else 0.0)
        else:
            total = np.float32(0.0)
            for k in range(ties):
                total = np.float32(total + np.float32(3 - better - k) / np.float32(3.0))
            out.append(float(np.float32(total / np.float32(ties))))
    return out


def check_state(game: PyTavrin, previous_terminations: list[bool]) -> tuple[bytes, ref.State, list[bool]]:
    """The invariants of a game reached by play; returns its bytes, decoded state and done flags."""
    data = game.to_bytes()
    state = ref.State(data)
    terminations = game.terminations
    assert game.agent_selection == state.agent_selection
    assert game.ply == sum(state.placed(a) for a in range(4))
    stack = np.zeros((20, 20), dtype=int)
    for a in range(4):
        placed = state.placed(a)
        assert 0 <= placed <= 21
        # The last kind is a placed one, and there is one exactly when something was placed.
        assert (state.last[a] == 0) == (placed == 0)
        if placed:
            assert not state.pieces[a] >> ref.CODE_TO_KIND[state.last[a]] & 1
        # Cells on the board are exactly the cells of the placed kinds.
        assert int(state.boards[a].sum()) == 89 - state.remaining_cells(a)
        stack += state.boards[a]
        if previous_terminations[a]:
            assert terminations[a], "a done flag reverted"
    assert stack.max() <= 1, "two agents cover one cell"
    assert game.is_over == all(terminations)
    scores = [state.score(a) for a in range(4)]
    assert game.scores == scores
    assert game.rewards == [s if t else None for s, t in zip(scores, terminations)]
    for mode in MODES:
        assert game.outcome(mode) == (reference_outcome(scores, mode) if all(terminations) else None)
    return data, state, terminations


def check_observations(game: PyTavrin, state: ref.State, terminations: list[bool]) -> list[bytes]:
    """Every observer's six buffers equal the model's; returns the four action masks."""
    frames = ref.Frames(state, terminations)
    masks = []
    for o in range(4):
        obs = game.observe(o)
        expected = frames.expected(o)
        for field in ref.OBSERVATION_FIELDS:
            assert getattr(obs, field) == expected[field], f"observer {o}: {field}"
        # placed + remaining = 21 for every seat, read from the pieces plane.
        assert 84 - sum(obs.pieces) == game.ply
        # An agent is done exactly when it has nothing left to place.
        assert terminations[o] == (1 not in obs.action_mask), f"observer {o}"
        masks.append(obs.action_mask)
    return masks


_IMAGES: dict[tuple[int, int], int] = {}


def placement_image(g: int, agent: int) -> int:
    """The 64-byte image (as an int) of the cells that grid index g of `agent`'s frame covers."""
    key = (g, agent)
    if key not in _IMAGES:
        board = ref.from_frame(ref.grid_cells(g), agent)
        _IMAGES[key] = int.from_bytes(ref.board_to_image(board), "little")
    return _IMAGES[key]


def expected_after_step(data: bytes, agent: int, g: int) -> bytes:
    """The state bytes after `agent`, to move in `data`, places grid index g of its frame."""
    out = bytearray(data)
    base = 1 + ref.BLOCK * agent
    image = int.from_bytes(data[base:base + 64], "little") | placement_image(g, agent)
    kind = int(ref.GRID_KIND[g])
    pieces = int.from_bytes(data[base + 64:base + 68], "little") & ~(1 << kind)
    out[base:base + 64] = image.to_bytes(64, "little")
    out[base + 64:base + 68] = pieces.to_bytes(4, "little")
    out[base + 68] = ref.KIND_CODES[kind]
    out[277] = (agent + 1) % 4
    return bytes(out)


def check_mask_against_step(game: PyTavrin, mask: bytes, rng: random.Random, zeros: int) -> None:
    """Every 1 of the mover's mask steps (to the expected state, on a copy); a sample of the 0s,
    including every neighbour of a 1, is rejected and changes nothing."""
    data = game.to_bytes()
    agent = game.agent_selection
    ones = np.flatnonzero(np.frombuffer(mask, dtype=np.uint8))
    for g in ones.tolist():
        trial = game.copy()
        trial.step(g)
        assert trial.to_bytes() == expected_after_step(data, agent, g), f"agent {agent} index {g}"
    near = {g + d for g in ones.tolist() for d in (-400, -20, -1, 1, 20, 400)}
    candidates = [g for g in near if 0 <= g < ref.GRID_SIZE and not mask[g]]
    candidates += rng.sample(range(ref.GRID_SIZE), zeros)
    for g in [None, ref.GRID_SIZE, 2**31, 2**32 - 1] + candidates:
        if g is not None and g < ref.GRID_SIZE and mask[g]:
            continue
        with pytest.raises(AssertionError) as caught:
            game.step(g)
        assert str(caught.value) == INVALID
        assert game.to_bytes() == data, f"rejected index {g} changed the game"


def check_round_trips(game: PyTavrin, data: bytes) -> None:
    """Bytes, pickle (every protocol from 2) and the copy methods give an equal game."""
    observed = [[getattr(game.observe(o), f) for f in ref.OBSERVATION_FIELDS] for o in range(4)]
    restored = [PyTavrin.from_bytes(data), copy.copy(game), copy.deepcopy(game), game.copy()]
    restored += [pickle.loads(pickle.dumps(game, protocol=p)) for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]
    fresh = PyTavrin()
    fresh.__setstate__(data)
    restored.append(fresh)
    assert game.__getstate__() == data
    for other in restored:
        assert other is not game
        assert other.to_bytes() == data
        assert (other.ply, other.agent_selection, other.terminations, other.scores, other.rewards) == (
            game.ply, game.agent_selection, game.terminations, game.scores, game.rewards)
        assert [[getattr(other.observe(o), f) for f in ref.OBSERVATION_FIELDS] for o in range(4)] == observed


def play(seed: int, *, every_frame: bool, zeros: int, round_trip_every: int) -> int:
    """Plays one seeded game to its end under every check; returns the number of plies."""
    rng = random.Random(seed)
    game = PyTavrin()
    terminations = [False] * 4
    turns = 0
    while True:
        ply_before, agent = game.ply, game.agent_selection
        data, state, new_terminations = check_state(game, terminations)
        terminations = new_terminations
        masks = check_observations(game, state, terminations)
        if turns % round_trip_every == 0 or game.is_over:
            check_round_trips(game, data)
        if game.is_over:
            break
        # The mask of every agent still in the game is what `step` accepts when that agent is
        # to move: the mover on this game, the others on a copy with the turn handed to them.
        for o in range(4):
            if terminations[o] or not (o == agent or every_frame):
                continue
            subject = game if o == agent else PyTavrin.from_bytes(data[:277] + bytes([o]))
            check_mask_against_step(subject, masks[o], rng, zeros)
        if terminations[agent]:
            # A done agent passes whatever it is given; only the turn moves on.
            game.step(rng.choice([None, 0, 36399, 36400, 2**32 - 1]))
            assert game.ply == ply_before
            assert game.to_bytes() == data[:277] + bytes([(agent + 1) % 4])
        else:
            ones = np.flatnonzero(np.frombuffer(masks[agent], dtype=np.uint8))
            g = int(rng.choice(ones.tolist()))
            game.step(g)
            assert game.ply == ply_before + 1
            assert game.to_bytes() == expected_after_step(data, agent, g)
        assert game.agent_selection == (agent + 1) % 4
        turns += 1
    # Over: every agent passes with anything, nothing else changes.
    final = game.to_bytes()
    for k in range(4):
        game.step(None if k % 2 else 12345)
        assert game.to_bytes()[:277] == final[:277]
    assert game.agent_selection == final[277]
    return game.ply


@pytest.mark.parametrize("seed", range(3))
def test_every_frame_agrees_with_step_at_every_ply(seed):
    plies = play(seed, every_frame=True, zeros=24, round_trip_every=7)
    assert 40 <= plies <= 84


@pytest.mark.parametrize("seed", range(100, 108))
def test_random_games_keep_invariants(seed):
    plies = play(seed, every_frame=False, zeros=8, round_trip_every=29)
    assert 40 <= plies <= 84


@pytest.mark.slow  # every placement of whole games, in every frame
def test_every_placement_is_masked_and_accepted_in_every_frame():
    # Play seldom reaches the far edges and the ends of the tables (the last orientation, the last
    # anchor column), so every placement is also met exactly: one lone piece of the observer at
    # each of the 400 cells, with all other kinds held, in each agent's frame.
    empty = np.zeros((20, 20), dtype=bool)
    for agent in range(4):
        covered = np.zeros(ref.GRID_SIZE, dtype=bool)
        for cell in range(400):
            boards = [empty] * 4
            boards[agent] = np.isin(np.arange(400), [cell]).reshape(20, 20)
            pieces = [ref.ALL_PIECES] * 4
            pieces[agent] = ref.ALL_PIECES & ~1
            last = [0] * 4
            last[agent] = ref.KIND_CODES[0]
            data = ref.encode_state(boards, pieces, last, agent)
            game = PyTavrin.from_bytes(data)
            mask = game.observe(agent).action_mask
            state = ref.State(data)
            assert mask == ref.Frames(state, game.terminations).expected(agent)["action_mask"], (agent, cell)
            ones = np.flatnonzero(np.frombuffer(mask, dtype=np.uint8))
            covered[ones] = True
            for g in ones.tolist():
                trial = game.copy()
                trial.step(g)
                assert trial.to_bytes() == expected_after_step(data, agent, g), (agent, cell, g)
        # Every placement but those of the lone piece's kind is legal somewhere.
        assert np.array_equal(covered, ref.GRID_FITS & (ref.GRID_KIND != 0)), agent
