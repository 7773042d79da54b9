#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

// One song of a soundtrack.
struct Song {
    std::filesystem::path source;  // the user's file: the music folder joined with the relative names
    std::string title;             // the file's stem until the import knows better
    uint32_t ms = 0;               // length; 0 until the import probes it
};

// One soundtrack: a folder of the user's music.
struct Soundtrack {
    std::string name;
    std::vector<Song> songs;  // in play order
};

// What the soundtrack store holds at most.
constexpr size_t kMaxSoundtracks = 100;
constexpr size_t kMaxSongsPerSoundtrack = 504;

// Whether the file's extension, ASCII letters lower-cased, is one of the audio extensions.
bool IsAudioFile(const std::filesystem::path& path);
// Orders by file name, ASCII letters lower-cased, compared as unsigned bytes.
bool CompareByName(const std::filesystem::path& a, const std::filesystem::path& b);

// How deep the scan goes: the music folder is level 0, and folders from this level on are not walked (so a
// song lies at most 64 levels deep). Far deeper than any music collection; it ends a walk through links
// whose folders cannot be identified.
constexpr int kMaxScanDepth = 64;

// The soundtracks of the music folder: its own audio files first, then one per sub-folder with every audio
// file below it. Appends one warning per limit reached, and one naming each folder too deep to walk. Links
// are followed, and every folder is walked once, however many links lead to it; a sub-folder of the music
// folder always gives its own soundtrack. The folders in `leaveOut` (the launcher's own) and everything
// inside them are not walked, wherever they lie and by whatever link they are reached; a warning names each
// one met. A set `stop` ends the walk early with what it found so far.
std::vector<Soundtrack> ScanMusicFolder(const std::filesystem::path& folder, std::vector<std::string>& warnings,
                                        const std::vector<std::filesystem::path>& leaveOut = {},
                                        const std::atomic<bool>* stop = nullptr);
// Appends every audio file below `folder`: each folder's own files, then its sub-folders, depth first,
// each folder once.
void CollectAudioFiles(const std::filesystem::path& folder, std::vector<std::filesystem::path>& files);
// Appends a soundtrack of the files (none when there are no files), within the limits.
void AddSoundtrack(std::vector<Soundtrack>& soundtracks, std::vector<std::string>& warnings, const std::string& name,
                   const std::vector<std::filesystem::path>& files);

}  // namespace launcher
