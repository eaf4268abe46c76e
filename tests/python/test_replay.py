"""The HTML replay page: its data against the game, and the page itself in headless Chromium.

The browser test opens the page inside a small harness page that clicks its buttons (last, then
previous and next, then the slider, then last again and a changed `#ply=`), takes a screenshot, and checks the colour of every cell
against the game's own state at that ply.
"""

import json
import os
import random
import re
import shutil
import struct
import subprocess
import zlib
from pathlib import Path

import pytest

from tavrin_rl import PyTavrin
from tavrin_rl.board import SVG_CELL, SVG_COLOURS, SVG_FREE, SVG_MARGIN, cell_owners
from tavrin_rl.catalogue import action_cells, parse_action
from tavrin_rl.replay import html_page, replay_data, write_html

NAMES = ("greedy", "random", "reach", "random")


def seeded_game(seed: int) -> tuple[list[tuple[int, int]], list[bytes]]:
    """The placements of a seeded random game and the state after each of them."""
    rng = random.Random(seed)
    game, moves, states = PyTavrin(), [], []
    while not game.is_over:
        agent = game.agent_selection
        mask = game.observe(agent).action_mask
        legal = [i for i, bit in enumerate(mask) if bit]
        action = rng.choice(legal) if legal else None
        game.step(action)
        if action is not None:
            moves.append((agent, action))
            states.append(game.to_bytes())
    return moves, states


def test_data_follows_the_game():
    moves, states = seeded_game(1)
    steps = replay_data(moves)
    assert len(steps) == len(moves)
    for step, (agent, index), state in zip(steps, moves, states):
        game = PyTavrin.from_bytes(state)
        assert step["agent"] == agent
        # the move list names the cells the page outlines: the board's frame, not the mover's
        assert sorted(action_cells(parse_action(step["move"]))) == sorted(map(tuple, step["cells"]))
        assert step["scores"] == game.scores
        owners = cell_owners(state)
        assert all(owners[r][c] == agent for r, c in step["cells"])
    with pytest.raises(ValueError, match="player_1 skipped before move 2"):
        replay_data(moves[:1] * 2)
    with pytest.raises(AssertionError, match="Invalid action"):  # away from player_1's corner
        replay_data([moves[0], (1, 5 * 20 + 5)])


def test_page_is_self_contained(tmp_path):
    moves, _ = seeded_game(2)
    text = html_page(moves, ["<b>", *NAMES[1:]], title="a & b")
    assert "<b>" not in text.split("<body>")[1].split("<script")[0]  # names escaped
    assert not re.search(r"""(src|href)\s*=\s*["']?(https?:|//)""", text)
    assert "<link" not in text and "@import" not in text
    payload = re.search(r'<script id="game-data" type="application/json">(.*?)</script>', text,
                        re.S)[1]
    assert json.loads(payload)["names"][0] == "<b>"
    path = tmp_path / "game.html"
    write_html(path, moves, NAMES)
    assert path.read_text(encoding="utf-8") == html_page(moves, NAMES)
    assert list(tmp_path.iterdir()) == [path]  # no partial file left behind


def read_png(data: bytes) -> tuple[int, int, list[bytes]]:
    """Width, height and rows of RGB(A) bytes of an 8-bit, non-interlaced PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, chunks, header = 8, [], None
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            chunks.append(body)
        position += 12 + length
    width, height, depth, colour_type, _, _, interlace = header
    assert depth == 8 and interlace == 0 and colour_type in (2, 6)
    channels = 4 if colour_type == 6 else 3
    raw = zlib.decompress(b"".join(chunks))
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - channels] if x >= channels else 0
            up = previous[x]
            corner = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                predictor = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                line[x] = (line[x] + predictor) & 255
        rows.append(bytes(line) if channels == 3 else bytes(
            b for i in range(0, stride, 4) for b in line[i:i + 3]))
        previous = line
    return width, height, rows


def find_chromium() -> str | None:
    for name in ("chromium", "chromium-browser", "google-chrome", "chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


HARNESS = """<!DOCTYPE html>
<html><body style="margin:0">
<iframe id="page" src="game.html" width="900" height="600" style="border:0;display:block"></iframe>
<script>
document.getElementById("page").addEventListener("load", () => {
  const page = document.getElementById("page").contentDocument;
  const click = id => page.getElementById(id).click();
  click("last-move");
  for (let i = 0; i < BACK; i++) click("prev");
  click("first");
  for (let i = 0; i < PLY; i++) click("next");
  click("next"); click("prev");
  const slider = page.getElementById("slider");  // the slider takes the same ply again
  slider.value = PLY;
  slider.dispatchEvent(new Event("input"));
  click("last-move");  // then a changed address fragment brings the page back to the ply
  page.defaultView.location.hash = "#ply=" + PLY;
  document.title = "ready " + page.getElementById("ply").textContent;
});
</script>
</body></html>
"""


def test_replay_page_in_chromium(tmp_path):
    browser = find_chromium()
    if browser is None:
        pytest.skip("no Chromium found: install Debian's chromium package to run the browser test")
    moves, states = seeded_game(3)
    ply = 27
    write_html(tmp_path / "game.html", moves, NAMES)
    (tmp_path / "harness.html").write_text(
        HARNESS.replace("PLY", str(ply)).replace("BACK", "5"), encoding="utf-8")
    shot = tmp_path / "shot.png"
    command = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               "--allow-file-access-from-files", "--force-device-scale-factor=1",
               "--window-size=900,600", "--virtual-time-budget=5000",
               f"--screenshot={shot}", (tmp_path / "harness.html").as_uri()]
    # The browser gets neither a sanitizer runtime preloaded into this interpreter nor its options.
    env = {key: value for key, value in os.environ.items()
           if key not in ("LD_PRELOAD", "PYTHONMALLOC") and not key.endswith("SAN_OPTIONS")}
    done = subprocess.run(command, capture_output=True, timeout=120, env={**env, "HOME": str(tmp_path)})
    if not shot.exists():
        pytest.skip(f"Chromium could not take a screenshot here: "
                    f"{done.stderr.decode(errors='replace')[-300:]}")
    width, height, rows = read_png(shot.read_bytes())
    assert (width, height) == (900, 600)
    owners = cell_owners(states[ply - 1])
    palette = [tuple(int(c[i:i + 2], 16) for i in (1, 3, 5)) for c in (*SVG_COLOURS, SVG_FREE)]
    left = top = 16 + SVG_MARGIN  # the page's padding, then the numbers' margin
    wrong = []
    for row in range(20):
        for column in range(20):
            x = left + column * SVG_CELL + SVG_CELL // 2
            y = top + row * SVG_CELL + SVG_CELL // 2
            pixel = tuple(rows[y][3 * x:3 * x + 3])
            expected = palette[owners[row][column]]  # -1 picks the free colour, last in palette
            if max(abs(a - b) for a, b in zip(pixel, expected)) > 8:
                wrong.append((row, column, pixel, expected))
    assert not wrong, f"{len(wrong)} cells differ from the state at ply {ply}: {wrong[:5]}"
    assert any(owners[r][c] == a for r in range(20) for c in range(20) for a in range(4))
    final = cell_owners(states[-1])
    assert final != owners  # the page did not simply stay on the last ply
