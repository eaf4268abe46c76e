"""Training: the legal-entries policy head against the full grid, the numpy net against torch,
a short run learning, and a resumed run repeating a straight one. Needs torch (the `[train]`
extra); without it every test here skips, saying so."""

import csv

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
    return torch.load(folder / "checkpoint.pt", weights_only=False)["net"]


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
