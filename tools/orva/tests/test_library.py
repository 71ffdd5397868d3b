"""orva as a library: links, errors, callbacks, asyncio and device ids, each
in a fresh process on the emulated bench (pythonic_side.py)."""
import importlib.util
import json
import re
import signal
import subprocess
import sys
from pathlib import Path
from typing import Type

import pytest
from orvaemu.pytest_plugin import BenchSession

import orva
from orva.errors import from_orvapy
from orva_runner import BOUND_S, call, environment, orva as run_orva, start_call
from test_capture_command import decoded_types

RADIO_URI = "radio://0/80/2M/E7E7E7E7E7"
SIGNAL_PERIOD_S = 0.5
REPOSITORY = Path(__file__).resolve().parents[3]


def succeeded(result: "subprocess.CompletedProcess[str]") -> None:
    assert result.returncode == 0, result.stdout + result.stderr


def read_line(process: "subprocess.Popen[str]", expected: str) -> None:
    assert process.stdout is not None
    line = process.stdout.readline()
    if line.strip() != expected:
        process.kill()
        _, err = process.communicate(timeout=BOUND_S)
        raise AssertionError(f"expected {expected!r}, got {line!r}: {err}")


# Every text the library defines, with the class orva gives it.
TEXTS = [
    ("Invalid uri (radio://0/80/2m/E7E7E7E7E7)!", RuntimeError, orva.InvalidURIError),
    ("Invalid uri (radio://0/80/2M/E7E7E7E7E7?foo=1)! Unknown foo=1.", RuntimeError,
     orva.InvalidURIError),
    ("Invalid uri (radio://0/80/2M/E7E7E7E7E7?safelink=0&&autoping=0)! Unknown .", RuntimeError,
     orva.InvalidURIError),
    ("stoi argument out of range", IndexError, orva.InvalidURIError),
    ("invalid stoull argument", ValueError, orva.InvalidURIError),
    ("No Korvane with id=5 found. There are 2 Korvanes connected.", RuntimeError,
     orva.NoSuchDeviceError),
    ("No Korvane with id=1 found. There are 1 Korvanes connected.", IndexError,
     orva.NoSuchDeviceError),
    ("No Skelder dongle found!", RuntimeError, orva.NoSuchDeviceError),
    ("No Skelder with id=3 found.There are 2 Skelders connected.", RuntimeError,
     orva.NoSuchDeviceError),
    ("No Skelder with id=-1 found.There are 0 Skelders connected.", IndexError,
     orva.NoSuchDeviceError),
    ("Connection radio://*/80/2M/E7E7E7E7E7?safelink=0&autoping=0&ackfilter=0 is using the same "
     "settings as an existing connection!", RuntimeError, orva.SettingsConflictError),
    ("Channel 10 is already served by Skelder 1. Cannot be served by Skelder 0 simultaneously."
     "radio://1/10/1M/E7E7E7E7E7 radio://0/10/2M/E7E7E7E7E8", RuntimeError,
     orva.SettingsConflictError),
    ("Channels 5 and 6 are already served by Skelder 1 (2M mode). Cannot be served by Skelder 0 "
     "simultaneously.", RuntimeError, orva.SettingsConflictError),
    ("Channel 6 is already served by Skelder 1. Cannot be served by Skelder 0 (2M mode) "
     "simultaneously.", RuntimeError, orva.SettingsConflictError),
    ("Cannot operate more than one connection over USB!", RuntimeError,
     orva.SettingsConflictError),
    ("LIBUSB_ERROR_NO_DEVICE", RuntimeError, orva.DeviceGoneError),
    ("LIBUSB_ERROR_ACCESS", RuntimeError, orva.AccessDeniedError),
    ("LIBUSB_ERROR_TIMEOUT", RuntimeError, orva.LinkFailedError),
    ("LIBUSB_ERROR_PIPE", RuntimeError, orva.LinkFailedError),
    ("LIBUSB_ERROR_NOT_SUPPORTED", RuntimeError, orva.LinkFailedError),
    ("Did transfer 3 but 4 was requested!", RuntimeError, orva.LinkFailedError),
    ("Timeout, but already transferred 10 of 20 bytes!", RuntimeError, orva.LinkFailedError),
    ("Size 34 too large! Maximum: 32.", RuntimeError, orva.LinkFailedError),
    ("Connection does not belong to this thread!", RuntimeError, orva.LinkFailedError),
    ("Caught an unknown exception!", RuntimeError, orva.LinkFailedError),
]


@pytest.mark.parametrize("text, builtin, kind", TEXTS)
def test_every_library_text_has_its_type_and_keeps_its_builtin(
        text: str, builtin: Type[BaseException], kind: Type[orva.LinkError]) -> None:
    mapped = from_orvapy(builtin(text))
    assert type(mapped) is kind or type(mapped).__bases__ == (kind, builtin)
    assert isinstance(mapped, kind) and isinstance(mapped, builtin)
    assert isinstance(mapped, orva.LinkError)
    assert mapped.args == (text,)
    if isinstance(mapped, orva.LinkFailedError):
        expected = text if text.startswith("LIBUSB_ERROR_") else None
        assert mapped.libusb_error == expected
    if kind is orva.AccessDeniedError:
        assert str(mapped).startswith(text) and "sudo orva udev --install" in str(mapped)
    else:
        assert str(mapped) == text


def test_the_texts_above_cover_every_text_the_library_throws() -> None:
    """A new failure text in the library must find its place in the mapping
    (and in TEXTS): every literal a throw starts with begins one of them."""
    thrown = {literal for source in REPOSITORY.glob("src/**/*.cpp")
              for literal in re.findall(r'throw [\w:]+\(\s*"([^"]*)"', source.read_text())}
    assert len(thrown) >= 10, thrown
    uncovered = [literal for literal in thrown
                 if not any(text.startswith(literal) for text, _, _ in TEXTS)]
    assert uncovered == []


def test_other_exceptions_pass_through_unchanged() -> None:
    for error in (TypeError("incompatible function arguments"), KeyboardInterrupt(),
                  OverflowError("x"), orva.LinkClosedError("closed"), IndexError(),
                  ValueError()):
        assert from_orvapy(error) is error


def test_packets_refuse_what_no_link_carries() -> None:
    assert orva.Packet(1, 0, b"ab").payload == b"ab"
    for port, channel, payload in ((16, 0, b""), (-1, 0, b""), (1, 4, b""), (1, 0, bytes(32))):
        with pytest.raises(ValueError):
            orva.Packet(port, channel, payload)


def test_the_library_raises_each_open_failure_by_type(bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    bench.add_usb_robot("EMUR0")
    expected = {
        "radio://0/80/2m/E7E7E7E7E7": ["InvalidURIError", "RuntimeError"],
        "radio://0/80/2M/E7E7E7E7E7?foo=1": ["InvalidURIError", "RuntimeError"],
        "radio://0/99999999999/2M/E7E7E7E7E7": ["InvalidURIError", "IndexError"],
        "radio://0/80/2M/*": ["InvalidURIError", "ValueError"],
        "radio://4/80/2M/E7E7E7E7E7": ["NoSuchDeviceError", "RuntimeError"],
        "usb://3": ["NoSuchDeviceError", "RuntimeError"],
    }
    succeeded(call("pythonic_side:open_errors", json.dumps(expected)))
    conflicts = [RADIO_URI + "?safelink=0", "radio://*/80/2M/E7E7E7E7E7"]
    succeeded(call("pythonic_side:hold_and_fail", RADIO_URI, json.dumps(conflicts)))
    succeeded(call("pythonic_side:hold_and_fail", "usb://0", json.dumps(["usb://0"])))


def test_a_device_this_user_may_not_open_is_access_denied(bench: BenchSession) -> None:
    bench.add_dongle("EMU0").deny_access()
    bench.add_usb_robot("EMUR0").deny_access()
    expected = {uri: ["AccessDeniedError NoSuchDeviceError LinkFailedError", "RuntimeError"]
                for uri in (RADIO_URI, "radio://*/80/2M/E7E7E7E7E7", "usb://0")}
    succeeded(call("pythonic_side:open_errors", json.dumps(expected)))


@pytest.mark.parametrize("uri", [RADIO_URI, RADIO_URI + "?safelink=0", "usb://0"])
def test_a_link_in_a_with_block(bench: BenchSession, uri: str) -> None:
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    bench.add_usb_robot("EMUR0")
    succeeded(call("pythonic_side:round_trip", uri))


def test_close_from_another_thread_wakes_a_waiting_recv(bench: BenchSession) -> None:
    bench.add_usb_robot("EMUR0")
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    succeeded(call("pythonic_side:close_wakes_receivers", "usb://0"))
    succeeded(call("pythonic_side:close_wakes_receivers", RADIO_URI))


def test_ctrl_c_interrupts_recv_without_timeout(bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    process = start_call("pythonic_side:wait_for_interrupt", RADIO_URI)
    err = ""
    try:
        read_line(process, "waiting")
        # Signalled until it ends: a signal may come before recv began.
        for _ in range(int(BOUND_S / SIGNAL_PERIOD_S)):
            process.send_signal(signal.SIGINT)
            try:
                _, err = process.communicate(timeout=SIGNAL_PERIOD_S)
                break
            except subprocess.TimeoutExpired:
                continue
    finally:
        process.kill()
    assert process.returncode == 3, f"recv went on waiting after Ctrl-C: {err}"


def test_an_unplug_is_device_gone_for_recv_and_the_notifier(bench: BenchSession) -> None:
    robot = bench.add_usb_robot("EMUR0")
    process = start_call("pythonic_side:wait_for_unplug", "usb://0")
    try:
        read_line(process, "ready")
        robot.unplug()
        _, err = process.communicate(timeout=BOUND_S)
    finally:
        process.kill()
    assert process.returncode == 0, err


def test_a_notifier_calls_its_listeners_in_order(bench: BenchSession) -> None:
    bench.add_usb_robot("EMUR0")
    succeeded(call("pythonic_side:notify", "usb://0"))


def test_asyncio_receiving_cancelled_and_shut_down_leaves_nothing(bench: BenchSession) -> None:
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    succeeded(call("pythonic_side:asyncio_receiver", RADIO_URI))


def listed_devices() -> str:
    result = run_orva("devices", "--json")
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_listed_ids_are_those_a_fresh_orvapy_uses(bench: BenchSession) -> None:
    # More than nine devices on a bus, so that their sysfs names sort as
    # text ("1-10" before "1-2"), a refused dongle that takes no number, and
    # devices unplugged and plugged back (new device numbers).
    dongles = {serial: bench.add_dongle(serial) for serial in
               ("D0", "D1", "D2", "D3", "D4", "D5", "D6", "D7", "D8")}
    robots = {serial: bench.add_usb_robot(serial) for serial in ("R0", "R1", "R2")}
    dongles["D4"].deny_access()
    dongles["D1"].unplug()
    robots["R0"].unplug()
    dongles["D1"].replug()
    robots["R0"].replug()
    output = listed_devices()
    listed = json.loads(output)
    assert [device["serial"] for device in listed["inaccessible"]] == ["D4"]
    assert listed["inaccessible"][0]["id"] is None
    assert sorted(device["serial"] for device in listed["devices"]) == \
        ["D0", "D1", "D2", "D3", "D5", "D6", "D7", "D8", "R0", "R1", "R2"]
    for kind in ("dongle", "robot"):
        ids = [device["id"] for device in listed["devices"] if device["kind"] == kind]
        assert ids == list(range(len(ids)))
    succeeded(call("pythonic_side:send_ids", output))
    for device in listed["devices"]:
        serial = device["serial"]
        if device["kind"] == "dongle":
            sent = [packet[1:] for packet in dongles[serial].bulk_out_log if packet[0] >> 4 == 1]
        else:
            sent = [packet[1:] for packet in robots[serial].received]
        assert sent and set(sent) == {bytes([device["id"]])}, (serial, device["id"], sent)


def test_the_python_usb_ids_are_the_librarys() -> None:
    header = next(REPOSITORY.glob("src/**/USBIds.hpp")).read_text()
    defined = {name: (int(vendor, 16), int(product, 16)) for name, vendor, product in re.findall(
        r"USBIds (\w+)\{(0x[0-9a-fA-F]+), (0x[0-9a-fA-F]+)\}", header)}
    assert orva.hardware.KINDS == {defined["SkelderIds"]: "dongle",
                                   defined["KorvaneUSBIds"]: "robot"}


def capture_of_one_send(tmp_path: Path, uri: str) -> Path:
    path = tmp_path / "send.pcapng"
    done = subprocess.run([sys.executable, "-m", "orvaemu.call", "library_side:send_once", uri],
                          env=environment({"ORVAPY_CAPTURE": str(path)}), capture_output=True,
                          text=True, timeout=BOUND_S)
    assert done.returncode == 0, done.stderr
    return path


def test_capture_records_read_as_typed_values(bench: BenchSession, tmp_path: Path) -> None:
    bench.add_usb_robot("ROBOT")
    path = capture_of_one_send(tmp_path, "usb://0")
    records = orva.capture.read(path)
    kinds = [type(record).__name__ for record in records]
    assert kinds[0] == "WorkerStarted" and kinds[-1] == "WorkerStopped", kinds
    writes = [record for record in records if isinstance(record, orva.capture.CableWrite)]
    # Port 1 in the header's high bits; the payload after it.
    assert [(write.taken, write.seq, write.data[0] >> 4, write.data[1:]) for write in writes] == \
        [(True, 0, 1, b"\x42")]
    assert writes[0].interface == "usb 0 ROBOT" and writes[0].uri == "usb://0"
    assert writes[0].device is orva.capture.DeviceKind.CABLE_ROBOT
    assert all(record.time_us >= records[0].time_us for record in records)
    assert [str(int(record.type)) for record in records] == \
        [entry.split("|")[0] for entry in decoded_types(path)]

    # A file cut in its last block gives every record before it.
    whole = path.read_bytes()
    cut = tmp_path / "cut.pcapng"
    cut.write_bytes(whole[:-6])
    assert orva.capture.read(cut) == records[:-1]
    cut.write_bytes(whole.replace(b"\x01\x02\x02", b"\x07\x02\x02", 1))
    with pytest.raises(orva.capture.CaptureFormatError, match="version 7"):
        orva.capture.read(cut)

    shown = run_orva("capture", "show", str(path))
    assert shown.returncode == 0, shown.stderr
    lines = shown.stdout.splitlines()
    assert len(lines) == len(records) and "CableWrite" in shown.stdout
    as_json = run_orva("capture", "show", str(path), "--json")
    assert json.loads(as_json.stdout)[kinds.index("CableWrite")]["data"] == writes[0].data.hex()
    refused = run_orva("capture", "show", str(tmp_path / "none.pcapng"))
    assert refused.returncode == 1 and "cannot read" in refused.stderr
    assert "Traceback" not in refused.stderr


def test_capture_json_sums_up_the_file(bench: BenchSession, tmp_path: Path) -> None:
    bench.add_usb_robot("ROBOT")
    path = tmp_path / "run.pcapng"
    result = run_orva("capture", "-o", str(path), "--json", "--", sys.executable, "-m",
                      "orvaemu.call", "library_side:send_once", "usb://0")
    assert result.returncode == 0, result.stderr
    summary = json.loads(result.stdout)
    assert summary["exit_status"] == 0 and summary["readable"]
    assert summary["by_type"]["CableWrite"] == 1
    assert summary["records"] == len(orva.capture.read(path))


def test_every_command_takes_json() -> None:
    for command in (["devices"], ["scan"], ["ping", "usb://0"], ["capture"]):
        result = run_orva(*command, "--help")
        assert "--json" in result.stdout, command


def test_remote_links_say_what_to_install() -> None:
    if importlib.util.find_spec("zenoh") is not None:
        pytest.skip("zenoh is installed")
    with pytest.raises(orva.LinkError) as raised:
        orva.open("zenoh://nowhere/radio://0/80/2M/E7E7E7E7E7")
    text = str(raised.value)
    assert "zenoh" in text and "pip install" in text, text


def fake_device(root: Path, name: str, vendor_product: str, serial: str,
                held: bool = False) -> None:
    folder = root / "devices" / name
    folder.mkdir(parents=True)
    vendor, product = vendor_product.split(":")
    bus, devnum = name.split("-")[0], 10 + len(list((root / "devices").iterdir()))
    for attribute, value in (("idVendor", vendor), ("idProduct", product), ("busnum", bus),
                             ("devnum", str(devnum)), ("bcdDevice", "0203"),
                             ("serial", serial), ("bConfigurationValue", "1")):
        (folder / attribute).write_text(value + "\n")
    if held:
        (folder / f"{name}:1.0").mkdir()
        (folder / f"{name}:1.0" / "driver").mkdir()
    (root / "bus").mkdir(exist_ok=True)
    (root / "bus" / name).symlink_to(folder)
    node = root / "dev" / f"{int(bus):03d}" / f"{devnum:03d}"
    node.parent.mkdir(parents=True, exist_ok=True)
    node.write_text("")


def test_a_held_device_takes_no_id_and_ports_come_from_the_name(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    fake_device(tmp_path, "1-4.2", "1915:7777", "A")
    fake_device(tmp_path, "1-4.3", "1915:7777", "B", held=True)
    fake_device(tmp_path, "1-4.4", "1915:7777", "C")
    fake_device(tmp_path, "2-1", "0483:5740", "R")
    fake_device(tmp_path, "2-2", "1234:5678", "OTHER")
    monkeypatch.setattr(orva.hardware, "SYSFS_DEVICES", tmp_path / "bus")
    monkeypatch.setattr(orva.hardware, "DEV_ROOT", tmp_path / "dev")
    listed = [(device.kind, device.id, device.serial, device.position, device.busy)
              for device in orva.devices()]
    assert listed == [("dongle", 0, "C", "1-4.4", False), ("dongle", 1, "A", "1-4.2", False),
                      ("robot", 0, "R", "2-1", False), ("dongle", None, "B", "1-4.3", True)]
    assert orva.devices()[0].firmware == "2.03"


def test_the_tour_example_runs_on_the_bench() -> None:
    env = {key: value for key, value in environment().items() if key != "UMOCKDEV_DIR"}
    result = subprocess.run(
        [sys.executable, "-m", "orvaemu", "--dongle", "EMU0", "--radio-robot", "80/2M",
         "--usb-robot", "EMUR0", "--", sys.executable, str(REPOSITORY / "examples" / "orva_tour.py")],
        capture_output=True, text=True, timeout=BOUND_S * 4, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "cable echoes: [b'\\x00', b'\\x01', b'\\x02']" in result.stdout
    assert "asyncio echo: b'async'" in result.stdout
    assert re.search(r"captured \d+ records, [1-9]\d* radio exchanges", result.stdout)


def test_the_benchs_own_records_read_as_typed_values(bench: BenchSession,
                                                      tmp_path: Path) -> None:
    path = tmp_path / "devices.pcapng"
    bench.bench.capture = str(path)
    robot = bench.add_usb_robot("ROBOT")
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    succeeded(call("library_side:send_once", "usb://0"))
    succeeded(call("library_side:send_once", RADIO_URI + "?safelink=0&autoping=0"))
    robot.unplug()
    bench.bench.capture = None
    records = orva.capture.read(path)
    cable = [record for record in records if record.interface == "usb ROBOT"]
    writes = [record for record in cable if isinstance(record, orva.capture.DeviceCableWrite)]
    assert [(write.taken, write.data[1:]) for write in writes] == [(True, b"\x42")]
    plugs = [record.plugged for record in cable if isinstance(record, orva.capture.DevicePlug)]
    assert plugs == [True, False]
    exchanges = [record for record in records
                 if isinstance(record, orva.capture.DeviceRadioExchange)]
    assert exchanges and exchanges[0].interface == "dongle EMU0"
    sent = [exchange for exchange in exchanges if exchange.received[1:] == b"\x42"]
    assert sent and sent[0].answered and sent[0].status & 1, sent
    assert all(record.uri is None for record in records)
