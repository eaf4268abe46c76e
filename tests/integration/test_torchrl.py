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


def test_batched_env_passes_the_checks_and_plays_legally():
    from torchrl.envs import GymEnv
    from torchrl.envs.utils import check_env_specs

    import tavrin_rl.gym  # noqa: F401 (registers)
    from tavrin_rl.torchrl import make_env

    check_env_specs(GymEnv("tavrin_rl/SingleAgent-v0"))  # the compact key no longer collides
    env = make_env(6, seat="random", opponents="greedy", seed=0, threads=1)
    check_env_specs(env)
    env.set_seed(3)
    rollout = env.rollout(120, policy=env.random_policy, break_when_any_done=False)
    assert rollout.batch_size == (6, 120)
    chosen, legal = rollout["action"], rollout["action_mask"]
    assert legal.gather(-1, chosen[..., None]).all()  # the engine's draws are legal
    done = rollout["next", "done"][..., 0]
    reward = rollout["next", "reward"][..., 0]
    assert done.sum() >= 6 and (reward[~done] == 0).all()
    assert ((reward[done] >= 0) & (reward[done] <= 1)).all()  # win shares
    # A game that ended shows a mask allowing every action, and starts anew on the next row.
    assert rollout["next", "action_mask"][done].all()
    after = torch.roll(done, 1, dims=1)
    after[:, 0] = False
    assert (rollout["pieces"][after][:, :, :].sum((1, 2)) > 60).all()
    # TorchRL's own masked draws are legal too; an unmasked one is play, and ends its game.
    td = env.rand_action(env.reset())
    assert td["action_mask"].gather(-1, td["action"][:, None]).all()
    td["action"] = (~td["action_mask"]).int().argmax(-1)
    out = env.step(td)["next"]
    assert out["done"].all() and (out["reward"] == -1).all()
    with pytest.raises(ValueError, match="out of range"):
        env.step(td.set("action", torch.full((6,), 36400)))
