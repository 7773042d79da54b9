#pragma once

// The child-process runner behind Platform::Run, and the small system helpers shared by the platform
// files of each target. No system header is included here.

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace launcher {

#ifdef _WIN32

// Runs a complete, already quoted command line to its end, its stdout and stderr merged through one pipe
// and cut into lines, its stdin the null device. The child and everything it starts live in a job object, which a set stop flag
// terminates. Returns the exit code; -1 when the child did not start (with one "cannot start " line to
// the sink), and -1 whenever `stop` is given and set at the end.
int RunProcess(const std::wstring& commandLine, const std::filesystem::path& workDir, const EnvMap& overrides,
               const LineSink& sink, const std::atomic<bool>* stop);

// UTF-8 <-> UTF-16 with the system's conversions; empty gives empty.
std::wstring ToWide(const std::string& text);
std::string ToUtf8(const std::wstring& text);
// `what` + " (" + the thread's last error code + ": " + the system's message + ")"; the message part
// is left out when the system has none. Reads the error code before anything else.
std::string SystemErrorText(const std::string& what);
// The system's words for `code`, without the code or a closing full stop; "error N" when it has none.
std::string SystemReason(unsigned long code);
// The full path in the "\\?\" form (so paths longer than MAX_PATH work), without "." parts or
// trailing separators; a path already in that form is left as it is.
std::wstring LongPathForm(const std::filesystem::path& path);

// Whether a start that failed with this system error may work when tried again a moment later.
bool MayStartOnRetry(unsigned long error);

// True inside Wine, which lacks junctions and administrative MSI installs.
bool RunningUnderWine();

// Command lines that ExtractMsi and LinkFolder hand to RunProcess, written out directly. Paths are
// made full first.
std::wstring MsiexecCommandLine(const std::filesystem::path& msi, const std::filesystem::path& target,
                                const std::filesystem::path& log);
std::wstring MklinkCommandLine(const std::filesystem::path& link, const std::filesystem::path& target);

#else

// Runs args[0] (looked up on the launcher's PATH when it holds no slash) to its end, its stdout and
// stderr merged through one pipe and cut into lines, its stdin the null device. The child leads a session
// of its own without a terminal; its process group is killed by a set stop flag, and once the child has
// ended. Returns the exit code (128 + the
// signal for a child ended by a signal); -1 when the child did not start (with one "cannot start " line
// to the sink), and -1 whenever `stop` is given and set at the end.
int RunProcess(const std::vector<std::string>& args, const std::filesystem::path& workDir, const EnvMap& overrides,
               const LineSink& sink, const std::atomic<bool>* stop);

// `what` + " (" + code + ": " + strerror(code) + ")".
std::string SystemErrorText(const std::string& what, int code);

// Whether a start that failed with this errno may work when tried again a moment later.
bool MayStartOnRetry(int error);

#endif

}  // namespace launcher
