"""The commands that orvaemu.control sends to a launcher, carried out on a bench."""

from typing import Dict, Tuple, Union

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
