"""The PettingZoo AEC environment: PettingZoo's own API, seed, render and parallel tests, and the
game's rules for observations, rewards, finished agents, actions, arguments and copies."""

import copy
import pickle
import subprocess
import sys
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("gymnasium")
pytest.importorskip("pettingzoo")

from pettingzoo.test import api_test, parallel_api_test, render_test, seed_test  # noqa: E402
from pettingzoo.utils.conversions import turn_based_aec_to_parallel  # noqa: E402

import tavrin_rl  # noqa: E402
from tavrin_rl import PyTavrin  # noqa: E402
from tavrin_rl.board import cell_owners  # noqa: E402
from tavrin_rl.text_board import draw  # noqa: E402
from tavrin_rl.catalogue import action_cells, to_board  # noqa: E402
from tavrin_rl.pettingzoo_env import AGENT_RGB, CELL_PIXELS, FREE_RGB  # noqa: E402
from tavrin_rl.text_board import LETTERS  # noqa: E402

AGENTS = ["player_0", "player_1", "player_2", "player_3"]
OPTIONS = [{}, {"observation": "compact"}, {"observation": "compact", "channels_last": True},
           {"channels_last": True}]


@pytest.fixture(autouse=True)
def quiet_pettingzoo_advice():
    # api_test advises on dict observations, which PettingZoo's own board games also use.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        yield


def fast(make):
    """`make` with human rendering paced at 1000 frames/s, for the suites that render."""
    def build(**kwargs):
        environment = make(**kwargs)
        environment.unwrapped.metadata = {**environment.unwrapped.metadata, "render_fps": 1000}
        return environment
    return build


class TestPettingZooSuites:
    @pytest.mark.parametrize("options", OPTIONS)
    @pytest.mark.parametrize("make", [tavrin_rl.env, tavrin_rl.raw_env])
    def test_api(self, make, options):
        api_test(make(**options), num_cycles=25)  # 100 turns: a whole game and its dead steps

    @pytest.mark.parametrize("make", [tavrin_rl.env, tavrin_rl.raw_env])
    def test_seed(self, make):
        seed_test(make, num_cycles=25)

    def test_render(self):
        render_test(fast(tavrin_rl.env), custom_tests={
            "ansi": lambda text: text.startswith("  ") and "player_0" in text
            and max(map(len, text.split("\n"))) <= 44,
            "rgb_array": lambda image: image.shape == (20 * CELL_PIXELS, 20 * CELL_PIXELS, 3),
        })

    @pytest.mark.parametrize("options", OPTIONS[:2])
    def test_parallel_conversion(self, options):
        parallel_api_test(turn_based_aec_to_parallel(tavrin_rl.env(**options)), num_cycles=100)
        # Every agent gets its final reward in the step that terminates it.
        parallel = turn_based_aec_to_parallel(tavrin_rl.env(reward_mode="score"))
        observations, _ = parallel.reset(seed=0)
        rng = np.random.default_rng(0)
        while parallel.agents:
            actions = {agent: int(rng.choice(np.flatnonzero(observations[agent]["action_mask"])))
                       if observations[agent]["action_mask"].any() else None
                       for agent in parallel.agents}
            observations, rewards, terminations, _, _ = parallel.step(actions)
            assert len(set(terminations.values())) == 1  # together or not at all
        scores = parallel.unwrapped.game.scores
        assert terminations == dict.fromkeys(AGENTS, True)
        assert rewards == {agent: float(score) for agent, score in zip(AGENTS, scores)}


def play(env, rng, on_turn=None, seed=0):
    """Play `env` from reset to its end with random legal actions; returns (agent, termination,
    reward) for every selection."""
    env.reset(seed=seed)
    selected = []
    for agent in env.agent_iter():
        observation, reward, termination, truncation, info = env.last()
        selected.append((agent, termination, reward))
        if on_turn is not None:
            on_turn(env, agent, observation)
        if termination or truncation:
            action = None
        else:
            action = int(rng.choice(np.flatnonzero(observation["action_mask"].view(bool))))
        env.step(action)
    return selected


class TestEpisode:
    @pytest.mark.parametrize("mode", PyTavrin.reward_modes)
    def test_agents_leave_together_with_their_final_rewards(self, mode):
        env = tavrin_rl.env(reward_mode=mode)
        game = env.unwrapped.game
        passed = set()
        seen_terminated = {}

        def check(env, agent, observation):
            assert not any(env.truncations.values())
            if not game.is_over:
                assert not game.terminations[AGENTS.index(agent)]  # never asked to pass
                assert observation["action_mask"].any()
                assert not any(env.terminations.values())
                assert all(reward == 0 for reward in env.rewards.values())
                assert env.agents == AGENTS
                passed.update(a for a, done in zip(AGENTS, game.terminations) if done)
            else:
                assert all(env.terminations.values())
            for name in env.agents:  # no reward after an agent was reported terminated
                if name in seen_terminated:
                    assert env._cumulative_rewards[name] == seen_terminated[name]
                elif env.terminations[name]:
                    seen_terminated[name] = env._cumulative_rewards[name]

        for seed in range(3):
            seen_terminated.clear()
            selected = play(env, np.random.default_rng(seed), check, seed)
            live = [s for s in selected if not s[1]]
            dead = [s for s in selected if s[1]]
            assert len(live) == game.ply  # every live turn placed a piece
            assert all(reward == 0 for _, _, reward in live)
            assert sorted(agent for agent, _, _ in dead) == AGENTS
            outcome = game.outcome(mode)
            assert {agent: reward for agent, _, reward in dead} == dict(zip(AGENTS, outcome))
            assert env.agents == []
        assert passed  # some agent ran out of moves while others still played

    def test_observation_channels(self):
        env = tavrin_rl.raw_env()

        def check(env, agent, observation):
            index = AGENTS.index(agent)
            raw = env.game.observe(index)
            planes = observation["observation"]
            assert planes.shape == (100, 20, 20) and planes.dtype == np.int8
            board = (4, 20, 20)
            for channels, buffer in ((slice(0, 4), raw.observation), (slice(4, 8), raw.corners),
                                     (slice(8, 12), raw.blocked)):
                np.testing.assert_array_equal(planes[channels],
                                              np.frombuffer(buffer, np.int8).reshape(board))
            pieces = np.frombuffer(raw.pieces, np.int8)
            done = np.frombuffer(raw.done, np.int8)
            for channel in range(84):
                assert (planes[12 + channel] == pieces[channel]).all()
            for seat in range(4):
                assert (planes[96 + seat] == done[seat]).all()
            mask = observation["action_mask"]
            assert mask.dtype == np.int8 and mask.shape == (36400,)
            assert mask.tobytes() == raw.action_mask
            # seat 0 is the observer, in its own frame: its start corner is (0, 0)
            if env.game.ply == 0:
                assert planes[4, 0, 0] == 1 and planes[5, 0, 19] == 1

        play(env, np.random.default_rng(2), check)

    def test_compact_and_channels_last_hold_the_full_planes(self):
        envs = [tavrin_rl.raw_env(**options) for options in OPTIONS]
        rng = np.random.default_rng(4)
        for env in envs:
            env.reset()
        while envs[0].agents:
            agent = envs[0].agent_selection
            observed = [env.observe(agent) for env in envs]
            full, full_hwc = observed[0], observed[3]
            compact, compact_hwc = observed[1]["observation"], observed[2]["observation"]
            planes = full["observation"]
            assert compact["board"].dtype == np.uint8 and compact["pieces"].dtype == np.uint8
            np.testing.assert_array_equal(compact["board"], planes[:12])
            np.testing.assert_array_equal(compact["pieces"], planes[12:96, 0, 0].reshape(4, 21))
            np.testing.assert_array_equal(compact["out_of_moves"], planes[96:, 0, 0])
            np.testing.assert_array_equal(compact_hwc["board"], planes[:12].transpose(1, 2, 0))
            assert full_hwc["observation"].dtype == np.uint8
            np.testing.assert_array_equal(full_hwc["observation"], planes.transpose(1, 2, 0))
            for observation, env in zip(observed, envs):
                assert env.observation_space(agent).contains(observation)
                np.testing.assert_array_equal(observation["action_mask"], full["action_mask"])
            legal = np.flatnonzero(full["action_mask"])
            action = int(rng.choice(legal)) if legal.size else None
            for env in envs:
                env.step(action)
        assert all(not env.agents for env in envs)

    @pytest.mark.parametrize("channels_last", [False, True])
    def test_state_is_player_0_view(self, channels_last):
        env = tavrin_rl.raw_env(channels_last=channels_last)
        env.reset()
        for _ in range(6):
            env.step(int(np.flatnonzero(env.observe(env.agent_selection)["action_mask"])[-1]))
        np.testing.assert_array_equal(env.state(), env.observe("player_0")["observation"])
        assert env.state_space.contains(env.state())


class TestActions:
    def test_illegal_action(self):
        wrapped = tavrin_rl.env(reward_mode="score")
        wrapped.reset()
        wrapped.step(0)
        wrapped.step(1)  # player_1's I1 at (0, 1) of its frame misses its corner
        assert all(wrapped.terminations.values()) and not any(wrapped.truncations.values())
        assert wrapped.rewards == {"player_0": 0, "player_1": -90.0, "player_2": 0, "player_3": 0}
        dead = []
        while wrapped.agents:
            dead.append(wrapped.last()[1:3])
            wrapped.step(None)
        assert dead == [(0, True), (-90.0, True), (0, True), (0, True)]

        raw = tavrin_rl.raw_env()
        raw.reset()
        raw.step(0)
        before = raw.game.to_bytes()
        with pytest.raises(AssertionError, match="Invalid action: Action index not available"):
            raw.step(1)
        assert raw.game.to_bytes() == before and raw.agent_selection == "player_1"

    @pytest.mark.parametrize("action", [False, 0, np.int16(0), np.uint64(0), np.array(0)])
    def test_integer_kinds(self, action):
        env = tavrin_rl.env()
        env.reset()
        env.step(action)
        assert env.unwrapped.game.ply == 1 and env.agent_selection == "player_1"

    def test_true_is_index_1(self):
        env = tavrin_rl.env()
        env.reset()
        env.step(True)  # grid index 1 does not cover player_0's corner: an illegal move
        assert env.rewards["player_0"] == -1.0 and all(env.terminations.values())

    @pytest.mark.parametrize("action, error, message", [
        (None, ValueError, "player_0 is still playing"),
        (36400, ValueError, "outside the action space"),
        (-1, ValueError, "outside the action space"),
        (1.0, TypeError, "not float"),
        ("0", TypeError, "not str"),
        (np.array([0]), TypeError, "not ndarray"),
    ])
    def test_rejected_actions_change_nothing(self, action, error, message):
        env = tavrin_rl.env()
        env.reset()
        with pytest.raises(error, match=message):
            env.step(action)
        assert env.unwrapped.game.ply == 0 and not any(env.terminations.values())
        env.step(0)  # still playable

    def test_dead_step_takes_only_none(self):
        env = tavrin_rl.env()
        env.reset()
        env.step(1)  # illegal: the game ends
        with pytest.raises(ValueError, match="is terminated: step it with None"):
            env.step(0)

    @pytest.mark.parametrize("make", [tavrin_rl.env, tavrin_rl.raw_env])
    def test_after_the_game_is_over(self, make):
        env = make()
        play(env, np.random.default_rng(5))
        for call in (lambda: env.step(None), lambda: env.step(0), env.last):
            with pytest.raises(RuntimeError, match="the game is over .* call reset"):
                call()
        env.reset()
        assert env.last()[2] is False

    def test_calls_before_reset(self):
        env = tavrin_rl.env()
        with pytest.raises(AssertionError, match="reset"):
            env.step(0)
        with pytest.raises(AssertionError, match="reset"):
            env.last()


class TestArguments:
    @pytest.mark.parametrize("kwargs, error, message", [
        ({"reward_mode": "Score"}, ValueError, "unknown reward mode 'Score'"),
        ({"reward_mode": 1}, TypeError, "reward_mode must be a str"),
        ({"render_mode": "svg"}, ValueError, "unknown render mode 'svg'"),
        ({"render_mode": True}, TypeError, "render_mode must be a str"),
        ({"observation": "tiny"}, ValueError, "unknown observation 'tiny'"),
        ({"channels_last": 1}, TypeError, "channels_last must be True or False"),
        ({"illegal_reward": "x"}, TypeError, "illegal_reward must be a real number"),
        ({"illegal_reward": True}, TypeError, "illegal_reward must be a real number"),
        ({"illegal_reward": float("nan")}, ValueError, "illegal_reward must be finite"),
        ({"illegal_reward": -1, "reward_mode": "Rank"}, ValueError, "unknown reward mode"),
    ])
    def test_bad_arguments(self, kwargs, error, message):
        with pytest.raises(error, match=message):
            tavrin_rl.env(**kwargs)
        kwargs.pop("illegal_reward", None)
        if kwargs:
            with pytest.raises(error, match=message):
                tavrin_rl.raw_env(**kwargs)

    def test_explicit_signatures(self):
        import inspect
        assert list(inspect.signature(tavrin_rl.env).parameters) == [
            "reward_mode", "render_mode", "illegal_reward", "observation", "channels_last"]
        assert list(inspect.signature(tavrin_rl.raw_env).parameters) == [
            "reward_mode", "render_mode", "observation", "channels_last"]
        assert tavrin_rl.env(illegal_reward=np.float32(-2)).illegal_reward == -2.0


def midgame(make, plies, seed=6, **kwargs):
    """An env after `plies` random placements, or at the end of its game if that comes first."""
    env = make(**kwargs)
    env.reset(seed=seed)
    rng = np.random.default_rng(seed)
    for _ in range(plies):
        observation, _, termination, _, _ = env.last()
        if termination:
            break
        env.step(int(rng.choice(np.flatnonzero(observation["action_mask"]))))
    return env


def bookkeeping(env):
    raw = env.unwrapped
    return (raw.game.to_bytes(), env.agent_selection, list(env.agents), dict(env.rewards),
            dict(raw._cumulative_rewards), dict(env.terminations), dict(env.truncations),
            copy.deepcopy(env.infos), raw._skip_agent_selection)


class TestCopies:
    COPIERS = {"copy": copy.copy, "deepcopy": copy.deepcopy,
               "pickle": lambda env: pickle.loads(pickle.dumps(env))}

    @pytest.mark.parametrize("how", COPIERS)
    @pytest.mark.parametrize("make", [tavrin_rl.env, tavrin_rl.raw_env])
    def test_copies_keep_the_position_and_are_independent(self, make, how):
        for plies in (0, 30, 200):  # new, midgame, game over with dead steps to take
            env = midgame(make, plies, reward_mode="rank", observation="compact")
            before = bookkeeping(env)
            clone = self.COPIERS[how](env)
            assert clone is not env and clone.unwrapped.game is not env.unwrapped.game
            assert bookkeeping(clone) == before
            assert (clone.unwrapped.reward_mode, clone.unwrapped.observation_mode) == (
                "rank", "compact")
            # Playing the copy to its end leaves the original where it was, and the original then
            # plays the same game.
            finish_clone = play_on(clone, np.random.default_rng(plies))
            assert bookkeeping(env) == before
            assert play_on(env, np.random.default_rng(plies)) == finish_clone

    def test_illegal_reward_survives_copies(self):
        env = tavrin_rl.env(illegal_reward=-7)
        env.reset()
        clone = pickle.loads(pickle.dumps(env))
        clone.step(1)
        assert clone.rewards["player_0"] == -7.0 and env.unwrapped.game.ply == 0


def play_on(env, rng):
    """Continue `env` to its end with random legal actions; the (agent, reward) sequence."""
    trace = []
    for agent in env.agent_iter():
        observation, reward, termination, _, _ = env.last()
        trace.append((agent, reward))
        legal = np.flatnonzero(observation["action_mask"])
        env.step(None if termination else int(rng.choice(legal)))
    return trace


class TestRenderModes:
    def midgame(self, render_mode):
        env = tavrin_rl.raw_env(render_mode=render_mode)
        env.reset()
        rng = np.random.default_rng(3)
        for _ in range(30):
            mask = env.observe(env.agent_selection)["action_mask"]
            env.step(int(rng.choice(np.flatnonzero(mask))))
        return env

    def test_ansi_is_the_text_board_with_the_last_placement(self, capfd, monkeypatch):
        env = self.midgame("ansi")
        mask = env.observe(env.agent_selection)["action_mask"]
        mover = int(env.agent_selection[-1])
        index = int(np.flatnonzero(mask)[0])
        env.step(index)
        cells = [to_board(mover, r, c) for r, c in action_cells(index)]
        text = env.render()
        assert text == draw(env.game, last=cells) and "\x1b" not in text
        assert sum(line[2:].count(LETTERS[mover].lower()) for line in text.split("\n")[2:22]) \
            == len(cells)
        # "human" prints the same board, coloured only on a terminal without NO_COLOR.
        human = tavrin_rl.raw_env(render_mode="human")
        human.game.__setstate__(env.game.to_bytes())
        capfd.readouterr()
        assert human.render() is None
        assert capfd.readouterr().out == draw(env.game) + "\n"

    def test_human_draws_every_step_at_render_fps(self, capfd, monkeypatch):
        clock = [100.0]
        sleeps = []
        monkeypatch.setattr("time.monotonic", lambda: clock[0])

        def sleep(seconds):
            sleeps.append(seconds)
            clock[0] += seconds

        monkeypatch.setattr("time.sleep", sleep)
        env = tavrin_rl.raw_env(render_mode="human")
        env.reset()
        capfd.readouterr()
        env.step(0)
        clock[0] += 0.1
        env.step(0)  # player_1's I1 on its own corner, (0, 0) of its frame
        clock[0] += 0.6
        env.step(0)
        assert sleeps == [pytest.approx(1 / env.metadata["render_fps"] - 0.1)]
        out = capfd.readouterr().out
        assert [out.count(f"ply {n}, player_{n} to move") for n in (1, 2, 3)] == [1, 1, 1]
        assert out.endswith(draw(env.game, last=[(19, 19)]) + "\n")  # player_2's corner

    def test_rgb_array_colours_cells_by_agent(self):
        env = self.midgame("rgb_array")
        image = env.render()
        assert image.dtype == np.uint8 and image.shape == (320, 320, 3)
        owners = cell_owners(env.game.to_bytes())
        centre = CELL_PIXELS // 2
        for row in range(20):
            for column in range(20):
                owner = owners[row][column]
                expected = FREE_RGB if owner < 0 else AGENT_RGB[owner]
                pixel = image[row * CELL_PIXELS + centre, column * CELL_PIXELS + centre]
                assert tuple(pixel) == expected

    def test_no_render_mode_renders_nothing(self):
        env = tavrin_rl.raw_env()
        env.reset()
        assert env.render() is None


def test_missing_extras_are_named():
    code = ("import sys; sys.modules['pettingzoo'] = None\n"
            "import tavrin_rl\n"
            "try:\n    tavrin_rl.env\nexcept ModuleNotFoundError as e:\n    print(e)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "pip install 'tavrin_rl[pettingzoo]'" in done.stdout
