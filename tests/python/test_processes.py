"""fork() with connections open, and a second program on a held device."""
import json
import os
import subprocess
import sys
from typing import Any

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
INHERITED = ("RuntimeError: Connection %s belongs to the parent process: a connection cannot "
             "be used after fork(); open a new one in this process.")


def run(name: str) -> Any:
    """Runs process_scenarios.NAME in a fresh process and returns its report."""
    orvaemu = pytest.importorskip("orvaemu")
    if not orvaemu.preloaded():
        pytest.skip("run pytest under LD_PRELOAD=libumockdev-preload.so.0 (make python-test)")
    env = {key: value for key, value in os.environ.items() if key != "UMOCKDEV_DIR"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [HERE, env.get("PYTHONPATH")]))
    result = subprocess.run([sys.executable, "-m", "process_scenarios", name],
                            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    reports = [line[len("RESULT "):] for line in result.stdout.splitlines()
               if line.startswith("RESULT ")]
    assert len(reports) == 1, result.stdout[-3000:]
    return json.loads(reports[0])


@pytest.mark.parametrize("how", ["os_fork", "multiprocessing_fork"])
def test_a_forked_child_starts_afresh_and_leaves_the_parent_alone(how: str) -> None:
    result = run(how)
    assert result["before"] == result["after"] == [True, True]
    assert result["sent"] == [2]  # the child's send never reached the parent's queue
    child = result["child"]
    assert child["status"] == 0
    assert child["send"] == INHERITED % "radio://0/80/2M/E7E7E7E7E7"
    assert child["recv"] == INHERITED % "usb://0"
    assert child["statistics"] == INHERITED % "radio://0/80/2M/E7E7E7E7E7"
    assert child["close"] is None
    # The parent's devices are in use; the robot plugged in later serves the child.
    assert len(child["scan"]) == 1 and child["scan"][0].startswith("usb://")
    assert child["own_echo"] is True
    assert child["held"] == ("RuntimeError: Skelder with serial EMU0 is in use by another "
                             "program (LIBUSB_ERROR_BUSY)")


def test_a_second_program_is_refused_by_name_and_the_first_loses_nothing() -> None:
    result = run("second_program")
    assert result == dict(
        while_held="Korvane with serial EMUR0 is in use by another program (LIBUSB_ERROR_BUSY)",
        lost=0, after_close="opened")
