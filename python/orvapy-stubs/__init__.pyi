"""Find Korvane flying robots and exchange small packets with them, over a
Skelder USB radio dongle or a USB cable.

Connections are named by URIs:

- ``usb://N``: the robot on a USB cable with id N;
- ``radio://D/C/R/A[?options]``: dongle D (or ``*`` for any), radio channel C,
  data rate R (``250K``, ``1M`` or ``2M``) and a 40-bit address A written as
  ten hexadecimal digits; options ``safelink``, ``autoping`` and ``ackfilter``,
  all on unless given as ``=0``, joined with ``&``.

Every time is in milliseconds. Library failures raise RuntimeError with a
fixed text; a number in a URI too large for 32 bits raises IndexError
"stoi argument out of range".
"""
from typing import Iterator, List, Sequence, Union

__version__: str
"""The library's version text, "1.0a3"."""


class Packet:
    """One link packet: a port (0 to 15), a channel (0 to 3) and up to 31
    payload bytes.

    ``len(p)``, ``p[i]``, iteration, ``p.payload``, ``p.size`` and
    ``memoryview(p)`` all work on the payload. The buffer is the packet's own
    memory, one-dimensional, format "B", writable and never copied; a view's
    length is fixed when it is taken.
    """

    def __init__(self) -> None:
        """A new, empty packet: port 15, channel 3, no payload, ``valid`` False."""

    @property
    def channel(self) -> int:
        """The channel within the port, 0 to 3.

        Setting keeps the value's two low bits (5 reads back as 1) and leaves
        the port alone; a value outside 0 to 255 raises TypeError.
        """

    @channel.setter
    def channel(self, value: int) -> None: ...

    @property
    def port(self) -> int:
        """The port, 0 to 15. Lower ports leave a connection's queues first.

        Setting keeps the value's four low bits (17 reads back as 1) and leaves
        the channel alone; a value outside 0 to 255 raises TypeError.
        """

    @port.setter
    def port(self, value: int) -> None: ...

    def __len__(self) -> int:
        """The payload length in bytes, 0 to 31."""

    def __getitem__(self, index: int, /) -> int:
        """The payload byte at ``index``, 0 to 255.

        Raises IndexError (with an empty message) when ``index`` is at or
        beyond the payload length.
        """

    def __setitem__(self, index: int, value: int, /) -> int:
        """Writes one payload byte and returns it.

        Raises IndexError (empty message) when ``index`` is at or beyond the
        payload length, checked first; then ValueError (empty message) when
        ``value`` is outside 0 to 255. A value beyond 32 bits raises TypeError.
        """

    def __iter__(self) -> Iterator[int]:
        """The payload bytes in order (through ``__getitem__``)."""

    def __buffer__(self, flags: int, /) -> memoryview:
        """The payload in place, for ``memoryview(p)`` and ``bytes(p)``."""

    @property
    def payload(self) -> bytes:
        """A copy of the payload bytes.

        Setting takes a ``bytes`` object only (a bytearray or memoryview
        raises TypeError) of at most 31 bytes. More raises RuntimeError
        "Size 33 too large! Maximum: 32." (the size named counts the header
        byte) and leaves the packet as it was.
        """

    @payload.setter
    def payload(self, value: bytes) -> None: ...

    @property
    def size(self) -> int:
        """The payload length, 0 to 31.

        Setting changes the length without clearing or moving bytes, so that
        shrinking and growing again shows the earlier bytes. A size above 31
        raises RuntimeError "Size N too large! Maximum: 32." with N the size
        plus one; a negative size raises TypeError.
        """

    @size.setter
    def size(self, value: int) -> None: ...

    @property
    def valid(self) -> bool:
        """False for an empty packet, such as the one ``Connection.recv``
        returns when its time runs out. Read only."""

    def __repr__(self) -> str:
        """For example "Packet(channel=0,port=3,safelinkUp=1,safelinkDown=1,data=1 2 ,seq=5)":
        the header's fields, the payload bytes in decimal each followed by a
        blank, and the sequence number ``send`` stamped on it."""


class ConnectionStatistics:
    """A snapshot of a connection's counters, made when
    ``Connection.statistics`` is read; it never changes afterwards. It cannot
    be created from Python (TypeError "orvapy.ConnectionStatistics: No
    constructor defined!")."""

    @property
    def sent_count(self) -> int:
        """Transmissions handed to the device. Over radio every one counts:
        packets, pings, the safelink handshake and resends. Over a cable,
        every packet written."""

    @property
    def ack_count(self) -> int:
        """Acknowledged radio exchanges whose reply was accepted: without
        safelink every acknowledged exchange; with safelink the handshake and
        then only acknowledgements carrying a reply with the expected bit.
        Always 0 over a cable."""

    def __repr__(self) -> str:
        """All four counters, e.g.
        "Statistics(sent_count=12,receive_count=3,enqueued_count=4,ack_count=10)";
        receive_count and enqueued_count are shown only here."""


class Connection:
    """One link to one robot, opened from a URI.

    Close it with ``close()`` (or ``contextlib.closing``); collecting the
    object closes it too. ``send``, ``recv``, ``close`` and the scans run
    without the interpreter lock, so other threads go on meanwhile, and one
    thread may wait in ``recv`` while another sends.

    Once the device serving the connection fails (for example unplugged),
    ``send``, ``recv`` and ``statistics`` raise RuntimeError with the
    device's error text, such as "LIBUSB_ERROR_NO_DEVICE", every time.
    """

    def __init__(self, uri: Union[str, bytes], /) -> None:
        """Opens the link named by ``uri``.

        The devices are those found at the first use of the library or at the
        last ``scan``. Raises RuntimeError with texts such as:

        - "Invalid uri (URI)!" for a URI that does not match the grammar, and
          "Invalid uri (URI)! Unknown TOKEN." for an unknown option;
        - "No Korvane with id=N found. There are M Korvanes connected.";
        - "No Skelder dongle found!" and
          "No Skelder with id=N found.There are M Skelders connected.";
        - "Connection URI is using the same settings as an existing connection!";
        - "Channel C is already served by Skelder K. Cannot be served by
          Skelder D simultaneously.URI1 URI2" and the 2M variants, when
          overlapping channels would be split between dongles;
        - "Cannot operate more than one connection over USB!".

        A device number or channel beyond 2147483647 raises IndexError
        "stoi argument out of range"; a uri that is neither str nor bytes
        raises TypeError.
        """

    @staticmethod
    def scan(address: int = 0xE7E7E7E7E7) -> List[str]:
        """The reachable robots: first ``usb://N`` for each robot on a cable,
        then ``radio://*/C/R/ADDRESS`` for every radio channel (0 to 124) and
        data rate on which a robot answers at the 40-bit ``address``, by data
        rate (250K, 1M, 2M) and then channel.

        Looks for newly plugged devices first. A probe that fails prints a
        line "Error during scan: " and the error's text on standard output;
        an address of more than 40 bits makes every probe fail so. A negative
        address raises TypeError.
        """

    @staticmethod
    def scan_selected(uris: Sequence[Union[str, bytes]], /) -> List[str]:
        """The given URIs (a list or tuple, not a bare str) whose robot
        answers, in the given order and text, options included. Invalid or
        unreachable URIs are left out, silently."""

    def send(self, packet: Packet, /) -> None:
        """Queues a copy of ``packet`` for transmission and returns at once.

        Stamps ``packet`` with its sequence number (seen in its repr). Do not
        touch ``packet`` from another thread until ``send`` returns. Raises
        RuntimeError with the device's error text once the link has failed.
        """

    def recv(self, timeout: int) -> Packet:
        """The next received packet, lowest port first, then in arrival order.

        Waits at most ``timeout`` milliseconds (0 to 4294967295); 0 waits
        without limit and still reacts to Ctrl-C. When the time runs out the
        result is an empty packet whose ``valid`` is False. Raises
        RuntimeError with the device's error text once the link has failed; a
        negative ``timeout`` raises TypeError.
        """

    def close(self) -> None:
        """Closes the link; a second call does nothing. Packets still queued
        are not sent. Raises RuntimeError "Connection does not belong to this
        thread!" in the rare case that the robot's record was renewed."""

    @property
    def uri(self) -> str:
        """The URI exactly as given to the constructor. Works after ``close``
        and after a failure."""

    @property
    def statistics(self) -> ConnectionStatistics:
        """A new snapshot of the counters at every read. Raises RuntimeError
        with the device's error text once the link has failed."""

    def __repr__(self) -> str:
        """"Connection(URI)"."""
