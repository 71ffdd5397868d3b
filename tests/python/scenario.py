"""Runs an orvapy scenario in a process of its own.

The link registry lives once per process and only sees the devices of a bench
that existed before it started, so every end-to-end scenario gets a fresh
process: it builds its bench first, then uses orvapy, and prints one JSON
document for the test to check.
"""
import json
import os
import subprocess
import sys
import textwrap
from typing import Any, List, Tuple

import pytest

PRELUDE = """
import json, sys, threading, time
import orvaemu, orvapy
from orvapy import Connection, Packet

def packet(port, payload, channel=0):
    p = Packet()
    p.port = port
    p.channel = channel
    p.payload = payload
    return p

def receive(connection, accept=lambda p: True, bound=20.0):
    # Waits for an accepted packet, without assuming anything about timing.
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        p = connection.recv(100)
        if p.valid and accept(p):
            return p
    raise AssertionError("nothing arrived")

def seq_of(p):
    # Python sees a packet's sequence number only in its text form.
    return int(repr(p).rsplit(",seq=", 1)[1][:-1])

def counts(connection):
    # All four counters, from the statistics' text form.
    text = repr(connection.statistics)[len("Statistics("):-1]
    return {name: int(value) for name, value in (item.split("=") for item in text.split(","))}

def wait_for(condition, bound=20.0):
    deadline = time.monotonic() + bound
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached")
        time.sleep(0.002)

def report(**values):
    print("RESULT " + json.dumps(values), flush=True)
"""


def run_scenario(body: str, timeout: float = 240) -> Tuple[Any, List[str]]:
    """Runs the scenario's code after PRELUDE; returns (its report, its other output lines)."""
    orvaemu = pytest.importorskip("orvaemu")
    if not orvaemu.preloaded():
        pytest.skip("run pytest under LD_PRELOAD=libumockdev-preload.so.0 (make python-test)")
    env = {key: value for key, value in os.environ.items() if key != "UMOCKDEV_DIR"}
    code = PRELUDE + textwrap.dedent(body)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=timeout, env=env)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    lines = result.stdout.splitlines()
    reports = [line[len("RESULT "):] for line in lines if line.startswith("RESULT ")]
    assert len(reports) == 1, result.stdout[-3000:]
    return json.loads(reports[0]), [line for line in lines if not line.startswith("RESULT ")]
