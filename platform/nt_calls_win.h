#pragma once

// ntdll's calls for opening, listing and renaming relative to a folder handle, which kernel32 does not
// offer, and the values they take. Windows only.

#include <windows.h>
#include <winternl.h>

namespace launcher::nt {

using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                          ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtQueryDirectoryFileCall = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                  FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);
using NtSetInformationFileCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
using NtQueryInformationFileCall = NtSetInformationFileCall;
using RtlNtStatusToDosErrorCall = ULONG(NTAPI*)(NTSTATUS);

struct NtCalls {
    NtCreateFileCall createFile = nullptr;
    NtQueryDirectoryFileCall queryDirectory = nullptr;
    NtSetInformationFileCall setInformation = nullptr;
    NtQueryInformationFileCall queryInformation = nullptr;
    RtlNtStatusToDosErrorCall toDosError = nullptr;
};

template <class Call>
Call NtdllCall(const char* name) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(ntdll, name))) : nullptr;
}

// Looked up once; a call the system lacks stays null.
inline const NtCalls& Nt() {
    static const NtCalls calls = [] {
        NtCalls c;
        c.createFile = NtdllCall<NtCreateFileCall>("NtCreateFile");
        c.queryDirectory = NtdllCall<NtQueryDirectoryFileCall>("NtQueryDirectoryFile");
        c.setInformation = NtdllCall<NtSetInformationFileCall>("NtSetInformationFile");
        c.queryInformation = NtdllCall<NtQueryInformationFileCall>("NtQueryInformationFile");
        c.toDosError = NtdllCall<RtlNtStatusToDosErrorCall>("RtlNtStatusToDosError");
        return c;
    }();
    return calls;
}

// The Win32 error an NTSTATUS stands for.
inline DWORD DosError(NTSTATUS status) {
    const NtCalls& nt = Nt();
    return nt.toDosError ? nt.toDosError(status) : ERROR_GEN_FAILURE;
}

constexpr NTSTATUS kStatusNameCollision = static_cast<NTSTATUS>(0xC0000035L);

constexpr ULONG kFileOpen = 0x00000001;
constexpr ULONG kFileCreate = 0x00000002;
constexpr ULONG kFileOpenIf = 0x00000003;
constexpr ULONG kFileDirectoryFile = 0x00000001;
constexpr ULONG kFileSynchronousIoNonalert = 0x00000020;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;
constexpr ULONG kFileOpenForBackupIntent = 0x00004000;
constexpr ULONG kFileOpenReparsePoint = 0x00200000;

constexpr auto kInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
constexpr auto kRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);

}  // namespace launcher::nt
