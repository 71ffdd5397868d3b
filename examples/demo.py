"""Finds the reachable Korvane robots and exchanges a few packets with each.

Run it plainly with robots and dongles plugged in, or against an emulated
bench without any hardware:

    python3.9 -m orvaemu --dongle EMU0 --radio-robot 80/2M/E7E7E7E7E7 \\
        --usb-robot EMUR0 -- python3.9 examples/demo.py
"""
import statistics
import sys
import time
from typing import List, Optional, Tuple

import orvapy

ECHO_PORT = 1
EXCHANGES = 5
REPLY_TIMEOUT_MS = 1000


def echo_round_trip(connection: orvapy.Connection,
                    number: int) -> Optional[Tuple[orvapy.Packet, float]]:
    """Sends one packet and waits for the robot's reply on the same port;
    the reply and the round trip in milliseconds, or None."""
    packet = orvapy.Packet()
    packet.port = ECHO_PORT
    packet.channel = 0
    packet.payload = bytes([number, 0xA5, 0x5A])
    started = time.perf_counter()
    connection.send(packet)
    deadline = started + REPLY_TIMEOUT_MS / 1000
    while time.perf_counter() < deadline:
        reply = connection.recv(REPLY_TIMEOUT_MS)
        if reply.valid and reply.port == ECHO_PORT:
            return reply, (time.perf_counter() - started) * 1000
    return None


def talk_to(uri: str) -> None:
    print(f"\n{uri}")
    connection = orvapy.Connection(uri)
    try:
        times: List[float] = []
        for number in range(EXCHANGES):
            answer = echo_round_trip(connection, number)
            if answer is None:
                print(f"  packet {number}: no reply")
                continue
            reply, milliseconds = answer
            times.append(milliseconds)
            print(f"  packet {number}: {reply}  round trip {milliseconds:.2f} ms")
        if times:
            print(f"  median round trip {statistics.median(times):.2f} ms")
        print(f"  {connection.statistics}")
    finally:
        connection.close()


def main() -> int:
    print(f"orvapy {orvapy.__version__}: scanning...")
    started = time.perf_counter()
    found = orvapy.Connection.scan()
    print(f"found {len(found)} in {time.perf_counter() - started:.1f} s: {found}")
    if not found:
        print("no robot found: plug in a dongle or a robot, or see the README for the emulated bench")
        return 1
    for uri in found:
        talk_to(uri)
    return 0


if __name__ == "__main__":
    sys.exit(main())
