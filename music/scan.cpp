#include "music/scan.h"

#include <algorithm>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include "platform/ascii.h"
#include "platform/file_id.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

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

// The non-empty components of where `folder` really lies, links resolved, ASCII case folded (Windows
// ignores case). A folder that does not exist yet is placed below its nearest ancestor that does.
std::vector<std::string> ResolvedParts(const fs::path& folder) {
    std::error_code ec;
    fs::path full = fs::absolute(folder, ec);
    if (ec) full = folder;
    full = full.lexically_normal();
    fs::path rest;
    fs::path resolved;
    for (fs::path at = full; !ResolvePath(at, resolved);) {
        const fs::path up = at.parent_path();
        if (up == at || up.empty()) {
            resolved = full;
            rest.clear();
            break;
        }
        rest = rest.empty() ? at.filename() : at.filename() / rest;
        at = up;
    }
    std::vector<std::string> parts;
    for (const fs::path& part : resolved / rest) {
        std::string text = LowerAscii(PathUtf8(part));
        if (!text.empty() && text != ".") parts.push_back(std::move(text));
    }
    return parts;
}

std::optional<FileId> Identify(const fs::path& folder) {
    FileId id;
    if (!IdentifyFile(folder, id)) return std::nullopt;
    return id;
}

struct IdLess {
    bool operator()(const FileId& a, const FileId& b) const {
        return a.volume != b.volume ? a.volume < b.volume : a.index < b.index;
    }
};

// A folder of the launcher's own: its identity, and where it really lies.
struct LeftOut {
    std::optional<FileId> id;
    std::vector<std::string> parts;
};

// What the walk has seen. Every folder is walked once: folders that links share, however many links lead
// to them, and links back up the walk, which would make it endless. Folders that cannot be identified are
// walked each time they are met, down to the depth limit.
class Walk {
public:
    Walk(const std::vector<fs::path>& leaveOut, std::vector<std::string>* warnings, const std::atomic<bool>* stop)
        : warnings_(warnings), stop_(stop) {
        for (const fs::path& folder : leaveOut) leaveOut_.push_back(LeftOut{Identify(folder), ResolvedParts(folder)});
    }

    bool Stopped() const { return stop_ != nullptr && stop_->load(); }

    // A sub-folder of the music folder is walked as its own soundtrack, never as part of another.
    void Reserve(const fs::path& folder) {
        if (const std::optional<FileId> id = Identify(folder)) reserved_.insert(*id);
    }

    // Whether `folder`, at `level` below the music folder, is to be walked; it then counts as walked.
    // `reached` says how: the music folder itself, a soundtrack's own folder, or a folder inside one.
    enum class Reached { kTop, kSoundtrack, kInside };
    bool Enter(const fs::path& folder, int level, Reached reached) {
        if (Stopped()) return false;
        const std::optional<FileId> id = Identify(folder);
        if (id && walked_.count(*id) != 0) return false;
        if (id && reached == Reached::kInside && reserved_.count(*id) != 0) return false;
        if (IsLeftOut(folder, id, reached == Reached::kTop)) {
            Warn("\"" + PathUtf8(folder) + "\" left out: it holds the launcher's own files");
            if (id) walked_.insert(*id);
            return false;
        }
        if (level >= kMaxScanDepth) {
            Warn("\"" + PathUtf8(folder) + "\" left out: the scan goes " + std::to_string(kMaxScanDepth) +
                 " folders deep");
            return false;
        }
        if (id) walked_.insert(*id);
        return true;
    }

private:
    // A folder that is one of the launcher's own, or lies inside one. Only a link (and the music folder,
    // wherever it is) can lead somewhere else than below the folder it was listed in, which is not inside
    // one of them, or it would not have been walked; so the others are told by their identity alone, where
    // they have one.
    bool IsLeftOut(const fs::path& folder, const std::optional<FileId>& id, bool top) const {
        if (leaveOut_.empty()) return false;
        for (const LeftOut& out : leaveOut_) {
            if (id && out.id && *id == *out.id) return true;
        }
        if (!top && id && !IsLink(folder)) return false;
        const std::vector<std::string> parts = ResolvedParts(folder);
        for (const LeftOut& out : leaveOut_) {
            if (!out.parts.empty() && parts.size() >= out.parts.size() &&
                std::equal(out.parts.begin(), out.parts.end(), parts.begin())) {
                return true;
            }
        }
        return false;
    }

    void Warn(const std::string& text) {
        if (warnings_ != nullptr) warnings_->push_back(text);
    }

    std::vector<LeftOut> leaveOut_;
    std::set<FileId, IdLess> walked_;
    std::set<FileId, IdLess> reserved_;
    std::vector<std::string>* warnings_ = nullptr;
    const std::atomic<bool>* stop_ = nullptr;
};

void Collect(const fs::path& folder, int level, std::vector<fs::path>& files, Walk& walk) {
    Listing listing = ListFolder(folder);
    files.insert(files.end(), listing.files.begin(), listing.files.end());
    for (const fs::path& sub : listing.folders) {
        if (walk.Enter(sub, level + 1, Walk::Reached::kInside)) Collect(sub, level + 1, files, walk);
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
    Walk walk({}, nullptr, nullptr);
    if (walk.Enter(folder, 0, Walk::Reached::kTop)) Collect(folder, 0, files, walk);
}

std::vector<Soundtrack> ScanMusicFolder(const fs::path& folder, std::vector<std::string>& warnings,
                                        const std::vector<fs::path>& leaveOut, const std::atomic<bool>* stop) {
    std::vector<Soundtrack> soundtracks;
    Walk walk(leaveOut, &warnings, stop);
    if (!walk.Enter(folder, 0, Walk::Reached::kTop)) return soundtracks;
    Listing listing = ListFolder(folder);
    AddSoundtrack(soundtracks, warnings, FileNameUtf8(folder), listing.files);
    for (const fs::path& sub : listing.folders) walk.Reserve(sub);
    for (const fs::path& sub : listing.folders) {
        if (!walk.Enter(sub, 1, Walk::Reached::kSoundtrack)) continue;
        std::vector<fs::path> files;
        Collect(sub, 1, files, walk);
        AddSoundtrack(soundtracks, warnings, FileNameUtf8(sub), files);
    }
    return soundtracks;
}

}  // namespace launcher
