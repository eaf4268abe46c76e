"""Who plays each seat of a `tavrin_rl.vector.VectorGames` batch, and the checks of its whole-number
options."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from tavrin_rl.agents.base import DEFAULT_PLAYOUTS, MAX_PLAYOUTS, POLICIES, baseline_path
from tavrin_rl.agents.registry import parse_agent
from tavrin_rl.catalogue import NUM_SEATS

#: Who plays a seat, by code: "learner" and "external" seats are played by the caller through
#: `step`; the engine plays the others inside `step`. A "policy" seat plays a policy file's net,
#: written "policy:PATH", or "baseline" for the shipped one.
SEATS: tuple[str, ...] = ("learner", "external", *POLICIES, "mcts", "policy")
OUTSIDE_SEATS = frozenset({0, 1})
SEARCH_SEAT = SEATS.index("mcts")
NET_SEAT = SEATS.index("policy")


def seat_codes(seats: Any) -> bytes:
    """Four seat codes from a sequence of four names (or codes), or a dict {seat: name} whose
    missing seats are learners."""
    return seat_lineup(seats)[0]


def seat_lineup(seats: Any) -> tuple[bytes, tuple[dict[str, Any], ...]]:
    """`seat_codes`, and each seat's own settings with the defaults filled in: an "mcts" seat's
    {"playouts", "rollout"} (from "mcts", "mcts:PLAYOUTS" or "mcts:PLAYOUTS:ROLLOUT"), a net
    seat's {"policy": the file's real path} (from "policy:PATH", or "baseline"; for a `Policy` or
    a policy agent given as the seat, {"policy": its Policy, "sample": the agent's}), {} for the
    others. Seats of one kind play alike exactly when their settings are equal, so a batch may
    mix them ("mcts" and "mcts:20", two nets)."""
    names = seat_names(seats)
    codes = []
    settings: list[dict[str, Any]] = []
    for name in names:
        own: dict[str, Any] = {}
        if isinstance(name, str) and (name == "mcts" or name.startswith("mcts:")):
            own = search_defaults(parse_agent(name)[1])
            name = "mcts"
        elif isinstance(name, str) and name in ("baseline", "policy") or (
                isinstance(name, str) and name.startswith("policy:")):
            own = {"policy": net_path(name)}
            name = "policy"
        elif hasattr(name, "engine") or hasattr(getattr(name, "policy", None), "engine"):
            # a loaded net (`Policy`, most likely placement) or a policy agent (its net and
            # `sample`): played by the engine as a net seat
            own = ({"policy": name} if hasattr(name, "engine")
                   else {"policy": name.policy, "sample": bool(getattr(name, "sample", False))})
            name = "policy"
        if name not in SEATS:
            raise ValueError(f"unknown seat policy {name!r}, choose from {', '.join(SEATS)}")
        codes.append(SEATS.index(name))
        settings.append(own)
    return bytes(codes), tuple(settings)


def seat_names(seats: Any) -> list[Any]:
    """The four seats' names (or codes) of a sequence or a dict {seat: name} whose missing seats
    are learners, as given."""
    if isinstance(seats, dict):
        names: list[Any] = ["learner"] * NUM_SEATS
        for seat, name in seats.items():
            if isinstance(seat, bool) or not isinstance(seat, int) or not 0 <= seat < NUM_SEATS:
                raise ValueError(f"seats keys must be seats 0 to {NUM_SEATS - 1}, got {seat!r}")
            names[seat] = name
    elif isinstance(seats, str):
        raise TypeError("seats must be four seat names or a dict {seat: name}, got a str")
    else:
        names = list(seats)
    if len(names) != NUM_SEATS:
        raise ValueError(f"seats must name {NUM_SEATS} seats, got {len(names)}")
    return names


def search_defaults(search: dict[str, Any]) -> dict[str, Any]:
    """An mcts seat's settings with the defaults filled in, checked (a guide as its file's real
    path)."""
    playouts, rollout = search_settings(search)
    filled: dict[str, Any] = {"playouts": playouts, "rollout": rollout}
    if search.get("guide") is not None:
        filled["guide"] = net_path(search["guide"])
    return filled


def net_path(name: str) -> str:
    """The policy file a net seat plays ("baseline" or "policy:PATH"), as a real path."""
    path = baseline_path() if name in ("baseline", "policy") else name.partition(":")[2]
    if not path:
        raise ValueError(f"a policy seat names its file: policy:PATH, got {name!r}")
    return os.path.realpath(path)


def is_engine_seat(name: Any) -> bool:
    """Whether `name` is a seat the engine plays: a policy, "mcts[:PLAYOUTS[:ROLLOUT]]",
    "baseline" or "policy:PATH" (its settings checked: ValueError when they are wrong)."""
    if not isinstance(name, str) or name in ("learner", "external"):
        return False
    try:
        codes, _ = seat_lineup([name] * NUM_SEATS)
    except ValueError:
        if name.partition(":")[0] in ("mcts", "policy"):
            raise
        return False
    return codes[0] not in OUTSIDE_SEATS


def engine_settings(settings: tuple[dict[str, Any], ...]) -> list[dict[str, Any] | None]:
    """`seat_lineup`'s settings as the engine's `VectorGames` and `play_out` take them: policy
    names as codes, policy files as the engine's nets (each file loaded once and checked by
    `Policy.load`)."""
    out: list[dict[str, Any] | None] = []
    for own in settings:
        if not own:
            out.append(None)
        elif "policy" in own:
            from tavrin_rl.nets.policy import load_policy
            policy = own["policy"]
            net = load_policy(policy).engine if isinstance(policy, str) else policy.engine
            out.append({"net": net, "sample": bool(own.get("sample"))})
        else:
            engine = {"playouts": own["playouts"], "rollout": POLICIES.index(own["rollout"])}
            if "guide" in own:  # the search's guide: the net of its policy file
                from tavrin_rl.nets.policy import load_policy
                engine["net"] = load_policy(own["guide"]).engine
            out.append(engine)
    return out


def whole(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    return int(value)


def search_settings(search: dict[str, Any]) -> tuple[int, str]:
    """The playouts and rollout policy of an "mcts" seat's settings, checked, with the defaults
    for those not given."""
    playouts = search.get("playouts", DEFAULT_PLAYOUTS)
    if not 1 <= playouts <= MAX_PLAYOUTS:
        raise ValueError(f"mcts playouts must be from 1 to {MAX_PLAYOUTS}, got {playouts}")
    rollout = search.get("rollout", "reach")
    if rollout not in POLICIES:
        raise ValueError(f"unknown mcts rollout {rollout!r}, choose from {', '.join(POLICIES)}")
    return playouts, rollout


def uint64(value: Any, name: str) -> int:
    """`value` as an int from 0 to 2**64 - 1 (a seed or a game number)."""
    number = whole(value, name)
    if not 0 <= number < 2 ** 64:
        raise ValueError(f"{name} must be from 0 to 2**64 - 1, got {number}")
    return number
