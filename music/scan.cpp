#include "music/scan.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/ascii.h"
#include "platform/file_id.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Far deeper than any music collection; it ends a walk through links whose folders cannot be identified.
constexpr int kMaxDepth = 64;

std::string FileNameUtf8(const fs::path& path) {
    return PathUtf8(path.filename());
}

// Names that only differ in case keep one order from run to run, so the songs keep their numbers.
void SortByName(std::vector<fs::path>& paths) {
    std::vector<std::pair<std::string, std::string>> keys;
    keys.reserve(paths.size());
    for (const fs::path& path : paths) {
        std::string name = FileNameUtf8(path);
        keys.emplace_back(LowerAscii(name), std::move(name));
    }
    std::vector<size_t> order(paths.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
    std::vector<fs::path> sorted;
    sorted.reserve(paths.size());
    for (size_t i : order) sorted.push_back(std::move(paths[i]));
    paths = std::move(sorted);
}

struct Listing {
    std::vector<fs::path> files;
    std::vector<fs::path> folders;
};

// A folder's audio files and sub-folders, links followed, each sorted by name. What cannot be listed or
// looked at is left out; a listing that breaks off keeps what came before.
Listing ListFolder(const fs::path& folder) {
    Listing out;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code statusError;
        const fs::file_status status = it->status(statusError);
        if (statusError) continue;
        if (fs::is_directory(status)) {
            out.folders.push_back(it->path());
        } else if (fs::is_regular_file(status) && IsAudioFile(it->path())) {
            out.files.push_back(it->path());
        }
    }
    SortByName(out.files);
    SortByName(out.folders);
    return out;
}

// A folder of the launcher's own that the walk must not enter: its identity, and its resolved path for
// where identities cannot be read.
struct LeftOut {
    std::optional<FileId> id;
    std::string path;
};

// The folder's full path, links resolved where the system can, ASCII case folded (Windows ignores case).
std::string FolderKey(const fs::path& folder) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(folder, ec);
    if (ec) {
        resolved = fs::absolute(folder, ec);
        if (ec) resolved = folder;
        resolved = resolved.lexically_normal();
    }
    std::string text = LowerAscii(PathUtf8(resolved));
    while (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) text.pop_back();
    return text;
}

std::optional<FileId> Identify(const fs::path& folder) {
    FileId id;
    if (!IdentifyFile(folder, id)) return std::nullopt;
    return id;
}

// The folders the walk is inside. A link that leads back to one of them is not entered, so the walk ends;
// nor is a folder of the launcher's own.
class WalkStack {
public:
    WalkStack() = default;
    WalkStack(const std::vector<fs::path>& leaveOut, std::vector<std::string>& warnings) : warnings_(&warnings) {
        for (const fs::path& folder : leaveOut) leaveOut_.push_back(LeftOut{Identify(folder), FolderKey(folder)});
    }

    // False when `folder` is already being walked, is left out (or the walk is too deep); else it is now on
    // the stack.
    bool Enter(const fs::path& folder) {
        if (entered_.size() >= static_cast<size_t>(kMaxDepth)) return false;
        const std::optional<FileId> id = Identify(folder);
        for (const LeftOut& out : leaveOut_) {
            if (id && out.id ? *id == *out.id : FolderKey(folder) == out.path) {
                warnings_->push_back("\"" + PathUtf8(folder) + "\" left out: it holds the launcher's own files");
                return false;
            }
        }
        if (id && std::find(entered_.begin(), entered_.end(), id) != entered_.end()) return false;
        entered_.push_back(id);
        return true;
    }
    void Leave() { entered_.pop_back(); }

private:
    std::vector<std::optional<FileId>> entered_;  // empty where the folder could not be identified
    std::vector<LeftOut> leaveOut_;
    std::vector<std::string>* warnings_ = nullptr;
};

void Collect(const fs::path& folder, std::vector<fs::path>& files, WalkStack& stack) {
    Listing listing = ListFolder(folder);
    files.insert(files.end(), listing.files.begin(), listing.files.end());
    for (const fs::path& sub : listing.folders) {
        if (!stack.Enter(sub)) continue;
        Collect(sub, files, stack);
        stack.Leave();
    }
}

}  // namespace

bool IsAudioFile(const fs::path& path) {
    static const char* const kExtensions[] = {".mp3", ".flac", ".ogg", ".opus", ".m4a",
                                              ".aac", ".wav",  ".wma", ".aiff", ".aif"};
    const std::string name = FileNameUtf8(path);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string extension = LowerAscii(name.substr(dot));
    for (const char* known : kExtensions) {
        if (extension == known) return true;
    }
    return false;
}

bool CompareByName(const fs::path& a, const fs::path& b) {
    // std::string compares its bytes as unsigned char.
    return LowerAscii(FileNameUtf8(a)) < LowerAscii(FileNameUtf8(b));
}

void AddSoundtrack(std::vector<Soundtrack>& soundtracks, std::vector<std::string>& warnings, const std::string& name,
                   const std::vector<fs::path>& files) {
    if (files.empty()) return;
    if (soundtracks.size() >= kMaxSoundtracks) {
        warnings.push_back("\"" + name + "\" left out: an Xbox holds " + std::to_string(kMaxSoundtracks) +
                           " soundtracks");
        return;
    }
    Soundtrack soundtrack;
    soundtrack.name = name;
    for (const fs::path& file : files) {
        if (soundtrack.songs.size() >= kMaxSongsPerSoundtrack) {
            warnings.push_back("\"" + name + "\": songs past " + std::to_string(kMaxSongsPerSoundtrack) +
                               " left out");
            break;
        }
        const std::string fileName = FileNameUtf8(file);
        soundtrack.songs.push_back(Song{file, fileName.substr(0, fileName.rfind('.')), 0});
    }
    soundtracks.push_back(std::move(soundtrack));
}

void CollectAudioFiles(const fs::path& folder, std::vector<fs::path>& files) {
    WalkStack stack;
    if (!stack.Enter(folder)) return;
    Collect(folder, files, stack);
}

std::vector<Soundtrack> ScanMusicFolder(const fs::path& folder, std::vector<std::string>& warnings,
                                        const std::vector<fs::path>& leaveOut) {
    std::vector<Soundtrack> soundtracks;
    WalkStack stack(leaveOut, warnings);
    if (!stack.Enter(folder)) return soundtracks;
    Listing listing = ListFolder(folder);
    AddSoundtrack(soundtracks, warnings, FileNameUtf8(folder), listing.files);
    for (const fs::path& sub : listing.folders) {
        if (!stack.Enter(sub)) continue;
        std::vector<fs::path> files;
        Collect(sub, files, stack);
        stack.Leave();
        AddSoundtrack(soundtracks, warnings, FileNameUtf8(sub), files);
    }
    return soundtracks;
}

}  // namespace launcher
