"""The package's modules import one another in one direction only (no import circle), and
at module level: a function imports only the optional heavy dependencies."""

from __future__ import annotations

import ast
from pathlib import Path

import corvane

PACKAGE = Path(corvane.__file__).parent
LAZY = {"matplotlib", "dask", "distributed", "h5py", "tqdm"}


def _imports(tree: ast.AST) -> list[tuple[ast.AST, str]]:
    """(node, module) of every import in tree; `from corvane import x` names corvane.x."""
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found += [(node, a.name) for a in node.names]
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            found.append((node, node.module))
            if node.module == "corvane":
                found += [(node, f"corvane.{a.name}") for a in node.names]
    return found


def test_modules_form_a_dag_with_imports_at_module_level():
    graph, lazy = {}, []
    for path in PACKAGE.glob("*.py"):
        name = "corvane" if path.stem == "__init__" else f"corvane.{path.stem}"
        tree = ast.parse(path.read_text())
        graph[name] = {m for node, m in _imports(tree) if node in tree.body
                       and m.startswith("corvane.") and (PACKAGE / f"{m[8:]}.py").exists()}
        lazy += [f"{name}: {m}" for node, m in _imports(tree) if node not in tree.body
                 and m.split(".")[0] not in LAZY]
    assert lazy == []
    done, path = set(), []

    def visit(module):  # depth-first; a module met again on the current path closes a circle
        assert module not in path, " -> ".join(path[path.index(module):] + [module])
        if module not in done:
            path.append(module)
            for dependency in sorted(graph.get(module, ())):
                visit(dependency)
            done.add(path.pop())

    for module in sorted(graph):
        visit(module)
