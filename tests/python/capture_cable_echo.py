"""One echo over a cable on the bench; prints "echoed". Run as a program under
the umockdev preload."""
import orvaemu
import orvapy


def main() -> None:
    bench = orvaemu.Bench()
    bench.add_usb_robot("EMUR0")
    connection = orvapy.Connection("usb://0")
    p = orvapy.Packet()
    p.port = 1
    p.payload = b"ping"
    connection.send(p)
    while not connection.recv(100).valid:
        pass
    connection.close()
    print("echoed")


if __name__ == "__main__":
    main()
