"""The package's structure: no module imports, directly or through others, a module that imports
it back; imports point down the layers; no source file is over 400 lines; and every import path
the docs show still works."""

from __future__ import annotations

import ast
import importlib
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "src" / "tavrin_rl"

# Imports that run inside a function and close a circle, each with its reason. Every other import,
# at module level or in a function, must point down the package.
ALLOWED_LAZY: dict[tuple[str, str], str] = {}


def module_names() -> dict[str, pathlib.Path]:
    names = {}
    for path in PACKAGE.rglob("*.py"):
        parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        names[".".join(parts)] = path
    return names


def imports(name: str, path: pathlib.Path, known: set[str]) -> list[tuple[str, bool]]:
    """The package modules `name` imports, each with whether the import runs lazily (in a
    function). `from P import x` names module P.x when that is a module, else P."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = []

    def visit(node: ast.AST, lazy: bool) -> None:
        for child in ast.iter_child_nodes(node):
            inner = lazy or isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda))
            if isinstance(child, ast.Import):
                found.extend((alias.name, lazy) for alias in child.names)
            elif isinstance(child, ast.ImportFrom):
                base = child.module or ""
                if child.level:
                    base = ".".join(package.split(".")[:len(package.split(".")) - child.level + 1]
                                    + ([base] if base else []))
                for alias in child.names:
                    full = f"{base}.{alias.name}"
                    found.append((full if full in known else base, lazy))
            visit(child, inner)
    visit(ast.parse(path.read_text()), False)
    return [(target, lazy) for target, lazy in found if target in known and target != name]


def test_no_module_imports_one_that_imports_it_back():
    modules = module_names()
    known = set(modules)
    edges = {name: imports(name, path, known) for name, path in modules.items()}
    graph = {name: {target for target, lazy in found
                    if not lazy or (name, target) not in ALLOWED_LAZY}
             for name, found in edges.items()}

    def reaches(start: str, goal: str) -> list[str] | None:
        seen, stack = set(), [(start, [start])]
        while stack:
            node, trail = stack.pop()
            for nxt in sorted(graph[node]):
                if nxt == goal:
                    return trail + [nxt]
                if nxt not in seen:
                    seen.add(nxt)
                    stack.append((nxt, trail + [nxt]))
        return None

    circles = {name: trail for name in modules if (trail := reaches(name, name))}
    assert not circles, "import circles: " + "; ".join(" -> ".join(t) for t in circles.values())


DOCUMENTED = ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))


def documented_paths() -> list[str]:
    """Every `tavrin_rl.x.y` the docs name, and every `from tavrin_rl.x import a, b`."""
    found = set()
    for page in DOCUMENTED:
        text = page.read_text()
        found.update(re.findall(r"\b(tavrin_rl(?:\.[A-Za-z_][A-Za-z0-9_]*)+)", text))
        for module, names in re.findall(r"from (tavrin_rl[\w.]*) import ([\w, ]+)", text):
            found.update(f"{module}.{n.strip()}" for n in names.split(",") if n.strip())
    return sorted(found)


@pytest.mark.parametrize("path", documented_paths())
def test_documented_import_paths_resolve(path):
    parts = path.split(".")
    for cut in range(len(parts), 0, -1):
        try:
            target = importlib.import_module(".".join(parts[:cut]))
        except ModuleNotFoundError as error:
            if error.name and not error.name.startswith("tavrin_rl"):
                pytest.skip(f"{path} needs {error.name}, not installed here")
            continue
        for attribute in parts[cut:]:
            target = getattr(target, attribute)
        return
    pytest.fail(f"{path} does not import")


# The package's layers, bottom first. A module may import (at module level or inside a function)
# only modules of its own layer or of layers below it. An entry names a module or a package with
# everything in it; the longest entry that matches a module decides its layer, and the root
# `tavrin_rl` matches itself only. A module that no entry names fails the test: place it here.
LAYERS: list[tuple[str, tuple[str, ...]]] = [
    ("the engine modules, the catalogue, the board and the small helpers", (
        "tavrin_rl", "tavrin_rl._atomic", "tavrin_rl._limits", "tavrin_rl._command",
        "tavrin_rl._extras", "tavrin_rl._progress", "tavrin_rl._summary", "tavrin_rl._system",
        "tavrin_rl.catalogue", "tavrin_rl.board_state", "tavrin_rl.symmetry",
        "tavrin_rl.text_board", "tavrin_rl.board")),
    # the nets need nothing of the agents: what every agent shares names the shipped net's file
    # (baseline_path) from below, and agents/net.py is the nets' former import path
    ("the nets: policy file, loader, numpy forward pass, torch net, engine bridge", (
        "tavrin_rl.nets", "tavrin_rl.agents.net", "tavrin_rl.distributions")),
    ("what every agent shares", ("tavrin_rl.agents.base",)),
    ("the agents' registry, agent strings and seat lineups", (
        "tavrin_rl.agents.config", "tavrin_rl.agents.registry", "tavrin_rl.agents.seats")),
    ("the agents", ("tavrin_rl.agents", "tavrin_rl.human")),
    ("the batched engine", ("tavrin_rl.vector",)),
    ("play and evaluation on the batched engine", (
        "tavrin_rl.play_loop", "tavrin_rl.evaluate", "tavrin_rl.agents.evaluate")),
    ("the environments and datasets", (
        "tavrin_rl.gym", "tavrin_rl.pettingzoo_env", "tavrin_rl.rllib", "tavrin_rl.rllib_module",
        "tavrin_rl.rllib_vector", "tavrin_rl.rllib_legal_module",
        "tavrin_rl.sb3", "tavrin_rl.sb3_policy", "tavrin_rl.torchrl", "tavrin_rl.data")),
    ("the arena, the replay and play pages, training", (
        "tavrin_rl.arena", "tavrin_rl.replay", "tavrin_rl.play", "tavrin_rl.train")),
    ("the command line, and the shims that keep old import paths", (
        "tavrin_rl.__main__", "tavrin_rl.policy_net", "tavrin_rl.policy_agent")),
]

# Imports that point up a layer, each with its reason (none today).
ALLOWED_UPWARD: dict[tuple[str, str], str] = {}


def layer_of(name: str) -> int | None:
    best, found = -1, None
    for index, (_, entries) in enumerate(LAYERS):
        for entry in entries:
            covers = name == entry or (entry != "tavrin_rl" and name.startswith(entry + "."))
            if covers and len(entry) > best:
                best, found = len(entry), index
    return found


def test_imports_point_down_the_layers():
    modules = module_names()
    known = set(modules)
    unplaced = sorted(name for name in modules if layer_of(name) is None)
    assert not unplaced, f"modules in no layer of LAYERS (test_layout.py): {unplaced}"
    upward = []
    for name, path in sorted(modules.items()):
        for target, lazy in sorted(set(imports(name, path, known))):
            if layer_of(target) > layer_of(name) and (name, target) not in ALLOWED_UPWARD:
                upward.append(f"{name} ({LAYERS[layer_of(name)][0]}) imports{' lazily' if lazy else ''} "
                              f"{target} ({LAYERS[layer_of(target)][0]})")
    assert not upward, "imports pointing up:\n" + "\n".join(upward)


MAX_LINES = 400
# Files under src/ that are data, not code a reader must hold in mind.
DATA_SUFFIXES = {".npz", ".so", ".pyd", ".pyc", ".png", ".svg"}


def test_no_source_file_over_400_lines():
    """A file past 400 lines holds more than one concern: split it by concern."""
    src = ROOT / "src"
    long = []
    for path in sorted(src.rglob("*")):
        if not path.is_file() or path.suffix in DATA_SUFFIXES or "__pycache__" in path.parts:
            continue
        try:
            lines = len(path.read_text(encoding="utf-8").splitlines())
        except UnicodeDecodeError:
            continue  # binary
        if lines > MAX_LINES:
            long.append(f"{path.relative_to(ROOT)}: {lines}")
    assert not long, f"files over {MAX_LINES} lines:\n" + "\n".join(long)
