"""Play against the agents in a browser: `python -m tavrin_rl play`.

A small local server (the standard library's `http.server`, `server`) holds the games (`tables`)
and answers one page (`page`: the board drawn by the replay page's own script, `board.js`, with
`play.js` and `play.css`) and a small JSON protocol. The engine judges every move; the page only
asks. Only the standard library is used.
"""

from __future__ import annotations

from tavrin_rl.play.command import main

__all__ = ["main"]
