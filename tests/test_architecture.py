"""The source tree keeps the dependency rules of docs/architecture.md: the
layer depends on nothing of the plug-in, the glue on the layer, each module
folder on the glue and the layer only; each module is compiled from its own
folder; eager imports between the modules go one way."""

import re

import pytest

from tests.conftest import ROOT

SOURCES = ROOT / "src"
LAYER, GLUE = "pyobj", "glue"
INCLUDE = re.compile(r'^#include "([^"]+)"', re.M)
MODULE = re.compile(r"velmora_module\((\w+)([^)]*)\)")
# `from .name import ...` run by a module's exec (package-relative, level 1).
EAGER_IMPORT = re.compile(r'import_from\(module, "(\w+)", [^;]*?, 1\)')


def folder_includes():
    """{folder: {folder it includes from}} over every C++ file under src/."""
    graph = {}
    for path in sorted(SOURCES.rglob("*.[ch]pp")):
        folder = path.parent.relative_to(SOURCES).parts[0]
        targets = graph.setdefault(folder, set())
        for include in INCLUDE.findall(path.read_text()):
            target = (path.parent / include).resolve().relative_to(SOURCES.resolve()).parts[0]
            if target != folder:
                targets.add(target)
    return graph


def cycle(graph):
    """One cycle of the graph as a list of nodes, or None."""
    state = {}

    def visit(node, path):
        state[node] = "open"
        for target in sorted(graph.get(node, ())):
            if state.get(target) == "open":
                return path[path.index(target):] + [target]
            if target not in state and (found := visit(target, path + [target])):
                return found
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state and (found := visit(node, [node])):
            return found
    return None


def modules():
    """{module: [source folders]} as CMakeLists.txt builds them."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return {name: sorted({source.split("/")[1] for source in sources.split() if source.startswith("src/")})
            for name, sources in MODULE.findall(text)}


@pytest.mark.parametrize("graph, found", [
    ({"a": {"b"}, "b": {"c"}, "c": set()}, None),
    ({"a": {"b"}, "b": {"c"}, "c": {"a"}}, ["a", "b", "c", "a"]),
    ({"a": {"b"}, "b": {"b"}}, ["b", "b"]),
])
def test_cycle_finder(graph, found):
    assert cycle(graph) == found


def test_no_include_cycle_between_folders():
    assert cycle(folder_includes()) is None


def test_each_folder_includes_only_what_it_may():
    graph = folder_includes()
    built = modules()
    assert set(built) == {"saml", "views", "logout", "replay_store", "idp_metadata", "federation", "login_policy"}
    allowed = {LAYER: set(), GLUE: {LAYER}} | {name: {GLUE, LAYER} for name in built}
    assert set(graph) <= set(allowed), "a folder that is neither the layer, the glue nor a module's"
    assert {folder: targets - allowed[folder] for folder, targets in graph.items() if targets - allowed[folder]} == {}


def test_each_module_is_compiled_from_its_own_folder():
    assert modules() == {name: [name] for name in modules()}


def test_eager_imports_between_modules_go_one_way():
    graph = {name: {target for path in (SOURCES / name).glob("*.cpp") for target in EAGER_IMPORT.findall(path.read_text())}
             for name in modules()}
    assert graph["logout"] == {"saml", "views"}  # the pattern finds what is there
    assert cycle(graph) is None
