#include "capture/SoleWriter.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

namespace quenfold::orvalis::capture {
namespace {

// The C library's words for the errors that it names too, so that a warning
// reads the same on every system; the system's own words for the others.
std::string systemMessage(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return std::strerror(ENOENT);
        case ERROR_ACCESS_DENIED:
            return std::strerror(EACCES);
        default:
            break;
    }
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == '.')) {
        --length;
    }
    return length > 0 ? std::string(text, length) : "error " + std::to_string(code);
}

}  // namespace

std::FILE* openSoleWriter(const std::string& path, std::string& error, bool& noReaderYet) {
    noReaderYet = false;  // no FIFOs here: a named pipe is opened as a file
    // Sharing reads only: a second writer is refused by the system itself for
    // as long as this handle is open, which is what flock gives elsewhere.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        error = code == ERROR_SHARING_VIOLATION ? HeldByAnotherWriter : systemMessage(code);
        return nullptr;
    }
    if (GetFileType(handle) == FILE_TYPE_DISK && !SetEndOfFile(handle)) {
        error = systemMessage(GetLastError());
        CloseHandle(handle);
        return nullptr;
    }
    // From here the descriptor owns the handle, and then the stream owns both.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        error = std::strerror(errno);
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
        error = std::strerror(errno);
        _close(fd);
    }
    return stream;
}

// Windows raises no signal for a pipe whose reader left: the write fails.
void keepBrokenPipesFromThisThread() {}

}  // namespace quenfold::orvalis::capture
