"""The engine's net against numpy's forward pass (the oracle), on positions from varied play:
nearly full boards, agents with one piece left, another width and depth; a position's logits do
not depend on its batch; net seats in VectorGames on any thread count; the binding's checks."""

import numpy as np
import pytest

from tavrin_rl import PyTavrin, _engine
from tavrin_rl.agents import Stream, make_agent
from tavrin_rl.agents.net import (Policy, baseline_path, engine_array_names, expected_shapes,
                                  position_arrays, segment_argmax)
from tavrin_rl.catalogue import NUM_KINDS
from tavrin_rl.vector import VectorGames


def positions(games, seed):
    """Board, extras and legal indexes of every other position and the last ten of seeded games of
    mixed agents (the last ones: nearly full boards, few pieces left)."""
    found = []
    lineups = [("random", "reach", "baseline", "greedy"), ("reach", "random", "random", "baseline")]
    for g in range(games):
        stream = Stream.for_game(seed, g)
        agents = [make_agent(name) for name in lineups[g % 2]]
        for agent in agents:
            agent.stream = stream
        game, seen = PyTavrin(), []
        while not game.is_over:
            seat = game.agent_selection
            if game.terminations[seat]:
                game.step(None)
                continue
            seen.append(position_arrays(game))
            game.step(agents[seat].act(None, game=game))
        found += [p for i, p in enumerate(seen) if i % 2 == 0 or i >= len(seen) - 10]
    return found


@pytest.fixture(scope="module")
def played():
    return positions(8, 21)


def random_policy(channels, layers, hidden, seed):
    rng = np.random.default_rng(seed)
    return Policy({name: rng.normal(0, 0.3 if np.prod(shape) < 1000 else 0.05, shape)
                   .astype(np.float32)
                   for name, shape in expected_shapes(channels, layers, hidden).items()}, {})


@pytest.mark.parametrize("policy", ["baseline", (24, 2, 5), (40, 3, 3)],
                         ids=["baseline", "narrow", "wide"])
def test_engine_equals_numpy(played, policy):
    if policy != "baseline":  # other nets on a third of the positions: numpy's pass is the cost
        played = played[::3]
    policy = Policy.load(baseline_path()) if policy == "baseline" else random_policy(*policy, 1)
    one_piece = 0
    boards = np.concatenate([p[0] for p in played])
    extras = np.concatenate([p[1] for p in played])
    # the mover holding only its smallest kind of those it holds: as late in a game as play gets
    for i in range(0, len(extras), 5):
        held = np.flatnonzero(extras[i, :NUM_KINDS])
        if held.size:
            extras[i, :NUM_KINDS] = 0
            extras[i, held[0]] = 1
            one_piece += 1
    legal = [np.flatnonzero(p[2]) for p in played]
    segment = np.repeat(np.arange(len(legal)), [len(x) for x in legal])
    legal = np.concatenate(legal)
    want = policy.reference_logits(boards, extras, segment, legal)
    got = policy.logits(boards, extras, segment, legal)
    np.testing.assert_allclose(got, want, rtol=1e-3, atol=1e-3)
    np.testing.assert_allclose(policy.value(boards, extras), policy.reference_value(boards, extras),
                               rtol=1e-3, atol=1e-3)
    picks, numpy_picks = (segment_argmax(x, segment, len(boards)) for x in (got, want))
    starts = np.searchsorted(segment, np.arange(len(boards)))
    for b, (mine, theirs) in enumerate(zip(picks, numpy_picks)):
        top = np.sort(want[starts[b]:starts[b + 1] if b + 1 < len(starts) else len(want)])[-2:]
        if len(top) < 2 or top[1] - top[0] > 1e-3:
            assert mine == theirs, b
    # a position's logits, to the bit, whatever its batch
    alone = np.concatenate([policy.logits(boards[b:b + 1], extras[b:b + 1],
                                          np.zeros(int((segment == b).sum()), np.int64),
                                          legal[segment == b]) for b in range(0, len(boards), 7)])
    batched = np.concatenate([got[segment == b] for b in range(0, len(boards), 7)])
    assert alone.tobytes() == batched.tobytes()
    assert len(boards) > 80 and one_piece > 16


def test_net_seats_on_any_thread_count_and_the_numpy_learner():
    """Three baseline seats and a learner that plays numpy's picks: the same games as the
    baseline seat itself playing, on one thread or three."""
    policy = Policy.load(baseline_path())
    lineup = ("baseline", "reach", "baseline", "greedy")
    finals = [VectorGames(6, threads=t, seed=2, seats=lineup, autoreset=False, observation=None,
                          mask=False).to_bytes() for t in (1, 3)]
    assert (finals[0] == finals[1]).all()
    learner = VectorGames(6, seed=2, seats=("learner", *lineup[1:]), autoreset=False,
                          observation="compact", mask=False)
    while not learner.terminated.all():
        active = np.flatnonzero(~learner.terminated)
        offsets, actions = learner.legal_grid_indexes_csr()
        from tavrin_rl.agents.net import extras_of, legal_entries
        segment, legal = legal_entries(offsets, actions, active)
        board = learner.observation[active]
        extras = extras_of(learner.pieces[active], learner.done[active])
        logits = policy.reference_logits(board, extras, segment, legal)
        step = np.zeros(6, np.int32)
        step[active] = legal[segment_argmax(logits, segment, len(active))]
        learner.step(step, games=active)
    assert (learner.to_bytes() == finals[0]).all()


def test_binding_refuses_what_it_cannot_run():
    policy = Policy.load(baseline_path())
    arrays = [np.ascontiguousarray(policy.weights[n], np.float32) for n in engine_array_names(3)]
    net = _engine.Net(16, 3, 64, arrays)
    assert net.shape == (16, 3, 64) and net.kernel() in ("portable", "avx2", "avx512")
    for args, error, text in [
            ((16, 3, 64, arrays[:-1]), ValueError, "has 16 arrays"),
            ((16, 3, 64, [*arrays[:4], arrays[4][:3], *arrays[5:]]), ValueError, "net array"),
            ((16, 3, 64, [a.astype(np.float64) for a in arrays]), ValueError, "net array"),
            ((0, 3, 64, arrays), ValueError, "channels"),
            ((16, _engine.NET_MAX_LAYERS + 1, 64, arrays), ValueError, "layers"),
            ((16, 3, _engine.NET_MAX_HIDDEN + 1, arrays), ValueError, "hidden"),
            ((_engine.NET_MAX_CHANNELS + 1, 3, 64, arrays), ValueError, "channels"),
            ((16, 3, 64, 5), TypeError, "sequence")]:
        with pytest.raises(error, match=text):
            _engine.Net(*args)
    board, extras, mask = position_arrays(PyTavrin())
    for bad, text in [((board, extras[:, :5], np.zeros(1, np.int64), np.zeros(1, np.int64)), "extras"),
                      ((board, extras, np.array([1]), np.array([0])), "segment"),
                      ((board, extras, np.array([0]), np.array([36400])), "legal"),
                      ((board, extras, np.zeros(2, np.int64), np.zeros(1, np.int64)), "one length")]:
        with pytest.raises(ValueError, match=text):
            net.evaluate(*bad, False)
    with pytest.raises(ValueError, match="to_bytes"):
        net.pick(b"short", 0, False)
    with pytest.raises(TypeError, match="_engine.Net"):
        VectorGames(1, seats=["learner", "reach", "reach", "reach"])._core.__class__(
            1, seats=bytes([0, 6, 4, 4]), settings=[None, {"net": "x"}, None, None])
    with pytest.raises(ValueError, match="without a net"):
        _engine.VectorGames(1, seats=bytes([0, 6, 4, 4]))
    with pytest.raises(ValueError, match="unknown key"):
        _engine.VectorGames(1, seats=bytes([0, 5, 4, 4]), settings=[None, {"budget": 3}, None, None])


def test_a_sampling_agent_as_a_seat_plays_as_the_agent_does():
    lineup = [make_agent("baseline", sample=True), "reach", "baseline", "random"]
    batch = VectorGames(3, seed=8, seats=lineup, autoreset=False, observation=None, mask=False)
    for g in range(3):
        stream = Stream.for_game(8, g)
        agents = [make_agent("baseline", sample=True)] + [make_agent(n) for n in lineup[1:]]
        for agent in agents:
            agent.stream = stream
        game = PyTavrin()
        while not game.is_over:
            seat = game.agent_selection
            game.step(None if game.terminations[seat] else agents[seat].act(None, game=game))
        assert game.to_bytes() == bytes(batch.to_bytes()[g])


def test_nets_as_the_environments_opponents(tmp_path):
    from tavrin_rl.gym import SingleAgentEnv, make_vec
    envs = make_vec(4, seat="random", opponents=("baseline", "reach", f"policy:{baseline_path()}"),
                    seed=0)
    envs.reset()
    for _ in range(25):  # the engine plays every opponent, nets included, inside step
        masks = envs.action_masks()
        envs.step(np.array([np.flatnonzero(m)[-1] if m.any() else 0 for m in masks]))
    assert envs.games.seats[1:] == ("baseline", "reach", f"policy:{baseline_path()}")
    single = SingleAgentEnv(opponents="baseline")
    single.reset(seed=1)
    (tmp_path / "bad.npz").write_bytes(b"not a policy")
    for env in (make_vec, lambda n, opponents: SingleAgentEnv(opponents=opponents)):
        with pytest.raises((OSError, ValueError), match="bad.npz|missing.npz"):
            env(2, opponents=f"policy:{tmp_path / 'bad.npz'}")
        with pytest.raises((OSError, ValueError), match="missing.npz"):
            env(2, opponents=f"policy:{tmp_path / 'missing.npz'}")


@pytest.mark.slow  # Ray RLlib's import alone is a few CPU seconds
def test_rllibs_module_is_the_policy_net_and_writes_a_policy_file(tmp_path):
    """What RLlib learns plays everywhere else: the module's net written as a policy file gives
    the module's own logits at the legal placements, and its values."""
    torch = pytest.importorskip("torch", reason="the RLlib module needs torch (the rllib extra)")
    pytest.importorskip("ray.rllib", reason="the RLlib module needs Ray RLlib (the rllib extra)")
    from gymnasium.spaces import Discrete
    from ray.rllib.core.columns import Columns

    from tavrin_rl.rllib import TavrinMultiAgentEnv, observation_space
    from tavrin_rl.rllib_module import MaskedGridModule
    torch.manual_seed(0)
    module = MaskedGridModule(observation_space=observation_space(),
                              action_space=Discrete(PyTavrin.num_actions),
                              model_config={"channels": 6, "layers": 2, "hidden": 8})
    with torch.no_grad():  # float16, as the file holds them: the two sides then agree closely
        for parameter in module.parameters():
            parameter.copy_(parameter.half().float())
    module.save_policy(tmp_path / "rllib.npz", note="from RLlib")
    policy = Policy.load(tmp_path / "rllib.npz")
    assert (policy.channels, policy.layers, policy.hidden) == (6, 2, 8)
    assert policy.meta["note"] == "from RLlib"
    env = TavrinMultiAgentEnv()
    seen = [next(iter(env.reset(seed=seed)[0].values())) for seed in (1, 2)]
    obs = {key: torch.from_numpy(np.stack([s[key] for s in seen])) for key in seen[0]}
    with torch.no_grad():
        out = module.forward_inference({Columns.OBS: obs})[Columns.ACTION_DIST_INPUTS].numpy()
        values = module.compute_values({Columns.OBS: obs}).numpy()
    flat = obs["observations"].numpy()
    board = flat[:, :12 * 400].reshape(-1, 12, 20, 20).astype(np.uint8)
    extras = flat[:, 12 * 400:]
    segment, legal = np.nonzero(obs["action_mask"].numpy())
    np.testing.assert_allclose(policy.reference_logits(board, extras, segment, legal),
                               out[segment, legal], rtol=1e-4, atol=1e-4)
    np.testing.assert_allclose(policy.reference_value(board, extras), values, rtol=1e-4, atol=1e-4)
    assert (out[obs["action_mask"].numpy() == 0] < -1e30).all()


def test_the_nets_room_imports_nothing_above_it():
    """Agents, seats, environments, data and the trainer take their nets from `tavrin_rl.nets`:
    the room itself leans on the engine and the small helpers alone, so no caller's import comes
    back to it."""
    import ast
    import pathlib
    below = {"tavrin_rl._engine", "tavrin_rl._tavrin", "tavrin_rl._limits", "tavrin_rl._atomic",
             "tavrin_rl._extras", "tavrin_rl.catalogue"}
    room = pathlib.Path(__file__).resolve().parents[2] / "src" / "tavrin_rl" / "nets"
    found = set()
    for path in room.glob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.module == "tavrin_rl":
                found.update(f"tavrin_rl.{alias.name}" for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and node.module:
                found.add(node.module)
            elif isinstance(node, ast.Import):
                found.update(alias.name for alias in node.names)
    ours = {name for name in found if name.split(".")[0] == "tavrin_rl"}
    assert ours and not {name for name in ours
                         if name not in below and not name.startswith("tavrin_rl.nets")}, ours
