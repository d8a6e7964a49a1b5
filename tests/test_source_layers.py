"""The extension module's C++ sources: layers that only point down, no cycle between folders, bounded sizes."""

from __future__ import annotations

import pathlib
import re

import pytest

SOURCES = pathlib.Path(__file__).resolve().parents[1] / "src" / "corvina" / "core" / "simulation_storage"

# The folders, bottom first. A folder may include its own files and those of
# the folders before it, never one after it.
#   frame   handles, host calls, outcomes, function objects, file-name rules
#   codec   JSON text and SHA-256
#   query   the query language
#   local   local file system: system calls, directory memo, change feed, result index
#   remote  fsspec stores: listings, batched reads, removals
#   store   the store's functions: identity, layout, records, listing, queries
#   claims  compute-once: claims, heartbeats, waiting, sweeps
#   module  the entry point and the signature tables
LAYERS = ("frame", "codec", "query", "local", "remote", "store", "claims", "module")

_INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def _sources() -> list[pathlib.Path]:
    return sorted(p for p in SOURCES.rglob("*") if p.suffix in (".cpp", ".hpp", ".h"))


def _folder(path: pathlib.Path) -> str:
    return path.relative_to(SOURCES).parts[0]


def _includes() -> dict[str, set[tuple[str, str]]]:
    """For each folder, the (file, folder) pairs of its includes of other folders."""
    graph: dict[str, set[tuple[str, str]]] = {}
    for path in _sources():
        here = _folder(path)
        for target in _INCLUDE.findall(path.read_text()):
            if target != here:
                graph.setdefault(here, set()).add((path.name, target))
    return graph


def _cycle(edges: dict[str, set[str]]) -> list[str] | None:
    """One cycle of the directed graph, as the folders along it, or None."""
    state: dict[str, int] = {}  # 1: on the current path, 2: done
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state and (found := visit(nxt)):
                return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(edges):
        if node not in state and (found := visit(node)):
            return found
    return None


def test_every_folder_has_its_place_in_the_layers():
    folders = {_folder(p) for p in _sources() if len(p.relative_to(SOURCES).parts) > 1}
    assert folders - set(LAYERS) == set(), "a new folder needs its place in LAYERS"
    loose = [p.name for p in _sources() if len(p.relative_to(SOURCES).parts) == 1]
    assert loose == []


def test_the_include_lines_are_seen():
    # Every layer above the bottom builds on the handles of frame/: a parser
    # that saw no includes would pass the checks below for nothing.
    graph = _includes()
    for folder in LAYERS[1:]:
        assert "frame" in {target for _, target in graph.get(folder, ())}, folder


@pytest.mark.parametrize("folder", LAYERS)
def test_no_folder_includes_a_folder_above_it(folder):
    rank = LAYERS.index(folder)
    upward = sorted(
        f"{name} includes {target}/"
        for name, target in _includes().get(folder, ())
        if target not in LAYERS or LAYERS.index(target) > rank
    )
    assert upward == []


def test_no_cycle_between_folders():
    edges = {here: {target for _, target in pairs} for here, pairs in _includes().items()}
    assert _cycle(edges) is None


@pytest.mark.parametrize(
    ("edges", "found"),
    [
        ({"a": {"b"}, "b": {"c"}}, False),
        ({"a": {"b"}, "b": {"a"}}, True),
        ({"a": {"b", "c"}, "c": {"d"}, "d": {"a"}}, True),
        ({"a": {"a"}}, True),
    ],
)
def test_the_cycle_check_finds_cycles(edges, found):
    assert (_cycle(edges) is not None) == found


# --- sizes -----------------------------------------------------------------------------

MAX_FILE_LINES = 450
MAX_FUNCTION_LINES = 80


def _code_only(text: str) -> str:
    """The text with comments, strings and character literals blanked (lines kept)."""
    pattern = re.compile(r"""//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|'(?:\\.|[^'\\\n])*'""", re.DOTALL)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), text)


_CONTROL = re.compile(r"\b(if|for|while|switch|catch)\s*\(.*\)\s*$")
_LAMBDA = re.compile(r"\[[^\]]*\]\s*(\([^)]*\))?\s*(mutable\s*)?(->\s*[\w:<>*&]+\s*)?$")
_FUNCTION_HEAD = re.compile(r"\)\s*((const|noexcept|override|final)\s*)*(->[^{;]*)?(:[^{;]*)?$")


def _functions(text: str) -> list[tuple[int, int]]:
    """(first, last) line of each outermost function body, by brace matching."""
    lines = _code_only(text).split("\n")
    open_braces: list[tuple[int, bool]] = []
    found = []
    for number, line in enumerate(lines, 1):
        for column, char in enumerate(line):
            if char == "{":
                head, back = line[:column], number - 2
                while back >= 0 and len(head) < 400 and not re.search(r"[;{}]\s*$", lines[back]):
                    head, back = lines[back] + " " + head, back - 1
                head = head.strip()
                is_function = bool(_FUNCTION_HEAD.search(head)) and not _CONTROL.search(head)
                is_function = is_function and not _LAMBDA.search(head)
                open_braces.append((number, is_function and not any(f for _, f in open_braces)))
            elif char == "}" and open_braces:
                first, is_function = open_braces.pop()
                if is_function:
                    found.append((first, number))
    return found


@pytest.mark.parametrize("path", _sources(), ids=lambda p: str(p.relative_to(SOURCES)))
def test_source_sizes(path):
    text = path.read_text()
    assert len(text.splitlines()) <= MAX_FILE_LINES
    lines = text.splitlines()
    long = [f"{lines[a - 1].strip()[:60]} ({b - a + 1} lines)" for a, b in _functions(text)
            if b - a + 1 > MAX_FUNCTION_LINES]
    assert long == []


def test_the_function_finder_measures_bodies():
    text = """
int small(int a) {
    if (a) { return 1; }
    return 0;
}
// not code: int fake() {
struct S {
    void method() const {
        auto f = [&](int x) { return x; };
        const char* s = "}{";
    }
};
"""
    assert _functions(text) == [(2, 5), (8, 11)]
