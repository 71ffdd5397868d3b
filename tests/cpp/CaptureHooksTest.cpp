// What the workers and drivers record, on the emulated bench through the real
// libusb, held against the connections' counters and the devices' own logs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchDevices.hpp"
#include "PcapngReader.hpp"
#include "capture/CaptureFile.hpp"
#include "emu/Bench.hpp"
#include "link/ConnectionAccess.hpp"
#include "orvalis/Connection.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using capture::RecordType;
using testing::CaptureContents;
using testing::CapturedRecord;
using testing::packetOf;
using testing::readCapture;

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "hooks-" + std::to_string(::getpid()) + "-" + name;
}

// Sends the payloads and waits until each has come back at least once.
void echo(Connection& connection, const std::vector<std::string>& payloads) {
    for (const std::string& payload : payloads) {
        Packet packet = packetOf(1, payload);
        connection.send(packet);
    }
    std::vector<std::string> missing = payloads;
    for (int i = 0; i < 5000 && !missing.empty(); ++i) {
        Packet reply = connection.recv(10);
        for (auto it = missing.begin(); it != missing.end(); ++it) {
            if (reply.valid() && reply.port() == 1 && reply.payload() == *it) {
                missing.erase(it);
                break;
            }
        }
    }
    EXPECT_TRUE(missing.empty());
}

// Without safelink a reply lost with its acknowledgement is gone for good:
// sends the payloads and waits until the robot has heard each.
void sendHeard(Connection& connection, const emu::RadioRobot& robot,
               const std::vector<std::string>& payloads) {
    for (const std::string& payload : payloads) {
        Packet packet = packetOf(1, payload);
        connection.send(packet);
    }
    EXPECT_TRUE(testing::eventually([&] {
        std::vector<Bytes> heard = robot.received();
        for (const std::string& payload : payloads) {
            bool found = false;
            for (const Bytes& packet : heard) {
                found = found || std::string(packet.begin() + 1, packet.end()) == payload;
            }
            if (!found) {
                return false;
            }
        }
        return true;
    }));
}

std::vector<CapturedRecord> recordsOf(const CaptureContents& contents, RecordType type,
                                      std::uint32_t interface) {
    std::vector<CapturedRecord> found;
    for (const CapturedRecord& record : contents.ofType(type)) {
        if (record.interfaceId == interface) {
            found.push_back(record);
        }
    }
    return found;
}

std::uint32_t interfaceNamed(const CaptureContents& contents, const std::string& name) {
    for (std::uint32_t i = 0; i < contents.interfaces.size(); ++i) {
        if (contents.interfaces[i].name == name) {
            return i;
        }
    }
    ADD_FAILURE() << "no interface " << name;
    return 0;
}

// The control requests as the device saw them: request, value, index, data.
std::vector<emu::ControlRecord> controlRequests(const std::vector<CapturedRecord>& records) {
    std::vector<emu::ControlRecord> requests;
    for (const CapturedRecord& record : records) {
        Bytes body = record.body();
        requests.push_back(emu::ControlRecord{body[0],
                                              static_cast<std::uint16_t>(body[1] | body[2] << 8),
                                              static_cast<std::uint16_t>(body[3] | body[4] << 8),
                                              Bytes(body.begin() + 10, body.end())});
    }
    return requests;
}

class CaptureHooksTest : public ::testing::Test {
  protected:
    void TearDown() override { std::remove(path.c_str()); }

    std::string path = tempPath(::testing::UnitTest::GetInstance()->current_test_info()->name());
    emu::Bench bench;
};

TEST_F(CaptureHooksTest, RadioRecordsMatchTheCountersAndTheDongle) {
    emu::Dongle& dongle = bench.addDongle("SKD-A");
    emu::RadioRobot& plainRobot = bench.addRadioRobot(80, 2);
    emu::RadioRobot& safeRobot = bench.addRadioRobot(20, 1, 0xE7E7E7E7E8);
    plainRobot.setLoss(0.3, 0.3);
    plainRobot.setSeed(3);
    safeRobot.setLoss(0.3, 0.3);
    safeRobot.setSeed(5);
    const std::string plainUri = "radio://0/80/2M/E7E7E7E7E7?safelink=0";
    const std::string safeUri = "radio://0/20/1M/E7E7E7E7E8";
    std::map<std::string, ConnectionStatistics> statistics;
    {
        LinkRegistry registry(capture::CaptureFile::open(path));
        Connection plain = ConnectionAccess::open(plainUri, registry);
        Connection safe = ConnectionAccess::open(safeUri, registry);
        sendHeard(plain, plainRobot, {"p1", "p2", "p3"});
        echo(safe, {"s1", "s2", "s3"});
        plain.close();
        safe.close();  // the last one: the worker has stopped, the capture is flushed
        statistics[plainUri] = plain.statistics();
        statistics[safeUri] = safe.statistics();

        CaptureContents contents = readCapture(path);
        ASSERT_TRUE(contents.complete);
        const std::uint32_t interface = interfaceNamed(contents, "dongle 0 SKD-A");
        std::map<std::string, std::uint64_t> exchanges;
        std::map<std::string, std::uint64_t> acknowledged;
        for (const CapturedRecord& record :
             recordsOf(contents, RecordType::RadioExchange, interface)) {
            ++exchanges[record.uri()];
            Bytes body = record.body();
            std::size_t status = 10 + body[9];
            acknowledged[record.uri()] += body[status] & 0x01;
        }
        for (const auto& [uri, counters] : statistics) {
            EXPECT_EQ(exchanges[uri], counters.sent_count) << uri;
            EXPECT_GT(exchanges[uri], acknowledged[uri]) << uri << ": the loss shows";
        }
        // Without safelink every acknowledgement is counted.
        EXPECT_EQ(acknowledged[plainUri], statistics[plainUri].ack_count);
        EXPECT_EQ(exchanges.size(), 2u);

        std::vector<CapturedRecord> control =
            recordsOf(contents, RecordType::ControlRequest, interface);
        EXPECT_EQ(controlRequests(control), dongle.controlLog());
        // Start-up requests belong to no connection; retunes to the one they tune for.
        EXPECT_EQ(control.front().uri(), "");
        bool retuned = false;
        for (const CapturedRecord& record : control) {
            if (record.body()[0] == 0x01 && record.body()[1] == 20) {
                EXPECT_EQ(record.uri(), safeUri);
                retuned = true;
            }
        }
        EXPECT_TRUE(retuned);
        EXPECT_EQ(recordsOf(contents, RecordType::WorkerStarted, interface).size(), 1u);
        EXPECT_EQ(recordsOf(contents, RecordType::WorkerStopped, interface).size(), 1u);
        EXPECT_EQ(contents.records.back().type(), RecordType::WorkerStopped);
    }
}

TEST_F(CaptureHooksTest, CableRecordsEveryWriteAndEveryPacketRead) {
    emu::USBRobot& robot = bench.addUSBRobot("KRV-A");
    robot.refuse(2);  // two writes that the robot does not take
    LinkRegistry registry(capture::CaptureFile::open(path));
    Connection cable = ConnectionAccess::open("usb://0", registry);
    echo(cable, {"a", "b"});
    cable.close();
    ConnectionStatistics statistics = cable.statistics();

    CaptureContents contents = readCapture(path);
    const std::uint32_t interface = interfaceNamed(contents, "usb 0 KRV-A");
    std::uint64_t taken = 0;
    std::uint64_t refused = 0;
    for (const CapturedRecord& record : recordsOf(contents, RecordType::CableWrite, interface)) {
        EXPECT_EQ(record.uri(), "usb://0");
        (record.body()[0] == 1 ? taken : refused) += 1;
    }
    EXPECT_EQ(taken, statistics.sent_count);
    EXPECT_EQ(refused, 2u);
    std::vector<CapturedRecord> reads = recordsOf(contents, RecordType::CableRead, interface);
    EXPECT_EQ(reads.size(), statistics.receive_count);
    EXPECT_EQ(reads.front().body(), (Bytes{2, 0x1C, 'a'}));

    std::vector<CapturedRecord> control =
        recordsOf(contents, RecordType::ControlRequest, interface);
    EXPECT_EQ(controlRequests(control), robot.controlLog());
    ASSERT_EQ(control.size(), 2u);  // link on, link off
    EXPECT_EQ(control.back().uri(), "usb://0");
    std::vector<CapturedRecord> stopped = recordsOf(contents, RecordType::WorkerStopped, interface);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].uri(), "usb://0");
}

TEST_F(CaptureHooksTest, WorkerFailureIsRecordedWithItsText) {
    emu::Dongle& dongle = bench.addDongle("SKD-A");
    bench.addRadioRobot(80, 2);
    LinkRegistry registry(capture::CaptureFile::open(path));
    Connection radio = ConnectionAccess::open("radio://0/80/2M/E7E7E7E7E7", registry);
    echo(radio, {"x"});
    dongle.unplug();
    EXPECT_TRUE(testing::eventually([&] {
        try {
            radio.statistics();
            return false;
        } catch (const std::runtime_error&) {
            return true;
        }
    }));
    radio.close();

    CaptureContents contents = readCapture(path);
    std::vector<CapturedRecord> failures = contents.ofType(RecordType::WorkerFailed);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].flags(), capture::FlagError);
    Bytes text = failures[0].body();
    EXPECT_EQ(std::string(text.begin() + 1, text.end()), "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_TRUE(contents.ofType(RecordType::WorkerStopped).empty());
}

TEST_F(CaptureHooksTest, FullDiskEndsTheCaptureButNotTheLink) {
    bench.addUSBRobot("KRV-A");
    ::testing::internal::CaptureStderr();
    {
        LinkRegistry registry(capture::CaptureFile::open("/dev/full"));
        Connection cable = ConnectionAccess::open("usb://0", registry);
        echo(cable, {"a"});
        cable.close();  // flushes: the disk is full
        Connection again = ConnectionAccess::open("usb://0", registry);
        echo(again, {"b", "c"});
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "orvapy: the capture to /dev/full has ended: No space left on device\n");
}

TEST_F(CaptureHooksTest, WriterStuckOnItsFileDropsRecordsButNeverPackets) {
    bench.addUSBRobot("KRV-A");
    // A pipe that nobody reads stands in for a disk that stopped taking
    // bytes without failing: once the pipe and the stream's buffer are full,
    // the writer thread blocks on it until the pipe is read.
    const std::string fifo = path + ".fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_GT(::fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    // The writer writes all it takes, and the pipe and the stream's buffer
    // hold at most 12 KiB: some 280 records of at least 44 bytes. Two
    // records per echo, and no more than two buffers' worth taken or held:
    // well beyond that, the writer is stuck and records are dropped.
    constexpr std::size_t Capacity = 256;
    constexpr int Echoes = 600;
    std::string collected;
    std::thread drain;
    ConnectionStatistics statistics;
    {
        LinkRegistry registry(capture::CaptureFile::open(fifo, Capacity));
        Connection cable = ConnectionAccess::open("usb://0", registry);
        // No assertion may leave this scope early: the registry would wait
        // for its writer, and the writer for the pipe, forever.
        for (int i = 0; i < Echoes; ++i) {
            Packet packet = packetOf(1, std::to_string(i));
            cable.send(packet);
            Packet reply;
            for (int wait = 0; wait < 1000 && !reply.valid(); ++wait) {
                reply = cable.recv(10);
            }
            EXPECT_EQ(reply.payload(), std::to_string(i)) << "every packet, in order";
            if (!reply.valid()) {
                break;
            }
        }
        cable.close();  // its flush gives up on the stuck writer
        statistics = cable.statistics();
        // The pipe is read again: the writer finishes as the registry goes.
        ::fcntl(reader, F_SETFL, 0);
        drain = std::thread([&] {
            char chunk[4096];
            for (ssize_t got; (got = ::read(reader, chunk, sizeof chunk)) > 0;) {
                collected.append(chunk, static_cast<std::size_t>(got));
            }
        });
    }
    drain.join();
    ::close(reader);
    ::unlink(fifo.c_str());
    EXPECT_EQ(statistics.sent_count, static_cast<std::uint64_t>(Echoes));
    EXPECT_EQ(statistics.receive_count, static_cast<std::uint64_t>(Echoes));
    std::ofstream(path, std::ios::binary) << collected;

    CaptureContents contents = readCapture(path);
    ASSERT_TRUE(contents.complete);
    std::uint64_t dropped = 0;
    for (const CapturedRecord& record : contents.ofType(RecordType::RecordsDropped)) {
        dropped += testing::readLittle64(record.body(), 0);
    }
    EXPECT_GT(dropped, 0u);
    // Every record the worker made is in the file or counted as dropped:
    // writes and reads, link on and off, worker start and stop.
    const std::uint32_t interface = interfaceNamed(contents, "usb 0 KRV-A");
    std::uint64_t written = 0;
    for (const CapturedRecord& record : contents.records) {
        written += record.interfaceId == interface ? 1 : 0;
    }
    EXPECT_EQ(written + dropped, statistics.sent_count + statistics.receive_count + 4);
}

}  // namespace
}  // namespace quenfold::orvalis
