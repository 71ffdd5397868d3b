"""The C++ package as `cmake --install` lays it out, used by a program that
sees nothing of the source tree."""
import json
import os
import re
import subprocess
from pathlib import Path

import pytest

from package_support import BENCH_FINDS, ROOT, VERSION, outside_tree, run_on_bench

BUILD = Path(os.environ.get("ORVAPY_CPP_BUILD", ROOT / "build/debug"))
PUBLIC_HEADERS = {"Connection.hpp", "ConnectionStatistics.hpp", "Packet.hpp"}


def run(command, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=600, **options)
    assert result.returncode == 0, " ".join(map(str, command)) + "\n" + result.stdout + result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    if not (BUILD / "CMakeCache.txt").exists():
        pytest.fail(f"no CMake build in {BUILD} (make build)")
    prefix = outside_tree(tmp_path_factory, "prefix")
    run(["cmake", "--install", str(BUILD), "--prefix", str(prefix), "--component", "devel"])
    return prefix


@pytest.fixture(scope="module")
def example(prefix, tmp_path_factory):
    """examples/cpp configured and built against the installed package only."""
    build = outside_tree(tmp_path_factory, "example")
    configured = run(["cmake", "-S", str(ROOT / "examples/cpp"), "-B", str(build),
                      f"-DCMAKE_PREFIX_PATH={prefix}", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"])
    run(["cmake", "--build", str(build)])
    return build, configured


def test_installs_the_public_headers_library_and_package_files(prefix):
    files = {str(path.relative_to(prefix)) for path in prefix.rglob("*") if path.is_file()}
    headers = {path for path in files if path.startswith("include/")}
    assert headers == {f"include/orvalis/{name}" for name in PUBLIC_HEADERS}
    others = files - headers
    assert {Path(path).name for path in others} >= {
        "liborvalis.a", "orvalisConfig.cmake", "orvalisConfigVersion.cmake", "orvalis.pc"}
    assert not [path for path in others if path.endswith(".so") or "emu" in path]


def test_headers_include_nothing_but_each_other_and_the_standard_library(prefix):
    for header in (prefix / "include/orvalis").iterdir():
        for line in header.read_text().splitlines():
            quoted = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if quoted:
                assert quoted.group(1) in PUBLIC_HEADERS, f"{header.name}: {line}"
            assert "libusb" not in line and "workers/" not in line and "usb/" not in line, line


def test_example_builds_against_the_installed_package_only(example):
    build, configured = example
    assert f"orvalis {VERSION}" in configured
    commands = json.loads((build / "compile_commands.json").read_text())
    assert commands and all(str(ROOT) not in entry["command"].replace(
        str(ROOT / "examples/cpp"), "") for entry in commands), commands


def test_example_echoes_on_the_bench(example):
    build, _ = example
    result = run_on_bench([str(build / "orvalis_echo")], build)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert [line for line in lines if not line.startswith(" ")] == [
        f"found {len(BENCH_FINDS)}", *BENCH_FINDS]
    assert sum("reply" in line for line in lines) == len(BENCH_FINDS), result.stdout


def test_pkg_config_builds_the_example(prefix, tmp_path_factory):
    env = dict(os.environ, PKG_CONFIG_PATH=str(next(prefix.rglob("pkgconfig"))))
    assert run(["pkg-config", "--modversion", "orvalis"], env=env).strip() == VERSION
    flags = run(["pkg-config", "--cflags", "--libs", "orvalis"], env=env).split()
    binary = outside_tree(tmp_path_factory, "pkg-config") / "orvalis_echo"
    run(["c++", "-std=c++17", "-o", str(binary), str(ROOT / "examples/cpp/echo.cpp"), *flags])
    assert binary.exists()
