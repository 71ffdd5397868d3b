"""A device unplugged and plugged back serves again after one scan."""
from typing import Any, List, Tuple

from scenario_runner import run_reporting


def run(name: str) -> Tuple[Any, List[str]]:
    """Runs hotplug_scenarios NAME: (its report, its other output lines)."""
    return run_reporting("hotplug_scenarios.py", name, timeout=200)


FOUND = ["usb://0", "radio://*/80/2M/E7E7E7E7E7"]


def test_idle_devices_back_after_one_scan() -> None:
    result, output = run("idle")
    assert output == []
    assert result == dict(before=FOUND, after=FOUND, answers=[True, True])


def test_failed_devices_back_after_one_scan_and_close_of_the_failed_ones() -> None:
    result, output = run("failing")
    assert output == []
    assert result == dict(answered=[True, True],
                          failures=["RuntimeError: LIBUSB_ERROR_NO_DEVICE"] * 2,
                          after=FOUND, new_answers=[True, True], closes=[None, None],
                          still_answer=[True, True], second_closes=[None, None])


def test_close_succeeds_once_the_device_is_forgotten() -> None:
    result, output = run("gone")
    assert output == []
    assert result == dict(after=[], closes=[None, None])
