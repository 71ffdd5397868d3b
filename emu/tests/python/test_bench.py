"""The emulated bench from Python, driven by a plain libusb client process."""

import os
import subprocess
import sys

import pytest

import orvaemu

from conftest import run_probe

DONGLE = "1915:7777"
ROBOT = "0483:5740"


def test_bench_without_the_preload_says_how_to_start_the_process() -> None:
    pytest.importorskip("orvaemu")
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    result = subprocess.run(
        [sys.executable, "-c", "import orvaemu\ntry:\n    orvaemu.Bench()\n"
         "except RuntimeError as error:\n    print(error)\n"],
        env=env, capture_output=True, text=True, timeout=60)
    assert "LD_PRELOAD=libumockdev-preload.so.0" in result.stdout
    assert "python3.9 -m orvaemu" in result.stdout


def test_dongle_radio_robot_and_usb_robot(bench: orvaemu.Bench, usbprobe: str) -> None:
    dongle = bench.add_dongle("EMU0")
    robot = bench.add_radio_robot(80, "2M", 0xE7E7E7E7E7)
    cable = bench.add_usb_robot("EMUR0")

    lines = run_probe(usbprobe, "list", DONGLE, "list", ROBOT,
                      "open", DONGLE, "EMU0",
                      "ctrl", "1", "80", "0", "-",
                      "ctrl", "2", "0", "0", "e7e7e7e7e7",
                      "write", "210102", "read", "1000",
                      "write", "ff", "read", "1000")
    assert lines == ["serial EMU0", "serial EMUR0", "open 0", "ctrl 0", "ctrl 5",
                     "write 0 3", "read 0 01", "write 0 1", "read 0 01210102"]
    assert dongle.control_log == [(1, 80, 0, b""), (2, 0, 0, b"\xe7" * 5)]
    assert dongle.channel == 80 and dongle.datarate == "2M"
    assert dongle.bulk_out_log == [b"\x21\x01\x02", b"\xff"]
    assert robot.received == [b"\x21\x01\x02", b"\xff"]

    lines = run_probe(usbprobe, "open", ROBOT, "EMUR0", "ctrl", "1", "1", "1", "-",
                      "write", "f3", "read", "1000", "ctrl", "1", "1", "0", "-")
    assert lines == ["open 0", "ctrl 0", "write 0 1", "read 0 f3", "ctrl 0"]
    assert cable.control_log == [(1, 1, 1, b""), (1, 1, 0, b"")]
    assert cable.received == [b"\xf3"]
    assert not cable.link_on


def test_unplug_and_replug(bench: orvaemu.Bench, usbprobe: str) -> None:
    dongle = bench.add_dongle("EMU0")
    dongle.unplug()
    assert not dongle.plugged
    assert run_probe(usbprobe, "list", DONGLE) == []
    dongle.replug()
    assert run_probe(usbprobe, "list", DONGLE) == ["serial EMU0"]


def test_faults_reach_the_client(bench: orvaemu.Bench, usbprobe: str) -> None:
    dongle = bench.add_dongle("EMU0")
    dongle.fail_next_control()
    dongle.short_write(2)
    dongle.stop_answering()
    lines = run_probe(usbprobe, "open", DONGLE, "EMU0", "ctrl", "1", "10", "0", "-",
                      "write", "21010203", "read", "20")
    # LIBUSB_ERROR_PIPE is -9, LIBUSB_ERROR_TIMEOUT -7.
    assert lines == ["open 0", "ctrl -9", "write 0 2", "read -7 "]
    assert dongle.bulk_out_log == [b"\x21\x01"]


def test_raw_answers_and_robot_packets(bench: orvaemu.Bench, usbprobe: str) -> None:
    dongle = bench.add_dongle("EMU0")
    cable = bench.add_usb_robot("EMUR0")
    dongle.queue_raw_answer(bytes(range(33)))
    cable.queue_inbound(b"\x51\x09")
    assert run_probe(usbprobe, "open", DONGLE, "EMU0", "write", "ff", "read", "1000") == [
        "open 0", "write 0 1", "read 0 " + bytes(range(33)).hex()]
    assert run_probe(usbprobe, "open", ROBOT, "EMUR0", "read", "1000") == [
        "open 0", "read 0 5109"]


def test_radio_robot_settings(bench: orvaemu.Bench) -> None:
    robot = bench.add_radio_robot(10, "250K", 0x0102030405)
    assert (robot.channel, robot.datarate, robot.address) == (10, "250K", 0x0102030405)
    robot.loss = 0.25
    robot.seed = 42
    assert (robot.packet_loss, robot.ack_loss, robot.seed) == (0.25, 0.25, 42)
    with pytest.raises(ValueError):
        robot.loss = 1.5
    with pytest.raises(ValueError):
        bench.add_radio_robot(10, "3M")
    with pytest.raises(ValueError):
        bench.add_dongle("x" * 127)  # more than a string descriptor holds; "" is allowed


def test_hardware_pace_keeps_what_the_devices_answer(bench: orvaemu.Bench, usbprobe: str) -> None:
    assert bench.pace == "fast"
    bench.add_dongle("EMU0")
    bench.pace = "hardware"
    bench.add_usb_robot("EMUR0")
    bench.add_radio_robot(80, "250K")
    assert bench.pace == "hardware"
    with pytest.raises(ValueError):
        bench.pace = "slow"
    lines = run_probe(usbprobe, "open", DONGLE, "EMU0", "ctrl", "3", "0", "0", "-",
                      "ctrl", "1", "80", "0", "-", "write", "210102", "read", "1000",
                      "open", ROBOT, "EMUR0", "write", "2107", "read", "1000")
    assert lines == ["open 0", "ctrl 0", "ctrl 0", "write 0 3", "read 0 01",
                     "open 0", "write 0 2", "read 0 2107"]



def test_a_client_waiting_for_a_silent_robot_wakes_only_on_its_time_outs(
        bench: orvaemu.Bench, usbprobe: str) -> None:
    """As on usbfs, a node is ready only while a URB can be reaped: a client
    with a bulk IN pending on a robot that says nothing sleeps through each
    100 ms wait (10 waits in a second, where an always-ready node made
    thousands). Under load waits only get fewer."""
    bench.add_usb_robot("EMUR0")
    # (os.environ predates the testbed, which set UMOCKDEV_DIR in C.)
    env = dict(os.environ, LD_PRELOAD=orvaemu.preload(), UMOCKDEV_DIR=bench.root_dir)
    lines = run_probe(usbprobe, "open", ROBOT, "EMUR0", "idle", "1000", env=env)
    assert lines[0] == "open 0"
    calls = int(lines[1].split()[1])
    assert 1 <= calls <= 12, f"{calls} waits of 100 ms in one second"
