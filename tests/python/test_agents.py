"""The engine's policies against a plain-Python reference of each rule, on positions from seeded
games: the same pick from a game, a mask and the batched engine, and one seed recipe for the
command line, the dataset writer and `VectorGames`."""

import json

import numpy as np
import pytest

from tavrin_rl import PyTavrin, _engine
from tavrin_rl.agents import POLICIES, Stream, make_agent
from tavrin_rl.catalogue import BOARD_SIDE, ORIENTATION_CELLS, ORIENTATION_KIND, PIECE_CELLS

MASK64 = 2**64 - 1


def next_draw(state):
    """splitmix64: (the value drawn, the next state)."""
    state = (state + 0x9E3779B97F4A7C15) & MASK64
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31), state


def reference_candidates(legal, policy):
    """The placements each rule picks among, ascending, from the catalogue alone."""
    if policy == "random":
        return legal
    size = lambda g: PIECE_CELLS[ORIENTATION_KIND[g // 400]]  # noqa: E731
    largest = max(size(g) for g in legal)
    top = [g for g in legal if size(g) == largest]
    if policy == "greedy":
        return top

    def reach(g):
        orientation, anchor = divmod(g, BOARD_SIDE * BOARD_SIDE)
        return sum(divmod(anchor, BOARD_SIDE)) + max(r + c for r, c in ORIENTATION_CELLS[orientation])
    best = max(reach(g) for g in top)
    return [g for g in top if reach(g) == best]


def positions(count, seed):
    """Game states from seeded random play, at every ply."""
    rng = np.random.default_rng(seed)
    game, found = PyTavrin(), []
    while len(found) < count:
        if game.is_over:
            game.reset()
        agent = game.agent_selection
        if game.terminations[agent]:
            game.step(None)
            continue
        mask = game.observe(agent).action_mask
        found.append((game.to_bytes(), mask))
        legal = np.flatnonzero(np.frombuffer(mask, np.uint8))
        game.step(int(rng.choice(legal)))
    return found


@pytest.mark.parametrize("policy", POLICIES)
def test_each_policy_is_its_rule_with_one_uniform_draw(policy):
    code = POLICIES.index(policy)
    for n, (state, mask) in enumerate(positions(300, POLICIES.index(policy))):
        legal = np.flatnonzero(np.frombuffer(mask, np.uint8)).tolist()
        candidates = reference_candidates(legal, policy)
        stream = (n * 0x2545F4914F6CDD1D) & MASK64
        value, after = next_draw(stream)
        expected = candidates[value % len(candidates)]  # ties in ascending order, drawn uniformly
        assert _engine.pick(code, state, stream) == (expected, after)
        assert _engine.pick(code, mask, stream) == (expected, after)


def test_no_placement_draws_nothing():
    assert _engine.pick(2, bytes(36400), 7) == (None, 7)
    with pytest.raises(ValueError, match="bytes"):
        _engine.pick(0, b"short", 0)
    with pytest.raises(ValueError, match="policy code"):
        _engine.pick(9, bytes(36400), 0)


def _other_net(tmp_path):
    """A policy file of another net: the baseline's weights, turned a little."""
    from tavrin_rl.agents.net import Policy, baseline_path, save_policy
    weights = Policy.load(baseline_path()).weights
    rng = np.random.default_rng(0)
    path = tmp_path / "other.npz"
    save_policy(path, {k: v * (1 + 0.3 * rng.standard_normal(v.shape)) for k, v in weights.items()})
    return str(path)


@pytest.mark.parametrize("nets", [False, True], ids=["rules", "nets"])
def test_one_seed_recipe_for_agents_datasets_and_the_batched_engine(tmp_path, nets):
    data = pytest.importorskip("tavrin_rl.data")
    pytest.importorskip("pyarrow")
    lineup, seed = ("greedy", "random", "reach", "random"), 11
    if nets:  # two nets in one batch, beside the rules
        lineup = ("baseline", "random", f"policy:{_other_net(tmp_path)}", "reach")
    # The command line's way: agents that share game g's stream.
    played = []
    for g in range(3):
        stream = Stream.for_game(seed, g)
        agents = [make_agent(name) for name in lineup]
        for agent in agents:
            agent.stream = stream
        game = PyTavrin()
        while not game.is_over:
            agent = game.agent_selection
            game.step(None if game.terminations[agent] else agents[agent].act(None, game=game))
        played.append(game.scores)
    data.write_dataset(tmp_path / "d", 3, lineup, seed=seed, workers=1)
    written = data.open(tmp_path / "d")
    assert written.games()["scores"].to_pylist() == played
    # The engine's seats, each game played out in C++, on any thread count and batch split.
    from tavrin_rl.vector import VectorGames
    batch = VectorGames(3, seats=lineup, autoreset=False, seed=seed, observation=None, mask=False)
    assert [batch.game(i).scores for i in range(3)] == played
    if nets:
        threaded = VectorGames(2, threads=2, seats=lineup, autoreset=False, seed=seed,
                               observation=None, mask=False, first_game=1)
        assert [threaded.game(i).scores for i in range(2)] == played[1:]
        manifest = json.loads((tmp_path / "d" / "manifest.json").read_text())
        files = manifest["runs"][0]["policies"]
        assert set(files) == {lineup[0], lineup[2]}
        assert all(len(entry["sha256"]) == 64 for entry in files.values())
