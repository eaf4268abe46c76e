"""The policy file and the numpy policy net, by their former import path: they live in
`tavrin_rl.nets` (`format`: the file; `policy`: `Policy` and its loader; `forward`: the numpy
forward pass; `inputs`: a position's arrays and picks; `engine`: the bridge to the engine)."""

from __future__ import annotations

from tavrin_rl._limits import MAX_CHANNELS, MAX_HIDDEN, MAX_LAYERS
from tavrin_rl.catalogue import BOARD_SIDE, NUM_ORIENTATIONS
from tavrin_rl.nets import baseline_path
from tavrin_rl.nets.engine import engine_array_names
from tavrin_rl.nets.format import (BOARD_PLANES, CELLS, FORMAT, NUM_EXTRAS, expected_shapes,
                                   policy_arrays, read_policy_file, save_policy)
from tavrin_rl.nets.inputs import (blind_arrays, extras_of, legal_entries, position_arrays,
                                   segment_argmax, segment_sample)
from tavrin_rl.nets.policy import Policy, load_policy, provide_policy

__all__ = ["BOARD_PLANES", "BOARD_SIDE", "CELLS", "FORMAT", "MAX_CHANNELS", "MAX_HIDDEN",
           "MAX_LAYERS", "NUM_EXTRAS", "NUM_ORIENTATIONS", "Policy", "baseline_path",
           "blind_arrays", "engine_array_names", "expected_shapes", "extras_of", "legal_entries",
           "load_policy", "policy_arrays", "position_arrays", "provide_policy",
           "read_policy_file", "save_policy", "segment_argmax", "segment_sample"]
