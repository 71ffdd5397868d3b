#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "PcapngReader.hpp"
#include "capture/CaptureFile.hpp"
#include "capture/CaptureTap.hpp"
#include "capture/RecordBuffer.hpp"

using namespace quenfold::orvalis::capture;
using quenfold::orvalis::testing::CaptureContents;
using quenfold::orvalis::testing::readCapture;
using quenfold::orvalis::testing::readLittle64;

namespace {

// The environment and the process id, on Windows too (make windows-test).
#ifdef _WIN32
void setVariable(const char* name, const char* value) { ::_putenv_s(name, value); }
void unsetVariable(const char* name) { ::_putenv_s(name, ""); }
int processId() { return ::_getpid(); }
#else
void setVariable(const char* name, const char* value) { ::setenv(name, value, 1); }
void unsetVariable(const char* name) { ::unsetenv(name); }
int processId() { return static_cast<int>(::getpid()); }
#endif

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "capture-" + std::to_string(processId()) + "-" + name;
}

CaptureRecord recordOf(RecordType type, std::uint8_t marker) {
    CaptureRecord record;
    record.begin(type, DeviceKind::Dongle, 0, "radio://0/80/2M/E7E7E7E7E7");
    record.put8(marker);
    return record;
}

}  // namespace

TEST(CaptureFile, FlushedFileHoldsHeaderInterfacesAndRecords) {
    const std::string path = tempPath("basic.pcapng");
    auto capture = CaptureFile::open(path);
    ASSERT_TRUE(capture);
    const std::uint32_t dongle = capture->addInterface(DeviceKind::Dongle, "EMU0", 0);
    const std::uint32_t robot = capture->addInterface(DeviceKind::CableRobot, "EMUR0", 0);
    EXPECT_EQ(capture->addInterface(DeviceKind::Dongle, "EMU0", 0), dongle);

    CaptureTap tap(capture.get(), dongle, DeviceKind::Dongle);
    const std::string uri = "radio://0/80/2M/E7E7E7E7E7?safelink=0";
    const std::uint8_t sent[] = {0x10, 0x01, 0x02};
    const std::uint8_t answer[] = {0x01, 0x10, 0x01, 0x02};
    tap.radioExchange(uri, ExchangeKind::Packet, 7, sent, sizeof sent, answer, 3);
    const std::uint8_t address[] = {0xE7, 0xE7, 0xE7, 0xE7, 0xE7};
    tap.controlRequest(0x02, 0, 0, address, sizeof address, -7);
    CaptureTap(capture.get(), robot, DeviceKind::CableRobot)
        .workerEvent(RecordType::WorkerFailed, "LIBUSB_ERROR_NO_DEVICE");

    // Readable while the capture is still open: what a killed process leaves.
    capture->flush();
    CaptureContents contents = readCapture(path);
    EXPECT_TRUE(contents.sectionHeader);
    EXPECT_TRUE(contents.complete);
    ASSERT_EQ(contents.interfaces.size(), 3u);
    EXPECT_EQ(contents.interfaces[0].name, "orvapy");
    EXPECT_EQ(contents.interfaces[dongle].name, "dongle 0 EMU0");
    EXPECT_EQ(contents.interfaces[robot].name, "usb 0 EMUR0");
    for (const auto& interface : contents.interfaces) {
        EXPECT_EQ(interface.linkType, 147);
        EXPECT_EQ(interface.timestampResolution, 6);
    }
    ASSERT_EQ(contents.records.size(), 3u);

    const auto& exchange = contents.records[0];
    EXPECT_EQ(exchange.interfaceId, dongle);
    EXPECT_GT(exchange.timestampUs, 1'600'000'000'000'000u);  // microseconds since 1970
    EXPECT_EQ(exchange.data[0], FormatVersion);
    EXPECT_EQ(exchange.type(), RecordType::RadioExchange);
    EXPECT_EQ(exchange.data[2], 1);  // a dongle
    EXPECT_EQ(exchange.uri(), uri);
    std::vector<std::uint8_t> body = exchange.body();
    ASSERT_EQ(body.size(), 1 + 8 + 1 + 3 + 1 + 1 + 3u);
    EXPECT_EQ(body[0], 0);                 // a packet from the queue
    EXPECT_EQ(readLittle64(body, 1), 7u);  // its seq
    EXPECT_EQ(std::vector<std::uint8_t>(body.begin() + 9, body.begin() + 13),
              (std::vector<std::uint8_t>{3, 0x10, 0x01, 0x02}));
    EXPECT_EQ(std::vector<std::uint8_t>(body.begin() + 13, body.end()),
              (std::vector<std::uint8_t>{0x01, 3, 0x10, 0x01, 0x02}));

    const auto& control = contents.records[1];
    EXPECT_EQ(control.type(), RecordType::ControlRequest);
    EXPECT_EQ(control.flags(), FlagError);
    EXPECT_EQ(control.uri(), "");  // no turn had begun
    EXPECT_EQ(control.body(), (std::vector<std::uint8_t>{0x02, 0, 0, 0, 0, 0xF9, 0xFF, 0xFF, 0xFF,
                                                         5, 0xE7, 0xE7, 0xE7, 0xE7, 0xE7}));

    const auto& failure = contents.records[2];
    EXPECT_EQ(failure.interfaceId, robot);
    EXPECT_EQ(failure.type(), RecordType::WorkerFailed);
    EXPECT_EQ(failure.flags(), FlagError);
    body = failure.body();
    EXPECT_EQ(std::string(body.begin() + 1, body.end()), "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_EQ(body[0], body.size() - 1);

    capture.reset();
    EXPECT_EQ(readCapture(path).records.size(), 3u);
    std::remove(path.c_str());
}

TEST(CaptureFile, LongTextsAreCutToFitTheRecord) {
    const std::string path = tempPath("long.pcapng");
    auto capture = CaptureFile::open(path);
    ASSERT_TRUE(capture);
    CaptureTap tap(capture.get(), 0, DeviceKind::CableRobot);
    const std::string uri(300, 'u');
    tap.setConnection(&uri);
    tap.workerEvent(RecordType::WorkerFailed, std::string(1000, 'e'));
    capture.reset();
    CaptureContents contents = readCapture(path);
    ASSERT_EQ(contents.records.size(), 1u);
    EXPECT_EQ(contents.records[0].uri(), std::string(MaxUriBytes, 'u'));
    EXPECT_EQ(contents.records[0].body().size(), 1 + MaxTextBytes);
    std::remove(path.c_str());
}

TEST(CaptureFile, FullBufferDropsRecordsAndSaysHowMany) {
    RecordBuffer buffer(4);
    for (int i = 0; i < 7; ++i) {
        buffer.push(recordOf(RecordType::CableRead, static_cast<std::uint8_t>(i)));
    }
    std::vector<CaptureRecord> taken;
    taken.reserve(4);
    EXPECT_EQ(buffer.take(taken), 3u);
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ(taken[3].data[taken[3].length - 1], 3);  // the first four were kept
    taken.clear();
    EXPECT_EQ(buffer.take(taken), 0u);
    EXPECT_TRUE(taken.empty());

    // Through the file: what is neither written nor dropped is lost nowhere.
    const std::string path = tempPath("drops.pcapng");
    auto capture = CaptureFile::open(path, 4);
    ASSERT_TRUE(capture);
    constexpr int Pushed = 10000;
    for (int i = 0; i < Pushed; ++i) {
        CaptureRecord record = recordOf(RecordType::CableRead, 0);
        capture->push(record);
    }
    capture->flush();
    const std::uint64_t dropped = capture->droppedCount();
    capture.reset();
    CaptureContents contents = readCapture(path);
    EXPECT_GT(dropped, 0u);
    std::uint64_t reported = 0;
    for (const auto& note : contents.ofType(RecordType::RecordsDropped)) {
        EXPECT_EQ(note.interfaceId, 0u);
        EXPECT_EQ(note.flags(), FlagError);
        reported += readLittle64(note.body(), 0);
    }
    EXPECT_EQ(reported, dropped);
    EXPECT_EQ(contents.ofType(RecordType::CableRead).size() + dropped,
              static_cast<std::uint64_t>(Pushed));
    std::remove(path.c_str());
}

TEST(CaptureFile, UnwritablePathWarnsOnceAndGivesNoCapture) {
    ::testing::internal::CaptureStderr();
    auto capture = CaptureFile::open("/nonexistent-folder/capture.pcapng");
    std::string warning = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(capture);
    EXPECT_EQ(warning,
              "orvapy: cannot write the capture to /nonexistent-folder/capture.pcapng: No such "
              "file or directory; running without capture\n");
}

// A child process inherits ORVAPY_CAPTURE: it must not truncate the file that
// its parent is writing.
TEST(CaptureFile, ASecondWriterLeavesTheFileAlone) {
    const std::string path = tempPath("shared.pcapng");
    auto first = CaptureFile::open(path);
    ASSERT_TRUE(first);
    CaptureTap(first.get(), 0, DeviceKind::Library).workerEvent(RecordType::WorkerStarted);
    first->flush();

    ::testing::internal::CaptureStderr();
    auto second = CaptureFile::open(path);
    EXPECT_FALSE(second);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "orvapy: cannot write the capture to " + path +
                  ": another process is writing it; running without capture\n");
    CaptureTap(first.get(), 0, DeviceKind::Library).workerEvent(RecordType::WorkerStopped);
    first.reset();
    CaptureContents contents = readCapture(path);
    EXPECT_TRUE(contents.complete);
    EXPECT_EQ(contents.records.size(), 2u);

    // Once the first is done, a new capture starts the file afresh.
    EXPECT_TRUE(CaptureFile::open(path));
    EXPECT_TRUE(readCapture(path).records.empty());
    std::remove(path.c_str());
}

TEST(CaptureFile, FullDiskEndsTheCaptureWithOneWarning) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no device that is always full";
#endif
    ::testing::internal::CaptureStderr();
    auto capture = CaptureFile::open("/dev/full");
    ASSERT_TRUE(capture);
    CaptureTap tap(capture.get(), 0, DeviceKind::Dongle);
    for (int round = 0; round < 3; ++round) {
        tap.workerEvent(RecordType::WorkerStarted);
        capture->flush();
    }
    EXPECT_TRUE(capture->ended());
    capture.reset();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "orvapy: the capture to /dev/full has ended: No space left on device\n");
}

TEST(CaptureFile, EnvironmentNamesTheFile) {
    unsetVariable(CaptureFile::Environment);
    EXPECT_FALSE(CaptureFile::fromEnvironment());
    setVariable(CaptureFile::Environment, "");
    EXPECT_FALSE(CaptureFile::fromEnvironment());
    const std::string path = tempPath("environment.pcapng");
    setVariable(CaptureFile::Environment, path.c_str());
    EXPECT_TRUE(CaptureFile::fromEnvironment());
    unsetVariable(CaptureFile::Environment);
    EXPECT_TRUE(readCapture(path).sectionHeader);
    std::remove(path.c_str());
}

// FIFOs are POSIX only.
#ifndef _WIN32
namespace {

// A FIFO in the temporary folder, gone with the object.
struct Fifo {
    explicit Fifo(const std::string& name) : path(tempPath(name)) {
        std::remove(path.c_str());
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }
    ~Fifo() { std::remove(path.c_str()); }
    std::string path;
};

// Opens the capture on a FIFO nobody reads. Should the open block, a reader
// comes after a bound far beyond any normal delay and frees it: the test
// then fails instead of hanging.
std::unique_ptr<CaptureFile> openUnread(const std::string& path, bool& blocked) {
    std::promise<void> opened;
    std::future<void> done = opened.get_future();
    std::thread rescue([&] {
        if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            blocked = true;
            ::close(::open(path.c_str(), O_RDONLY | O_NONBLOCK));
        }
    });
    auto capture = CaptureFile::open(path);
    opened.set_value();
    rescue.join();
    return capture;
}

// A reader of the FIFO that comes once the capture runs: it opens without
// waiting, then lets the capture write until its first bytes arrive.
int comeToRead(const std::string& path, CaptureFile& capture) {
    int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    pollfd ready{reader, POLLIN, 0};
    for (int round = 0; round < 200 && ::poll(&ready, 1, 0) == 0; ++round) {
        capture.flush();
        ::poll(&ready, 1, 100);
    }
    return reader;
}

// What is left in the pipe once its writer has closed it.
std::vector<char> readToEnd(int reader) {
    std::vector<char> bytes;
    char chunk[4096];
    for (ssize_t got; (got = ::read(reader, chunk, sizeof chunk)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    ::close(reader);
    return bytes;
}

}  // namespace

// A program started before its live viewer: the capture waits for a reader
// without holding up anyone, then the reader gets the records from the start.
TEST(CaptureFile, AFifoWithoutReaderIsWrittenOnceOneComes) {
    Fifo fifo("live.fifo");
    bool blocked = false;
    ::testing::internal::CaptureStderr();
    auto capture = openUnread(fifo.path, blocked);
    EXPECT_FALSE(blocked) << "opening a FIFO that nobody reads blocked";
    ASSERT_TRUE(capture);
    CaptureTap tap(capture.get(), 0, DeviceKind::Library);
    tap.workerEvent(RecordType::WorkerStarted);
    capture->flush();  // returns at once: nothing can be written yet

    int reader = comeToRead(fifo.path, *capture);
    tap.workerEvent(RecordType::WorkerStopped);
    capture.reset();
    const std::string copy = tempPath("live-copy.pcapng");
    {
        std::vector<char> bytes = readToEnd(reader);
        std::ofstream(copy, std::ios::binary).write(bytes.data(), bytes.size());
    }
    CaptureContents contents = readCapture(copy);
    EXPECT_TRUE(contents.sectionHeader);
    EXPECT_TRUE(contents.complete);
    EXPECT_EQ(contents.ofType(RecordType::WorkerStarted).size(), 1u);
    EXPECT_EQ(contents.ofType(RecordType::WorkerStopped).size(), 1u);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    std::remove(copy.c_str());
}

// The viewer quits first: the capture ends with one warning, and the signal
// that a write into a pipe without reader raises does not end the program.
TEST(CaptureFile, AFifoReaderThatLeavesEndsTheCaptureWithOneWarning) {
    Fifo fifo("left.fifo");
    bool blocked = false;
    ::testing::internal::CaptureStderr();
    auto capture = openUnread(fifo.path, blocked);
    ASSERT_TRUE(capture);
    CaptureTap tap(capture.get(), 0, DeviceKind::Library);
    tap.workerEvent(RecordType::WorkerStarted);
    EXPECT_GT(readToEnd(comeToRead(fifo.path, *capture)).size(), 0u);
    for (int round = 0; round < 1000 && !capture->ended(); ++round) {
        tap.workerEvent(RecordType::WorkerStarted);
        capture->flush();
    }
    EXPECT_TRUE(capture->ended());
    capture.reset();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "orvapy: the capture to " + fifo.path + " has ended: Broken pipe\n");
}

#endif  // _WIN32
