"""Run by an interpreter of a fresh virtual environment in which an orvapy
wheel is installed; prints what it saw as JSON.

    python wheelprobe.py scan          import orvapy, scan for robots, echo a
                                       packet with each one found
    python wheelprobe.py load FILE     load FILE as the orvapy module
"""
import importlib.machinery
import importlib.util
import json
import sys


def mapped_libusb():
    """The files of libusb that this process has mapped."""
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if len(line.split()) >= 6}
    return sorted(path for path in paths if "libusb" in path.rsplit("/", 1)[-1])


def echoes(orvapy, uri):
    """Whether the robot at uri sends back a packet on the echo port; a
    bounded number of waits."""
    connection = orvapy.Connection(uri)
    try:
        packet = orvapy.Packet()
        packet.port = 1
        packet.payload = b"\x01\xa5\x5a"
        connection.send(packet)
        for _ in range(20):
            reply = connection.recv(500)
            if reply.valid and reply.port == 1 and reply.payload == packet.payload:
                return True
        return False
    finally:
        connection.close()


def scan():
    import orvapy

    found = orvapy.Connection.scan()
    return {"module": orvapy.__file__, "version": orvapy.__version__,
            "libusb": mapped_libusb(), "found": found,
            "echoed": [uri for uri in found if echoes(orvapy, uri)]}


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("orvapy", path)
    found = importlib.util.spec_from_loader("orvapy", loader)
    try:
        importlib.util.module_from_spec(found)
    except ImportError as error:
        return {"refused": str(error), "version": sys.version}
    return {"refused": None, "version": sys.version}


def main(argv):
    result = scan() if argv[0] == "scan" else load(argv[1])
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv[1:])
