"""Runs the scenario programs of this folder, each in a fresh process on a
bench of its own (or on one given), and reads what they report: one line
"RESULT " + JSON (scenario_tools.report) among their other output."""
import json
import os
import subprocess
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import pytest

if TYPE_CHECKING:
    import orvaemu

HERE = Path(__file__).resolve().parent
RESULT = "RESULT "


def bench_package() -> Any:
    """orvaemu; skips the test when pytest does not run under the umockdev
    preload, which the emulated bench needs from process start."""
    orvaemu = pytest.importorskip("orvaemu")
    if not orvaemu.preloaded():
        pytest.skip("run pytest under LD_PRELOAD=libumockdev-preload.so.0 (make python-test)")
    return orvaemu


def environment(bench: Optional["orvaemu.Bench"] = None,
                extra: Optional[Dict[str, str]] = None) -> Dict[str, str]:
    """This process's environment for a scenario program."""
    bench_package()
    env = {key: value for key, value in os.environ.items() if key != "UMOCKDEV_DIR"}
    if bench is not None:
        env["UMOCKDEV_DIR"] = bench.root_dir
    env.update(extra or {})
    return env


def start(program: str, *args: str, bench: Optional["orvaemu.Bench"] = None,
          threads_stay_inside: bool = False) -> "subprocess.Popen[str]":
    """Starts python PROGRAM ARGS. A program that ends with threads still
    inside the library (threads_stay_inside) runs without leak detection
    under the sanitizers: the interpreter cannot free what those threads
    hold, the module's own function records among it, so such leaks are not
    the library's. Every other program keeps leak detection."""
    env = environment(bench)
    if threads_stay_inside and "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return subprocess.Popen([sys.executable, str(HERE / program), *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def finish(process: "subprocess.Popen[str]", timeout: float = 120) -> Tuple[int, str, str]:
    """(exit status, output, error output); a program that hangs fails here."""
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        stdout, stderr = process.communicate()
        pytest.fail(f"{process.args!r} still ran after {timeout} s:\n"
                    + stdout[-3000:] + stderr[-3000:])
    return process.returncode, stdout, stderr


def run(program: str, *args: str, timeout: float = 240,
        **extra_env: str) -> "subprocess.CompletedProcess[str]":
    """Runs python PROGRAM ARGS to its end."""
    return subprocess.run([sys.executable, str(HERE / program), *args], capture_output=True,
                          text=True, timeout=timeout, env=environment(extra=extra_env))


def report_of(result: "subprocess.CompletedProcess[str]") -> Tuple[Any, List[str]]:
    """What a program that succeeded reported once: (its report, its other
    output lines)."""
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    lines = result.stdout.splitlines()
    reports = [line[len(RESULT):] for line in lines if line.startswith(RESULT)]
    assert len(reports) == 1, result.stdout[-3000:]
    return json.loads(reports[0]), [line for line in lines if not line.startswith(RESULT)]


def run_reporting(program: str, *args: str, timeout: float = 240) -> Tuple[Any, List[str]]:
    """Runs a program that must succeed and report once."""
    return report_of(run(program, *args, timeout=timeout))
