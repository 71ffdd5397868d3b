"""The orva package in one program: the devices, a link in a with block,
errors by type, a Notifier, asyncio and the capture of it all.

Run it on the emulated bench:

    python3 -m orvaemu --dongle EMU0 --radio-robot 80/2M --usb-robot EMUR0 -- \\
        python3 examples/orva_tour.py
"""
import asyncio
import os
import sys
import tempfile
import threading

CAPTURE = os.path.join(tempfile.mkdtemp(), "tour.pcapng")
os.environ["ORVAPY_CAPTURE"] = CAPTURE  # read when the first link opens

import orva  # noqa: E402 (after the capture is asked for)
import orva.aio  # noqa: E402
import orva.capture  # noqa: E402

RADIO = "radio://0/80/2M/E7E7E7E7E7"


def show_devices() -> None:
    for device in orva.devices():
        print(f"{device.kind} {device.id} serial {device.serial} firmware {device.firmware} "
              f"at {device.position}")


def echo_over_radio() -> None:
    with orva.open(RADIO) as link:
        print("handshake reply:", link.recv(timeout=1.0))  # safelink's, on port 15
        link.send(1, 0, b"hello")
        print("echo:", link.recv(timeout=1.0))
        try:
            orva.open(RADIO + "?safelink=0")
        except orva.SettingsConflictError as error:
            print("refused, as it should be:", error)


def listen_on_the_cable() -> None:
    done = threading.Event()
    echoes = []

    def on_packet(packet: orva.Packet) -> None:
        echoes.append(packet.payload)
        if len(echoes) == 3:
            done.set()
    with orva.open("usb://0") as link, orva.Notifier(link, [on_packet]):
        for number in range(3):
            link.send(1, 0, bytes([number]))
        if not done.wait(5.0):
            sys.exit(f"only {len(echoes)} echoes came back")
    print("cable echoes:", echoes)


async def receive_with_asyncio() -> None:
    async with orva.aio.open(RADIO) as link:
        await link.recv(timeout=1.0)  # the handshake's reply
        link.send(2, 0, b"async")
        async for packet in link:
            if packet.port == 2:
                print("asyncio echo:", packet.payload)
                break


def main() -> int:
    show_devices()
    echo_over_radio()
    listen_on_the_cable()
    asyncio.run(receive_with_asyncio())
    records = orva.capture.read(CAPTURE)
    exchanges = [record for record in records if isinstance(record, orva.capture.RadioExchange)]
    print(f"captured {len(records)} records, {len(exchanges)} radio exchanges")
    return 0


if __name__ == "__main__":
    sys.exit(main())
