#pragma once

#include <cstdint>
#include <string>

#include "foundation/Bytes.h"

namespace mv {

// The program file's path (/proc/self/exe); after an upgrade renamed a new file over the running
// program, the path it was started from. Empty when it cannot be read.
std::string getModulePath();

// Directory of the program file with its trailing '/'; empty when /proc/self/exe cannot be read.
std::string getModuleDir();

// The current UTC time as "%Y-%m-%dT%H:%M:%SZ" (20 characters); empty on failure.
std::string getUtcTimeString();

// The current local time as "%Y-%m-%dT%H:%M:%S"; empty on failure.
std::string getLocalTimeString();

// The whole file. Empty for a missing file, a directory, an unreadable or an empty file, and for
// a file larger than `maxSize` bytes, which is then not read.
ByteBuffer readFileBytes(const std::string& fileName, size_t maxSize = SIZE_MAX);

}  // namespace mv
