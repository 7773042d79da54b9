#include <windows.h>
#include <shellapi.h>
#include <shobjidl.h>

#include "app/shell.h"

namespace launcher {

std::filesystem::path PickPath(void* owner, bool folderMode, const WideText* title) {
    IFileOpenDialog* dialog = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog)))) {
        return {};
    }
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    options |= FOS_FORCEFILESYSTEM;
    if (folderMode) options |= FOS_PICKFOLDERS;
    dialog->SetOptions(options);
    if (folderMode) {
        dialog->SetTitle(title != nullptr ? title->c_str() : L"Choose the folder with the game's files");
    } else {
        const COMDLG_FILTERSPEC filters[] = {
            {L"Xbox disc image or default.xbe", L"*.iso;default.xbe"},
            {L"All files", L"*.*"},
        };
        dialog->SetFileTypes(2, filters);
        dialog->SetTitle(L"Choose the game's disc image");
    }
    std::filesystem::path result;
    if (SUCCEEDED(dialog->Show(static_cast<HWND>(owner)))) {
        IShellItem* item = nullptr;
        if (SUCCEEDED(dialog->GetResult(&item))) {
            PWSTR name = nullptr;
            if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &name))) {
                result = std::filesystem::path(name);
                CoTaskMemFree(name);
            }
            item->Release();
        }
    }
    dialog->Release();
    return result;
}

void OpenInShell(const std::string& utf8) {
    WideText wide = WidenUtf8(utf8);
    ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void OpenPathInShell(const std::filesystem::path& path) {
    ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

uint64_t FreeSpaceOf(const std::filesystem::path& path) {
    std::filesystem::path p = path;
    while (!p.empty() && GetFileAttributesW(p.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::filesystem::path parent = p.parent_path();
        // The root of a missing drive is its own parent: stop there instead of looping.
        if (parent == p) break;
        p = parent;
    }
    ULARGE_INTEGER available{};
    if (p.empty() || !GetDiskFreeSpaceExW(p.c_str(), &available, nullptr, nullptr)) return 0;
    return available.QuadPart;
}

WideText WidenUtf8(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) return {};
    WideText out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

}  // namespace launcher
