"""The emulated bench in your own pytest suite.

List the plugin in your project's top-level conftest.py::

    pytest_plugins = ["orvaemu.pytest_plugin"]

and take the ``orvaemu_bench`` fixture: a fresh bench for each test, on which
you add dongles and robots, set loss, and unplug and replug at will, plus a way
to start the code under test in a fresh process that sees exactly these
devices::

    def test_loop_survives_loss(orvaemu_bench):
        orvaemu_bench.add_dongle("EMU0")
        robot = orvaemu_bench.add_radio_robot(80, "2M")
        robot.loss = 0.3
        result = orvaemu_bench.run("mypackage.loop:main", "radio://0/80/2M/E7E7E7E7E7")
        assert result.returncode == 0

Why a fresh process: orvapy's device registry lives once per process and a
libusb context only ever sees the testbed that existed when it started, so the
code under test gets a process of its own, started after the bench's devices
exist. The test process itself never touches orvapy.

The child's exit status is what the target returns (None is 0); a target that
cannot be imported, raises or returns something else fails the test instead,
with the child's traceback, so that no expected status can hide it. The child
runs unbuffered: the test reads its lines as they are printed.

pytest has to run under the umockdev preload
(``LD_PRELOAD=libumockdev-preload.so.0 python3.9 -m pytest``); without it, a
test that takes the fixture fails at once with the exact command to run.
"""
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

import pytest

from . import Bench, Dongle, RadioRobot, USBRobot, preloaded
from .call import REPORT_ENVIRONMENT

PRELOAD = "libumockdev-preload.so.0"
# A run that takes longer has hung; the test fails instead of stalling the suite.
RUN_BOUND_S = 120.0


def command_with_preload(argv: List[str]) -> str:
    """The command that runs this same pytest under the preload."""
    return " ".join([f"LD_PRELOAD={PRELOAD}", shlex.quote(sys.executable), "-m", "pytest",
                     *(shlex.quote(argument) for argument in argv)])


class BenchSession:
    """A fresh bench and the means to run code under test against it."""

    def __init__(self, bench: Bench, root: Path) -> None:
        self.bench = bench
        self._root = root
        self._plugged: List[Union[Dongle, USBRobot]] = []
        # Where the children report a target that failed.
        self._reports = Path(tempfile.mkdtemp(prefix="orvaemu-calls-"))
        self._children = 0

    def add_dongle(self, serial: str, bcd_device: int = 0x0100) -> Dongle:
        dongle = self.bench.add_dongle(serial, bcd_device)
        self._plugged.append(dongle)
        return dongle

    def add_usb_robot(self, serial: str, bcd_device: int = 0x0100) -> USBRobot:
        robot = self.bench.add_usb_robot(serial, bcd_device)
        self._plugged.append(robot)
        return robot

    def add_radio_robot(self, channel: int, datarate: str,
                        address: int = 0xE7E7E7E7E7) -> RadioRobot:
        return self.bench.add_radio_robot(channel, datarate, address)

    def close(self) -> None:
        """Unplugs every device of the bench. A failed test's traceback may
        keep the bench alive; its devices must not reach the next test."""
        for device in self._plugged:
            device.unplug()
        self._plugged.clear()
        shutil.rmtree(self._reports, ignore_errors=True)

    def environment(self) -> Dict[str, str]:
        """What a child needs to see the bench: the preload, the testbed
        (inherited), and the project on its import path."""
        env = dict(os.environ)
        # The testbed sets UMOCKDEV_DIR in the C environment, which os.environ
        # does not see after start-up.
        env["UMOCKDEV_DIR"] = self.bench.root_dir
        paths = [str(self._root), *filter(None, [env.get("PYTHONPATH")])]
        env["PYTHONPATH"] = os.pathsep.join(paths)
        return env

    def _command(self, target: str, arguments: Tuple[str, ...]) -> Tuple[List[str], Dict[str, str], Path]:
        """The child's command line (unbuffered, so that its lines arrive as
        it prints them), environment, and the file its failure goes to."""
        self._children += 1
        failure_file = self._reports / f"call-{self._children}"
        env = self.environment()
        env[REPORT_ENVIRONMENT] = str(failure_file)
        return [sys.executable, "-u", "-m", "orvaemu.call", target, *arguments], env, failure_file

    def start(self, target: str, *arguments: str) -> "Started":
        """Starts ``package.module:function`` with string arguments in a fresh
        process, its output in pipes; the test may meanwhile unplug devices
        or change the loss. Its wait(), poll() and communicate() fail the test
        once the child has ended, if the target could not be imported or raised."""
        command, env, failure_file = self._command(target, arguments)
        return Started(target, failure_file, command, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True, env=env, cwd=str(self._root))

    def run(self, target: str, *arguments: str,
            timeout: Optional[float] = RUN_BOUND_S) -> "subprocess.CompletedProcess[str]":
        """Runs ``package.module:function`` in a fresh process to its end; fails
        the test if the target could not be imported or raised."""
        command, env, failure_file = self._command(target, arguments)
        result = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env,
                                cwd=str(self._root))
        fail_if_target_failed(target, failure_file)
        return result


def fail_if_target_failed(target: str, failure_file: Path) -> None:
    """The target's own failure is an error of the test, never an exit status
    the test could have expected."""
    if failure_file.is_file():
        pytest.fail(f"orvaemu: the code under test failed instead of returning ({target}):\n"
                    + failure_file.read_text(encoding="utf-8"), pytrace=False)


class Started(subprocess.Popen[str]):
    """A child started by BenchSession.start(): a Popen whose wait() and
    poll() fail the test once the child has ended, if its target failed."""

    def __init__(self, target: str, failure_file: Path, command: List[str],
                 **options: Any) -> None:
        self._target = target
        self._failure_file = failure_file
        super().__init__(command, **options)

    def poll(self) -> Optional[int]:
        code = super().poll()
        if code is not None:
            fail_if_target_failed(self._target, self._failure_file)
        return code

    def wait(self, timeout: Optional[float] = None) -> int:
        code = super().wait(timeout)
        fail_if_target_failed(self._target, self._failure_file)
        return code


@pytest.fixture
def orvaemu_bench(request: pytest.FixtureRequest) -> Iterator[BenchSession]:
    """A fresh emulated bench; its devices go when the test ends."""
    if not preloaded():
        command = command_with_preload(list(request.config.invocation_params.args))
        pytest.fail("orvaemu: the emulated bench needs pytest to start under the umockdev "
                    f"preload; run instead:\n  {command}", pytrace=False)
    session = BenchSession(Bench(), Path(str(request.config.rootpath)))
    try:
        yield session
    finally:
        session.close()
