"""Programs that meet at the bench's devices: a child made by fork() while
connections are open, and a second program that finds a device held.

Run as `python -m process_scenarios NAME` under the umockdev preload, each in
a fresh process (the link registry lives once per process). Each prints one
line "RESULT " + JSON.
"""
import json
import multiprocessing
import os
import subprocess
import sys
import time
from typing import Any, Callable, Dict, List, Optional

import orvaemu
from orvapy import Connection, Packet
from scenario_tools import error_of, report

BOUND = 60.0



def echoes(connection: Connection, text: bytes) -> bool:
    p = Packet()
    p.port = 1
    p.payload = text
    connection.send(p)
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        reply = connection.recv(100)
        if reply.valid and bytes(reply.payload) == text:
            return True
    return False


def bench_for_two() -> orvaemu.Bench:
    """The parent's robot, on a cable and in the air, and one for the child."""
    bench = orvaemu.Bench()
    bench.add_dongle("EMU0")
    bench.add_usb_robot("EMUR0")
    bench.add_radio_robot(80, "2M")
    return bench


def in_child(inherited: List[Connection]) -> Dict[str, Any]:
    """What a child of fork() sees: the inherited connections refuse, its own work."""
    radio, usb = inherited
    result: Dict[str, Any] = dict(
        send=error_of(lambda: radio.send(Packet())),
        recv=error_of(lambda: usb.recv(10)),
        statistics=error_of(lambda: radio.statistics),
        close=error_of(usb.close),
        scan=Connection.scan())
    for uri in result["scan"]:
        if uri.startswith("usb://"):
            own = Connection(uri)
            result["own_echo"] = echoes(own, b"child")
            own.close()
    result["held"] = error_of(lambda: Connection("radio://0/80/2M/E7E7E7E7E7"))
    return result


def child_through_queue(queue: "multiprocessing.Queue[Dict[str, Any]]",
                        inherited: List[Connection]) -> None:
    queue.put(in_child(inherited))


def forked(how: str) -> None:
    bench = bench_for_two()
    parent = [Connection("radio://0/80/2M/E7E7E7E7E7"), Connection("usb://0")]
    before = [echoes(c, b"before") for c in parent]
    bench.add_usb_robot("EMUR1")  # plugged in later: only the child knows it
    child: Dict[str, Any] = {}
    if how == "os.fork":
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            os.write(write_end, json.dumps(in_child(parent)).encode())
            os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as reader:
            child = json.loads(reader.read().decode() or "{}")
        _, status = os.waitpid(pid, 0)
        child["status"] = status
    else:
        context = multiprocessing.get_context("fork")
        queue: "multiprocessing.Queue[Dict[str, Any]]" = context.Queue()
        process = context.Process(target=child_through_queue, args=(queue, parent))
        process.start()
        child = queue.get(timeout=BOUND)
        process.join(BOUND)
        child["status"] = process.exitcode
    after = [echoes(c, b"after") for c in parent]
    report(before=before, after=after, child=child,
           sent=[c.statistics.sent_count for c in parent[1:]])
    for c in parent:
        c.close()


def os_fork() -> None:
    forked("os.fork")


def multiprocessing_fork() -> None:
    forked("multiprocessing")


SECOND = """
import orvapy
try:
    orvapy.Connection("usb://0").close()
    print("opened")
except RuntimeError as error:
    print(error)
"""


def second_program() -> None:
    """Another program, started while this one holds the robot, and after."""
    bench = orvaemu.Bench()
    bench.add_usb_robot("EMUR0")
    held = Connection("usb://0")
    echoes(held, b"first")

    def other() -> str:
        return subprocess.run([sys.executable, "-c", SECOND], capture_output=True, text=True,
                              timeout=BOUND).stdout.strip()

    while_held = other()
    lost = sum(not echoes(held, b"%d" % n) for n in range(20))
    held.close()
    report(while_held=while_held, lost=lost, after_close=other())


if __name__ == "__main__":
    globals()[sys.argv[1]]()
