"""python3.9 -m orvaemu runs unmodified programs against an emulated bench."""

import os
import re
import shutil
import subprocess
import sys

from pathlib import Path
from typing import List

import pytest

pytest.importorskip("orvaemu")

from orvaemu.preloads import WAIT_PRELOAD  # noqa: E402 (after the skip)


def launch(*arguments: str, preload: bool = True) -> "subprocess.CompletedProcess[str]":
    env = dict(os.environ)
    if not preload:
        # The launcher has to re-execute itself under the preload.
        env.pop("LD_PRELOAD", None)
    # A bench of the calling process must not leak into the launched one.
    env.pop("UMOCKDEV_DIR", None)
    return subprocess.run([sys.executable, "-m", "orvaemu", *arguments], env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("preload", [True, False])
def test_child_sees_the_described_devices(usbprobe: str, preload: bool) -> None:
    result = launch("--dongle", "EMU0", "--dongle", "EMU1", "--usb-robot", "EMUR0",
                    "--radio-robot", "80/2M/E7E7E7E7E7", "--",
                    usbprobe, "list", "1915:7777", "list", "0483:5740",
                    "open", "1915:7777", "EMU1", "ctrl", "1", "80", "0", "-",
                    "write", "2107", "read", "1000", "write", "ff", "read", "1000",
                    preload=preload)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert sorted(lines[:2]) == ["serial EMU0", "serial EMU1"]
    assert lines[2:] == ["serial EMUR0", "open 0", "ctrl 0", "write 0 2", "read 0 01",
                         "write 0 1", "read 0 012107"]


@pytest.mark.parametrize("preload", [True, False])
def test_the_program_waits_on_the_devices_as_on_usbfs(usbprobe: str, preload: bool) -> None:
    """Started with umockdev's preload alone or with none, the program gets
    the wait preload too: a bulk IN pending on a silent robot leaves it asleep
    through each 100 ms wait, devices and program in two processes."""
    if not os.path.exists(WAIT_PRELOAD):
        pytest.skip("orvaemu was installed without its wait preload")
    result = launch("--usb-robot", "EMUR0", "--", usbprobe, "open", "0483:5740", "EMUR0",
                    "idle", "1000", preload=preload)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "open 0"
    calls = int(lines[1].split()[1])
    assert 1 <= calls <= 12, f"{calls} waits of 100 ms in one second"


def test_paces_the_devices_like_hardware_on_request(usbprobe: str) -> None:
    result = launch("--pace", "hardware", "--dongle", "EMU0", "--radio-robot", "80/1M", "--",
                    usbprobe, "open", "1915:7777", "EMU0", "ctrl", "3", "1", "0", "-",
                    "ctrl", "1", "80", "0", "-", "write", "2107", "read", "1000")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["open 0", "ctrl 0", "ctrl 0", "write 0 2", "read 0 01"]
    assert launch("--pace", "slow", "--", "true").returncode == 2


DISSECTOR = Path(__file__).resolve().parents[3] / "tools" / "wireshark" / "orvapy.lua"


def test_records_the_devices_side_to_a_capture_on_request(usbprobe: str, tmp_path: Path) -> None:
    tshark = shutil.which("tshark") or pytest.skip("tshark is not installed")
    path = str(tmp_path / "devices.pcapng")
    result = launch("--capture", path, "--dongle", "EMU0", "--radio-robot", "80/2M",
                    "--usb-robot", "EMUR0", "--",
                    usbprobe, "open", "1915:7777", "EMU0", "ctrl", "1", "80", "0", "-",
                    "write", "2107", "read", "1000")
    assert result.returncode == 0, result.stderr
    records = subprocess.run(
        [tshark, "-X", f"lua_script:{DISSECTOR}", "-r", path, "-T", "fields", "-E", "separator=|",
         "-e", "frame.interface_name", "-e", "orvapy.type", "-e", "orvapy.sent",
         "-e", "orvapy.reply", "-e", "orvapy.decoded"],
        capture_output=True, text=True, check=True).stdout.replace(":", "").splitlines()
    # Both devices plugged in, then the program's control request and exchange.
    assert records == ["dongle EMU0|12|||1", "usb EMUR0|12|||1", "dongle EMU0|4|||1",
                       "dongle EMU0|9|2107||1"]

    unwritable = str(tmp_path / "missing-folder" / "devices.pcapng")
    result = launch("--capture", unwritable, "--", "true")
    assert result.returncode == 2
    assert result.stderr == (f"orvaemu: cannot write the capture to {unwritable}: "
                             "No such file or directory\n")


def test_returns_the_exit_code_of_the_child() -> None:
    result = launch("--dongle", "EMU0", "--", sys.executable, "-c", "raise SystemExit(3)")
    assert result.returncode == 3, result.stderr


def test_rejects_malformed_devices() -> None:
    result = launch("--radio-robot", "80/3M", "--", "true")
    assert result.returncode == 2
    assert "data rate" in result.stderr


CHILD = """
import subprocess, sys
from orvaemu import control

def dongles():
    return subprocess.run([sys.argv[1], "list", "1915:7777"], capture_output=True,
                          text=True, check=True).stdout.split()

print(dongles())
control.send("unplug EMU0")
print(dongles())
control.send("replug EMU0")
print(dongles())
try:
    control.send("unplug NOPE")
except RuntimeError as error:
    print(error)
"""


def test_the_program_sends_fault_commands(usbprobe: str, tmp_path: Path) -> None:
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    result = launch("--dongle", "EMU0", "--", sys.executable, str(script), usbprobe)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "['serial', 'EMU0']", "[]", "['serial', 'EMU0']",
        "error: no dongle or USB robot 'NOPE'"]


@pytest.mark.skipif(shutil.which("lsusb") is None, reason="needs lsusb (usbutils)")
def test_foreign_clients_read_what_libusb_reads() -> None:
    # lsusb takes the strings from sysfs, cutting each value's last character,
    # which the kernel's attributes end with a newline.
    result = launch("--dongle", "EMU0", "--usb-robot", "EMUR0", "--", "lsusb", "-v")
    assert result.returncode == 0, result.stderr
    devices = result.stdout.split("\n\n")
    dongle = next(text for text in devices if "ID 1915:7777" in text)
    robot = next(text for text in devices if "ID 0483:5740" in text)
    assert "ID 1915:7777 Skelder Skelder Radio Dongle" in dongle
    assert re.search(r"iManufacturer\s+1 Skelder\n", dongle)
    assert re.search(r"iProduct\s+2 Skelder Radio Dongle\n", dongle)
    assert re.search(r"iSerial\s+3 EMU0\n", dongle)
    assert re.search(r"bcdDevice\s+1\.00\n", dongle)
    assert re.search(r"iSerial\s+3 EMUR0\n", robot)


def allowed_cpus(*command: str, **variables: str) -> str:
    """Cpus_allowed_list of the last process `command` starts, itself started
    free to run on every core."""
    everywhere = set(range(os.cpu_count() or 1))
    env = dict(os.environ, **variables)
    env.pop("UMOCKDEV_DIR", None)
    result = subprocess.run([*command, "grep", "Cpus_allowed_list", "/proc/self/status"],
                            env=env, capture_output=True, text=True, timeout=120,
                            preexec_fn=lambda: os.sched_setaffinity(0, everywhere))
    assert result.returncode == 0, result.stderr
    return result.stdout.split(":")[1].strip()


def test_keeps_the_program_on_one_core_with_the_devices_unless_told_not_to() -> None:
    launcher = [sys.executable, "-m", "orvaemu", "--dongle", "EMU0", "--"]
    assert re.fullmatch(r"\d+", allowed_cpus(*launcher))
    assert allowed_cpus(*launcher, ORVAEMU_PIN="0") == allowed_cpus()
