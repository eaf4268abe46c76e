"""The vector environment on the batched engine: every game agrees with a `PyTavrin` replay of
it, both autoreset modes, kept observations, Gymnasium's episode statistics, seeds and errors."""

import inspect

import pytest

np = pytest.importorskip("numpy")
gymnasium = pytest.importorskip("gymnasium")

from gymnasium.vector import AutoresetMode  # noqa: E402
from gymnasium.wrappers.vector import RecordEpisodeStatistics  # noqa: E402

from tavrin_rl.gym import make_vec  # noqa: E402
from tavrin_rl.gym.observations import observation_arrays  # noqa: E402


def learner_view(env, i):
    """Game i's learner observation and mask, computed by the game class."""
    game = env.games.game(i)
    observed = game.observe(int(env.seats[i]))
    return game, observation_arrays(observed, "compact"), np.frombuffer(observed.action_mask, bool)


class TestVectorEnv:
    def test_every_game_agrees_with_the_game_class(self):
        env = make_vec(12, seat="random", opponents=("greedy", "random", "reach"),
                       reward_mode="score", threads=2, seed=1, autoreset_mode="same_step")
        observations, infos = env.reset(seed=1)
        assert env.metadata["autoreset_mode"] == AutoresetMode.SAME_STEP
        held_pieces = observations["pieces"][:, 0].sum(1)
        ends = 0
        for _ in range(120):
            for i in range(env.num_envs):
                game, view, mask = learner_view(env, i)
                assert game.agent_selection == env.seats[i] == infos["seat"][i]
                assert not game.terminations[env.seats[i]]  # never left waiting without moves
                for key in ("board", "pieces", "out_of_moves"):
                    np.testing.assert_array_equal(observations[key][i], view[key])
                np.testing.assert_array_equal(infos["action_mask"][i], mask)
            assert env.observation_space.contains(observations)
            observations, rewards, terminations, truncations, infos = env.step(
                env.sample_legal_actions())
            assert not truncations.any()
            pieces = observations["pieces"][:, 0].sum(1)
            going_on = ~terminations
            # The learner placed exactly one piece in every game that goes on: a game where it
            # was to move again before the others never took a placement for it.
            np.testing.assert_array_equal(pieces[going_on], held_pieces[going_on] - 1)
            assert (rewards[going_on] == 0).all()
            for i in np.flatnonzero(terminations):
                ends += 1
                final = infos["final_info"]  # Gymnasium's layout: batched arrays, _key masks
                assert final["_scores"][i] and final["_seat"][i]
                assert rewards[i] == final["scores"][i][final["seat"][i]]  # "score" mode
                assert infos["_final_obs"][i]
                assert infos["final_obs"][i]["board"].shape == (12, 20, 20)
                assert pieces[i] == 21  # a new game, up to the learner's first turn
            held_pieces = pieces
        assert ends >= 12

    def test_next_step_autoreset_and_kept_observations(self):
        env = make_vec(6, seat="random", opponents="reach", seed=2)
        assert env.metadata["autoreset_mode"] == AutoresetMode.NEXT_STEP
        observations, infos = env.reset(seed=2)
        kept = [(observations, {k: v.copy() for k, v in observations.items()})]
        pending = np.zeros(6, dtype=bool)
        for _ in range(60):
            seats = infos["seat"].copy()
            observations, rewards, terminations, _, infos = env.step(env.sample_legal_actions())
            kept.append((observations, {k: v.copy() for k, v in observations.items()}))
            # A game that ended last step restarts now: no reward, not terminated, a new game.
            assert not terminations[pending].any() and (rewards[pending] == 0).all()
            assert (observations["pieces"][pending, 0].sum(1) == 21).all()
            for i in np.flatnonzero(terminations):
                game = env.games.game(i)  # finished, still held for the learner's last view
                assert game.is_over and infos["seat"][i] == seats[i]
                view = observation_arrays(game.observe(int(seats[i])), "compact")
                for key in ("board", "pieces", "out_of_moves"):
                    np.testing.assert_array_equal(observations[key][i], view[key])
                assert rewards[i] == game.outcome("win_share")[seats[i]]
                assert list(infos["scores"][i]) == game.scores
            pending = terminations
        # What the caller kept is its own: later steps and resets never rewrite it.
        env.reset(seed=5)
        for returned, copy in kept:
            for key in copy:
                np.testing.assert_array_equal(returned[key], copy[key])

    @pytest.mark.parametrize("mode", ["next_step", "same_step"])
    def test_episode_statistics(self, mode):
        env = RecordEpisodeStatistics(make_vec(8, seed=0, opponents="greedy", autoreset_mode=mode))
        env.reset(seed=0)
        # Gymnasium releases before the wrapper knew same-step autoreset (1.2, which ray[rllib] pins)
        # drop the first step of every later episode from its length.
        counts_every_step = (mode == "next_step"
                             or "SAME_STEP" in inspect.getsource(RecordEpisodeStatistics.step))
        lengths = np.zeros(8, dtype=int)
        later = np.zeros(8, dtype=bool)
        pending = np.zeros(8, dtype=bool)
        seen = 0
        for _ in range(60):
            _, rewards, terminations, _, infos = env.step(env.unwrapped.sample_legal_actions())
            lengths[~pending] += 1  # next-step's reset step is no step of an episode
            if terminations.any():
                stats = infos["episode"]
                expected = lengths if counts_every_step else lengths - later
                np.testing.assert_array_equal(stats["l"][terminations], expected[terminations])
                np.testing.assert_allclose(stats["r"][terminations], rewards[terminations])
                lengths[terminations] = 0
                later |= terminations
                seen += terminations.sum()
            pending = terminations if mode == "next_step" else pending
        assert seen >= 8

    def test_seeded_runs_repeat(self):
        def run(seed):
            env = make_vec(6, seat="random", opponents="random", seed=seed, threads=1)
            env.reset(seed=seed)
            trace = []
            for _ in range(40):
                observations, rewards, terminations, _, infos = env.step(
                    env.sample_legal_actions())
                trace.append((observations["board"].tobytes(), rewards.tobytes(),
                              infos["seat"].tobytes()))
            return trace

        assert run(3) == run(3)
        assert run(3) != run(4)

    def test_full_channels_last(self):
        env = make_vec(4, observation="full", channels_last=True, seat=2, seed=0)
        observations, _ = env.reset(seed=0)
        assert observations.shape == (4, 20, 20, 100) and observations.dtype == np.uint8
        game = env.games.game(0)
        expected = observation_arrays(game.observe(2), "full", channels_last=True)["observation"]
        np.testing.assert_array_equal(observations[0], expected)

    def test_strict_illegal_action_and_bad_actions_change_nothing(self):
        env = make_vec(3, seed=0, strict_actions=True)
        env.reset(seed=0)
        before = env.games.to_bytes()
        actions = env.sample_legal_actions()
        actions[1] = 1  # I1 off player_0's corner
        bad = [(actions, ValueError, "game 1"), (actions[:2], ValueError, "shape"),
               (actions.astype(float), TypeError, "integers"),
               (np.array([0, 36400, 0]), ValueError, "out of range")]
        for lenient in (False, True):
            for value, error, message in bad[lenient:]:
                with pytest.raises(error, match=message):
                    env.step(value)
                np.testing.assert_array_equal(env.games.to_bytes(), before)
            env = make_vec(3, seed=0)
            env.reset(seed=0)

    @pytest.mark.parametrize("mode", ["next_step", "same_step"])
    def test_illegal_placement_ends_that_game(self, mode):
        env = make_vec(3, seed=0, reward_mode="score", autoreset_mode=mode)
        env.reset(seed=0)
        actions = env.sample_legal_actions()
        actions[1] = 1
        _, rewards, terminations, _, infos = env.step(actions)
        assert list(terminations) == [False, True, False] and rewards[1] == -90
        flags = infos if mode == "next_step" else infos["final_info"]
        assert list(flags["_illegal_action"]) == [False, True, False] and flags["illegal_action"][1]
        # Gymnasium's own sampler, unmasked, plays whole games without an error.
        env.action_space.seed(0)
        for _ in range(30):
            _, rewards, terminations, _, _ = env.step(env.action_space.sample())
            assert set(rewards[terminations].tolist()) <= {-90.0}

    def test_waiting_game_allows_every_action(self):
        env = make_vec(4, seed=3, opponents="greedy")
        env.reset()
        for _ in range(40):
            _, _, terminations, _, infos = env.step(env.sample_legal_actions())
            masks = env.action_masks()
            assert infos["action_mask"].dtype == np.int8
            np.testing.assert_array_equal(infos["action_mask"], masks)
            assert masks[terminations].all() and masks[~terminations].any(1).all()
            assert not masks[~terminations].all(1).any()

    def test_per_game_seeds(self):
        env = make_vec(3, seat="random", threads=1)
        start = env.reset(seed=10)[0]["board"]
        listed = env.reset(seed=[10, 11, 12])[0]["board"]
        np.testing.assert_array_equal(start, listed)
        env.step(env.sample_legal_actions())
        changed = env.reset(seed=[10, 99, 12])[0]["board"]
        np.testing.assert_array_equal(changed[[0, 2]], start[[0, 2]])
        played = [env.reset(seed=[10, s, 12])[1]["seat"][1] for s in range(99, 107)]
        assert len(set(played)) > 1  # game 1 follows its own seed
        for seed, error in (([1, 2], ValueError), ([1, -2, 3], ValueError), ("7", TypeError)):
            with pytest.raises(error):
                env.reset(seed=seed)

    def test_render_tiles_the_first_games(self):
        env = make_vec(6, seed=0, render_mode="rgb_array")
        env.reset()
        image = env.render()
        one = make_vec(1, seed=0, render_mode="rgb_array")
        one.reset()
        width = one.render().shape[1]
        assert image.dtype == np.uint8 and image.shape[0] == width
        assert image.shape[1] == 4 * width + 3 * 8
        text = make_vec(2, seed=0, render_mode="ansi")
        text.reset()
        assert text.render().count("game ") == 2

    @pytest.mark.parametrize("kwargs, message", [
        ({"seat": 5}, "seat must be"),
        ({"opponents": "learner"}, "opponents must be one of random, greedy, reach"),
        ({"autoreset_mode": "disabled"}, "autoreset_mode must be"),
        ({"opponents": ("random",)}, "a sequence of three"),
        ({"observation": None}, "observation must be a str"),
        ({"render_mode": "human"}, "unknown render mode"),
        ({"strict_actions": 1}, "strict_actions must be"),
        ({"illegal_reward": float("nan")}, "illegal_reward must be finite"),
    ])
    def test_bad_arguments(self, kwargs, message):
        with pytest.raises((ValueError, TypeError), match=message):
            make_vec(2, **kwargs)


def test_refuses_pickling_clearly():
    import pickle
    with pytest.raises(TypeError, match="cannot be pickled"):
        pickle.dumps(make_vec(2, seed=0))


def test_registered_vector_entry_point():
    import tavrin_rl.gym  # noqa: F401 (registers)
    envs = gymnasium.make_vec("tavrin_rl/SingleAgent-v0", num_envs=3,
                              vectorization_mode="vector_entry_point", seat=1, threads=1)
    observations, infos = envs.reset(seed=0)
    assert observations["board"].shape == (3, 12, 20, 20) and (infos["seat"] == 1).all()


def test_options_are_spelled_out_for_editors():
    import typing

    from tavrin_rl.gym import SingleAgentEnv

    for function in (make_vec, SingleAgentEnv.__init__):
        hints = typing.get_type_hints(function)
        assert typing.get_args(hints["reward_mode"]) == ("score", "win_share", "rank")
        assert "compact" in typing.get_args(hints["observation"])
        assert "random" in str(hints["seat"])


def play_both(mode, opponents, seats="random", games=4, seed=20, steps=70):
    """make_vec and Gymnasium's SyncVectorEnv of the same id, seeded alike and given the same
    actions (a legal one per game from a generator of the test's own): their (obs, info) pairs
    after every step."""
    import tavrin_rl.gym  # noqa: F401 (registers)
    kwargs = {"seat": seats, "opponents": opponents, "autoreset_mode": mode}
    ours = gymnasium.make_vec("tavrin_rl/SingleAgent-v0", games, "vector_entry_point", threads=1, **kwargs)
    theirs = gymnasium.make_vec("tavrin_rl/SingleAgent-v0", games, "sync",
                                vector_kwargs={"autoreset_mode": AutoresetMode[mode.upper()]},
                                seat=seats, opponents=opponents)
    rng = np.random.default_rng(0)
    answers = [ours.reset(seed=seed), theirs.reset(seed=seed)]
    yield answers
    for _ in range(steps):
        masks = answers[1][1]["action_mask"].astype(bool)
        # A game waiting for its next-step reset: ours allow every action, theirs none.
        actions = np.array([rng.choice(np.flatnonzero(row)) if row.any() else 0 for row in masks])
        answers = [tuple(env.step(actions)[i] for i in (0, 4)) for env in (ours, theirs)]
        yield answers


@pytest.mark.parametrize("mode", ["next_step", "same_step"])
def test_seeds_and_infos_match_gymnasiums_own_vectorisation(mode):
    """Game i of seed s is SingleAgentEnv's game of seed s + i under either vectorisation, and the
    infos have Gymnasium's paired `_key` masks and final_info's action_mask."""
    ends = 0
    for (observations, infos), (expected, wanted) in play_both(mode, ("greedy", "random", "reach")):
        for key in ("board", "pieces", "out_of_moves"):
            np.testing.assert_array_equal(observations[key], expected[key])
        assert sorted(infos) == sorted(wanted)
        for key in ("_action_mask", "_seat", "seat"):
            assert infos[key].dtype == wanted[key].dtype
            np.testing.assert_array_equal(infos[key], wanted[key])
        live = wanted["action_mask"].any(1)
        assert infos["action_mask"].dtype == np.int8
        np.testing.assert_array_equal(infos["action_mask"][live], wanted["action_mask"][live])
        if "scores" in infos:
            np.testing.assert_array_equal(infos["_scores"], wanted["_scores"])
        if "final_info" in infos:
            ends += int(infos["_final_info"].sum())
            ours, theirs = infos["final_info"], wanted["final_info"]
            assert sorted(ours) == sorted(theirs)
            assert ours["action_mask"].dtype == np.int8 and not ours["action_mask"].any()
            for key in theirs:
                if key.startswith("_") or key == "seat":
                    np.testing.assert_array_equal(ours[key], theirs[key])
    if mode == "same_step":
        assert ends > 0


def test_random_seats_and_search_opponents_follow_the_seed():
    seen = set()
    for (observations, infos), (expected, wanted) in play_both("next_step", "mcts:8", steps=6):
        np.testing.assert_array_equal(observations["board"], expected["board"])
        seen.update(infos["seat"].tolist())
    assert len(seen) > 1
    from tavrin_rl.agents import Stream
    with pytest.raises(ValueError, match="at least 1"):
        Stream(5).below(0)
