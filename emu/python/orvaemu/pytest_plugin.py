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

pytest has to run under the umockdev preload
(``LD_PRELOAD=libumockdev-preload.so.0 python3.9 -m pytest``); without it, a
test that takes the fixture fails at once with the exact command to run.
"""
import os
import shlex
import subprocess
import sys
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Union

import pytest

from . import Bench, Dongle, RadioRobot, USBRobot, preloaded

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

    def start(self, target: str, *arguments: str) -> "subprocess.Popen[str]":
        """Starts ``package.module:function`` with string arguments in a fresh
        process, its output in pipes; the test may meanwhile unplug devices
        or change the loss."""
        return subprocess.Popen([sys.executable, "-m", "orvaemu.call", target, *arguments],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=self.environment(), cwd=str(self._root))

    def run(self, target: str, *arguments: str,
            timeout: Optional[float] = RUN_BOUND_S) -> "subprocess.CompletedProcess[str]":
        """Runs ``package.module:function`` in a fresh process to its end."""
        return subprocess.run([sys.executable, "-m", "orvaemu.call", target, *arguments],
                              capture_output=True, text=True, timeout=timeout,
                              env=self.environment(), cwd=str(self._root))


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
