"""What the package tests share: where the tree is, its version text, the bench
they run programs on, and folders outside the tree."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
VERSION = (ROOT / "VERSION").read_text().split()[0]
BENCH = ["--dongle", "EMU0", "--radio-robot", "80/2M/E7E7E7E7E7", "--usb-robot", "EMUR0"]
BENCH_FINDS = ["usb://0", "radio://*/80/2M/E7E7E7E7E7"]


def find_python(series):
    """The interpreter of a series, or None when this machine has none."""
    result = subprocess.run([str(ROOT / "scripts/find-python.sh"), series],
                            capture_output=True, text=True)
    return result.stdout.strip() or None


def outside_tree(tmp_path_factory, name):
    """A fresh folder that is not inside the source tree, so that nothing
    of the tree can stand in for what was installed."""
    folder = tmp_path_factory.mktemp(name)
    assert ROOT not in folder.resolve().parents, (
        f"{folder} is inside the source tree: run without TMPDIR pointing into it")
    return folder


def run_on_bench(command, cwd):
    """Runs a command against an emulated dongle, radio robot and cable robot,
    started by this interpreter's orvaemu launcher."""
    pytest.importorskip("orvaemu")
    env = dict(os.environ, TMPDIR=str(cwd))
    return subprocess.run([sys.executable, "-m", "orvaemu", *BENCH, "--", *command], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=180)
