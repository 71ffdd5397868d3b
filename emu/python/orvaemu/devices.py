"""How the launcher and its commands name devices."""
from typing import Tuple

DATARATES = ("250K", "1M", "2M")
DEFAULT_ADDRESS = 0xE7E7E7E7E7


def parse_radio_robot(text: str) -> Tuple[int, str, int]:
    """CHANNEL/DATARATE[/ADDRESS], the address in hex as in radio URIs, to a
    (channel, datarate, address) tuple; ValueError when malformed."""
    parts = text.split("/")
    if len(parts) not in (2, 3):
        raise ValueError(f"{text!r}: expected CHANNEL/DATARATE[/ADDRESS], e.g. 80/2M/E7E7E7E7E7")
    try:
        channel = int(parts[0])
        address = int(parts[2], 16) if len(parts) == 3 else DEFAULT_ADDRESS
    except ValueError:
        raise ValueError(f"{text!r}: the channel is decimal, the address hex") from None
    if parts[1] not in DATARATES:
        raise ValueError(f"{text!r}: the data rate is one of {', '.join(DATARATES)}")
    return channel, parts[1], address
