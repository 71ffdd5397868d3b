"""Calls that wait in orvapy let the other Python threads run."""
from pathlib import Path

import pytest

import lock_scenarios
from test_exit import finish, start

PROGRAM = str(Path(__file__).resolve().parent / "lock_scenarios.py")


@pytest.mark.parametrize("name", sorted(lock_scenarios.SCENARIOS))
def test_other_threads_run_while_a_call_waits(name: str) -> None:
    returncode, stdout, stderr = finish(start(name, program=PROGRAM))
    assert (returncode, stdout) == (0, "ran beside\n"), stderr[-3000:]
