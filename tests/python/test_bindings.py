"""The binding toolkit as tavrin_rl._engine uses it: exported arrays, its fault policy, argument checks."""

from __future__ import annotations

import numpy as np
import pytest

from tavrin_rl import _engine

N = 3


def test_views_export_the_element_type_and_shape_the_package_reads():
    core = _engine.VectorGames(N)  # full observation, with the mask
    expected = {
        "observation": ("B", (N, 100, 20, 20)), "pieces": ("B", (N, 4, 21)), "done": ("B", (N, 4)),
        "legal_action_mask": ("?", (N, 36400)), "current_player": ("b", (N,)), "rewards": ("f", (N, 4)),
        "terminated": ("?", (N,)), "final_scores": ("h", (N, 4)), "lineup": ("B", (N, 4)),
    }
    for name, (fmt, shape) in expected.items():
        view = core.view(name)
        m = memoryview(view)
        assert (m.format, m.shape, m.readonly, m.c_contiguous) == (fmt, shape, True, True), name
        array = np.asarray(view)
        assert (array.dtype, array.shape) == (np.dtype(fmt), shape)
        # A consumer asking for plain bytes gets the same bytes.
        assert np.frombuffer(view, dtype=np.uint8).nbytes == m.nbytes == array.nbytes
        assert bytes(m) == np.frombuffer(view, dtype=np.uint8).tobytes()
    with pytest.raises(ValueError, match="no array named 'nothing'"):
        core.view("nothing")
    assert _engine.VectorGames(N, observation=0, mask=False).view("legal_action_mask") is None


def test_a_batch_too_large_is_memory_error_and_engine_refusals_keep_their_class():
    # Larger than any container can hold: MemoryError, never an abort or an internal error.
    with pytest.raises(MemoryError):
        _engine.VectorGames(2 ** 62)
    core = _engine.VectorGames(N)
    with pytest.raises(ValueError, match="policy code must be below"):
        core.sample_actions(99, np.zeros(N, np.int32))
    # The engine's own refusal (a lineup of engine seats with autoreset) is ValueError too.
    with pytest.raises(ValueError, match="autoreset"):
        _engine.VectorGames(N, seats=bytes([2, 2, 2, 2]), autoreset=True)


def test_positional_functions_check_counts_and_codes():
    with pytest.raises(TypeError, match=r"^pick\(\) takes 3 arguments \(2 given\)$"):
        _engine.pick(0, b"")
    with pytest.raises(TypeError, match=r"^reset\(\) takes 2 or 3 arguments \(1 given\)$"):
        _engine.VectorGames(N).reset(None)
    with pytest.raises(ValueError, match="^observation code must be below 3, got 3$"):
        _engine.bytes_per_game(3, True)
    with pytest.raises(OverflowError):
        _engine.stream_for_game(-1, 0)
    with pytest.raises(ValueError, match="not a game state"):
        _engine.picture(b"\0" * 278)
    assert _engine.pick.__text_signature__ == "($module, policy, source, stream, /)"
