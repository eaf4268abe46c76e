"""Long loops over every member and every error path: Python memory (tracemalloc), native memory
(the C library's bytes in use) and the reference counts of arguments and classes must not grow."""

from __future__ import annotations

import contextlib
import copy
import ctypes
import gc
import os
import pickle
import random
import sys
import tracemalloc

import numpy as np
import pytest

from tavrin_rl import PyObservation, PyTavrin

NEW_STATE = PyTavrin().to_bytes()


def fresh_bytes(data: bytes) -> bytes:
    """An unshared bytes object, so its reference count is the test's alone."""
    return bytes(bytearray(data))


def fresh_str(text: str) -> str:
    return "".join(list(text))


class Index:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class ReadsGame:
    """A conversion that reads the game being stepped: the borrow conflict under the global lock."""

    def __init__(self, game):
        self.game = game

    def __index__(self):
        return self.game.ply


class StepsGame:
    """A conversion that tries to step the game being observed."""

    def __init__(self, game):
        self.game = game

    def __index__(self):
        with contextlib.suppress(RuntimeError):
            self.game.step(None)
        return 0


def expect(exception, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exception:
        return
    raise AssertionError(f"{call} did not raise {exception.__name__}")


class Round:
    """One round calls every member, through every error path, on a game that moves on a ply per
    round (and starts again when it is over)."""

    def __init__(self, seed: int):
        self.rng = random.Random(seed)
        self.game = PyTavrin()
        self.devnull = os.open(os.devnull, os.O_WRONLY)

    def __call__(self):
        g = self.game
        rng = self.rng
        # Construction, copies, properties and class attributes.
        expect(TypeError, PyTavrin, 1)
        expect(TypeError, PyTavrin, x=0)
        expect(TypeError, PyObservation)
        c = g.copy()
        c = g.__copy__()
        c = g.__deepcopy__({})
        c = copy.deepcopy(g)
        expect(TypeError, g.__deepcopy__)
        _ = (g.agents, g.agent_selection, g.ply, g.terminations, g.is_over, g.scores, g.rewards,
             PyTavrin.num_actions, PyTavrin.action_grid_shape, PyTavrin.reward_modes, PyTavrin.piece_names)
        expect(AttributeError, setattr, g, "ply", 3)
        # Scoring.
        for mode in ("score", "win_share", "rank"):
            g.outcome(mode)
        g.outcome(mode="rank")
        expect(ValueError, g.outcome, "Score")
        expect(TypeError, g.outcome, 0)
        expect(TypeError, g.outcome)
        expect(TypeError, g.outcome, "score", "rank")
        expect(TypeError, g.outcome, "score", mode="rank")
        expect(TypeError, g.outcome, x="score")
        expect(UnicodeEncodeError, g.outcome, "\udc80")
        # Observing.
        for o in range(4):
            obs = g.observe(o)
            _ = (obs.observation, obs.corners, obs.blocked, obs.pieces, obs.done, obs.action_mask)
        obs = g.observe(agent_idx=Index(g.agent_selection))
        expect(ValueError, g.observe, 4)
        expect(OverflowError, g.observe, -1)
        expect(OverflowError, g.observe, 2**32)
        expect(TypeError, g.observe, "0")
        expect(TypeError, g.observe)
        expect(AttributeError, setattr, obs, "done", b"")
        g.observe(StepsGame(g))  # the inner step fails with "Already borrowed" and is swallowed
        # Persistence.
        data = g.to_bytes()
        assert g.__getstate__() == data
        c = PyTavrin.from_bytes(data)
        c = PyTavrin.from_bytes(data=data)
        c = g.from_bytes(data)
        c = pickle.loads(pickle.dumps(g))
        c.__setstate__(NEW_STATE)
        c.__setstate__(state=data)
        for bad in (b"", data[:-1], data + b"\0", b"\2" + data[1:], data[:277] + b"\4"):
            expect(ValueError, PyTavrin.from_bytes, bad)
            expect(ValueError, c.__setstate__, bad)
        for wrong in (bytearray(data), memoryview(data), None, "x"):
            expect(TypeError, PyTavrin.from_bytes, wrong)
            expect(TypeError, c.__setstate__, wrong)
        expect(TypeError, PyTavrin.from_bytes)
        expect(TypeError, PyTavrin.from_bytes, data, data)
        expect(TypeError, c.__setstate__, data, state=data)
        c.reset()
        # Stepping: every kind of rejection, then one legal move (or a pass).
        for bad in (None, 36400, 2**31, Index(2**32 - 1)) if not g.terminations[g.agent_selection] else ():
            expect(AssertionError, g.step, bad)
        for bad in (-1, 2**32, 2**64, 1.0, "3", Index(-1)):
            expect((OverflowError, TypeError), g.step, bad)
        expect(TypeError, g.step)
        expect(TypeError, g.step, 0, 0)
        expect(TypeError, g.step, 0, action_idx=0)
        expect(TypeError, g.step, y=0)
        expect(RuntimeError, g.step, ReadsGame(g))
        mask = np.frombuffer(g.observe(g.agent_selection).action_mask, dtype=np.uint8)
        ones = np.flatnonzero(mask)
        g.step(action_idx=int(rng.choice(ones)) if len(ones) else None)
        # Rendering, to the null device (render writes to file descriptor 1 itself).
        sys.stdout.flush()
        saved = os.dup(1)
        try:
            os.dup2(self.devnull, 1)
            g.render()
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        if g.is_over:
            g.reset()


def native_bytes_in_use():
    """The C library's count of bytes handed out by malloc and not freed (glibc's mallinfo2), which
    sees a leak of a few bytes that the resident size would hide in the heap's free space; None
    where it is not available."""
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None

    class Mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
            "keepcost")]

    mallinfo2.restype = Mallinfo2

    def measure() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return measure


def settles(round_, measure, limit: int, rounds: int, windows: int) -> list[int]:
    """Runs windows of `rounds` rounds until `measure` grows by less than `limit` over one; returns
    the growth of each window run. Caches and free lists fill up over the first windows (slowly
    with the sanitizer's allocator); a leak grows the same in every window and never settles."""
    grown: list[int] = []
    gc.collect()
    last = measure()
    while len(grown) < windows and (not grown or grown[-1] >= limit):
        for _ in range(rounds):
            round_()
        gc.collect()
        now = measure()
        grown.append(now - last)
        last = now
    return grown


@pytest.mark.slow  # thousands of rounds of every call
def test_python_memory_does_not_grow():
    round_ = Round(1)
    for _ in range(200):  # warm-up: caches, free lists, the catalogue
        round_()
    tracemalloc.start()
    try:
        grown = settles(round_, lambda: tracemalloc.get_traced_memory()[0], 4096, 500, 12)
    finally:
        tracemalloc.stop()
    # One leaked object per round would be at least 500 * 16 bytes in every window.
    assert grown[-1] < 4096, f"Python memory grew by {grown} bytes per 500 rounds"


@pytest.mark.skipif(native_bytes_in_use() is None, reason="needs glibc's mallinfo2")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer replaces malloc; it checks native memory its own way")
def test_native_memory_does_not_grow():
    round_ = Round(2)
    for _ in range(500):
        round_()
    grown = settles(round_, native_bytes_in_use(), 16 * 1024, 1000, 6)
    # Rounds make about 100 calls; one leaked 16-byte block per round is 16 KB a window.
    assert grown[-1] < 16 * 1024, f"native memory in use grew by {grown} bytes per 1000 rounds"


def test_reference_counts_return_to_their_start():
    game = PyTavrin()
    data = fresh_bytes(game.to_bytes())
    bad = fresh_bytes(b"\2" + data[1:])
    mode, bad_mode = fresh_str("rank"), fresh_str("Rank")
    memo, index, big = {}, Index(0), 10**30
    tracked = [data, bad, mode, bad_mode, memo, index, big, PyTavrin, PyObservation]
    gc.collect()  # games left in cycles by earlier tests would otherwise drop the class counts
    before = [sys.getrefcount(x) for x in tracked]
    for _ in range(300):
        game.__deepcopy__(memo)
        game.__deepcopy__(_memo=memo)
        game.outcome(mode)
        expect(ValueError, game.outcome, bad_mode)
        expect(ValueError, game.outcome, mode=bad_mode)
        game.observe(index)
        expect(OverflowError, game.observe, big)
        PyTavrin.from_bytes(data)
        expect(ValueError, PyTavrin.from_bytes, bad)
        expect(TypeError, PyTavrin.from_bytes, data, data=data)
        game.__setstate__(data)
        expect(ValueError, game.__setstate__, bad)
        expect(OverflowError, game.step, big)
        expect(TypeError, game.step, mode)
        expect(TypeError, game.step, index, action_idx=index)
        copy.copy(game)
        obs = game.observe(0)
        assert sys.getrefcount(obs) == 2  # the name and the call's argument: nothing else holds it
        del obs
    gc.collect()
    after = [sys.getrefcount(x) for x in tracked]
    assert after == before, list(zip(["data", "bad", "mode", "bad_mode", "memo", "index", "big", "PyTavrin",
                                       "PyObservation"], before, after))


def test_step_index_is_released_on_every_path():
    game = PyTavrin()
    ok, rejected, conflict = Index(0), Index(36400), ReadsGame(game)
    counts = [sys.getrefcount(x) for x in (ok, rejected, conflict)]
    for _ in range(200):
        expect(AssertionError, game.step, rejected)
        expect(RuntimeError, game.step, conflict)
        game.copy().step(ok)
    assert [sys.getrefcount(x) for x in (ok, rejected, conflict)] == counts
