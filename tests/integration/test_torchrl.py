"""TorchRL's PettingZooWrapper takes `tavrin_rl.env()` with `use_mask=True`: every agent's final
reward arrives in the step that terminates it, never later."""

import pytest

REASON = "not installed: pip install '.[integration]'"
pytest.importorskip("torch", reason=f"torch {REASON}")
pytest.importorskip("torchrl", reason=f"torchrl {REASON}")

import torch  # noqa: E402
from torchrl.envs.libs.pettingzoo import PettingZooWrapper  # noqa: E402

import tavrin_rl  # noqa: E402


@pytest.mark.parametrize("observation", ["full", "compact"])
def test_final_rewards_arrive_at_termination(observation):
    torch.manual_seed(0)
    env = PettingZooWrapper(tavrin_rl.env(reward_mode="win_share", observation=observation),
                            use_mask=True)
    rollout = env.rollout(max_steps=400, break_when_any_done=False)  # about six games
    after = rollout["next"]
    done = after["done"].reshape(-1)
    assert done.sum() >= 4
    rewards = torch.stack([after[group, "reward"].reshape(-1) for group in env.group_map])
    terminated = torch.stack([after[group, "terminated"].reshape(-1) for group in env.group_map])
    # All four agents terminate together, at the end of each game and only there...
    assert (terminated == done).all()
    # ...with their rewards in that same step (one win shared among the leaders), and 0 before.
    assert (rewards[:, ~done] == 0).all()
    torch.testing.assert_close(rewards[:, done].sum(0), torch.ones(int(done.sum())))
    # Only the agent to move is live in each step, and it was offered legal actions only.
    mask = torch.stack([rollout[group, "mask"].reshape(-1) for group in env.group_map])
    assert (mask.sum(0) == 1).all()
    for group in env.group_map:
        chosen = rollout[group, "action"].reshape(-1)
        legal = rollout[group, "action_mask"].reshape(len(chosen), -1)
        acting = rollout[group, "mask"].reshape(-1)
        assert legal[acting, chosen[acting]].all()
