#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/file_copy.h"
#include "platform/file_ops.h"
#include "platform/nt_calls_win.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

using namespace nt;

// Names tried for one replacing file before giving up: each taken name is passed over.
constexpr int kNameAttempts = 100;
std::atomic<unsigned> nameCounter{0};

std::wstring TemporaryName() {
    static const std::wstring start = L".unpack-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    return start + std::to_wstring(nameCounter.fetch_add(1)) + L".tmp";
}

constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);

HANDLE HandleOf(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Opens or creates `name` in the folder `parent` as itself (a link is not followed).
NTSTATUS OpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                      ULONG options, HANDLE& out) {
    const NtCalls& nt = Nt();
    out = INVALID_HANDLE_VALUE;
    if (nt.createFile == nullptr) return kStatusNotImplemented;
    UNICODE_STRING counted;
    counted.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    counted.MaximumLength = counted.Length;
    counted.Buffer = const_cast<wchar_t*>(name.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, 0, parent, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        nt.createFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                      disposition, options | kFileOpenReparsePoint | kFileSynchronousIoNonalert, nullptr, 0);
    if (NT_SUCCESS(status)) out = handle;
    return status;
}

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

// Whether the open handle is on a link itself (a name-surrogate reparse point).
bool IsLinkHandle(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
           IsLinkReparsePoint(tag.FileAttributes, tag.ReparseTag);
}

// The file's number on its volume.
bool IdOf(HANDLE handle, uint64_t& id) {
    const NtCalls& nt = Nt();
    LARGE_INTEGER index{};
    IO_STATUS_BLOCK io{};
    if (nt.queryInformation && NT_SUCCESS(nt.queryInformation(handle, &io, &index, sizeof index,
                                                               kInternalInformation))) {
        id = static_cast<uint64_t>(index.QuadPart);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return false;
    id = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// The path the system gives for an open handle, as the user would write it.
std::wstring FinalPath(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return L"";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(n + 1);
    }
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// A handle opened on `name` of the folder whose path is `parentPath` leads where its name says: Wine
// opens what a host link leads to even when asked for the link itself, and shows the handle as no link.
bool WhereItsNameSays(HANDLE handle, const std::wstring& parentPath, const std::wstring& name) {
    const std::wstring path = FinalPath(handle);
    // Where the system gives no paths, the handle's own link check is all there is.
    if (parentPath.empty() || path.empty()) return true;
    const size_t slash = path.find_last_of(L'\\');
    return slash != std::wstring::npos && SameText(path.substr(0, slash), parentPath) &&
           SameText(path.substr(slash + 1), name);
}

// Removes a link standing at `name` of `folder` as itself; false when none could be removed so.
bool RemoveLinkAt(HANDLE folder, const std::wstring& name) {
    HANDLE link = INVALID_HANDLE_VALUE;
    if (!NT_SUCCESS(OpenRelative(folder, name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, kFileOpen,
                                 kFileOpenForBackupIntent, link))) {
        return false;
    }
    // Only a handle on the link itself is deleted; under Wine it is on what the link leads to.
    FILE_DISPOSITION_INFO remove{TRUE};
    const bool removed =
        IsLinkHandle(link) && SetFileInformationByHandle(link, FileDispositionInfo, &remove, sizeof remove);
    CloseHandle(link);
    return removed;
}

// Renames the open file to `name` in `folder`, replacing what stands there.
NTSTATUS RenameInto(HANDLE file, HANDLE folder, const std::wstring& name) {
    const NtCalls& nt = Nt();
    if (nt.setInformation == nullptr) return kStatusNotImplemented;
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = folder;
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), rename->FileName);
    IO_STATUS_BLOCK io{};
    return nt.setInformation(file, &io, rename, static_cast<ULONG>(buffer.size()), kRenameInformation);
}

}  // namespace

bool CopyReplacing(const fs::path& from, const fs::path& to, std::string& err) {
    if (CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
    err = SystemErrorText("Cannot copy the file");
    return false;
}

bool UnpackTree::OpenRoot(std::string& err) {
    std::error_code ec;
    fs::create_directories(root_, ec);  // a failure shows when the folder cannot be opened
    HANDLE handle = CreateFileW(LongPathForm(root_).c_str(), kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        err = SystemReason(GetLastError());
        return false;
    }
    root_handle_ = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool UnpackTree::OpenLevel(intptr_t parent, Level& level, bool make, std::string& err) {
    const std::wstring name = ToWide(level.name);
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS status = OpenRelative(HandleOf(parent), name, kFolderAccess, kShareAll, make ? kFileOpenIf : kFileOpen,
                                         kFileDirectoryFile | kFileOpenForBackupIntent, handle);
    if (!NT_SUCCESS(status)) {
        // A link to a file there looks like a file: NOT_A_DIRECTORY either way.
        HANDLE there = INVALID_HANDLE_VALUE;
        const bool link = NT_SUCCESS(OpenRelative(HandleOf(parent), name, FILE_READ_ATTRIBUTES, kShareAll, kFileOpen,
                                                  kFileOpenForBackupIntent, there)) &&
                          IsLinkHandle(there);
        if (there != INVALID_HANDLE_VALUE) CloseHandle(there);
        err = link ? "a link stands in its way" : SystemReason(DosError(status));
        return false;
    }
    uint64_t id = 0;
    const bool plain = !IsLinkHandle(handle) && WhereItsNameSays(handle, FinalPath(HandleOf(parent)), name);
    if (!plain || !IdOf(handle, id)) {
        const DWORD code = GetLastError();
        CloseHandle(handle);
        err = plain ? SystemReason(code) : "a link stands in its way";
        return false;
    }
    level.handle = reinterpret_cast<intptr_t>(handle);
    level.id = id;
    return true;
}

bool UnpackTree::StillInPlace(intptr_t parent, const Level& level) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!NT_SUCCESS(OpenRelative(HandleOf(parent), ToWide(level.name), FILE_READ_ATTRIBUTES, kShareAll, kFileOpen,
                                 kFileDirectoryFile | kFileOpenForBackupIntent, handle))) {
        return false;
    }
    uint64_t id = 0;
    const bool same = !IsLinkHandle(handle) && IdOf(handle, id) && id == level.id;
    CloseHandle(handle);
    return same;
}

void UnpackTree::CloseHandleOf(intptr_t handle) {
    if (handle != kNone) CloseHandle(HandleOf(handle));
}

bool UnpackTree::OpenSource(const std::string& source, intptr_t& handle, std::string& err) {
    HANDLE folder = HandleOf(root_handle_);
    HANDLE owned = INVALID_HANDLE_VALUE;  // a folder of the way opened here
    size_t start = 0;
    bool ok = false;
    for (;;) {
        const size_t end = source.find_first_of("/\\", start);
        const std::wstring part =
            ToWide(source.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            HANDLE file = INVALID_HANDLE_VALUE;
            const NTSTATUS status = OpenRelative(folder, part, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                 kFileOpen, kFileNonDirectoryFile, file);
            if (!NT_SUCCESS(status)) {
                err = SystemReason(DosError(status));
            } else if (IsLinkHandle(file)) {
                CloseHandle(file);
                err = "a link stands in its way";
            } else {
                handle = reinterpret_cast<intptr_t>(file);
                ok = true;
            }
            break;
        }
        if (!part.empty() && part != L".") {
            HANDLE next = INVALID_HANDLE_VALUE;
            const NTSTATUS status = OpenRelative(folder, part, kFolderAccess, kShareAll, kFileOpen,
                                                 kFileDirectoryFile | kFileOpenForBackupIntent, next);
            if (!NT_SUCCESS(status)) {
                err = SystemReason(DosError(status));
                break;
            }
            if (IsLinkHandle(next)) {
                CloseHandle(next);
                err = "a link stands in its way";
                break;
            }
            if (owned != INVALID_HANDLE_VALUE) CloseHandle(owned);
            owned = folder = next;
        }
        start = end + 1;
    }
    if (owned != INVALID_HANDLE_VALUE) CloseHandle(owned);
    return ok;
}

bool UnpackTree::MakeFile(intptr_t folder, const std::string& leaf, intptr_t source, std::string& err) {
    const std::wstring name = ToWide(leaf);
    constexpr ACCESS_MASK kAccess = GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES;
    temporary_.clear();
    HANDLE file = INVALID_HANDLE_VALUE;
    // Made new, never opened where something stands: then the file goes in under a name of its own and
    // replaces it.
    NTSTATUS status =
        OpenRelative(HandleOf(folder), name, kAccess, FILE_SHARE_READ, kFileCreate, kFileNonDirectoryFile, file);
    for (int attempt = 0; status == kStatusNameCollision && attempt < kNameAttempts; ++attempt) {
        const std::wstring temporary = TemporaryName();
        status = OpenRelative(HandleOf(folder), temporary, kAccess, FILE_SHARE_READ, kFileCreate,
                              kFileNonDirectoryFile, file);
        if (NT_SUCCESS(status)) temporary_ = ToUtf8(temporary);
    }
    if (!NT_SUCCESS(status)) {
        err = SystemReason(DosError(status));
        return false;
    }
    file_ = reinterpret_cast<intptr_t>(file);
    if (source != kNone) {
        static thread_local std::vector<char> buffer(256 * 1024);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(HandleOf(source), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
                err = SystemReason(GetLastError());
                RemoveUnfinished();
                return false;
            }
            if (got == 0) break;
            if (!Write(buffer.data(), got, err)) {
                RemoveUnfinished();
                return false;
            }
        }
    }
    return true;
}

bool UnpackTree::Write(const void* data, size_t n, std::string& err) {
    if (!Busy()) {
        err = "no file is open";
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    while (n > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n, DWORD{1} << 30));
        DWORD written = 0;
        if (!WriteFile(HandleOf(file_), bytes, chunk, &written, nullptr) || written == 0) {
            err = SystemReason(GetLastError());
            return false;
        }
        bytes += written;
        n -= written;
    }
    return true;
}

bool UnpackTree::PutInPlace(uint32_t, std::string& err) {
    HANDLE file = HandleOf(file_);
    DWORD code = ERROR_SUCCESS;
    if (!temporary_.empty()) {
        const std::wstring name = ToWide(leaf_);
        NTSTATUS status = RenameInto(file, HandleOf(Folder()), name);
        // A file never replaces a folder: a link to one (a junction) standing there goes as itself
        // first, never what it leads to.
        if (!NT_SUCCESS(status) && RemoveLinkAt(HandleOf(Folder()), name)) status = RenameInto(file, HandleOf(Folder()), name);
        if (!NT_SUCCESS(status)) code = DosError(status);
    }
    if (code != ERROR_SUCCESS) {
        RemoveUnfinished();
        err = SystemReason(code);
        temporary_.clear();
        return false;
    }
    file_ = kNone;
    temporary_.clear();
    if (!CloseHandle(file)) {
        err = SystemReason(GetLastError());
        return false;
    }
    return true;
}

void UnpackTree::RemoveUnfinished() {
    // Through its own handle: no name is looked up again.
    HANDLE file = HandleOf(file_);
    FILE_DISPOSITION_INFO remove{TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
    CloseHandle(file);
    file_ = kNone;
    temporary_.clear();
}

}  // namespace launcher
