"""Builds a few packets and shows what orvapy makes of them."""
import orvapy


def main():
    print(f"orvapy {orvapy.__version__}")
    ping = orvapy.Packet()
    ping.size = 0
    print("a ping:            ", ping)

    command = orvapy.Packet()
    command.port = 3
    command.channel = 0
    command.payload = bytes([1, 2, 250])
    print("a command:         ", command)

    view = memoryview(command)
    view[0] = 42
    print("edited in place:   ", command, "payload", list(command))


if __name__ == "__main__":
    main()
