"""Turning state bytes into observations and action masks, a batch at a time."""

from __future__ import annotations

import numpy as np

from tavrin_rl import PyTavrin

OBSERVATIONS = ("compact", "full", None)


class Decoder:
    """Decodes up to `batch_size` states per call into the mover's observation and mask."""

    def __init__(self, batch_size: int, observation: str | None, threads: int = 1) -> None:
        self.batch_size = batch_size
        self.observation = observation

    def decode(self, states: np.ndarray) -> dict[str, np.ndarray]:
        n = len(states)
        mask = np.zeros((n, 36400), dtype=bool)
        planes = np.zeros((n, 12, 20, 20), dtype=np.uint8)
        pieces = np.zeros((n, 4, 21), dtype=np.uint8)
        done = np.zeros((n, 4), dtype=np.uint8)
        for i in range(n):
            game = PyTavrin.from_bytes(states[i].tobytes())
            obs = game.observe(game.agent_selection)
            mask[i] = np.frombuffer(obs.action_mask, dtype=bool)
            planes[i] = np.frombuffer(obs.observation + obs.corners + obs.blocked,
                                      dtype=np.uint8).reshape(12, 20, 20)
            pieces[i] = np.frombuffer(obs.pieces, dtype=np.uint8).reshape(4, 21)
            done[i] = np.frombuffer(obs.done, dtype=np.uint8)
        batch = {"action_mask": mask}
        if self.observation == "compact":
            batch.update(observation=planes, pieces=pieces, done=done)
        elif self.observation == "full":
            full = np.zeros((n, 100, 20, 20), dtype=np.uint8)
            full[:, :12] = planes
            full[:, 12:96] = pieces.reshape(n, 84, 1, 1)
            full[:, 96:] = done.reshape(n, 4, 1, 1)
            batch["observation"] = full
        return batch
