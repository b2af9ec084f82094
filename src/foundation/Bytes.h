#pragma once

#include <vector>

namespace mv {

// The growable byte array that carries certificates, hashes, signatures and UTF-8 payloads
// between the subsystems.
using ByteBuffer = std::vector<unsigned char>;

}  // namespace mv
