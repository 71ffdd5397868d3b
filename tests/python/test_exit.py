"""A program ends cleanly whatever state a daemon thread has in orvapy."""
import os
import signal
import subprocess
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Optional, Tuple

import pytest

import exit_scenarios

if TYPE_CHECKING:
    import orvaemu

PROGRAM = str(Path(__file__).resolve().parent / "exit_scenarios.py")


def start(*args: str, bench: Optional["orvaemu.Bench"] = None,
          program: str = PROGRAM) -> "subprocess.Popen[str]":
    """Runs a scenario program (exit_scenarios by default), on its own bench
    unless given one."""
    orvaemu = pytest.importorskip("orvaemu")
    if not orvaemu.preloaded():
        pytest.skip("run pytest under LD_PRELOAD=libumockdev-preload.so.0 (make python-test)")
    env = {key: value for key, value in os.environ.items() if key != "UMOCKDEV_DIR"}
    if bench is not None:
        env["UMOCKDEV_DIR"] = bench.root_dir
    if "ASAN_OPTIONS" in env:
        # These programs end with threads still inside the library, so the
        # interpreter cannot free what those threads hold (the module's own
        # function records among it): under the sanitizers, leaks at such an
        # exit are not the library's. Every other test keeps leak detection.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return subprocess.Popen([sys.executable, program, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)


def finish(process: "subprocess.Popen[str]") -> Tuple[int, str, str]:
    # Far beyond the two seconds an exit may take: a hang fails here.
    stdout, stderr = process.communicate(timeout=120)
    return process.returncode, stdout, stderr


@pytest.mark.parametrize("link", sorted(exit_scenarios.LINKS))
@pytest.mark.parametrize("state", sorted(exit_scenarios.STATES))
def test_main_thread_ends_while_a_daemon_is_inside(state: str, link: str) -> None:
    if state == "scan_selected" and link == "cable":
        pytest.skip("a cable link is not probed")
    returncode, stdout, stderr = finish(start(state, link))
    assert (returncode, stdout) == (0, "inside\n"), stderr[-3000:]


@pytest.mark.parametrize("link", ["radio", "cable"])
def test_signals_still_end_a_program(link: str) -> None:
    # An unhandled KeyboardInterrupt ends Python by SIGINT, after its traceback.
    for sent in (signal.SIGINT, signal.SIGTERM):
        process = start("wait_in_recv", link)
        assert process.stdout is not None
        assert process.stdout.readline() == "waiting\n"
        process.send_signal(sent)
        returncode, _, stderr = finish(process)
        assert returncode == -sent, stderr[-3000:]
        if sent == signal.SIGINT:
            assert "KeyboardInterrupt" in stderr


def test_exit_stops_the_workers_and_closes_the_devices() -> None:
    orvaemu = pytest.importorskip("orvaemu")
    if not orvaemu.preloaded():
        pytest.skip("run pytest under LD_PRELOAD=libumockdev-preload.so.0 (make python-test)")
    bench = orvaemu.Bench()
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    cable = bench.add_usb_robot("EMUR0")
    returncode, stdout, stderr = finish(start("leave_open", bench=bench))
    assert (returncode, stdout) == (0, "open\n"), stderr[-3000:]
    # The cable worker was stopped: it switched the robot's link off.
    assert not cable.link_on
    assert cable.control_log[-1] == (1, 1, 0, b"")
