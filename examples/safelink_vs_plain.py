"""Safelink against plain links on a lossy radio.

Sends the same numbered packets to two robots, one over safelink (the
default) and one with safelink=0, and counts the echoes. Without safelink a
lost acknowledgement makes the packet go again, so the robot may echo it
twice, and an echo riding on a lost acknowledgement is gone. With safelink
every packet and every echo arrives exactly once.

    python3.9 -m orvaemu --dongle EMU0 --radio-robot 20/2M --radio-robot 60/2M \\
        --loss 0.3 --seed 5 -- python3.9 examples/safelink_vs_plain.py
"""
import collections
import sys
import time
from contextlib import closing
from typing import Counter, List

import orvapy

ECHO_PORT = 1
PACKETS = 30
# The plain link's echoes are collected until none came for this long.
QUIET_S = 2.0
BOUND_S = 30.0


def exchange(uri: str) -> "Counter[int]":
    """Sends the numbered packets and counts the echo of each number."""
    echoes: "Counter[int]" = collections.Counter()
    with closing(orvapy.Connection(uri)) as connection:
        for number in range(PACKETS):
            packet = orvapy.Packet()
            packet.port = ECHO_PORT
            packet.channel = 0
            packet.payload = bytes([number])
            connection.send(packet)
        deadline = time.monotonic() + BOUND_S
        last_echo = time.monotonic()
        # Until every number came back, and then nothing more for a while:
        # a late second echo still counts.
        while time.monotonic() < deadline:
            reply = connection.recv(50)
            if reply.valid and reply.port == ECHO_PORT:
                echoes[reply[0]] += 1
                last_echo = time.monotonic()
            elif time.monotonic() - last_echo > QUIET_S:
                break
    return echoes


def describe(name: str, echoes: "Counter[int]") -> List[str]:
    missing = [number for number in range(PACKETS) if echoes[number] == 0]
    twice = [number for number in range(PACKETS) if echoes[number] > 1]
    return [f"{name}: {len(echoes)}/{PACKETS} echoed, missing {missing}, "
            f"more than once {twice}"]


def main() -> int:
    safe = exchange("radio://0/20/2M/E7E7E7E7E7")
    plain = exchange("radio://0/60/2M/E7E7E7E7E7?safelink=0")
    for line in describe("safelink", safe) + describe("plain   ", plain):
        print(line)
    exactly_once = all(safe[number] == 1 for number in range(PACKETS))
    print("safelink delivered every echo exactly once" if exactly_once
          else "safelink lost or repeated an echo")
    return 0 if exactly_once else 1


if __name__ == "__main__":
    sys.exit(main())
