"""tavrin_rl: a four-player polyomino placement game for reinforcement learning."""

from tavrin_rl._tavrin import PyObservation, PyTavrin

__all__ = ["PyTavrin", "PyObservation"]
