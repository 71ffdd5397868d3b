#include "capture/CaptureFile.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "capture/SoleWriter.hpp"

namespace quenfold::orvalis::capture {
namespace {

std::uint64_t nowMicroseconds() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

void warn(const std::string& line) {
    std::string text = "orvapy: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

const char* kindName(DeviceKind kind) {
    switch (kind) {
        case DeviceKind::Dongle:
            return "dongle";
        case DeviceKind::CableRobot:
            return "usb";
        default:
            return "orvapy";
    }
}

}  // namespace

std::unique_ptr<CaptureFile> CaptureFile::fromEnvironment() {
    const char* path = std::getenv(Environment);
    if (path == nullptr || *path == '\0') {
        return nullptr;
    }
    return open(path);
}

std::unique_ptr<CaptureFile> CaptureFile::open(const std::string& path, std::size_t capacity,
                                               std::string* error) {
    auto refuse = [&](const std::string& reason) {
        if (error != nullptr) {
            *error = reason;
        } else {
            warn("cannot write the capture to " + path + ": " + reason +
                 "; running without capture");
        }
        return nullptr;
    };
    // Never blocking: a FIFO that nobody reads yet would hold the open, and
    // with it the caller, for as long as no reader comes.
    std::string reason;
    bool noReaderYet = false;
    std::FILE* stream = openSoleWriter(path, reason, noReaderYet);
    if (stream == nullptr && !noReaderYet) {
        return refuse(reason);
    }
    try {
        return std::make_unique<CaptureFile>(path, stream, capacity);
    } catch (const std::exception& error) {
        // The constructor took the stream: it is closed already.
        return refuse(error.what());
    }
}

CaptureFile::CaptureFile(std::string path, std::FILE* stream, std::size_t capacity)
    : path_(std::move(path)), writer_(stream), buffer_(capacity) {
    addInterface(DeviceKind::Library, "", 0);
    writer_.writeSectionHeader();  // goes to the file with the first batch
    thread_ = std::thread(&CaptureFile::run, this);
}

CaptureFile::~CaptureFile() {
    {
        MutexLock lock(wakeMutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

std::uint32_t CaptureFile::addInterface(DeviceKind kind, const std::string& serial,
                                        std::uint64_t id) {
    if (kind == DeviceKind::Library) {
        return addInterface(kindName(kind), "orvapy link library");
    }
    return addInterface(
        std::string(kindName(kind)) + " " + std::to_string(id) + " " + serial,
        std::string(kind == DeviceKind::Dongle ? "Skelder dongle" : "Korvane on a cable") +
            ", id " + std::to_string(id) + ", serial " + serial);
}

std::uint32_t CaptureFile::addInterface(const std::string& name, const std::string& description) {
    MutexLock lock(interfacesMutex_);
    auto [entry, added] =
        interfaceIds_.emplace(name, static_cast<std::uint32_t>(interfaceIds_.size()));
    if (added) {
        newInterfaces_.push_back(Interface{name, description});
    }
    return entry->second;
}

void CaptureFile::push(CaptureRecord& record) {
    if (ended_.load(std::memory_order_relaxed)) {
        return;
    }
    record.timestampUs = nowMicroseconds();
    buffer_.push(record);
}

void CaptureFile::flush() {
    MutexLock lock(wakeMutex_);
    const std::uint64_t ticket = ++flushRequested_;
    wake_.notify_one();
    const auto until = std::chrono::steady_clock::now() + FlushWaitLimit;
    while (flushDone_ < ticket && !stopping_ && lock.waitUntil(written_, until)) {
    }
}

void CaptureFile::run() {
    // A reader of a pipe that goes away makes the next write fail, which ends
    // the capture, not the program: only this thread writes.
    keepBrokenPipesFromThisThread();
    std::vector<CaptureRecord> batch;
    batch.reserve(buffer_.capacity());
    MutexLock lock(wakeMutex_);
    for (;;) {
        const auto until = std::chrono::steady_clock::now() + FlushInterval;
        while (!stopping_ && flushRequested_ == flushDone_ && lock.waitUntil(wake_, until)) {
        }
        const bool stop = stopping_;
        const std::uint64_t ticket = flushRequested_;
        lock.unlock();
        writePending(batch);
        lock.lock();
        flushDone_ = ticket;
        written_.notify_all();
        if (stop) {
            return;
        }
    }
}

bool CaptureFile::awaitReader() {
    if (writer_.attached() || ended()) {
        return true;
    }
    std::string reason;
    bool noReaderYet = false;
    std::FILE* stream = openSoleWriter(path_, reason, noReaderYet);
    if (noReaderYet) {
        return false;  // still nobody reading: the records wait in the buffer
    }
    if (stream == nullptr) {
        end(reason.c_str());
        return true;
    }
    writer_.attach(stream);
    return true;
}

void CaptureFile::writePending(std::vector<CaptureRecord>& batch) {
    if (!awaitReader()) {
        return;
    }
    // Records first, then the interfaces: a record in this batch was made
    // after its interface was added, so the interface is among those taken.
    const std::uint64_t dropped = buffer_.take(batch);
    std::vector<Interface> interfaces;
    {
        MutexLock lock(interfacesMutex_);
        interfaces.swap(newInterfaces_);
    }
    if (ended()) {
        batch.clear();
        return;
    }
    for (const Interface& interface : interfaces) {
        writer_.writeInterface(interface.name, interface.description);
    }
    for (const CaptureRecord& record : batch) {
        writer_.writeRecord(record);
    }
    batch.clear();
    dropped_.fetch_add(dropped, std::memory_order_relaxed);
    if (dropped != 0) {
        CaptureRecord note;
        note.begin(RecordType::RecordsDropped, DeviceKind::Library, FlagError, "");
        note.put64(dropped);
        note.timestampUs = nowMicroseconds();
        writer_.writeRecord(note);
    }
    if (!writer_.flush()) {
        end(std::strerror(errno));
    }
}

void CaptureFile::end(const char* reason) {
    if (!ended_.exchange(true)) {
        warn("the capture to " + path_ + " has ended: " + reason);
    }
}

}  // namespace quenfold::orvalis::capture
