"""The RLlib environment, checked against RLlib's own episode bookkeeping (no torch needed):
whole self-play games are accepted by `MultiAgentEpisode`, observations are the mover's view,
rewards are the outcome, and built-in opponents and illegal actions behave as documented."""

import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("ray", reason="ray is not installed for this interpreter (CI installs "
                                  "ray[rllib] on 3.11)")
pytest.importorskip("tree", reason="ray[rllib] is not installed (pip install 'ray[rllib]')")

from ray.rllib.env.multi_agent_episode import MultiAgentEpisode  # noqa: E402
from ray.rllib.utils.pre_checks.env import check_multiagent_environments  # noqa: E402

from tavrin_rl import PyTavrin  # noqa: E402
from tavrin_rl.rllib import AGENT_IDS, OBSERVATION_SIZE, TavrinMultiAgentEnv  # noqa: E402


def play(env, seed, episode=None):
    """One game of uniformly random legal moves; returns the last step's rewards and infos."""
    rng = np.random.default_rng(seed)
    observations, infos = env.reset(seed=seed)
    if episode is not None:
        episode.add_env_reset(observations=observations, infos=infos)
    while True:
        (agent, seen), = observations.items()
        assert env.observation_spaces[agent].contains(seen)
        assert AGENT_IDS[env.game.agent_selection] == agent
        view = env.game.observe(env.game.agent_selection)
        expected = view.observation + view.corners + view.blocked + view.pieces + view.done
        assert seen["observations"].tobytes() == np.frombuffer(expected, np.uint8).astype(
            np.float32).tobytes()
        action = int(rng.choice(np.flatnonzero(seen["action_mask"])))
        observations, rewards, terminated, truncated, infos = env.step({agent: action})
        if episode is not None:
            episode.add_env_step(observations, {agent: action}, rewards, infos,
                                 terminateds=terminated, truncateds=truncated)
        if terminated["__all__"]:
            return rewards, infos
        assert set(rewards.values()) == {0.0}


def test_self_play_games_fit_rllibs_episodes():
    env = TavrinMultiAgentEnv({"reward_mode": "rank"})
    check_multiagent_environments(env)
    for seed in range(3):
        episode = MultiAgentEpisode(observation_space=env.observation_spaces,
                                    action_space=env.action_spaces,
                                    agent_to_module_mapping_fn=lambda agent, episode: "shared")
        rewards, _ = play(env, seed, episode)
        assert env.game.is_over and episode.is_done
        assert rewards == dict(zip(AGENT_IDS, env.game.outcome("rank")))
        assert sum(len(episode.agent_episodes[a]) for a in AGENT_IDS) == env.game.ply


def test_opponents_move_inside_the_env():
    env = TavrinMultiAgentEnv({"opponents": {1: "greedy", 3: "random"}})
    assert env.possible_agents == ["player_0", "player_2"]
    rewards, infos = play(env, 4)
    assert set(rewards) == {"player_0", "player_2"}
    outcome = env.game.outcome("win_share")
    assert [rewards["player_0"], rewards["player_2"]] == [outcome[0], outcome[2]]
    assert infos["player_0"]["scores"] == env.game.scores


def test_env_config_seed_drives_the_opponents():
    def first_moves(seed):
        env = TavrinMultiAgentEnv({"opponents": {1: "random", 2: "random", 3: "random"},
                                   "seed": seed})
        observations, _ = env.reset()
        env.step({"player_0": int(np.flatnonzero(observations["player_0"]["action_mask"])[0])})
        return env.game.to_bytes()

    assert first_moves(3) == first_moves(3)
    assert len({first_moves(seed) for seed in range(4)}) > 1


@pytest.mark.parametrize("bad", ["masked", "fraction", float("nan"), float("-inf")])
def test_a_bad_action_ends_the_game_for_the_offender_until_reset(bad):
    env = TavrinMultiAgentEnv({"reward_mode": "score"})
    observations, _ = env.reset(seed=0)
    (agent, seen), = observations.items()
    legal = np.flatnonzero(seen["action_mask"])
    with pytest.raises(TypeError, match="grid index"):
        env.step({agent: None})
    if bad == "masked":
        bad = int(np.flatnonzero(seen["action_mask"] == 0)[0])
    elif bad == "fraction":
        bad = legal[0] + 0.7  # a legal move, were it truncated
    observations, rewards, terminated, _, infos = env.step({agent: bad})
    assert terminated["__all__"] and rewards == {a: (-90.0 if a == agent else 0.0)
                                                 for a in AGENT_IDS}
    assert infos[agent]["illegal_action"] is bad
    assert env.game.to_bytes() == PyTavrin().to_bytes()  # the move was not made
    assert OBSERVATION_SIZE == len(observations[agent]["observations"])
    with pytest.raises(RuntimeError, match="call reset"):  # no playing on in the ended game
        env.step({agent: int(legal[0])})
    assert env.game.to_bytes() == PyTavrin().to_bytes()
    env.reset(seed=0)
    env.step({agent: float(legal[0])})  # a whole number is a move, whatever its type
    assert env.game.ply == 1


@pytest.mark.parametrize("config, message", [
    ({"reward_mode": "wins"}, "reward_mode"),
    ({"opponents": {s: "random" for s in range(4)}}, "opponents"),
    ({"opponents": {5: "random"}}, "opponents"),
    ({"opponents": {1: "clever"}}, "unknown opponent"),
    ({"colour": 1}, "unknown env_config key"),
    ({"illegal_reward": float("nan")}, "illegal_reward"),
    ({"illegal_reward": float("inf")}, "illegal_reward"),
    ({"seed": -1}, "seed"),
])
def test_bad_configs(config, message):
    with pytest.raises(ValueError, match=message):
        TavrinMultiAgentEnv(config)


TRAIN_ONCE = """
import ray, torch
from ray.rllib.algorithms.ppo import PPOConfig
from ray.rllib.core.columns import Columns
from tavrin_rl.rllib import SHARED_POLICY, TavrinMultiAgentEnv, shared_module, shared_policy

ray.init(num_cpus=1, include_dashboard=False, log_to_driver=False, logging_level="ERROR")
algo = (PPOConfig().environment(TavrinMultiAgentEnv, env_config={"reward_mode": "win_share"})
        .multi_agent(**shared_policy()).rl_module(rl_module_spec=shared_module(channels=4))
        .env_runners(num_env_runners=0)
        .training(train_batch_size_per_learner=128, minibatch_size=64, num_epochs=1)
        ).build_algo()
algo.train()
(seen,) = TavrinMultiAgentEnv().reset(seed=1)[0].values()
batch = {Columns.OBS: {key: torch.from_numpy(value)[None] for key, value in seen.items()}}
logits = algo.get_module(SHARED_POLICY).forward_inference(batch)[Columns.ACTION_DIST_INPUTS][0]
illegal = torch.from_numpy(seen["action_mask"]) == 0
print("illegal probability", float(torch.softmax(logits, 0)[illegal].sum()))
"""


@pytest.mark.slow  # builds RLlib's PPO and trains a round
def test_the_documented_ppo_config_builds_and_trains():
    # RLlib has no default network for the Dict observation: without the shipped module the
    # module docstring's config fails to build.
    pytest.importorskip("torch", reason="the shipped RLModule needs torch (pip install "
                                        "'tavrin_rl[rllib]'; CI's Ray venv has none)")
    done = subprocess.run([sys.executable, "-c", TRAIN_ONCE], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.splitlines()[-1] == "illegal probability 0.0"
