"""The control loop against emulated devices: loss, an unplug, a cable."""
from orvaemu.pytest_plugin import BenchSession

from hover_control.loop import TARGET_M, Flight, thrust_for

URI = "radio://0/80/2M/E7E7E7E7E7"


def test_the_controller_settles_at_the_target() -> None:
    flight = Flight()
    for _ in range(1000):
        flight.advance(thrust_for(flight))
    assert abs(flight.height_m - TARGET_M) < 0.05
    assert abs(flight.speed_m_s) < 0.05


def test_every_setpoint_is_confirmed_over_a_lossy_radio(orvaemu_bench: BenchSession) -> None:
    orvaemu_bench.add_dongle("EMU0")
    robot = orvaemu_bench.add_radio_robot(80, "2M")
    robot.loss = 0.3
    robot.seed = 11
    result = orvaemu_bench.run("hover_control.loop:main", URI, "40")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "done: 40/40 setpoints confirmed" in result.stdout
    assert len(robot.received) > 40  # the loss made the link send again


def test_an_unplugged_dongle_stops_the_loop(orvaemu_bench: BenchSession) -> None:
    dongle = orvaemu_bench.add_dongle("EMU0")
    orvaemu_bench.add_radio_robot(80, "2M")
    flying = orvaemu_bench.start("hover_control.loop:main", URI, "1000000")
    assert flying.stdout is not None
    assert flying.stdout.readline().startswith("step 0:")
    dongle.unplug()
    out, err = flying.communicate(timeout=120)
    assert flying.returncode == 1, out + err
    assert out.splitlines()[-1] == "link lost: LIBUSB_ERROR_NO_DEVICE"


def test_the_loop_flies_over_a_cable(orvaemu_bench: BenchSession) -> None:
    orvaemu_bench.add_usb_robot("EMUR0")
    result = orvaemu_bench.run("hover_control.loop:main", "usb://0", "20")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "done: 20/20 setpoints confirmed" in result.stdout
