"""orvaemu's pytest plugin as a user project meets it."""
import os
import subprocess
import sys
from pathlib import Path

PROJECT = Path(__file__).resolve().parents[3] / "examples" / "hover_control"


def test_without_the_preload_the_fixture_says_what_to_run() -> None:
    env = {key: value for key, value in os.environ.items()
           if key not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
    test = "tests/test_loop.py::test_the_loop_flies_over_a_cable"
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", test],
                            capture_output=True, text=True, timeout=120, env=env, cwd=PROJECT)
    assert result.returncode == 1
    assert "Traceback" not in result.stdout
    expected = (f"LD_PRELOAD=libumockdev-preload.so.0 {sys.executable} -m pytest -q -p "
                f"no:cacheprovider {test}")
    assert expected in result.stdout, result.stdout
