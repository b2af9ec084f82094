#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/CmdParams.h"
#include "app/CmdRunner.h"
#include "foundation/Base64.h"
#include "foundation/Split.h"
#include "foundation/System.h"
#include "foundation/Text.h"
#include "platform/XdgDirs.h"

namespace mv {
namespace {

constexpr int UNUSABLE = -10;
constexpr size_t WS_TOKENS = 7;
constexpr size_t BATCH_TOKENS = 13;

// The C library's atoi as glibc defines it, without atoi's undefined behaviour on overflow.
int32_t toInt(const std::string& token) {
    return static_cast<int32_t>(std::strtol(token.c_str(), nullptr, 10));
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// '*' matches any run of characters, '?' any one; letters compare without case, as the file
// searches of the program's home platform do. Nothing else is special.
bool matchesPattern(const char* pattern, const char* name) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern != '\0' &&
                   (*pattern == '?' || lowerAscii(*pattern) == lowerAscii(*name))) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') {
        ++pattern;
    }
    return *pattern == '\0';
}

std::u16string ansiPathToWide(const std::string& path) {
    std::u16string wide;
    ansiToWString(path.c_str(), wide);
    return wide;
}

}  // namespace

void decodeBase64Arg(const std::string& token, std::string& target) {
    target.clear();
    ByteBuffer bytes = base64DecodeStr(token);
    if (!bytes.empty()) {
        utf8ToAnsi(reinterpret_cast<const char*>(bytes.data()), bytes.size(), target);
    }
}

int findNewestFile(const std::string& folder, const std::string& pattern, std::string& path) {
    if (folder.empty() || pattern.empty()) {
        return -1;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) {
        return -1;
    }
    // Entry names never hold a '/', so a pattern that tries to leave the folder matches nothing.
    uint64_t newest = 0;
    bool found = false;
    while (struct dirent* entry = readdir(dir.get())) {
        // The folder itself and its parent are not entries of it; the folder's own time would
        // otherwise win against every file just written into it.
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0 ||
            !matchesPattern(pattern.c_str(), entry->d_name)) {
            continue;
        }
        std::string candidate = folder + "/" + entry->d_name;
        struct stat st {};
        if (stat(candidate.c_str(), &st) != 0) {
            continue;
        }
        uint64_t written = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                           static_cast<uint64_t>(st.st_mtim.tv_nsec);
        // An equal time does not replace the earlier entry.
        if (written > newest) {
            newest = written;
            path = candidate;
            found = true;
        }
    }
    return found ? 0 : -1;
}

int CmdRunner::parseLaunchArgs(const char* text, CmdParams& params) {
    std::vector<std::string> tokens;
    if (splitTokens(text, tokens) == 0) {
        return UNUSABLE;
    }
    if (!tokens[0].empty() && tokens[0][0] == 'S') {
        if (tokens.size() != WS_TOKENS) {
            return UNUSABLE;
        }
        params.port = toInt(tokens[1]);
        params.timeoutSec = toInt(tokens[2]);
        params.flags = toInt(tokens[3]);
        decodeBase64Arg(tokens[4], params.signerOptions);
        if (params.flags & FLAG_LOG_APPEND) {
            logAppend = 1;
        }
        decodeBase64Arg(tokens[5], params.logPath);
        // An empty log path keeps the default log in this mode.
        if ((params.flags & FLAG_LOG_PATH) && !params.logPath.empty()) {
            logPath = ansiPathToWide(params.logPath);
        }
        decodeBase64Arg(tokens[6], params.sid);
        return 1;
    }
    if (tokens.size() >= 2 && !tokens[0].empty() && tokens[0][0] == 'F') {
        std::string file;
        if (findNewestFile(getDownloadDir(), tokens[1], file) != 0) {
            return UNUSABLE;
        }
        ByteBuffer bytes = readFileBytes(file);
        if (bytes.empty()) {
            return UNUSABLE;  // the file stays
        }
        // Read once and gone, whatever it holds.
        unlink(file.c_str());
        std::string content(reinterpret_cast<const char*>(bytes.data()),
                            strnlen(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        tokens.clear();
        splitTokens(content.c_str(), tokens);
    }
    if (tokens.size() != BATCH_TOKENS) {
        return UNUSABLE;
    }
    params.flags = toInt(tokens[1]);
    decodeBase64Arg(tokens[2], params.signerOptions);
    if (params.flags & FLAG_LOG_APPEND) {
        logAppend = 1;
    }
    decodeBase64Arg(tokens[3], params.logPath);
    // Here an empty log path is taken too: the log then cannot be written and the first line
    // says so.
    if (params.flags & FLAG_LOG_PATH) {
        logPath = ansiPathToWide(params.logPath);
    }
    decodeBase64Arg(tokens[4], params.sid);
    decodeBase64Arg(tokens[5], params.url);
    decodeBase64Arg(tokens[6], params.certUrl);
    decodeBase64Arg(tokens[7], params.signUrl);
    if (params.signUrl.empty()) {
        params.signUrl = params.certUrl;
    }
    params.certFlags = toInt(tokens[8]);
    params.signFlags = toInt(tokens[9]);
    decodeBase64Arg(tokens[10], params.signCertHex);
    params.signAlg = toInt(tokens[11]);
    return 0;
}

}  // namespace mv
