"""Echoes over a cable on the bench as many times as the first argument says,
prints "echoed", then waits for a line on standard input before it closes
and exits: a program that a live capture viewer joins while it runs. Run as
a program under the umockdev preload."""
import sys

import orvaemu
import orvapy


def main(count: int) -> None:
    bench = orvaemu.Bench()
    bench.add_usb_robot("EMUR0")
    connection = orvapy.Connection("usb://0")
    for number in range(count):
        p = orvapy.Packet()
        p.port = 1
        p.payload = b"ping %d" % number
        connection.send(p)
        while bytes(connection.recv(100).payload) != p.payload:
            pass
    print("echoed", flush=True)
    sys.stdin.readline()
    connection.close()


if __name__ == "__main__":
    main(int(sys.argv[1]))
