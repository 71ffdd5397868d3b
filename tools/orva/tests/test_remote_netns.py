"""A client on another machine, played by a network namespace: the server and
the client each in a namespace of this test's own, joined by a veth pair, the
client reaching the server's endpoint on the pair's addresses."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, Iterator, List

import pytest
import orvaemu
from orvaemu.pytest_plugin import BenchSession

from orva_runner import environment
from remote_side import EVENT_BOUND_S, Server

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or shutil.which("ip") is None,
                                reason="network namespaces need root and iproute2")

SERVER_ADDRESS = "10.213.47.1"
CLIENT_ADDRESS = "10.213.47.2"
PORT = 7447
URI = "zenoh://arena/radio/0/80/2M/E7E7E7E7E7"
# A short lease, so that a cut link is noticed in seconds (Zenoh's own setting).
LEASE_CONFIG = "{ transport: { link: { tx: { lease: 2000, keep_alive: 4 } } } }\n"


def ip(*arguments: str) -> None:
    subprocess.run(["ip", *arguments], check=True, timeout=EVENT_BOUND_S,
                   env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})


class Namespaces:
    def __init__(self) -> None:
        tag = f"{os.getpid() % 100000}"
        self.server, self.client = f"orva-s{tag}", f"orva-c{tag}"
        self.server_end, self.client_end = f"ors{tag}", f"orc{tag}"
        ip("netns", "add", self.server)
        ip("netns", "add", self.client)
        ip("link", "add", self.server_end, "type", "veth", "peer", "name", self.client_end)
        ip("link", "set", self.server_end, "netns", self.server)
        ip("link", "set", self.client_end, "netns", self.client)
        for ns, end, address in ((self.server, self.server_end, SERVER_ADDRESS),
                                 (self.client, self.client_end, CLIENT_ADDRESS)):
            ip("-n", ns, "addr", "add", f"{address}/30", "dev", end)
            ip("-n", ns, "link", "set", end, "up")
            ip("-n", ns, "link", "set", "lo", "up")

    def cut(self, cut: bool) -> None:
        ip("-n", self.client, "link", "set", self.client_end, "down" if cut else "up")

    def delete(self) -> None:
        for ns in (self.client, self.server):
            subprocess.run(["ip", "netns", "del", ns], timeout=EVENT_BOUND_S)


@pytest.fixture
def namespaces() -> Iterator[Namespaces]:
    made = Namespaces()
    try:
        yield made
    finally:
        made.delete()


def start_client(namespaces: Namespaces, config: Path, then: str) -> "subprocess.Popen[str]":
    env: Dict[str, str] = environment({"ORVA_ZENOH_CONNECT": f"tcp/{SERVER_ADDRESS}:{PORT}",
                                       "ORVA_ZENOH_CONFIG": str(config)})
    env.pop("LD_PRELOAD", None)
    return subprocess.Popen(["ip", "netns", "exec", namespaces.client, sys.executable, "-m",
                             "orvaemu.call", "remote_side:echo_through", URI, then],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def lines_of(client: "subprocess.Popen[str]") -> List[str]:
    try:
        out, err = client.communicate(timeout=EVENT_BOUND_S)
    except subprocess.TimeoutExpired:
        client.kill()
        out, err = client.communicate()
        raise AssertionError(f"the client did not end within {EVENT_BOUND_S} s: {out} {err}")
    assert client.returncode == 0, err
    return out.split()


def wait_ready(client: "subprocess.Popen[str]") -> None:
    assert client.stdout is not None
    assert [client.stdout.readline(), client.stdout.readline()] == ["echoed\n", "ready\n"]


def test_echo_across_namespaces_through_kill_restart_and_cut(
        bench: BenchSession, namespaces: Namespaces, tmp_path: Path) -> None:
    bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    config = tmp_path / "lease.json5"
    config.write_text(LEASE_CONFIG)

    def serve() -> Server:
        return Server(bench, PORT, "arena", ["--config", str(config)],
                      netns=namespaces.server, address=SERVER_ADDRESS,
                      preload=orvaemu.preload())

    server = serve()
    try:
        assert lines_of(start_client(namespaces, config, "close")) == ["echoed"]

        # The server killed: the waiting client hears it, and after a restart a new one flies.
        client = start_client(namespaces, config, "wait")
        wait_ready(client)
        server.kill()
        assert lines_of(client) == ["ServerGoneError"]
        server = serve()
        assert lines_of(start_client(namespaces, config, "close")) == ["echoed"]

        # The link cut: both sides give up after the lease; joined again, a client flies.
        client = start_client(namespaces, config, "wait")
        wait_ready(client)
        namespaces.cut(True)
        assert lines_of(client) == ["ServerGoneError"]
        namespaces.cut(False)
        assert lines_of(start_client(namespaces, config, "close")) == ["echoed"]
    finally:
        server.stop()
