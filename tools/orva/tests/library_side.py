"""What a fresh orvapy process does, for tests that compare it with orva."""
import orvapy


def send_once(uri: str) -> int:
    """Opens the URI and sends one packet, which the worker transmits at once."""
    connection = orvapy.Connection(uri)
    packet = orvapy.Packet()
    packet.port = 1
    packet.channel = 0
    packet.payload = b"\x42"
    connection.send(packet)
    while connection.statistics.sent_count == 0:
        connection.recv(10)
    connection.close()
    return 0


def safelink_echo(uri: str) -> int:
    """One echo over a safelink connection (the default), as most programs
    exchange packets: the robot is in safelink mode afterwards."""
    connection = orvapy.Connection(uri)
    packet = orvapy.Packet()
    packet.port = 1
    packet.payload = b"\x07"
    connection.send(packet)
    for _ in range(50):
        reply = connection.recv(100)
        if reply.valid and reply.port == 1:
            break
    connection.close()
    return 0 if reply.valid and reply.payload == b"\x07" else 1
