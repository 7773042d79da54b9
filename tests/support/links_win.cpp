#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/process.h"
#include "support/links.h"

namespace launcher::test {

namespace {

// Wine's own name for a file on the host, from kernel32's wine_get_unix_file_name.
std::string UnixName(const std::filesystem::path& path) {
    using Convert = char* (*)(const wchar_t*);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto convert = kernel ? reinterpret_cast<Convert>(reinterpret_cast<void*>(
                                GetProcAddress(kernel, "wine_get_unix_file_name")))
                          : nullptr;
    if (convert == nullptr) return {};
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(path, ec);
    char* name = convert((ec ? path : full).c_str());
    if (name == nullptr) return {};
    std::string out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// Starts a program of the host by its Unix path (Wine runs such programs); waiting for it is not
// reliable, so callers poll for its result instead.
bool StartHostProgram(const std::wstring& line) {
    std::wstring text = line;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, text.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        return false;
    }
    // For a host program Wine makes no Windows process: no process handle comes back, and the thread
    // handle is none of ours (closing it closed another handle of this process, a server's socket).
    if (pi.hProcess != nullptr) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    return true;
}

bool PollFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

}  // namespace

bool MakeLink(const std::filesystem::path& link, const std::filesystem::path& target) {
    // The link's own name does not exist yet: its folder is converted and the name added.
    const std::string folder = UnixName(link.parent_path());
    const std::string to = UnixName(target);
    if (folder.empty() || to.empty()) return false;
    std::string name;
    for (wchar_t c : link.filename().wstring()) {
        if (c > 0x7f) return false;  // the tests use plain names for their links
        name += static_cast<char>(c);
    }
    if (!StartHostProgram(L"\"Z:\\bin\\ln\" -s \"" + ToWide(to) + L"\" \"" + ToWide(folder + "/" + name) + L"\"")) {
        return false;
    }
    // Wine shows a host link to a folder as a reparse point, and one to a file as that file.
    const DWORD targetAttributes = GetFileAttributesW(target.c_str());
    const bool toFolder = targetAttributes != INVALID_FILE_ATTRIBUTES && (targetAttributes & FILE_ATTRIBUTE_DIRECTORY);
    return PollFor([&] {
        DWORD attributes = GetFileAttributesW(link.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (!toFolder || (attributes & FILE_ATTRIBUTE_REPARSE_POINT));
    });
}

bool RemoveWithHostTools(const std::filesystem::path& path) {
    const std::string unixPath = UnixName(path);
    // Never hand rm a path it could take for something wider than the test's own folder.
    if (unixPath.size() < 2 || unixPath[0] != '/' || unixPath.find('"') != std::string::npos) return false;
    if (!StartHostProgram(L"\"Z:\\bin\\rm\" -rf \"" + ToWide(unixPath) + L"\"")) return false;
    return PollFor([&] { return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

}  // namespace launcher::test
