"""Measure the quality of a link, live, then sum it up.

Every interval orva sends one packet and prints how many of the link's
exchanges were acknowledged (acknowledged / sent, from the connection's
counters) and how many exchanges per second the link made. Over a USB cable
there are no acknowledgements: the share of packets that came back counts
instead. With --echo PORT the packets go to that port, which the robot echoes,
and orva shows their round-trip times as percentiles and a histogram. Ctrl-C
ends it with the summary.

In safelink mode the library counts only the acknowledgements that carry a
reply, so on a radio URI that does not name the safelink option orva turns
safelink off (safelink=0) to count every acknowledgement. With --echo it
keeps safelink on instead and counts the echoes: a robot that a program with
safelink (the default) has used stays in safelink mode until it restarts and
drops a plain connection's packets as repeats, while the safelink handshake
starts its count afresh. Name safelink=0 to measure echoes without it; orva
says so when the robot drops them."""
from __future__ import annotations

import argparse
import json
import struct
import sys
import time
from contextlib import closing
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional

import orvapy

from ..advice import ACCESS_ERROR, NO_DEVICE_ERRORS, access_lines, explain_absence, refused_devices, say
from ..exitcodes import FAILED, OK, USAGE
from ..roundtrip import histogram, summary

NAME = "ping"
SUMMARY = "measure a link: acknowledged share, exchange rate, round trips"
# Echo payloads start with this mark and carry the ping's number.
ECHO_MARK = b"orva"
ECHO_FORMAT = "<4sI"
PING_PORT = 15
PING_CHANNEL = 3
# After the last packet, how long its reply may still take.
DRAIN_S = 1.0
# recv() takes its time-out as an unsigned 32-bit count of milliseconds.
LONGEST_INTERVAL_MS = 2**32 - 1
SAFELINK_ECHOES_DROPPED = [
    "orva ping: the robot acknowledged the packets but echoed {echoed} of {packets}. A robot "
    "that a program with safelink (the default) has used stays in safelink mode until it "
    "restarts, and drops the packets of a plain connection (safelink=0) as repeats.",
    "Leave safelink out of the URI to measure echoes with safelink, or restart the robot; if "
    "it still echoes nothing, nothing echoes on port {port}."]


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def interval(text: str) -> int:
    value = positive(text)
    if value > LONGEST_INTERVAL_MS:
        raise argparse.ArgumentTypeError(f"at most {LONGEST_INTERVAL_MS} ms")
    return value


def port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 15:
        raise argparse.ArgumentTypeError("a port is 0 to 15")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("uri", metavar="URI", help="e.g. radio://0/80/2M/E7E7E7E7E7 or usb://0")
    parser.add_argument("--count", type=positive, metavar="N",
                        help="stop after N packets (default: run until Ctrl-C)")
    parser.add_argument("--interval", type=interval, default=1000, metavar="MS",
                        help="milliseconds between packets, 1 to 4294967295 (default 1000)")
    parser.add_argument("--echo", type=port, metavar="PORT",
                        help="send to this port, which the robot echoes, and count and time the "
                             "echoes (with safelink unless the URI turns it off)")
    parser.add_argument("--json", action="store_true",
                        help="print the summary as JSON on standard output (live lines go to "
                             "standard error)")


@dataclass
class Tally:
    """What one run of ping has seen."""
    over_cable: bool
    # Measured by its echoes: acknowledgements of a safelink connection tell little.
    by_echoes: bool = False
    packets: int = 0
    replies: int = 0  # packets that came back (cable) or echoes (--echo)
    repeats: int = 0  # echoes that came back more than once
    sent_count: int = 0
    ack_count: int = 0
    round_trips_ms: List[float] = field(default_factory=list)
    started: float = field(default_factory=time.monotonic)
    failure: Optional[str] = None

    def seconds(self) -> float:
        return max(time.monotonic() - self.started, 1e-9)

    def quality(self) -> str:
        if self.by_echoes:
            return f"echoed {self.replies}/{self.packets} ({percent(self.replies, self.packets)})"
        if self.over_cable:
            return f"came back {self.replies}/{self.packets} ({percent(self.replies, self.packets)})"
        return f"acknowledged {self.ack_count}/{self.sent_count} " \
               f"({percent(self.ack_count, self.sent_count)})"

    def rate(self) -> str:
        exchanges = self.packets + self.replies if self.over_cable else self.sent_count
        return f"{exchanges / self.seconds():.0f} exchanges/s"

    def succeeded(self, echo: bool) -> bool:
        answered = self.replies if self.over_cable or echo else self.ack_count
        return self.failure is None and answered > 0

    def echoes_dropped_as_repeats(self) -> bool:
        """A plain connection's echoes that a robot in safelink mode drops:
        acknowledged packets, and no echo but perhaps the first."""
        return (not self.by_echoes and not self.over_cable and self.ack_count > 0
                and self.replies < self.packets and self.replies <= 1)

    def as_json(self, uri: str, echo: bool) -> Dict[str, Any]:
        mode = "cable" if self.over_cable else "safelink" if self.by_echoes else "plain"
        result: Dict[str, Any] = {
            "uri": uri, "mode": mode, "seconds": round(self.seconds(), 3),
            "packets": self.packets, "sent_count": self.sent_count, "ack_count": self.ack_count,
            "replies": self.replies, "repeats": self.repeats, "failure": self.failure}
        if echo and self.round_trips_ms:
            result["round_trip_ms"] = summary(self.round_trips_ms)
        return result


def percent(part: int, whole: int) -> str:
    return f"{100 * part / whole:.1f}%" if whole else "-"


def ping_packet(number: int, echo_port: Optional[int]) -> orvapy.Packet:
    packet = orvapy.Packet()
    if echo_port is None:
        packet.port = PING_PORT
        packet.channel = PING_CHANNEL
        packet.payload = b""
    else:
        packet.port = echo_port
        packet.channel = 0
        packet.payload = struct.pack(ECHO_FORMAT, ECHO_MARK, number)
    return packet


class Pinger:
    def __init__(self, connection: orvapy.Connection, options: argparse.Namespace) -> None:
        self.connection = connection
        self.echo: Optional[int] = options.echo
        self.interval_s = options.interval / 1000
        self.count: Optional[int] = options.count
        self.live = sys.stderr if options.json else sys.stdout
        self.tally = Tally(over_cable=not connection.uri.startswith("radio://"),
                           by_echoes=self.echo is not None and safelink_on(connection.uri))
        self.sent_at: Dict[int, float] = {}

    def take(self, reply: orvapy.Packet, now: float) -> None:
        if self.echo is None:
            if self.tally.over_cable and reply.port == PING_PORT and len(reply) == 0:
                self.tally.replies += 1
            return
        payload = reply.payload
        if reply.port != self.echo or len(payload) != struct.calcsize(ECHO_FORMAT):
            return
        mark, number = struct.unpack(ECHO_FORMAT, payload)
        if mark != ECHO_MARK:
            return
        sent = self.sent_at.pop(number, None)
        if sent is not None:
            self.tally.replies += 1
            self.tally.round_trips_ms.append((now - sent) * 1000)
        elif number < self.tally.packets:
            self.tally.repeats += 1

    def one(self, number: int) -> None:
        sent = time.monotonic()
        self.sent_at[number] = sent
        self.connection.send(ping_packet(number, self.echo))
        self.tally.packets += 1
        self.receive_until(sent + self.interval_s, lambda: True)
        line = f"{number + 1:5d}  {self.tally.quality()}  {self.tally.rate()}"
        if self.echo is not None and self.tally.round_trips_ms:
            line += f"  last round trip {self.tally.round_trips_ms[-1]:.2f} ms"
        print(line, file=self.live, flush=True)

    def outstanding(self) -> bool:
        if self.echo is not None:
            return bool(self.sent_at)
        return self.tally.over_cable and self.tally.replies < self.tally.packets

    def drain(self) -> None:
        """Gives the replies to the last packets, which had only one interval
        so far, some more time."""
        self.receive_until(time.monotonic() + DRAIN_S, self.outstanding)

    def receive_until(self, deadline: float, wanted: Callable[[], bool]) -> None:
        """Takes replies until the deadline (or until none is wanted), then
        reads the link's counters."""
        while wanted():
            remaining_ms = int((deadline - time.monotonic()) * 1000)
            if remaining_ms <= 0:
                break
            reply = self.connection.recv(remaining_ms)
            if reply.valid:
                self.take(reply, time.monotonic())
        statistics = self.connection.statistics
        self.tally.sent_count, self.tally.ack_count = statistics.sent_count, statistics.ack_count

    def run(self) -> None:
        number = 0
        try:
            while self.count is None or number < self.count:
                self.one(number)
                number += 1
            self.drain()
        except RuntimeError as error:
            self.tally.failure = str(error)
        except KeyboardInterrupt:
            # Ctrl-C ends the run; the counters as they are now go in the summary.
            try:
                statistics = self.connection.statistics
                self.tally.sent_count = statistics.sent_count
                self.tally.ack_count = statistics.ack_count
            except RuntimeError as error:
                self.tally.failure = str(error)


def print_summary(uri: str, tally: Tally, echo: Optional[int]) -> None:
    print(f"--- {uri}: {tally.packets} packets in {tally.seconds():.1f} s ---")
    print(f"{tally.quality()}, {tally.rate()}")
    if echo is not None:
        lost = tally.packets - tally.replies
        print(f"echoes on port {echo}: {tally.replies}/{tally.packets} came back, "
              f"{percent(lost, tally.packets)} lost")
        if tally.round_trips_ms:
            print("round trip: " + ", ".join(f"{name} {value:.2f} ms"
                                             for name, value in summary(tally.round_trips_ms).items()))
            for line in histogram(tally.round_trips_ms):
                print(line)


def report_open_failure(uri: str, opened: str, error: Exception) -> int:
    # The user's URI, not the one orva opened with its safelink option.
    text = str(error).replace(opened, uri)
    if isinstance(error, IndexError):
        # The library's text names only the conversion that overflowed.
        print(f"orva ping: a number in {uri} is too large ({text})", file=sys.stderr)
        return USAGE
    print(f"orva ping: {text}", file=sys.stderr)
    if text.startswith("Invalid uri"):
        return USAGE
    if text.startswith(NO_DEVICE_ERRORS):
        explain_absence()
    return FAILED


def safelink_on(uri: str) -> bool:
    return uri.startswith("radio://") and "safelink=0" not in uri


def measured_uri(uri: str, echo: bool) -> str:
    """The URI to open: safelink off on a radio URI that leaves it unsaid,
    unless echoes are measured. A malformed URI is left for the library to
    refuse."""
    if echo or not uri.startswith("radio://") or "safelink=" in uri or uri.endswith("?"):
        return uri
    if "?" not in uri:
        return uri + "?safelink=0"
    return uri + ("" if uri.endswith("&") else "&") + "safelink=0"


def run(options: argparse.Namespace) -> int:
    opened = measured_uri(options.uri, options.echo is not None)
    try:
        connection = orvapy.Connection(opened)
    except (RuntimeError, IndexError, ValueError) as error:
        return report_open_failure(options.uri, opened, error)
    pinger = Pinger(connection, options)
    print(f"orva ping {connection.uri}", file=pinger.live, flush=True)
    with closing(connection):
        pinger.run()
    tally = pinger.tally
    if options.json:
        print(json.dumps(tally.as_json(connection.uri, options.echo is not None), indent=2))
    else:
        print_summary(connection.uri, tally, options.echo)
    echo = options.echo is not None
    dropped = echo and tally.failure is None and tally.echoes_dropped_as_repeats()
    if tally.failure is not None:
        print(f"orva ping: the link failed: {tally.failure}", file=sys.stderr)
        if ACCESS_ERROR in tally.failure:
            say(access_lines(refused_devices()))
    elif dropped:
        say([line.format(echoed=tally.replies, packets=tally.packets, port=options.echo)
             for line in SAFELINK_ECHOES_DROPPED])
    elif not tally.succeeded(echo):
        say(["orva ping: nothing came back.",
             "Switch the robot on and check the URI's channel, data rate and address."])
    return OK if tally.succeeded(echo) and not dropped else FAILED
