// The system-independent half of UnpackTree: which folders of an entry's way are kept open.
#include "platform/file_copy.h"
#include "platform/paths.h"
#include "platform/zip.h"

namespace launcher {

namespace {

// The components of an entry path; "." and empty ones name no folder.
std::vector<std::string> PartsOf(const std::string& name) {
#ifdef _WIN32
    const char* separators = "/\\";
#else
    const char* separators = "/";
#endif
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = name.find_first_of(separators, start);
        std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

}  // namespace

UnpackTree::~UnpackTree() {
    Discard();
    for (const Level& level : levels_) CloseHandleOf(level.handle);
    if (root_handle_ != kNone) CloseHandleOf(root_handle_);
}

bool UnpackTree::Enter(const std::string& name, std::string& err) {
    const std::vector<std::string> parts = PartsOf(name);
    if (parts.empty()) {
        err = "the name holds no file";
        return false;
    }
    if (root_handle_ == kNone && !OpenRoot(err)) return false;
    size_t common = 0;
    while (common < levels_.size() && common + 1 < parts.size() && levels_[common].name == parts[common]) ++common;
    if (!Leave(common, err)) return false;
    for (size_t i = common; i + 1 < parts.size(); ++i) {
        Level level;
        level.name = parts[i];
        if (!OpenLevel(Folder(), level, true, err)) return false;
        levels_.push_back(std::move(level));
    }
    leaf_ = parts.back();
    return true;
}

bool UnpackTree::Leave(size_t keep, std::string& err) {
    bool ok = true;
    while (levels_.size() > keep) {
        const Level level = std::move(levels_.back());
        levels_.pop_back();
        if (ok && !StillInPlace(Folder(), level)) {
            std::string path;
            for (const Level& above : levels_) path += above.name + "/";
            err = "the folder " + PathUtf8(JoinEntryPath(root_, path + level.name)) +
                  " was moved or replaced while the archive was unpacked";
            ok = false;
        }
        CloseHandleOf(level.handle);
    }
    return ok;
}

bool UnpackTree::Create(const std::string& name, const std::string* source, std::string& err) {
    Discard();
    target_ = JoinEntryPath(root_, name);
    intptr_t input = kNone;
    if (source) {
        if (root_handle_ == kNone && !OpenRoot(err)) return false;
        if (!OpenSource(*source, input, err)) return false;
    }
    const bool ok = Enter(name, err) && MakeFile(Folder(), leaf_, input, err);
    if (input != kNone) CloseHandleOf(input);
    return ok;
}

bool UnpackTree::Open(const std::string& name, std::string& err) {
    return Create(name, nullptr, err);
}

bool UnpackTree::OpenCopy(const std::string& source, const std::string& name, std::string& err) {
    return Create(name, &source, err);
}

bool UnpackTree::Commit(uint32_t executeBits, std::string& err) {
    if (!Busy()) {
        err = "no file is open";
        return false;
    }
    return PutInPlace(executeBits, err);
}

void UnpackTree::Discard() {
    if (Busy()) RemoveUnfinished();
}

bool UnpackTree::Finish(std::string& err) {
    Discard();
    const bool ok = Leave(0, err);
    if (root_handle_ != kNone) CloseHandleOf(root_handle_);
    root_handle_ = kNone;
    return ok;
}

}  // namespace launcher
