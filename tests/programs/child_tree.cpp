// A small process tree for stop tests.
//   child_tree            starts a grandchild that shares its output, prints "grandchild PID", sleeps
//   child_tree leave      starts a grandchild with its output elsewhere, prints "grandchild PID", exits 0
//   child_tree linger     starts a grandchild that shares its output, prints "grandchild PID", exits 0
//   child_tree sleep      sleeps (the grandchild)
//   child_tree alive PID  prints "alive" or "gone" (a zombie counts as gone)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#endif

static const int kSleepSeconds = 30;

#ifdef _WIN32
static long StartGrandchild(bool shareOutput) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" sleep";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    HANDLE nul = nullptr;
    if (!shareOutput) {
        // Our own output must not reach the grandchild: only the NUL device is inheritable.
        for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
            SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
        }
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                          OPEN_EXISTING, 0, nullptr);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    }
    PROCESS_INFORMATION process{};
    // Detached, so that Wine's console host of the child, which holds the child's output, ends with the child.
    const DWORD flags = shareOutput ? 0 : DETACHED_PROCESS;
    const BOOL started = CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                        &startup, &process);
    if (nul != nullptr && nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) return -1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(process.dwProcessId);
}

static bool Alive(long pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (h == nullptr) return false;
    const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return running;
}
#else
static long StartGrandchild(bool shareOutput) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return -1;
    self[n] = '\0';
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!shareOutput) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    char sleepArg[] = "sleep";
    char* argv[] = {self, sleepArg, nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, self, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? static_cast<long>(pid) : -1;
}

static bool Alive(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    if (text.empty()) return false;
    // The state follows the command name, which is in parentheses.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return false;
    const char state = text[close + 2];
    return state != 'Z' && state != 'X';
}
#endif

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "sleep") {
        std::this_thread::sleep_for(std::chrono::seconds(kSleepSeconds));
        return 0;
    }
    if (mode == "alive" && argc > 2) {
        std::printf("%s\n", Alive(std::atol(argv[2])) ? "alive" : "gone");
        return 0;
    }
    const bool leave = mode == "leave";
    const bool linger = mode == "linger";
    const long pid = StartGrandchild(!leave);
    if (pid < 0) {
        std::printf("could not start the grandchild\n");
        return 2;
    }
    std::printf("grandchild %ld\n", pid);
    std::fflush(stdout);
    if (leave || linger) return 0;
    std::this_thread::sleep_for(std::chrono::seconds(kSleepSeconds));
    return 0;
}
