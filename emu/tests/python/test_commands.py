"""The commands that orvaemu.control sends to a launcher, carried out on a bench."""

import os
import subprocess
import sys
from typing import Dict, List, Tuple, Union

import pytest

import orvaemu
from orvaemu.commands import Commands

Fixture = Tuple[Commands, Dict[str, Union[orvaemu.Dongle, orvaemu.USBRobot]], orvaemu.RadioRobot]


@pytest.fixture
def commands(bench: orvaemu.Bench) -> Fixture:
    devices: Dict[str, Union[orvaemu.Dongle, orvaemu.USBRobot]] = {
        "EMU0": bench.add_dongle("EMU0"), "EMUR0": bench.add_usb_robot("EMUR0")}
    robot = bench.add_radio_robot(80, "2M")
    return Commands(devices, {(80, "2M", 0xE7E7E7E7E7): robot}), devices, robot


def test_commands_reach_the_devices(commands: Fixture) -> None:
    run, devices, robot = commands
    run.run("loss 80/2M/E7E7E7E7E7 0.5")
    run.run("silent 80/2M on")
    assert (robot.packet_loss, robot.ack_loss, robot.silent) == (0.5, 0.5, True)
    run.run("unplug EMUR0")
    assert not devices["EMUR0"].plugged
    run.run("replug EMUR0")
    assert devices["EMUR0"].plugged


@pytest.mark.parametrize("line, message", [
    ("", "empty"),
    ("explode EMU0", "unknown command"),
    ("unplug EMU9", "no dongle or USB robot"),
    ("refuse EMU0 2", "not a command for EMU0"),
    ("stall EMU0", "missing argument"),
    ("stop-answering EMU0 maybe", "on or off"),
    ("loss 81/2M 0.5", "no radio robot"),
])
def test_malformed_commands_say_what_is_wrong(commands: Fixture, line: str, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        commands[0].run(line)


def control(*arguments: str) -> "subprocess.CompletedProcess[str]":
    env = {key: value for key, value in os.environ.items() if key != "ORVAEMU_CONTROL"}
    return subprocess.run([sys.executable, "-m", "orvaemu.control", *arguments],
                          capture_output=True, text=True, timeout=120, env=env)


@pytest.mark.parametrize("arguments, status, out, err", [
    (["--help"], 0, "unplug SERIAL", ""), (["-h"], 0, "--socket PATH", ""),
    ([], 2, "", "usage: python3.9 -m orvaemu.control"),
    (["--socket"], 2, "", "usage: python3.9 -m orvaemu.control"),
    (["unplug", "EMU0"], 1, "", "orvaemu.control: no control socket"),
])
def test_the_command_line_helps_and_says_what_is_missing(arguments: List[str], status: int,
                                                          out: str, err: str) -> None:
    result = control(*arguments)
    assert result.returncode == status, result.stdout + result.stderr
    assert out in result.stdout and err in result.stderr, result.stdout + result.stderr
    assert "Traceback" not in result.stderr
