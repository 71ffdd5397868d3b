import pytest

import orvapy
from orvapy import Packet


def packet_with(payload: bytes) -> Packet:
    packet = Packet()
    packet.payload = payload
    return packet


def test_default_packet_is_empty() -> None:
    packet = Packet()
    assert (len(packet), packet.valid, packet.channel, packet.port, packet.size) == (0, False, 3, 15, 0)
    assert packet.payload == b""
    assert repr(packet) == "Packet(channel=3,port=15,safelinkUp=1,safelinkDown=1,data=,seq=0)"
    with pytest.raises(IndexError):
        packet[0]
    with pytest.raises(TypeError):
        Packet(1)  # type: ignore[call-arg]


def test_payload_limits() -> None:
    packet = packet_with(bytes(31))
    assert (len(packet), packet.size, packet.valid) == (31, 31, True)

    packet = packet_with(b"\x01\x02")
    with pytest.raises(RuntimeError, match=r"^Size 33 too large! Maximum: 32\.$"):
        packet.payload = bytes(32)
    assert packet.payload == b"\x01\x02"
    for refused in (bytearray(b"ab"), memoryview(b"ab"), "ab", [1, 2], None):
        with pytest.raises(TypeError):
            packet.payload = refused  # type: ignore[assignment]
    assert packet.payload == b"\x01\x02"

    class Bytes(bytes):
        pass

    packet.payload = Bytes(b"\x07")
    assert packet.payload == b"\x07"


def test_size_grows_and_shrinks_over_the_same_bytes() -> None:
    packet = packet_with(bytes([1, 2, 3, 4, 5]))
    packet.size = 2
    assert packet.payload == b"\x01\x02"
    packet.size = 5
    assert list(packet) == [1, 2, 3, 4, 5]
    packet.size = 0
    assert packet.valid and len(packet) == 0
    packet.size = 31
    with pytest.raises(RuntimeError, match=r"^Size 33 too large! Maximum: 32\.$"):
        packet.size = 32
    assert packet.size == 31
    with pytest.raises(TypeError):
        packet.size = -1


def test_huge_size_is_refused_without_wrapping() -> None:
    packet = packet_with(b"abc")
    with pytest.raises(RuntimeError, match=r"^Size 18446744073709551616 too large! Maximum: 32\.$"):
        packet.size = 2**64 - 1
    assert packet.payload == b"abc"


def test_item_access_checks_index_before_value() -> None:
    packet = packet_with(bytes(5))
    with pytest.raises(IndexError) as error:
        packet[5]
    assert str(error.value) == ""
    with pytest.raises(ValueError) as value_error:
        packet[0] = 256
    assert str(value_error.value) == ""
    with pytest.raises(ValueError):
        packet[0] = -1
    with pytest.raises(IndexError):
        packet[9] = 300
    with pytest.raises(TypeError):
        packet[0] = 2**40
    with pytest.raises(TypeError):
        packet[0.0]  # type: ignore[index]
    assert packet.__setitem__(0, 7) == 7
    assert packet[0] == 7


def test_negative_indices_count_from_the_end() -> None:
    packet = packet_with(bytes([10, 20, 30]))
    assert packet[-1] == 30
    packet[-3] = 11
    assert packet.payload == bytes([11, 20, 30])
    with pytest.raises(IndexError):
        packet[-4]
    with pytest.raises(IndexError):
        packet[-4] = 1
    with pytest.raises(IndexError):
        packet[-(2**63)]


def test_header_fields_keep_each_other() -> None:
    packet = Packet()
    packet.port = 2
    packet.channel = 5
    assert (packet.channel, packet.port) == (1, 2)
    packet.port = 17
    assert (packet.channel, packet.port) == (1, 1)
    assert "safelinkUp=1,safelinkDown=1" in repr(packet)
    for refused in (256, -1, 1.0):
        with pytest.raises(TypeError):
            packet.channel = refused  # type: ignore[assignment]
        with pytest.raises(TypeError):
            packet.port = refused  # type: ignore[assignment]
    assert (packet.channel, packet.port) == (1, 1)


def test_buffer_is_the_payload_itself() -> None:
    packet = packet_with(bytes([1, 2, 3]))
    view = memoryview(packet)
    assert (view.format, view.readonly, view.shape, view.itemsize) == ("B", False, (3,), 1)
    view[0] = 9
    assert packet[0] == 9
    assert bytes(packet) == packet.payload
    assert list(packet) == list(packet.payload)
    del packet
    assert view.tobytes() == bytes([9, 2, 3])  # the view keeps the packet alive


def test_repr_prints_bytes_as_numbers() -> None:
    packet = packet_with(bytes([255, 0, 65]))
    packet.port = 3
    packet.channel = 0
    assert repr(packet) == "Packet(channel=0,port=3,safelinkUp=1,safelinkDown=1,data=255 0 65 ,seq=0)"


def test_properties_are_fixed() -> None:
    packet = Packet()
    with pytest.raises(AttributeError):
        packet.valid = True  # type: ignore[misc]
    with pytest.raises(AttributeError):
        del packet.port
    with pytest.raises(AttributeError):
        packet.colour = 1  # type: ignore[attr-defined]
    assert not hasattr(packet, "__dict__")
    assert Packet.__module__ == "orvapy"
