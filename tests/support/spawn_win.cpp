#include <windows.h>

#include <cstdlib>

#include "platform/process.h"
#include "support/spawn.h"

namespace launcher::test {

Spawned::Spawned(const std::filesystem::path& program, const std::vector<std::string>& args) {
    std::wstring line = L"\"" + program.wstring() + L"\"";
    for (const std::string& a : args) line += L" \"" + ToWide(a) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                       &si, &pi)) {
        CloseHandle(pi.hThread);
        handle_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
    }
}

Spawned::~Spawned() {
    if (handle_ != 0) {
        HANDLE h = reinterpret_cast<HANDLE>(handle_);
        if (!ended_) {
            TerminateProcess(h, 1);
            Wait();
        }
        CloseHandle(h);
    }
}

bool Spawned::Running() {
    if (handle_ == 0 || ended_) return false;
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) return true;
    Wait();
    return false;
}

int Spawned::Wait() {
    if (handle_ == 0) return -1;
    if (!ended_) {
        HANDLE h = reinterpret_cast<HANDLE>(handle_);
        WaitForSingleObject(h, INFINITE);
        DWORD code = 0;
        code_ = GetExitCodeProcess(h, &code) ? static_cast<int>(code) : -1;
        ended_ = true;
    }
    return code_;
}

void KillThisProcess() {
    TerminateProcess(GetCurrentProcess(), 9);
    std::abort();  // not reached
}

}  // namespace launcher::test
