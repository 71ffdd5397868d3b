"""Echoes over a cable on the bench (one, or as many as the first argument
says); prints "echoed". Run as a program under the umockdev preload."""
import sys
from typing import List

import orvaemu
import orvapy


def main(argv: List[str]) -> None:
    bench = orvaemu.Bench()
    bench.add_usb_robot("EMUR0")
    connection = orvapy.Connection("usb://0")
    for number in range(int(argv[0]) if argv else 1):
        p = orvapy.Packet()
        p.port = 1
        p.payload = b"ping %d" % number
        connection.send(p)
        while bytes(connection.recv(100).payload) != p.payload:
            pass
    connection.close()
    print("echoed")


if __name__ == "__main__":
    main(sys.argv[1:])
