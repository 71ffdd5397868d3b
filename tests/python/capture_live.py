"""Echoes over a cable on the bench as many times as the first argument says,
prints "echoed", then waits for a line on standard input before it closes
and exits: a program that a live capture viewer joins while it runs. Run as
a program under the umockdev preload."""
import sys

import orvaemu
import orvapy
from scenario_tools import echo_over_cable


def main(count: int) -> None:
    bench = orvaemu.Bench()
    bench.add_usb_robot("EMUR0")
    connection = orvapy.Connection("usb://0")
    echo_over_cable(connection, count)
    print("echoed", flush=True)
    sys.stdin.readline()
    connection.close()


if __name__ == "__main__":
    main(int(sys.argv[1]))
