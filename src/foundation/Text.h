#pragma once

#include <cstddef>
#include <string>

#include "foundation/Bytes.h"

// Conversions between the program's three encodings: UTF-16 inside the program (char16_t; wchar_t
// is 32 bits on Linux), UTF-8 on the WebSocket and in XML, and the "ANSI" code page of the calling
// thread for the error log, launch options and server replies. Failures show only in the result:
// an empty output, or a null pointer where the operation returns its output's characters.
namespace mv {

// The calling thread's ANSI code page, an iconv name. It defaults to the locale's codeset, or
// UTF-8 when the locale names plain ASCII or nothing. A thread may choose its own (tests use
// "CP932", the code page of the Japanese systems the program serves).
const std::string& threadCodePage();
// Returns false, leaving the code page as it was, when iconv does not know the name.
bool setThreadCodePage(const std::string& name);

std::string toUtf8String(const char16_t* text);
ByteBuffer toUtf8Bytes(const char16_t* text);
// Null for an empty result; `out` is then untouched.
const char* toUtf8CString(const char16_t* text, std::string& out);
std::u16string utf8ToWString(const char* data, size_t length);
std::u16string utf8VecToWString(const ByteBuffer& data);

// Null for a null or empty input, `out` untouched. Characters the code page cannot hold become '?'.
const char16_t* ansiToWString(const char* text, std::u16string& out);
const char* toAnsiString(const char16_t* text, std::string& out);
ByteBuffer ansiToUtf8Bytes(const char* text);
// Empties `out` first; null when it ends up empty.
const char* utf8ToAnsi(const char* data, size_t length, std::string& out);

// Decodes text whose encoding only an optional byte-order mark tells: FF FE little-endian UTF-16,
// FE FF big-endian UTF-16, anything else ANSI up to the first NUL (a UTF-8 mark is not one).
const char16_t* bytesToWString(const unsigned char* data, size_t length, std::u16string& out);
bool swapBytePairs(const unsigned char* data, size_t length, ByteBuffer& out);

// Upper-case hexadecimal, two digits a byte. Null for empty input, `out` untouched.
const char* bytesToHex(const ByteBuffer& data, std::string& out);
const char16_t* bytesToHexW(const unsigned char* data, size_t length, std::u16string& out);
// Reads pairs by strtoul's rules after an optional lower-case "0x"; an odd last character is
// dropped and separators shift the pairing rather than fail.
ByteBuffer hexToBytes(const std::string& text);
ByteBuffer hexToBytesW(const char16_t* text);

// File names on Linux are bytes; the program keeps them in UTF-8 whatever the thread's code page.
std::string toFsPath(const char16_t* path);

}  // namespace mv
