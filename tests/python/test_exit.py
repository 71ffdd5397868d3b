"""A program ends cleanly whatever state a daemon thread has in orvapy."""
import signal
import subprocess
from typing import TYPE_CHECKING, Optional

import pytest

import exit_scenarios
import scenario_runner
from scenario_runner import finish

if TYPE_CHECKING:
    import orvaemu


def start(*args: str, bench: Optional["orvaemu.Bench"] = None) -> "subprocess.Popen[str]":
    """Runs exit_scenarios ARGS, on its own bench unless given one."""
    return scenario_runner.start("exit_scenarios.py", *args, bench=bench,
                                 threads_stay_inside=True)


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
    bench = scenario_runner.bench_package().Bench()
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    cable = bench.add_usb_robot("EMUR0")
    returncode, stdout, stderr = finish(start("leave_open", bench=bench))
    assert (returncode, stdout) == (0, "open\n"), stderr[-3000:]
    # The cable worker was stopped: it switched the robot's link off.
    assert not cable.link_on
    assert cable.control_log[-1] == (1, 1, 0, b"")
