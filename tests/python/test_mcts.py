"""The search agent from Python: its specs, seeded games that repeat and match a VectorGames
"mcts" seat, and the binding's argument checks."""

import pytest

from tavrin_rl import PyTavrin, _engine
from tavrin_rl.__main__ import build_parser
from tavrin_rl.agents import MctsAgent, ReachAgent, Stream, make_agent
from tavrin_rl.vector import SEATS, VectorGames


def play(agents, stream):
    """A game between `agents` sharing `stream`; its final state bytes."""
    for agent in agents:
        agent.stream = stream
    game = PyTavrin()
    while not game.is_over:
        seat = game.agent_selection
        action = None if game.terminations[seat] else agents[seat].act(None, game=game)
        game.step(action)  # raises on an illegal placement
    return game.to_bytes()


def test_specs():
    agent = make_agent("mcts")
    assert (agent.playouts, agent.rollout) == (120, "reach")
    agent = make_agent("mcts:200:random", seed=1)
    assert isinstance(agent, MctsAgent) and (agent.playouts, agent.rollout) == (200, "random")
    assert make_agent("mcts", playouts=30, rollout="greedy").playouts == 30
    assert make_agent("mcts:7").playouts == 7
    for spec, text in [("mcts:x", "whole number"), ("reach:3", "takes no settings"),
                       ("mcts:0", "from 1 to"), ("mcts:5:clever", "unknown rollout"),
                       ("mcts:20001", "from 1 to")]:
        with pytest.raises(ValueError, match=text):
            make_agent(spec)
    with pytest.raises(TypeError, match="game"):
        make_agent("mcts").act(bytes(_engine.NUM_ACTIONS))
    # The command line takes specs per seat and refuses bad ones before playing.
    parser = build_parser()
    assert parser.parse_args(["--agents", "mcts:40:random,reach,reach,reach"]).agents[0] == "mcts:40:random"
    with pytest.raises(SystemExit):
        parser.parse_args(["--agents", "mcts:0,reach,reach,reach"])


def test_games_repeat_and_match_the_batch_seat():
    seed, playouts = 5, 16
    lineup = lambda: [make_agent(f"mcts:{playouts}:greedy"), ReachAgent(), ReachAgent(),  # noqa: E731
                      ReachAgent()]
    first = play(lineup(), Stream.for_game(seed, 0))
    assert play(lineup(), Stream.for_game(seed, 0)) == first
    batch = VectorGames(2, seats=[f"mcts:{playouts}:greedy", "reach", "reach", "reach"],
                        autoreset=False, observation=None, mask=False)
    assert batch.search == {"playouts": playouts, "rollout": "greedy"}
    batch.reset(seed)
    assert bytes(batch.to_bytes()[0]) == first
    # A dataset's chunk plays the same game, recording every placement.
    record = VectorGames(1, seed=seed, observation=None, mask=False, autoreset=False).play_out(
        [f"mcts:{playouts}:greedy", "reach", "reach", "reach"])
    replay = PyTavrin()
    for ply in range(record["plies"][0]):
        while replay.terminations[replay.agent_selection]:
            replay.step(None)
        assert bytes(record["states"][0, ply]) == replay.to_bytes()
        replay.step(int(record["actions"][0, ply]))
    assert replay.to_bytes() == first


def test_each_seat_searches_at_its_own_settings():
    # Two search seats of different budgets in one batch, turned from game to game: each game is
    # the one lone agents play in the turned lineup, after the draw that turned it.
    seed, seats = 3, ["mcts:12", "mcts:5:greedy", "reach", "random"]
    batch = VectorGames(3, seats=seats, rotate_seats=True, autoreset=False, observation=None,
                        mask=False)
    assert batch.seats == tuple(seats)
    assert [own.get("playouts") for own in batch.settings] == [12, 5, None, None]
    batch.reset(seed)
    for i in range(3):
        # agent a plays seats[(a + turn) % 4]: the turn is where "reach", seats[2], landed
        turn = (2 - batch.lineup[i].tolist().index(SEATS.index("reach"))) % 4
        stream = Stream.for_game(seed, i)
        stream.state = (stream.state + 0x9E3779B97F4A7C15) % 2**64  # the draw that turned it
        lineup = [make_agent(seats[(a + turn) % 4]) for a in range(4)]
        assert play(lineup, stream) == bytes(batch.to_bytes()[i]), i
    # settings compare after the defaults are filled in, and the record keeps each seat's string
    record = VectorGames(1, seed=seed, observation=None, mask=False, autoreset=False).play_out(
        ["mcts:12", "mcts:120", "mcts:120:reach", "mcts"])
    assert record["plies"][0] > 0
    assert VectorGames(1, seats=["mcts:120:reach", "mcts", "learner", "reach"]).settings[0] == \
        VectorGames(1, seats=["mcts", "mcts:120", "learner", "reach"]).settings[1]


def test_binding_checks_and_stream():
    state = PyTavrin().to_bytes()
    # The opening placement takes one draw and leaves the stream where a pick would.
    action, after = _engine.search(state, 10, 2, 123)
    assert action is not None and after == _engine.pick(2, state, 123)[1]
    # The engine's exported bound, and an int that its 32-bit field would wrap into range.
    most = _engine.MAX_PLAYOUTS
    for args, text in [((state, 0, 2, 1), "playouts"), ((state, 10, 3, 1), "rollout"),
                       ((state, most + 1, 2, 1), f"playouts must be from 1 to {most}, got {most + 1}"),
                       ((state, 2**32 + 5, 2, 1), "playouts"), ((state[:-1], 10, 2, 1), "278 bytes")]:
        with pytest.raises(ValueError, match=text):
            _engine.search(*args)
    with pytest.raises(ValueError, match="cpu_ms"):
        _engine.search(state, 10, 2, 1, cpu_ms=-1.0)


def test_a_guided_search_repeats_plays_legally_and_matches_its_batch_seat():
    # The shipped net guides: a guided agent's game repeats, a batch seat (beside an unguided
    # search of another budget) plays that same game, and a dataset records it with its visits.
    seed, guided = 2, "mcts:16:reach:guide=baseline"
    lineup = lambda: [make_agent(guided), ReachAgent(), make_agent("mcts:8"), ReachAgent()]  # noqa: E731
    first = play(lineup(), Stream.for_game(seed, 0))
    assert play(lineup(), Stream.for_game(seed, 0)) == first
    plain = play([make_agent("mcts:16"), ReachAgent(), make_agent("mcts:8"), ReachAgent()],
                 Stream.for_game(seed, 0))
    assert plain != first  # the guide changed the play
    seats = [guided, "reach", "mcts:8", "reach"]
    for threads in (1, 2):
        batch = VectorGames(1, seats=seats, autoreset=False, observation=None, mask=False,
                            threads=threads)
        batch.reset(seed)
        assert bytes(batch.to_bytes()[0]) == first
    record = VectorGames(1, seed=seed, observation=None, mask=False, autoreset=False).play_out(
        seats, visits=True)
    visits = record["visits"]
    assert set(visits["game"].tolist()) == {0} and len(visits["action"]) > 0
    # settings compare with the guide as its file's real path
    assert VectorGames(1, seats=["mcts:guide=baseline", "learner", "reach", "reach"]).settings[0] == \
        VectorGames(1, seats=["mcts:120:reach:guide=baseline", "learner", "reach",
                              "reach"]).settings[0]


@pytest.mark.parametrize("text, message", [
    ("mcts:50guide=baseline", "mcts settings are PLAYOUTS, ROLLOUT and guide=NET"),
    ("mcts:guide=greedy", "an mcts guide is a net, baseline or policy:PATH"),
    ("mcts:40:guide=policy:/nowhere/net.npz", "nowhere"),
])
def test_guide_grammar_refusals(text, message):
    with pytest.raises((ValueError, OSError), match=message):
        make_agent(text)
