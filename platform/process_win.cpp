#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/process.h"
#include "platform/text.h"

namespace launcher {

namespace {

// What RunProcess shares with its watchdog thread.
struct WatchdogRecord {
    HANDLE job = nullptr;
    HANDLE process = nullptr;
    const std::atomic<bool>* stop = nullptr;
    std::atomic<bool>* done = nullptr;
    // The child's own exit code, read before the watchdog ends the job: terminating the job must not
    // be able to replace it with the job's code.
    bool exitCaptured = false;
    DWORD exitCode = 0;
    // Wakes the watchdog as soon as the child has ended instead of letting it sleep out its interval.
    std::mutex mutex;
    std::condition_variable wake;
};

// Polls every 100 ms until the child is done. A stop terminates the whole job; so does the child's end,
// because what it left in the job would otherwise keep the output pipe open and the read waiting.
void JobWatchdog(WatchdogRecord& record) {
    std::unique_lock lock(record.mutex);
    for (;;) {
        if (record.done->load()) return;
        const bool stopped = record.stop != nullptr && record.stop->load();
        const bool ended = WaitForSingleObject(record.process, 0) == WAIT_OBJECT_0;
        if (ended) record.exitCaptured = GetExitCodeProcess(record.process, &record.exitCode) != 0;
        if (stopped || ended) {
            TerminateJobObject(record.job, 1);
            return;
        }
        record.wake.wait_for(lock, std::chrono::milliseconds(100));
    }
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    HANDLE* out() { return &h_; }
    void Close() {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

std::vector<std::wstring> InheritedEnvironment() {
    std::vector<std::wstring> entries;
    wchar_t* strings = GetEnvironmentStringsW();
    if (strings == nullptr) return entries;
    for (const wchar_t* p = strings; *p != L'\0'; p += wcslen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsW(strings);
    return entries;
}

// Limits what the child inherits to the handles meant for it, so that a child started at the same moment
// by another thread cannot pick up our pipe's write end and keep our read open.
class InheritList {
public:
    InheritList(HANDLE a, HANDLE b) {
        if (a != nullptr) handles_[count_++] = a;
        if (b != nullptr && b != a) handles_[count_++] = b;
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        initialized_ = true;
        if (count_ > 0 && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_,
                                                    count_ * sizeof(HANDLE), nullptr, nullptr)) {
            list_ = list;
        }
    }
    ~InheritList() {
        if (initialized_) DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()));
    }
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;
    // Null when the list could not be made; the child then inherits every inheritable handle.
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    HANDLE handles_[2] = {};
    std::size_t count_ = 0;
    std::vector<unsigned char> storage_;
    bool initialized_ = false;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// A child inherits the process's error mode as CreateProcess finds it (the thread's own mode is not passed
// on, and CREATE_DEFAULT_ERROR_MODE would give it the default, dialogs and all). So while a child is made
// the mode asks for no system dialogs: a program whose DLLs are missing then ends with its status instead
// of holding the import on a "DLL not found" box that nobody may see, and a crash ends without a report
// box. The launcher's own mode is put back at once; the lock keeps two starts from putting back each
// other's.
class ChildErrorMode {
public:
    ChildErrorMode()
        : lock_(Mutex()), saved_(SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX)) {}
    ~ChildErrorMode() { SetErrorMode(saved_); }
    ChildErrorMode(const ChildErrorMode&) = delete;
    ChildErrorMode& operator=(const ChildErrorMode&) = delete;

private:
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    std::lock_guard<std::mutex> lock_;
    UINT saved_;
};

bool IsInheritable(HANDLE h) {
    DWORD flags = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetHandleInformation(h, &flags) &&
           (flags & HANDLE_FLAG_INHERIT) != 0;
}

}  // namespace

std::wstring ToWide(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

namespace {

// The system's message for `code`, without the line break it ends with; empty when it has none.
std::string SystemWords(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string message;
    if (n > 0 && buffer != nullptr) message = ToUtf8(std::wstring(buffer, n));
    if (buffer != nullptr) LocalFree(buffer);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

}  // namespace

std::string SystemErrorText(const std::string& what) {
    const DWORD code = GetLastError();
    const std::string message = SystemWords(code);
    std::string out = what + " (" + std::to_string(code);
    if (!message.empty()) out += ": " + message;
    out += ")";
    return out;
}

std::string SystemReason(unsigned long code) {
    std::string message = SystemWords(code);
    while (!message.empty() && (message.back() == '.' || message.back() == ' ')) message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message;
}

std::wstring LongPathForm(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    if (text.rfind(L"\\\\?\\", 0) == 0) return text;
    DWORD n = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (n == 0) return text;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(text.c_str(), n, full.data(), nullptr);
    if (n == 0 || n >= full.size()) return text;
    full.resize(n);
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool MayStartOnRetry(unsigned long error) {
    switch (error) {
        // A program written a moment ago (a tool just installed) may still be held by a virus scanner.
        case ERROR_SHARING_VIOLATION:
        case ERROR_ACCESS_DENIED:
        case ERROR_LOCK_VIOLATION:
        // Under Wine, a new process that could not come up (as under heavy load) fails the start with this.
        case ERROR_INTERNAL_ERROR:
            return true;
        default:
            return false;
    }
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int RunProcess(const std::wstring& commandLine, const std::filesystem::path& workDir, const EnvMap& overrides,
               const LineSink& sink, const std::atomic<bool>* stop) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    Handle readEnd, writeEnd;
    if (!CreatePipe(readEnd.out(), writeEnd.out(), &inherit, 0)) {
        if (sink) sink(SystemErrorText("cannot start " + ToUtf8(commandLine)));
        return -1;
    }
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    // Nothing to read: a child that would ask (git for a password, ssh for a host key) gets an end of input.
    Handle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr));
    if (input.get() == INVALID_HANDLE_VALUE) *input.out() = nullptr;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = writeEnd.get();
    startup.StartupInfo.hStdError = writeEnd.get();
    InheritList inheritList(writeEnd.get(), IsInheritable(input.get()) ? input.get() : nullptr);
    DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
    if (inheritList.get() != nullptr) {
        startup.StartupInfo.cb = sizeof startup;
        startup.lpAttributeList = inheritList.get();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }

    WideEnv wideOverrides;
    for (const auto& [name, value] : overrides) wideOverrides.emplace_back(ToWide(name), ToWide(value));
    std::wstring block = BuildEnvironmentBlock(InheritedEnvironment(), wideOverrides);

    Handle job(CreateJobObjectW(nullptr, nullptr));
    if (job.get() != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }

    // A start refused for a moment (see MayStartOnRetry) is tried again a few times within about a second.
    PROCESS_INFORMATION process{};
    BOOL started = FALSE;
    DWORD startError = 0;
    for (int delayMs : {50, 100, 250, 500, 0}) {
        std::wstring writable = commandLine;
        {
            ChildErrorMode mode;
            started = CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, flags, block.data(),
                                     workDir.empty() ? nullptr : workDir.c_str(), &startup.StartupInfo, &process);
            startError = GetLastError();
        }
        if (started || delayMs == 0 || !MayStartOnRetry(startError)) break;
        if (stop != nullptr && stop->load()) break;
        SetLastError(startError);
        const std::string why = SystemErrorText("cannot start " + ToUtf8(commandLine));
        std::fprintf(stderr, "%s; trying again in %d ms\n", why.c_str(), delayMs);
        Sleep(static_cast<DWORD>(delayMs));
    }
    writeEnd.Close();
    if (!started) {
        if (sink) {
            SetLastError(startError);
            sink(SystemErrorText("cannot start " + ToUtf8(commandLine)));
        }
        return -1;
    }
    Handle processHandle(process.hProcess);
    if (job.get() != nullptr) AssignProcessToJobObject(job.get(), process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    std::atomic<bool> done{false};
    WatchdogRecord record;
    record.job = job.get();
    record.process = process.hProcess;
    record.stop = stop;
    record.done = &done;
    std::thread watchdog;
    if (job.get() != nullptr) watchdog = std::thread(JobWatchdog, std::ref(record));

    LineCutter cutter(sink);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) cutter.Feed(buffer, got);
    cutter.Finish();

    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.hProcess, &exitCode)) exitCode = 0;
    {
        std::lock_guard lock(record.mutex);
        done.exchange(true);
    }
    record.wake.notify_all();
    if (watchdog.joinable()) watchdog.join();
    if (record.exitCaptured) exitCode = record.exitCode;
    processHandle.Close();
    readEnd.Close();
    // Ends whatever the child left running.
    job.Close();

    if (stop != nullptr && stop->load()) return -1;
    return static_cast<int>(exitCode);
}

}  // namespace launcher
