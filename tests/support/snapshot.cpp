#include "support/snapshot.h"

#include <vector>

#include "support/test_support.h"

namespace launcher::test {

namespace fs = std::filesystem;

Tree Snapshot(const fs::path& folder) {
    Tree out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::u8string rel = it->path().lexically_relative(folder).generic_u8string();
        const std::string name(rel.begin(), rel.end());
        std::error_code typeError;
        const fs::file_status status = it->symlink_status(typeError);
        if (fs::is_symlink(status)) {
            out[name] = "link " + fs::read_symlink(it->path(), typeError).string();
            it.disable_recursion_pending();
        } else if (fs::is_directory(status)) {
            out[name] = "folder";
        } else {
            out[name] = "file " + ReadFile(it->path());
        }
    }
    return out;
}

std::string ChangesSince(const Tree& before, const Tree& now) {
    std::vector<std::string> changed;
    for (const auto& [name, what] : before) {
        auto found = now.find(name);
        if (found == now.end()) {
            changed.push_back("lost " + name);
        } else if (found->second != what) {
            changed.push_back("changed " + name);
        }
    }
    for (const auto& [name, what] : now) {
        if (before.count(name) == 0) changed.push_back("added " + name);
    }
    if (changed.empty()) return "";
    std::string out = std::to_string(changed.size()) + " entries differ:";
    for (size_t i = 0; i < changed.size() && i < 5; ++i) out += " " + changed[i] + ";";
    return out;
}

}  // namespace launcher::test
