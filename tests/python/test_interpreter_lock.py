"""Calls that wait in orvapy let the other Python threads run."""
import pytest

import lock_scenarios
from scenario_runner import finish, start


@pytest.mark.parametrize("name", sorted(lock_scenarios.SCENARIOS))
def test_other_threads_run_while_a_call_waits(name: str) -> None:
    returncode, stdout, stderr = finish(start("lock_scenarios.py", name, threads_stay_inside=True))
    assert (returncode, stdout) == (0, "ran beside\n"), stderr[-3000:]
