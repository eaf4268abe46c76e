"""Agent strings read once into `AgentConfig`: one value for a string wherever it reaches the
engine (the command line, `make_agent`, `VectorGames` seats, the environments, the arena), the
bounds the engine exports, and the strings refused everywhere (empty fields, `policy:` with no
path)."""

import pickle
from pathlib import Path

import pytest

from tavrin_rl import __main__ as cli
from tavrin_rl import arena, play
from tavrin_rl.agents import AgentConfig, MctsAgent, agent_config, make_agent
from tavrin_rl.agents.base import DEFAULT_PLAYOUTS, MAX_PLAYOUTS, baseline_path
from tavrin_rl.gym import SingleAgentEnv
from tavrin_rl.gym.vector import VectorSingleAgentEnv
from tavrin_rl.vector import VectorGames


@pytest.fixture
def made(monkeypatch):
    """Every AgentConfig an agent is made from, in order."""
    seen = []
    original = AgentConfig.make

    def make(self, seed=None):
        seen.append(self)
        return original(self, seed)
    monkeypatch.setattr(AgentConfig, "make", make)
    return seen


@pytest.mark.parametrize("text, other_spelling", [
    ("mcts:3:greedy", AgentConfig.of("mcts", playouts=3, rollout="greedy")),
    ("mcts:guide=baseline", f"mcts:{DEFAULT_PLAYOUTS}:reach:guide=baseline"),
    (f"policy:{baseline_path()}", AgentConfig.of("policy", path=Path(baseline_path()))),
    ("reach", AgentConfig("reach")),
])
def test_one_value_wherever_the_string_reaches_the_engine(text, other_spelling, made, capsys):
    config = agent_config(text)
    assert agent_config(other_spelling) == config and hash(agent_config(other_spelling)) == hash(config)
    assert agent_config(config.text) == config and agent_config(text) is config  # read once
    assert pickle.loads(pickle.dumps(config)) == config
    assert make_agent(text).config == config == make_agent(other_spelling).config
    # the command line builds each seat's agent once for the run, not once more to check it
    made.clear()
    assert cli.main(["--agents", f"{text},random,random,random", "--games", "2", "--seed", "1"]) == 0
    assert made == [config] + [agent_config("random")] * 3
    capsys.readouterr()
    # the engine's seats, given the string or the value: one seat, one setting
    seats = [text, "learner", "random", "random"]
    batch = VectorGames(1, seats=seats)
    assert batch.configs[0] == config and batch.seats[0] == text
    given = VectorGames(1, seats=[config, *seats[1:]])
    assert given.settings == batch.settings and given.seats[0] == config.text
    assert VectorSingleAgentEnv(1, opponents=other_spelling).games.configs[1:] == (config,) * 3
    made.clear()
    SingleAgentEnv(opponents=text).reset(seed=0)
    assert made == [config] * 3
    made.clear()
    arena.play_arena([text, other_spelling if other_spelling != text else "random"], 1, 0,
                     lambda records: None, workers=1)
    assert config in made


def test_bounds_are_the_engines_and_settings_are_checked_as_strings_are():
    assert agent_config(f"mcts:{MAX_PLAYOUTS}").settings["playouts"] == MAX_PLAYOUTS
    for bad in (f"mcts:{MAX_PLAYOUTS + 1}", "mcts:0"):
        with pytest.raises(ValueError, match=f"from 1 to {MAX_PLAYOUTS}"):
            agent_config(bad)
    # keywords meet the same checks as the string, wherever they are given
    for call in (lambda: make_agent("mcts", playouts=MAX_PLAYOUTS + 1),
                 lambda: MctsAgent(playouts=MAX_PLAYOUTS + 1),
                 lambda: VectorGames(1, seats=["learner", "mcts:20001", "random", "random"])):
        with pytest.raises(ValueError, match=f"from 1 to {MAX_PLAYOUTS}"):
            call()
    with pytest.raises(ValueError, match="takes no setting 'playouts'"):
        make_agent("reach", playouts=3)
    with pytest.raises(TypeError, match="int"):
        AgentConfig.of("mcts", playouts="3")
    with pytest.raises(ValueError, match="unknown agent"):
        AgentConfig("nobody")
    assert make_agent("baseline", sample=True).config != agent_config("baseline")
    assert AgentConfig.of("baseline", sample=False) == agent_config("baseline")


EMPTY = ["policy:", "mcts::guide=baseline", "mcts:100:", "mcts:", "random:", "mcts:guide=",
         "mcts:guide=policy:", "mcts::reach"]


@pytest.mark.parametrize("text", EMPTY)
def test_empty_fields_are_refused_everywhere(text, capsys):
    message = "empty field"
    for call in (lambda: agent_config(text), lambda: make_agent(text),
                 lambda: VectorGames(1, seats=["learner", text, "random", "random"]),
                 lambda: SingleAgentEnv(opponents=text),
                 lambda: VectorSingleAgentEnv(1, opponents=text)):
        with pytest.raises(ValueError, match=message):
            call()
    for main, argv in ((cli.main, ["--agents", f"{text},random,random,random"]),
                       (arena.main, [text, "random"]),
                       (play.main, ["--no-browser", "--opponents", text])):
        with pytest.raises(SystemExit) as exit_:
            main(argv)
        err = capsys.readouterr().err
        assert exit_.value.code == 2 and message in err and "Traceback" not in err


def test_a_policy_with_no_path_is_not_the_shipped_net():
    # what "policy:$NET" gives with NET unset: the shipped net played in silence, before
    for call in (lambda: make_agent("policy", path=""), lambda: agent_config("policy:"),
                 lambda: VectorGames(1, seats={1: "policy:"}),
                 lambda: make_agent("mcts:guide=policy:")):
        with pytest.raises(ValueError, match="empty"):
            call()
