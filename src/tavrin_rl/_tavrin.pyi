# Types of the compiled game module. Action indexes are positions in the flattened action grid
# (91 orientations, 20 rows, 20 columns), read in the frame of the agent that acts.

from typing import ClassVar, SupportsIndex, final

__all__ = ["PyTavrin", "PyObservation"]

@final
class PyTavrin:
    """A four-player game: agents 0 to 3 move in turn and each places its 21 pieces."""

    num_actions: ClassVar[int]
    """36400, the size of the flattened action grid."""
    action_grid_shape: ClassVar[tuple[int, int, int]]
    """(91, 20, 20): orientations, rows, columns."""
    reward_modes: ClassVar[tuple[str, str, str]]
    """("score", "win_share", "rank"), the names `outcome` accepts."""
    piece_names: ClassVar[tuple[str, ...]]
    """The 21 piece kinds, in the bit order of `PyObservation.pieces`."""

    def __init__(self) -> None: ...
    def reset(self) -> None:
        """Start a new game in this object."""
    def copy(self) -> PyTavrin:
        """An independent copy of the game."""
    def __copy__(self) -> PyTavrin: ...
    def __deepcopy__(self, _memo: object) -> PyTavrin: ...
    def __getstate__(self) -> bytes:
        """Pickles the game as its `to_bytes` state."""
    def __setstate__(self, state: bytes) -> None: ...
    def to_bytes(self) -> bytes:
        """The game state as bytes, restore it with `from_bytes`."""
    @staticmethod
    def from_bytes(data: bytes) -> PyTavrin:
        """A new game from `to_bytes` output; ValueError for anything else."""
    @property
    def agents(self) -> list[int]:
        """[0, 1, 2, 3]."""
    @property
    def agent_selection(self) -> int:
        """The index of the agent to move."""
    @property
    def terminations(self) -> list[bool]:
        """Whether each agent is out of moves, in agent order."""
    @property
    def rewards(self) -> list[int | None]:
        """The score of every agent that is done, None for the others."""
    @property
    def scores(self) -> list[int]:
        """Every agent's official score as if the game ended now."""
    @property
    def is_over(self) -> bool:
        """Whether every agent is out of moves."""
    @property
    def ply(self) -> int:
        """The number of placements made so far, by all agents."""
    def outcome(self, mode: str) -> list[float] | None:
        """The final rewards in `mode`, one of `reward_modes`, None until the game is over."""
    def observe(self, agent_idx: SupportsIndex) -> PyObservation:
        """Agent `agent_idx`'s view, in its own frame; ValueError for an index of 4 or more."""
    def step(self, action_idx: SupportsIndex | None) -> None:
        """Play a grid index of the agent to move (None or anything passes a finished agent);
        AssertionError "Invalid action: Action index not available" for an illegal one."""
    def render(self) -> None:
        """Print the coloured board picture to file descriptor 1."""

@final
class PyObservation:
    """An observation as bytes of 0/1, cheap to wrap with `numpy.frombuffer`. Agents are in
    agent-relative order, see `Observation`."""

    @property
    def observation(self) -> bytes:
        """The occupied cells in (agent, row, col) order."""
    @property
    def corners(self) -> bytes:
        """The cells each agent's next piece can attach to, in (agent, row, col) order."""
    @property
    def blocked(self) -> bytes:
        """The cells each agent can never fill, in (agent, row, col) order."""
    @property
    def pieces(self) -> bytes:
        """The pieces each agent still has, in (agent, piece) order."""
    @property
    def done(self) -> bytes:
        """Whether each agent is out of moves."""
    @property
    def action_mask(self) -> bytes:
        """The action mask over the flattened action grid."""
