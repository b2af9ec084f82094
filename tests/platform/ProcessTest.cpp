#include "platform/Process.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

namespace mv {
namespace {

TEST(SplitCommandLine, windowsRules_giveTheArguments) {
    const std::pair<const char*, std::vector<std::string>> rows[] = {
        {"  prog \t a   \"b c\" d\"e f\"g \"\"  ", {"prog", "a", "b c", "de fg", ""}},
        {R"(prog a\b c\\d)", {"prog", R"(a\b)", R"(c\\d)"}},  // backslashes alone are literal
        // \" is a quote, \\" a backslash and a group, \\\" a backslash and a quote.
        {R"(prog a\"b c\\"d e" f\\\"g)", {"prog", "a\"b", R"(c\d e)", R"(f\"g)"}},
        {R"(prog "a""b" "open group)", {"prog", "a\"b", "open group"}},  // "" in a group is a quote
        {"\"/opt/my tool\"arg rest", {"/opt/my tool", "arg", "rest"}},
        {"pro\\\"g x", {"pro\\\"g", "x"}},  // the program name has no escapes
        {" \t ", {}},
    };
    for (const auto& [line, args] : rows) {
        EXPECT_EQ(splitCommandLine(line), args) << line;
    }
}

// The output of `commandLine` given `input`, started as the exchange starts its children.
std::string run(const std::u16string& commandLine, const std::string& input = "") {
    ByteBuffer output;
    auto launch = [&](int out, int in, int err) {
        return launchProcess(commandLine, out, in, err);
    };
    auto bytes = reinterpret_cast<const unsigned char*>(input.data());
    EXPECT_EQ(runWithPipes(launch, bytes, input.size(), 1 << 20, output), PipeRunFailure::None);
    return std::string(output.begin(), output.end());
}

// What the exchange object's tests cannot see: the state a child starts in, and the signal a
// child that stops reading would raise here.
TEST(LaunchProcess, childGetsOnlyTheStandardDescriptorsAndDefaultSignals) {
    int leaked = open("/dev/null", O_RDONLY);  // left open to children by mistake
    ASSERT_GE(leaked, 3);
    EXPECT_EQ(run(u"ls /proc/self/fd"), "0\n1\n2\n3\n");  // 3: ls's own listing
    close(leaked);

    auto handler = std::signal(SIGPIPE, SIG_IGN);
    std::string status = run(u"sh -c \"grep SigIgn /proc/self/status\"");
    std::signal(SIGPIPE, handler);
    ASSERT_EQ(status.rfind("SigIgn:\t", 0), 0u) << status;
    EXPECT_EQ(std::stoull(status.substr(8), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << status;

    EXPECT_EQ(run(u"head -c 2", std::string(4 << 20, 'z')), "zz");
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "a child that stops reading is no signal";
}

}  // namespace
}  // namespace mv
