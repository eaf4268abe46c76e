"""Turning state bytes into observations and action masks, a batch at a time, in the batched
engine (`VectorGames.load`): no game is rebuilt in Python."""

from __future__ import annotations

import numpy as np

from tavrin_rl.vector import VectorGames

OBSERVATIONS = ("compact", "full", None)


class Decoder:
    """Decodes up to `batch_size` states per call into the mover's observation and mask."""

    def __init__(self, batch_size: int, observation: str | None, threads: int = 1) -> None:
        self.batch_size = batch_size
        self.observation = observation
        self.games = VectorGames(batch_size, threads=threads, seed=0, observation=observation,
                                 mask=True, autoreset=False)

    def decode(self, states: np.ndarray) -> dict[str, np.ndarray]:
        n = len(states)
        if n < self.batch_size:  # the last batch: fill the engine's slots with a copy
            states = np.concatenate([states, np.repeat(states[:1], self.batch_size - n, 0)])
        self.games.load(states)
        games = self.games
        assert games.legal_action_mask is not None
        batch = {"action_mask": games.legal_action_mask[:n].copy()}
        if self.observation is not None:
            assert games.observation is not None
            batch["observation"] = games.observation[:n].copy()
        if self.observation == "compact":
            assert games.pieces is not None and games.done is not None
            batch["pieces"] = games.pieces[:n].copy()
            batch["done"] = games.done[:n].copy()
        return batch
