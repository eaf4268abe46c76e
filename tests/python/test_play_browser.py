"""The play page in headless Chromium, driven over the DevTools protocol (`devtools.Browser`):
whole games against three `mcts:20` by the mouse alone and by the keyboard alone, an illegal
click refused with the engine's reason, both screen sizes, and no errors in the page's console.

The test picks each move from the legal placements the page was given, then makes it the way a
person would: the tray, the turn and flip buttons or keys, the pointer or the arrows.
"""

from __future__ import annotations

import collections
import os
import random
import time

import pytest

from tavrin_rl import PyTavrin
from tavrin_rl.board import SVG_COLOURS, SVG_FREE, cell_owners
from tavrin_rl.catalogue import describe_action, encode_action, to_frame
from tavrin_rl.human import explain
from tavrin_rl.play.server import PlayServer

from devtools import Browser
from test_replay import find_chromium, read_png

OPPONENTS = ("mcts:20",) * 3


def chromium() -> str:
    if os.environ.get("TAVRIN_SKIP_BROWSER") == "1":
        pytest.skip("the browser tests run on one interpreter of the test command")
    path = find_chromium()
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail("CI=true but no Chromium: the test command installs Debian's chromium")
        pytest.skip("no Chromium found: install Debian's chromium package to run the browser tests")
    return path


@pytest.fixture
def page(tmp_path):
    path = chromium()
    server = PlayServer("127.0.0.1", 0, ("human", *OPPONENTS), seed=5, pause=0.01)
    server.serve_in_thread()
    browser = Browser(path, str(tmp_path))
    try:
        browser.open(server.address)
        yield browser, server
        assert browser.errors == [], f"errors in the page's console: {browser.errors}"
    finally:
        browser.close()
        server.shutdown()
        server.server_close()


def wait_for_turn(browser: Browser) -> dict:
    """The page's state once the person is to move or the game is over (every turn shown)."""
    browser.wait("tavrinPlay.settled", 120)
    state = browser.js("tavrinPlay.latest")
    assert state["failure"] is None, state["failure"]
    return state


def shapes(browser: Browser) -> dict:
    return browser.js("JSON.parse(document.getElementById('play-data').textContent).shapes")


def plan(shape: dict, kind: int, key: str) -> tuple[list[str], int, tuple[int, int]]:
    """How to hold the placement `key` of `kind`: the turns and flips from the piece's first
    orientation (fewest first), the orientation and the anchor (top-left) cell."""
    cells = [divmod(int(n), 20) for n in key.split(",")]
    top, left = min(r for r, _ in cells), min(c for _, c in cells)
    wanted = sorted((r - top, c - left) for r, c in cells)
    start = shape["kinds"][kind][0]
    paths, todo = {start: []}, collections.deque([start])
    while todo:
        at = todo.popleft()
        for name, table in (("turn", shape["turn"]), ("flip", shape["flip"])):
            if table[at] not in paths:
                paths[table[at]] = paths[at] + [name]
                todo.append(table[at])
    for orientation, path in paths.items():
        if sorted(map(tuple, shape["cells"][orientation])) == wanted:
            return path, orientation, (top, left)
    raise AssertionError(f"no orientation of kind {kind} covers {key}")


def centre(browser: Browser, selector: str) -> tuple[float, float]:
    box = browser.js(f"(() => {{ const b = document.querySelector({selector!r})"
                     ".getBoundingClientRect(); return [b.left + b.width / 2, b.top + b.height / 2]; })()")
    return box[0], box[1]


def pick(state: dict, rng: random.Random, kind: int | None = None) -> tuple[int, str]:
    """A legal placement of the state: of the largest kinds, at random."""
    legal = state["legal"]
    kinds = [kind] if kind is not None else sorted(legal, key=lambda k: -legal[k][0].count(","))[:4]
    chosen = rng.choice(kinds) if kind is None else kind
    return int(chosen), rng.choice(legal[str(chosen)])


def move_by_mouse(browser: Browser, shape: dict, kind: int, key: str) -> None:
    path, orientation, (top, left) = plan(shape, kind, key)
    browser.click(*centre(browser, f'#tray button[data-kind="{kind}"]'))
    for name in path:
        browser.click(*centre(browser, f"#{name}"))
    height = 1 + max(r for r, _ in shape["cells"][orientation])
    width = 1 + max(c for _, c in shape["cells"][orientation])
    row, column = top + (height - 1) // 2, left + (width - 1) // 2
    x, y = centre(browser, f"#c{row}-{column}")
    browser.move(x, y)
    assert browser.js("document.getElementById('ghost').dataset.legal") == "yes"
    browser.click(x, y)


def move_by_keys(browser: Browser, shape: dict, kind: int, key: str) -> None:
    path, orientation, (top, left) = plan(shape, kind, key)
    for _ in range(25):
        held = browser.js("tavrinPlay.held")
        if held and held["kind"] == kind:
            break
        browser.key("]")
    for name in path:
        browser.key("r" if name == "turn" else "f")
    assert browser.js("tavrinPlay.held.orientation") == orientation
    for _ in range(60):
        at = browser.js("tavrinPlay.anchor")
        if at == [top, left]:
            break
        browser.key("ArrowDown" if at[0] < top else "ArrowUp" if at[0] > top else
                    "ArrowRight" if at[1] < left else "ArrowLeft")
    assert browser.js("document.getElementById('ghost').dataset.legal") == "yes"
    browser.key("Enter")


def play_to_end(browser: Browser, server: PlayServer, move, seed: int) -> None:
    rng = random.Random(seed)
    shape = shapes(browser)
    state = wait_for_turn(browser)
    moves = 0
    while not state["over"]:
        turns = state["turns"]
        kind, key = pick(state, rng)
        move(browser, shape, kind, key)
        browser.wait(f"tavrinPlay.latest.turns > {turns}", 30)
        moves += 1
        state = wait_for_turn(browser)
    table = server.tables.get(state["game"])
    game = PyTavrin()
    for agent, index in table.turns:  # the turns, replayed on a new game, give the same end
        assert game.agent_selection == agent
        game.step(index)
    assert game.is_over and game.scores == table.game.scores == state["scores"]
    shown = browser.js("Object.fromEntries([...document.querySelectorAll('#seats tbody tr')]"
                       ".map(r => [r.cells[1].textContent, +r.cells[3].textContent]))")
    assert shown == {f"player_{seat}": score for seat, score in enumerate(game.scores)}
    assert sum(1 for agent, index in table.turns if agent == 0 and index is not None) >= moves > 5
    assert "Game over" in browser.js("document.getElementById('status').textContent")
    # The end screen: rows in place order, the winners marked, the hand's buttons off.
    end = browser.js("""(() => ({
      order: [...document.querySelectorAll('#seats tbody tr')].map(r => +r.cells[1].textContent.slice(7)),
      winners: [...document.querySelectorAll('#seats tbody tr.winner')].map(r => +r.cells[1].textContent.slice(7)),
      off: ['turn', 'turn-back', 'flip', 'drop'].every(id => document.getElementById(id).disabled),
      banner: document.getElementById('banner').textContent}))()""")
    places = state["places"]
    assert end["order"] == sorted(range(4), key=lambda seat: (places[seat], seat))
    assert end["winners"] == [seat for seat in end["order"] if places[seat] == 1]
    assert end["off"] and end["banner"].startswith("Game over")
    log = browser.js("[...document.querySelectorAll('#log li')].map(li => li.textContent)")
    passes = [line.split(" ")[1] for line in log if "out of moves" in line]
    passers = {f"player_{agent}" for agent, index in table.turns if index is None}
    assert sorted(passes) == sorted(passers)  # a seat out of moves is shown passing once
    saved = browser.js("fetch(document.getElementById('save-state').href).then(r => r.arrayBuffer())"
                       ".then(b => Array.from(new Uint8Array(b)))")
    assert bytes(saved) == game.to_bytes()


def test_a_whole_game_by_the_mouse(page):
    browser, server = page
    play_to_end(browser, server, move_by_mouse, seed=1)


def test_a_whole_game_by_the_keyboard(page):
    browser, server = page
    state = wait_for_turn(browser)
    # The tray is reached with Tab and a piece picked with Enter, as without a mouse.
    for _ in range(40):
        browser.key("Tab")
        if browser.js("document.activeElement.dataset.kind !== undefined"):
            break
    kind = int(browser.js("document.activeElement.dataset.kind"))
    browser.key("Enter")
    assert browser.js("tavrinPlay.held.kind") == kind
    move_by_keys(browser, shapes(browser), *pick(state, random.Random(0), kind))
    browser.wait(f"tavrinPlay.latest.turns > {state['turns']}", 30)
    play_to_end(browser, server, move_by_keys, seed=2)


def test_an_illegal_click_is_refused_with_the_reason(page):
    browser, server = page
    state = wait_for_turn(browser)
    table = server.tables.get(state["game"])
    before = table.game.to_bytes()
    kind = 20  # the I5, flat from 10,8 to 10,12: away from the corner
    browser.click(*centre(browser, f'#tray button[data-kind="{kind}"]'))
    orientation = browser.js("tavrinPlay.held.orientation")
    shape = shapes(browser)
    while max(c for _, c in shape["cells"][orientation]) != 4:  # lying flat
        browser.click(*centre(browser, "#turn"))
        orientation = browser.js("tavrinPlay.held.orientation")
    x, y = centre(browser, "#c10-10")
    browser.move(x, y)
    assert browser.js("document.getElementById('ghost').dataset.legal") == "no"
    browser.click(x, y)
    browser.wait("document.getElementById('status').classList.contains('refused')", 30)
    frame = [to_frame(0, 10, c) for c in range(8, 13)]
    index = encode_action(orientation, *min(frame))
    reason = explain(PyTavrin.from_bytes(before).observe(0), index)
    assert browser.js("document.getElementById('status').textContent") == \
        f"{describe_action(index)} cannot be played: {reason}"
    assert table.game.to_bytes() == before
    assert browser.js("tavrinPlay.held") is not None  # the piece stays in hand for another try
    # A reload keeps the tab's game; another tab starts its own.
    browser.call("Page.reload")
    browser.wait(f"window.tavrinPlay && tavrinPlay.settled && tavrinPlay.game === {state['game']!r}")
    other = browser.tab(server.address)
    end = time.monotonic() + 30
    while not browser.js("window.tavrinPlay && tavrinPlay.settled", session=other):
        assert time.monotonic() < end, "the second tab did not start its game"
        time.sleep(0.05)
    assert browser.js("tavrinPlay.game", session=other) not in (None, state["game"])
    assert table.game.to_bytes() == before


@pytest.mark.parametrize("width,height", [(1280, 800), (390, 844)])
def test_layout_fits_both_sizes(page, width, height):
    browser, server = page
    browser.size(width, height, mobile=width < 500)
    state = wait_for_turn(browser)
    seen = """(() => {
      const shown = e => e.getBoundingClientRect().width > 0 && getComputedStyle(e).display !== 'none';
      const banner = document.getElementById('banner').getBoundingClientRect();
      return {banner: document.getElementById('banner').textContent, seat: document.getElementById('banner').dataset.seat,
              bannerFits: banner.top >= 0 && banner.bottom <= innerHeight && banner.right <= innerWidth,
              frame: document.getElementById('frame').getAttribute('stroke'),
              starts: [0, 1, 2, 3].map(s => shown(document.getElementById('start' + s))),
              ghost: document.getElementById('ghost').childElementCount,
              lit: document.querySelectorAll('#tray button.held').length}; })()"""
    before = browser.js(seen)
    assert before["banner"].startswith("Your turn") and before["seat"] == "0" and before["bannerFits"]
    assert before["frame"] == SVG_COLOURS[0] and before["starts"] == [True] * 4
    kind, key = pick(state, random.Random(3))
    move_by_mouse(browser, shapes(browser), kind, key)
    browser.wait("tavrinPlay.latest.turns > 0", 30)
    assert browser.js(seen)["ghost"] == browser.js(seen)["lit"] == 0  # nothing stays lit once placed
    state = wait_for_turn(browser)  # the person to move again: the game stands still
    after = browser.js(seen)
    assert after["banner"].startswith("Your turn") and after["starts"] == [False] * 4
    metrics = browser.js("""(() => {
      const right = s => Math.max(...[...document.querySelectorAll(s)].map(e => e.getBoundingClientRect().right));
      const cell = document.getElementById('c0-0').getBoundingClientRect();
      return {scroll: document.documentElement.scrollWidth, inner: innerWidth, cell: cell.width,
              board: right('#board'), tray: right('#tray button'), seats: right('#seats'),
              cells: [...Array(400).keys()].map(p => {
                const b = document.getElementById('c' + Math.floor(p / 20) + '-' + p % 20).getBoundingClientRect();
                return [b.left + b.width / 2, b.top + b.height / 2]; })};
    })()""")
    assert metrics["scroll"] <= metrics["inner"] == width
    assert metrics["cell"] >= 16
    assert max(metrics["board"], metrics["tray"], metrics["seats"]) <= width
    shot_width, _, rows = read_png(browser.screenshot())
    assert shot_width == width
    table = server.tables.get(state["game"])
    owners = cell_owners(table.game.to_bytes())
    palette = [tuple(int(c[i:i + 2], 16) for i in (1, 3, 5)) for c in (*SVG_COLOURS, SVG_FREE)]
    wrong = []
    for p, (x, y) in enumerate(metrics["cells"]):
        if y >= len(rows):
            continue  # below the fold of the small screen
        pixel = tuple(rows[int(y)][3 * int(x):3 * int(x) + 3])
        expected = palette[owners[p // 20][p % 20]]
        if max(abs(a - b) for a, b in zip(pixel, expected)) > 8:
            wrong.append((divmod(p, 20), pixel, expected))
    assert not wrong, f"{len(wrong)} cells differ from the game: {wrong[:5]}"


def test_replay_page_fits_a_phone(tmp_path):
    from tavrin_rl.replay import write_html
    from test_replay import NAMES, seeded_game
    path = chromium()
    write_html(tmp_path / "game.html", seeded_game(3)[0], NAMES)
    browser = Browser(path, str(tmp_path))
    try:
        browser.size(390, 844, mobile=True)
        browser.open((tmp_path / "game.html").as_uri())
        right = browser.js("Math.max(...[...document.querySelectorAll('#board, button, #slider, table')]"
                           ".map(e => e.getBoundingClientRect().right))")
        assert browser.js("document.documentElement.scrollWidth") <= 390 and right <= 390
        assert browser.errors == []
    finally:
        browser.close()
