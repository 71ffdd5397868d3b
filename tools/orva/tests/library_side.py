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
