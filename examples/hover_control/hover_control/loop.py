"""The control loop: a proportional-derivative controller that sends one
thrust setpoint per step and waits for the robot to confirm it.

The robot confirms a setpoint by sending it back on the same port. A step
whose confirmation does not come in time is counted as missed and the loop
goes on; a failed link (an unplugged dongle) stops the loop at once, and the
process says so and exits with status 1.
"""
import struct
import sys
import time
from contextlib import closing
from dataclasses import dataclass

import orvapy

SETPOINT_PORT = 3
# step number, thrust in thousandths
SETPOINT_FORMAT = "<Hh"
CONFIRM_TIMEOUT_MS = 500
TARGET_M = 1.0
GAIN_P = 2.0
GAIN_D = 1.5
STEP_S = 0.02


@dataclass
class Flight:
    """A crude model of the robot's height, so that the loop has something to
    control without hardware."""
    height_m: float = 0.0
    speed_m_s: float = 0.0

    def advance(self, thrust: float) -> None:
        self.speed_m_s += (thrust - 0.5) * STEP_S * 10
        self.height_m = max(0.0, self.height_m + self.speed_m_s * STEP_S)


def thrust_for(flight: Flight) -> float:
    error = TARGET_M - flight.height_m
    return min(1.0, max(0.0, 0.5 + GAIN_P * error - GAIN_D * flight.speed_m_s))


def setpoint(step: int, thrust: float) -> orvapy.Packet:
    packet = orvapy.Packet()
    packet.port = SETPOINT_PORT
    packet.channel = 0
    packet.payload = struct.pack(SETPOINT_FORMAT, step, round(thrust * 1000))
    return packet


def confirmed(connection: orvapy.Connection, step: int) -> bool:
    """Waits for the robot to send setpoint ``step`` back."""
    deadline = time.monotonic() + CONFIRM_TIMEOUT_MS / 1000
    while (remaining_ms := int((deadline - time.monotonic()) * 1000)) > 0:
        reply = connection.recv(remaining_ms)
        if reply.valid and reply.port == SETPOINT_PORT and len(reply) == 4:
            if struct.unpack(SETPOINT_FORMAT, reply.payload)[0] == step:
                return True
    return False


def fly(uri: str, steps: int) -> int:
    flight = Flight()
    missed = 0
    with closing(orvapy.Connection(uri)) as connection:
        for step in range(steps):
            thrust = thrust_for(flight)
            connection.send(setpoint(step, thrust))
            if confirmed(connection, step):
                flight.advance(thrust)
            else:
                missed += 1
            print(f"step {step}: height {flight.height_m:.2f} m, thrust {thrust:.2f}",
                  flush=True)
    print(f"done: {steps - missed}/{steps} setpoints confirmed, height {flight.height_m:.2f} m")
    return missed


def main(uri: str = "radio://0/80/2M/E7E7E7E7E7", steps: str = "100") -> int:
    try:
        missed = fly(uri, int(steps))
    except RuntimeError as error:
        print(f"link lost: {error}", flush=True)
        return 1
    return 0 if missed == 0 else 2


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
