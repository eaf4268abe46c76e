"""Trained policies without torch: the shipped baseline and policy files as agents, the batched
evaluation, and the numpy sampler."""

import numpy as np
import pytest

from tavrin_rl import PyTavrin
from tavrin_rl.__main__ import main as cli_main
from tavrin_rl.agents import make_agent
from tavrin_rl.policy_agent import baseline_path
from tavrin_rl.policy_net import Policy, evaluate, segment_sample


def test_policy_agents_play_only_legal_moves():
    baseline = make_agent("baseline")
    by_path = make_agent(f"policy:{baseline_path()}")
    game = PyTavrin()
    while not game.is_over:
        agent = game.agent_selection
        if game.terminations[agent]:
            game.step(None)
            continue
        mask = game.observe(agent).action_mask
        action = baseline.act(None, game=game)
        assert mask[action] == 1
        assert by_path.act(mask, game=game) == action  # one file, one choice
        assert mask[baseline.act(mask)] == 1  # from the mask alone: blind, but legal
        game.step(action)
    assert game.ply > 40
    assert baseline.act(bytes(PyTavrin.num_actions)) is None
    with pytest.raises(TypeError, match="needs an action mask or a game"):
        baseline.act(None)
    with pytest.raises(FileNotFoundError):
        make_agent("policy:/nonexistent/policy.npz")


def test_evaluation_and_the_command_line(tmp_path, capsys):
    # the engine refuses an illegal step, so finished games mean legal play throughout
    result = evaluate(baseline_path(), ["greedy"] * 3, games=40, seed=1)
    assert result.games == 40 and result.win_share > 0.4, str(result)  # greedy takes a quarter
    low, high = result.interval()
    assert low < result.win_share < high
    assert evaluate(Policy.load(baseline_path()), ["greedy"] * 3, games=40, seed=1) == result

    assert cli_main(["--agents", "baseline,random,random,random", "--games", "2", "--seed", "1",
                     "--no-progress"]) == 0
    assert "player_0  baseline" in capsys.readouterr().out
    assert cli_main(["train", "--evaluate", baseline_path(), "--opponents", "random",
                     "--eval-games", "8"]) == 0
    assert "over 8 games vs random, random, random" in capsys.readouterr().out

    not_policy = tmp_path / "other.npz"
    np.savez(not_policy, format=np.array('{"format": "something else"}'))
    with pytest.raises(ValueError, match="not a tavrin_rl policy"):
        Policy.load(not_policy)


def test_sampling_follows_each_segments_softmax():
    logits = np.log(np.array([1, 3, 6, 5, 5], dtype=np.float32))  # segments [0, 1, 2], [3, 4]
    segment = np.array([0, 0, 0, 1, 1])
    rng = np.random.default_rng(0)
    draws = np.concatenate([segment_sample(logits, segment, 2, rng.random(2))
                            for _ in range(20000)]).reshape(-1, 2)
    assert set(draws[:, 0]) == {0, 1, 2} and set(draws[:, 1]) == {3, 4}
    first = np.bincount(draws[:, 0], minlength=3) / len(draws)
    np.testing.assert_allclose(first, [0.1, 0.3, 0.6], atol=0.015)
    np.testing.assert_allclose(np.mean(draws[:, 1] == 3), 0.5, atol=0.015)
    # a draw at the very top of a segment stays in it
    assert segment_sample(logits, segment, 2, np.array([1.0, 1.0])).tolist() == [2, 4]
