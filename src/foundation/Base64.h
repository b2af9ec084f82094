#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "foundation/Bytes.h"

// Base64 with the standard alphabet of RFC 4648 and '=' padding; no line breaks are written.
// The decoder is lenient the way the program's peers expect: characters outside the alphabet are
// skipped, and the first group that gives fewer than three bytes ends the decoding.
namespace mv {

void base64EncodeBlock(const unsigned char in[3], char out[4]);
// `out` holds the text and one NUL. False only for a null data pointer.
bool base64Encode(const unsigned char* data, size_t length, std::vector<char>& out);
// Null, with `out` emptied, when the text is empty.
const char* base64EncodeVec(const ByteBuffer& data, std::string& out);
const char* base64EncodeStr(const unsigned char* data, size_t length, std::string& out);

// Bytes written (0-3); 0 also for a malformed group.
int base64DecodeQuad(const char in[4], unsigned char out[3]);
// Bytes decoded; 0 for a null or empty text; -1 when the working copy cannot be allocated.
int base64Decode(const char* text, ByteBuffer& out);
ByteBuffer base64DecodeToVec(const char* text);
ByteBuffer base64DecodeStr(const std::string& text);

}  // namespace mv
