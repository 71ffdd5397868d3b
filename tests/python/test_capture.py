"""Link captures on the bench, read back with tshark and the dissector."""
import collections
import fcntl
import os
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Tuple

import pytest

from scenario_runner import report_of, run

HERE = os.path.dirname(os.path.abspath(__file__))
F_SETPIPE_SZ = 1031  # Linux; the fcntl module names it from Python 3.10 on
DISSECTOR = os.path.join(HERE, "..", "..", "tools", "wireshark", "orvapy.lua")
FIELDS = ["frame.interface_name", "orvapy.decoded", "orvapy.type", "orvapy.uri", "orvapy.kind",
          "orvapy.ack", "orvapy.resend", "orvapy.taken", "orvapy.request", "orvapy.wvalue",
          "orvapy.windex", "orvapy.data", "orvapy.error", "orvapy.sent", "orvapy.status",
          "orvapy.reply", "orvapy.received", "orvapy.result", "orvapy.answered",
          "orvapy.plugged"]


class Record(NamedTuple):
    """One record as tshark shows the fields above, in that order ("" when absent)."""
    interface_name: str
    decoded: str
    type: str
    uri: str
    kind: str
    ack: str
    resend: str
    taken: str
    request: str
    wvalue: str
    windex: str
    data: str
    error: str
    sent: str
    status: str
    reply: str
    received: str
    result: str
    answered: str
    plugged: str


def run_program(script: str, capture: str, *arguments: str,
                timeout: float = 600) -> "subprocess.CompletedProcess[str]":
    return run(script, *arguments, timeout=timeout, ORVAPY_CAPTURE=capture)


def read_capture(path: str) -> List[Record]:
    """Every record of the file, as tshark decodes it with the dissector."""
    command = ["tshark", "-X", "lua_script:" + DISSECTOR, "-r", path, "-T", "fields",
               "-E", "separator=|", "-E", "occurrence=f"]
    for field in FIELDS:
        command += ["-e", field]
    output = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    return [Record(*line.split("|")) for line in output.splitlines()]


class Scenario(NamedTuple):
    """What capture_scenario.py reported, and the two captures it made."""
    report: Dict[str, Any]
    host: str
    devices: str


@pytest.fixture(scope="module")
def scenario(tmp_path_factory: pytest.TempPathFactory) -> Scenario:
    folder = tmp_path_factory.mktemp("capture")
    host, devices = str(folder / "host.pcapng"), str(folder / "devices.pcapng")
    result = run_program("capture_scenario.py", host, devices)
    report, other_output = report_of(result)
    assert (other_output, result.stderr) == ([], "")
    return Scenario(report, host, devices)


def test_bench_capture_decodes_and_agrees_with_counters_and_bench_logs(scenario: Scenario) -> None:
    report = scenario.report
    assert "radio://*/80/2M/E7E7E7E7E7" in report["found"]
    records = read_capture(scenario.host)

    assert records and all(r.decoded == "1" for r in records)
    dongle = [r for r in records if r.interface_name == "dongle 0 EMU0"]
    cable = [r for r in records if r.interface_name == "usb 0 EMUR0"]
    exchanges = [r for r in dongle if r.type == "1"]
    statistics = report["statistics"]

    # Every packet handed to the dongle is one record; per connection they
    # number its sent_count.
    assert len(exchanges) == report["dongle_bulk_out"]
    for uri in ("radio://0/80/2M/E7E7E7E7E7?safelink=0", "radio://0/40/1M/E7E7E7E7E7"):
        mine = [r for r in exchanges if r.uri == uri]
        assert len(mine) == statistics[uri]["sent_count"], uri
        assert any(r.ack == "0" for r in mine), uri + ": the loss shows"
        assert any(r.resend == "1" for r in mine), uri + ": resends are marked"
    plain = [r for r in exchanges if r.uri == "radio://0/80/2M/E7E7E7E7E7?safelink=0"]
    assert sum(r.ack == "1" for r in plain) == statistics[plain[0].uri]["ack_count"]
    safe = [r for r in exchanges if r.uri == "radio://0/40/1M/E7E7E7E7E7"]
    assert safe[0].kind == "2"  # the handshake first

    # The scan's probes, one connection each, are in the capture too.
    assert len({r.uri for r in exchanges}) > 3

    def control(records: List[Record]) -> List[List[object]]:
        return [[int(r.request, 16), int(r.wvalue), int(r.windex), r.data.replace(":", "")]
                for r in records if r.type == "4"]

    assert control(dongle) == report["dongle_control"]
    assert control(cable) == report["robot_control"]
    writes = [r for r in cable if r.type == "2"]
    assert sum(r.taken == "1" for r in writes) == statistics["usb://0"]["sent_count"]
    assert sum(r.taken == "1" for r in writes) == report["robot_bulk_out"]
    assert sum(r.type == "3" for r in cable) == statistics["usb://0"]["receive_count"]

    # Each worker started and stopped as often as the other; none failed.
    for device in (dongle, cable):
        types = collections.Counter(r.type for r in device)
        assert types["5"] == types["6"] >= 1
        assert types["7"] == 0
    assert not any(r.error == "1" for r in records)


def test_the_devices_saw_what_the_host_recorded(scenario: Scenario) -> None:
    host, devices = read_capture(scenario.host), read_capture(scenario.devices)
    assert devices and all(r.decoded == "1" for r in devices)
    assert {r.interface_name for r in devices} == {"dongle EMU0", "usb EMUR0"}

    def on(records: List[Record], interface: str, *types: str) -> List[Record]:
        return [r for r in records if r.interface_name == interface and r.type in types]

    # Every radio exchange: the bytes on bulk OUT, the status byte and the
    # reply, the scan's probes and the lossy links' resends included.
    host_radio = on(host, "dongle 0 EMU0", "1")
    device_radio = on(devices, "dongle EMU0", "9")
    assert all(r.answered == "1" for r in device_radio)
    assert ([(r.sent, r.status, r.reply) for r in device_radio]
            == [(r.sent, r.status, r.reply) for r in host_radio])
    assert any(r.ack == "0" for r in device_radio), "the loss shows on the dongle too"

    # Over the cable, writes (refused ones included) and reads, in order.
    assert ([(r.taken, r.sent) for r in on(devices, "usb EMUR0", "10")]
            == [(r.taken, r.sent) for r in on(host, "usb 0 EMUR0", "2")])
    assert ([r.received for r in on(devices, "usb EMUR0", "11")]
            == [r.received for r in on(host, "usb 0 EMUR0", "3")])

    # The same control requests with the same results, as many on each side.
    def control(records: List[Record]) -> List[Tuple[str, ...]]:
        return [(r.request, r.wvalue, r.windex, r.data, r.result) for r in records]

    for host_name, device_name in (("dongle 0 EMU0", "dongle EMU0"), ("usb 0 EMUR0", "usb EMUR0")):
        device_control = control(on(devices, device_name, "4"))
        assert device_control and device_control == control(on(host, host_name, "4"))

    # Each device was plugged in once and never left.
    assert [r.plugged for r in devices if r.type == "12"] == ["1", "1"]


def test_unwritable_capture_warns_once_and_the_link_runs_on(tmp_path: Path) -> None:
    path = str(tmp_path / "missing-folder" / "capture.pcapng")
    result = run_program("capture_cable_echo.py", path)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert result.stdout == "echoed\n"
    assert result.stderr == (f"orvapy: cannot write the capture to {path}: No such file or "
                             "directory; running without capture\n")


def test_a_capture_file_that_stops_taking_bytes_holds_up_neither_link_nor_exit(
        tmp_path: Path) -> None:
    # A pipe that is open but never read stands in for a stalled disk: the
    # capture's writer blocks on it for good once it holds 4 KiB.
    fifo = str(tmp_path / "capture.fifo")
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        fcntl.fcntl(reader, F_SETPIPE_SZ, 4096)
        # Two records of some 50 bytes per echo: the writer is stuck long
        # before the last one, and before the close and the exit.
        result = run_program("capture_cable_echo.py", fifo, "300", timeout=120)
    finally:
        os.close(reader)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert result.stdout == "echoed\n"
    assert result.stderr == ""



def wait_for_open(pid: int, path: str, bound: float = 120) -> None:
    """Waits until the process holds the file open; fails past the bound."""
    deadline = time.monotonic() + bound
    folder = "/proc/%d/fd" % pid
    while time.monotonic() < deadline:
        try:
            if any(os.readlink(os.path.join(folder, fd)) == path for fd in os.listdir(folder)):
                return
        except OSError:
            pass  # a descriptor closed while we looked
        time.sleep(0.01)
    raise AssertionError("%d never opened %s" % (pid, path))


def test_live_capture_through_a_fifo_into_tshark(tmp_path: Path) -> None:
    # As docs/capture.md shows it: the program starts first and is not held
    # up by the pipe nobody reads yet; the viewer joins later and still gets
    # everything from the start.
    orvaemu = pytest.importorskip("orvaemu")
    if not orvaemu.preloaded():
        pytest.skip("run pytest under LD_PRELOAD=libumockdev-preload.so.0 (make python-test)")
    fifo = str(tmp_path / "live.fifo")
    os.mkfifo(fifo)
    env = {key: value for key, value in os.environ.items() if key != "UMOCKDEV_DIR"}
    env["ORVAPY_CAPTURE"] = fifo
    program = subprocess.Popen([sys.executable, os.path.join(HERE, "capture_live.py"), "50"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=env)
    try:
        # A program blocked by the pipe never says it echoed: the read ends
        # with the program, which the bound below kills.
        timer = threading.Timer(120, program.kill)
        timer.start()
        assert program.stdout is not None and program.stdout.readline() == "echoed\n"
        timer.cancel()
        viewer = subprocess.Popen(["tshark", "-X", "lua_script:" + DISSECTOR, "-r", fifo,
                                   "-T", "fields", "-e", "orvapy.type"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # The viewer's open of the pipe returns once the capture has opened
        # its end: only then is everything sure to reach it.
        wait_for_open(viewer.pid, fifo)
        out, err = program.communicate("\n", timeout=120)
        types, _ = viewer.communicate(timeout=120)
    finally:
        program.kill()
    assert program.returncode == 0, err
    assert err == ""
    counts = collections.Counter(types.split())
    assert counts["2"] == counts["3"] == 50  # every write and read, those before the viewer too
