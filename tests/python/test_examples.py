"""Every program in examples/ runs on the bench, started the way its
docstring tells users to start it."""
import os
import subprocess
import sys
from pathlib import Path
from typing import List

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def launch(bench: List[str], program: str, *arguments: str) -> "subprocess.CompletedProcess[str]":
    """python3.9 -m orvaemu BENCH -- python3.9 examples/PROGRAM ARGUMENTS"""
    env = {key: value for key, value in os.environ.items() if key != "UMOCKDEV_DIR"}
    return subprocess.run([sys.executable, "-m", "orvaemu", *bench, "--", sys.executable,
                           str(EXAMPLES / program), *arguments],
                          capture_output=True, text=True, timeout=240, env=env)


@pytest.mark.parametrize("bench, program, expected", [
    (["--dongle", "EMU0", "--radio-robot", "80/2M", "--usb-robot", "EMUR0"], "demo.py",
     "median round trip"),
    (["--dongle", "EMU0", "--radio-robot", "80/2M"], "receiver_thread.py",
     "20/20 packets echoed"),
    (["--dongle", "EMU0", "--radio-robot", "10/2M", "--radio-robot", "40/1M",
      "--radio-robot", "80/250K"], "many_robots.py", "radio://0/40/1M/E7E7E7E7E7: echoes [0, 1, 2, 3, 4]"),
    (["--dongle", "EMU0", "--radio-robot", "20/2M", "--radio-robot", "60/2M", "--loss", "0.3",
      "--seed", "5"], "safelink_vs_plain.py", "safelink delivered every echo exactly once"),
])
def test_example_runs_on_the_bench(bench: List[str], program: str, expected: str) -> None:
    result = launch(bench, program)
    assert result.returncode == 0, result.stdout + result.stderr
    assert expected in result.stdout

