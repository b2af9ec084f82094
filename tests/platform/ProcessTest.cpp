#include "platform/Process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mv {
namespace {

TEST(SplitCommandLine, windowsRules_giveTheArguments) {
    struct Row {
        const char* line;
        std::vector<std::string> args;
    };
    const std::vector<Row> rows = {
        {"prog a b", {"prog", "a", "b"}},
        {"  prog \t a   b  ", {"prog", "a", "b"}},
        {"prog \"a b\" c", {"prog", "a b", "c"}},
        {"prog a\"b c\"d", {"prog", "ab cd"}},
        {"prog \"\"", {"prog", ""}},
        {"prog a\\b c\\\\d", {"prog", "a\\b", "c\\\\d"}},  // backslashes alone are literal
        {"prog a\\\"b", {"prog", "a\"b"}},                 // \" is a literal quote
        {"prog a\\\\\"b c\"", {"prog", "a\\b c"}},         // \\" is \ and a group
        {"prog a\\\\\\\"b", {"prog", "a\\\"b"}},           // \\\" is \ and a quote
        {"prog \"a\"\"b\"", {"prog", "a\"b"}},             // "" inside a group is a quote
        {"prog \"open group", {"prog", "open group"}},
        {"\"C:\\Program Files\\x.exe\" -cert", {"C:\\Program Files\\x.exe", "-cert"}},
        {"\"/opt/my tool\"arg rest", {"/opt/my tool", "arg", "rest"}},
        {"pro\\\"g x", {"pro\\\"g", "x"}},  // the program name has no escapes
        {"", {}},
        {" \t ", {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(splitCommandLine(row.line), row.args) << row.line;
    }
}

struct ChildRun {
    bool ended;
    std::string output;
};

// Starts `commandLine` with fresh pipes and exchanges `input` with it.
ChildRun run(const std::u16string& commandLine, const std::string& input, size_t keep = 1 << 20) {
    int out[2], in[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    pid_t pid = launchProcess(commandLine, out[1], in[0], out[1]);
    close(out[1]);
    close(in[0]);
    if (pid < 0) {
        close(out[0]);
        close(in[1]);
        return {false, ""};
    }
    ByteBuffer output;
    bool ended =
        exchangeWithProcess(pid, in[1], reinterpret_cast<const unsigned char*>(input.data()),
                            input.size(), out[0], keep, output);
    close(out[0]);
    return {ended, std::string(output.begin(), output.end())};
}

TEST(LaunchProcess, programs_getArgumentsInputAndNoExtraDescriptors) {
    EXPECT_EQ(run(u"cat", "to the child").output, "to the child");
    EXPECT_EQ(run(u"/bin/echo \"a  b\" c", "").output, "a  b c\n");
    // Only the three standard descriptors reach the child, even one this process left open to
    // children by mistake.
    int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    EXPECT_EQ(run(u"ls /proc/self/fd", "").output, "0\n1\n2\n3\n");  // 3: ls's own listing
    close(leaked);
    ChildRun missing = run(u"no-such-program-qrn", "x");
    EXPECT_FALSE(missing.ended);
    EXPECT_EQ(run(u"  ", "x").ended, false);
}

TEST(LaunchProcess, childStartsWithDefaultSignals_evenWhenTheCallerIgnoresSigpipe) {
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    ChildRun r = run(u"sh -c \"grep SigIgn /proc/self/status\"", "");
    sigaction(SIGPIPE, &old, nullptr);
    ASSERT_EQ(r.output.rfind("SigIgn:\t", 0), 0u) << r.output;
    unsigned long long ignored = std::stoull(r.output.substr(8), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << r.output;
}

TEST(ExchangeWithProcess, childThatStopsReading_isNoFailureAndRaisesNoSigpipe) {
    std::string big(4 << 20, 'z');
    ChildRun r = run(u"head -c 2", big);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.output, "zz");
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(ExchangeWithProcess, keepsOnlyTheFirstBytes) {
    ChildRun r = run(u"head -c 100000 /dev/zero", "", 10);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.output, std::string(10, '\0'));
}

}  // namespace
}  // namespace mv
