"""The code blocks of the project's Markdown pages, as the doc runner sees them.

A fenced block tagged ``python`` is a whole script; one tagged ``console`` is a
shell session whose ``$ `` lines are commands (a command ending in a backslash
goes on over the next lines), the other lines expected output, not compared.
Both run on the default emulated bench and must exit 0. An HTML comment on
each line right above a block changes that:

    <!-- doc-test: skip (why) -->        not run; the reason is required
    <!-- doc-test: bench ARGS -->        orvaemu launcher arguments instead of the default
    <!-- doc-test: exit N -->            every command (or the script) exits N

A ``cpp`` block that includes the library's headers (``<orvalis/...>``) is
compiled, not run: statements outside a function go into a main(). Blocks
with any other tag, or none, are not run; a block tagged as a shell script
(sh, bash, shell) is refused: a command shown to users is either run or
skipped with a reason.
"""
from __future__ import annotations

import re
import shlex
from dataclasses import dataclass, field
from pathlib import Path
from typing import List, Optional, Sequence

DEFAULT_BENCH = ("--dongle", "EMU0", "--radio-robot", "80/2M/E7E7E7E7E7", "--usb-robot", "EMUR0")
RUN_TAGS = ("python", "console")
SHELL_TAGS = ("sh", "bash", "shell", "zsh")
PROMPT = "$ "

FENCE = re.compile(r"^(?P<indent>[ \t]*)(?P<fence>`{3,}|~{3,})[ \t]*(?P<tag>[^\s`]*)")
LIBRARY_INCLUDE = re.compile(r"^#include <orvalis/(?P<header>[\w.]+)>", re.MULTILINE)
DIRECTIVE = re.compile(r"^\s*<!--\s*doc-test:\s*(?P<body>.*?)\s*-->\s*$")


class BlockError(ValueError):
    """A page marks a block in a way the runner cannot follow."""


@dataclass
class Block:
    page: Path
    line: int  # of the opening fence, from 1
    tag: str
    text: str  # dedented by the fence's indentation
    skip: Optional[str] = None
    bench: Sequence[str] = DEFAULT_BENCH
    exit: int = 0
    problems: List[str] = field(default_factory=list)

    @property
    def runs(self) -> bool:
        return self.tag in RUN_TAGS

    @property
    def compiles(self) -> bool:
        return self.tag == "cpp" and LIBRARY_INCLUDE.search(self.text) is not None

    def program(self) -> str:
        """A cpp block as a translation unit: includes and using-declarations
        first, and the statements, if they are not in a function, in main()."""
        lines = self.text.splitlines()
        if re.search(r"^\s*int\s+main\s*\(", self.text, re.MULTILINE):
            return self.text
        head = [line for line in lines if line.startswith(("#", "using "))]
        body = [line for line in lines if not line.startswith(("#", "using "))]
        return "\n".join([*head, "int main() {", *body, "}"]) + "\n"

    def name(self, root: Path) -> str:
        return f"{self.page.relative_to(root)}:{self.line}"

    def commands(self) -> List[str]:
        """The commands of a console block, continuation lines joined."""
        commands: List[str] = []
        continuing = False
        for line in self.text.splitlines():
            if continuing:
                commands[-1] += "\n" + line
            elif line.startswith(PROMPT):
                commands.append(line[len(PROMPT):])
            else:
                continue
            continuing = line.endswith("\\")
        return commands


def apply(block: Block, body: str) -> None:
    word, _, rest = body.partition(" ")
    rest = rest.strip()
    if word == "skip":
        reason = re.fullmatch(r"\((.*\S.*)\)", rest)
        if reason is None:
            block.problems.append("skip needs a reason in parentheses: skip (why)")
        else:
            block.skip = reason.group(1)
    elif word == "bench":
        block.bench = tuple(shlex.split(rest))
    elif word == "exit":
        if not rest.isdigit():
            block.problems.append(f"exit needs a status, not {rest!r}")
        else:
            block.exit = int(rest)
    else:
        block.problems.append(f"unknown doc-test directive {word!r}")


def parse(page: Path) -> List[Block]:
    lines = page.read_text(encoding="utf-8").splitlines()
    blocks: List[Block] = []
    index = 0
    while index < len(lines):
        opening = FENCE.match(lines[index])
        if opening is None:
            index += 1
            continue
        indent, fence = len(opening.group("indent")), opening.group("fence")
        body: List[str] = []
        end = index + 1
        while end < len(lines) and not (lines[end].strip().startswith(fence) and
                                        lines[end].strip().strip(fence[0]) == ""):
            body.append(lines[end][indent:] if lines[end][:indent].strip() == "" else lines[end])
            end += 1
        block = Block(page, index + 1, opening.group("tag").lower(), "\n".join(body) + "\n")
        above = index - 1
        directives: List[str] = []
        while above >= 0 and DIRECTIVE.match(lines[above]):
            directives.insert(0, DIRECTIVE.match(lines[above]).group("body"))  # type: ignore[union-attr]
            above -= 1
        for directive in directives:
            apply(block, directive)
        if block.tag in SHELL_TAGS:
            block.problems.append(f"a {block.tag} block is never run: tag it console, with "
                                  f"'{PROMPT}' before each command (or text, for what is not one)")
        if block.tag == "console" and not block.commands() and block.skip is None:
            block.problems.append(f"a console block without a '{PROMPT}' command")
        blocks.append(block)
        index = end + 1
    return blocks


def pages(root: Path) -> List[Path]:
    """README.md and every page of docs/, in name order."""
    return [root / "README.md", *sorted((root / "docs").glob("*.md"))]
