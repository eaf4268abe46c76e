"""Training: the legal-entries policy head against the full grid, the numpy net against torch,
a short run learning, and a resumed run repeating a straight one. Needs torch (the `[train]`
extra); without it every test here skips, saying so."""

import csv
import os
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch", reason="torch is not installed: pip install 'tavrin_rl[train]'")

from tavrin_rl.policy_net import Policy, evaluate, extras_of, legal_entries  # noqa: E402
from tavrin_rl.train import main as train_main  # noqa: E402
from tavrin_rl.train.net import PolicyNet, segment_log_softmax  # noqa: E402
from tavrin_rl.vector import VectorGames  # noqa: E402

torch.set_num_threads(1)


@pytest.fixture(scope="module")
def positions():
    """Learner positions of a few games part-way played (board, extras, mask, CSR legal)."""
    v = VectorGames(6, threads=1, seed=3, observation="compact", mask=True, autoreset=False)
    for _ in range(9):
        v.step(v.sample_actions("reach"))
    offsets, actions = v.legal_actions()
    segment, legal = legal_entries(offsets, actions, np.arange(6))
    return (v.observation.copy(), extras_of(v.pieces, v.done), v.legal_action_mask.copy(),
            segment, legal)


def test_legal_entries_equal_the_full_grid(positions):
    board, extras, mask, segment, legal = positions
    torch.manual_seed(0)
    net = PolicyNet()
    with torch.no_grad():  # random weights are too tame to show a wrong index: sharpen them
        for p in net.parameters():
            p.mul_(3)
    board_t, extras_t = torch.from_numpy(board), torch.from_numpy(extras)
    seg_t, legal_t = torch.from_numpy(segment), torch.from_numpy(legal)
    chosen = torch.from_numpy(np.searchsorted(segment, np.arange(6)) + 1)  # a legal entry each

    logits, _ = net(board_t, extras_t, seg_t, legal_t)
    logp, entropy = segment_log_softmax(logits, seg_t, 6)
    loss = logp[chosen].sum() + entropy.sum()
    grads = torch.autograd.grad(loss, list(net.parameters()), allow_unused=True)

    full = net.full_logits(board_t, extras_t)
    full_logp = torch.log_softmax(full.masked_fill(~torch.from_numpy(mask), -torch.inf), dim=1)
    p = full_logp.exp()
    full_entropy = -(p * full_logp.nan_to_num(neginf=0.0)).sum(1)
    full_loss = full_logp[seg_t[chosen], legal_t[chosen]].sum() + full_entropy.sum()
    full_grads = torch.autograd.grad(full_loss, list(net.parameters()), allow_unused=True)

    torch.testing.assert_close(logits, full[seg_t, legal_t])
    torch.testing.assert_close(logp, full_logp[seg_t, legal_t])
    torch.testing.assert_close(entropy, full_entropy)
    assert entropy.min() > 0.1 and p.sum(1).allclose(torch.ones(6))
    for (name, _), g, f in zip(net.named_parameters(), grads, full_grads):
        if f is None:  # the value head plays no part in the policy
            assert g is None, name
            continue
        torch.testing.assert_close(g, f, rtol=1e-4, atol=1e-5, msg=name)


def test_numpy_net_matches_torch(positions, tmp_path):
    board, extras, _, segment, legal = positions
    torch.manual_seed(1)
    net = PolicyNet()
    with torch.no_grad():
        logits, value = net(torch.from_numpy(board), torch.from_numpy(extras),
                            torch.from_numpy(segment), torch.from_numpy(legal))
    policy = Policy(net.weights(), {})
    np.testing.assert_allclose(policy.logits(board, extras, segment, legal), logits.numpy(),
                               rtol=1e-4, atol=1e-4)
    np.testing.assert_allclose(policy.value(board, extras), value.numpy(), rtol=1e-4, atol=1e-4)
    top = logits.numpy().copy()
    expected = [legal[segment == i][np.argmax(top[segment == i])] for i in range(6)]
    assert policy.choose(board, extras, segment, legal).tolist() == expected


def _weights(folder):
    return torch.load(folder / "checkpoint.pt", weights_only=True)["net"]


@pytest.mark.slow  # trains three times
def test_short_run_learns_and_a_resumed_run_repeats_it(tmp_path, capsys):
    # one seat plays the learner's own earlier versions: the pool is part of what resumes
    common = ["--seed", "5", "--opponents", "random,random,self", "--pool-every", "3",
              "--games", "64", "--eval-every", "0", "--cpu-minutes", "10", "--no-progress"]
    straight, halves = tmp_path / "straight", tmp_path / "halves"
    assert train_main(["--out", str(straight), "--updates", "8", *common]) == 0
    assert train_main(["--out", str(halves), "--updates", "5", *common]) == 0
    assert train_main(["--out", str(halves), "--updates", "8", "--resume", *common]) == 0
    for name, tensor in _weights(straight).items():
        assert torch.equal(tensor, _weights(halves)[name]), name
    with open(straight / "log.csv") as f:
        rows = list(csv.DictReader(f))
    assert [int(r["update"]) for r in rows] == list(range(1, 9))
    # the whole run's CPU beside the budget's: evaluations and saving are not training
    assert all(float(r["total_cpu_s"]) >= float(r["train_cpu_s"]) for r in rows)
    assert "CPU minutes in all, evaluations included" in capsys.readouterr().out
    assert (straight / "curve.svg").read_text().startswith("<svg")
    assert sorted(p.name for p in (halves / "pool").iterdir()) == ["update_3.npz", "update_6.npz"]
    # eight updates of 64 games lift the policy well above random play's quarter
    result = evaluate(straight / "policy.npz", ["random"] * 3, games=300, seed=9)
    low, _ = result.interval()
    assert low > 0.3, str(result)
    capsys.readouterr()


def test_mirrored_rollouts_play_legal_moves():
    # the engine refuses an illegal step: a wrong mirror of the chosen placement would raise
    from tavrin_rl.train import ppo
    v = VectorGames(8, threads=1, seed=0, observation="compact", mask=False, autoreset=False,
                    seats=("learner", "greedy", "greedy", "greedy"), rotate_seats=True)
    torch.manual_seed(0)
    rollout = ppo.collect(PolicyNet(), v, 0, 0, np.random.default_rng(0), 0.5, augment=True)
    assert v.terminated.all() and rollout.steps > 8 * 10
    counts = np.diff(rollout.offsets)
    assert (rollout.choice >= 0).all() and (rollout.choice < counts).all()


def test_cloning_targets_the_datasets_choices(tmp_path):
    pytest.importorskip("pyarrow", reason="datasets need pyarrow: pip install 'tavrin_rl[data]'")
    from tavrin_rl import data
    from tavrin_rl.symmetry import mirror_actions
    from tavrin_rl.train import ppo
    data.write_dataset(tmp_path / "games", games=12, agents=["reach"] * 4, seed=2, workers=1)
    batches = list(ppo.clone_batches(str(tmp_path / "games"), 0, 128, 0.5))
    batch = batches[0]
    flip = np.arange(len(batch["action"])) % 2 == 1
    _, _, segment, legal, choice = ppo.clone_inputs(batch, flip)
    assert (segment[choice] == np.arange(len(choice))).all()
    expected = np.where(flip, mirror_actions(batch["action"]), batch["action"])
    assert (legal[choice] == expected).all()
    assert ((batch["target"] >= 0) & (batch["target"] <= 1)).all()

    torch.manual_seed(0)
    net = PolicyNet()
    optimizer = torch.optim.Adam(net.parameters(), lr=1e-3)
    losses = [ppo.clone_step(net, optimizer, b, 0.5)[0] for _ in range(6) for b in batches]
    assert losses[-1] < 0.7 * losses[0]


def test_nets_as_opponents_play_in_the_engine(tmp_path, capsys):
    from tavrin_rl.agents.net import baseline_path
    from tavrin_rl.train.cli import build_parser
    parser = build_parser()
    lineup = f"baseline,policy:{baseline_path()},reach"
    assert parser.parse_args(["--opponents", lineup]).opponents == tuple(lineup.split(","))
    for bad in ("policy:/missing/policy.npz", "baseline,policy:a,b,reach", "mcts:0"):
        with pytest.raises(SystemExit):
            parser.parse_args(["--opponents", bad])
    capsys.readouterr()
    out = tmp_path / "run"
    assert train_main(["--out", str(out), "--opponents", lineup, "--games", "8", "--updates", "1",
                       "--eval-every", "0", "--no-progress"]) == 0
    assert (out / "policy.npz").exists()


# --- the command's reliability: options, files it reads and writes, Ctrl-C, divergence --------

def run_train(*args, preexec_fn=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "tavrin_rl", "train", *map(str, args)],
                          capture_output=True, text=True, timeout=300, preexec_fn=preexec_fn,
                          **kwargs)


def one_line(done, status):
    lines = done.stderr.strip().splitlines()
    assert done.returncode == status and len(lines) == 1, done.stderr
    assert "Traceback" not in done.stderr
    return lines[0]


TINY = ["--games", "16", "--eval-every", "0", "--no-progress"]


@pytest.fixture(scope="module")
def finished_run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("run") / "run"
    assert train_main(["--out", str(folder), "--updates", "1", *TINY]) == 0
    return folder


def contents(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


def test_bad_options_and_outputs_are_refused_before_anything_is_made(tmp_path, capsys):
    out = tmp_path / "new"
    for option, value in (("--cpu-minutes", "0"), ("--cpu-minutes", "-1"),
                          ("--cpu-minutes", "nan"), ("--cpu-minutes", "inf"),
                          ("--seed", "-1"), ("--seed", str(2**64)), ("--lr", "0"),
                          ("--lr", "nan"), ("--lr", "-inf"), ("--eval-against", ","),
                          ("--eval-against", "greedy,greedy"), ("--games", "9" * 400)):
        with pytest.raises(SystemExit) as exit_:
            train_main(["--out", str(out), option, value])
        err = capsys.readouterr().err
        assert exit_.value.code == 2 and f"argument {option}: " in err, (option, value, err)
    assert not out.exists()
    (tmp_path / "file").write_text("x")
    (tmp_path / "theirs").mkdir()
    (tmp_path / "theirs" / "notes.txt").write_text("keep me")
    for out, message in ((tmp_path / "file", "is not a folder"),
                         (tmp_path / "theirs", "is not empty and holds no tavrin_rl run")):
        assert train_main(["--out", str(out), *TINY]) == 2
        assert message in capsys.readouterr().err
    assert (tmp_path / "file").read_text() == "x"
    assert os.listdir(tmp_path / "theirs") == ["notes.txt"]


def test_checkpoints_load_only_data_and_damaged_ones_are_one_line(finished_run, tmp_path, capsys):
    class Hostile:  # a checkpoint that would run code when unpickled
        def __reduce__(self):
            return (open, (str(tmp_path / "ran"), "w"))
    saved = torch.load(finished_run / "checkpoint.pt", weights_only=True)
    full = (finished_run / "checkpoint.pt").read_bytes()
    cases = {"empty": b"", "truncated": full[:len(full) // 2],
             "random": np.random.default_rng(0).bytes(5000)}
    for name, payload in [*cases.items(), ("foreign", {"weights": torch.zeros(3)}),
                          ("hostile", {**saved, "state": {**saved["state"], "x": Hostile()}})]:
        folder = tmp_path / name
        shutil.copytree(finished_run, folder)
        if isinstance(payload, bytes):
            (folder / "checkpoint.pt").write_bytes(payload)
        else:
            torch.save(payload, folder / "checkpoint.pt")
        assert train_main(["--out", str(folder), "--resume", "--updates", "2", *TINY]) == 2
        assert capsys.readouterr().err == (f"tavrin_rl train: cannot resume: {folder / 'checkpoint.pt'}"
                                           " is damaged or not a tavrin_rl checkpoint\n")
    assert not (tmp_path / "ran").exists()
    # a checkpoint of an earlier version (without the counters added since) still resumes
    old = tmp_path / "old"
    shutil.copytree(finished_run, old)
    state = {k: v for k, v in saved["state"].items() if k not in ("total_cpu_s", "clone_pass_start")}
    torch.save({**saved, "state": state}, old / "checkpoint.pt")
    assert train_main(["--out", str(old), "--resume", "--updates", "2", *TINY]) == 0


@pytest.mark.slow  # kills runs mid-write
def test_run_files_are_replaced_together_or_not_at_all(finished_run, tmp_path):
    import resource
    from tavrin_rl.train import files
    folder = tmp_path / "run"
    shutil.copytree(finished_run, folder)
    before = contents(folder)

    def small_disk():  # the checkpoint (over 1 MB) no longer fits; the policy file does
        resource.setrlimit(resource.RLIMIT_FSIZE, (600_000, 600_000))
    done = run_train("--out", folder, "--resume", "--updates", "2", *TINY, preexec_fn=small_disk)
    assert one_line(done, 1) == (f"tavrin_rl train: cannot write {folder / 'checkpoint.pt'}: "
                                 f"File too large; {folder / 'checkpoint.pt'} keeps the last "
                                 "complete update")
    assert contents(folder) == before  # no temporary left, no file ahead of the others

    # Ctrl-C while the files are written waits until every one is in place
    def write(text, interrupt=False):
        def writer(f):
            if interrupt:
                os.kill(os.getpid(), signal.SIGINT)
            f.write(text)
        return writer
    paths = [tmp_path / "a", tmp_path / "b", tmp_path / "c"]
    with pytest.raises(KeyboardInterrupt):
        files.write_files([(paths[0], write(b"1")), (paths[1], write(b"2", interrupt=True)),
                          (paths[2], write(b"3"))])
    assert [p.read_bytes() for p in paths] == [b"1", b"2", b"3"]
    assert sorted(os.listdir(tmp_path)) == ["a", "b", "c", "run"]


@pytest.mark.slow  # trains until it diverges
def test_a_diverging_run_stops_and_keeps_its_last_good_checkpoint(finished_run, tmp_path):
    folder = tmp_path / "run"
    shutil.copytree(finished_run, folder)
    before = contents(folder)
    done = run_train("--out", folder, "--resume", "--updates", "6", "--lr", "1e8", *TINY)
    line = one_line(done, 1)
    assert "diverged at update 2" in line and "keeps the last good update" in line, line
    assert contents(folder) == before
    assert Policy.load(folder / "policy.npz").meta["update"] == 1


@pytest.mark.slow  # writes a dataset and clones it
def test_cloning_resumes_across_passes_and_refuses_datasets_it_cannot_use(tmp_path, monkeypatch,
                                                                           capsys):
    pytest.importorskip("pyarrow", reason="datasets need pyarrow: pip install 'tavrin_rl[data]'")
    import json

    from tavrin_rl import data
    from tavrin_rl.train import ppo, ppo_run
    games = tmp_path / "games"
    data.write_dataset(games, games=2, agents=["reach"] * 4, seed=2, workers=1)  # a pass: 1 batch
    seen, real_step = [], ppo.clone_step

    def recording_step(net, optimizer, batch, *rest):
        seen.append(batch["game"].tolist() + batch["ply"].tolist())
        if stop_at and len(seen) == stop_at:
            raise KeyboardInterrupt
        return real_step(net, optimizer, batch, *rest)
    monkeypatch.setattr(ppo, "clone_step", recording_step)
    monkeypatch.setattr(ppo_run, "CLONE_SAVE_EVERY", 5)
    common = ["--clone", str(games), "--clone-minutes", "0.02", "--cpu-minutes", "0.03",
              "--updates", "1", *TINY]
    stop_at = 0
    assert train_main(["--out", str(tmp_path / "straight"), *common]) == 0
    straight, seen[:] = list(seen), []
    stop_at = 8  # after the save at batch 5, in the dataset's 8th pass
    assert train_main(["--out", str(tmp_path / "stopped"), *common]) == 130
    resumed_from = seen[:5]
    stop_at, seen[:] = 0, []
    assert train_main(["--out", str(tmp_path / "stopped"), "--resume", *common]) == 0
    joined = resumed_from + seen
    assert len(straight) > 8 and len(joined) > 8
    assert joined[:8] == straight[:8]  # the same batches as the straight run, across passes
    capsys.readouterr()

    empty, manifest = tmp_path / "empty", tmp_path / "manifest"
    for folder in (empty, manifest):
        shutil.copytree(games, folder)
    text = json.loads((empty / "manifest.json").read_text())
    (empty / "manifest.json").write_text(json.dumps({**text, "shards": [], "games": 0}))
    (manifest / "manifest.json").write_text("{ not json")
    truncated = tmp_path / "truncated"
    shutil.copytree(games, truncated)
    shard = truncated / json.loads((truncated / "manifest.json").read_text())["shards"][0]["files"][0]
    shard.write_bytes(shard.read_bytes()[:100])
    for dataset, message in ((tmp_path / "absent", "no tavrin_rl dataset"),
                             (empty, "it holds no placements"),
                             (manifest, "is damaged or not a tavrin_rl dataset manifest"),
                             (truncated, str(shard))):
        out = tmp_path / f"out-{dataset.name}"
        done = run_train("--out", out, "--clone", dataset, *TINY)
        line = one_line(done, 2)
        assert line.startswith(f"tavrin_rl train: cannot clone {dataset}: ") and message in line, line
        assert not out.exists()


def test_evaluate_and_the_closing_evaluation_end_as_the_other_commands_do(tmp_path, monkeypatch,
                                                                          capsys):
    from tavrin_rl.agents import evaluate as evaluation
    from tavrin_rl.policy_agent import baseline_path
    closed = run_train("--evaluate", baseline_path(), "--eval-games", "4",
                       preexec_fn=lambda: os.close(1))
    assert one_line(closed, 1) == "tavrin_rl: standard output is closed"
    full = tmp_path / "full"
    try:
        os.mknod(full, 0o20666, os.makedev(1, 7))
    except PermissionError as error:
        pytest.skip(f"cannot make a device file here: {error}")
    with open(full, "w") as stdout:
        done = subprocess.run([sys.executable, "-m", "tavrin_rl", "train", "--evaluate",
                               baseline_path(), "--eval-games", "4"], stdout=stdout,
                              stderr=subprocess.PIPE, text=True, timeout=300)
    assert one_line(done, 1) == ("tavrin_rl: cannot write to standard output: No space left on "
                                 "device")

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt
    monkeypatch.setattr(evaluation, "play_games", interrupted)
    assert train_main(["--out", str(tmp_path / "run"), "--updates", "1", "--games", "16",
                       "--eval-every", "1", "--no-progress"]) == 130
    assert "interrupted before anything was saved: nothing to resume" in capsys.readouterr().out
    monkeypatch.setattr(evaluation, "evaluate", interrupted)
    assert train_main(["--evaluate", baseline_path(), "--eval-games", "4"]) == 130
    assert "interrupted" in capsys.readouterr().err
