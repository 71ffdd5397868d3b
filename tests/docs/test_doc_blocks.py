"""Every python and console block of README.md and docs/*.md runs on the
emulated bench as a reader would run it (doc_blocks.py says how blocks are
marked), so that no page can drift from what the code does.

Each block runs in a folder of its own that holds the repository's top-level
entries (examples/, tools/, udev/, ...) and app.py, a stand-in for the
reader's own program that pages call "app.py". python3.9, python3 and python
are the interpreter running these tests, with orvapy, orvaemu and orva
installed.
"""
from __future__ import annotations

import os
import signal
import subprocess
import sys
from pathlib import Path
from typing import Dict, List

import pytest

from doc_blocks import LIBRARY_INCLUDE, Block, pages, parse

ROOT = Path(__file__).resolve().parents[2]
# A block that takes longer has hung.
BOUND_S = 150.0

APP = '''\
"""A reader's program: one echo from the robot in the air."""
import orvapy

link = orvapy.Connection("radio://0/80/2M/E7E7E7E7E7")
packet = orvapy.Packet()
packet.port = 1
packet.payload = b"app"
link.send(packet)
reply = link.recv(2000)
while reply.valid and reply.port != 1:  # the safelink handshake's reply comes first
    reply = link.recv(2000)
link.close()
print("echo", reply.payload)
raise SystemExit(0 if reply.payload == b"app" else 1)
'''


def all_blocks() -> List[Block]:
    return [block for page in pages(ROOT) for block in parse(page)]


def checked_blocks() -> List[Block]:
    return [block for block in all_blocks() if block.runs or block.compiles or block.problems]


def compile_cpp(block: Block, folder: Path) -> "subprocess.CompletedProcess[str]":
    """Compiles the block against the library's public headers, laid out as
    the installed package lays them out (include/orvalis/)."""
    headers = folder / "include" / "orvalis"
    headers.mkdir(parents=True)
    for name in set(LIBRARY_INCLUDE.findall(block.text)):
        found = [*sorted((ROOT / "include").rglob(name)), *sorted((ROOT / "src").rglob(name))]
        assert found, f"{block.name(ROOT)}: no header {name} in include/ or src/"
        for header in found[0].parent.glob("*.hpp"):
            if not (headers / header.name).exists():
                (headers / header.name).symlink_to(header)
    source = folder / "doc_block.cpp"
    source.write_text(block.program())
    return subprocess.run([os.environ.get("CXX", "c++"), "-std=c++17", "-fsyntax-only",
                           "-I", str(folder / "include"), str(source)],
                          capture_output=True, text=True, timeout=BOUND_S)


def interpreter_shims(folder: Path) -> Path:
    """python3.9, python3 and python as this interpreter, which keeps its
    virtual environment (a symbolic link would lose it)."""
    shims = folder / ".shims"
    shims.mkdir()
    for name in ("python3.9", "python3", "python"):
        shim = shims / name
        shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n')
        shim.chmod(0o755)
    return shims


def reader_folder(folder: Path) -> Dict[str, str]:
    """Fills the block's folder; returns the environment to run it in."""
    for entry in ROOT.iterdir():
        if not entry.name.startswith(".") and entry.name != "build":
            (folder / entry.name).symlink_to(entry)
    (folder / "app.py").write_text(APP)
    env = {key: value for key, value in os.environ.items() if key != "UMOCKDEV_DIR"}
    env["PATH"] = os.pathsep.join([str(interpreter_shims(folder)), os.path.dirname(sys.executable),
                                   env.get("PATH", "")])
    env["PYTHONUNBUFFERED"] = "1"
    return env


def console_script(block: Block) -> str:
    """The session as one shell script, which stops at the first command that
    ends with another status than the block expects."""
    lines = ["exec </dev/null"]
    for number, command in enumerate(block.commands(), 1):
        lines += [command, "doc_status=$?",
                  f'if [ "$doc_status" -ne {block.exit} ]; then',
                  f'  echo "doc-test: command {number} exited $doc_status, expected {block.exit}" >&2',
                  "  exit 99", "fi"]
    return "\n".join(lines) + "\n"


def run_on_bench(block: Block, folder: Path) -> "subprocess.CompletedProcess[str]":
    env = reader_folder(folder)
    if block.tag == "python":
        (folder / "doc_block.py").write_text(block.text)
        program = [sys.executable, "doc_block.py"]
    else:
        (folder / "doc_block.sh").write_text(console_script(block))
        program = ["bash", "doc_block.sh"]
    command = [sys.executable, "-m", "orvaemu", *block.bench, "--", *program]
    # A session of its own, so that a hung block is ended with all its children.
    child = subprocess.Popen(command, cwd=folder, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             start_new_session=True)
    try:
        output, _ = child.communicate(timeout=BOUND_S)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        output, _ = child.communicate()
        pytest.fail(f"{block.name(ROOT)} ran longer than {BOUND_S:.0f} s:\n{output}")
    return subprocess.CompletedProcess(command, child.returncode, output, "")


@pytest.mark.parametrize("block", checked_blocks(), ids=lambda block: block.name(ROOT))
def test_block_runs_as_documented(block: Block, tmp_path: Path) -> None:
    assert not block.problems, f"{block.name(ROOT)}: " + "; ".join(block.problems)
    if block.skip is not None:
        pytest.skip(block.skip)
    if block.compiles:
        built = compile_cpp(block, tmp_path)
        assert built.returncode == 0, f"{block.name(ROOT)}:\n{block.program()}\n{built.stderr}"
        return
    result = run_on_bench(block, tmp_path)
    expected = 0 if block.tag == "console" else block.exit
    assert result.returncode == expected, \
        f"{block.name(ROOT)} exited {result.returncode}:\n{block.text}\n--- output ---\n{result.stdout}"
