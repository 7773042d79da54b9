#include "build/environment.h"

#include <algorithm>
#include <string>

#include "build/builder.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

std::string CommandPath(fs::path path) {
    return PathUtf8(path.make_preferred());
}

std::string InstalledOrOnPath(const fs::path& installed, const std::string& name) {
    std::error_code ec;
    return fs::exists(installed, ec) ? CommandPath(installed) : name;
}

fs::path NewestSubfolder(const fs::path& folder) {
    std::vector<fs::path> folders;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (fs::is_directory(it->path(), typeError)) folders.push_back(it->path());
    }
    if (folders.empty()) return {};
    return *std::max_element(folders.begin(), folders.end());
}

std::string JoinPaths(char separator, const std::vector<fs::path>& paths) {
    std::string joined;
    for (const fs::path& path : paths) {
        if (!joined.empty()) joined += separator;
        joined += CommandPath(path);
    }
    return joined;
}

EnvMap Builder::BuildEnvironment(const Toolchain& toolchain) const {
    const char sep = platform->PathListSeparator();
    const fs::path kits = ToolDir("winsdk") / "Windows Kits" / "10";
    const fs::path msvc = NewestSubfolder(ToolDir("msvc") / "VC" / "Tools" / "MSVC");

    // The SDK the toolchain names when it is there, else whichever one is installed. A version that is no
    // plain folder name would reach outside the SDK and into the variables below: it is not used.
    std::string version;
    std::error_code ec;
    if (IsPlainVersion(toolchain.sdkVersion) && fs::exists(kits / "Include" / Utf8Path(toolchain.sdkVersion), ec)) {
        version = toolchain.sdkVersion;
    } else {
        version = PathUtf8(NewestSubfolder(kits / "Include").filename());
    }
    const fs::path v = Utf8Path(version);
    const fs::path include = kits / "Include" / v;
    const fs::path lib = kits / "Lib" / v;

    EnvMap env;
    std::string path = JoinPaths(sep, {ToolDir("llvm") / "bin", ToolDir("cmake") / "bin", ToolDir("ninja"),
                                       ToolDir("git") / "cmd", kits / "bin" / v / "x64"});
    const std::string inherited = platform->GetEnv("PATH");
    if (!inherited.empty()) path += sep + inherited;
    env["PATH"] = path;

    // The data folder's checkout may belong to another user (a copied or shared folder): git must take it.
    // A git that says nothing for gitSilenceSeconds is ended by the launcher (Builder::Git), whatever the
    // protocol; curl's own limit ends only a transfer that stalls outright, and later, so a slow server
    // that still sends is never cut off.
    env["GIT_CONFIG_COUNT"] = "3";
    env["GIT_CONFIG_KEY_0"] = "safe.directory";
    env["GIT_CONFIG_VALUE_0"] = "*";
    env["GIT_CONFIG_KEY_1"] = "http.lowSpeedLimit";
    env["GIT_CONFIG_VALUE_1"] = "1";
    env["GIT_CONFIG_KEY_2"] = "http.lowSpeedTime";
    env["GIT_CONFIG_VALUE_2"] = std::to_string(gitSilenceSeconds + gitSilenceSeconds / 2 + 1);
    // ssh asks nothing either (an unknown host key fails the connection instead of waiting for a "yes"),
    // and gives up on a server that does not answer or falls silent. A user's own ssh command keeps its
    // options, which come first and so win; a program of their own (GIT_SSH) is left as it is.
    std::string ssh = platform->GetEnv("GIT_SSH_COMMAND");
    if (ssh.empty() && platform->GetEnv("GIT_SSH").empty()) ssh = "ssh";
    if (!ssh.empty()) {
        env["GIT_SSH_COMMAND"] =
            ssh + " -o BatchMode=yes -o ConnectTimeout=30 -o ServerAliveInterval=15 -o ServerAliveCountMax=4";
    }
    // git asks no one: a repository that wants a password (a private, renamed or deleted one answers 401)
    // fails at once instead of waiting on the terminal the launcher was started from, on a hidden
    // console, or in a credential window. An empty askpass also passes over core.askPass and SSH_ASKPASS
    // (git for Windows tells an empty variable from a missing one).
    env["GIT_TERMINAL_PROMPT"] = "0";
    env["GCM_INTERACTIVE"] = "never";
    env["GIT_ASKPASS"] = "";
    env["SSH_ASKPASS"] = "";

    if (!msvc.empty()) {
        env["INCLUDE"] = JoinPaths(sep, {msvc / "include", include / "ucrt", include / "shared", include / "um",
                                         include / "winrt", include / "cppwinrt"});
        env["LIB"] = JoinPaths(sep, {msvc / "lib" / "x64", lib / "ucrt" / "x64", lib / "um" / "x64"});
        env["VCToolsInstallDir"] = CommandPath(msvc) + "\\";
        env["WindowsSdkDir"] = CommandPath(kits) + "\\";
        env["WindowsSDKVersion"] = version + "\\";
    }
    return env;
}

}  // namespace launcher
