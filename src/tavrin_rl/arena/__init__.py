"""`python -m tavrin_rl arena AGENT AGENT ...`: rates agents by playing them against each other.

The pool's agents sit at four-player tables on a fixed, balanced schedule. With four agents or
more, every combination of four of them is a table; with three, each agent in turn takes two
seats of the table; with two, each takes two seats, side by side and alternating. Every table
plays its four cyclic rotations in a row, so over each whole cycle of the schedule every agent
meets every other and sits in every seat equally often.

Game g of a run seeded with S gives every built-in agent at the table the stream
`Stream.for_game(S, g)`, the recipe of the self-play command and the dataset writer, and the
agents are made afresh for every game: which worker plays a game never changes it.

Ratings come from the `openskill` package (`pip install 'tavrin_rl[arena]'`): the Plackett-Luce
model on each game's ranking by score, tied scores as ties, the games taken in game-number order.
A rating is a mean `mu`, an uncertainty `sigma`, and the conservative `ordinal` mu - 3 sigma that
the table is sorted by. Copies of one agent at a table (pools of two or three) each play as a
separate player of the ranking, starting from the agent's rating; the agent's rating then takes
every copy's change: mu moves by the sum of the copies' changes and sigma's square by the product
of their factors, as if the copies' results had been observed one after the other. The copies
are interchangeable, so which of them finished ahead of the other makes no difference.
Win shares (ties split evenly), mean score and mean place count each seat an agent held as one
observation, so an agent doubled at a table counts twice in that game.

Besides the table on standard output: --out writes JSON, --svg a picture of the ratings. Ctrl-C
prints the table of the games finished so far (only those count) and exits with status 130.
"""

from __future__ import annotations

from tavrin_rl.arena.match import (COPIES, MAX_CHUNK, Plan, build_parser, main, play_arena,
                                   play_chunk, play_game, run, schedule, tables, to_json)
from tavrin_rl.arena.ratings import (GameRecord, Standing, places, report_table, standings,
                                     to_svg)

__all__ = ["COPIES", "MAX_CHUNK", "GameRecord", "Plan", "Standing", "build_parser", "main",
           "places", "play_arena", "play_chunk", "play_game", "report_table", "run", "schedule",
           "standings", "tables", "to_json", "to_svg"]
