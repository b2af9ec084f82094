#include "platform/Process.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "support/TestSupport.h"

namespace mv {
namespace {

// The child whose signals the kill stand-in below checks, and how many named it once reaped.
std::atomic<pid_t> watchedChild{0};
std::atomic<int> signalsAfterReaping{0};

}  // namespace
}  // namespace mv

// A stand-in for the C library's kill, which every kill of this test program (the code under
// test included) calls: it sends the signal as the system call does, and counts a signal that
// names the watched child, or its group, after the child was reaped. No real process can be
// made to take over that pid in the moment between the reaping and the signal, so this mock is
// the witness.
extern "C" int kill(pid_t pid, int number) {
    const pid_t watched = mv::watchedChild;
    if (watched > 0 && (pid == watched || pid == -watched)) {
        const int saved = errno;
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(watched), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
            errno == ECHILD) {
            ++mv::signalsAfterReaping;
        }
        errno = saved;
    }
    return static_cast<int>(syscall(SYS_kill, pid, number));
}

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

// A child that for the stall time (1 s here, 60 s in the agent) neither takes input nor writes
// reply bytes is ended with what it started, also when it ignores SIGTERM or writes only past the
// reply; so is one that still runs at the total limit, however it moves. One that keeps writing
// its reply or taking its input, however slowly, is not.
TEST(RunWithPipes, silentChildForTheStallTime_isEndedWithItsGroup) {
    using std::chrono::seconds;
    const std::string none, mebibyte(1 << 20, 'i');
    const struct {
        const char16_t* commandLine;
        const std::string& input;
        size_t keep;
        seconds total;
        PipeRunFailure result;
        std::string output;  // before the first line break (where an ended child wrote a pid)
    } rows[] = {
        {u"sh -c \"sleep 30 & echo $!; wait\"", none, 1024, seconds(60), PipeRunFailure::Wait, ""},
        {u"sh -c \"trap '' TERM; sleep 30 & echo $!; wait\"", none, 1024, seconds(60),
         PipeRunFailure::Wait, ""},
        {u"sh -c \"for i in 1 2 3 4 5; do sleep 0.4; printf x; done\"", none, 1024, seconds(60),
         PipeRunFailure::None, "xxxxx"},
        {u"sh -c \"sleep 30 & echo $!; while :; do sleep 0.2; printf x; done\"", none, 1024,
         seconds(2), PipeRunFailure::Wait, ""},
        {u"sh -c \"sleep 30 & echo $!; while :; do sleep 0.2; printf x; done\"", none, 16,
         seconds(60), PipeRunFailure::Wait, ""},
        // 1 MiB taken in 64 KiB pieces, more slowly than the stall time in all.
        {u"sh -c \"for i in $(seq 16); do head -c 65536 >/dev/null; sleep 0.1; done; echo all\"",
         mebibyte, 1024, seconds(60), PipeRunFailure::None, "all"},
    };
    for (const auto& row : rows) {
        const std::u16string line = row.commandLine;
        SCOPED_TRACE(std::string(line.begin(), line.end()));
        ByteBuffer output;
        auto launch = [&](int out, int in, int err) {
            return launchProcess(row.commandLine, out, in, err);
        };
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(runWithPipes(launch, reinterpret_cast<const unsigned char*>(row.input.data()),
                               row.input.size(), row.keep, output, seconds(1), row.total),
                  row.result);
        // Well before the total limit of the rows that do not reach it.
        EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(30));
        std::string text(output.begin(), output.end());
        text = text.substr(0, text.find('\n'));
        if (row.result == PipeRunFailure::Wait) {
            // The grandchild ends soon after its signal: it is gone, or left unreaped by its new
            // parent.
            const std::string file = "/proc/" + text + "/stat";
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

// A child gets no signal once it is reaped: by then its pid may be another process's. Rows: one
// that ends at once on SIGTERM in its grace, in a group of its own; the same reaped by the system
// as it ends (the agent's parent may leave SIGCHLD ignored, and that is inherited); one that the
// system reaped as it ended by itself, before the exchange began, while the sleep it left behind
// holds its output open until the stall time.
TEST(RunWithPipes, mockedKill_endedChild_isSignalledOnlyBeforeItIsReaped) {
    const struct {
        const char16_t* commandLine;
        bool sigchldIgnored;
        bool endsByItself;
    } rows[] = {
        {u"sleep 30", false, false},
        {u"sleep 30", true, false},
        {u"sh -c \"sleep 30 & echo $!\"", true, true},
    };
    for (const auto& row : rows) {
        const std::u16string line = row.commandLine;
        SCOPED_TRACE(std::string(line.begin(), line.end()));
        ByteBuffer output;
        bool reaped = false;  // before the exchange began
        auto launch = [&](int out, int in, int err) {
            const pid_t pid = launchProcess(row.commandLine, out, in, err);
            watchedChild = pid;
            siginfo_t info{};
            for (int wait = 0; row.endsByItself && pid > 0 && !reaped && wait < 500; ++wait) {
                reaped = waitid(P_PID, static_cast<id_t>(pid), &info,
                                WEXITED | WNOHANG | WNOWAIT) != 0 &&
                         errno == ECHILD;
                usleep(reaped ? 0 : 10000);
            }
            return pid;
        };
        signalsAfterReaping = 0;
        const auto previous = std::signal(SIGCHLD, row.sigchldIgnored ? SIG_IGN : SIG_DFL);
        EXPECT_EQ(runWithPipes(launch, nullptr, 0, 16, output, std::chrono::milliseconds(500)),
                  PipeRunFailure::Wait);
        std::signal(SIGCHLD, previous);
        watchedChild = 0;
        EXPECT_EQ(reaped, row.endsByItself);
        EXPECT_EQ(signalsAfterReaping, 0);
        // The sleep left behind is the test's to end once its parent is gone.
        const std::string grandchild = std::string(output.begin(), output.end());
        const std::string name = "/proc/" + grandchild.substr(0, grandchild.find('\n')) + "/comm";
        if (row.endsByItself && mv::test::readText(name) == "sleep\n") {
            kill(std::stoi(grandchild), SIGKILL);
        }
    }
}

}  // namespace
}  // namespace mv
