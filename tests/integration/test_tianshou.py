"""Tianshou's PettingZooEnv and Collector run on the compact observation, keeping the pieces and
out-of-moves flags that sit under "observation"."""

import numpy as np
import pytest

REASON = "not installed: pip install '.[integration]'"
pytest.importorskip("torch", reason=f"torch {REASON}")
pytest.importorskip("tianshou", reason=f"tianshou {REASON}")

from tianshou.algorithm.multiagent.marl import MultiAgentPolicy  # noqa: E402
from tianshou.algorithm.random import MARLRandomDiscreteMaskedOffPolicyAlgorithm  # noqa: E402
from tianshou.data import Collector, VectorReplayBuffer  # noqa: E402
from tianshou.env import DummyVectorEnv, PettingZooEnv  # noqa: E402

import tavrin_rl  # noqa: E402


def test_a_collector_runs_on_the_compact_observation():
    def make():
        return PettingZooEnv(tavrin_rl.env(observation="compact"))

    envs = DummyVectorEnv([make, make])
    env = make()
    policy = MultiAgentPolicy({agent: MARLRandomDiscreteMaskedOffPolicyAlgorithm(
        env.action_space).policy for agent in env.agents})
    buffer = VectorReplayBuffer(2000, len(envs))
    collector = Collector(policy, envs, buffer)
    collector.reset()
    result = collector.collect(n_step=300)
    assert result.n_collected_steps >= 300
    kept = buffer.sample(64)[0].obs
    assert kept.obs.board.shape[1:] == (12, 20, 20)
    assert kept.obs.pieces.shape[1:] == (4, 21) and kept.obs.out_of_moves.shape[1:] == (4,)
    # Each collected move was legal under the mask Tianshou was shown.
    batch, _ = buffer.sample(200)
    assert np.asarray(batch.obs.mask)[np.arange(len(batch.act)), batch.act].all()
