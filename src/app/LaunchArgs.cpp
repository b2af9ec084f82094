#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
constexpr size_t MAX_PARAMETER_FILE = 64 * 1024;

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

// The log a page names: the last component of its path (taken from the token's UTF-8 as it is,
// not through the code page), to stand in the temporary directory, so that no page can empty or
// write into another file of the user. A name that is no plain file name gives the default log.
std::u16string pageLogName(const std::string& token) {
    ByteBuffer utf8 = base64DecodeStr(token);
    std::u16string name = utf8VecToWString(utf8);
    name.erase(0, name.find_last_of(u"/\\") + 1);
    bool control = std::any_of(name.begin(), name.end(),
                               [](char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); });
    if (name.empty() || name == u"." || name == u".." || control) {
        name = DEFAULT_LOG_NAME;
    }
    return name;
}

// Last-write times compare as the 100 ns ticks since 1601 of the program's home platform, so a
// file from before 1970 is older than every later one, never newer.
uint64_t fileTimeTicks(const struct timespec& t) {
    constexpr int64_t SECONDS_1601_TO_1970 = 11644473600;
    constexpr uint64_t TICKS_PER_SECOND = 10000000;
    if (t.tv_sec < -SECONDS_1601_TO_1970) {
        return 0;
    }
    // Well defined: tv_sec is at least -SECONDS_1601_TO_1970 here.
    uint64_t seconds = static_cast<uint64_t>(t.tv_sec) + SECONDS_1601_TO_1970;
    if (seconds >= UINT64_MAX / TICKS_PER_SECOND) {
        return UINT64_MAX;
    }
    return seconds * TICKS_PER_SECOND + static_cast<uint64_t>(t.tv_nsec) / 100;
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
        uint64_t written = fileTimeTicks(st.st_mtim);
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
            logPath = tempLogPath(pageLogName(tokens[5]));
        }
        decodeBase64Arg(tokens[6], params.sid);
        return 1;
    }
    std::string file;
    bool fileForm = false;
    if (tokens.size() >= 2 && !tokens[0].empty() && tokens[0][0] == 'F') {
        if (findNewestFile(getDownloadDir(), tokens[1], file) != 0) {
            return UNUSABLE;
        }
        // An empty file, or one larger than any parameter text, is unusable and stays unread.
        ByteBuffer bytes = readFileBytes(file, MAX_PARAMETER_FILE);
        if (bytes.empty()) {
            return UNUSABLE;
        }
        std::string content(reinterpret_cast<const char*>(bytes.data()),
                            strnlen(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        tokens.clear();
        splitTokens(content.c_str(), tokens);
        fileForm = true;
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
    // An empty path here gives the default log too.
    if (params.flags & FLAG_LOG_PATH) {
        logPath = tempLogPath(pageLogName(tokens[3]));
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
    // Only a parameter text is ours to remove, one that the batch run takes: whatever else the
    // newest download is (a photo, a table that happens to have 13 columns) stays where it is.
    if (fileForm && batchTransportOf(params) != BatchTransport::Refused) {
        unlink(file.c_str());
    }
    return 0;
}

}  // namespace mv
