"""`LegalCategorical` against torch's dense `Categorical` over the masked grid (the oracle): the
same log-probabilities, entropies, gradients and sampling frequencies; the net's legal-only output
gives the distribution of its full grid; positions without legal placements; bad inputs."""

import numpy as np
import pytest

torch = pytest.importorskip("torch", reason="the masked distributions need torch")

from tavrin_rl.catalogue import NUM_ACTIONS  # noqa: E402
from tavrin_rl.distributions import LegalCategorical  # noqa: E402
from tavrin_rl.gym import make_vec  # noqa: E402


def dense(logits, mask):
    return torch.distributions.Categorical(
        logits=logits.masked_fill(~torch.as_tensor(mask).bool(), -torch.inf))


@pytest.fixture(scope="module")
def batch():
    """Real masks of 6 games a few moves in, and random logits over the grid."""
    env = make_vec(6, seat="random", opponents="random", seed=3)
    env.reset()
    for _ in range(3):
        env.step(env.sample_legal_actions())
    mask = torch.from_numpy(env.action_masks())
    logits = torch.randn(6, NUM_ACTIONS, generator=torch.Generator().manual_seed(1)) * 2
    return logits, mask


def test_log_prob_entropy_and_gradients_equal_the_dense_masked_distribution(batch):
    logits, mask = batch
    ours_in, dense_in = logits.clone().requires_grad_(), logits.clone().requires_grad_()
    ours, reference = LegalCategorical.from_grid(ours_in, mask), dense(dense_in, mask)
    actions = reference.sample()
    torch.testing.assert_close(ours.log_prob(actions), reference.log_prob(actions))
    torch.testing.assert_close(ours.entropy(), reference.entropy())
    (ours.log_prob(actions).sum() + ours.entropy().sum()).backward()
    (reference.log_prob(actions).sum() + reference.entropy().sum()).backward()
    torch.testing.assert_close(ours_in.grad, dense_in.grad)
    assert torch.equal(ours.mode(), reference.probs.argmax(1))
    # an illegal action is impossible under both
    illegal = (~mask).int().argmax(1)
    assert torch.isneginf(ours.log_prob(illegal)).all()
    assert bool(mask[torch.arange(6), ours.sample()].all())


def test_sampling_frequencies_match_on_a_small_case():
    logits = torch.tensor([[0.0, 1.0, 2.0, 5.0], [1.0, 1.0, -1.0, 0.5]])
    grid = torch.full((2, NUM_ACTIONS), -3.0)
    grid[:, [7, 400, 9000, 36399]] = logits
    mask = torch.zeros(2, NUM_ACTIONS, dtype=torch.bool)
    mask[0, [7, 400, 9000]] = True   # 36399 has the largest logit but is not legal
    mask[1, [7, 9000, 36399]] = True
    ours = LegalCategorical.from_grid(grid, mask)
    draws = 40_000
    # the two positions' legal entries repeated `draws` times: one call draws them all
    ours = LegalCategorical(ours.logits.repeat(draws), ours.segment.repeat(draws)
                            + 2 * torch.arange(draws).repeat_interleave(len(ours.segment)),
                            ours.legal.repeat(draws), count=2 * draws)
    samples = ours.sample(torch.Generator().manual_seed(0)).reshape(draws, 2)
    expected = dense(grid, mask).probs
    for row in range(2):
        counts = torch.bincount(samples[:, row], minlength=NUM_ACTIONS).double()
        assert int(counts[~mask[row]].sum()) == 0
        frequency = counts[mask[row]] / draws
        p = expected[row][mask[row]].double()
        # five standard errors of each frequency
        assert bool(((frequency - p).abs() <= 5 * (p * (1 - p) / draws).sqrt() + 1e-9).all())


def test_the_nets_legal_output_gives_the_distribution_of_its_grid(batch):
    from tavrin_rl.nets.torch_net import PolicyNet
    _, mask = batch
    torch.manual_seed(0)
    net = PolicyNet(channels=8)
    board = torch.randint(0, 2, (6, 12, 20, 20)).float()
    extras = torch.rand(6, 88)
    segment, legal = mask.nonzero(as_tuple=True)
    logits, _ = net(board, extras, segment, legal)
    ours = LegalCategorical(logits, segment, legal, count=6)
    reference = dense(net.full_logits(board, extras), mask)
    actions = reference.sample()
    torch.testing.assert_close(ours.log_prob(actions), reference.log_prob(actions),
                               rtol=1e-4, atol=1e-4)
    torch.testing.assert_close(ours.entropy(), reference.entropy(), rtol=1e-4, atol=1e-4)


def test_positions_without_legal_placements_and_bad_inputs():
    grid = torch.randn(3, NUM_ACTIONS)
    mask = torch.zeros(3, NUM_ACTIONS, dtype=torch.bool)
    mask[1, [5, 6]] = True
    dist = LegalCategorical.from_grid(grid, mask)
    assert dist.sample()[[0, 2]].tolist() == [0, 0]
    assert dist.entropy()[[0, 2]].tolist() == [0.0, 0.0]
    assert dist.log_prob(torch.tensor([0, 5, 0]))[[0, 2]].tolist() == [0.0, 0.0]
    with pytest.raises(ValueError, match="36400"):
        LegalCategorical.from_grid(grid[:, :100], mask[:, :100])
    with pytest.raises(ValueError, match="one grid index per position"):
        dist.log_prob(torch.tensor([1, 2]))
    with pytest.raises(ValueError, match="outside"):
        LegalCategorical(torch.zeros(2), [0, 3], [1, 2], count=3)
    with pytest.raises(ValueError, match="outside"):
        LegalCategorical(torch.zeros(2), [0, 1], [1, NUM_ACTIONS], count=3)
    with pytest.raises(ValueError, match="one length"):
        LegalCategorical(torch.zeros(2), [0], [1, 2], count=3)
