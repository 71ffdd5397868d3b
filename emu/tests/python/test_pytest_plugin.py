"""orvaemu's pytest plugin as a user project meets it."""
import os
import subprocess
import sys
from pathlib import Path
from xml.etree import ElementTree

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


USER_LOOP = '''
import orvapy


def main(uri):
    link = orvapy.Connection(uri)
    print("flying")  # no flush: the plugin runs the code under test unbuffered
    packet = orvapy.Packet()
    packet.port = 1
    packet.payload = b"up"
    try:
        while True:
            link.send(packet)
            link.recv(100)
    except RuntimeError as error:
        print(f"link lost: {error}")
        return 1
'''

USER_TESTS = '''
import select

URI = "radio://0/80/2M/E7E7E7E7E7"


def first_line(process):
    ready, _, _ = select.select([process.stdout], [], [], 60)
    assert ready, "no line from the code under test within 60 s"
    return process.stdout.readline()


def unplug_while_flying(bench, target, uri):
    dongle = bench.add_dongle("EMU0")
    bench.add_radio_robot(80, "2M")
    flying = bench.start(target, uri)
    line = first_line(flying)
    dongle.unplug()
    assert flying.wait(timeout=60) == 1
    return line


def test_unplug_ends_the_loop(orvaemu_bench):
    assert unplug_while_flying(orvaemu_bench, "mypackage.loop:main", URI) == "flying\\n"


def test_start_with_a_typo_in_the_target(orvaemu_bench):
    unplug_while_flying(orvaemu_bench, "mypackage.lop:main", URI)


def test_start_with_a_dongle_that_does_not_exist(orvaemu_bench):
    unplug_while_flying(orvaemu_bench, "mypackage.loop:main", "radio://5/80/2M/E7E7E7E7E7")


def test_run_with_a_typo_in_the_target(orvaemu_bench):
    orvaemu_bench.add_usb_robot("EMUR0")
    assert orvaemu_bench.run("mypackage.lop:main", "usb://0").returncode == 1
'''


def test_code_under_test_that_never_ran_fails_the_test(tmp_path: Path) -> None:
    """The documented unplug pattern expects status 1, which an import error or
    an exception also gave: those fail the test now, with the child's traceback."""
    (tmp_path / "conftest.py").write_text('pytest_plugins = ["orvaemu.pytest_plugin"]\n')
    (tmp_path / "pytest.ini").write_text("[pytest]\n")
    (tmp_path / "mypackage").mkdir()
    (tmp_path / "mypackage" / "__init__.py").write_text("")
    (tmp_path / "mypackage" / "loop.py").write_text(USER_LOOP)
    (tmp_path / "test_flying.py").write_text(USER_TESTS)
    # Unbuffered output must not depend on the caller's environment.
    env = {key: value for key, value in os.environ.items()
           if key not in ("UMOCKDEV_DIR", "PYTHONUNBUFFERED")}
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-rA",
                             "--junitxml", str(tmp_path / "outcome.xml"), "test_flying.py"],
                            capture_output=True, text=True, timeout=240, env=env, cwd=tmp_path)
    outcomes = {case.get("name"): [child.tag for child in case]
                for case in ElementTree.parse(tmp_path / "outcome.xml").iter("testcase")}
    assert outcomes == {"test_unplug_ends_the_loop": [],
                        "test_start_with_a_typo_in_the_target": ["failure"],
                        "test_start_with_a_dongle_that_does_not_exist": ["failure"],
                        "test_run_with_a_typo_in_the_target": ["failure"]}, result.stdout
    assert "cannot import mypackage.lop:main" in result.stdout
    assert "No Skelder with id=5 found" in result.stdout
