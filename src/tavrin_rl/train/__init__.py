"""Training policy nets for the game: `python -m tavrin_rl train --help`.

Needs torch (`pip install 'tavrin_rl[train]'`); importing this package does not load it, so
`python -m tavrin_rl train --evaluate POLICY` runs without it. The net is
`tavrin_rl.nets.torch_net.PolicyNet`, `tavrin_rl.train.ppo` holds the rollouts, PPO and behaviour
cloning; the recipes are `ppo_run` (PPO) and `expert` (expert iteration, its rounds' mechanics in
`expert_round`), which keep their runs as `run_folder` says; `tavrin_rl.train.cli` reads the
command's arguments and starts one. A trained policy plays without torch:
`tavrin_rl.agents.policy`.
"""

from __future__ import annotations

from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """The `train` command; returns the exit status."""
    from tavrin_rl.train.cli import main as cli_main
    return cli_main(argv)
