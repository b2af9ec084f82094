#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "foundation/Bytes.h"

// Starting local programs with pipes for their standard streams. Command lines are split into
// arguments by the rules of Windows programs, so that command texts written for the Windows
// agent mean the same here; no shell is ever involved.
namespace mv {

// Splits a command line as a Windows program's start-up code does. The program name (first
// argument) ends at the first blank or tab, or, when it begins with '"', at the next '"';
// backslashes are ordinary characters in it. In the arguments after it, blanks and tabs separate,
// double quotes group and are removed, 2n backslashes before '"' give n backslashes and the quote
// groups, 2n+1 give n backslashes and a literal '"', "" inside a group gives a literal '"', and
// other backslashes are ordinary. A blank command line gives no arguments.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// Starts the program that `commandLine` (UTF-16) names, found through PATH unless it contains a
// '/', with the three descriptors as its standard output, input and error, the caller's
// environment and working directory, default signal handling, and no other descriptor of this
// process, in a process group of its own. Returns the process id, or -1 when the command line is
// blank or the program could not be started.
pid_t launchProcess(const std::u16string& commandLine, int stdOutput, int stdInput, int stdError);

// The arguments of a command line that has no program name in front, split as splitCommandLine
// splits those after the name.
std::vector<std::string> splitArguments(const std::string& text);

// As launchProcess, with the program (found through PATH unless it contains a '/') and its
// argument vector (`args[0]` is the name the program sees) given apart.
pid_t launchProgram(const std::string& program, std::vector<std::string> args, int stdOutput,
                    int stdInput, int stdError);

// A child that neither takes input nor writes reply bytes for this long has hung.
constexpr std::chrono::milliseconds HELPER_STALL = std::chrono::seconds(60);
// No child runs longer than this, however it moves: a signing exchange takes seconds.
constexpr std::chrono::milliseconds HELPER_TOTAL = std::chrono::minutes(10);

// Writes `size` bytes of `input` to `inputFd` while it reads `outputFd`, keeping the first
// `keep` bytes read in `output` and reading (and dropping) the rest, so that neither pipe can
// block the child; a child that stops reading its input is no failure (SIGPIPE is not raised).
// Ends when the child has ended and its output is drained, or when every writer of the output
// has gone; closes `inputFd` as soon as the input is written or refused, so that the child
// sees the end of its input. The caller keeps `outputFd`. A child that for `stall` neither takes
// input nor writes a byte of the kept output, that still runs after `total`, or that still runs
// when the run ends (exchangesAborted), is ended with the group it leads (SIGTERM, then SIGKILL)
// and reaped.
// Returns true when the child `pid` ended and was reaped, false when it had to be ended or
// could not be waited for.
bool exchangeWithProcess(pid_t pid, int inputFd, const unsigned char* input, size_t size,
                         int outputFd, size_t keep, ByteBuffer& output,
                         std::chrono::milliseconds stall = HELPER_STALL,
                         std::chrono::milliseconds total = HELPER_TOTAL);

// The step at which runWithPipes failed.
enum class PipeRunFailure { None, OutputPipe, ErrorHandle, InputPipe, Start, Wait };

// Starts a child through `launch` (given its standard output, input and error; returns its
// process id or -1) with its standard output and standard error on one pipe and its standard
// input on another, writes `size` bytes of `input` while it reads the output, and keeps the first
// `keep` bytes of that output in `output` (exchangeWithProcess; a child that had to be ended is
// the Wait failure).
using Launcher = std::function<pid_t(int output, int input, int error)>;
PipeRunFailure runWithPipes(const Launcher& launch, const unsigned char* input, size_t size,
                            size_t keep, ByteBuffer& output,
                            std::chrono::milliseconds stall = HELPER_STALL,
                            std::chrono::milliseconds total = HELPER_TOTAL);

// True when `path` names the running program's own file (the same file system and inode as
// /proc/self/exe, under whatever name or link), or when that cannot be told.
bool isOwnProgram(const std::string& path);

}  // namespace mv
