"""Echoes over a cable on the bench (one, or as many as the first argument
says); prints "echoed". Run as a program under the umockdev preload."""
import sys
from typing import List

import orvaemu
import orvapy
from scenario_tools import echo_over_cable


def main(argv: List[str]) -> None:
    bench = orvaemu.Bench()
    bench.add_usb_robot("EMUR0")
    connection = orvapy.Connection("usb://0")
    echo_over_cable(connection, int(argv[0]) if argv else 1)
    connection.close()
    print("echoed")


if __name__ == "__main__":
    main(sys.argv[1:])
