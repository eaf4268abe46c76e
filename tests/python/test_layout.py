"""The package's structure: no module imports, directly or through others, a module that imports
it back, and every import path the docs show still works."""

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
