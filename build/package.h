#pragma once

// The stages of the package-mode pipeline, free so that each can be run and tested on its own.

#include <filesystem>
#include <string>
#include <system_error>

#include "build/builder.h"

namespace launcher {

// The package's entry filter: the name to write under the unpack folder, or "" to leave it out
// (saves, logs, captures, the compiler's work folder, top-level .toml files, anything unsafe).
std::string PackageEntryName(const std::string& name);

// "package unpack": the package into `unpackDir` through the entry filter, with progress reports.
bool UnpackPackage(Builder& builder, const std::filesystem::path& unpackDir, std::error_code& ec,
                   const std::filesystem::path& package, std::string& err);

// "replace the game": the unpack folder's top-level entries moved into the play folder, replacing
// what is there; "logs", the user's folders ("hdd", "assets", "screenshots", "captures") and top-level
// .toml files are left where they are.
bool PutGameInPlace(Builder& builder, const std::filesystem::path& unpackDir, std::error_code& ec,
                    std::string& err);

// What one "progress " line of the game's program reports, `elapsed` seconds after its start.
// False when the line is to be dropped (fewer than five numbers, or no files in all).
bool ReadProgressLine(const std::string& line, double elapsed, std::string& detail, double& progress);

// One output line of the game's program: a progress report, a log line or a failure reason.
void HandleGameLine(Builder& builder, const std::string& line, double elapsed, std::string& failure);

// "compile game code": runs the game's program in `unpackDir` with "--prepare-code"; true when it
// exited with 0. `failure` receives the reason of the last "failed " line.
bool PrepareGameCode(Builder& builder, const std::filesystem::path& unpackDir, std::string& failure);

// Where a release's files are downloaded from: the repository address without ".git", then
// "/releases/download/" + tag + "/".
std::string ReleaseDownloadBase(const std::string& repo, const std::string& tag);

// The file that marks which package an unpack folder or the play folder holds.
inline constexpr const char* kStampName = "package.stamp";

// Writes a stamp file whole, as raw bytes without a line end.
bool WriteStamp(const std::filesystem::path& path, const std::string& stamp);

// The stamp of a package lying beside the launcher: its size and its last-write time.
std::string LocalPackageStamp(const std::filesystem::path& package);

}  // namespace launcher
