#pragma once

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "foundation/Base64.h"
#include "foundation/Bytes.h"

extern char** environ;

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
        std::error_code ignored;  // an empty path (mkdtemp failed) removes nothing
        std::filesystem::remove_all(path_, ignored);
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
        value ? setenv(name_.c_str(), value->c_str(), 1) : unsetenv(name_.c_str());
    }
    std::string name_;
    std::optional<std::string> old_;
};

inline std::string readText(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Outcome {
    int exitCode = -1;  // 128 + the signal when one ended the child
    std::string out, err;
};

// Runs `argv` (looked up in PATH) with this process's environment and `env` ("NAME=value" each,
// replacing that variable), standard input from /dev/null, and waits for it.
inline Outcome launch(std::vector<std::string> argv, std::vector<std::string> env = {}) {
    ScratchDir io;
    argv.insert(argv.begin(), env.begin(), env.end());
    // The shell only redirects; env(1) sets the variables and looks the program up.
    argv.insert(argv.begin(), {"/bin/sh", "-c", R"(exec env "$@" </dev/null >"$0/out" 2>"$0/err")",
                               io.path().string()});
    std::vector<char*> args;
    for (std::string& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    Outcome outcome;
    pid_t pid;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    outcome.out = readText(io.file("out"));
    outcome.err = readText(io.file("err"));
    return outcome;
}

// A shell command line's exit status.
inline int shell(const std::string& command) {
    return launch({"/bin/sh", "-c", command}).exitCode;
}

#ifdef QUARNEL_TEST_SUPPORT_DIR
// The directory holding <name>.der/.pem/.p12/.key/.pub of gencerts.sh (the test authority, the
// signers' certificates, the HTTPS server's), made once per test program; empty if that failed.
inline const std::string& certDir() {
    static ScratchDir dir;
    static const std::string none, path = dir.path().string();
    static const int made = launch({QUARNEL_TEST_SUPPORT_DIR "/gencerts.sh", path}).exitCode;
    return made == 0 ? path : none;
}
#endif

// A temporary HOME for one test: the XDG directories, TMPDIR and SoftHSM's configuration inside
// it, and no display (a dialog answers Cancel, a warning goes to standard error).
class TempHome {
public:
    TempHome() {
        for (auto [name, value] : {std::pair<const char*, std::optional<std::string>>{"HOME", home},
                                   {"XDG_DATA_HOME", home + "/.local/share"},
                                   {"XDG_CONFIG_HOME", home + "/.config"},
                                   {"TMPDIR", home},
                                   {"SOFTHSM2_CONF", home + "/softhsm2.conf"},
                                   {"DISPLAY", std::nullopt},
                                   {"WAYLAND_DISPLAY", std::nullopt}}) {
            env.push_back(std::make_unique<ScopedEnv>(name, value));
        }
    }
    std::string file(const std::string& name) const { return dir.file(name); }

    ScratchDir dir;
    const std::string home = dir.path().string();
    std::vector<std::unique_ptr<ScopedEnv>> env;
};

// What `work` answers when it runs in a forked child, for state that a process keeps for its life
// or changes for good (caches, mount namespaces, seccomp filters).
inline std::string inChild(const std::function<std::string()>& work) {
    int out[2];
    if (pipe(out) != 0) {
        return "no pipe";
    }
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        std::string answer = work();
        _exit(write(out[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size())
                  ? 0
                  : 1);
    }
    close(out[1]);
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        answer.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    waitpid(child, nullptr, 0);
    return answer;
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

// A document declaring `encoding` for `rest`, after a comment of 8 KiB. libxml2 has read its
// first 4000 bytes before a declaration could switch its decoder, so `rest` is where a reader
// that obeys the declaration and one that reads the UTF-8 bytes as they are part ways.
inline std::string afterPadding(const std::string& encoding, const std::string& rest) {
    return "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?><!--" + std::string(8192, 'x') +
           "-->" + rest;
}

// `markup` with its '<', '&' and '%' in UTF-7's shifted form, declared UTF-7: read as the UTF-8
// it is, text outside any element (not well-formed); decoded as UTF-7, `markup` itself.
inline std::string hiddenUnderUtf7(const std::string& markup) {
    std::string shifted;
    for (char c : markup) {
        shifted += c == '<'   ? "+ADw-"
                   : c == '&' ? "+ACY-"
                   : c == '%' ? "+ACU-"
                   : c == '+' ? "+-"
                              : std::string(1, c);
    }
    return afterPadding("UTF-7", shifted);
}

// A successful answer in UTF-8 that declares `encoding` (Shift_JIS, EUC-JP), as answers decoded
// before they are read do: 8 KiB of Japanese text, then its hash.
inline std::string japaneseAnswer(const std::string& encoding, const std::string& hash) {
    std::string note;
    while (note.size() < 8192) {
        note += "山田太郎の署名。";
    }
    return afterPadding(encoding, "<QrnResponse result=\"OK\"><note>" + note + "</note><hash>" +
                                      hash + "</hash></QrnResponse>");
}

// The lines of an error log without their time stamps. With `complete`, text that is not such a
// line (a stamp missing, a bare LF) shows up as a last line "<rest: ...>".
inline std::vector<std::string> logLines(const std::string& fileName, bool complete = false) {
    std::string all = readText(fileName);
    std::vector<std::string> out;
    std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d ([^\r\n]*)\r\n)");
    for (auto it = std::sregex_iterator(all.begin(), all.end(), line); it != std::sregex_iterator();
         ++it) {
        out.push_back((*it)[1]);
    }
    if (complete && !std::regex_replace(all, line, "").empty()) {
        out.push_back("<rest: " + all + ">");
    }
    return out;
}

}  // namespace mv::test
