#pragma once

// Opens a file for one writer at a time: created when missing, held against
// every other writer, this process's or another's, for as long as the stream
// is open, and emptied when it is a regular file (a device such as /dev/null
// is written as it is). Opening never blocks: a FIFO that no reader has
// opened yet is reported as such, to be tried again later. The one place
// where the capture touches the operating system: SoleWriterPosix.cpp locks
// with flock, SoleWriterWindows.cpp opens without sharing write access.

#include <cstdio>
#include <string>

namespace quenfold::orvalis::capture {

// Told when another writer holds the file.
inline constexpr const char* HeldByAnotherWriter = "another process is writing it";

// The open stream, or null: with `noReaderYet` set when the path is a FIFO
// that nobody reads yet, otherwise with the reason in `error`.
std::FILE* openSoleWriter(const std::string& path, std::string& error, bool& noReaderYet);

// Makes a write to a pipe whose reader left fail in the calling thread,
// instead of raising a signal that would end the process.
void keepBrokenPipesFromThisThread();

}  // namespace quenfold::orvalis::capture
