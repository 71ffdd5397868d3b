"""What orva's Python layer does in a fresh process on the test's bench.
Each function asserts, so that a failure shows as a traceback and exit status
1; every wait is bounded."""
import asyncio
import json
import sys
import threading
import time
from typing import Dict, List, Optional, Tuple, Type

import orvapy

import orva
import orva.aio

BOUND_S = 30.0
BUILTINS: Dict[str, Type[BaseException]] = {
    "RuntimeError": RuntimeError, "IndexError": IndexError, "ValueError": ValueError}
HANDSHAKE = orva.Packet(15, 3, b"\x05\x01")


def orva_threads() -> List[str]:
    return [thread.name for thread in threading.enumerate() if thread.name.startswith("orva-")]


def recv_some(link: orva.Link, port: int) -> orva.Packet:
    """The next packet on ``port``, skipping others (handshake, acknowledgements)."""
    deadline = time.monotonic() + BOUND_S
    while time.monotonic() < deadline:
        packet = link.recv(timeout=1.0)
        if packet is not None and packet.port == port:
            return packet
    raise AssertionError(f"nothing came back on port {port}")


def round_trip(uri: str) -> None:
    """A with block: the handshake's reply first, then an echo; statistics,
    iteration until closed, close twice, use after close."""
    with orva.open(uri) as link:
        assert isinstance(link.connection, orvapy.Connection)
        assert link.uri == uri
        if "safelink=0" not in uri and uri.startswith("radio"):
            assert link.recv(timeout=BOUND_S) == HANDSHAKE
        link.send(1, 0, bytearray(b"\x01\x02"))
        link.send(1, 0, memoryview(b"\x03"))
        assert recv_some(link, 1).payload == b"\x01\x02"
        assert recv_some(link, 1).payload == b"\x03"
        statistics = link.statistics
        assert statistics.enqueued_count == 2, statistics
        assert statistics.receive_count >= 2 and statistics.sent_count >= 2, statistics
        closer = threading.Timer(0.3, link.close)
        closer.start()
        list(link)  # ends when the link is closed
        closer.join()
        assert link.closed
    link.close()
    try:
        link.send(1, 0, b"")
    except orva.LinkClosedError as error:
        assert isinstance(error, ValueError)
    else:
        raise AssertionError("send after close was taken")
    assert link.statistics.enqueued_count == 2  # still readable


def close_wakes_receivers(uri: str) -> None:
    """recv without a timeout and with a long one both end when another
    thread closes the link; a short timeout returns None."""
    for timeout in (None, 60.0):
        link = orva.open(uri)
        while link.recv(timeout=0.2) is not None:
            pass  # the handshake's reply and whatever else came first
        outcome: List[BaseException] = []

        def wait() -> None:
            try:
                link.recv(timeout)
            except BaseException as error:  # noqa: BLE001 (looked at below)
                outcome.append(error)
        waiter = threading.Thread(target=wait)
        waiter.start()
        time.sleep(0.2)
        link.close()
        waiter.join(BOUND_S)
        assert not waiter.is_alive(), f"recv({timeout}) went on waiting after close"
        assert len(outcome) == 1 and isinstance(outcome[0], orva.LinkClosedError), outcome


def wait_for_interrupt(uri: str) -> int:
    """Waits in recv() without a timeout until Ctrl-C."""
    link = orva.open(uri)
    while link.recv(timeout=0.2) is not None:
        pass
    try:
        print("waiting", flush=True)
    except KeyboardInterrupt:
        pass  # too early: the test signals again
    try:
        link.recv()
    except KeyboardInterrupt:
        link.close()
        return 3
    return 0


def wait_for_unplug(uri: str) -> int:
    """Reports the failure an unplug brings, through recv and a Notifier."""
    link = orva.open(uri)
    errors: List[BaseException] = []
    reported = threading.Event()

    class Errors(orva.Listener):
        def on_packet(self, packet: orva.Packet) -> None:
            pass

        def on_error(self, exc: BaseException) -> None:
            errors.append(exc)
            reported.set()
    notifier = orva.Notifier(link, [Errors()])
    print("ready", flush=True)
    assert reported.wait(BOUND_S), "the notifier heard of no failure"
    assert notifier.stop(BOUND_S)
    try:
        link.recv(timeout=BOUND_S)
    except orva.DeviceGoneError as error:
        assert isinstance(error, RuntimeError) and isinstance(error, orva.LinkFailedError)
        assert error.libusb_error == "LIBUSB_ERROR_NO_DEVICE" == str(error)
    else:
        raise AssertionError("recv after the unplug did not fail")
    assert [type(error) for error in errors] == [orva.DeviceGoneError], errors
    link.close()
    return 0


def notify(uri: str) -> None:
    """A Notifier hands every echo to each listener in order; a listener that
    raises hears of it and goes on; stop() ends the thread."""
    got: List[orva.Packet] = []
    plain: List[orva.Packet] = []
    faults: List[BaseException] = []
    three = threading.Event()

    class Collector(orva.Listener):
        def on_packet(self, packet: orva.Packet) -> None:
            if packet.port == 1:
                got.append(packet)
                if len(got) == 3:
                    three.set()
                if packet.payload == b"\x02":
                    raise KeyError("the listener's own fault")

        def on_error(self, exc: BaseException) -> None:
            faults.append(exc)
    class Duck:  # no Listener, no on_error
        def __init__(self) -> None:
            self.ports: List[int] = []

        def on_packet(self, packet: orva.Packet) -> None:
            self.ports.append(packet.port)
            raise ValueError("said to nobody")
    duck = Duck()
    with orva.open(uri) as link, \
            orva.Notifier(link, [Collector(), plain.append, duck]) as notifier:  # type: ignore[list-item]
        assert orva_threads() == [f"orva-notifier {uri}"]
        for number in range(1, 4):
            link.send(1, 0, bytes([number]))
        assert three.wait(BOUND_S), got
        assert [packet.payload for packet in got] == [b"\x01", b"\x02", b"\x03"]
        assert [type(fault) for fault in faults] == [KeyError]
        assert notifier.stop(BOUND_S)
        assert not notifier.running
    assert [packet.payload for packet in plain if packet.port == 1] == [b"\x01", b"\x02", b"\x03"]
    assert duck.ports.count(1) == 3
    assert orva_threads() == []
    with orva.open(uri) as link:
        try:
            orva.Notifier(link, [42])  # type: ignore[list-item]
        except TypeError:
            pass
        else:
            raise AssertionError("a number was taken for a listener")
    assert orva_threads() == []


def asyncio_receiver(uri: str) -> None:
    """async with, await recv, async for; a recv cancelled mid-wait, and the
    end of asyncio.run() with a receiver still waiting, leave no thread and
    no open connection behind."""
    async def main() -> None:
        async with orva.aio.open(uri) as link:
            assert await link.recv(timeout=BOUND_S) == HANDSHAKE
            waiting = asyncio.ensure_future(link.recv())
            await asyncio.sleep(0.2)
            assert not waiting.done()
            waiting.cancel()
            try:
                await waiting
            except asyncio.CancelledError:
                pass
            link.send(1, 0, b"\x07")
            async for packet in link:
                if packet.port == 1:
                    assert packet.payload == b"\x07"
                    break
            # Left waiting: asyncio.run() cancels it when main returns.
            asyncio.ensure_future(forever(link))
            await asyncio.sleep(0.1)

    async def forever(link: orva.aio.AsyncLink) -> None:
        async for _ in link:
            pass

    for _ in range(2):  # the second run opens the same settings: the first closed them
        asyncio.run(main())
        assert orva_threads() == [], orva_threads()

    async def unclosed() -> None:
        link = await orva.aio.open(uri)
        await link.recv(timeout=BOUND_S)
        # Dropped without closing: collected when this coroutine ends.
    asyncio.run(unclosed())
    assert orva_threads() == []
    with orva.open(uri):
        pass


def open_errors(uris_json: str) -> None:
    """Opens each URI and checks the classes of the error (names separated
    by blanks), its built-in base and that its text is orvapy's."""
    expected: Dict[str, Tuple[str, str]] = json.loads(uris_json)
    for uri, (kind_names, builtin_name) in expected.items():
        kinds = [getattr(orva, name) for name in kind_names.split()]
        builtin = BUILTINS[builtin_name]
        try:
            orvapy.Connection(uri).close()
        except Exception as error:  # noqa: BLE001 (compared below)
            library: Optional[BaseException] = error
        else:
            library = None
        try:
            orva.open(uri).close()
        except orva.LinkError as error:
            assert all(isinstance(error, kind) for kind in kinds), (uri, type(error).__mro__)
            assert isinstance(error, builtin), (uri, type(error).__mro__, builtin)
            assert library is not None and error.args == library.args, (uri, error, library)
            assert type(library) is builtin, (uri, library)
        else:
            raise AssertionError(f"{uri} opened")


def hold_and_fail(held: str, uris_json: str) -> None:
    """With ``held`` open, opening each URI fails with SettingsConflictError."""
    with orva.open(held):
        for uri in json.loads(uris_json):
            try:
                orva.open(uri).close()
            except orva.SettingsConflictError as error:
                assert isinstance(error, RuntimeError)
            else:
                raise AssertionError(f"{uri} opened beside {held}")


def send_ids(devices_json: str) -> None:
    """Sends one packet carrying its id through every listed device's id, and
    checks the robots' ids against Connection.scan()'s."""
    listed = json.loads(devices_json)["devices"]
    robots = sorted(device["id"] for device in listed if device["kind"] == "robot")
    scanned = [uri for uri in orvapy.Connection.scan() if uri.startswith("usb://")]
    assert scanned == [f"usb://{number}" for number in robots], (scanned, robots)
    for device in listed:
        uri = (f"radio://{device['id']}/80/2M/E7E7E7E7E7?safelink=0&autoping=0"
               if device["kind"] == "dongle" else f"usb://{device['id']}")
        with orva.open(uri) as link:
            link.send(1, 0, bytes([device["id"]]))
            deadline = time.monotonic() + BOUND_S
            while link.statistics.sent_count == 0:
                assert time.monotonic() < deadline, uri
                link.recv(timeout=0.01)


if __name__ == "__main__":
    print("run through orvaemu.call", file=sys.stderr)
