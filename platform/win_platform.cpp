#include <windows.h>

#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

fs::path FullPath(const fs::path& path) {
    std::error_code ec;
    fs::path full = fs::absolute(path, ec);
    return ec ? path : full;
}

std::wstring Quoted(const fs::path& path) { return L"\"" + path.wstring() + L"\""; }

LineSink Collect(std::string& text) {
    return [&text](const std::string& line) {
        text += line;
        text += '\n';
    };
}

class WinPlatform final : public Platform {
public:
    int Run(const std::vector<std::string>& args, const fs::path& workDir, const EnvMap& overrides,
            const LineSink& sink, const std::atomic<bool>* stop) override {
        std::wstring commandLine;
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (i > 0) commandLine += L' ';
            commandLine += QuoteArg(ToWide(args[i]));
        }
        return RunProcess(commandLine, workDir, overrides, sink, stop);
    }

    bool ExtractMsi(const fs::path& msi, const fs::path& target, std::string& err) override {
        const fs::path log = MsiLogPath(msi, target);
        std::string output;
        const int code =
            RunProcess(MsiexecCommandLine(msi, target, log), FullPath(msi).parent_path(), {}, Collect(output), nullptr);
        if (code == 0 || code == 3010) return true;
        err = "Could not extract " + PathUtf8(msi.filename()) + " (msiexec " + std::to_string(code) + ", see " +
              PathUtf8(log) + ")";
        return false;
    }

    bool LinkFolder(const fs::path& link, const fs::path& target, std::string& err) override {
        std::string output;
        const int code =
            RunProcess(MklinkCommandLine(link, target), FullPath(link).parent_path(), {}, Collect(output), nullptr);
        if (code == 0) return true;
        err = "Could not link the game's folder: " + output;
        return false;
    }

    bool HardLink(const fs::path& link, const fs::path& existing) override {
        return CreateHardLinkW(link.c_str(), existing.c_str(), nullptr) != 0;
    }

    bool Launch(const fs::path& program, const fs::path& workDir, std::string& err) override {
        std::wstring commandLine = QuoteArg(program.wstring());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            workDir.empty() ? nullptr : workDir.c_str(), &startup, &process)) {
            err = SystemErrorText("Could not start the game");
            return false;
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return true;
    }

    std::string ExeSuffix() const override { return ".exe"; }
    char PathListSeparator() const override { return ';'; }

    std::string GetEnv(const std::string& name) const override {
        const std::wstring wide = ToWide(name);
        const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
        if (size == 0) return {};
        std::wstring value(size, L'\0');
        const DWORD length = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
        // The variable may have changed between the calls; a longer value does not fit and reads as unset.
        if (length == 0 || length >= size) return {};
        value.resize(length);
        return ToUtf8(value);
    }
};

}  // namespace

std::wstring MsiexecCommandLine(const fs::path& msi, const fs::path& target, const fs::path& log) {
    return L"msiexec.exe /a " + Quoted(FullPath(msi)) + L" /qn /norestart TARGETDIR=" +
           Quoted(FullPathWithoutTrailingSeparator(target)) + L" /L*v " + Quoted(log);
}

std::wstring MklinkCommandLine(const fs::path& link, const fs::path& target) {
    return L"cmd.exe /c mklink /J " + Quoted(FullPath(link)) + L" " + Quoted(FullPath(target));
}

std::unique_ptr<Platform> MakePlatform() { return std::make_unique<WinPlatform>(); }

}  // namespace launcher
