"""Draw the documentation's pictures again from the current engine.

    python scripts/pictures.py                 # replay.png, board.svg, ladder.svg, play.png into docs/
    python scripts/pictures.py board replay    # some of them
    python scripts/pictures.py --runs runs     # also the curves, from training runs' folders

Each picture comes from a command and a seed stated in the docs beside it (and in PICTURES below),
so a change to the engine or the agents that changes a game shows as a changed picture in the
diff, never as a caption that no longer matches its picture. `scripts/figures.py check` verifies
the cheap ones in CI without drawing: the replay's game still ends with the recorded scores, the
ladder's order holds.

The curves come from training runs too costly to repeat here: `--runs DIR` copies
DIR/base/curve.svg (the shipped baseline's run, `scripts/figures.py show baseline-training`) to
docs/baseline_curve.svg.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"

# The game of the replay picture and of the board picture: the command's first game of seed 7,
# with its default agents.
REPLAY_SEED = 7
REPLAY_COMMAND = [sys.executable, "-m", "tavrin_rl", "--seed", str(REPLAY_SEED)]
BOARD_PLIES = 24  # the board picture stops the same game after this many placements
LADDER_COMMAND = [sys.executable, "-m", "tavrin_rl", "arena", "random", "greedy", "reach",
                  "mcts:50", "mcts:200", "--games", "400", "--seed", "2", "--no-progress"]
REPLAY_SIZE = (880, 500)  # the browser window the page is photographed in

PICTURES = {
    "replay": "docs/replay.png: the replay page at the end of `python -m tavrin_rl --seed 7 "
              "--html game.html`, photographed by headless Chromium",
    "board": "docs/board.svg: `svg(game)` after the first 24 placements of that game",
    "ladder": "docs/ladder.svg: `python -m tavrin_rl arena random greedy reach mcts:50 mcts:200 "
              "--games 400 --seed 2 --svg ladder.svg`",
    "play": "docs/play.png: the play page against three mcts:20 (seed 7) after eight moves picked "
            "at random (seed 0), by scripts/play_picture.py",
}


def find_chromium() -> str | None:
    for name in ("chromium", "chromium-browser", "google-chrome", "chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def draw_replay(out: Path) -> None:
    browser = find_chromium()
    if browser is None:
        raise SystemExit("pictures: the replay picture needs Chromium (Debian's chromium package)")
    with tempfile.TemporaryDirectory() as folder:
        page = Path(folder) / "game.html"
        subprocess.run([*REPLAY_COMMAND, "--html", str(page)], check=True, timeout=600,
                       stdout=subprocess.DEVNULL)
        shot = Path(folder) / "shot.png"
        env = {**os.environ, "HOME": folder}
        subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                        "--hide-scrollbars", "--force-device-scale-factor=1",
                        f"--window-size={REPLAY_SIZE[0]},{REPLAY_SIZE[1]}",
                        "--virtual-time-budget=5000", f"--screenshot={shot}", page.as_uri()],
                       check=True, timeout=300, capture_output=True, env=env)
        shutil.copyfile(shot, out / "replay.png")


def draw_board(out: Path) -> None:
    from tavrin_rl import PyTavrin
    from tavrin_rl.agents import Stream, make_agent, pass_turns
    from tavrin_rl.board import svg

    # The command's recipe: its built-in agents share the game's stream.
    stream = Stream.for_game(REPLAY_SEED, 0)
    agents = [make_agent(name) for name in ("greedy", "random", "reach", "random")]
    for agent in agents:
        agent.stream = stream
    game = PyTavrin()
    while game.ply < BOARD_PLIES and not game.is_over:
        pass_turns(game)
        game.step(agents[game.agent_selection].act(None, game=game))
    (out / "board.svg").write_text(svg(game), encoding="utf-8")


def draw_ladder(out: Path) -> None:
    subprocess.run([*LADDER_COMMAND, "--svg", str(out / "ladder.svg")], check=True, timeout=3600,
                   stdout=subprocess.DEVNULL)


def copy_curves(runs: Path, out: Path) -> None:
    curve = runs / "base" / "curve.svg"
    if not curve.exists():
        raise SystemExit(f"pictures: no {curve}: run the baseline's training commands first "
                         "(python scripts/figures.py show baseline-training)")
    shutil.copyfile(curve, out / "baseline_curve.svg")


def draw_play(out: Path) -> None:
    subprocess.run([sys.executable, str(ROOT / "scripts" / "play_picture.py"), str(out / "play.png")],
                   check=True, timeout=600, stdout=subprocess.DEVNULL)


DRAW = {"replay": draw_replay, "board": draw_board, "ladder": draw_ladder, "play": draw_play}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="scripts/pictures.py", description=__doc__.split("\n")[0])
    parser.add_argument("pictures", nargs="*", metavar="PICTURE",
                        help=f"some of {', '.join(DRAW)} (default: all)")
    parser.add_argument("--out", type=Path, default=DOCS, help="folder to write (default docs/)")
    parser.add_argument("--runs", type=Path, default=None,
                        help="a folder of training runs to copy the curves from")
    parser.add_argument("--list", action="store_true", help="say where each picture comes from")
    args = parser.parse_args(argv)
    if args.list:
        for name, text in PICTURES.items():
            print(f"{name:7} {text}")
        return 0
    unknown = [name for name in args.pictures if name not in DRAW]
    if unknown:
        parser.error(f"unknown picture {unknown[0]!r} (choose from {', '.join(DRAW)})")
    if not args.out.is_dir():
        parser.error(f"--out {args.out}: not a folder")
    if args.runs is not None and not args.runs.is_dir():
        parser.error(f"--runs {args.runs}: not a folder")
    for name in args.pictures or list(DRAW):
        DRAW[name](args.out)
        print(f"drew {name}")
    if args.runs is not None:
        copy_curves(args.runs, args.out)
        print("copied the baseline's curve")
    return 0


if __name__ == "__main__":
    sys.exit(main())
