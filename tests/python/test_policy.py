"""Trained policies without torch: the shipped baseline and policy files as agents, the batched
evaluation, and the numpy sampler."""

import numpy as np
import pytest

from tavrin_rl import PyTavrin
from tavrin_rl.__main__ import main as cli_main
from tavrin_rl.agents import make_agent
from tavrin_rl.policy_agent import baseline_path
from tavrin_rl.policy_net import Policy, evaluate, segment_sample


def test_policy_agents_play_from_the_game_or_the_observation_never_blind():
    baseline = make_agent("baseline")
    by_path = make_agent(f"policy:{baseline_path()}")
    drawn, drawn_seen = make_agent("baseline", seed=4, sample=True), make_agent("baseline", seed=4,
                                                                                 sample=True)
    game = PyTavrin()
    while not game.is_over:
        agent = game.agent_selection
        if game.terminations[agent]:
            game.step(None)
            continue
        seen = game.observe(agent)
        action = baseline.act(None, game=game)
        assert seen.action_mask[action] == 1
        assert by_path.act(None, game=game) == action  # one file, one choice
        assert baseline.act(seen) == action  # its observation shows it the same board
        # drawing from the policy: the same draws from the game or from the observation
        assert drawn.act(None, game=game) == drawn_seen.act(seen)
        assert drawn.stream.state == drawn_seen.stream.state
        game.step(action)
    assert game.ply > 40
    # a mask alone shows no board: refused, naming the calls that work
    for given in (bytes(PyTavrin.num_actions), None, {"action_mask": b""}):
        with pytest.raises(TypeError, match=r"act\(observation\)|act\(None, game=game\)"):
            baseline.act(given)
    with pytest.raises(TypeError, match=r"act\(None, game=game\)"):
        make_agent("mcts").act(game.observe(0))
    with pytest.raises(FileNotFoundError):
        make_agent("policy:/nonexistent/policy.npz")


def test_evaluation_and_the_command_line(tmp_path, capsys):
    # the engine refuses an illegal step, so finished games mean legal play throughout
    result = evaluate(baseline_path(), ["greedy"] * 3, games=40, seed=1)
    assert result.games == 40 and result.win_share > 0.4, str(result)  # greedy takes a quarter
    low, high = result.interval()
    assert low < result.win_share < high
    assert evaluate(Policy.load(baseline_path()), ["greedy"] * 3, games=40, seed=1) == result

    assert cli_main(["--agents", "baseline,random,random,random", "--games", "2", "--seed", "1",
                     "--no-progress"]) == 0
    assert "player_0  baseline" in capsys.readouterr().out
    assert cli_main(["train", "--evaluate", baseline_path(), "--opponents", "random",
                     "--eval-games", "8"]) == 0
    assert "over 8 games vs random, random, random" in capsys.readouterr().out

    not_policy = tmp_path / "other.npz"
    np.savez(not_policy, format=np.array('{"format": "something else"}'))
    with pytest.raises(ValueError, match="not a tavrin_rl policy"):
        Policy.load(not_policy)


def test_sampling_follows_each_segments_softmax():
    logits = np.log(np.array([1, 3, 6, 5, 5], dtype=np.float32))  # segments [0, 1, 2], [3, 4]
    segment = np.array([0, 0, 0, 1, 1])
    rng = np.random.default_rng(0)
    draws = np.concatenate([segment_sample(logits, segment, 2, rng.random(2))
                            for _ in range(20000)]).reshape(-1, 2)
    assert set(draws[:, 0]) == {0, 1, 2} and set(draws[:, 1]) == {3, 4}
    first = np.bincount(draws[:, 0], minlength=3) / len(draws)
    np.testing.assert_allclose(first, [0.1, 0.3, 0.6], atol=0.015)
    np.testing.assert_allclose(np.mean(draws[:, 1] == 3), 0.5, atol=0.015)
    # a draw at the very top of a segment stays in it
    assert segment_sample(logits, segment, 2, np.array([1.0, 1.0])).tolist() == [2, 4]


def _write_policy(path, arrays, meta='{"format": "tavrin_rl.policy/1"}'):
    if meta is not None:
        arrays = {**arrays, "format": np.array(meta)}
    np.savez(path, **arrays)
    return path


def _zip_field(raw, signature, offset, value):
    """`raw` with `value`'s bits set in the 2-byte field at `offset` of every zip header that
    starts with `signature`."""
    import struct
    data, at = bytearray(raw), raw.find(signature)
    while at >= 0:
        field = struct.unpack_from("<H", raw, at + offset)[0]
        data[at + offset:at + offset + 2] = struct.pack("<H", field | value)
        at = raw.find(signature, at + 1)
    return bytes(data)


def test_policy_files_that_are_not_nets_are_refused_in_one_error(tmp_path):
    """Every damaged, foreign or hostile file gives ValueError naming it, before its arrays are
    allocated; nothing else (KeyError, BadZipFile, a 7 GiB allocation) reaches the caller."""
    import json
    with np.load(baseline_path()) as data:
        good = {name: data[name] for name in data.files if name != "format"}
    policy = Policy.load(_write_policy(tmp_path / "good.npz", good))
    assert policy.channels == 16 and policy.layers == 3 and policy.hidden == 64
    assert set(policy.weights) == set(good) and policy.weights["stem.bias"].dtype == np.float32
    raw = (tmp_path / "good.npz").read_bytes()
    cases = {
        "empty": b"",
        "truncated": raw[:len(raw) // 2],
        "random": np.random.default_rng(0).bytes(4096),
        "npy": None, "no_format": None, "format_type": None, "format_json": None,
        "missing": None, "unknown": None, "shape": None, "ints": None, "channels": None,
        "nan": None, "inf": None, "fifo": None,
        # zip headers that claim what numpy never writes: zipfile raised NotImplementedError or
        # RuntimeError for them (found by fuzzing)
        "method": _zip_field(raw, b"PK\x01\x02", 10, 99),
        "encrypted": _zip_field(raw, b"PK\x01\x02", 8, 1),
        "patched": _zip_field(raw, b"PK\x01\x02", 8, 1 << 5)}
    # (the "channels" file: a few hundred kilobytes that declare 200,000 channels, refused from
    # the headers before any array of that size is asked for)
    for case in cases:
        path = tmp_path / f"{case}.npz"
        if cases[case] is not None:
            path.write_bytes(cases[case])
        elif case == "npy":
            with open(path, "wb") as f:
                np.save(f, good["stem.weight"])
        elif case == "no_format":
            _write_policy(path, good, meta=None)
        elif case == "format_type":
            _write_policy(path, {**good, "format": np.arange(3)}, meta=None)
        elif case == "format_json":
            _write_policy(path, good, meta="[1, 2]")
        elif case == "missing":
            _write_policy(path, {k: v for k, v in good.items() if k != "value_out.bias"})
        elif case == "unknown":
            _write_policy(path, {**good, "extra": good["stem.bias"]})
        elif case == "shape":
            _write_policy(path, {**good, "convs.0.weight": good["convs.0.weight"][:, :8]})
        elif case == "ints":
            _write_policy(path, {**good, "stem.bias": good["stem.bias"].astype(np.int32)})
        elif case == "channels":
            big = np.lib.stride_tricks.as_strided(np.zeros(1, np.float16),
                                                  (200_000, 14, 3, 3), (0, 0, 0, 0))
            np.savez_compressed(path, **{**good, "stem.weight": big,
                                         "format": np.array(json.dumps({"format": "tavrin_rl.policy/1"}))})
        elif case in ("nan", "inf"):
            bad = good["convs.1.weight"].copy()
            bad[0, 0, 1, 1] = np.nan if case == "nan" else np.inf
            _write_policy(path, {**good, "convs.1.weight": bad})
        elif case == "fifo":
            import os
            os.mkfifo(path)
        with pytest.raises(ValueError) as caught:
            Policy.load(path)
        message = str(caught.value)
        assert "\n" not in message and str(path) in message, (case, message)
        expected = "non-finite" if case in ("nan", "inf") else "is not a tavrin_rl policy file"
        assert expected in message, (case, message)
    assert "200000 channels" in str(pytest.raises(ValueError, Policy.load,
                                                   tmp_path / "channels.npz").value)
    with pytest.raises(ValueError, match="not a regular file"):
        Policy.load(tmp_path)
    with pytest.raises(FileNotFoundError):
        Policy.load(tmp_path / "absent.npz")
    # a net built in memory is held to the same checks
    with pytest.raises(ValueError, match="stem.bias has shape"):
        Policy({**good, "stem.bias": good["stem.bias"][:3]}, {})


def _cut_header(path):
    """A policy file whose first array's .npy header ends mid-shape (fuzzing found that numpy's
    header parser then raises tokenize.TokenError)."""
    import zipfile
    header = b"{'descr': '<f2', 'fortran_order': False, 'shape': (8,"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("stem.weight.npy", b"\x93NUMPY\x01\x00" + len(header).to_bytes(2, "little")
                         + header)
    return path


def test_an_array_header_cut_short_is_a_damaged_policy_file_in_every_api(tmp_path):
    from tavrin_rl.gym import make_vec
    from tavrin_rl.nets import load_policy
    from tavrin_rl.vector import VectorGames
    cut = _cut_header(tmp_path / "cut.npz")
    for load in (Policy.load, load_policy, lambda p: make_agent(f"policy:{p}"),
                 lambda p: make_agent(f"mcts:10:guide=policy:{p}"),
                 lambda p: VectorGames(1, seats=["learner", f"policy:{p}", "random", "random"]),
                 lambda p: make_vec(1, opponents=f"policy:{p}")):
        with pytest.raises(ValueError, match=r"cut.npz is not a tavrin_rl policy file \(.*\)$"):
            load(cut)


def test_a_missing_or_damaged_policy_file_is_one_line_in_every_command(tmp_path, capsys):
    damaged = tmp_path / "damaged.npz"
    damaged.write_bytes(open(baseline_path(), "rb").read()[:1000])
    for path in (tmp_path / "absent.npz", damaged, _cut_header(tmp_path / "cut.npz")):
        for argv in (["--agents", f"policy:{path}", "--games", "1"],
                     ["--agents", f"policy:{path}", "--out", str(tmp_path / "data")],
                     ["--agents", f"mcts:10:guide=policy:{path},random,random,random",
                      "--games", "1"],
                     ["arena", "random", f"policy:{path}"],
                     ["play", "--opponents", f"policy:{path}", "--no-browser"],
                     ["train", "--evaluate", str(path)]):
            try:
                status = cli_main(argv)
            except SystemExit as exit:
                status = exit.code
            err = capsys.readouterr().err.strip().splitlines()[-1]
            assert status == 2 and str(path) in err and "Traceback" not in err, (argv, err)
    assert not (tmp_path / "data").exists()


def test_an_evaluation_of_no_games_is_refused():
    for games in (0, -3, 2.5, True):
        with pytest.raises(ValueError, match="games must be a whole number of at least 1"):
            evaluate(baseline_path(), ["greedy"] * 3, games=games)


def test_evaluations_and_arena_workers_hold_blas_to_one_thread(monkeypatch):
    threadpoolctl = pytest.importorskip("threadpoolctl", reason="threadpoolctl is not installed")
    from tavrin_rl import arena
    from tavrin_rl.agents import evaluate as evaluation
    seen = []

    def blas_threads(*args, **kwargs):
        seen.append([pool["num_threads"] for pool in threadpoolctl.threadpool_info()
                     if pool["user_api"] == "blas"])
        return []
    monkeypatch.setattr(evaluation, "play_games", blas_threads)
    monkeypatch.setattr(arena.match, "play_game", blas_threads)
    with threadpoolctl.threadpool_limits(limits=2, user_api="blas"):
        evaluate(baseline_path(), games=4)
        arena.play_chunk(arena.Plan(("random", "greedy"), 0, ((0, 0, 1, 1),)), 0, 1)
        evaluate(baseline_path(), games=4, blas=None)  # the caller's own setting
        after = [pool["num_threads"] for pool in threadpoolctl.threadpool_info()
                 if pool["user_api"] == "blas"]
    if not after:
        pytest.skip("numpy here uses no BLAS that threadpoolctl controls")
    assert seen == [[1] * len(after), [1] * len(after), after]


def test_a_net_given_or_loaded_for_a_path_gives_way_once_its_file_changes(tmp_path):
    """One net per file, shared; but a rewritten file plays its new weights, even where a dataset
    task had been given the old ones for that path in the caller's own process."""
    import os

    from tavrin_rl.nets import load_policy, provide_policy, save_policy
    weights = Policy.load(baseline_path()).weights
    path, absent = tmp_path / "net.npz", tmp_path / "absent.npz"
    save_policy(path, weights)
    first = load_policy(path)
    assert load_policy(str(path)) is first
    given = Policy(weights, {})
    provide_policy(path, given)
    provide_policy(absent, given)  # a task's net for a file that is not here
    assert load_policy(path) is given and load_policy(absent) is given
    save_policy(path, {name: value * 0.5 for name, value in weights.items()})
    os.utime(path, ns=(0, os.stat(path).st_mtime_ns + 10**9))  # a clock's step, were it coarse
    changed = load_policy(path)
    assert changed is not given and changed is not first
    np.testing.assert_allclose(changed.weights["stem.bias"], weights["stem.bias"] * 0.5, atol=1e-3)
    assert load_policy(path) is changed
