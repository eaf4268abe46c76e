"""A game as one self-contained HTML page that replays it in a browser
(`python -m tavrin_rl --games 1 --html game.html`).

The page needs no network and loads nothing: the board is inline SVG, the moves are inline JSON
and a short inline script recolours the cells. It has first / previous / next / last buttons, a
slider, the move list (click a move to go there), each seat's score at the shown ply, and the
arrow, Home and End keys. The address fragment `#ply=N` opens it at ply N, follows the shown ply,
and moves the page when it is changed.
"""

from __future__ import annotations

import html
import json
import os
from collections.abc import Sequence
from importlib import resources

from tavrin_rl._atomic import write_file
from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents import pass_turns
from tavrin_rl.board import SVG_CELL, SVG_COLOURS, SVG_FREE, SVG_MARGIN, svg_grid
from tavrin_rl.catalogue import BOARD_SIDE, NUM_SEATS, describe_action, placed_cells, to_board_action
from tavrin_rl.text_board import LETTERS


def replay_data(moves: Sequence[tuple[int, int]]) -> list[dict[str, object]]:
    """Per placement (agent, grid index in that agent's frame), in order: the agent, the board
    cells it covers, its notation in the board's frame (as the page draws it, and as a person
    types moves at the terminal) and the four scores after it. The moves are replayed on a new
    game, with done agents passing, so a move list that is not a game raises the game's error."""
    game = PyTavrin()
    steps: list[dict[str, object]] = []
    for agent, index in moves:
        pass_turns(game, until=agent)
        if game.agent_selection != agent and not game.is_over:
            raise ValueError(f"player_{game.agent_selection} skipped before move "
                             f"{len(steps) + 1}")
        game.step(index)
        steps.append({
            "agent": agent,
            "cells": [list(cell) for cell in placed_cells(agent, index)],
            "move": describe_action(to_board_action(agent, index)),
            "scores": game.scores,
        })
    return steps


def html_page(moves: Sequence[tuple[int, int]], names: Sequence[str],
              title: str = "tavrin_rl game") -> str:
    """The replay page of the placements `moves` by agents called `names` (see `replay_data`)."""
    start = PyTavrin().scores  # every agent's score before its first placement
    data = {"names": list(names), "colours": list(SVG_COLOURS), "free": SVG_FREE,
            "letters": LETTERS, "cell": SVG_CELL, "margin": SVG_MARGIN, "side": BOARD_SIDE,
            "start": start, "steps": replay_data(moves)}
    empty = [[-1] * BOARD_SIDE for _ in range(BOARD_SIDE)]
    size = SVG_MARGIN + BOARD_SIDE * SVG_CELL + 10
    board = (f'<svg id="board" xmlns="http://www.w3.org/2000/svg" width="{size}" '
             f'height="{size}" viewBox="0 0 {size} {size}">' + "".join(svg_grid(empty, cell_ids=True))
             + "</svg>")
    seats = "".join(
        f'<tr><td><span class="swatch" style="background:{SVG_COLOURS[a]}"></span></td>'
        f'<td>player_{a}</td><td>{html.escape(names[a])}</td><td class="num" id="s{a}">{start[a]}</td></tr>'
        for a in range(NUM_SEATS))
    # "</" inside a script would end it early; JSON allows the escaped solidus.
    payload = json.dumps(data, separators=(",", ":")).replace("</", "<\\/")
    return _PAGE.format(title=html.escape(title), board=board, seats=seats, data=payload,
                        drawing=drawing_script())


def drawing_script() -> str:
    """The board's drawing script (`board.js`), which the replay page and the play page both
    inline: one home for how a game is drawn in a browser."""
    return (resources.files("tavrin_rl") / "board.js").read_text(encoding="utf-8")


def write_html(path: str | os.PathLike[str], moves: Sequence[tuple[int, int]],
               names: Sequence[str], title: str = "tavrin_rl game") -> None:
    """Write the replay page (`html_page`) to `path`. A regular file (or a new one) is replaced
    only once complete; a FIFO or a device (`/dev/stdout`, a pipe made by `mkfifo`) is written
    into, since renaming over it would put a regular file in its place. Symbolic links are
    followed: the file they point to is written, and the link stays."""
    write_file(path, html_page(moves, names, title))


_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<style>
body {{ margin: 0; font: 14px/1.4 system-ui, sans-serif; color: #222; background: #fff; }}
main {{ display: flex; flex-wrap: wrap; gap: 16px 24px; align-items: flex-start; padding: 16px; }}
#board {{ display: block; flex: 0 1 auto; width: 100%; max-width: 430px; height: auto; }}
#panel {{ flex: 1 1 300px; min-width: 0; max-width: 560px; }}
@media (max-width: 500px) {{ main {{ padding: 8px; }} }}
h1 {{ font-size: 16px; margin: 0 0 8px; }}
.controls {{ display: flex; flex-wrap: wrap; gap: 4px; align-items: center; margin-bottom: 8px; }}
.controls button {{ font-size: 14px; min-width: 36px; }}
#slider {{ width: 100%; margin: 4px 0 8px; }}
table {{ border-collapse: collapse; margin-bottom: 8px; }}
td {{ padding: 1px 8px 1px 0; overflow-wrap: anywhere; }}
.num {{ text-align: right; font-variant-numeric: tabular-nums; }}
.swatch {{ display: inline-block; width: 12px; height: 12px; vertical-align: middle; }}
tr.turn td {{ font-weight: bold; }}
#moves {{ position: relative; height: 260px; overflow-y: auto; margin: 0; padding-left: 40px;
          font-family: ui-monospace, monospace; font-size: 13px; border: 1px solid #ddd; }}
#moves li {{ cursor: pointer; }}
#moves li.current {{ background: #ffe9a8; }}
.note {{ color: #666; font-size: 12px; }}
</style>
</head>
<body>
<main>
{board}
<div id="panel">
<h1>{title}</h1>
<div class="controls">
<button id="first" title="first (Home)">|&#x25C0;</button>
<button id="prev" title="previous (&#x2190;)">&#x25C0;</button>
<button id="next" title="next (&#x2192;)">&#x25B6;</button>
<button id="last-move" title="last (End)">&#x25B6;|</button>
<span id="ply"></span>
</div>
<input id="slider" type="range" min="0" value="0">
<div id="current"></div>
<table><tbody>{seats}</tbody></table>
<ol id="moves"></ol>
<p class="note">Moves read PIECE:VARIANT at ROW,COLUMN on the board as drawn (row 0 at the top,
column 0 at the left), the top-left corner of the piece's box; the notation a person types at
the terminal.</p>
</div>
</main>
<script id="game-data" type="application/json">{data}</script>
<script>
{drawing}
</script>
<script>
"use strict";
const data = JSON.parse(document.getElementById("game-data").textContent);
const steps = data.steps, total = steps.length;
const slider = document.getElementById("slider"), list = document.getElementById("moves");
slider.max = total;
let shown = -1;
steps.forEach((step, i) => {{
  const item = document.createElement("li");
  item.textContent = data.letters[step.agent] + " " + data.names[step.agent] + ": " + step.move;
  item.title = "board cells " + step.cells.map(c => "(" + c[0] + "," + c[1] + ")").join(" ");
  item.addEventListener("click", () => show(i + 1));
  list.appendChild(item);
}});
function show(ply) {{
  ply = Math.max(0, Math.min(total, ply | 0));
  const side = data.side, owner = new Array(side * side).fill(-1);
  for (let i = 0; i < ply; i++)
    for (const [r, c] of steps[i].cells) owner[r * side + c] = steps[i].agent;
  TavrinBoard.paint(data, owner);
  TavrinBoard.mark(data, ply ? steps[ply - 1].cells : []);
  const scores = ply ? steps[ply - 1].scores : data.start;
  scores.forEach((score, a) => {{ document.getElementById("s" + a).textContent = score; }});
  document.querySelectorAll("tbody tr").forEach((row, a) =>
    row.classList.toggle("turn", ply > 0 && steps[ply - 1].agent === a));
  document.getElementById("ply").textContent = "ply " + ply + " / " + total;
  document.getElementById("current").textContent = ply
    ? "move " + ply + ": player_" + steps[ply - 1].agent + " " + steps[ply - 1].move
    : "the empty board";
  if (shown > 0) list.children[shown - 1].classList.remove("current");
  if (ply > 0) {{
    const item = list.children[ply - 1];
    item.classList.add("current");
    // scroll the list only, never the page
    if (item.offsetTop < list.scrollTop) list.scrollTop = item.offsetTop;
    else if (item.offsetTop + item.offsetHeight > list.scrollTop + list.clientHeight)
      list.scrollTop = item.offsetTop + item.offsetHeight - list.clientHeight;
  }}
  slider.value = ply;
  shown = ply;
  try {{  // some browsers refuse history changes on file: pages; the page works without
    if (location.hash !== "#ply=" + ply) history.replaceState(null, "", "#ply=" + ply);
  }} catch (error) {{}}
}}
document.getElementById("first").onclick = () => show(0);
document.getElementById("prev").onclick = () => show(shown - 1);
document.getElementById("next").onclick = () => show(shown + 1);
document.getElementById("last-move").onclick = () => show(total);
slider.addEventListener("input", () => show(+slider.value));
document.addEventListener("keydown", event => {{
  const step = {{ArrowLeft: -1, ArrowRight: 1}}[event.key];
  if (step && event.target !== slider) show(shown + step);
  else if (event.key === "Home") show(0);
  else if (event.key === "End") show(total);
}});
function hashPly() {{
  const found = /^#ply=(\\d+)$/.exec(location.hash);
  return found ? +found[1] : null;
}}
// A #ply= typed into the address bar, or a link to another ply of the same page, moves the board
// (replaceState in show() fires no event, so the page never chases its own changes).
window.addEventListener("hashchange", () => {{
  const ply = hashPly();
  if (ply !== null && ply !== shown) show(ply);
}});
const start = hashPly();
show(start !== null ? start : total);
</script>
</body>
</html>
"""
