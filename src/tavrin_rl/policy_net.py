"""The numpy policy net and its evaluation, by their first import path: they live in
`tavrin_rl.nets` and `tavrin_rl.evaluate`.

    from tavrin_rl.policy_net import Policy, evaluate
    result = evaluate(Policy.load("runs/x/policy.npz"), ["greedy"] * 3, games=1000)
"""

from __future__ import annotations

from tavrin_rl.evaluate import Evaluation, evaluate, outcome, play_games
from tavrin_rl.agents.net import *  # noqa: F403
from tavrin_rl.nets.format import BOARD_PLANES, CELLS, FORMAT, NUM_EXTRAS, save_policy
from tavrin_rl.nets.inputs import (blind_arrays, extras_of, legal_entries, position_arrays,
                                   segment_argmax, segment_sample)
from tavrin_rl.nets.policy import Policy

__all__ = ["BOARD_PLANES", "CELLS", "FORMAT", "NUM_EXTRAS", "Evaluation", "Policy", "blind_arrays",
           "evaluate", "extras_of", "legal_entries", "outcome", "play_games", "position_arrays",
           "save_policy", "segment_argmax", "segment_sample"]
