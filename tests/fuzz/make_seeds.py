"""Writes the seed inputs of the state reader's fuzz corpus: states from seeded play, hand-made
states the reader must accept, and near misses of every rejection rule. Run with an interpreter
that has tavrin_rl installed:  python tests/fuzz/make_seeds.py"""

from __future__ import annotations

import pathlib
import random
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))

import reference_model as ref  # noqa: E402
from tavrin_rl import PyTavrin  # noqa: E402


def played_states() -> dict[str, bytes]:
    out = {}
    for seed in range(3):
        rng = random.Random(seed)
        game = PyTavrin()
        while not game.is_over:
            if game.ply % 12 == 0 and game.agent_selection == 0:
                out[f"play-{seed}-ply{game.ply:02d}"] = game.to_bytes()
            ones = np.flatnonzero(np.frombuffer(game.observe(game.agent_selection).action_mask, dtype=np.uint8))
            game.step(int(rng.choice(ones)) if len(ones) else None)
        out[f"play-{seed}-over"] = game.to_bytes()
    return out


def set_position(data: bytes, agent: int, p: int) -> bytes:
    out = bytearray(data)
    byte, bit = ref.bit_position_byte(p)
    out[1 + ref.BLOCK * agent + byte] |= 1 << bit
    return bytes(out)


def set_field(data: bytes, offset: int, value: bytes) -> bytes:
    return data[:offset] + value + data[offset + len(value):]


def edge_states(base: bytes) -> dict[str, bytes]:
    mask_at = lambda a: 1 + ref.BLOCK * a + 64  # noqa: E731
    code_at = lambda a: 1 + ref.BLOCK * a + 68  # noqa: E731
    out = {
        "empty": b"",
        "short": base[:-1],
        "long": base + b"\0",
        "version0": set_field(base, 0, b"\0"),
        "version2": set_field(base, 0, b"\2"),
    }
    for v in (3, 4, 255):
        out[f"agent-byte-{v}"] = set_field(base, 277, bytes([v]))
    for a in range(4):
        for v in (0, 0x1FFFFF, 0x200000, 0xFFFFFFFF):
            out[f"mask-{a}-{v:x}"] = set_field(base, mask_at(a), v.to_bytes(4, "little"))
        for code in (0, 1, 4, 8, 101, 102):
            out[f"code-{a}-{code}"] = set_field(base, code_at(a), bytes([code]))
        for p in (20, 418, 419, 420, 511):
            out[f"position-{a}-{p}"] = set_position(base, a, p)
    full = np.ones((20, 20), dtype=bool)
    empty = np.zeros((20, 20), dtype=bool)
    corner = np.zeros((20, 20), dtype=bool)
    corner[0, 0] = True
    out["nobody-can-move"] = ref.encode_state([full, empty, empty, empty], [ref.ALL_PIECES] * 4, [0] * 4, 1)
    out["overlap"] = ref.encode_state([corner, corner, empty, empty], [ref.ALL_PIECES - 1] * 2 + [ref.ALL_PIECES] * 2,
                                      [1, 1, 0, 0], 2)
    out["all-placed"] = ref.encode_state([empty] * 4, [0] * 4, [1, 101, 0, 16], 3)
    return out


def main() -> None:
    corpus = HERE / "corpus"
    corpus.mkdir(exist_ok=True)
    played = played_states()
    seeds = dict(played)
    seeds.update(edge_states(played["play-0-ply24"]))
    for name, data in seeds.items():
        (corpus / f"seed-{name}").write_bytes(data)
    print(f"{len(seeds)} seeds written to {corpus}")


if __name__ == "__main__":
    main()
