"""A device unplugged and plugged back serves again after one scan."""
import json
import os
import subprocess
import sys
from typing import Any, List, Tuple

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def run(name: str) -> Tuple[Any, List[str]]:
    """Runs hotplug_scenarios.NAME in a fresh process: (its report, its other output lines)."""
    orvaemu = pytest.importorskip("orvaemu")
    if not orvaemu.preloaded():
        pytest.skip("run pytest under LD_PRELOAD=libumockdev-preload.so.0 (make python-test)")
    env = {key: value for key, value in os.environ.items() if key != "UMOCKDEV_DIR"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [HERE, env.get("PYTHONPATH")]))
    result = subprocess.run([sys.executable, "-m", "hotplug_scenarios", name],
                            capture_output=True, text=True, timeout=200, env=env)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    lines = result.stdout.splitlines()
    reports = [line[len("RESULT "):] for line in lines if line.startswith("RESULT ")]
    assert len(reports) == 1, result.stdout[-3000:]
    return json.loads(reports[0]), [line for line in lines if not line.startswith("RESULT ")]


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
