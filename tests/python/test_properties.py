"""Random values and types against the Python surface: Packet as a value, a
buffer and a sequence; URIs refused by Connection with exact errors; the
statistics type. Devices are not needed: every URI here fails before one
would be opened."""
import re
from typing import Any, Callable, Dict, List, Optional, Tuple, Type

import pytest
from hypothesis import given, settings, strategies as st

from orvapy import Connection, ConnectionStatistics, Packet

settings.register_profile("orvapy", max_examples=300, deadline=None)
settings.load_profile("orvapy")

U64 = 2**64
I64 = 2**63
I32 = 2**31
NOT_INTEGERS = st.one_of(st.floats(), st.text(max_size=3), st.none(), st.lists(st.integers()),
                         st.binary(max_size=3))


def too_large(total: int) -> str:
    return f"Size {total} too large! Maximum: 32."


class Model:
    """What a packet must show, kept beside it."""

    def __init__(self) -> None:
        self.header = 0xFF
        self.data = bytearray(31)
        self.length = 0  # payload bytes; the record's size less one, 0 when empty
        self.valid = False

    def check(self, p: Packet) -> None:
        payload = bytes(self.data[:self.length])
        assert (p.channel, p.port) == (self.header & 3, self.header >> 4)
        assert (len(p), p.size, p.valid) == (self.length, self.length, self.valid)
        assert p.payload == payload
        assert bytes(p) == payload and list(p) == list(payload)
        view = memoryview(p)
        assert (view.format, view.readonly, view.shape) == ("B", False, (self.length,))
        assert repr(p) == ("Packet(channel={},port={},safelinkUp={},safelinkDown={},data={},seq=0)"
                           .format(self.header & 3, self.header >> 4, self.header >> 3 & 1,
                                   self.header >> 2 & 1, "".join(f"{b} " for b in payload)))


def refused(call: Callable[[], object], kind: Type[BaseException],
            text: Optional[str] = None) -> None:
    with pytest.raises(Exception) as raised:
        call()
    assert type(raised.value) is kind, raised.value
    if text is not None:
        assert str(raised.value) == text


def assign(p: Packet, name: str, value: object) -> None:
    setattr(p, name, value)


OPERATIONS = st.one_of(
    st.tuples(st.just("channel"), st.one_of(st.integers(-300, 300), st.integers(), NOT_INTEGERS)),
    st.tuples(st.just("port"), st.one_of(st.integers(-300, 300), NOT_INTEGERS)),
    st.tuples(st.just("payload"), st.one_of(st.binary(max_size=40), NOT_INTEGERS,
                                            st.binary(max_size=5).map(bytearray))),
    st.tuples(st.just("size"), st.one_of(st.integers(-5, 40), st.integers(U64 - 3, U64 + 3),
                                         NOT_INTEGERS)),
    st.tuples(st.just("setitem"), st.tuples(st.one_of(st.integers(-40, 40), st.integers(),
                                                      NOT_INTEGERS),
                                            st.one_of(st.integers(-300, 300), st.integers(),
                                                      NOT_INTEGERS))),
    st.tuples(st.just("getitem"), st.one_of(st.integers(-40, 40), st.integers(), NOT_INTEGERS)),
    st.tuples(st.just("view"), st.tuples(st.integers(0, 40), st.integers(0, 255))),
)


def apply(p: Packet, m: Model, operation: str, value: Any) -> None:
    """Runs one operation on the packet and the model; a refusal must change
    nothing, which the caller checks afterwards."""
    if operation in ("channel", "port"):
        if not isinstance(value, int) or not 0 <= value <= 255:
            return refused(lambda: assign(p, operation, value), TypeError)
        assign(p, operation, value)
        m.header = (m.header & 0xFC | value & 3) if operation == "channel" else \
            (m.header & 0x0F | (value & 0x0F) << 4)
    elif operation == "payload":
        if not isinstance(value, bytes):
            return refused(lambda: assign(p, "payload", value), TypeError)
        if len(value) > 31:
            return refused(lambda: assign(p, "payload", value), RuntimeError,
                           too_large(len(value) + 1))
        p.payload = value
        m.data[:len(value)] = value
        m.length, m.valid = len(value), True
    elif operation == "size":
        if not isinstance(value, int) or not 0 <= value < U64:
            return refused(lambda: assign(p, "size", value), TypeError)
        if value > 31:
            return refused(lambda: assign(p, "size", value), RuntimeError, too_large(value + 1))
        p.size = value
        m.length, m.valid = value, True
    elif operation == "setitem":
        index, byte = value
        if not (isinstance(index, int) and -I64 <= index < I64 and
                isinstance(byte, int) and -I32 <= byte < I32):
            return refused(lambda: p.__setitem__(index, byte), TypeError)
        if not -m.length <= index < m.length:
            return refused(lambda: p.__setitem__(index, byte), IndexError, "")
        if not 0 <= byte <= 255:
            return refused(lambda: p.__setitem__(index, byte), ValueError, "")
        assert p.__setitem__(index, byte) == byte
        m.data[index % m.length] = byte
    elif operation == "getitem":
        if not (isinstance(value, int) and -I64 <= value < I64):
            return refused(lambda: p[value], TypeError)
        if not -m.length <= value < m.length:
            return refused(lambda: p[value], IndexError, "")
        assert p[value] == m.data[value % m.length]
    else:
        index, byte = value
        view = memoryview(p)
        if index < m.length:
            view[index] = byte
            m.data[index] = byte
        else:
            refused(lambda: view.__setitem__(index, byte), IndexError)


@given(st.lists(OPERATIONS, max_size=25))
def test_packet_follows_its_model(operations: List[Tuple[str, Any]]) -> None:
    p, m = Packet(), Model()
    m.check(p)
    for operation, value in operations:
        apply(p, m, operation, value)
        m.check(p)


@given(st.binary(max_size=31), st.integers(0, 31), st.integers(0, 31))
def test_shrinking_and_growing_the_size_keeps_the_bytes(payload: bytes, shrunk: int,
                                                        grown: int) -> None:
    p = Packet()
    p.payload = payload
    p.size = shrunk
    p.size = max(grown, len(payload))
    assert p.payload[:len(payload)] == payload


@given(st.lists(st.one_of(st.integers(), st.text(max_size=3), st.none()), max_size=3),
       st.dictionaries(st.sampled_from(["sent_count", "ack_count", "x"]), st.integers(),
                       max_size=2))
def test_statistics_cannot_be_made(arguments: List[Any], keywords: Dict[str, int]) -> None:
    refused(lambda: ConnectionStatistics(*arguments, **keywords), TypeError,
            "orvapy.ConnectionStatistics: No constructor defined!")


# The URI grammar, as the library documents it, and its reading.
GRAMMAR = re.compile(r"usb://(\d+)|radio://(\d+|\*)/(\d+)/(250K|1M|2M)/([a-fA-F0-9]{10}|\*)"
                     r"(\?[\w=&]+)?", re.ASCII)
OPTION = re.compile(r"(safelink|autoping|ackfilter)=([0|1])", re.ASCII)
# No device has such an index, so a well-formed URI fails at the registry.
ABSENT = 1000


def expected_failure(uri: str) -> Tuple[Type[Exception], str]:
    """(exception type, exact text or pattern) that Connection(uri) raises."""
    invalid = f"Invalid uri ({uri})!"
    match = GRAMMAR.fullmatch(uri)
    if not match:
        return RuntimeError, re.escape(invalid)
    usb, dongle, channel, _, address, options = match.groups()
    numbers = [usb] if usb is not None else [n for n in (dongle, channel) if n != "*"]
    if any(int(n) >= I32 for n in numbers):
        return IndexError, re.escape("stoi argument out of range")
    if usb is not None:
        return RuntimeError, rf"No Korvane with id={int(usb)} found\. There are \d+ Korvanes connected\."
    if int(channel) > 255:
        return RuntimeError, re.escape(invalid)
    if address == "*":
        return ValueError, re.escape("invalid stoull argument")
    tokens = options[1:].split("&") if options else []
    if options and options.endswith("&"):
        tokens.pop()  # a "&" at the very end adds no token
    for token in tokens:
        if not OPTION.fullmatch(token):
            return RuntimeError, re.escape(f"{invalid} Unknown {token}.")
    if dongle == "*":
        # Any dongle will do; the test process has none.
        return RuntimeError, re.escape("No Skelder dongle found!")
    return RuntimeError, rf"No Skelder with id={int(dongle)} found\.There are \d+ Skelders connected\."


NUMBER = st.one_of(st.integers(ABSENT, ABSENT + 5).map(str), st.just("2147483648"),
                   st.integers(0, 400).map(lambda n: f"{ABSENT + n}"), st.just("0" * 12 + "1001"),
                   st.text("0123456789", min_size=1, max_size=12).map(lambda t: "1" + t))
NEAR_URIS = st.one_of(
    st.builds("usb://{}".format, NUMBER),
    st.builds("radio://{}/{}/{}/{}{}".format,
              st.one_of(NUMBER, st.just("*"), st.just("x")),
              st.one_of(st.integers(0, 300).map(str), NUMBER, st.just("")),
              st.sampled_from(["250K", "1M", "2M", "2m", "500K"]),
              st.one_of(st.text("0123456789abcdefABCDEF", min_size=9, max_size=11), st.just("*")),
              st.one_of(st.just(""), st.just("?"),
                        st.lists(st.one_of(st.sampled_from(["safelink", "autoping", "ackfilter",
                                                            "foo", ""]).flatmap(
                            lambda name: st.sampled_from(["0", "1", "|", "2", ""]).map(
                                lambda value: f"{name}={value}")), st.just("")),
                                 min_size=1, max_size=4).map(lambda t: "?" + "&".join(t)))),
)


def check_refusal(uri: str, given: Optional[bytes] = None) -> None:
    kind, text = expected_failure(uri)
    with pytest.raises(Exception) as raised:
        Connection(uri if given is None else given)
    assert type(raised.value) is kind, (uri, raised.value)
    assert re.fullmatch(text, str(raised.value)), (uri, str(raised.value))


# A URI whose dongle is "*" and which is otherwise well formed could open a
# connection on a dongle that is present; leave those out.
def opens_nothing(uri: str) -> bool:
    match = GRAMMAR.fullmatch(uri)
    return not (match and match.group(2) == "*" and expected_failure(uri)[1].startswith("No "))


@given(st.one_of(NEAR_URIS, st.text(max_size=40)).filter(
    lambda uri: "\x00" not in uri and opens_nothing(uri)))
def test_uri_refusals_are_exact(uri: str) -> None:
    check_refusal(uri)


@given(NEAR_URIS.filter(opens_nothing))
def test_uri_as_bytes_is_taken_unchanged(uri: str) -> None:
    check_refusal(uri, uri.encode())


@given(NOT_INTEGERS.filter(lambda v: not isinstance(v, (str, bytes))))
def test_uri_must_be_text_or_bytes(value: Any) -> None:
    refused(lambda: Connection(value), TypeError)


@given(st.one_of(st.integers(max_value=-1), st.integers(min_value=U64), NOT_INTEGERS))
def test_scan_address_must_be_an_unsigned_64_bit_int(address: Any) -> None:
    refused(lambda: Connection.scan(address), TypeError)
    refused(lambda: Connection.scan(address=address), TypeError)


@given(st.binary(max_size=40).filter(lambda b: not GRAMMAR.fullmatch(b.decode("latin-1"))))
def test_refused_byte_uris_keep_every_byte(uri: bytes) -> None:
    # Bytes that are not UTF-8 show as backslash escapes; a NUL ends nothing.
    with pytest.raises(RuntimeError) as raised:
        Connection(uri)
    assert str(raised.value) == "Invalid uri ({})!".format(uri.decode("utf-8", "backslashreplace"))
