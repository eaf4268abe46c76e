"""Who plays each seat of a `tavrin_rl.vector.VectorGames` batch, and the checks of its whole-number
options."""

from __future__ import annotations

from typing import Any

import numpy as np

from tavrin_rl.agents.base import POLICIES as POLICIES
from tavrin_rl.agents.config import NETS, SEARCH, AgentConfig, agent_config
from tavrin_rl.catalogue import NUM_SEATS

#: Who plays a seat, by code: "learner" and "external" seats are played by the caller through
#: `step`; the engine plays the others inside `step`. A "policy" seat plays a policy file's net,
#: written "policy:PATH", or "baseline" for the shipped one.
SEATS: tuple[str, ...] = ("learner", "external", *POLICIES, "mcts", "policy")
OUTSIDE_SEATS = frozenset({0, 1})
OUTSIDE_NAMES = ("learner", "external")
#: The agents the engine plays as a seat, by name.
ENGINE_AGENTS = frozenset({*POLICIES, SEARCH, *NETS})
SEARCH_SEAT = SEATS.index("mcts")
NET_SEAT = SEATS.index("policy")


def seat_codes(seats: Any) -> bytes:
    """Four seat codes from a sequence of four names (or codes), or a dict {seat: name} whose
    missing seats are learners."""
    return seat_lineup(seats)[0]


def seat_lineup(seats: Any) -> tuple[bytes, tuple[dict[str, Any], ...]]:
    """`seat_codes`, and each seat's own settings with the defaults filled in: an "mcts" seat's
    {"playouts", "rollout"} (from "mcts", "mcts:PLAYOUTS" or "mcts:PLAYOUTS:ROLLOUT"; "guide",
    its net file's real path, with :guide=NET), a net seat's {"policy": the file's real path}
    (from "policy:PATH", or "baseline"; for a `Policy` or a policy agent given as the seat,
    {"policy": its Policy, "sample": the agent's}), {} for the others. A seat may also be an
    `AgentConfig`. Seats of one kind play alike exactly when their settings are equal, so a
    batch may mix them ("mcts" and "mcts:20", two nets)."""
    codes = []
    settings: list[dict[str, Any]] = []
    for name in seat_names(seats):
        code, own = seat_of(name)
        codes.append(code)
        settings.append(own)
    return bytes(codes), tuple(settings)


def seat_configs(seats: Any) -> tuple[AgentConfig | None, ...]:
    """The `AgentConfig` of each seat the engine plays from an agent string or a config; None
    for the caller's seats and for a net given loaded."""
    return tuple(engine_config(name) for name in seat_names(seats))


def seat_labels(seats: Any, codes: bytes) -> tuple[str, ...]:
    """Each seat's name as given: an agent string stays itself ("mcts:20"), an `AgentConfig`
    becomes its text, a loaded net the name of its kind."""
    return tuple(name if isinstance(name, str) else name.text if isinstance(name, AgentConfig)
                 else SEATS[code] for name, code in zip(seat_names(seats), codes))


def engine_config(name: Any) -> AgentConfig | None:
    """The value of a seat written as an agent string (or given as an `AgentConfig`) that the
    engine plays; None for anything else. ValueError when it names an engine agent wrongly
    ("mcts:0", "policy:")."""
    if isinstance(name, AgentConfig):
        return name if name.name in ENGINE_AGENTS else None
    if not isinstance(name, str) or name.partition(":")[0] not in ENGINE_AGENTS:
        return None
    return agent_config(name)


def seat_of(name: Any) -> tuple[int, dict[str, Any]]:
    """One seat's code and settings (see `seat_lineup`)."""
    config = engine_config(name)
    if config is not None:
        return config_seat(config)
    if hasattr(name, "engine") or hasattr(getattr(name, "policy", None), "engine"):
        # a loaded net (`Policy`, most likely placement) or a policy agent (its net and
        # `sample`): played by the engine as a net seat
        own = ({"policy": name} if hasattr(name, "engine")
               else {"policy": name.policy, "sample": bool(getattr(name, "sample", False))})
        return NET_SEAT, own
    if isinstance(name, str) and name in OUTSIDE_NAMES:
        return SEATS.index(name), {}
    shown = name.text if isinstance(name, AgentConfig) else name
    raise ValueError(f"unknown seat policy {shown!r}, choose from {', '.join(SEATS)}")


def config_seat(config: AgentConfig) -> tuple[int, dict[str, Any]]:
    """The seat code and settings of an agent the engine plays."""
    own = config.settings
    if config.name == SEARCH:
        filled = {"playouts": own["playouts"], "rollout": own["rollout"]}
        if config.guide_file is not None:
            filled["guide"] = config.guide_file
        return SEARCH_SEAT, filled
    if config.name in NETS:
        return NET_SEAT, {"policy": config.net_file, **({"sample": True} if own.get("sample") else {})}
    return SEATS.index(config.name), {}


def seat_names(seats: Any) -> list[Any]:
    """The four seats' names (or codes) of a sequence or a dict {seat: name} whose missing seats
    are learners, as given."""
    if isinstance(seats, dict):
        names: list[Any] = ["learner"] * NUM_SEATS
        for seat, name in seats.items():
            if isinstance(seat, bool) or not isinstance(seat, int) or not 0 <= seat < NUM_SEATS:
                raise ValueError(f"seats keys must be seats 0 to {NUM_SEATS - 1}, got {seat!r}")
            names[seat] = name
    elif isinstance(seats, (str, AgentConfig)):
        raise TypeError(f"seats must be four seat names or a dict {{seat: name}}, got a "
                        f"{type(seats).__name__}")
    else:
        names = list(seats)
    if len(names) != NUM_SEATS:
        raise ValueError(f"seats must name {NUM_SEATS} seats, got {len(names)}")
    return names


def search_defaults(search: dict[str, Any]) -> dict[str, Any]:
    """An mcts seat's settings with the defaults filled in, checked (a guide as its file's real
    path)."""
    return config_seat(AgentConfig.of(SEARCH, **search))[1]


def net_path(name: str | AgentConfig) -> str:
    """The policy file a net seat plays ("baseline" or "policy:PATH"), as a real path."""
    config = agent_config(name)
    if config.net_file is None:
        raise ValueError(f"a policy seat names its file: policy:PATH, got {config.text!r}")
    return config.net_file


def is_engine_seat(name: Any) -> bool:
    """Whether `name` is a seat the engine plays: a policy, "mcts[:PLAYOUTS[:ROLLOUT]]",
    "baseline" or "policy:PATH", or such an `AgentConfig` (its settings checked: ValueError when
    they are wrong)."""
    return engine_config(name) is not None


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
    own = AgentConfig.of(SEARCH, **search).settings
    return own["playouts"], own["rollout"]


def uint64(value: Any, name: str) -> int:
    """`value` as an int from 0 to 2**64 - 1 (a seed or a game number)."""
    number = whole(value, name)
    if not 0 <= number < 2 ** 64:
        raise ValueError(f"{name} must be from 0 to 2**64 - 1, got {number}")
    return number
