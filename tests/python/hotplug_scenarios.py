"""Unplugging and plugging back devices, one scenario per fresh process.

Run as `python -m hotplug_scenarios NAME` under the umockdev preload: the
link registry lives once per process and sees only the devices of a bench
made before it, so each scenario needs a process of its own. Each prints one
line "RESULT " + JSON; scans print their errors on the same output.
"""
import sys
import time
from typing import Callable, List, Optional, Sequence, Tuple

import orvaemu
from orvapy import Connection, Packet
from scenario_tools import error_of, report, wait_for

FOUND = ["usb://0", "radio://*/80/2M/E7E7E7E7E7"]



def answers(connection: Connection, bound: float = 20.0) -> bool:
    """Whether the robot echoes a packet sent on the connection."""
    p = Packet()
    p.port = 1
    p.payload = b"hp"
    connection.send(p)
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        reply = connection.recv(100)
        if reply.valid and bytes(reply.payload) == b"hp":
            return True
    return False


def bench_with_dongle_and_cable() -> Tuple[orvaemu.Bench, List[orvaemu.USBDevice]]:
    bench = orvaemu.Bench()
    devices = [bench.add_dongle("EMU0"), bench.add_usb_robot("EMUR0")]
    bench.add_radio_robot(80, "2M")
    return bench, devices


def serve_after_scan(found: Sequence[str]) -> List[bool]:
    """Opens each found URI and tells whether its robot answers at once."""
    connections = [Connection(uri) for uri in found]
    try:
        return [answers(c) for c in connections]
    finally:
        for c in connections:
            c.close()


def idle() -> None:
    """Devices unplugged and plugged back while nothing used them."""
    bench, devices = bench_with_dongle_and_cable()
    before = Connection.scan()
    for device in devices:
        device.unplug()
    for device in devices:
        device.replug()
    after = Connection.scan()
    report(before=before, after=after, answers=serve_after_scan(after))


def failing() -> None:
    """Devices unplugged while in use, so that their connections failed."""
    bench, devices = bench_with_dongle_and_cable()
    old = [Connection("radio://0/80/2M/E7E7E7E7E7"), Connection("usb://0")]
    answered = [answers(c) for c in old]
    for device in devices:
        device.unplug()
    wait_for(lambda: all(error_of(lambda: c.statistics) for c in old))
    failures = [error_of(lambda: c.statistics) for c in old]
    for device in devices:
        device.replug()
    after = Connection.scan()
    new = [Connection(uri) for uri in after]
    new_answers = [answers(c) for c in new]
    closes = [error_of(c.close) for c in old]
    report(answered=answered, failures=failures, after=after, new_answers=new_answers,
           closes=closes, still_answer=[answers(c) for c in new],
           second_closes=[error_of(c.close) for c in old])
    for c in new:
        c.close()


def gone() -> None:
    """Closing connections whose devices left and were forgotten by a scan."""
    bench, devices = bench_with_dongle_and_cable()
    old = [Connection("radio://0/80/2M/E7E7E7E7E7"), Connection("usb://0")]
    for device in devices:
        device.unplug()
    wait_for(lambda: all(error_of(lambda: c.statistics) for c in old))
    after = Connection.scan()
    report(after=after, closes=[error_of(c.close) for c in old])


if __name__ == "__main__":
    globals()[sys.argv[1]]()
