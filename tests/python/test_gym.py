"""The single-agent Gymnasium environment: Gymnasium's checker, registration, turn order, rewards,
opponents, actions, arguments and copies."""

import copy
import pickle
import warnings

import pytest

np = pytest.importorskip("numpy")
gymnasium = pytest.importorskip("gymnasium")

from gymnasium.utils.env_checker import check_env  # noqa: E402

from tavrin_rl import PyTavrin  # noqa: E402
from tavrin_rl.gym import SingleAgentEnv  # noqa: E402


def random_episode(env, rng, seed):
    """Plays one episode with random legal actions; returns (steps, last reward, last info)."""
    observation, info = env.reset(seed=seed)
    steps, terminated = 0, False
    while not terminated:
        assert env.observation_space.contains(observation)
        mask = env.action_masks()
        assert mask.dtype == bool and mask.tobytes() == info["action_mask"].astype(bool).tobytes()
        action = int(rng.choice(np.flatnonzero(mask)))
        observation, reward, terminated, truncated, info = env.step(action)
        assert not truncated
        steps += 1
        if not terminated:
            assert reward == 0
    return steps, reward, info


class TestSingleAgentEnv:
    @pytest.mark.parametrize("kwargs", [{}, {"observation": "full"}, {"channels_last": True},
                                        {"seat": "random", "opponents": "greedy"}])
    def test_gymnasium_checker(self, kwargs):
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # the checker's advice counts as a failure here
            check_env(SingleAgentEnv(**kwargs), skip_render_check=True)

    def test_registered(self):
        env = gymnasium.make("tavrin_rl/SingleAgent-v0", seat=1, opponents="greedy")
        _, info = env.reset(seed=0)
        assert info["seat"] == 1 and env.unwrapped.game.ply == 1  # player_0 has moved
        assert env.get_wrapper_attr("action_masks")().sum() == info["action_mask"].sum() > 0

    @pytest.mark.parametrize("mode", PyTavrin.reward_modes)
    def test_learner_moves_on_its_turns_and_gets_its_outcome(self, mode):
        rng = np.random.default_rng(0)
        for seed in range(8):
            env = SingleAgentEnv(seat=seed % 4, reward_mode=mode, opponents="greedy")
            observation, info = env.reset(seed=seed)
            game = env.game
            terminated = False
            while not terminated:
                # Never asked to move while out of moves: that step plays the game out.
                assert game.agent_selection == env.seat and not game.terminations[env.seat]
                expected = game.observe(env.seat)
                np.testing.assert_array_equal(observation["board"][:4].reshape(-1),
                                              np.frombuffer(expected.observation, np.uint8))
                legal = np.flatnonzero(env.action_masks())
                observation, reward, terminated, _, info = env.step(int(rng.choice(legal)))
            assert game.is_over and reward == game.outcome(mode)[env.seat]
            assert info["scores"] == game.scores and not env.action_masks().any()

    def test_seeded_resets_replay_and_random_seats_vary(self):
        env = SingleAgentEnv(seat="random", opponents="random")
        first = [random_episode(env, np.random.default_rng(s), s) for s in range(6)]
        again = [random_episode(env, np.random.default_rng(s), s) for s in range(6)]
        assert ([(n, r, i["scores"]) for n, r, i in first]
                == [(n, r, i["scores"]) for n, r, i in again])
        assert len({info["seat"] for _, _, info in first}) > 1

    def test_callable_opponents_see_their_own_view(self):
        calls = []

        def largest_index(observation, mask):
            assert mask.dtype == np.int8 and observation.shape == (100, 20, 20)
            calls.append(observation[96:, 0, 0].copy())  # done flags, from the mover's seat
            return int(np.flatnonzero(mask)[-1])

        env = SingleAgentEnv(seat=3, opponents=["random", largest_index, "greedy"],
                             observation="full")
        env.reset(seed=0)
        # player_1, the second seat after the learner's, is the callable.
        assert env.game.ply == 3 and len(calls) == 1
        random_episode(env, np.random.default_rng(1), 1)
        assert len(calls) > 5

    def test_opponent_with_an_illegal_move(self):
        env = SingleAgentEnv(seat=1, opponents=lambda observation, mask: 1)
        with pytest.raises(ValueError, match="chose 1, not a legal action"):
            env.reset(seed=0)

    def test_actions(self):
        env = SingleAgentEnv(seat=0)
        env.reset(seed=0)
        for action, error in [(None, TypeError), (1.5, TypeError), (36400, ValueError),
                              (-1, ValueError)]:
            with pytest.raises(error):
                env.step(action)
        assert env.game.ply == 0
        env.step(np.int32(0))  # I1 on the corner
        assert env.game.ply == 4
        _, reward, terminated, _, info = env.step(1)  # grid index 1 touches no corner of ours
        assert (reward, terminated, info["illegal_action"]) == (-1.0, True, True)
        assert not info["action_mask"].any() and not env.action_masks().any()
        with pytest.raises(RuntimeError, match="call reset"):
            env.step(0)

    @pytest.mark.parametrize("kwargs, message", [
        ({"seat": 4}, "seat must be 0, 1, 2, 3 or 'random'"),
        ({"seat": True}, "seat must be"),
        ({"opponents": "smart"}, "unknown opponent 'smart'"),
        ({"opponents": ["random", "greedy"]}, "a sequence of three"),
        ({"opponents": 3}, "opponents must be"),
        ({"reward_mode": "points"}, "unknown reward mode 'points'"),
        ({"observation": "big"}, "unknown observation 'big'"),
        ({"illegal_reward": float("inf")}, "illegal_reward must be finite"),
    ])
    def test_bad_arguments(self, kwargs, message):
        with pytest.raises(ValueError, match=message):
            SingleAgentEnv(**kwargs)

    @pytest.mark.parametrize("how", [copy.copy, copy.deepcopy,
                                     lambda env: pickle.loads(pickle.dumps(env))])
    def test_copies_play_on_alike(self, how):
        env = SingleAgentEnv(seat=2, opponents="random")
        env.reset(seed=3)
        rng = np.random.default_rng(3)
        for _ in range(5):
            env.step(int(rng.choice(np.flatnonzero(env.action_masks()))))
        clone = how(env)
        assert clone.game is not env.game and clone.game.to_bytes() == env.game.to_bytes()
        finish = []
        for copy_ in (clone, env):
            moves = np.random.default_rng(7)
            trace, terminated = [], False
            while not terminated:
                action = int(moves.choice(np.flatnonzero(copy_.action_masks())))
                _, reward, terminated, _, _ = copy_.step(action)
                trace.append((copy_.game.to_bytes(), reward))
            finish.append(trace)
        assert finish[0] == finish[1]


def test_an_opponent_that_raises_leaves_no_move_for_the_learner_to_take():
    """The learner's next action must never be played as an interrupted opponent's move."""
    calls = []

    def flaky(observation, mask):
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return int(np.flatnonzero(mask)[0])

    env = SingleAgentEnv(opponents=(flaky, "reach", "greedy"))
    env.reset(seed=0)
    with pytest.raises(KeyboardInterrupt):
        for _ in range(3):
            env.step(int(np.flatnonzero(env.action_masks())[0]))
    ply = env.game.ply
    with pytest.raises(RuntimeError, match="reset"):
        env.step(0)
    assert env.game.ply == ply and not env.action_masks().any()
    env.reset(seed=1)
    env.step(int(np.flatnonzero(env.action_masks())[0]))
