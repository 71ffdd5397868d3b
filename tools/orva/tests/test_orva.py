"""orva's commands on the emulated bench, as a user runs them."""
import json
import re
import signal
import stat
import subprocess
from pathlib import Path
from typing import Any, Dict, List

import pytest
from orvaemu.pytest_plugin import BenchSession

from orva_runner import call, orva, start_orva

RADIO_URI = "radio://0/80/2M/E7E7E7E7E7"
REPOSITORY_RULES = Path(__file__).resolve().parents[3] / "udev" / "60-orvapy.rules"


def assert_advice_without_traceback(stderr: str, *phrases: str) -> None:
    assert "Traceback" not in stderr, stderr
    for phrase in phrases:
        assert phrase in stderr, stderr


@pytest.mark.parametrize("command", [[], ["devices"], ["scan"], ["ping"], ["udev"], ["capture"], ["serve"]])
def test_every_command_has_help(command: List[str]) -> None:
    result = orva(*command, "--help")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("usage: orva")
    if command:
        assert "--json" in result.stdout


@pytest.mark.parametrize("arguments", [
    [], ["fly"], ["scan", "--address", "XYZ"], ["scan", "--address", "1E7E7E7E7E7"],
    ["ping"], ["ping", RADIO_URI, "--count", "0"], ["ping", RADIO_URI, "--echo", "16"],
])
def test_usage_errors_exit_2(arguments: List[str]) -> None:
    result = orva(*arguments)
    assert result.returncode == 2
    assert "usage: orva" in result.stderr


# Python keeps argument bytes that are not UTF-8 as lone surrogates, and gives
# them back as those bytes to a child.
NOT_UTF8 = "\udcff\udcfe"


@pytest.mark.parametrize("arguments", [
    ["ping", f"radio://0/80/2M/{NOT_UTF8}"], ["ping", RADIO_URI, "--interval", str(2**32)],
    ["ping", RADIO_URI, "--interval", "9" * 40], ["ping", RADIO_URI, "--count", "1e3"],
    ["scan", "--address", NOT_UTF8], ["udev", "--rules-dir", NOT_UTF8], [NOT_UTF8],
])
def test_malformed_arguments_exit_2_with_one_line_and_no_traceback(arguments: List[str]) -> None:
    result = orva(*arguments)
    assert result.returncode == 2, result.stdout + result.stderr
    assert "Traceback" not in result.stderr, result.stderr
    message = [line for line in result.stderr.splitlines() if not line.startswith("usage:")]
    assert len(message) == 1 and message[0].startswith("orva"), result.stderr


def test_devices_shows_the_ids_a_fresh_orvapy_process_uses(bench: BenchSession) -> None:
    # Added out of serial order, so that neither the order of addition nor
    # that of the serials can stand in for the ids.
    zz = bench.add_dongle("ZZ", 0x0203)
    aa = bench.add_dongle("AA", 0x1000)
    bench.add_usb_robot("ROBOT", 0x0100)
    bench.add_radio_robot(80, "2M")
    result = orva("devices", "--json")
    assert result.returncode == 0, result.stderr
    listed = json.loads(result.stdout)
    assert listed["inaccessible"] == []
    devices: Dict[str, Dict[str, Any]] = {device["serial"]: device for device in listed["devices"]}
    assert [device["kind"] for device in listed["devices"]] == ["dongle", "dongle", "robot"]
    assert {devices["ZZ"]["id"], devices["AA"]["id"]} == {0, 1}
    assert (devices["ZZ"]["firmware"], devices["AA"]["firmware"]) == ("2.03", "10.00")
    assert devices["ROBOT"]["id"] == 0
    for device in devices.values():
        assert device["position"] == f"{device['bus']}-{device['ports'][0]}"

    sent = call("library_side:send_once",
                f"radio://{devices['ZZ']['id']}/80/2M/E7E7E7E7E7?safelink=0&autoping=0")
    assert sent.returncode == 0, sent.stderr
    assert [packet[1:] for packet in zz.bulk_out_log if packet[0] >> 4 == 1] == [b"\x42"]
    assert aa.bulk_out_log == []

    table = orva("devices")
    assert table.returncode == 0
    lines = table.stdout.splitlines()
    assert lines[0].split() == ["KIND", "ID", "SERIAL", "FIRMWARE", "BUS", "URI"]
    assert lines[3].split()[:4] == ["robot", "0", "ROBOT", "1.00"]
    assert lines[3].endswith("usb://0")


def test_nothing_attached_says_to_plug_something_in(bench: BenchSession) -> None:
    for arguments in (["devices"], ["scan"], ["ping", "radio://*/80/2M/E7E7E7E7E7"],
                      ["ping", "usb://0"]):
        result = orva(*arguments)
        assert result.returncode == 1, arguments
        assert_advice_without_traceback(result.stderr, "Plug in the dongle")


def test_a_device_refusing_access_points_to_the_udev_rules(bench: BenchSession) -> None:
    dongle = bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    dongle.deny_access()
    for arguments in (["devices"], ["scan"], ["ping", RADIO_URI]):
        result = orva(*arguments)
        assert result.returncode == 1, arguments
        assert_advice_without_traceback(result.stderr, "LIBUSB_ERROR_ACCESS",
                                        "sudo orva udev --install")
        assert len(result.stderr.splitlines()) <= 4, result.stderr

    # A device that may be opened is listed; the refused one is still pointed out.
    bench.add_usb_robot("EMUR0")
    result = orva("devices", "--json")
    assert result.returncode == 0
    listed = json.loads(result.stdout)
    assert [device["serial"] for device in listed["devices"]] == ["EMUR0"]
    assert [device["kind"] for device in listed["inaccessible"]] == ["dongle"]
    assert "sudo orva udev --install" in result.stderr

    dongle.deny_access(False)
    assert orva("ping", RADIO_URI, "--count", "2", "--interval", "20").returncode == 0


def test_scan_lists_cables_and_answering_channels_with_progress(bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    bench.add_usb_robot("EMUR0")
    bench.add_radio_robot(80, "2M")
    bench.add_radio_robot(7, "250K", 0x00000000AB)
    result = orva("scan", "--json")
    assert result.returncode == 0, result.stderr
    assert "scanning" in result.stderr
    found = json.loads(result.stdout)
    assert found["address"] == "E7E7E7E7E7"
    assert found["found"] == [
        {"uri": "usb://0", "link": "usb", "channel": None, "datarate": None, "address": None},
        {"uri": "radio://*/80/2M/E7E7E7E7E7", "link": "radio", "channel": 80, "datarate": "2M",
         "address": "E7E7E7E7E7"}]

    other = orva("scan", "--address", "ab")
    assert other.returncode == 0, other.stderr
    rows = [line.split() for line in other.stdout.splitlines()]
    assert rows == [["URI", "CHANNEL", "RATE"], ["usb://0", "-", "cable"],
                    ["radio://*/7/250K/00000000AB", "7", "250K"]]


def test_scan_with_a_dongle_but_no_robot_says_none_answered(bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    result = orva("scan")
    assert result.returncode == 1
    assert result.stdout == ""
    assert_advice_without_traceback(result.stderr, "no robot answered")


def test_ping_reports_acknowledged_share_and_rate_live_then_sums_up(bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    result = orva("ping", RADIO_URI, "--count", "3", "--interval", "30")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    # Safelink is turned off to count every acknowledgement.
    assert lines[0] == f"orva ping {RADIO_URI}?safelink=0"
    assert [line.split()[0] for line in lines[1:4]] == ["1", "2", "3"]
    assert all("acknowledged" in line and "exchanges/s" in line for line in lines[1:4])
    assert lines[4].startswith(f"--- {RADIO_URI}?safelink=0: 3 packets")
    # Nothing is lost; the counters are read one by one, so the exchange in
    # flight may be counted as sent but not yet as acknowledged.
    counted = re.match(r"acknowledged (\d+)/(\d+) \(", lines[5])
    assert counted is not None, lines[5]
    acknowledged, sent = (int(number) for number in counted.groups())
    assert sent - 1 <= acknowledged <= sent

    summary = orva("ping", f"{RADIO_URI}?autoping=0", "--count", "2", "--interval", "30", "--json")
    assert summary.returncode == 0, summary.stderr
    counts = json.loads(summary.stdout)
    assert counts["uri"] == f"{RADIO_URI}?autoping=0&safelink=0"
    assert counts["packets"] == 2
    assert counts["sent_count"] >= 2
    assert counts["sent_count"] - 1 <= counts["ack_count"] <= counts["sent_count"]
    assert counts["failure"] is None


def test_ping_under_loss_counts_what_was_lost(bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    robot = bench.add_radio_robot(80, "2M")
    robot.set_loss(0.5, 0.0)
    robot.seed = 3
    result = orva("ping", RADIO_URI, "--count", "3", "--interval", "40", "--json")
    assert result.returncode == 0, result.stderr
    counts = json.loads(result.stdout)
    assert 0 < counts["ack_count"] < counts["sent_count"]


def test_ping_with_echo_times_round_trips(bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    result = orva("ping", RADIO_URI, "--count", "5", "--interval", "40", "--echo", "2")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "echoes on port 2: 5/5 came back, 0.0% lost" in out
    assert "round trip: min" in out and "p50" in out and "p99" in out
    histogram = [line for line in out.splitlines() if line.rstrip().endswith(tuple("0123456789"))
                 and "|" in line]
    assert len(histogram) == 10
    assert sum(int(line.rsplit("|", 1)[1]) for line in histogram) == 5


def test_ping_counts_echoes_after_a_program_left_the_robot_in_safelink_mode(
        bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    earlier = call("library_side:safelink_echo", RADIO_URI)
    assert earlier.returncode == 0, earlier.stderr
    result = orva("ping", RADIO_URI, "--count", "5", "--interval", "40", "--echo", "1", "--json")
    assert result.returncode == 0, result.stderr
    counts = json.loads(result.stdout)
    assert (counts["mode"], counts["packets"], counts["replies"]) == ("safelink", 5, 5)
    assert counts["uri"] == RADIO_URI

    # Without safelink the robot drops the packets as repeats: orva says so.
    plain = orva("ping", f"{RADIO_URI}?safelink=0", "--count", "3", "--interval", "40",
                 "--echo", "1")
    assert plain.returncode == 1
    assert_advice_without_traceback(plain.stderr, "in safelink mode",
                                    "drops the packets of a plain connection")


def test_ping_over_a_cable_counts_the_packets_that_came_back(bench: BenchSession) -> None:
    bench.add_usb_robot("EMUR0")
    result = orva("ping", "usb://0", "--count", "3", "--interval", "30", "--json")
    assert result.returncode == 0, result.stderr
    counts = json.loads(result.stdout)
    assert (counts["packets"], counts["replies"], counts["ack_count"]) == (3, 3, 0)
    echoed = orva("ping", "usb://0", "--count", "2", "--interval", "30", "--echo", "1", "--json")
    assert echoed.returncode == 0, echoed.stderr
    assert json.loads(echoed.stdout)["round_trip_ms"]["max"] > 0


def test_ping_rejects_a_malformed_uri_as_a_usage_error(bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    for uri in ("radio://0/80/2m/E7E7E7E7E7", "radio://0/80/2M/E7E7E7E7E7?",
                "radio://0/99999999999/2M/E7E7E7E7E7"):
        result = orva("ping", uri, "--count", "1")
        assert result.returncode == 2, uri
        assert_advice_without_traceback(result.stderr)
    assert "Invalid uri (radio://0/80/2M/E7E7E7E7E7?)!" in \
        orva("ping", "radio://0/80/2M/E7E7E7E7E7?").stderr
    assert orva("ping", "usb://99999999999").stderr == \
        "orva ping: a number in usb://99999999999 is too large (stoi argument out of range)\n"
    # The URI as the user typed it, without the option orva adds.
    assert orva("ping", "radio://0/80/2m/E7E7E7E7E7").stderr.splitlines()[0] == \
        "orva ping: Invalid uri (radio://0/80/2m/E7E7E7E7E7)!"


def first_live_line(process: "subprocess.Popen[str]") -> str:
    assert process.stdout is not None
    header = process.stdout.readline()
    assert header.startswith("orva ping"), header
    return process.stdout.readline()


def test_ctrl_c_ends_ping_with_the_summary(bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    process = start_orva("ping", RADIO_URI, "--interval", "20", "--echo", "1")
    line = first_live_line(process)
    assert process.stdout is not None
    while "last round trip" not in line:  # an echo has come back
        assert line, "orva ping ended by itself"
        line = process.stdout.readline()
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 0, err
    assert "Traceback" not in err and "KeyboardInterrupt" not in err, err
    assert f"--- {RADIO_URI}:" in out  # echoes are measured with safelink
    assert "round trip: min" in out


def test_an_unplug_during_ping_is_a_failed_link(bench: BenchSession) -> None:
    dongle = bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    process = start_orva("ping", RADIO_URI, "--interval", "20")
    first_live_line(process)
    dongle.unplug()
    out, err = process.communicate(timeout=120)
    assert process.returncode == 1
    assert_advice_without_traceback(err, "the link failed: LIBUSB_ERROR_NO_DEVICE")
    assert f"--- {RADIO_URI}?safelink=0:" in out


def packaged_rules() -> str:
    result = orva("udev")
    if not REPOSITORY_RULES.is_file():
        assert result.returncode == 1
        assert_advice_without_traceback(result.stderr, "carries no 60-orvapy.rules")
        pytest.skip("udev/60-orvapy.rules is not in this tree yet")
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_udev_prints_the_rules_it_was_built_with() -> None:
    assert packaged_rules() == REPOSITORY_RULES.read_text()
    result = orva("udev", "--json")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"name": "60-orvapy.rules",
                                         "rules": REPOSITORY_RULES.read_text()}


def test_udev_install_writes_the_rules_and_reloads_udev(tmp_path: Path) -> None:
    rules = packaged_rules()
    tools = tmp_path / "bin"
    tools.mkdir()
    log = tmp_path / "udevadm.log"
    udevadm = tools / "udevadm"
    udevadm.write_text(f"#!/bin/sh\necho \"$@\" >> {log}\n")
    udevadm.chmod(udevadm.stat().st_mode | stat.S_IXUSR)
    target = tmp_path / "rules.d"
    target.mkdir()
    result = orva("udev", "--install", "--rules-dir", str(target),
                  env={"PATH": f"{tools}:/usr/bin:/bin"})
    assert result.returncode == 0, result.stderr
    assert (target / "60-orvapy.rules").read_text() == rules
    assert log.read_text().splitlines() == [
        "control --reload-rules", "trigger --subsystem-match=usb --action=change"]
    assert f"wrote {target / '60-orvapy.rules'}" in result.stdout
    assert "unplug and replug" in result.stdout
    scripted = orva("udev", "--install", "--rules-dir", str(target), "--json",
                    env={"PATH": f"{tools}:/usr/bin:/bin"})
    assert scripted.returncode == 0, scripted.stderr
    assert json.loads(scripted.stdout) == {
        "installed": str(target / "60-orvapy.rules"),
        "ran": [["udevadm", "control", "--reload-rules"],
                ["udevadm", "trigger", "--subsystem-match=usb", "--action=change"]]}

    missing = orva("udev", "--install", "--rules-dir", str(tmp_path / "absent"))
    assert missing.returncode == 1
    assert_advice_without_traceback(missing.stderr, "cannot write", "sudo orva udev --install")
