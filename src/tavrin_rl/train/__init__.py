"""Training policy nets for the game: `python -m tavrin_rl train --help`.

Needs torch (`pip install 'tavrin_rl[train]'`); importing this package does not load it, so
`python -m tavrin_rl train --evaluate POLICY` runs without it. `tavrin_rl.train.net` holds the
net, `tavrin_rl.train.ppo` the rollouts, PPO and behaviour cloning, `tavrin_rl.train.cli` the
command. A trained policy plays without torch: `tavrin_rl.agents.policy`.
"""

from __future__ import annotations

from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """The `train` command; returns the exit status."""
    from tavrin_rl.train.cli import main as cli_main
    return cli_main(argv)
