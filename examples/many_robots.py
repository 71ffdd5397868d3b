"""Several robots on one dongle: the dongle retunes between packets, so one
dongle serves every robot it can reach.

Finds the robots on the radio, opens one connection to each on dongle 0, and
exchanges packets with all of them at once.

    python3.9 -m orvaemu --dongle EMU0 --radio-robot 10/2M --radio-robot 40/1M \\
        --radio-robot 80/250K -- python3.9 examples/many_robots.py
"""
import sys
import time
from contextlib import ExitStack, closing
from typing import Dict, List

import orvapy

ECHO_PORT = 1
ROUNDS = 5
# Give up on the echoes after this long, in seconds.
BOUND_S = 20.0


def on_dongle_zero(uri: str) -> str:
    """radio://*/C/R/A as found by a scan, pinned to dongle 0."""
    return uri.replace("radio://*/", "radio://0/", 1)


def main() -> int:
    found = [uri for uri in orvapy.Connection.scan() if uri.startswith("radio://")]
    if not found:
        print("no robot answered on the radio")
        return 1
    with ExitStack() as stack:
        connections = [stack.enter_context(closing(orvapy.Connection(on_dongle_zero(uri))))
                       for uri in found]
        for round_number in range(ROUNDS):
            for connection in connections:
                packet = orvapy.Packet()
                packet.port = ECHO_PORT
                packet.channel = 0
                packet.payload = bytes([round_number])
                connection.send(packet)
        echoes: Dict[str, List[int]] = {connection.uri: [] for connection in connections}
        deadline = time.monotonic() + BOUND_S
        while time.monotonic() < deadline and any(len(got) < ROUNDS for got in echoes.values()):
            for connection in connections:
                reply = connection.recv(10)
                if reply.valid and reply.port == ECHO_PORT:
                    echoes[connection.uri].append(reply[0])
        for connection in connections:
            print(f"{connection.uri}: echoes {echoes[connection.uri]}  {connection.statistics}")
    return 0 if all(got == list(range(ROUNDS)) for got in echoes.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
