"""`python -m tavrin_rl`: the self-play demo."""

import sys

from tavrin_rl import PyTavrin


def main(argv: list[str] | None = None) -> int:
    game = PyTavrin()
    print(f"tavrin_rl: {PyTavrin.num_actions} grid indexes, grid shape {PyTavrin.action_grid_shape}, "
          f"{len(PyTavrin.piece_names)} piece kinds")
    del game
    return 0


if __name__ == "__main__":
    sys.exit(main())
