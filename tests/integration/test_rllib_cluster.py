"""RLlib's batched path on a real two-node Ray cluster on 127.0.0.1: a head and one worker node,
one env runner on each, two PPO iterations."""

import pytest

REASON = "not installed: pip install '.[rllib]' (the integration venv has it)"
pytest.importorskip("torch", reason=f"torch {REASON}")
pytest.importorskip("ray.rllib", reason=f"ray[rllib] {REASON}")


@pytest.fixture
def two_node_cluster():
    """The address of a head node and one worker node of one CPU each, on this machine.
    (Stands in for the shared cluster fixture: any fixture giving such an address will do.)"""
    import ray
    from ray.cluster_utils import Cluster
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 1})
    cluster.add_node(num_cpus=1)
    cluster.wait_for_nodes()
    try:
        yield cluster.address
    finally:
        ray.shutdown()
        cluster.shutdown()


@pytest.mark.slow
def test_ppo_trains_with_env_runners_on_both_nodes(two_node_cluster):
    import ray
    from ray.rllib.algorithms.ppo import PPOConfig

    from tavrin_rl.rllib_vector import single_agent
    ray.init(address=two_node_cluster)
    # one CPU per runner on nodes of one CPU each: Ray must place one runner on each node
    config = single_agent(
        PPOConfig().env_runners(num_env_runners=2, num_cpus_per_env_runner=1,
                                sample_timeout_s=300)
        .training(train_batch_size_per_learner=256, minibatch_size=128, num_epochs=1,
                  use_kl_loss=False)
        .debugging(seed=0),
        num_envs=8, seed=0)
    algo = config.build_algo()
    try:
        nodes = algo.env_runner_group.foreach_env_runner(
            lambda runner: ray.get_runtime_context().get_node_id(), local_env_runner=False)
        assert len(set(nodes)) == 2
        seeds = algo.env_runner_group.foreach_env_runner(
            lambda runner: runner.env.unwrapped.game_seeds(None), local_env_runner=False)
        assert sorted(seeds) == [list(range(8, 16)), list(range(16, 24))]
        for _ in range(2):
            result = algo.train()
        assert result["env_runners"]["num_env_steps_sampled_lifetime"] >= 512
    finally:
        algo.stop()
