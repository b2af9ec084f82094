#include "platform/Process.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

#include "support/TestSupport.h"

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

// A child that moves no byte for the stall time (1 s here, 60 s in the agent) is ended with what
// it started, also when it ignores SIGTERM; one that keeps writing, however slowly, is not.
TEST(RunWithPipes, silentChildForTheStallTime_isEndedWithItsGroup) {
    const struct {
        const char16_t* commandLine;
        PipeRunFailure result;
        std::string output;  // before the first line break
    } rows[] = {
        {u"sh -c \"sleep 30 & echo $!; wait\"", PipeRunFailure::Wait, ""},
        {u"sh -c \"trap '' TERM; sleep 30 & echo $!; wait\"", PipeRunFailure::Wait, ""},
        {u"sh -c \"for i in 1 2 3 4 5; do sleep 0.4; printf x; done\"", PipeRunFailure::None,
         "xxxxx"},
    };
    for (const auto& row : rows) {
        ByteBuffer output;
        auto launch = [&](int out, int in, int err) {
            return launchProcess(row.commandLine, out, in, err);
        };
        EXPECT_EQ(runWithPipes(launch, nullptr, 0, 1024, output, std::chrono::seconds(1)),
                  row.result);
        std::string text(output.begin(), output.end());
        if (row.result == PipeRunFailure::Wait) {
            // The grandchild (its pid the first line) ends soon after its signal: it is gone, or
            // left unreaped by its new parent.
            const std::string file = "/proc/" + text.substr(0, text.find('\n')) + "/stat";
            std::string stat = mv::test::readText(file);
            for (int wait = 0; wait < 100 && !stat.empty() && stat.find(") Z ") == stat.npos;
                 ++wait) {
                usleep(50000);
                stat = mv::test::readText(file);
            }
            EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
        } else {
            EXPECT_EQ(text, row.output);
        }
    }
}

}  // namespace
}  // namespace mv
