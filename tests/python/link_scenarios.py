"""orvapy from end to end, one scenario per fresh process.

Run as `python link_scenarios.py NAME [ARGS]` under the umockdev preload: the
link registry lives once per process and only sees the devices of a bench
that existed before it started, so every scenario builds its bench first,
then uses orvapy, and prints one line "RESULT " + JSON for the test to check.
Scans print their errors on the same output.
"""
import signal
import sys
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import orvaemu
from orvapy import Connection, Packet
from scenario_tools import counts, packet, report, shown_count, wait_for


def receive(connection: Connection, accept: Callable[[Packet], bool] = lambda p: True,
            bound: float = 20.0) -> Packet:
    """Waits for an accepted packet, without assuming anything about timing."""
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        p = connection.recv(100)
        if p.valid and accept(p):
            return p
    raise AssertionError("nothing arrived")


def seq_of(p: Packet) -> int:
    """Python sees a packet's sequence number only in its text form."""
    return int(repr(p).rsplit(",seq=", 1)[1][:-1])


def failure(call: Callable[[], object]) -> Optional[str]:
    """The text of the RuntimeError the call raises, None when it succeeds."""
    try:
        call()
    except RuntimeError as error:
        return str(error)
    return None


def scan() -> None:
    """Cables first, then the answering channels by data rate."""
    bench = orvaemu.Bench()
    bench.add_dongle("EMU0")
    bench.add_usb_robot("EMUR0")
    bench.add_radio_robot(80, "2M")
    bench.add_radio_robot(5, "1M")
    bench.add_radio_robot(20, "250K", 0x00E7E7E7E7)
    found = Connection.scan()
    other = Connection.scan(address=0x00E7E7E7E7)
    selected = Connection.scan_selected([
        "radio://0/80/2M/E7E7E7E7E7?autoping=0",
        "radio://0/33/2M/E7E7E7E7E7",
        "radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0",
        "usb://0",
        "radio://0/5/1M/E7E7E7E7E7?safelink=0",
        "no uri",
    ])
    report(found=found, other=other, selected=selected)


def scan_too_wide_address() -> None:
    """An address beyond 40 bits makes every probe fail."""
    bench = orvaemu.Bench()
    bench.add_dongle("EMU0")
    report(found=Connection.scan(address=0x1E7E7E7E7E7))


def echo() -> None:
    """Three packets on two ports over radio, with and without safelink, and cable."""
    bench = orvaemu.Bench()
    bench.add_dongle("EMU0")
    bench.add_usb_robot("EMUR0")
    robot = bench.add_radio_robot(80, "2M")
    outcome: Dict[str, Dict[str, Any]] = {}

    def echoes_heard() -> int:
        # Without safelink the robot echoes whatever it hears, repeats too.
        heard = [p for p in robot.received if p[1:] in (b"five", b"5b", b"two")]
        return len(heard) if len(set(heard)) == 3 else 0

    # The safelink handshake's echo comes back too.
    links: List[Tuple[str, Callable[[], int]]] = [
        ("radio://0/80/2M/E7E7E7E7E7?safelink=0", echoes_heard),
        ("radio://0/80/2M/E7E7E7E7E7", lambda: 4), ("usb://0", lambda: 3)]
    for uri, expected in links:
        c = Connection(uri)
        sent = [packet(5, b"five"), packet(5, b"5b"), packet(2, b"two")]
        for p in sent:
            c.send(p)
        # Taken once all are back, so that the queue order decides.
        wait_for(lambda: expected() and shown_count(c.statistics, "receive_count") >= expected())
        replies: List[Tuple[int, str, int]] = []
        while True:
            p = c.recv(50)
            if not p.valid:
                break
            replies.append((p.port, p.payload.decode("latin-1"), seq_of(p)))
        outcome[uri] = dict(stamps=[repr(p) for p in sent], replies=replies,
                            counts=counts(c.statistics))
        c.close()
    report(**outcome)


def unplugged() -> None:
    """Every call of a connection whose dongle left, close aside, fails."""
    bench = orvaemu.Bench()
    dongle = bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    c = Connection("radio://0/80/2M/E7E7E7E7E7?safelink=0")
    c.send(packet(1, b"x"))
    receive(c)
    dongle.unplug()
    wait_for(lambda: failure(lambda: c.statistics) is not None)
    report(send=failure(lambda: c.send(Packet())), recv=failure(lambda: c.recv(0)),
           statistics=failure(lambda: c.statistics), uri=c.uri, text=repr(c),
           close=failure(c.close), again=failure(lambda: c.recv(10)))


def blocked_recv(uri: str, end: str) -> None:
    """A thread waits in recv(0) on the link named by `uri` until this one
    ends the wait: `end` is "close", "unplug-dongle" or "unplug-cable"."""
    bench = orvaemu.Bench()
    dongle = bench.add_dongle("EMU0")
    cable = bench.add_usb_robot("EMUR0")
    c = Connection(uri)
    ends: Dict[str, Callable[[], None]] = {"close": c.close, "unplug-dongle": dongle.unplug, "unplug-cable": cable.unplug}
    outcome: Dict[str, Any] = {}

    def wait_without_limit() -> None:
        outcome["line"] = sys._getframe().f_lineno + 2
        try:
            outcome["valid"] = c.recv(0).valid
        except RuntimeError as error:
            outcome["error"] = str(error)

    waiter = threading.Thread(target=wait_without_limit)
    waiter.start()
    # Once the waiter stands at its recv call, this thread keeps running: the
    # waiter does not hold the interpreter lock while it waits.
    wait_for(lambda: "line" in outcome and waiter.ident in sys._current_frames() and
             sys._current_frames()[waiter.ident].f_lineno == outcome["line"])
    ticks = 0
    for _ in range(20):
        time.sleep(0.001)
        ticks += 1
    waiting = waiter.is_alive()
    ends[end]()
    waiter.join(30)
    del outcome["line"]
    report(waiting=waiting, alive=waiter.is_alive(), ticks=ticks, **outcome)


def keyboard_interrupt() -> None:
    """A signal handler's KeyboardInterrupt ends a recv that waits without limit."""
    bench = orvaemu.Bench()
    bench.add_dongle("EMU0")
    c = Connection("radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0")

    def interrupt(*_: object) -> None:
        raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        c.recv(0)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    c.close()
    report(outcome=outcome)


def malformed_uri() -> None:
    """A refused URI before any device existed leaves later devices findable."""
    bench = orvaemu.Bench()
    try:
        Connection("radio://0/80/2m/E7E7E7E7E7")
    except RuntimeError as error:
        refused = str(error)
    bench.add_dongle("EMU0")
    c = Connection("radio://*/80/2M/E7E7E7E7E7?safelink=0")
    report(refused=refused, text=repr(c))
    c.close()


SCENARIOS: Dict[str, Callable[..., None]] = {
    function.__name__: function
    for function in (scan, scan_too_wide_address, echo, unplugged, blocked_recv,
                     keyboard_interrupt, malformed_uri)
}

if __name__ == "__main__":
    SCENARIOS[sys.argv[1]](*sys.argv[2:])
