"""Programs whose main thread ends while a daemon thread is inside orvapy.

Run as `python exit_scenarios.py STATE LINK`: builds a bench, starts a daemon
thread that keeps calling into orvapy in the given state, waits until that
thread is inside the call, prints "inside" and lets the main thread end. A
sound library lets the process end with status 0.

The `wait_in_recv` program instead blocks its main thread in recv(0) next to
such a daemon, for a test that sends it a signal.
"""
import ctypes
import dis
import signal
import sys
import threading
import time
import types
from typing import Callable

import orvaemu
import orvapy
from orvapy import Connection, Packet

LINKS = {
    "radio": "radio://0/80/2M/E7E7E7E7E7?autoping=0",
    "radio-autoping": "radio://0/80/2M/E7E7E7E7E7",
    "cable": "usb://0",
}
# Instructions that call into orvapy: calls, and reading a property.
CALLS = {"CALL_FUNCTION", "CALL_METHOD", "CALL_FUNCTION_KW", "CALL_FUNCTION_EX", "LOAD_ATTR"}


def make_bench() -> types.SimpleNamespace:
    """A dongle, a robot on a cable and one in the air on channel 80 at 2M."""
    bench = orvaemu.Bench()
    devices = types.SimpleNamespace(bench=bench, dongle=bench.add_dongle("EMU0"),
                                    cable=bench.add_usb_robot("EMUR0"))
    bench.add_radio_robot(80, "2M")
    # Real devices stay plugged in while a program exits: so does this bench,
    # which the interpreter would otherwise destroy while it finalises.
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(bench))
    return devices


def packet() -> Packet:
    p = Packet()
    p.port = 1
    p.payload = b"\x01\x02"
    return p


def inside_call(thread: threading.Thread, function: Callable[..., object]) -> bool:
    """Whether the thread stands in a call made by `function`'s frame: with
    the lock held here, it is inside orvapy, which let the lock go."""
    ident = thread.ident  # None before the thread started: no frame then
    frame = sys._current_frames().get(ident) if ident is not None else None
    while frame is not None and frame.f_code is not function.__code__:
        frame = frame.f_back
    if frame is None:
        return False
    return dis.opname[frame.f_code.co_code[frame.f_lasti]] in CALLS


def recv0(uri: str) -> None:
    c = Connection(uri)
    while True:
        c.recv(0)


def recv_loop(uri: str) -> None:
    c = Connection(uri)
    while True:
        c.recv(5)


def send(uri: str) -> None:
    c = Connection(uri)
    p = packet()
    while True:
        c.send(p)


def close(uri: str) -> None:
    while True:
        c = Connection(uri)
        c.close()


def scan(uri: str) -> None:
    while True:
        Connection.scan()


def scan_selected(uri: str) -> None:
    while True:
        Connection.scan_selected([uri])


STATES = {f.__name__: f for f in (recv0, recv_loop, send, close, scan, scan_selected)}


def main_ends_inside(state: str, link: str) -> None:
    make_bench()
    daemon = threading.Thread(target=STATES[state], args=(LINKS[link],), daemon=True)
    daemon.start()
    deadline = time.monotonic() + 30
    while not inside_call(daemon, STATES[state]):
        if time.monotonic() > deadline or not daemon.is_alive():
            sys.exit("the daemon never stood inside orvapy")
        time.sleep(0.001)
    print("inside", flush=True)


def wait_in_recv(link: str) -> None:
    # Started in the background of a shell, a program inherits SIGINT
    # ignored; this one stands for a program in a terminal, where Ctrl-C
    # reaches it.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    make_bench()
    daemon = threading.Thread(target=recv_loop, args=(LINKS[link],), daemon=True)
    daemon.start()
    # A link on which nothing ever arrives: with safelink, the handshake's echo
    # would end the wait before the test's signal came, the quicker the bench
    # the likelier.
    c = Connection(LINKS["cable"] if link != "cable" else LINKS["radio"] + "&safelink=0")
    print("waiting", flush=True)
    c.recv(0)


def leave_open() -> None:
    """On the devices of the calling process's bench: leaves a radio and a
    cable connection open, with a daemon thread waiting on one of them."""
    radio = Connection(LINKS["radio-autoping"])
    daemon = threading.Thread(target=recv0, args=(LINKS["cable"],), daemon=True)
    daemon.start()
    while not inside_call(daemon, recv0):
        time.sleep(0.001)
    radio.recv(0)  # the safelink handshake's echo: the radio link serves
    print("open", flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "wait_in_recv":
        wait_in_recv(sys.argv[2])
    elif sys.argv[1] == "leave_open":
        leave_open()
    else:
        main_ends_inside(sys.argv[1], sys.argv[2])
