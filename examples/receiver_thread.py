"""A receiver thread beside the sending program, with a clean shutdown.

The receiver blocks in ``recv(0)`` (no time limit) and hands every packet to
a queue. To stop, the main thread closes the connection: that wakes the
blocked ``recv``, which returns an empty packet, and the receiver ends. A
failed link (an unplugged dongle) ends it too, with the error.

    python3.9 -m orvaemu --dongle EMU0 --radio-robot 80/2M -- \\
        python3.9 examples/receiver_thread.py radio://0/80/2M/E7E7E7E7E7
"""
import queue
import sys
import threading
from contextlib import closing
from typing import List, Optional

import orvapy

ECHO_PORT = 1
PACKETS = 20
# How long the main thread waits for each echo, in seconds.
REPLY_WAIT_S = 5.0


class Receiver:
    """Takes packets off a connection in a thread of its own."""

    def __init__(self, connection: orvapy.Connection) -> None:
        self.packets: "queue.Queue[orvapy.Packet]" = queue.Queue()
        self.error: Optional[str] = None
        self._connection = connection
        self._thread = threading.Thread(target=self._run, name="receiver")

    def __enter__(self) -> "Receiver":
        self._thread.start()
        return self

    def __exit__(self, *exception: object) -> None:
        # Closing wakes the recv(0) that the thread is blocked in.
        self._connection.close()
        self._thread.join()

    def _run(self) -> None:
        try:
            while True:
                packet = self._connection.recv(0)
                if not packet.valid:
                    return  # the connection was closed
                self.packets.put(packet)
        except RuntimeError as error:  # the link failed
            self.error = str(error)


def main(argv: List[str]) -> int:
    uri = argv[0] if argv else "radio://0/80/2M/E7E7E7E7E7"
    with closing(orvapy.Connection(uri)) as connection, Receiver(connection) as receiver:
        echoed = 0
        for number in range(PACKETS):
            packet = orvapy.Packet()
            packet.port = ECHO_PORT
            packet.channel = 0
            packet.payload = bytes([number])
            connection.send(packet)
            try:
                while True:
                    reply = receiver.packets.get(timeout=REPLY_WAIT_S)
                    if reply.port == ECHO_PORT and reply.payload == bytes([number]):
                        echoed += 1
                        break
            except queue.Empty:
                print(f"packet {number}: no echo")
        print(f"{echoed}/{PACKETS} packets echoed; {connection.statistics}")
    # Both are closed here: the connection, and the thread, joined.
    if receiver.error:
        print(f"the link failed: {receiver.error}")
        return 1
    return 0 if echoed == PACKETS else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
