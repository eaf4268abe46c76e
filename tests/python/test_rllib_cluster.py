"""RLlib's batched path on the shared two-node Ray cluster (head and worker on 127.0.0.1): one
env runner on each node, distinct game seeds, two PPO iterations."""

import sys

import pytest

pytest.importorskip("torch", reason="the RLlib module needs torch (pip install '.[rllib]')")
pytest.importorskip("ray.rllib", reason="RLlib is not installed (pip install '.[rllib]')")

# The driver runs in a process of its own, so that the test process never joins the cluster.
DRIVER = """
import sys, ray
from ray.rllib.algorithms.ppo import PPOConfig
from tavrin_rl.rllib_vector import single_agent
ray.init(address=sys.argv[1], logging_level="ERROR", log_to_driver=False)
# one CPU per runner on nodes of one CPU each: Ray must place one runner on each node
config = single_agent(
    PPOConfig().env_runners(num_env_runners=2, num_cpus_per_env_runner=1, sample_timeout_s=300)
    .training(train_batch_size_per_learner=256, minibatch_size=128, num_epochs=1,
              use_kl_loss=False)
    .debugging(seed=0),
    num_envs=8, seed=0)
algo = config.build_algo()
group = algo.env_runner_group
nodes = group.foreach_env_runner(lambda runner: ray.get_runtime_context().get_node_id(),
                                 local_env_runner=False)
seeds = group.foreach_env_runner(lambda runner: runner.env.unwrapped.game_seeds(None),
                                 local_env_runner=False)
for _ in range(2):
    result = algo.train()
print(len(set(nodes)), sorted(seeds), result["env_runners"]["num_env_steps_sampled_lifetime"])
algo.stop()
"""


@pytest.mark.slow
def test_ppo_trains_with_an_env_runner_on_each_node(ray_cluster):
    done = ray_cluster.run([sys.executable, "-c", DRIVER, ray_cluster.address], timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    nodes, *rest = done.stdout.strip().splitlines()[-1].split(" ", 1)
    assert nodes == "2"
    assert rest[0].startswith(f"{[list(range(8, 16)), list(range(16, 24))]}")
    assert float(rest[0].rsplit(" ", 1)[1]) >= 512
