"""Makes docs/play.png: the play page at 1280x800 against three mcts:20 (seed 7), after eight of
your moves (picked at random from the legal ones, seed 0), with a piece held over the board.

    python scripts/play_picture.py [OUTPUT]

It drives headless Chromium over the DevTools protocol with the browser tests' helpers.
"""

from __future__ import annotations

import pathlib
import random
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))

from devtools import Browser  # noqa: E402
from test_play_browser import move_by_mouse, pick, shapes, wait_for_turn  # noqa: E402
from test_replay import find_chromium  # noqa: E402

from tavrin_rl.play.server import PlayServer  # noqa: E402


def main() -> int:
    output = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "docs" / "play.png")
    path = find_chromium()
    if path is None:
        print("no Chromium found: install Debian's chromium package", file=sys.stderr)
        return 1
    server = PlayServer("127.0.0.1", 0, ("human", "mcts:20", "mcts:20", "mcts:20"), seed=7,
                        pause=0.01)
    server.serve_in_thread()
    with tempfile.TemporaryDirectory() as home:
        browser = Browser(path, home)
        try:
            browser.open(server.address)
            rng, shape = random.Random(0), shapes(browser)
            for _ in range(8):
                state = wait_for_turn(browser)
                move_by_mouse(browser, shape, *pick(state, rng))
                browser.wait(f"tavrinPlay.latest.turns > {state['turns']}", 30)
            state = wait_for_turn(browser)
            kind, key = pick(state, rng)
            browser.click(*_centre(browser, f'#tray button[data-kind="{kind}"]'))
            browser.move(*_centre(browser, "#c9-9"))
            output.write_bytes(browser.screenshot())
        finally:
            browser.close()
            server.shutdown()
    print(f"wrote {output}")
    return 0


def _centre(browser: Browser, selector: str) -> tuple[float, float]:
    from test_play_browser import centre
    return centre(browser, selector)


if __name__ == "__main__":
    sys.exit(main())
