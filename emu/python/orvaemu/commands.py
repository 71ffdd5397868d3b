"""The launcher's side of orvaemu.control: carries out fault commands on a bench."""

import socketserver
import threading

from .devices import parse_radio_robot


def _switch(word):
    if word not in ("on", "off"):
        raise ValueError(f"expected on or off, not {word!r}")
    return word == "on"


class Commands:
    """Carries out command lines on the devices of one bench."""

    def __init__(self, usb_devices, radio_robots):
        self._usb = usb_devices  # serial -> Dongle or USBRobot
        self._radio = radio_robots  # (channel, datarate, address) -> RadioRobot

    def run(self, line):
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
        actions = {
            "unplug": lambda: device.unplug(),
            "replug": lambda: device.replug(),
            "stall": lambda: device.stall_endpoint(int(arguments[1], 0)),
            "short-write": lambda: device.short_write(int(arguments[1])),
            "hang-next-write": lambda: device.hang_next_write(int(arguments[1])),
            "fail-next-control": lambda: device.fail_next_control(),
            "time-out-next-control": lambda: device.time_out_next_control(),
            "stop-answering": lambda: device.stop_answering(_switch(arguments[1])),
            "refuse": lambda: device.refuse(int(arguments[1])),
            "deny-access": lambda: device.deny_access(_switch(arguments[1])),
        }
        if verb not in actions:
            raise ValueError(f"unknown command {verb!r}")
        try:
            actions[verb]()
        except IndexError:
            raise ValueError(f"{verb}: missing argument")
        except AttributeError:
            raise ValueError(f"{verb}: not a command for {device.serial}")

    def _usb_device(self, arguments):
        if not arguments or arguments[0] not in self._usb:
            raise ValueError(f"no dongle or USB robot {arguments[0] if arguments else ''!r}")
        return self._usb[arguments[0]]

    def _radio_robot(self, arguments):
        if len(arguments) != 2:
            raise ValueError("expected CH/RATE[/ADDR] and a value")
        key = parse_radio_robot(arguments[0])
        if key not in self._radio:
            raise ValueError(f"no radio robot at {arguments[0]}")
        return self._radio[key]


class _Handler(socketserver.StreamRequestHandler):
    # One command per connection, so that no client can hold the server open.
    def handle(self):
        line = self.rfile.readline().decode(errors="replace")
        try:
            self.server.commands.run(line)
            reply = "ok"
        except (ValueError, RuntimeError) as error:
            reply = f"error: {error}"
        self.wfile.write(reply.encode() + b"\n")


class ControlServer:
    """Serves commands on a Unix socket from a thread of its own while the bench lives."""

    def __init__(self, path, commands):
        self._server = socketserver.ThreadingUnixStreamServer(path, _Handler)
        self._server.daemon_threads = False
        self._server.block_on_close = True
        self._server.commands = commands
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1}, name="orvaemu-control")

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exception):
        self._server.shutdown()
        self._thread.join()
        self._server.server_close()
