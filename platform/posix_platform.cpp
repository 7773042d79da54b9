// The Linux stand-in for the Windows platform: the same contract with the system's own means.
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"

namespace launcher {

namespace {

namespace fs = std::filesystem;

// Writes all of `size` bytes, or gives up on an error; only async-signal-safe calls.
void WriteAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

class PosixPlatform final : public Platform {
public:
    int Run(const std::vector<std::string>& args, const fs::path& workDir, const EnvMap& overrides,
            const LineSink& sink, const std::atomic<bool>* stop) override {
        return RunProcess(args, workDir, overrides, sink, stop);
    }

    // msiextract lays the files out under the target as an administrative install does. It ends with 0
    // for a database it cannot open, so msiinfo checks that the database opens first.
    bool ExtractMsi(const fs::path& msi, const fs::path& target, std::string& err) override {
        std::error_code ec;
        fs::path msiFull = fs::absolute(msi, ec);
        if (ec) msiFull = msi;
        const fs::path targetFull = FullPathWithoutTrailingSeparator(target);
        const fs::path log = MsiLogPath(msi, target);
        fs::create_directories(log.parent_path(), ec);
        std::ofstream logFile(log, std::ios::binary | std::ios::trunc);
        LineSink toLog = [&](const std::string& line) { logFile << line << '\n'; };

        const fs::path workDir = msiFull.parent_path();
        auto run = [&](const std::vector<std::string>& args) {
            logFile << JoinCommandLine(args) << '\n';
            return RunProcess(args, workDir, {}, toLog, nullptr);
        };
        const char* tool = "msiinfo";
        int code = run({"msiinfo", "tables", PathUtf8(msiFull)});
        if (code == 0) {
            tool = "msiextract";
            code = run({"msiextract", "-C", PathUtf8(targetFull), PathUtf8(msiFull)});
        }
        logFile.close();
        if (code == 0) return true;
        err = "Could not extract " + PathUtf8(msi.filename()) + " (" + tool + " " + std::to_string(code) + ", see " +
              PathUtf8(log) + ")";
        return false;
    }

    bool LinkFolder(const fs::path& link, const fs::path& target, std::string& err) override {
        std::error_code ec;
        fs::path targetFull = fs::absolute(target, ec);
        if (ec) targetFull = target;
        fs::create_directory_symlink(targetFull, link, ec);
        if (!ec) return true;
        err = "Could not link the game's folder: " + ec.message() + "\n";
        return false;
    }

    bool HardLink(const fs::path& link, const fs::path& existing) override {
        return ::link(existing.c_str(), link.c_str()) == 0;
    }

    // Detached: a new session, not waited for. The middle process of a double fork ends at once, so the
    // game is adopted by init and never lingers as our zombie; a close-on-exec pipe carries a failed
    // exec's errno back. Between fork and exec only async-signal-safe calls are made.
    bool Launch(const fs::path& program, const fs::path& workDir, std::string& err) override {
        const std::string path = program.native();
        const std::string dir = workDir.native();
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        char** envp = ::environ;

        int status[2];
        if (::pipe2(status, O_CLOEXEC) != 0) {
            err = SystemErrorText("Could not start the game", errno);
            return false;
        }
        const pid_t middle = ::fork();
        if (middle < 0) {
            const int code = errno;
            ::close(status[0]);
            ::close(status[1]);
            err = SystemErrorText("Could not start the game", code);
            return false;
        }
        if (middle == 0) {
            ::close(status[0]);
            ::setsid();
            const pid_t game = ::fork();
            if (game != 0) {
                if (game < 0) {
                    const int code = errno;
                    WriteAll(status[1], &code, sizeof code);
                }
                ::_exit(0);
            }
            int code = 0;
            if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
                code = errno;
            } else {
                ::execve(path.c_str(), argv, envp);
                code = errno;
            }
            WriteAll(status[1], &code, sizeof code);
            ::_exit(127);
        }
        ::close(status[1]);
        int waited;
        while (::waitpid(middle, &waited, 0) < 0 && errno == EINTR) {
        }
        int code = 0;
        ssize_t got;
        while ((got = ::read(status[0], &code, sizeof code)) < 0 && errno == EINTR) {
        }
        ::close(status[0]);
        if (got == static_cast<ssize_t>(sizeof code)) {
            err = SystemErrorText("Could not start the game", code);
            return false;
        }
        return true;
    }

    std::string ExeSuffix() const override { return ""; }
    char PathListSeparator() const override { return ':'; }

    std::string GetEnv(const std::string& name) const override {
        const char* value = std::getenv(name.c_str());
        return value != nullptr ? std::string(value) : std::string();
    }
};

}  // namespace

std::unique_ptr<Platform> MakePlatform() { return std::make_unique<PosixPlatform>(); }

}  // namespace launcher
