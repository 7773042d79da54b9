#include <windows.h>
#include <winternl.h>

#include <string>

#include "support/deep_tree.h"

namespace launcher::test {

bool MakeDeepTree(const std::filesystem::path& top, int depth) {
    using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
    auto create = reinterpret_cast<NtCreateFileCall>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
    std::error_code ec;
    std::filesystem::create_directories(top, ec);
    HANDLE dir = CreateFileW(top.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) return false;
    auto make = [&](const std::wstring& name, bool folder, HANDLE& out) {
        const USHORT bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
        UNICODE_STRING counted{bytes, bytes, const_cast<wchar_t*>(name.c_str())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &counted, 0, dir, nullptr);
        IO_STATUS_BLOCK io{};
        const ULONG options = (folder ? 0x1 : 0x40) | 0x20;  // folder or not, synchronous
        return create(&out, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, 2 /* FILE_CREATE */, options, nullptr, 0) >= 0;
    };
    bool ok = true;
    for (int level = 0; ok && level < depth; ++level) {
        HANDLE file = nullptr;
        HANDLE next = nullptr;
        ok = make(L"f", false, file) && make(L"subfolder", true, next);
        if (file) {
            DWORD written = 0;
            WriteFile(file, "f", 1, &written, nullptr);
            CloseHandle(file);
        }
        CloseHandle(dir);
        dir = ok ? next : INVALID_HANDLE_VALUE;
    }
    if (dir != INVALID_HANDLE_VALUE) CloseHandle(dir);
    return ok;
}

}  // namespace launcher::test
