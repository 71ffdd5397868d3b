#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Mutex.hpp"
#include "capture/CaptureFormat.hpp"
#include "capture/CaptureRecord.hpp"
#include "capture/PcapngWriter.hpp"
#include "capture/RecordBuffer.hpp"

namespace quenfold::orvalis::capture {

// A pcapng file that records what the link does, with the thread that writes
// it. Records arrive through a bounded buffer; the writer drains it at least
// every FlushInterval and flushes the file each time, so a killed process
// leaves a readable file. A file that stops taking bytes ends the capture
// with one warning on standard error; the link never notices.
//
// Opening never blocks. A FIFO without a reader is opened by the writer once
// a reader comes: until then records wait in the buffer (dropped and counted
// once it is full), and flushes return at once.
class CaptureFile {
  public:
    static constexpr std::size_t DefaultCapacity = 4096;
    static constexpr std::chrono::milliseconds FlushInterval{100};
    static constexpr std::chrono::seconds FlushWaitLimit{2};
    static constexpr const char* Environment = "ORVAPY_CAPTURE";

    // The capture named by the environment, or null when there is none or it
    // cannot be written (then with a warning).
    static std::unique_ptr<CaptureFile> fromEnvironment();
    // Null, with one warning line on standard error, when the path cannot be
    // opened for writing; with `error` given, the reason goes there instead
    // and nothing is printed.
    static std::unique_ptr<CaptureFile> open(const std::string& path,
                                             std::size_t capacity = DefaultCapacity,
                                             std::string* error = nullptr);

    // A null stream: the path is a FIFO that the writer opens once it has a reader.
    CaptureFile(std::string path, std::FILE* stream, std::size_t capacity);
    // Writes everything still buffered and closes the file.
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // The interface of a device, described once; the same device (kind,
    // serial and id) always gets the same interface. Interface 0 is the
    // library's own.
    std::uint32_t addInterface(DeviceKind kind, const std::string& serial, std::uint64_t id);
    // An interface under a name of the caller's choosing; the same name always
    // gets the same interface.
    std::uint32_t addInterface(const std::string& name, const std::string& description);

    // Stamps the record with the time and hands it to the writer.
    void push(CaptureRecord& record);

    // Returns once everything pushed before the call is in the file, the
    // capture has ended, or FlushWaitLimit has passed: a file that stopped
    // taking bytes without failing (a stalled mount, a pipe nobody reads)
    // holds up the writer, never the connection that closes.
    void flush();

    std::uint64_t droppedCount() const noexcept { return dropped_.load(std::memory_order_relaxed); }
    bool ended() const noexcept { return ended_.load(std::memory_order_relaxed); }
    const std::string& path() const noexcept { return path_; }

  private:
    struct Interface {
        std::string name;
        std::string description;
    };

    void run() EXCLUDES(wakeMutex_);
    // Opens a FIFO that had no reader when the capture began, once it has
    // one; false while it has none. Only the writer thread calls it.
    bool awaitReader();
    void writePending(std::vector<CaptureRecord>& batch) EXCLUDES(interfacesMutex_);
    void end(const char* reason);

    const std::string path_;
    PcapngWriter writer_;
    RecordBuffer buffer_;
    std::atomic<bool> ended_{false};
    std::atomic<std::uint64_t> dropped_{0};

    Mutex interfacesMutex_;
    std::map<std::string, std::uint32_t> interfaceIds_ GUARDED_BY(interfacesMutex_);
    // Not yet written.
    std::vector<Interface> newInterfaces_ GUARDED_BY(interfacesMutex_);

    Mutex wakeMutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    bool stopping_ GUARDED_BY(wakeMutex_) = false;
    std::uint64_t flushRequested_ GUARDED_BY(wakeMutex_) = 0;
    std::uint64_t flushDone_ GUARDED_BY(wakeMutex_) = 0;
    std::thread thread_;  // last: starts once everything above exists
};

}  // namespace quenfold::orvalis::capture
