"""Where an echo's CPU goes: system calls and context switches per echo of
the library's process, orvapy, the C++ path and the bare loop side by side.

    python3.9 bench/echo_counts.py BUILD/bench [KIND] [--tool strace|perf]

Each side runs alone in a process under the launcher (devices in the
launcher's process, no thread pinned), under `strace -f -c` or `perf stat`,
once with 100 echoes and once with 600; the difference over 500 is what one
echo costs, start-up and warm-up cancelled out. KIND: radio plain (default),
radio safelink or cable.
"""

import ctypes
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import performance  # noqa: E402 (beside this file)

SIDES = ("orvapy", "cpp", "bare")
COUNTS = (100, 600)
DEVICES = performance.LAUNCHED_DEVICES


def echo(library_path, side, kind, count):
    """In the launched process: `count` echoes of `kind` through `side`."""
    uri, serial, loop, channel, safelink = performance.ECHO_KINDS[kind]
    library = performance.bare_library(library_path)
    if side == "orvapy":
        import orvapy
        connection = orvapy.Connection(uri)
        performance.orvapy_echoes(connection, count)
        connection.close()
    elif side == "cpp":
        if library.cpp_echoes(uri.encode(), count, 5) < 0:
            raise SystemExit("C++ echoes failed")
    else:
        with performance.BareDevice(library, serial) as device:
            device.prepare(loop, channel, safelink, warmup=count + 5)


def strace_counts(output):
    """{system call: calls} from strace -c's table."""
    counts = {}
    for line in output.splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[0].replace(".", "").isdigit() and fields[-1] != "total":
            counts[fields[-1]] = int(fields[3])
    return counts


def perf_counts(output):
    """{event: count} from perf stat -x ';' (value;unit;event;...)."""
    counts = {}
    for line in output.splitlines():
        fields = line.split(";")
        if len(fields) >= 3 and fields[0].replace(".", "").isdigit():
            counts[fields[2] + (f" ({fields[1]})" if fields[1] else "")] = float(fields[0])
    return counts


def measure(library_path, side, kind, count, tool):
    with tempfile.NamedTemporaryFile("r", suffix=".txt") as report:
        if tool == "strace":
            wrapper = ["strace", "-f", "-c", "-o", report.name]
        else:
            wrapper = ["perf", "stat", "-x", ";", "-o", report.name, "-e",
                       "task-clock,context-switches,cpu-migrations"]
        env = dict(os.environ, ORVAEMU_PIN="0")
        subprocess.run([sys.executable, "-m", "orvaemu", *DEVICES, "--", *wrapper,
                        sys.executable, os.path.abspath(__file__), "--echo", library_path, side,
                        kind, str(count)], check=True, env=env, timeout=600)
        text = report.read()
    return strace_counts(text) if tool == "strace" else perf_counts(text)


def main(argv):
    if argv[:1] == ["--echo"]:
        echo(argv[1], argv[2], argv[3], int(argv[4]))
        return 0
    tool = "strace"
    if "--tool" in argv:
        tool = argv[argv.index("--tool") + 1]
        argv = [a for i, a in enumerate(argv) if a != "--tool" and argv[i - 1] != "--tool"]
    library_path = os.path.join(os.path.abspath(argv[0]), "liborvabench.so")
    kind = " ".join(argv[1:]) or "radio plain"
    per_echo = {}
    for side in SIDES:
        low, high = (measure(library_path, side, kind, count, tool) for count in COUNTS)
        per_echo[side] = {name: (high.get(name, 0) - low.get(name, 0)) / (COUNTS[1] - COUNTS[0])
                          for name in set(low) | set(high)}
    names = sorted(set().union(*per_echo.values()), key=lambda n: -per_echo["orvapy"].get(n, 0))
    print(f"{kind}: per echo ({tool}; {COUNTS[1]} echoes less {COUNTS[0]})")
    print(f"{'':<24}" + "".join(f"{side:>10}" for side in SIDES))
    for name in names:
        values = [per_echo[side].get(name, 0) for side in SIDES]
        if any(abs(v) >= 0.05 for v in values):
            print(f"{name:<24}" + "".join(f"{v:>10.2f}" for v in values))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
