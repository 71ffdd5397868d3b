#pragma once

// The capture record format, version 1 (docs/capture.md). Every record is the
// data of one pcapng enhanced packet block on an interface of link type
// DLT_USER0; its fields are little-endian.
#include <cstddef>
#include <cstdint>

namespace quenfold::orvalis::capture {

inline constexpr std::uint16_t LinkType = 147;  // DLT_USER0
inline constexpr std::uint8_t FormatVersion = 1;

// Header: version, type, device, flags, URI length, URI.
inline constexpr std::size_t HeaderSize = 5;
inline constexpr std::size_t MaxUriBytes = 100;
inline constexpr std::size_t MaxTextBytes = 200;
// A link packet, header byte included; longer data is cut to it.
inline constexpr std::size_t MaxPacketBytes = 32;
// Enough for the largest record: header, longest URI, a radio exchange body.
inline constexpr std::size_t MaxRecordBytes = 320;

enum class RecordType : std::uint8_t {
    RadioExchange = 1,
    CableWrite = 2,
    CableRead = 3,
    ControlRequest = 4,
    WorkerStarted = 5,
    WorkerStopped = 6,
    WorkerFailed = 7,
    RecordsDropped = 8,
    // Recorded by an emulated device, from its side of the USB cable.
    DeviceRadioExchange = 9,
    DeviceCableWrite = 10,
    DeviceCableRead = 11,
    DevicePlug = 12,
    // A transfer from the device longer than the link format allows, dropped.
    TooLongDropped = 13,
};

enum class DeviceKind : std::uint8_t { Library = 0, Dongle = 1, CableRobot = 2 };

// What a radio exchange sent.
enum class ExchangeKind : std::uint8_t { Packet = 0, Ping = 1, Handshake = 2, Resend = 3 };

inline constexpr std::uint8_t FlagError = 0x01;

}  // namespace quenfold::orvalis::capture
