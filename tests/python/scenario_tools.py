"""What the scenario programs share: each runs in a process of its own and
reports one line "RESULT " + JSON for its test to read."""
import json
import time
from typing import Any, Callable, Dict, Optional

from orvapy import Connection, ConnectionStatistics, Packet


def report(**values: Any) -> None:
    print("RESULT " + json.dumps(values), flush=True)


def error_of(call: Callable[[], object]) -> Optional[str]:
    """The type and text of what the call raised, for the test to compare."""
    try:
        call()
    except Exception as error:
        return "%s: %s" % (type(error).__name__, error)
    return None


def echo_over_cable(connection: Connection, count: int) -> None:
    """Sends `count` numbered packets on port 1, each once its echo came back."""
    for number in range(count):
        sent = packet(1, b"ping %d" % number)
        connection.send(sent)
        while bytes(connection.recv(100).payload) != sent.payload:
            pass


def packet(port: int, payload: bytes, channel: int = 0) -> Packet:
    p = Packet()
    p.port = port
    p.channel = channel
    p.payload = payload
    return p


def wait_for(condition: Callable[[], object], bound: float = 20.0) -> None:
    """Waits for the condition, however slow the machine; fails past the bound."""
    deadline = time.monotonic() + bound
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached")
        time.sleep(0.002)


def shown_count(statistics: ConnectionStatistics, name: str) -> int:
    """A counter that Python sees only in the statistics' text form
    (receive_count, enqueued_count)."""
    text = repr(statistics)[len("Statistics("):-1]
    return {key: int(value) for key, value in (item.split("=") for item in text.split(","))}[name]


def counts(statistics: ConnectionStatistics) -> Dict[str, int]:
    """All four counters of one snapshot."""
    return dict(sent_count=statistics.sent_count,
                receive_count=shown_count(statistics, "receive_count"),
                enqueued_count=shown_count(statistics, "enqueued_count"),
                ack_count=statistics.ack_count)
