#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "platform/nt_calls_win.h"
#include "platform/process.h"
#include "platform/tree_walk.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

using namespace nt;

using tree_walk::Kind;

// The walk's own codes, beside the system's error codes (bit 29 marks codes that are no system's).
constexpr DWORD kChangedCode = 0x20000001;
constexpr DWORD kLinkStaysCode = 0x20000002;

std::string SystemMessage(DWORD code) {
    if (code == kChangedCode) return "The folder changed while it was being worked on";
    // Wine opens what a host link leads to, even when asked for the link itself, and then deletes that.
    if (code == kLinkStaysCode) return "A link could not be removed as itself";
    return SystemReason(code);
}

// The path as the user knows it, without the "\\?\" prefix.
fs::path Shown(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return fs::path(L"\\\\" + path.substr(8));
    if (path.rfind(L"\\\\?\\", 0) == 0) return fs::path(path.substr(4));
    return fs::path(path);
}

// A path that names another folder than the one written: a part of nothing but dots and spaces (".",
// "..", and "..." or ". " too, which Windows cuts down to nothing, leaving the folder they stand in), or a
// bare drive ("Z:", the current folder of that drive). GetFullPathNameW turns each into the full path of
// that other folder, so the path is judged as it is written.
bool Refused(const std::wstring& text) {
    size_t start = 0;
    const wchar_t first = text.empty() ? L'\0' : text[0];
    const bool letter = (first >= L'A' && first <= L'Z') || (first >= L'a' && first <= L'z');
    if (letter && text.size() >= 2 && text[1] == L':') {
        if (text.size() == 2) return true;
        start = 2;
    }
    for (;;) {
        const size_t end = std::min(text.find_first_of(L"\\/", start), text.size());
        if (end > start && text.find_first_not_of(L". ", start) >= end) return true;
        if (end == text.size()) return false;
        start = end + 1;
    }
}

// Splits the top's long form into its folder and its name, after trailing separators and "." parts
// (which a "\\?\" path keeps as they are). False for a path that names no entry of a folder.
bool SplitTop(const fs::path& path, std::wstring& parent, std::wstring& name) {
    std::wstring text = LongPathForm(path);
    for (;;) {
        while (!text.empty() && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
        const size_t n = text.size();
        if (n >= 2 && text[n - 1] == L'.' && (text[n - 2] == L'\\' || text[n - 2] == L'/')) {
            text.resize(text.size() - 2);
            continue;
        }
        break;
    }
    const size_t slash = text.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash + 1 >= text.size()) return false;
    name = text.substr(slash + 1);
    parent = text.substr(0, slash);
    if (name == L"." || name == L".." || name.find(L':') != std::wstring::npos) return false;
    // A drive's root folder is "C:\", not "C:" (which names the volume); a share's is "\\server\share\".
    const std::wstring unc = L"\\\\?\\UNC\\";
    const size_t server = parent.rfind(unc, 0) == 0 ? parent.find(L'\\', unc.size()) : std::wstring::npos;
    const bool shareRoot = server != std::wstring::npos && parent.find(L'\\', server + 1) == std::wstring::npos;
    if ((!parent.empty() && parent.back() == L':') || shareRoot) parent += L'\\';
    if (parent.size() <= 4) return false;  // "\\?\" and nothing: no folder to work in
    return true;
}

constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
constexpr NTSTATUS kStatusNoSuchFile = static_cast<NTSTATUS>(0xC000000FL);
constexpr NTSTATUS kStatusNameNotFound = static_cast<NTSTATUS>(0xC0000034L);
constexpr NTSTATUS kStatusPathNotFound = static_cast<NTSTATUS>(0xC000003AL);
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043L);
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056L);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103L);
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);

constexpr auto kIdBothDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(37);
constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

bool IsMissing(NTSTATUS status) {
    return status == kStatusNameNotFound || status == kStatusPathNotFound || status == kStatusNoSuchFile ||
           status == kStatusDeletePending;
}

// What a handle shows of the entry it is open on: its attributes and reparse tag, and who it is.
struct Facts {
    DWORD attributes = 0;
    DWORD tag = 0;
    uint64_t index = 0;
};

bool FactsOf(HANDLE handle, Facts& out) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return false;
    out.attributes = tag.FileAttributes;
    out.tag = tag.ReparseTag;
    // The file's number by itself: Wine answers FileIdInfo and GetFileInformationByHandle by looking up
    // the whole host path, which for deep folders costs far more than the rest of the walk. A folder
    // opened relative to another is on the same volume (mount points are links, never entered), so the
    // number alone tells it apart.
    const NtCalls& nt = Nt();
    LARGE_INTEGER index{};
    IO_STATUS_BLOCK io{};
    if (nt.queryInformation && NT_SUCCESS(nt.queryInformation(handle, &io, &index, sizeof index,
                                                               kInternalInformation))) {
        out.index = static_cast<uint64_t>(index.QuadPart);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return false;
    out.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

Kind KindOf(DWORD attributes, DWORD tag) {
    if (IsLinkReparsePoint(attributes, tag)) return Kind::Link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder : Kind::File;
}

// An open folder of the walk and who it is.
struct WinDir {
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint64_t index = 0;
    bool canDelete = false;  // the handle was opened for deleting the folder
};

struct WinEntry {
    std::wstring name;
    Kind kind = Kind::File;
    uint64_t size = 0;
    uint64_t fileId = 0;  // as the listing gave it
    DWORD code = 0;
};

// A listing's file id, where the file system gives one (FAT may give 0, ReFS all ones).
bool Known(uint64_t fileId) {
    return fileId != 0 && fileId != ~uint64_t{0};
}

WinEntry EntryOf(const FILE_ID_BOTH_DIR_INFO& info) {
    WinEntry entry;
    entry.name.assign(info.FileName, info.FileNameLength / sizeof(wchar_t));
    // A listing gives the reparse tag of an entry in its EaSize.
    entry.kind = KindOf(info.FileAttributes, info.EaSize);
    entry.size = entry.kind == Kind::File ? static_cast<uint64_t>(info.EndOfFile.QuadPart) : 0;
    entry.fileId = static_cast<uint64_t>(info.FileId.QuadPart);
    return entry;
}

class WinOps {
public:
    using Code = DWORD;
    using Name = std::wstring;
    using Dir = WinDir;
    using Entry = WinEntry;
    static constexpr Code kGone = ERROR_FILE_NOT_FOUND;
    static constexpr Code kChanged = kChangedCode;
    static constexpr Code kMounted = ERROR_BUSY;  // never met: Windows mounts are name-surrogate links
    // Handles are plenty; every reopened folder costs a lookup of its whole path under Wine.
    static constexpr size_t kWindow = 256;
    static constexpr size_t kCheckpoints = 256;
    // Wine turns every open into a lookup of the whole host path, which costs the square of its depth
    // (and fails beyond the host's limit): a removal moves folders deeper than this up into the top.
    static constexpr size_t kFlattenDepth = 64;

    explicit WinOps(bool remove) : remove_(remove) {}

    // The top, looked up in its folder's handle by name (a directory query with the name as its pattern),
    // which also gives the name as the folder spells it.
    Code LookUp(Dir& parent, const Name& name, Entry& out) {
        if (looked_) return kChanged;  // a handle's pattern is fixed by its first query: nothing is asked twice
        looked_ = true;
        const NtCalls& nt = Nt();
        if (nt.queryDirectory == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
        UNICODE_STRING pattern = Counted(name);
        IO_STATUS_BLOCK io{};
        buffer_.resize(64 * 1024);
        const NTSTATUS status = nt.queryDirectory(parent.handle, nullptr, nullptr, nullptr, &io, buffer_.data(),
                                                  static_cast<ULONG>(buffer_.size()), kIdBothDirectoryInformation,
                                                  TRUE, &pattern, TRUE);
        if (status == kStatusNoMoreFiles || IsMissing(status)) return kGone;
        if (!NT_SUCCESS(status)) return DosError(status);
        out = EntryOf(*reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer_.data()));
        return 0;
    }

    Code Open(Dir& parent, const Entry& entry, Dir& out) {
        HANDLE handle = INVALID_HANDLE_VALUE;
        bool canDelete = false;
        const NTSTATUS status = OpenFolder(parent.handle, entry.name, handle, canDelete);
        if (IsMissing(status)) return kGone;
        if (status == kStatusNotADirectory) return kChanged;
        if (!NT_SUCCESS(status)) return DosError(status);
        Facts facts;
        if (!FactsOf(handle, facts)) {
            const DWORD code = GetLastError();
            CloseHandle(handle);
            return code;
        }
        if (IsLinkReparsePoint(facts.attributes, facts.tag)) {
            // A link now stands there, and the handle is the link itself: it goes as itself.
            CloseHandle(handle);
            const Code code = remove_ ? RemoveLink(parent, entry) : 0;
            return code == 0 ? kGone : code;
        }
        if (Known(entry.fileId) && facts.index != entry.fileId) {
            // Not the folder that was listed. Wine opens what a host link leads to even when asked for the
            // link itself, so this is where a folder swapped for a link is noticed there.
            CloseHandle(handle);
            return kChanged;
        }
        out.handle = handle;
        out.index = facts.index;
        out.canDelete = canDelete;
        return 0;
    }

    Code Reopen(Dir& parent, const Name& name, Dir& dir) {
        HANDLE handle = INVALID_HANDLE_VALUE;
        bool canDelete = false;
        const NTSTATUS status = OpenFolder(parent.handle, name, handle, canDelete);
        if (IsMissing(status) || status == kStatusNotADirectory) return kChanged;
        if (!NT_SUCCESS(status)) return DosError(status);
        Facts facts;
        const bool same = FactsOf(handle, facts) && !IsLinkReparsePoint(facts.attributes, facts.tag) &&
                          facts.index == dir.index;
        if (!same) {
            CloseHandle(handle);
            return kChanged;
        }
        dir.handle = handle;
        dir.canDelete = canDelete;
        return 0;
    }

    template <class Each>
    Code List(Dir& dir, Each&& each) {
        std::vector<char>& buffer = listing_;
        buffer.resize(64 * 1024);
        FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
        for (;;) {
            if (!GetFileInformationByHandleEx(dir.handle, kind, buffer.data(), static_cast<DWORD>(buffer.size()))) {
                const DWORD code = GetLastError();
                // With the folder's own handle in hand, "nothing found" means an empty folder, never a gone one.
                if (code == ERROR_NO_MORE_FILES || code == ERROR_FILE_NOT_FOUND) return 0;
                return code;
            }
            kind = FileIdBothDirectoryInfo;
            size_t offset = 0;
            for (;;) {
                const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + offset);
                const wchar_t* name = info->FileName;
                const size_t length = info->FileNameLength / sizeof(wchar_t);
                const bool dots = name[0] == L'.' && (length == 1 || (length == 2 && name[1] == L'.'));
                if (!dots) each(EntryOf(*info));
                if (info->NextEntryOffset == 0) break;
                offset += info->NextEntryOffset;
            }
        }
    }

    Code RemoveFile(Dir& parent, const Entry& entry) {
        HANDLE handle = INVALID_HANDLE_VALUE;
        const NTSTATUS status = OpenToDelete(parent.handle, entry.name, kFileNonDirectoryFile, handle);
        if (IsMissing(status)) return kGone;
        if (status == kStatusFileIsADirectory) return kChanged;
        if (!NT_SUCCESS(status)) return DosError(status);
        const Code code = Dispose(handle);
        CloseHandle(handle);
        return code;
    }

    Code RemoveLink(Dir& parent, const Entry& entry) {
        HANDLE handle = INVALID_HANDLE_VALUE;
        const NTSTATUS status = OpenToDelete(parent.handle, entry.name, 0, handle);
        if (IsMissing(status)) return kGone;
        if (!NT_SUCCESS(status)) return DosError(status);
        Facts facts;
        Code code = FactsOf(handle, facts) ? 0 : GetLastError();
        // Only a handle on the link itself is deleted. Under Wine the handle is on what the link leads to,
        // and deleting that would delete the user's own folder or file.
        if (code == 0 && !(facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) code = kLinkStaysCode;
        if (code == 0) code = Dispose(handle);
        CloseHandle(handle);
        return code;
    }

    Code RemoveFolder(Dir& parent, Dir& self, const Name& name) {
        // Deleted through its own handle, so no name is looked up again; when that handle could not be
        // opened for deleting (a program works in the folder), through one opened now that must be the
        // same folder. Entries deleted a moment ago may still be pending while another program holds
        // them: such a folder is tried again briefly. Whether it went is asked afterwards: Wine takes the
        // delete of a folder that is not empty yet and then quietly keeps the folder.
        HANDLE handle = self.handle;
        self.handle = INVALID_HANDLE_VALUE;
        if (!self.canDelete) {
            CloseHandle(handle);  // no handle of the walk's may keep the folder
            handle = INVALID_HANDLE_VALUE;
        }
        Code code = 0;
        for (int delayMs : {50, 100, 250, 500, 0}) {
            if (handle == INVALID_HANDLE_VALUE) code = OpenSameToDelete(parent, name, self.index, handle);
            if (code == kGone) return 0;
            if (code == 0) {
                code = Dispose(handle);
                CloseHandle(handle);
                handle = INVALID_HANDLE_VALUE;
                if (code == 0 && StillThere(parent, name, self.index)) code = ERROR_DIR_NOT_EMPTY;
            }
            if (code != ERROR_DIR_NOT_EMPTY || delayMs == 0 || !mayWait_) break;
            Sleep(static_cast<DWORD>(delayMs));
        }
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        if (code == ERROR_DIR_NOT_EMPTY) mayWait_ = false;
        return code;
    }

    void KeepFolder(Dir&) {}

    // Moves the listed folder `entry` of `parent` into `top` under a name of its own, through its handle.
    Code MoveUp(Dir& parent, Entry& entry, Dir& top) {
        HANDLE handle = INVALID_HANDLE_VALUE;
        const NTSTATUS status = OpenToDelete(parent.handle, entry.name, kFileDirectoryFile, handle);
        if (IsMissing(status)) return kGone;
        if (!NT_SUCCESS(status)) return DosError(status);
        Facts facts;
        Code code = FactsOf(handle, facts) ? 0 : GetLastError();
        if (code == 0 && (IsLinkReparsePoint(facts.attributes, facts.tag) ||
                          (Known(entry.fileId) && facts.index != entry.fileId))) {
            code = kChanged;
        }
        // Kernel32's rename takes no folder handle under Wine; ntdll's does, on both.
        const NtCalls& nt = Nt();
        if (code == 0 && nt.setInformation == nullptr) code = ERROR_CALL_NOT_IMPLEMENTED;
        for (int attempt = 0; code == 0; ++attempt) {
            const std::wstring name = L"~deep-" + std::to_wstring(++moved_);
            std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
            auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
            rename->ReplaceIfExists = FALSE;
            rename->RootDirectory = top.handle;
            rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
            std::copy(name.begin(), name.end(), rename->FileName);
            IO_STATUS_BLOCK io{};
            const NTSTATUS status =
                nt.setInformation(handle, &io, rename, static_cast<ULONG>(buffer.size()), kRenameInformation);
            if (NT_SUCCESS(status)) {
                entry.name = name;
                break;
            }
            // A name of the tree's own is taken: the next one.
            if (status != kStatusNameCollision || attempt >= 100) code = DosError(status);
        }
        CloseHandle(handle);
        return code;
    }

    void Close(Dir& dir) {
        if (dir.handle != INVALID_HANDLE_VALUE) CloseHandle(dir.handle);
        dir.handle = INVALID_HANDLE_VALUE;
    }

private:
    static UNICODE_STRING Counted(const std::wstring& text) {
        UNICODE_STRING out;
        out.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
        out.MaximumLength = out.Length;
        out.Buffer = const_cast<wchar_t*>(text.c_str());
        return out;
    }

    // Opens a folder to enter it: for a removal also for deleting it and its attributes, where that is
    // allowed (a program that works in the folder may hold it without letting it be deleted).
    NTSTATUS OpenFolder(HANDLE parent, const std::wstring& name, HANDLE& out, bool& canDelete) {
        const ACCESS_MASK read = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
        canDelete = false;
        if (remove_) {
            const ULONG folder = kFileDirectoryFile;
            NTSTATUS status = OpenRelative(parent, name, read | DELETE | FILE_WRITE_ATTRIBUTES, folder, out);
            if (status == kStatusAccessDenied) status = OpenRelative(parent, name, read | DELETE, folder, out);
            if (status != kStatusAccessDenied && status != kStatusSharingViolation) {
                canDelete = NT_SUCCESS(status);
                return status;
            }
        }
        return OpenRelative(parent, name, read, kFileDirectoryFile, out);
    }

    // Opens `name` in the folder `parent` as itself (a link is not followed), with every sharing allowed.
    static NTSTATUS OpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG options,
                                 HANDLE& out) {
        const NtCalls& nt = Nt();
        if (nt.createFile == nullptr) return kStatusAccessDenied;
        UNICODE_STRING counted = Counted(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &counted, 0, parent, nullptr);
        IO_STATUS_BLOCK io{};
        HANDLE handle = nullptr;
        const NTSTATUS status =
            nt.createFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kFileOpen,
                          options | kFileOpenReparsePoint | kFileOpenForBackupIntent | kFileSynchronousIoNonalert,
                          nullptr, 0);
        out = NT_SUCCESS(status) ? handle : INVALID_HANDLE_VALUE;
        return status;
    }

    // Opens an entry for deleting. A file that a program or a virus scanner holds for a moment is tried
    // again within about a second; once one entry has waited in vain, the others are tried once.
    NTSTATUS OpenToDelete(HANDLE parent, const std::wstring& name, ULONG options, HANDLE& out) {
        NTSTATUS status = 0;
        for (int delayMs : {50, 100, 250, 500, 0}) {
            status = OpenRelative(parent, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, options, out);
            if (status == kStatusAccessDenied) status = OpenRelative(parent, name, DELETE, options, out);
            if (status != kStatusSharingViolation || delayMs == 0 || !mayWait_) break;
            Sleep(static_cast<DWORD>(delayMs));
        }
        if (status == kStatusSharingViolation) mayWait_ = false;
        return status;
    }

    // Opens the folder `name` of `parent` for deleting, when it is still the folder numbered `index`.
    Code OpenSameToDelete(Dir& parent, const Name& name, uint64_t index, HANDLE& out) {
        const NTSTATUS status = OpenToDelete(parent.handle, name, kFileDirectoryFile, out);
        if (IsMissing(status)) return kGone;
        if (!NT_SUCCESS(status)) return DosError(status);
        Facts facts;
        if (FactsOf(out, facts) && facts.index == index) return 0;
        CloseHandle(out);
        out = INVALID_HANDLE_VALUE;
        return kChanged;
    }

    // True when the folder numbered `index` still stands at `name` after its delete: neither gone nor
    // pending (a folder that another program holds goes when it lets go).
    static bool StillThere(Dir& parent, const Name& name, uint64_t index) {
        HANDLE handle = INVALID_HANDLE_VALUE;
        if (!NT_SUCCESS(OpenRelative(parent.handle, name, FILE_READ_ATTRIBUTES, 0, handle))) return false;
        Facts facts;
        const bool there = FactsOf(handle, facts) && facts.index == index;
        CloseHandle(handle);
        return there;
    }

    // Marks the open entry for deletion: at once where the system can (the name goes even while others
    // hold the file), else when the last handle closes. A read-only entry loses that attribute for the
    // delete, and gets it back when the delete fails anyway.
    static DWORD Dispose(HANDLE handle) {
        DWORD flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
        if (SetFileInformationByHandle(handle, kDispositionInfoEx, &flags, sizeof flags)) {
            return 0;
        }
        DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED || code == ERROR_DIR_NOT_EMPTY || code == ERROR_SHARING_VIOLATION) return code;
        // Older systems, other file systems and Wine know only the classic disposition.
        FILE_DISPOSITION_INFO classic{TRUE};
        if (SetFileInformationByHandle(handle, FileDispositionInfo, &classic, sizeof classic)) return 0;
        code = GetLastError();
        if (code != ERROR_ACCESS_DENIED) return code;
        FILE_BASIC_INFO basic{};
        if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
            !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
            return code;
        }
        FILE_BASIC_INFO writable{};  // times of 0 stay as they are
        writable.FileAttributes = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (writable.FileAttributes == 0) writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(handle, FileBasicInfo, &writable, sizeof writable)) return code;
        if (SetFileInformationByHandle(handle, FileDispositionInfo, &classic, sizeof classic)) return 0;
        code = GetLastError();
        FILE_BASIC_INFO back{};
        back.FileAttributes = basic.FileAttributes;
        SetFileInformationByHandle(handle, FileBasicInfo, &back, sizeof back);
        return code;
    }

    const bool remove_;
    bool looked_ = false;
    bool mayWait_ = true;
    unsigned moved_ = 0;
    std::vector<char> buffer_;   // LookUp's answer
    std::vector<char> listing_;  // List's, never two at a time
};

// The top's folder, opened following links on the way (they are the caller's). kGone when it is not
// there or is no folder: then neither is the top.
DWORD OpenAnchor(const std::wstring& parent, WinDir& anchor) {
    const DWORD access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    HANDLE handle = CreateFileW(parent.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_DIRECTORY ? WinOps::kGone
                                                                                                        : code;
    }
    Facts facts;
    if (!FactsOf(handle, facts) || !(facts.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        return WinOps::kGone;
    }
    anchor.handle = handle;
    anchor.index = facts.index;
    return 0;
}

// One plain name of an entry: no separator, nothing that names another folder.
bool PlainName(const std::wstring& name) {
    return !name.empty() && name.find_first_of(L"\\/:") == std::wstring::npos && !Refused(name);
}

// The path of `names` below `folder`.
std::wstring Joined(std::wstring folder, const std::vector<std::wstring>& names) {
    for (const std::wstring& part : names) {
        if (folder.empty() || folder.back() != L'\\') folder += L'\\';
        folder += part;
    }
    return folder;
}

// The whole walk for both RemoveTree and TreeSize. On failure `code` is set and `at` is where.
bool Walk(const fs::path& path, bool remove, uint64_t& bytes, DWORD& code, fs::path& at) {
    bytes = 0;
    std::wstring parent;
    std::wstring name;
    if (Refused(path.native()) || !SplitTop(path, parent, name)) {
        code = ERROR_INVALID_NAME;
        at = path;
        return false;
    }
    WinDir anchor;
    code = OpenAnchor(parent, anchor);
    if (code == WinOps::kGone) {
        code = 0;
        return true;
    }
    if (code != 0) {
        at = Shown(parent);
        return false;
    }
    std::vector<std::wstring> below;
    if (tree_walk::WalkFrom<WinOps>(anchor, name, remove, bytes, code, below)) return true;
    at = Shown(Joined(parent, below));
    return false;
}

// Opens the folder `name` of `parent` into `dir` without following anything, and says what stands there.
// `parent` must be a handle that no listing or look-up has used yet.
HeldFolder::Found Hold(WinDir& parent, const std::wstring& name, WinDir& dir) {
    WinOps ops(false);
    WinEntry entry;
    const DWORD code = ops.LookUp(parent, name, entry);
    if (code == WinOps::kGone) return HeldFolder::Found::Nothing;
    if (code != 0) return HeldFolder::Found::Other;
    if (entry.kind == Kind::Link) return HeldFolder::Found::Link;
    if (entry.kind != Kind::Folder) return HeldFolder::Found::Other;
    // A folder that turns out to be a link or another folder once opened is no folder to hold.
    return ops.Open(parent, entry, dir) == 0 ? HeldFolder::Found::Folder : HeldFolder::Found::Other;
}

// The held folder `held`, entry `heldName` of `parent`, opened again into `out`: a fresh handle on the
// very same folder, or kChanged.
DWORD OpenHeldAgain(WinDir& parent, const std::wstring& heldName, const WinDir& held, WinDir& out) {
    out = WinDir{};
    out.index = held.index;
    WinOps ops(false);
    const DWORD code = ops.Reopen(parent, heldName, out);
    return code == WinOps::kGone ? WinOps::kChanged : code;
}

// RemoveTree and TreeSize of the entry `name` of a held folder, relative to a fresh handle on it.
bool WalkHeld(WinDir& parent, const std::wstring& heldName, const WinDir& held, const fs::path& heldPath,
              const fs::path& name, bool remove, uint64_t& bytes, std::string& err, fs::path* failedAt) {
    bytes = 0;
    WinDir anchor;
    DWORD code = PlainName(name.native()) ? OpenHeldAgain(parent, heldName, held, anchor) : ERROR_INVALID_NAME;
    if (code != 0) {
        err = SystemMessage(code);
        if (failedAt) *failedAt = heldPath;
        return false;
    }
    std::vector<std::wstring> below;
    if (tree_walk::WalkFrom<WinOps>(anchor, name.native(), remove, bytes, code, below)) return true;
    err = SystemMessage(code);
    if (failedAt) {
        *failedAt = heldPath;
        for (const std::wstring& part : below) *failedAt /= part;
    }
    return false;
}

// What is not held has no entries: nothing there holds nothing, anything else is no folder.
bool NotHeld(HeldFolder::Found found, const fs::path& path, std::string& err, fs::path* failedAt) {
    if (found == HeldFolder::Found::Nothing) return true;
    err = SystemMessage(ERROR_DIRECTORY);
    if (failedAt) *failedAt = path;
    return false;
}

// What stands at `path` itself: its attributes, and the reparse tag a listing gives. False when nothing.
bool Look(const fs::path& path, DWORD& attributes, DWORD& tag) {
    std::wstring parent;
    std::wstring name;
    const std::wstring full = SplitTop(path, parent, name) ? parent + (parent.back() == L'\\' ? L"" : L"\\") + name
                                                           : LongPathForm(path);
    attributes = GetFileAttributesW(full.c_str());
    tag = 0;
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileExW(full.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
        if (find != INVALID_HANDLE_VALUE) {
            tag = data.dwReserved0;
            FindClose(find);
        }
    }
    return true;
}

}  // namespace

bool IsLink(const fs::path& path) {
    DWORD attributes = 0;
    DWORD tag = 0;
    return !path.empty() && Look(path, attributes, tag) && IsLinkReparsePoint(attributes, tag);
}

bool EntryExists(const fs::path& path) {
    DWORD attributes = 0;
    DWORD tag = 0;
    return !path.empty() && Look(path, attributes, tag);
}

bool RemoveTree(const fs::path& path, std::string& err, fs::path* failedAt) {
    if (path.empty()) return true;
    uint64_t bytes = 0;
    DWORD code = 0;
    fs::path at;
    if (Walk(path, true, bytes, code, at)) return true;
    err = SystemMessage(code);
    if (failedAt) *failedAt = at;
    return false;
}

bool TreeSize(const fs::path& folder, uint64_t& bytes, std::string& err) {
    bytes = 0;
    if (folder.empty()) return true;
    DWORD code = 0;
    fs::path at;
    if (Walk(folder, false, bytes, code, at)) return true;
    err = SystemMessage(code);
    return false;
}

struct HeldFolder::State {
    WinDir parent;      // the folder it stands in
    std::wstring name;  // its name there
    WinDir dir;         // the folder itself
    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (parent.handle != INVALID_HANDLE_VALUE) CloseHandle(parent.handle);
        if (dir.handle != INVALID_HANDLE_VALUE) CloseHandle(dir.handle);
    }
};

HeldFolder::HeldFolder(const fs::path& path) : path_(path) {
    std::wstring parent;
    std::wstring name;
    if (path.empty() || Refused(path.native()) || !SplitTop(path, parent, name)) {
        found_ = Found::Other;
        return;
    }
    auto state = std::make_unique<State>();
    const DWORD code = OpenAnchor(parent, state->parent);
    if (code != 0) {
        found_ = code == WinOps::kGone ? Found::Nothing : Found::Other;
        return;
    }
    state->name = name;
    found_ = Hold(state->parent, name, state->dir);
    if (found_ == Found::Folder) state_ = std::move(state);
}

HeldFolder::HeldFolder(const HeldFolder& parent, const fs::path& name) : path_(parent.path_ / name) {
    if (!parent.state_ || !PlainName(name.native())) {
        found_ = parent.found_ == Found::Nothing ? Found::Nothing : Found::Other;
        return;
    }
    // The parent's own handle may have been listed, and a handle answers only its first look-up.
    auto state = std::make_unique<State>();
    if (OpenHeldAgain(parent.state_->parent, parent.state_->name, parent.state_->dir, state->parent) != 0) {
        found_ = Found::Other;
        return;
    }
    state->name = name.native();
    found_ = Hold(state->parent, state->name, state->dir);
    if (found_ == Found::Folder) state_ = std::move(state);
}

HeldFolder::~HeldFolder() = default;

bool HeldFolder::List(std::vector<fs::path>& names, std::string& err) const {
    names.clear();
    if (!state_) return NotHeld(found_, path_, err, nullptr);
    WinOps ops(false);
    const DWORD code = ops.List(state_->dir, [&names](WinEntry&& entry) { names.emplace_back(entry.name); });
    if (code == 0) return true;
    err = SystemMessage(code);
    return false;
}

bool HeldFolder::RemoveTree(const fs::path& name, std::string& err, fs::path* failedAt) const {
    uint64_t bytes = 0;
    if (!state_) return NotHeld(found_, path_, err, failedAt);
    return WalkHeld(state_->parent, state_->name, state_->dir, path_, name, true, bytes, err, failedAt);
}

bool HeldFolder::TreeSize(const fs::path& name, uint64_t& bytes, std::string& err) const {
    bytes = 0;
    if (!state_) return NotHeld(found_, path_, err, nullptr);
    return WalkHeld(state_->parent, state_->name, state_->dir, path_, name, false, bytes, err, nullptr);
}

bool MoveReplacing(const fs::path& from, const fs::path& to, std::string& err) {
    if (MoveFileExW(LongPathForm(from).c_str(), LongPathForm(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        return true;
    }
    err = SystemMessage(GetLastError());
    return false;
}

}  // namespace launcher
