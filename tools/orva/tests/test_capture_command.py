"""orva capture on the emulated bench: the program runs with its link recorded."""
import subprocess
import sys
from pathlib import Path
from typing import List

import pytest
from orvaemu.pytest_plugin import BenchSession

from orva_runner import orva

DISSECTOR = Path(__file__).resolve().parents[3] / "tools" / "wireshark" / "orvapy.lua"


def decoded_types(path: Path) -> List[str]:
    """The type of every record that the dissector decoded completely."""
    result = subprocess.run(
        ["tshark", "-X", f"lua_script:{DISSECTOR}", "-r", str(path), "-T", "fields",
         "-E", "separator=|", "-e", "orvapy.decoded", "-e", "orvapy.type", "-e", "orvapy.taken"],
        capture_output=True, text=True, check=True)
    lines = result.stdout.splitlines()
    assert all(line.startswith("1|") for line in lines), lines
    return [line[2:] for line in lines]


def test_capture_records_the_programs_link(bench: BenchSession, tmp_path: Path) -> None:
    bench.add_usb_robot("ROBOT")
    path = tmp_path / "send.pcapng"
    result = orva("capture", "-o", str(path), "--", sys.executable, "-m", "orvaemu.call",
                  "library_side:send_once", "usb://0")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    types = decoded_types(path)
    # Worker start, link on, the one packet taken, link off, worker stop;
    # writes the robot did not take yet may come between.
    assert types[0] == "5|"
    assert types[1] == "4|"
    assert types.count("2|1") == 1
    assert types[-2:] == ["4|", "6|"]


def test_capture_passes_the_programs_exit_status_on(tmp_path: Path) -> None:
    result = orva("capture", "-o", str(tmp_path / "none.pcapng"), "--", sys.executable, "-c",
                  "import sys; sys.exit(3)")
    assert result.returncode == 3
    missing = orva("capture", "-o", str(tmp_path / "none.pcapng"), "--", "no-such-program-here")
    assert missing.returncode == 127
    assert missing.stderr == "orva capture: cannot run no-such-program-here: No such file or directory\n"


@pytest.mark.parametrize("arguments", [["capture"], ["capture", "-o", "x.pcapng"],
                                       ["capture", "-o", "x.pcapng", "--"]])
def test_capture_usage_errors_exit_2(arguments: List[str]) -> None:
    result = orva(*arguments)
    assert result.returncode == 2
    assert "usage: orva" in result.stderr
