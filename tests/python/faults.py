"""Chunks that fail once, put in place of the dataset writer's work by the tests (worker
processes import this module by name: spawn hands them the test run's sys.path)."""

import functools
import os
from pathlib import Path

from tavrin_rl.data import _store
from tavrin_rl.data._write import write_chunk


def _fail_once(marker, first, how, plan, first_game, count):
    if first_game == first:
        try:
            with open(marker, "x"):
                pass
        except FileExistsError:
            pass  # failed once already: this is the retry
        else:
            half = Path(plan.root) / _store.PLIES / (
                _store.shard_name(first_game) + f"{_store.TEMP_MARK}failed-{os.getpid()}")
            half.write_bytes(b"PAR1 half a shard")
            if how == "exit":
                os._exit(1)  # as a crash would: no clean-up
            raise RuntimeError(f"the chunk of game {first_game} fails once")
    return write_chunk(plan, first_game, count)


def failing_once(marker, first, how):
    """A chunk writer whose chunk starting at `first` fails once, after leaving a half-written
    file behind: by raising ("raise") or by ending its worker at once ("exit")."""
    return functools.partial(_fail_once, str(marker), first, how)
