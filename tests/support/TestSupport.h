#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/Base64.h"
#include "foundation/Bytes.h"

namespace mv::test {

// A fresh directory under the system's temporary directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir() {
        // An empty or stale TMPDIR left by another test must not stop this one.
        std::error_code error;
        std::filesystem::path base = std::filesystem::temp_directory_path(error);
        std::string pattern = ((error ? "/tmp" : base) / "quarnel-test-XXXXXX");
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove_all(path_, ignored);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Sets (or with nullopt removes) an environment variable and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = getenv(name)) {
            old_ = old;
        }
        apply(value);
    }
    ~ScopedEnv() { apply(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void apply(const std::optional<std::string>& value) {
        if (value) {
            setenv(name_.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    std::string name_;
    std::optional<std::string> old_;
};

inline std::string readText(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline ByteBuffer bytesOf(const std::string& text) {
    return ByteBuffer(text.begin(), text.end());
}
inline std::string textOf(const ByteBuffer& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

inline std::string base64Of(const std::string& text) {
    std::string out;
    base64EncodeStr(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out);
    return out;
}

// The lines of an error log without their time stamps. With `complete`, text that is not such a
// line (a stamp missing, a bare LF) shows up as a last line "<rest: ...>".
inline std::vector<std::string> logLines(const std::string& fileName, bool complete = false) {
    std::string all = readText(fileName);
    std::vector<std::string> out;
    std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d ([^\r\n]*)\r\n)");
    size_t covered = 0;
    for (auto it = std::sregex_iterator(all.begin(), all.end(), line); it != std::sregex_iterator();
         ++it) {
        out.push_back((*it)[1]);
        covered += static_cast<size_t>((*it)[0].length());
    }
    if (complete && covered != all.size()) {
        out.push_back("<rest: " + all + ">");
    }
    return out;
}

}  // namespace mv::test
