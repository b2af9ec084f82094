#pragma once

#include <cstdint>
#include <string>

namespace mv {

// The launch parameters of a URL run. Texts hold ANSI text of the thread's code page.
struct CmdParams {
    int32_t port = 0;
    int32_t timeoutSec = 0;
    int32_t flags = 0;
    std::string signerOptions;
    std::string logPath;
    std::string sid;
    std::string url;
    std::string certUrl;
    std::string signUrl;
    int32_t certFlags = 0;
    std::string certArg;
    int32_t signFlags = 0;
    std::string signCertHex;
    int32_t signAlg = 0;
};

// Bits of CmdParams::flags read by the program entry and the parameter parser; the signer's
// `init` defines the others.
inline constexpr int32_t FLAG_P11_SIGNER = 0x1;
inline constexpr int32_t FLAG_SHOW_COMMAND_LINE = 0x1000;
inline constexpr int32_t FLAG_LOG_PATH = 0x2000;
inline constexpr int32_t FLAG_LOG_APPEND = 0x4000;

// How a batch run with these parameters reaches its server: over HTTP(S), through the helper
// programs of the "file:///" form, or not at all (the run refuses the address with -10). The one
// decision by which the run goes ahead and the file form removes a parameter file.
enum class BatchTransport { Refused, Http, Helpers };
BatchTransport batchTransportOf(const CmdParams& params);

// A Base64 token of the parameter text: its bytes are UTF-8 and `target` gets them in the ANSI
// code page. A token that decodes to nothing leaves `target` empty.
void decodeBase64Arg(const std::string& token, std::string& target);

// The full path of the newest entry of `folder` that matches `pattern` ('*' and '?' as
// wildcards, ASCII letters compared without case). 0 with the path, or -1 (no folder, no
// pattern, no match).
int findNewestFile(const std::string& folder, const std::string& pattern, std::string& path);

}  // namespace mv
