"""Run the examples of one documentation page, in order, as a reader would.

    python docs/_ext/examples.py PAGE.md

Run in a fresh temporary directory with a store of its own (the caller sets
``CORVINA_SIMULATIONS_DIR``; ``tests/test_docs_examples.py`` does). What runs:

- ```` ```python ```` blocks, and the code of ``.. plot::`` directives, in
  one namespace for the whole page, as if typed into one session;
- the ``$`` lines of ```` ```console ```` blocks whose program is ours:
  ``corvina-sims``, ``python``, ``./dev demo``, ``./dev python`` and
  ``export VAR=VALUE``. A command must exit 0, or the status its line ends
  with (``# exit 1``). Other programs (``pip``, ``chmod``) are shown, not run.

A block right after a line ``<!-- not run: why -->`` is skipped; so is every
```` ```text ```` block. Errors name the page and the line of the block.
"""

from __future__ import annotations

import os
import re
import shlex
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

PROJECT = Path(__file__).resolve().parents[2]
NOT_RUN = re.compile(r"<!--\s*not run\b")
EXIT = re.compile(r"#\s*exit\s+(\d+)\b")
FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*(\S*)(.*)$")


@dataclass
class Block:
    kind: str  # "python" or "console"
    line: int  # the 1-based line of the block's first line of code
    text: str


def blocks(path: Path) -> list[Block]:
    """The runnable blocks of a Markdown page, in order."""
    lines = path.read_text(encoding="utf-8").splitlines()
    found: list[Block] = []
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, info = m.group(1), m.group(2), m.group(3)
        j = i + 1
        while j < len(lines) and not lines[j].strip().startswith(fence[0] * len(fence)):
            j += 1
        body = [line[len(indent):] if line.startswith(indent) else line for line in lines[i + 1 : j]]
        previous = next((lines[k] for k in range(i - 1, -1, -1) if lines[k].strip()), "")
        skipped = NOT_RUN.search(previous) is not None
        if not skipped:
            if info in ("python", "py", "{plot}"):
                found.append(_python(body, i + 2))
            elif info == "{eval-rst}":
                found.extend(_plots(body, i + 2))
            elif info == "console":
                found.append(Block("console", i + 2, "\n".join(body)))
        i = j + 1
    return found


def _python(body: list[str], first: int) -> Block:
    # MyST directive options (":context:") lead a {plot} block.
    skip = 0
    while skip < len(body) and body[skip].startswith(":"):
        skip += 1
    while skip < len(body) and not body[skip].strip():
        skip += 1
    return Block("python", first + skip, "\n".join(body[skip:]))


def _plots(body: list[str], first: int) -> list[Block]:
    """The code of each ``.. plot::`` directive in an rST block."""
    found = []
    i = 0
    while i < len(body):
        if body[i].strip().startswith(".. plot::"):
            j = i + 1
            while j < len(body) and (not body[j].strip() or body[j].startswith(" ")):
                j += 1
            code = [line for line in body[i + 1 : j]]
            k = 0
            while k < len(code) and (not code[k].strip() or code[k].strip().startswith(":")):
                k += 1
            text = "\n".join(line[3:] if line.startswith("   ") else line for line in code[k:])
            found.append(Block("python", first + i + 1 + k, text))
            i = j
        else:
            i += 1
    return found


def commands(block: Block) -> list[tuple[int, str]]:
    """The ``$`` lines of a console block, continuation lines joined."""
    out: list[tuple[int, str]] = []
    lines = block.text.splitlines()
    i = 0
    while i < len(lines):
        if lines[i].startswith("$ "):
            start, text = i, lines[i][2:]
            while text.endswith("\\") and i + 1 < len(lines):
                i += 1
                text = text[:-1] + " " + lines[i].strip()
            out.append((block.line + start, text))
        i += 1
    return out


def argv_of(words: list[str]) -> list[str] | None:
    """What runs for a command line of the docs; None for other programs."""
    python = [sys.executable]
    match words:
        case ["corvina-sims", *rest]:
            return [*python, "-m", "corvina.cli", *rest]
        case ["python" | "python3", *rest]:
            return [*python, *rest]
        case ["./dev", "python", script, *rest] if not script.startswith("-"):
            return [*python, str(PROJECT / script), *rest]
        case ["./dev", "python", *rest]:
            return [*python, *rest]
        case ["./dev", "demo", *rest]:
            return [*python, str(PROJECT / "examples" / "demo.py"), *rest]
    return None


def run_command(page: Path, line: int, text: str) -> None:
    expected = 0
    m = EXIT.search(text)
    if m:
        expected = int(m.group(1))
    words = shlex.split(text, comments=True)
    if words and words[0] == "export":
        for assignment in words[1:]:
            name, _, value = assignment.partition("=")
            os.environ[name] = value
        return
    argv = argv_of(words)
    if argv is None:
        return
    done = subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if done.returncode != expected:
        raise SystemExit(
            f"{page}:{line}: `{text}` exited {done.returncode}, not {expected}\n"
            f"--- stdout\n{done.stdout}--- stderr\n{done.stderr}"
        )


def main(argv: list[str]) -> int:
    page = Path(argv[1]).resolve()
    namespace: dict[str, object] = {"__name__": "__main__"}
    for block in blocks(page):
        if block.kind == "python":
            # Blank lines in front keep the page's line numbers in tracebacks.
            code = compile("\n" * (block.line - 1) + block.text, str(page), "exec")
            exec(code, namespace)
        else:
            for line, text in commands(block):
                run_command(page, line, text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
