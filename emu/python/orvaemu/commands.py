"""The launcher's side of orvaemu.control: carries out fault commands on a bench."""

import socketserver
import threading
from typing import Any, Callable, Dict, List, Mapping, Tuple, Union

from ._orvaemu import Dongle, RadioRobot, USBRobot
from .devices import parse_radio_robot

USBDevices = Mapping[str, Union[Dongle, USBRobot]]
RadioRobots = Mapping[Tuple[int, str, int], RadioRobot]


def _switch(word: str) -> bool:
    if word not in ("on", "off"):
        raise ValueError(f"expected on or off, not {word!r}")
    return word == "on"


class Commands:
    """Carries out command lines on the devices of one bench."""

    def __init__(self, usb_devices: USBDevices, radio_robots: RadioRobots) -> None:
        self._usb = usb_devices  # serial -> Dongle or USBRobot
        self._radio = radio_robots  # (channel, datarate, address) -> RadioRobot

    def run(self, line: str) -> None:
        words = line.split()
        if not words:
            raise ValueError("empty command")
        verb, arguments = words[0], words[1:]
        if verb in ("loss", "silent"):
            robot = self._radio_robot(arguments)
            if verb == "loss":
                robot.loss = float(arguments[1])
            else:
                robot.silent = _switch(arguments[1])
            return
        device = self._usb_device(arguments)
        # Commands a device lacks fail with AttributeError, reported below.
        target: Any = device
        actions: Dict[str, Callable[[], None]] = {
            "unplug": lambda: target.unplug(),
            "replug": lambda: target.replug(),
            "stall": lambda: target.stall_endpoint(int(arguments[1], 0)),
            "short-write": lambda: target.short_write(int(arguments[1])),
            "hang-next-write": lambda: target.hang_next_write(int(arguments[1])),
            "fail-next-control": lambda: target.fail_next_control(),
            "time-out-next-control": lambda: target.time_out_next_control(),
            "stop-answering": lambda: target.stop_answering(_switch(arguments[1])),
            "refuse": lambda: target.refuse(int(arguments[1])),
            "deny-access": lambda: target.deny_access(_switch(arguments[1])),
        }
        if verb not in actions:
            raise ValueError(f"unknown command {verb!r}")
        try:
            actions[verb]()
        except IndexError:
            raise ValueError(f"{verb}: missing argument")
        except AttributeError:
            raise ValueError(f"{verb}: not a command for {device.serial}")

    def _usb_device(self, arguments: List[str]) -> Union[Dongle, USBRobot]:
        if not arguments or arguments[0] not in self._usb:
            raise ValueError(f"no dongle or USB robot {arguments[0] if arguments else ''!r}")
        return self._usb[arguments[0]]

    def _radio_robot(self, arguments: List[str]) -> RadioRobot:
        if len(arguments) != 2:
            raise ValueError("expected CH/RATE[/ADDR] and a value")
        key = parse_radio_robot(arguments[0])
        if key not in self._radio:
            raise ValueError(f"no radio robot at {arguments[0]}")
        return self._radio[key]


class _Handler(socketserver.StreamRequestHandler):
    # One command per connection, so that no client can hold the server open.
    def handle(self) -> None:
        line = self.rfile.readline().decode(errors="replace")
        try:
            commands: Commands = getattr(self.server, "commands")
            commands.run(line)
            reply = "ok"
        except (ValueError, RuntimeError) as error:
            reply = f"error: {error}"
        self.wfile.write(reply.encode() + b"\n")


class ControlServer:
    """Serves commands on a Unix socket from a thread of its own while the bench lives."""

    def __init__(self, path: str, commands: Commands) -> None:
        self._server = socketserver.ThreadingUnixStreamServer(path, _Handler)
        self._server.daemon_threads = False
        self._server.block_on_close = True
        setattr(self._server, "commands", commands)
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1}, name="orvaemu-control")

    def __enter__(self) -> "ControlServer":
        self._thread.start()
        return self

    def __exit__(self, *exception: object) -> None:
        self._server.shutdown()
        self._thread.join()
        self._server.server_close()
