#pragma once

// The pieces of the build from source that stand on their own: how the output lines of git and of the
// build are read, the fingerprint of the installed tools, and the record of an install under way.

#include <cstdint>
#include <string>
#include <vector>

#include "build/toolchain.h"

namespace launcher {

// The number at the start of `text` (blanks skipped), read as a plain decimal with an optional sign,
// fraction and exponent, stopping at the first character that does not fit; 0 when there is none.
// Unlike atof it never gives an infinity or a NaN.
double LeadingNumber(const std::string& text);

// The first line of git's output, without its line end.
std::string FirstLine(const std::string& output);

// A double cut to a 32-bit integer toward zero, held within the integer's range.
int32_t TruncateToInt32(double value);

// A progress line of git ("Receiving objects:  45% (1234/2742)"): the phase before the first ':' (the
// whole line without one) and the number before the first '%' as a fraction. False when the line has
// no '%' past its second character.
bool ReadGitProgress(const std::string& line, std::string& phase, double& fraction);

// What a failed git said, gathered from its output lines as they come: its first fatal line, else its
// last error line, else its last line that is not progress; whether a line names a full disk; and
// whether a line tells of a write that failed without saying why (git's "unable to write file x").
class GitFailure {
public:
    void Feed(const std::string& line);
    // git's reason without its "fatal: " or "error: "; empty when git said nothing.
    std::string Reason() const;
    // The system's words for a full disk when a line carries them ("No space left on device"); else empty.
    const std::string& DiskFull() const { return diskFull_; }
    bool WriteFailed() const { return writeFailed_; }

private:
    std::string fatal_, error_, last_, diskFull_;
    bool writeFailed_ = false;
};

// The git command's name in `args`, past "-C DIR" or "--git-dir=DIR".
std::string GitVerb(const std::vector<std::string>& args);
// Whether the command asks a server (clone, fetch, ls-remote, submodule): only those may wait on one.
bool GitTalksToAServer(const std::vector<std::string>& args);

// The sentence of a failed git step: "git " + the command's name (clone, fetch, reset, submodule...) +
// " failed: " + `reason`, or the exit code when there is no reason.
std::string GitFailedSentence(const std::vector<std::string>& args, const std::string& reason, int code);

// A status line of the build ("[12/345] Building CXX object x.obj"): "12 of 345 steps" and the fraction
// done. False for any other line, and when the total is not above 0.
bool ReadBuildProgress(const std::string& line, std::string& detail, double& fraction);

// The record an install keeps beside the play folder while it runs: each file it brings in (a plain
// name in the play folder's top level) and whether one stood there before, and whether all of them are
// in place ("done").
struct InstallJournal {
    struct File {
        std::string name;
        bool replaces = true;
    };
    bool done = false;
    std::string commit;
    std::vector<File> files;
};

std::string WriteInstallJournal(const InstallJournal& journal);
// False for a text that is not such a record (a damaged disk); names that are not plain are left out.
bool ReadInstallJournal(const std::string& text, InstallJournal& journal);

// One line "id stamp\n" per tool that is not optional, in the toolchain's order.
std::string ToolsFingerprint(const Toolchain& toolchain);

}  // namespace launcher
