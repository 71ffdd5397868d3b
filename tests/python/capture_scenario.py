"""A capture made on the bench: a scan, then exchanges over radio (safelink
off and on, both lossy) and over a cable. Run as a program, with
ORVAPY_CAPTURE set, under the umockdev preload; reports what the library and
the bench counted. Given a path, the bench records the devices' side of it
there.
"""
import sys
import time
from typing import List, Union

import orvaemu
import orvapy
from scenario_tools import counts, packet, report, wait_for

PLAIN = "radio://0/80/2M/E7E7E7E7E7?safelink=0"
SAFE = "radio://0/40/1M/E7E7E7E7E7"
CABLE = "usb://0"


def echo(connection: orvapy.Connection, payloads: List[bytes]) -> None:
    """Sends the payloads and waits until each has come back."""
    for payload in payloads:
        connection.send(packet(1, payload))
    missing = set(payloads)
    deadline = time.monotonic() + 60.0
    while missing and time.monotonic() < deadline:
        reply = connection.recv(100)
        if reply.valid:
            missing.discard(bytes(reply.payload))
    assert not missing, missing


def control_log(device: orvaemu.USBDevice) -> List[List[Union[int, str]]]:
    return [[request, value, index, bytes(data).hex()]
            for request, value, index, data in device.control_log]


def main(argv: List[str]) -> int:
    bench = orvaemu.Bench()
    if argv:
        bench.capture = argv[0]
    dongle = bench.add_dongle("EMU0")
    robot = bench.add_usb_robot("EMUR0")
    plain_robot = bench.add_radio_robot(80, "2M")
    safe_robot = bench.add_radio_robot(40, "1M")
    for lossy, seed in ((plain_robot, 7), (safe_robot, 11)):
        lossy.loss = 0.25
        lossy.seed = seed

    found = orvapy.Connection.scan()
    connections = {uri: orvapy.Connection(uri) for uri in (PLAIN, SAFE, CABLE)}
    # Enough packets that some surely go out again after a loss (a resend),
    # however the pings before them met the robots' dice.
    payloads = [b"packet %d" % number for number in range(20)]
    # Without safelink an echo lost with its acknowledgement is gone for good:
    # what counts is that the robot heard every packet.
    for payload in payloads:
        connections[PLAIN].send(packet(1, payload))
    wait_for(lambda: all(any(p[1:] == payload for p in plain_robot.received)
                         for payload in payloads), bound=60.0)
    echo(connections[SAFE], payloads)
    echo(connections[CABLE], payloads)
    for connection in connections.values():
        connection.close()
    bench.capture = None  # the devices' file complete

    report(
        found=found,
        statistics={uri: counts(c.statistics) for uri, c in connections.items()},
        dongle_control=control_log(dongle),
        dongle_bulk_out=len(dongle.bulk_out_log),
        robot_control=control_log(robot),
        robot_bulk_out=len(robot.bulk_out_log),
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
