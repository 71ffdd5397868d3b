"""What the scenario programs share: each runs in a process of its own and
reports one line "RESULT " + JSON for its test to read."""
import json
import time
from typing import Any, Callable, Dict

from orvapy import ConnectionStatistics, Packet


def report(**values: Any) -> None:
    print("RESULT " + json.dumps(values), flush=True)


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
