"""What the scenario programs share: each runs in a process of its own and
reports one line "RESULT " + JSON for its test to read."""
import json
import time
from typing import Any, Callable


def report(**values: Any) -> None:
    print("RESULT " + json.dumps(values), flush=True)


def wait_for(condition: Callable[[], object], bound: float = 20.0) -> None:
    """Waits for the condition, however slow the machine; fails past the bound."""
    deadline = time.monotonic() + bound
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached")
        time.sleep(0.002)
