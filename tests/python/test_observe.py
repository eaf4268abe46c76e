"""observe and the PyObservation class."""

import pytest

from tavrin_rl._tavrin import PyObservation, PyTavrin

from states import ALL_PIECES, BOARD, state

I1_CODE = 1

ATTRIBUTE_DOCS = {
    "observation": "The occupied cells in (agent, row, col) order.",
    "corners": "The cells each agent's next piece can attach to, in (agent, row, col) order.",
    "blocked": "The cells each agent can never fill, in (agent, row, col) order.",
    "pieces": "The pieces each agent still has, in (agent, piece) order.",
    "done": "Whether each agent is out of moves.",
    "action_mask": "The action mask over the flattened action grid.",
}
LENGTHS = {"observation": 1600, "corners": 1600, "blocked": 1600, "pieces": 84, "done": 4, "action_mask": 36400}


def from_agents(agents, agent_selection=0):
    """A game from four (cells, pieces mask, last piece code) triples."""
    return PyTavrin.from_bytes(state(agents, agent_selection))


def ones(buffer):
    return [i for i, b in enumerate(buffer) if b]


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


class TestNewGame:
    @pytest.mark.parametrize("observer", range(4))
    def test_planes(self, observer):
        obs = PyTavrin().observe(observer)
        assert obs.observation == bytes(1600)
        assert obs.blocked == bytes(1600)
        assert ones(obs.corners) == [0, 419, 1199, 1580]
        assert obs.pieces == b"\x01" * 84
        assert obs.done == bytes(4)
        # The orientations whose shape fills the top-left cell of its box, at anchor (0, 0): I1 (0)
        # does, the third V3 (5) and X (36) do not.
        mask = ones(obs.action_mask)
        assert len(mask) == 58 and all(index % 400 == 0 for index in mask)
        assert 0 in mask and 400 * 5 not in mask and 400 * 36 not in mask

    def test_observers_agree(self):
        game = PyTavrin()
        views = [game.observe(k) for k in range(4)]
        for name in LENGTHS:
            assert len({getattr(v, name) for v in views}) == 1, name


class TestViews:
    def test_lengths_never_change(self):
        game = PyTavrin()
        for _ in range(6):
            for k in range(4):
                obs = game.observe(k)
                assert {name: len(getattr(obs, name)) for name in LENGTHS} == LENGTHS
            game.step(ones(game.observe(game.agent_selection).action_mask)[-1])

    def test_agents_not_to_move_see_their_own_placements(self):
        game = PyTavrin()
        game.step(0)
        obs = game.observe(2)
        assert any(obs.action_mask) and obs.done == bytes(4)

    def test_snapshot_is_independent_of_the_game(self):
        game = PyTavrin()
        obs = game.observe(0)
        copies = {name: getattr(obs, name) for name in LENGTHS}
        game.step(0)
        game.reset()
        game.step(400)
        assert {name: getattr(obs, name) for name in LENGTHS} == copies

    def test_reads_are_fresh_bytes(self):
        obs = PyTavrin().observe(0)
        first, second = obs.action_mask, obs.action_mask
        assert type(first) is bytes and first == second and first is not second

    def test_frames_and_seats(self):
        # Agent 1 has one cell, on its start cell (0, 19).
        game = from_agents([([], ALL_PIECES, 0), ([19], ALL_PIECES & ~1, I1_CODE), ([], ALL_PIECES, 0),
                            ([], ALL_PIECES, 0)])
        assert ones(game.observe(0).observation) == [400 + 19]  # seat 1, as on the board
        assert ones(game.observe(1).observation) == [0]  # its own seat 0, turned to (0, 0)
        assert ones(game.observe(3).observation) == [800 + 399]  # seat 2 at (19, 19)
        assert game.observe(2).observation[1200 + 380] == 1  # seat 3 at (19, 0)

    def test_done_and_pieces_follow_seat_order(self):
        # Agent 1 sits on agent 0's start cell: agent 0 is done; agent 2 lacks I2 and I5.
        agent2 = ALL_PIECES & ~(1 << 1) & ~(1 << 20)
        game = from_agents([([], ALL_PIECES, 0), ([0], ALL_PIECES & ~1, I1_CODE), ([], agent2, 0),
                            ([], ALL_PIECES, 0)])
        assert game.observe(0).done == b"\x01\x00\x00\x00"
        assert game.observe(1).done == b"\x00\x00\x00\x01"
        pieces = game.observe(2).pieces
        assert pieces[:21] == bytes((agent2 >> n) & 1 for n in range(21))
        assert pieces[63:84] == b"\x00" + b"\x01" * 20  # seat 3 of observer 2 is agent 1
        assert game.observe(0).action_mask == bytes(36400)  # no corner left for agent 0

    def test_after_the_end(self):
        game = from_agents([(BOARD, 0, I1_CODE), ([], ALL_PIECES, 0), ([], ALL_PIECES, 0), ([], ALL_PIECES, 0)])
        assert game.is_over
        for k in range(4):
            obs = game.observe(k)
            assert obs.action_mask == bytes(36400)
            assert obs.done == b"\x01" * 4
            assert obs.observation.count(1) == 400 and obs.corners == bytes(1600)
        assert game.observe(0).observation[:400] == b"\x01" * 400

    def test_numpy_wraps_the_planes(self):
        np = pytest.importorskip("numpy")
        obs = PyTavrin().observe(2)
        corners = np.frombuffer(obs.corners, dtype=np.uint8).reshape(4, 20, 20)
        assert corners[0, 0, 0] == corners[1, 0, 19] == corners[2, 19, 19] == corners[3, 19, 0] == 1
        mask = np.frombuffer(obs.action_mask, dtype=np.uint8).reshape(PyTavrin.action_grid_shape)
        assert mask[:, 0, 0].sum() == mask.sum() == 58


class TestAgentIndex:
    def test_keyword_and_last_agent(self):
        game = PyTavrin()
        assert type(game.observe(agent_idx=3)) is PyObservation

    @pytest.mark.parametrize("agent", [4, 5, 2**32 - 1])
    def test_unknown_agent(self, agent):
        with pytest.raises(ValueError) as e:
            PyTavrin().observe(agent)
        assert str(e.value) == f"Unknown agent {agent}"
        assert notes(e) == []

    @pytest.mark.parametrize(
        "agent,error,message",
        [
            (-1, OverflowError, None),
            (2**32, OverflowError, "number too large to fit in target type"),
            (2**70, OverflowError, None),
            (None, TypeError, None),
            ("0", TypeError, None),
            (0.0, TypeError, None),
        ],
    )
    def test_conversion_failures(self, agent, error, message):
        with pytest.raises(error) as e:
            PyTavrin().observe(agent)
        if message is not None:
            assert str(e.value) == message
        assert notes(e) == ["while processing 'agent_idx'"]


class TestObservationClass:
    def test_names_and_doc(self):
        assert PyObservation.__module__ == "builtins"
        assert PyObservation.__name__ == PyObservation.__qualname__ == "PyObservation"
        assert PyObservation.__doc__ == (
            "An observation as bytes of 0/1, cheap to wrap with `numpy.frombuffer`. Agents are in\n"
            "agent-relative order, see `Observation`."
        )

    def test_attributes(self):
        public = [name for name in vars(PyObservation) if not name.startswith("__")]
        assert public == list(ATTRIBUTE_DOCS)
        for name, doc in ATTRIBUTE_DOCS.items():
            assert vars(PyObservation)[name].__doc__ == doc

    def test_not_instantiable_or_subclassable(self):
        with pytest.raises(TypeError):
            PyObservation()
        with pytest.raises(TypeError):
            PyObservation.__new__(PyObservation)
        with pytest.raises(TypeError):

            class Sub(PyObservation):
                pass

    def test_read_only(self):
        obs = PyTavrin().observe(0)
        for name in ATTRIBUTE_DOCS:
            with pytest.raises(AttributeError):
                setattr(obs, name, b"")
        with pytest.raises(AttributeError):
            obs.extra = 1
