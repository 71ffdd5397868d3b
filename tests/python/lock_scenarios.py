"""Programs that check that a call waiting in orvapy lets other threads run.

Run as `python lock_scenarios.py NAME`: a helper thread makes the call while
the main thread waits, with the interpreter lock, until it sees the helper
standing inside it; then it prints "ran beside" and ends. The interpreter
is told not to take the lock away from a thread (a huge switch interval):
only a call that lets the lock go lets the main thread look. Each call
waits a bounded time: one that keeps the lock ends first, and the program
fails saying so; a watchdog ends a process stuck all the same with the
threads' tracebacks.
"""
import faulthandler
import sys
import threading
import time
from typing import Callable

from orvapy import Connection

from exit_scenarios import inside_call, make_bench

WATCHDOG_SECONDS = 60
# How long a call waits: far more than the main thread needs to look while
# the call lets the lock go, however loaded the machine.
WAIT_SECONDS = 10


def recv_waiting() -> Callable[[], None]:
    """recv on a link where nothing arrives."""
    make_bench()
    c = Connection("radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0")

    def call() -> None:
        c.recv(WAIT_SECONDS * 1000)

    return call


def close_waiting_on_the_worker() -> Callable[[], None]:
    """close() while the cable worker's link-off request runs into its time-out."""
    bench = make_bench()
    c = Connection("usb://0")
    while not bench.cable.link_on:
        time.sleep(0.001)
    bench.cable.time_out_next_control()

    def call() -> None:
        c.close()

    return call


def statistics_waiting_on_a_transfer() -> Callable[[], None]:
    """statistics while the worker holds the send queue across exchanges
    whose answer never comes (each one waits for its reply's time-out)."""
    bench = make_bench()
    c = Connection("radio://0/80/2M/E7E7E7E7E7?safelink=0")
    bench.dongle.stop_answering(True)

    def call() -> None:
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            c.statistics

    return call


SCENARIOS = {f.__name__: f for f in (recv_waiting, close_waiting_on_the_worker,
                                     statistics_waiting_on_a_transfer)}


def main(name: str) -> None:
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    call = SCENARIOS[name]()
    sys.setswitchinterval(1000)
    helper = threading.Thread(target=call, daemon=True)
    helper.start()
    while not inside_call(helper, call):
        if not helper.is_alive():
            sys.exit("the call ended before the main thread could run beside it: "
                     "it kept the interpreter lock while it waited")
        time.sleep(0.001)
    print("ran beside", flush=True)


if __name__ == "__main__":
    main(sys.argv[1])
