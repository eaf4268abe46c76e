"""The PettingZoo AEC environment: PettingZoo's own API, seed and render tests, and the game's
rules for observations, rewards and finished agents."""

import pickle
import subprocess
import sys
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("gymnasium")
pytest.importorskip("pettingzoo")

from pettingzoo.test import api_test, render_test, seed_test  # noqa: E402

import tavrin_rl  # noqa: E402
from tavrin_rl import PyTavrin  # noqa: E402
from tavrin_rl.board import cell_owners, picture  # noqa: E402
from tavrin_rl.pettingzoo_env import AGENT_RGB, CELL_PIXELS, FREE_RGB  # noqa: E402

AGENTS = ["player_0", "player_1", "player_2", "player_3"]


@pytest.fixture(autouse=True)
def quiet_pettingzoo_advice():
    # api_test advises on dict observations, which PettingZoo's own board games also use.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        yield


class TestPettingZooSuites:
    @pytest.mark.parametrize("make", [tavrin_rl.env, tavrin_rl.raw_env])
    def test_api(self, make):
        api_test(make(), num_cycles=25)  # 100 turns: a whole game and its dead steps

    @pytest.mark.parametrize("make", [tavrin_rl.env, tavrin_rl.raw_env])
    def test_seed(self, make):
        seed_test(make, num_cycles=25)

    def test_render(self):
        render_test(tavrin_rl.env, custom_tests={
            "ansi": lambda text: text.startswith("  |  0 |") and text.endswith("|"),
            "rgb_array": lambda image: image.shape == (20 * CELL_PIXELS, 20 * CELL_PIXELS, 3),
        })


def play(env, rng, on_turn=None):
    """Play `env` from reset to its end with random legal actions; returns the selected agents."""
    env.reset(seed=0)
    selected = []
    for agent in env.agent_iter():
        observation, reward, termination, truncation, info = env.last()
        selected.append((agent, termination, reward))
        if on_turn is not None:
            on_turn(env, agent, observation)
        if termination or truncation:
            action = None
        else:
            action = int(rng.choice(np.flatnonzero(observation["action_mask"])))
        env.step(action)
    return selected


class TestEpisode:
    @pytest.mark.parametrize("mode", PyTavrin.reward_modes)
    def test_rewards_at_the_end_and_one_dead_step_each(self, mode):
        env = tavrin_rl.env(reward_mode=mode)
        game = env.unwrapped.game
        finished_early = set()

        def check(env, agent, observation):
            if not game.is_over:
                assert not env.terminations[agent]  # a finished agent is never asked to move
                assert all(reward == 0 for reward in env.rewards.values())
                for name, done in zip(AGENTS, game.terminations):
                    assert env.terminations[name] == done  # terminated as soon as it is done
                    if done:
                        finished_early.add(name)
                assert env.agents == AGENTS

        selected = play(env, np.random.default_rng(1), check)
        live = [s for s in selected if not s[1]]
        dead = [s for s in selected if s[1]]
        assert len(live) == game.ply  # every live turn placed a piece
        assert all(reward == 0 for _, _, reward in live)
        assert sorted(agent for agent, _, _ in dead) == AGENTS
        outcome = game.outcome(mode)
        assert {agent: reward for agent, _, reward in dead} == {
            agent: outcome[i] for i, agent in enumerate(AGENTS)}
        assert finished_early  # some agent ran out of moves while others still played
        assert env.agents == []

    def test_observation_channels(self):
        env = tavrin_rl.raw_env()

        def check(env, agent, observation):
            index = AGENTS.index(agent)
            raw = env.game.observe(index)
            planes = observation["observation"]
            assert planes.shape == (100, 20, 20) and planes.dtype == np.int8
            board = (4, 20, 20)
            np.testing.assert_array_equal(planes[0:4], np.frombuffer(raw.observation, np.int8).reshape(board))
            np.testing.assert_array_equal(planes[4:8], np.frombuffer(raw.corners, np.int8).reshape(board))
            np.testing.assert_array_equal(planes[8:12], np.frombuffer(raw.blocked, np.int8).reshape(board))
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

    def test_state_is_player_0_view(self):
        env = tavrin_rl.raw_env()
        env.reset()
        for _ in range(6):
            env.step(int(np.flatnonzero(env.observe(env.agent_selection)["action_mask"])[-1]))
        np.testing.assert_array_equal(env.state(), env.observe("player_0")["observation"])
        assert env.state_space.contains(env.state())

    def test_illegal_action(self):
        wrapped = tavrin_rl.env(reward_mode="score")
        wrapped.reset()
        wrapped.step(1)  # no piece covers player_0's corner at grid index 1
        assert all(wrapped.terminations.values())
        _, reward, termination, _, _ = wrapped.last()
        assert termination and reward == -90.0  # below every score
        while wrapped.agents:
            wrapped.step(None)

        raw = tavrin_rl.raw_env()
        raw.reset()
        raw.step(0)
        before = raw.game.to_bytes()
        with pytest.raises(AssertionError, match="Invalid action: Action index not available"):
            raw.step(1)  # I1 at (0, 1) of player_1's frame misses its corner
        assert raw.game.to_bytes() == before and raw.agent_selection == "player_1"

    def test_bad_arguments(self):
        with pytest.raises(ValueError, match="unknown reward mode 'Score'"):
            tavrin_rl.raw_env(reward_mode="Score")
        with pytest.raises(ValueError, match="unknown render mode 'svg'"):
            tavrin_rl.env(render_mode="svg")

    def test_pickles_by_its_arguments(self):
        env = pickle.loads(pickle.dumps(tavrin_rl.raw_env(reward_mode="rank", render_mode="ansi")))
        assert (env.reward_mode, env.render_mode) == ("rank", "ansi")


class TestRenderModes:
    def midgame(self, render_mode):
        env = tavrin_rl.raw_env(render_mode=render_mode)
        env.reset()
        rng = np.random.default_rng(3)
        for _ in range(30):
            env.step(int(rng.choice(np.flatnonzero(env.observe(env.agent_selection)["action_mask"]))))
        return env

    def test_ansi_is_what_human_prints(self, capfd):
        env = self.midgame("ansi")
        text = env.render()
        assert text == picture(env.game.to_bytes())
        human = tavrin_rl.raw_env(render_mode="human")
        human.game.__setstate__(env.game.to_bytes())
        capfd.readouterr()
        assert human.render() is None
        assert capfd.readouterr().out == text + "\n"

    def test_human_draws_every_step(self, capfd):
        env = tavrin_rl.raw_env(render_mode="human")
        env.reset()
        capfd.readouterr()
        env.step(0)
        env.step(0)  # player_1's I1 on its own corner, (0, 0) of its frame
        out = capfd.readouterr().out
        assert out.count("  |  0 |  1 |") == 2
        assert out.endswith(picture(env.game.to_bytes()) + "\n")

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
