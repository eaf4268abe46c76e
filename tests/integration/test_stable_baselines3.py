"""Stable-Baselines3 and sb3-contrib's MaskablePPO take `SingleAgentEnv` as it is."""

import subprocess
import sys
from pathlib import Path

import gymnasium
import numpy as np
import pytest

REASON = "not installed: pip install '.[integration]'"
pytest.importorskip("torch", reason=f"torch {REASON}")
pytest.importorskip("stable_baselines3", reason=f"stable_baselines3 {REASON}")
pytest.importorskip("sb3_contrib", reason=f"sb3_contrib {REASON}")

import torch  # noqa: E402
from sb3_contrib import MaskablePPO  # noqa: E402
from stable_baselines3.common.env_checker import check_env  # noqa: E402

import tavrin_rl.gym  # noqa: E402,F401 (registers the environments)
from tavrin_rl.gym import SingleAgentEnv  # noqa: E402


@pytest.mark.parametrize("kwargs", [{}, {"observation": "full"}, {"channels_last": True}])
def test_check_env(kwargs):
    check_env(SingleAgentEnv(**kwargs))


def test_maskable_ppo_trains_and_never_plays_an_illegal_move():
    torch.set_num_threads(1)
    env = gymnasium.make("tavrin_rl/SingleAgent-v0", seat="random", opponents="random",
                         reward_mode="rank")
    model = MaskablePPO("MultiInputPolicy", env, n_steps=512, batch_size=256, n_epochs=1,
                        seed=0, policy_kwargs={"net_arch": {"pi": [32], "vf": [32]}})
    model.learn(total_timesteps=2048)
    assert model.num_timesteps >= 2048

    games = SingleAgentEnv(seat="random", opponents="greedy")
    for seed in range(50):
        observation, info = games.reset(seed=seed)
        terminated = False
        while not terminated:
            action, _ = model.predict(observation, action_masks=games.action_masks())
            assert info["action_mask"][int(action)] == 1
            observation, _, terminated, _, info = games.step(int(action))
            assert "illegal_action" not in info
        assert games.game.is_over and np.isin(info["seat"], range(4))


def test_training_example_runs(tmp_path):
    example = Path(__file__).resolve().parents[2] / "examples" / "train_maskable_ppo.py"
    done = subprocess.run([sys.executable, str(example), "--timesteps", "1024", "--eval-games", "4",
                           "--curve", str(tmp_path / "curve.csv")],
                          capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stderr
    assert "vs random" in done.stdout and "vs greedy" in done.stdout
    assert "illegal moves 0" in done.stdout


def test_maskable_ppo_trains_on_the_batched_vec_env():
    from stable_baselines3.common.vec_env import VecEnv

    from tavrin_rl.sb3 import make_vec_env

    torch.set_num_threads(1)
    env = make_vec_env(16, seat="random", opponents="reach", seed=0)
    assert isinstance(env, VecEnv)
    kept = []

    class Watch(MaskablePPO):  # checks what the rollout buffer keeps, as it keeps it
        def collect_rollouts(self, *args, **kwargs):
            result = super().collect_rollouts(*args, **kwargs)
            kept.append(self.rollout_buffer.observations["board"].copy())
            return result

    model = Watch("MultiInputPolicy", env, n_steps=32, batch_size=256, n_epochs=1, seed=0,
                  policy_kwargs={"net_arch": {"pi": [32], "vf": [32]}})
    model.learn(total_timesteps=16 * 32 * 2)
    assert model.num_timesteps >= 1024
    # Kept observations are the ones each step returned: consecutive rows differ (a step places
    # at least the learner's piece), which views rewritten in place would not.
    assert all((b[1:] != b[:-1]).any(axis=(2, 3, 4)).all() for b in kept)
    observation = env.reset()
    for _ in range(30):
        masks = np.stack(env.env_method("action_masks"))
        actions, _ = model.predict(observation, action_masks=masks)
        assert masks[np.arange(16), actions].all()  # legal moves only
        observation, _, dones, infos = env.step(actions)
        for i in np.flatnonzero(dones):
            assert infos[i]["terminal_observation"]["board"].shape == (12, 20, 20)


class TestVecEnvContract:
    """SB3's VecEnv API as its own vector envs keep it."""

    def test_seeds_reset_infos_and_seats(self):
        from tavrin_rl.gym import make_vec
        from tavrin_rl.sb3 import make_vec_env

        env = make_vec_env(4, seat="random", threads=1)
        assert env.seed(7) == [7, 8, 9, 10]  # one per game, as DummyVecEnv
        observation = env.reset()
        same = make_vec(4, seat="random", threads=1).reset(seed=7)[0]
        np.testing.assert_array_equal(observation["board"], same["board"])
        assert env.get_attr("seat") == [info["seat"] for info in env.reset_infos]
        assert all(info["action_mask"].any() for info in env.reset_infos)
        assert env.get_attr("seat", indices=[2]) == [env.reset_infos[2]["seat"]]

    def test_set_attr(self):
        from tavrin_rl.sb3 import make_vec_env

        env = make_vec_env(3, seed=0, reward_mode="score")
        env.set_attr("note", "mine", indices=[1])
        assert env.get_attr("note") == [None, "mine", None]
        for name, value in (("reward_mode", "rank"), ("seat", 2), ("observation_mode", "full")):
            with pytest.raises(ValueError, match="fixed when the environment is made"):
                env.set_attr(name, value)
        assert env.get_attr("reward_mode") == ["score"] * 3
        with pytest.raises(ValueError, match="every game at once"):
            env.set_attr("illegal_reward", -5.0, indices=[0])
        env.set_attr("illegal_reward", -5.0)
        env.reset()
        actions = np.stack(env.env_method("action_masks")).argmin(1)  # a masked placement each
        _, rewards, dones, infos = env.step(actions)
        assert dones.all() and (rewards == -5).all() and all(i["illegal_action"] for i in infos)
        assert all(i["terminal_observation"]["board"].shape == (12, 20, 20) for i in infos)


def test_grid_policy_matches_the_masked_grid_and_learns_legally(tmp_path):
    from stable_baselines3.common.utils import obs_as_tensor

    from tavrin_rl.agents import make_agent
    from tavrin_rl.nets import save_policy
    from tavrin_rl.sb3 import GridPolicy, make_vec_env

    torch.set_num_threads(1)
    env = make_vec_env(8, seat="random", opponents="random", seed=0, threads=1)
    model = MaskablePPO(GridPolicy, env, n_steps=16, batch_size=64, n_epochs=1, seed=0,
                        gamma=1.0, policy_kwargs={"channels": 8})
    model.learn(8 * 16)
    observation = env.reset()
    masks = env.action_masks()
    tensors = obs_as_tensor(observation, "cpu")
    with torch.no_grad():
        actions, values, log_prob = model.policy(tensors, action_masks=masks)
        assert masks[np.arange(8), actions.numpy()].all()
        # The legal placements' path gives the masked full grid's numbers.
        full = model.policy.get_distribution(tensors, action_masks=masks)
        np.testing.assert_allclose(log_prob, full.log_prob(actions), atol=1e-4)
        value, logp, entropy = model.policy.evaluate_actions(tensors, actions,
                                                            torch.as_tensor(masks).float())
        np.testing.assert_allclose(logp, full.log_prob(actions), atol=1e-4)
        np.testing.assert_allclose(entropy, full.entropy(), atol=1e-3)
        np.testing.assert_allclose(value, values)
    # its net is the package's: written as a policy file, it plays as policy:PATH
    save_policy(tmp_path / "sb3.npz", model.policy.net.weights())
    assert make_agent(f"policy:{tmp_path / 'sb3.npz'}").policy.channels == 8
    with pytest.raises(ValueError, match="compact observation"):
        MaskablePPO(GridPolicy, make_vec_env(2, observation="full"))
