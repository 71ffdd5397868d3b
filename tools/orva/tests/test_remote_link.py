"""A zenoh:// URI opens the same orva.Link as a local one: iteration, the
Notifier, asyncio and the error types work unchanged over a server."""
from __future__ import annotations

import asyncio
import threading
from typing import Iterator, List

import pytest
from orvaemu.pytest_plugin import BenchSession

import orva
from remote_side import EVENT_BOUND_S, Server, free_port

URI = "zenoh://bench/usb/0"


@pytest.fixture
def served(bench: BenchSession, monkeypatch: pytest.MonkeyPatch) -> Iterator[Server]:
    bench.add_usb_robot("EMUR0")
    server = Server(bench, free_port(), "bench")
    monkeypatch.setenv("ORVA_ZENOH_CONNECT", server.endpoint)
    try:
        yield server
    finally:
        server.stop()


def test_link_iteration_notifier_and_statistics(served: Server) -> None:
    with orva.open(URI) as link, orva.open(URI) as watcher:
        assert link.connection is None
        heard: List[orva.Packet] = []
        done = threading.Event()

        def on_packet(packet: orva.Packet) -> None:
            heard.append(packet)
            if len(heard) == 3:
                done.set()

        with orva.Notifier(watcher, [on_packet]):
            for number in range(3):
                link.send(1, 0, bytes([number]))
            got = []
            for packet in link:
                got.append(packet.payload)
                if len(got) == 3:
                    break
            assert done.wait(EVENT_BOUND_S), f"the notifier heard {heard}"
        assert got == [b"\x00", b"\x01", b"\x02"]
        assert [p.payload for p in heard] == got
        assert link.statistics.sent_count == 3
    assert link.closed
    with pytest.raises(orva.LinkClosedError):
        link.send(1, 0, b"")


def test_asyncio_and_server_gone(served: Server) -> None:
    async def fly() -> bytes:
        async with orva.aio.open(URI) as link:
            link.send(1, 0, b"async")
            packet = await asyncio.wait_for(link.recv(), EVENT_BOUND_S)
            assert packet is not None
            served.kill()
            with pytest.raises(orva.ServerGoneError):
                await asyncio.wait_for(link.recv(), EVENT_BOUND_S)
            return packet.payload

    assert asyncio.run(fly()) == b"async"
