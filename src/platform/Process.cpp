#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "foundation/Text.h"
#include "platform/ExchangeAbort.h"

extern char** environ;

namespace mv {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Closes a descriptor when the scope ends, unless it was handed on.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void release() { fd_ = -1; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// Blocks SIGPIPE for the calling thread while it writes to a child that may have stopped
// reading, and swallows the signal such a write leaves pending.
class SigPipeGuard {
public:
    SigPipeGuard() {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        sigset_t old;
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &old);
        wasBlocked_ = sigismember(&old, SIGPIPE) == 1;
    }
    ~SigPipeGuard() {
        if (wasBlocked_) {
            return;  // a SIGPIPE pending from before is the caller's
        }
        sigset_t pending;
        if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const struct timespec now {};
            sigtimedwait(&pipeSet_, nullptr, &now);
        }
        pthread_sigmask(SIG_UNBLOCK, &pipeSet_, nullptr);
    }
    SigPipeGuard(const SigPipeGuard&) = delete;
    SigPipeGuard& operator=(const SigPipeGuard&) = delete;

private:
    sigset_t pipeSet_;
    bool wasBlocked_ = false;
};

// A descriptor that lies on 0, 1 or 2 would be overwritten by the other redirections before the
// child receives it; such ones are moved up first.
int aboveStandard(int fd, Fd& holder) {
    if (fd < 0 || fd > 2) {
        return fd;
    }
    holder.reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
    return holder.get();
}

bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// True when some of the bytes were kept.
bool keepBytes(ByteBuffer& output, const unsigned char* data, size_t n, size_t keep) {
    if (output.size() >= keep || n == 0) {
        return false;
    }
    size_t take = std::min(n, keep - output.size());
    output.insert(output.end(), data, data + take);
    return true;
}

// The arguments after the program name, from `i` on, by the Windows start-up code's rules.
void appendArguments(const std::string& s, size_t i, std::vector<std::string>& args) {
    const size_t n = s.size();
    for (;;) {
        while (i < n && isBlank(s[i])) {
            ++i;
        }
        if (i == n) {
            break;
        }
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || !isBlank(s[i]))) {
            if (s[i] == '\\') {
                size_t count = 0;
                while (i < n && s[i] == '\\') {
                    ++count;
                    ++i;
                }
                if (i < n && s[i] == '"') {
                    arg.append(count / 2, '\\');
                    if (count % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(count, '\\');
                }
            } else if (s[i] == '"') {
                if (quoted && i + 1 < n && s[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += s[i++];
            }
        }
        args.push_back(arg);
    }
}

// Polls at most this long at once while a child runs, between looks at exchangesAborted.
constexpr int POLL_SLICE_MS = 100;
// A helper that was asked to end and has not is killed after this time.
constexpr auto KILL_GRACE = std::chrono::seconds(1);

enum class ChildState { Running, Ended, Gone };

// Looks at the child `pid` without reaping it; Gone when it is not there to be waited for.
ChildState childState(pid_t pid) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) {
            return ChildState::Gone;
        }
    }
    return info.si_pid == pid ? ChildState::Ended : ChildState::Running;
}

// Ends the child `pid` and the group it leads (launchProgram gives it one): SIGTERM, SIGKILL for
// what is left after KILL_GRACE or once the child has ended, and reaps the child. Signals go only
// while the child is unreaped: until then neither its pid nor its group id can pass to another
// process.
void endProcessGroup(pid_t pid) {
    if (pid <= 0 || childState(pid) == ChildState::Gone) {
        return;
    }
    auto send = [pid](int number) {
        if (kill(-pid, number) != 0) {
            kill(pid, number);  // a child that leads no group of its own
        }
    };
    send(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + KILL_GRACE;
    ChildState state = ChildState::Running;
    while ((state = childState(pid)) == ChildState::Running &&
           std::chrono::steady_clock::now() < deadline) {
        usleep(20000);
    }
    if (state == ChildState::Gone) {
        return;
    }
    send(SIGKILL);  // also what the group holds besides a child that has ended
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

bool isOwnProgram(const std::string& path) {
    struct stat self {};
    struct stat file {};
    if (stat("/proc/self/exe", &self) != 0) {
        return true;  // cannot tell: taken as ours, so it is not run
    }
    return stat(path.c_str(), &file) == 0 && file.st_dev == self.st_dev &&
           file.st_ino == self.st_ino;
}

std::vector<std::string> splitCommandLine(const std::string& commandLine) {
    std::vector<std::string> args;
    const std::string& s = commandLine;
    const size_t n = s.size();
    size_t i = 0;
    while (i < n && isBlank(s[i])) {
        ++i;
    }
    if (i == n) {
        return args;
    }
    // The program name knows no escapes: a quoted one runs to the next quote.
    std::string program;
    if (s[i] == '"') {
        size_t end = s.find('"', i + 1);
        if (end == std::string::npos) {
            end = n;
        }
        program = s.substr(i + 1, end - i - 1);
        i = end < n ? end + 1 : n;
    } else {
        size_t start = i;
        while (i < n && !isBlank(s[i])) {
            ++i;
        }
        program = s.substr(start, i - start);
    }
    args.push_back(program);
    appendArguments(s, i, args);
    return args;
}

std::vector<std::string> splitArguments(const std::string& text) {
    std::vector<std::string> args;
    appendArguments(text, 0, args);
    return args;
}

pid_t launchProcess(const std::u16string& commandLine, int stdOutput, int stdInput, int stdError) {
    std::vector<std::string> args = splitCommandLine(toFsPath(commandLine.c_str()));
    if (args.empty() || args[0].empty()) {
        return -1;
    }
    return launchProgram(args[0], args, stdOutput, stdInput, stdError);
}

pid_t launchProgram(const std::string& program, std::vector<std::string> args, int stdOutput,
                    int stdInput, int stdError) {
    if (program.empty() || args.empty()) {
        return -1;
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    Fd outHolder, inHolder, errHolder;
    const int out = aboveStandard(stdOutput, outHolder);
    const int in = aboveStandard(stdInput, inHolder);
    const int err = aboveStandard(stdError, errHolder);
    if (out < 0 || in < 0 || err < 0) {
        return -1;
    }

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return -1;
    }
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    // The child starts with default signal handling and nothing blocked, whatever this thread
    // has set up (it may be ignoring or blocking SIGPIPE).
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    // A group of its own, so that ending a helper also ends what it started (endProcessGroup).
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    bool ok = posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO) == 0 &&
              posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO) == 0 &&
              posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO) == 0 &&
              // Descriptors that some library left inheritable stay with us.
              posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0 &&
              posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ) == 0;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return ok ? pid : -1;
}

bool exchangeWithProcess(pid_t pid, int inputFd, const unsigned char* input, size_t size,
                         int outputFd, size_t keep, ByteBuffer& output,
                         std::chrono::milliseconds stall, std::chrono::milliseconds total) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + total;
    Clock::time_point lastMove = Clock::now();
    SigPipeGuard sigPipe;
    Fd in(inputFd);
    // The process's own descriptor tells when it has ended even while a grandchild it left
    // behind keeps the output pipe open.
    Fd processFd(pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1);
    setNonBlocking(outputFd);
    if (size == 0 || !setNonBlocking(in.get())) {
        in.reset();
    }

    std::vector<unsigned char> chunk(65536);
    size_t written = 0;
    bool outputOpen = true;
    bool ended = false;
    while (!ended && (outputOpen || in.get() >= 0 || processFd.get() >= 0)) {
        const Clock::time_point now = Clock::now();
        if (exchangesAborted() || now >= deadline || now - lastMove >= stall) {
            in.reset();
            endProcessGroup(pid);
            return false;
        }
        pollfd fds[3];
        nfds_t count = 0;
        int outSlot = -1, inSlot = -1, processSlot = -1;
        if (outputOpen) {
            outSlot = static_cast<int>(count);
            fds[count++] = {outputFd, POLLIN, 0};
        }
        if (in.get() >= 0) {
            inSlot = static_cast<int>(count);
            fds[count++] = {in.get(), POLLOUT, 0};
        }
        if (processFd.get() >= 0) {
            processSlot = static_cast<int>(count);
            fds[count++] = {processFd.get(), POLLIN, 0};
        }
        // Short slices, so that the end of the run is seen soon.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::min(lastMove + stall, deadline) - now);
        int slice = static_cast<int>(std::clamp<long long>(left.count(), 0, POLL_SLICE_MS));
        int ready = poll(fds, count, slice);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        if (outSlot >= 0 && fds[outSlot].revents != 0) {
            ssize_t n = read(outputFd, chunk.data(), chunk.size());
            if (n > 0) {
                // Output past the reply is drained so that the child cannot block on it, but it
                // is no sign of progress: a child could trickle it for ever.
                if (keepBytes(output, chunk.data(), static_cast<size_t>(n), keep)) {
                    lastMove = Clock::now();
                }
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                outputOpen = false;
            }
        }
        if (inSlot >= 0 && fds[inSlot].revents != 0) {
            ssize_t n = write(in.get(), input + written, size - written);
            if (n > 0) {
                written += static_cast<size_t>(n);
                lastMove = Clock::now();
                if (written == size) {
                    in.reset();  // the child sees the end of its input
                }
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                in.reset();  // EPIPE: the child does not want (the rest of) its input
            }
        }
        if (processSlot >= 0 && fds[processSlot].revents != 0) {
            // Ended: what it wrote is in the pipe already; take what the reply can hold.
            while (outputOpen && output.size() < keep) {
                ssize_t n = read(outputFd, chunk.data(), chunk.size());
                if (n > 0) {
                    keepBytes(output, chunk.data(), static_cast<size_t>(n), keep);
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    break;
                }
            }
            ended = true;
        }
        if (processFd.get() < 0 && !outputOpen && in.get() < 0) {
            break;
        }
    }
    in.reset();
    if (pid <= 0) {
        return false;
    }
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, 0);
        if (done == pid) {
            return true;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

namespace {

// Close-on-exec: only the ends that launchProgram puts on the child's standard streams reach the
// child, so it never holds the ends this process reads and writes.
bool makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

}  // namespace

PipeRunFailure runWithPipes(const Launcher& launch, const unsigned char* input, size_t size,
                            size_t keep, ByteBuffer& output, std::chrono::milliseconds stall,
                            std::chrono::milliseconds total) {
    Fd outputRead, outputWrite, errorWrite, inputRead, inputWrite;
    if (!makePipe(outputRead, outputWrite)) {
        return PipeRunFailure::OutputPipe;
    }
    errorWrite.reset(fcntl(outputWrite.get(), F_DUPFD_CLOEXEC, 0));
    if (errorWrite.get() < 0) {
        return PipeRunFailure::ErrorHandle;
    }
    if (!makePipe(inputRead, inputWrite)) {
        return PipeRunFailure::InputPipe;
    }
    pid_t pid = launch(outputWrite.get(), inputRead.get(), errorWrite.get());
    // Only the child may hold its ends now, so that its end shows as the end of the output.
    outputWrite.reset();
    inputRead.reset();
    errorWrite.reset();
    if (pid < 0) {
        return PipeRunFailure::Start;
    }
    int in = inputWrite.get();
    inputWrite.release();  // exchangeWithProcess closes it once the input is written
    if (!exchangeWithProcess(pid, in, input, size, outputRead.get(), keep, output, stall, total)) {
        return PipeRunFailure::Wait;
    }
    return PipeRunFailure::None;
}

}  // namespace mv
