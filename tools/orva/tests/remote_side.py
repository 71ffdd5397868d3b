"""A link server on the emulated bench and clients of it, for the remote tests.

The server is `orva serve` in a child process that sees the bench; clients
run in the test process or in children, and reach it on a loopback port of
the test's own.
"""
from __future__ import annotations

import os
import signal
import socket
import subprocess
import threading
import time
from typing import Callable, List, Optional

from orvaemu.pytest_plugin import BenchSession

from orva_runner import environment, orva_command

# Bounds of waits that end at once when all goes well.
START_BOUND_S = 60.0
EVENT_BOUND_S = 30.0


def free_port() -> int:
    """A loopback port nobody listens on now (each test its own, since
    other suites may run servers on this machine meanwhile)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def wait_until(condition: Callable[[], bool], what: str, bound: float = EVENT_BOUND_S) -> None:
    deadline = time.monotonic() + bound
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not within {bound:g} s")
        time.sleep(0.02)


class Server:
    """`orva serve` as a child; its standard error is collected line by line."""

    def __init__(self, bench: Optional[BenchSession], port: int, node: str = "bench",
                 extra: Optional[List[str]] = None, netns: Optional[str] = None,
                 address: str = "127.0.0.1", preload: str = "", protocol: str = "tcp") -> None:
        self.node = node
        self.endpoint = f"{protocol}/{address}:{port}"
        env = bench.environment() if bench is not None else environment()
        env["PYTHONPATH"] = environment(env)["PYTHONPATH"]
        # ip itself runs without the preload, the server under it.
        prefix = ["env", "-u", "LD_PRELOAD", "ip", "netns", "exec", netns,
                  "env", f"LD_PRELOAD={preload}"] if netns else []
        self.process = subprocess.Popen(
            [*prefix, *orva_command(), "serve", "--name", node, "--listen", self.endpoint,
             *(extra or [])],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
        self.lines: List[str] = []
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()
        try:
            wait_until(lambda: any("serving" in line for line in self.lines) or
                       self.process.poll() is not None, "orva serve starting", START_BOUND_S)
            assert self.process.poll() is None, "".join(self.lines)
        except AssertionError:
            self.process.kill()
            self.process.wait(EVENT_BOUND_S)
            raise

    def _collect(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            self.lines.append(line)

    def said(self, text: str) -> bool:
        return any(text in line for line in self.lines)

    def kill(self) -> None:
        self.process.kill()
        self.process.wait(EVENT_BOUND_S)

    def stop(self) -> int:
        """SIGTERM, as a service manager stops it; the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(EVENT_BOUND_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(EVENT_BOUND_S)
            raise AssertionError("orva serve did not stop on SIGTERM") from None


def echo_through(uri: str, then: str = "close") -> int:
    """A client run by the tests in a process of its own: opens ``uri``,
    echoes three packets and prints "echoed". With ``then`` "wait", it then
    waits for the link to end and prints the type of the error that ended it
    and how long that took after "ready"."""
    from orva.remote import open_transport
    from orva.remote._contract import LinkError, Packet

    transport = open_transport(uri)
    try:
        for number in range(3):
            transport.send(Packet(1, 0, bytes([number])))
        heard: "list[bytes]" = []
        while len(heard) < 3:
            packet = transport.recv(EVENT_BOUND_S)
            assert packet is not None, f"only {heard} came back"
            if packet.port == 1:
                heard.append(packet.payload)
        assert heard == [b"\x00", b"\x01", b"\x02"], heard
        print("echoed", flush=True)
        if then == "wait":
            print("ready", flush=True)
            try:
                while transport.recv(None) is not None:
                    pass
            except LinkError as error:
                print(type(error).__name__, flush=True)
    finally:
        transport.close()
    return 0


def second_program(uri: str, count: str) -> int:
    """The other program sharing a robot: once told "go" on standard input,
    sends ``count`` packets (0xB, n), hears 2 * ``count`` on port 1, prints
    their payloads in hex as JSON, and leaves."""
    import json
    import sys

    from orva.remote import open_transport
    from orva.remote._contract import Packet

    transport = open_transport(uri)
    try:
        print("open", flush=True)
        assert sys.stdin.readline() == "go\n"
        for number in range(int(count)):
            transport.send(Packet(1, 0, bytes([0xB, number])))
        heard: "list[str]" = []
        while len(heard) < 2 * int(count):
            packet = transport.recv(EVENT_BOUND_S)
            assert packet is not None, f"only {len(heard)} packets came"
            if packet.port == 1:
                heard.append(packet.payload.hex())
        print(json.dumps(heard), flush=True)
    finally:
        transport.close()
    return 0
