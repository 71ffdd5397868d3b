"""Links served by `orva serve` over Zenoh, on the emulated bench: shared
robots, typed errors, and messages from clients that do not play by the rules."""
from __future__ import annotations

import json
import os
import re
import shutil
import signal
import subprocess
import sys
from collections import Counter
from pathlib import Path
from typing import Dict, Iterator, List, Tuple

import pytest
import zenoh
from orvaemu.pytest_plugin import BenchSession

from orva.remote import open_transport
from orva.remote._contract import (DeviceGoneError, InvalidURIError, LinkClosedError,
                                   LinkError, NoSuchDeviceError, Packet, ServerGoneError)
from orva.remote.client import RemoteTransport
from orva.remote.config import client_config, server_config
from orva.remote.keys import Keys, link_key
from orva_runner import environment, orva
from remote_side import EVENT_BOUND_S, Server, free_port, wait_until

NODE = "bench"
RADIO = "radio://0/80/2M/E7E7E7E7E7"
REMOTE_RADIO = f"zenoh://{NODE}/radio/0/80/2M/E7E7E7E7E7"
ACCESS_CONTROL = Path(__file__).resolve().parents[3] / "docs" / "remote-acl.json5"


@pytest.fixture
def served(bench: BenchSession, monkeypatch: pytest.MonkeyPatch) -> Iterator[Server]:
    """The default bench served on a port of this test's own."""
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    bench.add_usb_robot("EMUR0")
    server = Server(bench, free_port(), NODE)
    monkeypatch.setenv("ORVA_ZENOH_CONNECT", server.endpoint)
    try:
        yield server
    finally:
        server.stop()


def receive_all(transport: RemoteTransport, count: int) -> List[Packet]:
    """The next ``count`` packets of port 1, where the tests send; the radio
    link's safelink handshake reply (port 15) is passed over."""
    packets: List[Packet] = []
    while len(packets) < count:
        packet = transport.recv(EVENT_BOUND_S)
        assert packet is not None, f"{len(packets)} of {count} packets came"
        if packet.port != 15:
            packets.append(packet)
    return packets


def echoes(transport: RemoteTransport, payloads: List[bytes]) -> List[bytes]:
    for payload in payloads:
        transport.send(Packet(1, 0, payload))
    return [packet.payload for packet in receive_all(transport, len(payloads))]


def accounted(name: str, payloads: List[bytes], count: int) -> None:
    """Every packet of both senders once, each sender's in its order."""
    counted = Counter(payloads)
    assert len(counted) == 2 * count and set(counted.values()) == {1}, (name, counted)
    for sender in (0xA, 0xB):
        numbers = [p[1] for p in payloads if p[0] == sender]
        assert numbers == list(range(count)), (name, sender, numbers)


def test_two_programs_share_one_robot_and_hear_every_packet(served: Server) -> None:
    count = 60
    first = open_transport(REMOTE_RADIO)
    other = subprocess.Popen([sys.executable, "-m", "orvaemu.call", "remote_side:second_program",
                              REMOTE_RADIO, str(count)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=environment())
    try:
        assert other.stdin is not None and other.stdout is not None
        assert other.stdout.readline() == "open\n", other.stderr
        # Both send at once; each payload names its sender and its number.
        other.stdin.write("go\n")
        other.stdin.flush()
        for number in range(count):
            first.send(Packet(1, 0, bytes([0xA, number])))
        accounted("this program", [p.payload for p in receive_all(first, 2 * count)], count)
        out, err = other.communicate(timeout=EVENT_BOUND_S)
        assert other.returncode == 0, err
        accounted("the other program", [bytes.fromhex(p) for p in json.loads(out)], count)
        assert first.recv(0.2) is None
        assert first.statistics().sent_count >= 2 * count

        # The other one has left; this one goes on, the link still open for it.
        assert echoes(first, [b"after", b"one", b"left"]) == [b"after", b"one", b"left"]
        assert not served.said("closed")
        first.close()
        with pytest.raises(LinkClosedError):
            first.recv(0)
    finally:
        first.close()
        if other.poll() is None:
            other.kill()
            other.wait(EVENT_BOUND_S)
    wait_until(lambda: served.said(f"closed {RADIO}"), "the link closed after its last client")
    # And opens anew for the next one.
    again = open_transport(REMOTE_RADIO)
    try:
        assert echoes(again, [b"again"]) == [b"again"]
    finally:
        again.close()


def test_cable_robot_statistics_and_close_waking_recv(served: Server) -> None:
    import threading
    transport = open_transport(f"zenoh://{NODE}/usb/0")
    assert echoes(transport, [bytes(range(31)), b""]) == [bytes(range(31)), b""]
    statistics = transport.statistics()
    assert statistics.sent_count == 2 and statistics.receive_count == 2
    woken: List[BaseException] = []

    def wait() -> None:
        try:
            transport.recv(None)
        except LinkError as error:
            woken.append(error)

    waiter = threading.Thread(target=wait)
    waiter.start()
    transport.close()
    waiter.join(EVENT_BOUND_S)
    assert [type(e) for e in woken] == [LinkClosedError]
    transport.close()


def test_open_errors_are_typed(served: Server, monkeypatch: pytest.MonkeyPatch,
                               tmp_path: Path) -> None:
    with pytest.raises(NoSuchDeviceError, match="No Skelder with id=5 found"):
        open_transport(f"zenoh://{NODE}/radio/5/80/2M/E7E7E7E7E7")
    for uri in (f"zenoh://{NODE}/fly/0", "zenoh:///usb/0", f"zenoh://{NODE}/radio/**/80/2M/E7",
                f"zenoh://{NODE}/usb/0/../../x", f"zenoh://a*b/usb/0", "radio://0/80/2M/E7E7E7E7E7"):
        with pytest.raises(InvalidURIError):
            open_transport(uri)
    # What the library refuses, it refuses with its own text, as locally.
    for path, text in (("radio/0/80/2M/*", "invalid stoull argument"),
                       ("radio/0/80/2M/E7E7E7E7E7?safe_link=1", "Unknown safe_link=1."),
                       ("radio/99999999999/80/2M/E7E7E7E7E7", "stoi argument out of range")):
        with pytest.raises(InvalidURIError, match=re.escape(text)):
            open_transport(f"zenoh://{NODE}/{path}")
    # One client per link and URI: a second spelling of an open robot conflicts as locally.
    held = open_transport(REMOTE_RADIO)
    try:
        with pytest.raises(LinkError, match="same settings"):
            open_transport(f"{REMOTE_RADIO}?safelink=0")
    finally:
        held.close()
    monkeypatch.setenv("ORVA_ZENOH_CONNECT", f"tcp/127.0.0.1:{free_port()}")
    with pytest.raises(ServerGoneError, match="no orva server reachable"):
        open_transport(REMOTE_RADIO)
    monkeypatch.setenv("ORVA_ZENOH_CONFIG", str(tmp_path / "missing.json5"))
    with pytest.raises(LinkError, match="Zenoh configuration of this client"):
        open_transport(REMOTE_RADIO)


def test_unplugged_dongle_ends_the_link_for_every_client(bench: BenchSession,
                                                         monkeypatch: pytest.MonkeyPatch) -> None:
    dongle = bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    server = Server(bench, free_port(), NODE)
    monkeypatch.setenv("ORVA_ZENOH_CONNECT", server.endpoint)
    clients = [open_transport(REMOTE_RADIO) for _ in range(2)]
    try:
        assert echoes(clients[0], [b"x"]) == [b"x"]
        dongle.unplug()
        for client in clients:
            with pytest.raises(DeviceGoneError):
                while client.recv(EVENT_BOUND_S) is not None:
                    pass
                raise AssertionError("no error within the bound")
            with pytest.raises(DeviceGoneError):
                client.send(Packet(1, 0, b"y"))
    finally:
        for client in clients:
            client.close()
        server.stop()


def test_server_killed_is_an_error_and_a_restart_serves_again(
        bench: BenchSession, monkeypatch: pytest.MonkeyPatch) -> None:
    bench.add_usb_robot("EMUR0")
    port = free_port()
    server = Server(bench, port, NODE)
    monkeypatch.setenv("ORVA_ZENOH_CONNECT", server.endpoint)
    transport = open_transport(f"zenoh://{NODE}/usb/0")
    try:
        server.kill()
        with pytest.raises(ServerGoneError, match="went away"):
            transport.recv(EVENT_BOUND_S)
            raise AssertionError("no error within the bound")
        with pytest.raises(ServerGoneError):
            transport.send(Packet(1, 0, b""))
    finally:
        transport.close()
    server = Server(bench, port, NODE)
    try:
        again = open_transport(f"zenoh://{NODE}/usb/0")
        assert echoes(again, [b"back"]) == [b"back"]
        again.close()
    finally:
        server.stop()


def hold_link_and_wait(uri: str) -> int:
    """A client in a child process: opens, says so, then waits to be killed."""
    transport = open_transport(uri)
    transport.send(Packet(1, 0, b"child"))
    assert transport.recv(EVENT_BOUND_S) is not None
    print("holding", flush=True)
    sys.stdin.read()
    return 0


def test_a_killed_client_is_noticed_and_its_link_closed(served: Server) -> None:
    child = subprocess.Popen([sys.executable, "-m", "orvaemu.call",
                              "test_remote:hold_link_and_wait", REMOTE_RADIO],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                             env=environment())
    try:
        assert child.stdout is not None
        assert child.stdout.readline() == "holding\n"
        wait_until(lambda: served.said(f"opened {RADIO}"), "the server opening the link")
        child.send_signal(signal.SIGKILL)
        child.wait(EVENT_BOUND_S)
        wait_until(lambda: served.said(f"closed {RADIO}"), "the link closing after a SIGKILL")
    finally:
        child.kill()
        child.wait(EVENT_BOUND_S)


class Hostile:
    """A bare Zenoh session that writes whatever it likes on the server's keys."""

    def __init__(self, endpoint: str) -> None:
        self.session = zenoh.open(client_config(connect=[endpoint]))
        self.keys = Keys(NODE)
        self.client = "f" * 32
        self.errors: List[str] = []
        self.token = self.session.liveliness().declare_token(self.keys.client(self.client))
        self.link = self.keys.link(link_key(RADIO))
        self.listener = self.session.declare_subscriber(
            self.link.error_to(self.client),
            lambda sample: self.errors.append(json.loads(sample.payload.to_bytes())["message"]))

    def ask(self, key: str, payload: bytes) -> Tuple[bool, str]:
        """(answered well, the text) of a query."""
        for reply in self.session.get(key, payload=payload, timeout=EVENT_BOUND_S):
            if reply.ok is not None:
                return True, reply.ok.payload.to_bytes().decode()
            assert reply.err is not None
            return False, json.loads(reply.err.payload.to_bytes())["message"]
        raise AssertionError(f"no reply to {key} within {EVENT_BOUND_S} s")

    def close(self) -> None:
        self.session.close()  # type: ignore[no-untyped-call]


def test_malformed_requests_get_a_clear_error_and_change_nothing(served: Server) -> None:
    hostile = Hostile(served.endpoint)
    fair = open_transport(REMOTE_RADIO)
    try:
        refused: Dict[bytes, str] = {
            b"": "JSON", b"\xff\xfe": "JSON", b"[1, 2]": "JSON object",
            b"{" + b" " * 5000 + b"}": "at most 4096 bytes",
            json.dumps({"uri": RADIO}).encode(): "client",
            json.dumps({"uri": RADIO, "client": "../x"}).encode(): "client",
            json.dumps({"uri": 7, "client": hostile.client}).encode(): "uri",
            json.dumps({"uri": "zenoh://bench/usb/0", "client": hostile.client}).encode():
                "Invalid uri",
            json.dumps({"uri": "radio://0/80/2M/E7E7E7E7E7/**", "client": hostile.client}
                       ).encode(): "Invalid uri",
            # A client whose liveliness token is unknown cannot hold a link.
            json.dumps({"uri": RADIO, "client": "e" * 32}).encode(): "no liveliness token",
        }
        for payload, phrase in refused.items():
            answered, text = hostile.ask(hostile.keys.open, payload)
            assert not answered and phrase in text, (payload[:40], text)
        answered, text = hostile.ask(f"{hostile.keys.scan}?address=XYZ", b"")
        assert not answered and "not a radio address" in text

        # Packets from a client that did not open the link go nowhere.
        hostile.session.put(hostile.link.tx_from(hostile.client), b"\x10ab")
        wait_until(lambda: len(hostile.errors) == 1, "the error to a stranger")
        assert "open the link first" in hostile.errors[0]

        # Attached, the hostile client's packets of wrong sizes and headers,
        # a bounded flood of them, are refused one by one.
        answered, text = hostile.ask(hostile.keys.open, json.dumps(
            {"uri": RADIO, "client": hostile.client}).encode())
        assert answered, text
        bad = [b"", b"\x10" + bytes(32), b"\x1c"] * 300
        for payload in bad:
            hostile.session.put(hostile.link.tx_from(hostile.client), payload,
                                congestion_control=zenoh.CongestionControl.BLOCK)
        wait_until(lambda: len(hostile.errors) == 1 + len(bad), "an error per malformed packet")
        assert "33 bytes came" in hostile.errors[2] and "bits 2 and 3" in hostile.errors[3]
        # A bounded flood of open requests, all at once: each is refused.
        refusals: List[bool] = []

        def note(reply: zenoh.Reply) -> None:
            refusals.append(reply.err is not None)

        for number in range(200):
            hostile.session.get(hostile.keys.open, note,
                                payload=json.dumps({"uri": f"usb://{number}", "client": "0" * 32}))
        wait_until(lambda: len(refusals) == 200, "an answer to every open request")
        assert all(refusals)
        # The fair client saw none of it and goes on.
        assert echoes(fair, [b"still", b"fine"]) == [b"still", b"fine"]
        assert fair.recv(0.2) is None
    finally:
        fair.close()
        hostile.close()


def test_devices_and_scan_through_servers(served: Server) -> None:
    listed = orva("devices", "--remote", "--json", env={"ORVA_ZENOH_CONNECT": served.endpoint})
    assert listed.returncode == 0, listed.stderr
    devices = json.loads(listed.stdout)["devices"]
    assert [(d["node"], d["serial"], d["uri"]) for d in devices] == [
        (NODE, "EMU0", f"zenoh://{NODE}/radio/0/CHANNEL/RATE/ADDRESS"),
        (NODE, "EMUR0", f"zenoh://{NODE}/usb/0")]
    table = orva("devices", "--remote", env={"ORVA_ZENOH_CONNECT": served.endpoint})
    assert table.returncode == 0 and f"zenoh://{NODE}/usb/0" in table.stdout
    scanned = orva("scan", "--remote", "--json", env={"ORVA_ZENOH_CONNECT": served.endpoint})
    assert scanned.returncode == 0, scanned.stderr
    assert [entry["uri"] for entry in json.loads(scanned.stdout)["found"]] == [
        f"zenoh://{NODE}/usb/0", f"zenoh://{NODE}/radio/*/80/2M/E7E7E7E7E7"]
    nobody = orva("devices", "--remote", env={"ORVA_ZENOH_CONNECT": f"tcp/127.0.0.1:{free_port()}"})
    assert nobody.returncode == 1 and "Traceback" not in nobody.stderr
    assert "no orva server" in nobody.stderr


def test_loopback_only_unless_configured(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delenv("ORVA_ZENOH_CONNECT", raising=False)
    monkeypatch.delenv("ORVA_ZENOH_CONFIG", raising=False)
    def listens(config: zenoh.Config) -> object:
        return json.loads(config.get_json("listen/endpoints"))

    assert listens(server_config()) == ["tcp/127.0.0.1:7447"]
    assert json.loads(server_config().get_json("scouting/multicast/enabled")) is False
    # A file that says nothing of endpoints gets loopback too; one that does is obeyed.
    quiet = tmp_path / "quiet.json5"
    quiet.write_text("{ transport: { link: { tx: { lease: 3000 } } } }")
    assert listens(server_config(str(quiet))) == ["tcp/127.0.0.1:7447"]
    wide = tmp_path / "wide.json5"
    wide.write_text('{ listen: { endpoints: ["tcp/192.0.2.1:7447"] } }')
    assert listens(server_config(str(wide))) == ["tcp/192.0.2.1:7447"]
    assert listens(server_config(str(quiet), listen=["tcp/192.0.2.2:1"])) == ["tcp/192.0.2.2:1"]
    assert json.loads(client_config().get_json("connect/endpoints")) == ["tcp/127.0.0.1:7447"]
    assert json.loads(client_config().get_json("mode")) == "client"


def test_access_control_keeps_clients_to_their_own_keys(
        bench: BenchSession, monkeypatch: pytest.MonkeyPatch) -> None:
    """With the documented access control, everything a client needs works
    and a client that publishes on the server's keys reaches nobody."""
    bench.add_usb_robot("EMUR0")
    server = Server(bench, free_port(), NODE, ["--config", str(ACCESS_CONTROL)])
    monkeypatch.setenv("ORVA_ZENOH_CONNECT", server.endpoint)
    hostile = Hostile(server.endpoint)
    fair = open_transport(f"zenoh://{NODE}/usb/0")
    try:
        link = hostile.keys.link("usb/0")
        hostile.session.put(link.rx, b"\x10fake")
        hostile.session.put(link.error, b'{"error": "ServerGoneError", "message": "fake"}')
        assert echoes(fair, [b"real", b"only"]) == [b"real", b"only"]
        assert fair.recv(0.5) is None
        assert fair.statistics().sent_count == 2
    finally:
        fair.close()
        hostile.close()
        server.stop()


def test_serve_refuses_bad_names_and_configurations(tmp_path: Path) -> None:
    bad_name = orva("serve", "--name", "lab/*")
    assert bad_name.returncode == 2 and "is not a server name" in bad_name.stderr
    broken = tmp_path / "broken.json5"
    broken.write_text("{ listen: ")
    for arguments in (["--config", str(broken)], ["--config", str(tmp_path / "missing")],
                      ["--listen", "tcp/not-an-endpoint"]):
        result = orva("serve", "--name", "x", *arguments)
        assert result.returncode == 1, (arguments, result.stderr)
        assert "Traceback" not in result.stderr and result.stderr.startswith("orva serve:")


def make_certificates(folder: Path) -> None:
    """A certificate authority of the test's own and a server certificate for localhost."""
    def run(*arguments: str) -> None:
        subprocess.run(["openssl", *arguments], check=True, capture_output=True,
                       timeout=EVENT_BOUND_S, cwd=folder)

    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
        "-days", "2", "-subj", "/CN=orva test authority")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
        "-subj", "/CN=localhost")
    (folder / "names.cnf").write_text("subjectAltName=DNS:localhost\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "names.cnf")


@pytest.mark.skipif(shutil.which("openssl") is None, reason="needs openssl to make certificates")
def test_tls_through_zenoh_configuration(bench: BenchSession, tmp_path: Path,
                                         monkeypatch: pytest.MonkeyPatch) -> None:
    make_certificates(tmp_path)
    server_file, client_file = tmp_path / "server.json5", tmp_path / "client.json5"
    server_file.write_text(json.dumps({"transport": {"link": {"tls": {
        "listen_private_key": str(tmp_path / "server.key"),
        "listen_certificate": str(tmp_path / "server.pem")}}}}))
    client_file.write_text(json.dumps({"transport": {"link": {"tls": {
        "root_ca_certificate": str(tmp_path / "ca.pem")}}}}))
    bench.add_usb_robot("EMUR0")
    server = Server(bench, free_port(), NODE, ["--config", str(server_file)], address="localhost",
                    protocol="tls")
    monkeypatch.setenv("ORVA_ZENOH_CONNECT", server.endpoint)
    try:
        # A client that does not know the authority is refused.
        with pytest.raises(ServerGoneError, match="no orva server reachable"):
            open_transport(f"zenoh://{NODE}/usb/0")
        monkeypatch.setenv("ORVA_ZENOH_CONFIG", str(client_file))
        trusted = open_transport(f"zenoh://{NODE}/usb/0")
        try:
            assert echoes(trusted, [b"sealed"]) == [b"sealed"]
        finally:
            trusted.close()
    finally:
        server.stop()


def test_without_zenoh_the_commands_say_what_to_install(tmp_path: Path) -> None:
    (tmp_path / "zenoh.py").write_text("raise ImportError('no zenoh here', name='zenoh')\n")
    hidden = {"PYTHONPATH": os.pathsep.join(filter(None, [str(tmp_path),
                                                          os.environ.get("PYTHONPATH")]))}
    assert orva("serve", "--help", env=hidden).returncode == 0
    for arguments in (["serve", "--name", "x"], ["devices", "--remote"], ["scan", "--remote"]):
        result = orva(*arguments, env=hidden)
        assert result.returncode == 1 and "pip install 'orva[remote]'" in result.stderr, result
        assert "Traceback" not in result.stderr
