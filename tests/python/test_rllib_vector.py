"""RLlib on the batched engine: distinct game seeds per env runner and game, the same games for
the same seeds; RLlib's own env check on the self-play env; PPO samples and learns a step on both
envs with the legal-only module, whose learner distribution matches the dense masked one."""

import numpy as np
import pytest

pytest.importorskip("ray.rllib", reason="the RLlib envs need ray[rllib]")
torch = pytest.importorskip("torch", reason="the RLlib module needs torch")

from tavrin_rl.catalogue import NUM_ACTIONS  # noqa: E402
from tavrin_rl.rllib_legal_module import (  # noqa: E402
    LegalGridDistribution, legal_entries, pad_legal)
from tavrin_rl.rllib_vector import (  # noqa: E402
    TavrinSelfPlayEnv, TavrinVectorEnv, _place_runner, observation_space)


def first_legal(obs):
    segment, legal = legal_entries(torch.from_numpy(obs["legal"]))
    actions = np.zeros(len(obs["legal"]), np.int64)
    for row in reversed(range(len(segment))):  # the first legal index of each game
        actions[int(segment[row])] = int(legal[row])
    return actions


def boards(worker, seed=7, reset_seed=None, num_envs=3, steps=6, config_seed=True):
    env = TavrinVectorEnv({"num_envs": num_envs, **({"seed": seed} if config_seed else {})})
    _place_runner(env=env, env_context=type("Context", (), {"worker_index": worker})())
    obs, _ = env.reset(seed=reset_seed)
    for _ in range(steps):
        obs, *_ = env.step(first_legal(obs))
    return env, obs["board"]


def test_runners_and_games_get_disjoint_seeds_and_the_same_seed_replays():
    runner0, seen0 = boards(0)
    runner1, seen1 = boards(1)
    assert runner0.game_seeds(None) == [7, 8, 9] and runner1.game_seeds(None) == [10, 11, 12]
    # the learner plays the same (first legal) moves: only the seeds tell the games apart
    games = [g.tobytes() for g in (*seen0, *seen1)]
    assert len(set(games)) == len(games)
    assert np.array_equal(boards(1)[1], seen1)
    # without env_config["seed"], RLlib's reset seed (its seed + worker index) roots them
    rooted, seen = boards(1, reset_seed=7 + 1, config_seed=False)
    assert rooted.game_seeds(8) == [10, 11, 12] and np.array_equal(seen, seen1)


def test_the_per_game_env_takes_the_same_disjoint_streams_per_runner_and_sub_env():
    from ray.rllib.env.env_context import EnvContext

    from tavrin_rl.rllib import TavrinMultiAgentEnv, place_runner

    def runner(worker, reset_seed=None, config=None):
        """Two sub-envs of one runner, as RLlib's multi-agent runner makes them: one context."""
        context = EnvContext(config or {"opponents": {1: "random", 2: "random", 3: "random"},
                                        "seed": 7}, worker_index=worker)
        envs = [TavrinMultiAgentEnv(context) for _ in range(2)]
        envs[0].reset()  # RLlib's env check resets before the runner places the envs
        place_runner(env=type("Vector", (), {"envs": envs})(), env_context=context)
        games = []
        for index, env in enumerate(envs):
            obs, _ = env.reset(seed=None if reset_seed is None else reset_seed + worker + index)
            env.step({"player_0": int(np.flatnonzero(obs["player_0"]["action_mask"])[0])})
            games.append(env.game.to_bytes())
        return [env.stream_seed() for env in envs], games

    seeds0, games0 = runner(0)
    seeds1, games1 = runner(1)
    # the batched env's rule: runner w's game i plays seed + w * n + i
    assert seeds0 + seeds1 == [7, 8, 9, 10] == boards(0, num_envs=4, steps=0)[0].game_seeds(None)
    assert len(set(games0 + games1)) == 4  # the same learner moves, four opponent streams
    assert runner(1) == (seeds1, games1)  # the same seed replays the same games
    # RLlib's reset seeds (its seed + worker + sub-env index) root the same streams
    assert runner(1, reset_seed=7, config={"opponents": {1: "random", 2: "random",
                                                         3: "random"}})[1] == games1


def test_observations_and_bad_configs():
    env, _ = boards(0, steps=0)
    obs, _ = env.reset()
    assert all(observation_space()[key].contains(obs[key][0]) for key in obs)
    segment, legal = legal_entries(torch.from_numpy(obs["legal"]))
    for game in range(3):
        assert np.array_equal(legal[segment == game].numpy(),
                              np.flatnonzero(env.env.action_masks()[game]))
    with pytest.raises(ValueError, match="unknown env_config key"):
        TavrinVectorEnv({"num_envs": 2, "sede": 1})
    with pytest.raises(ValueError, match="seed"):
        TavrinVectorEnv({"num_envs": 2, "seed": -1})
    with pytest.raises(ValueError, match="reward_mode"):
        TavrinSelfPlayEnv({"reward_mode": "points"})


def test_self_play_env_passes_rllibs_check_and_illegal_moves_end_the_game():
    from ray.rllib.utils.pre_checks.env import check_multiagent_environments
    env = TavrinSelfPlayEnv({})
    check_multiagent_environments(env)
    obs, _ = env.reset()
    (agent, seen), = obs.items()
    assert observation_space().contains(seen)
    legal = set(legal_entries(torch.from_numpy(seen["legal"])[None])[1].tolist())
    illegal = next(a for a in range(NUM_ACTIONS) if a not in legal)
    _, rewards, terminated, _, _ = env.step({agent: illegal})
    assert terminated["__all__"] and rewards[agent] == -1.0


def test_learner_distribution_reads_back_the_padded_legal_rows():
    logits = torch.randn(NUM_ACTIONS * 3).reshape(3, NUM_ACTIONS)
    mask = torch.zeros(3, NUM_ACTIONS, dtype=torch.bool)
    mask[0, [3, 70, 900]] = True
    mask[2, [5]] = True
    segment, legal = mask.nonzero(as_tuple=True)
    dist = LegalGridDistribution.from_logits(pad_legal(logits[segment, legal], segment, legal, 3))
    dense = torch.distributions.Categorical(logits=logits[[0, 2]].masked_fill(~mask[[0, 2]], -torch.inf))
    actions = torch.tensor([70, 0, 5])
    torch.testing.assert_close(dist.logp(actions)[[0, 2]], dense.log_prob(actions[[0, 2]]))
    torch.testing.assert_close(dist.entropy()[[0, 2]], dense.entropy())
    assert dist.entropy()[1] == 0 and dist.logp(actions)[1] == 0


@pytest.mark.slow
@pytest.mark.parametrize("path", ["single", "self_play"])
def test_ppo_samples_and_learns_on_both_envs(path):
    import ray
    from ray.rllib.algorithms.ppo import PPOConfig

    from tavrin_rl.rllib_vector import self_play, single_agent
    ray.init(num_cpus=1, include_dashboard=False, ignore_reinit_error=True)
    try:
        base = (PPOConfig().env_runners(num_env_runners=0)
                .training(train_batch_size_per_learner=256, minibatch_size=128, num_epochs=1,
                          use_kl_loss=False)
                .debugging(seed=5))
        config = (single_agent(base, num_envs=8, seed=3) if path == "single"
                  else self_play(base, num_envs=4))
        algo = config.build_algo()
        result = algo.train()
        assert result["env_runners"]["num_env_steps_sampled"] >= 256
        learner = result["learners"]
        module = next(k for k in learner if k != "__all_modules__")
        assert np.isfinite(learner[module]["policy_loss"])
        algo.stop()
    finally:
        ray.shutdown()


@pytest.mark.slow
def test_snapshot_pool_writes_policies_and_the_runners_play_them(tmp_path):
    import ray
    from ray.rllib.algorithms.ppo import PPOConfig

    from tavrin_rl.rllib_vector import single_agent, snapshot_pool
    ray.init(num_cpus=1, include_dashboard=False, ignore_reinit_error=True)
    try:
        base = (PPOConfig().env_runners(num_env_runners=0)
                .training(train_batch_size_per_learner=128, minibatch_size=128, num_epochs=1,
                          use_kl_loss=False)
                .callbacks(on_train_result=snapshot_pool(tmp_path, every=1, keep=2)))
        algo = single_agent(base, num_envs=8, seed=3).build_algo()
        for _ in range(3):
            algo.train()
        assert sorted(p.name for p in tmp_path.glob("*.npz")) == [
            "snapshot_000001.npz", "snapshot_000002.npz", "snapshot_000003.npz"]
        env = algo.env_runner.env.unwrapped
        assert env.generation == 3 and env.game_seeds(None)[0] == 3 + 3 * 2**32
        assert all(name.startswith("policy:") and ("000002" in name or "000003" in name)
                   for name in env.env.opponent_policies)
        algo.stop()
    finally:
        ray.shutdown()
