#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>
#include <nlohmann/json.hpp>

#include "app/release.h"
#include "build/package.h"
#include "platform/http.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/links.h"
#include "platform/sha.h"
#include "support/http_server.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using test::FilesBelow;
using test::ZipEntry;

constexpr const char* kRepoPath = "/starblaze-port/starblaze";
constexpr const char* kTag = "v2.0.11";
constexpr const char* kPackage = "Starblaze-package.zip";

// The game's program reports progress, logs a line about its code, builds its library and ends well.
constexpr const char* kGoodScenario =
    "out [00:00:01] loading\n"
    "out progress 1 1 2 10 20\n"
    "out [00:00:02] Game code: 120 functions\n"
    "err compiling on standard error\n"
    "out progress 1 2 2 20 20\n"
    "dll\n"
    "exit 0\n";
// It reports once, then takes its time.
constexpr const char* kSlowScenario =
    "out progress 1 1 10 1 10\n"
    "sleep 30000\n"
    "dll\n";

GameDefinition BuiltinGame() {
    GameDefinition game;
    std::string err;
    EXPECT_TRUE(LoadGameDefinition(BuiltinGameJson(), game, err)) << err;
    return game;
}

struct PackageTest : ::testing::Test {
    PackageTest() {
        game = BuiltinGame();
        game.version = kTag;
        game.repo = server.Url(std::string(kRepoPath) + ".git");
        Remake();
        // The user's own files in the play folder, which no install may touch.
        test::WriteFile(play / "hdd" / "save.dat", "my save");
        test::WriteFile(play / "config.toml", "my settings");
        test::WriteFile(play / "logs" / "old.log", "my log");
    }

    // A failing run explains itself in its log; show it, since the temporary folder goes with the test.
    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : logged) std::cerr << "log: " << line << '\n';
    }

    void Remake() {
        builder = std::make_unique<Builder>(game, root, http.get(), platform.get());
        builder->logSink = [this](const std::string& line) {
            logged.push_back(line);
            if (onLog) onLog(line);
        };
        builder->statusSink = [this](const Status& status) {
            reports.push_back(status);
            phases.push_back(builder->packagePhase);
            if (onStatus) onStatus(status);
        };
    }

    std::string Exe() const { return "Starblaze" + platform->ExeSuffix(); }
    void ChooseTheGame() { builder->SetSetting("game", PathUtf8(tmp / "disc")); }

    // A package as the port publishes it: the game's program, its data, and entries that must never land.
    void MakePackage(const fs::path& zip, const std::string& scenario, const std::string& data = "data v1",
                     bool withProgram = true) {
        std::vector<ZipEntry> entries;
        if (withProgram) entries.push_back(ZipEntry::Program("./" + Exe(), test::TestProgram("fake_game")));
        entries.insert(entries.end(), {{"./fake-game-scenario.txt", scenario},
                                       {"./bin/data.txt", data},
                                       {"bin/big.bin", test::TestBytes(3 << 20), true},
                                       {"./hdd/save.dat", "the package's save"},
                                       {"Logs/x.log", "the package's log"},
                                       {"config.toml", "the package's settings"},
                                       {"sub/nested.toml", "nested settings"},
                                       {"a..b/x", "dots"},
                                       {"../escaped.txt", "unsafe"},
                                       {"C:/escaped.txt", "unsafe"}});
        test::WriteZipOrFail(zip, entries);
    }

    std::string PackagePath() const {
        return std::string(kRepoPath) + "/releases/download/" + kTag + "/" + kPackage;
    }
    // Publishes `zip` as the release's package with its description.
    std::string Publish(const fs::path& zip, test::Route route = {}) {
        route.file = zip;
        server.Serve(PackagePath(), route);
        std::string sha = Sha256File(zip);
        server.ServeJson(PackagePath() + ".json",
                         nlohmann::json{{"sha256", sha}, {"size", fs::file_size(zip)}}.dump());
        return sha;
    }
    size_t PackageRequests() const { return server.Requests(PackagePath()).size(); }

    bool Run(std::string& err) {
        logged.clear();
        reports.clear();
        phases.clear();
        return builder->BuildPackage(err);
    }
    std::vector<std::string> Stages() const {
        std::vector<std::string> names;
        for (const StageTime& stage : builder->stageTimes) names.push_back(stage.name);
        return names;
    }
    size_t Logged(const std::string& prefix) const {
        return std::count_if(logged.begin(), logged.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }
    bool HasReport(const std::string& title) const {
        return std::any_of(reports.begin(), reports.end(), [&](const Status& s) { return s.title == title; });
    }

    // What a finished install holds: the package's files and the user's own, nothing more.
    std::vector<std::string> InstalledFiles() const {
        std::vector<std::string> files = {Exe(), "Starblaze.dll", "bin/big.bin", "bin/data.txt", "config.toml",
                                          "fake-game-scenario.txt", "hdd/save.dat", "logs/old.log",
                                          "package.stamp", "sub/nested.toml"};
        std::sort(files.begin(), files.end());
        return files;
    }
    void ExpectUsersFilesKept() const {
        EXPECT_EQ(test::ReadFile(play / "hdd" / "save.dat"), "my save");
        EXPECT_EQ(test::ReadFile(play / "config.toml"), "my settings");
        EXPECT_EQ(FilesBelow(play / "logs"), std::vector<std::string>{"old.log"});
    }
    void ExpectFinished() const {
        EXPECT_EQ(builder->packagePhase, 4);
        EXPECT_EQ(builder->ReadBuilt(), kTag);
        EXPECT_TRUE(builder->IsInstalled());
        EXPECT_FALSE(fs::exists(next));
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().title, "Ready");
        EXPECT_EQ(reports.back().detail, "");
        EXPECT_EQ(reports.back().progress, 1.0);
        ExpectUsersFilesKept();
    }
    // The play folder before an install got anywhere: only the user's files.
    void ExpectPlayUntouched() const {
        EXPECT_FALSE(fs::exists(play / Exe()));
        EXPECT_FALSE(fs::exists(play / "package.stamp"));
        ExpectUsersFilesKept();
    }

    test::TempDir tmp;
    fs::path launcherDir = tmp / "Launcher";
    fs::path root = launcherDir / "data";
    fs::path play = root / "play";
    fs::path next = play / ".next";
    fs::path downloads = root / "downloads";
    fs::path beside = launcherDir / kPackage;
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    std::unique_ptr<Platform> platform = std::make_unique<test::TestPlatform>();  // no per-user settings
    GameDefinition game;
    std::unique_ptr<Builder> builder;
    std::vector<std::string> logged;
    std::vector<Status> reports;
    std::vector<int> phases;
    std::function<void(const std::string&)> onLog;
    std::function<void(const Status&)> onStatus;
    std::string err;
};

TEST(ReleaseDownloadBase, DropsOneGitEnding) {
    EXPECT_EQ(ReleaseDownloadBase("https://host/o/n.git", "v1.2"), "https://host/o/n/releases/download/v1.2/");
    EXPECT_EQ(ReleaseDownloadBase("https://host/o/n", "v1.2"), "https://host/o/n/releases/download/v1.2/");
    EXPECT_EQ(ReleaseDownloadBase(".git", "v1"), ".git/releases/download/v1/");  // too short to lose it
}

TEST(LocalPackageStamp, SizeAndFineGrainedWriteTime) {
    test::TempDir tmp;
    EXPECT_EQ(LocalPackageStamp(tmp / "missing.zip"), "18446744073709551615 -9223372036854775808");
    test::WriteFile(tmp / "p.zip", "12345");
    std::string first = LocalPackageStamp(tmp / "p.zip");
    EXPECT_EQ(first.rfind("5 ", 0), 0u) << first;
    // Another file of the same size written a moment later is another package.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    test::WriteFile(tmp / "p.zip", "54321");
    EXPECT_NE(LocalPackageStamp(tmp / "p.zip"), first);
}

TEST_F(PackageTest, FindPackageByTheChosenCopy) {
    EXPECT_EQ(builder->FindPackage(), kPackage);  // nothing chosen yet: the default package

    game.packages = {{"0123456789abcdef0123456789abcdef01234567", "Europe.zip"}};
    Remake();
    builder->SetSetting("game_sha1", "0123456789ABCDEF0123456789ABCDEF01234567");
    EXPECT_EQ(builder->FindPackage(), "Europe.zip");

    // Without a remembered SHA-1 the chosen copy is identified again.
    std::string xbe = "an xbe of the USA disc";
    std::string sha1 = Sha1Hex(xbe.data(), xbe.size());
    test::WriteFile(tmp / "disc" / "default.xbe", xbe);
    test::WriteFile(tmp / "disc" / "media.bin", "media");
    test::WriteFile(tmp / "disc" / "Driving.xbe", "driving");
    game.releases[sha1] = "NTSC (USA)";
    game.packages[sha1] = "USA.zip";
    game.package.clear();
    Remake();
    fs::remove(root / "launcher.json");
    ChooseTheGame();
    EXPECT_EQ(builder->FindPackage(), "USA.zip");

    // A copy with no package of its own and no default: none is known.
    builder->SetSetting("game_sha1", "ffffffffffffffffffffffffffffffffffffffff");
    EXPECT_EQ(builder->FindPackage(), "");
    EXPECT_FALSE(Run(err));
    EXPECT_EQ(err, "No package is known for this copy of the game: choose it again.");
    EXPECT_EQ(logged.back(), "build stopped: " + err);
}

TEST_F(PackageTest, NothingHappensBeforeTheGameIsChosen) {
    MakePackage(beside, kGoodScenario);
    builder->packagePhase = 4;
    EXPECT_FALSE(Run(err));
    EXPECT_EQ(err, "Choose the game first.");
    EXPECT_EQ(builder->packagePhase, 0);
    EXPECT_TRUE(Stages().empty());
    EXPECT_EQ(logged.back(), "build stopped: Choose the game first.");
    ExpectPlayUntouched();
}

TEST_F(PackageTest, APackageBesideTheLauncherIsInstalledWithoutDownload) {
    MakePackage(beside, kGoodScenario);
    ChooseTheGame();
    ASSERT_TRUE(Run(err)) << err;
    ExpectFinished();
    EXPECT_EQ(FilesBelow(play), InstalledFiles());
    EXPECT_EQ(test::ReadFile(play / "bin" / "data.txt"), "data v1");
    EXPECT_EQ(test::ReadFile(play / "package.stamp"), LocalPackageStamp(beside));
    EXPECT_TRUE(fs::exists(beside));  // the user's file stays
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_EQ(Stages(), (std::vector<std::string>{"package unpack", "compile game code", "replace the game"}));

    EXPECT_EQ(Logged("package beside the launcher: "), 1u);
    EXPECT_EQ(Logged("package beside the launcher: " + PathUtf8(beside)), 1u);
    EXPECT_EQ(Logged("game: [00:00:02] Game code: 120 functions"), 1u);
    EXPECT_EQ(Logged("game: compiling on standard error"), 1u);
    EXPECT_EQ(Logged("game: [00:00:01]"), 0u);
    EXPECT_EQ(Logged("game: progress"), 0u);
    EXPECT_EQ(Logged("build stopped"), 0u);

    // Each report comes in the phase of its step.
    ASSERT_EQ(reports.size(), phases.size());
    for (size_t i = 0; i < reports.size(); ++i) {
        const std::string& title = reports[i].title;
        int expected = title == "Unpacking the game's package" ? 2
                       : title == "Building Aurora: Starblaze Online for this PC" ? 3
                       : title == "Ready"                                      ? 4
                                                                               : -1;
        EXPECT_EQ(phases[i], expected) << title;
    }
    EXPECT_TRUE(HasReport("Building Aurora: Starblaze Online for this PC"));
    auto finishing = std::find_if(reports.begin(), reports.end(),
                                  [](const Status& s) { return s.detail == "Finishing the build"; });
    EXPECT_NE(finishing, reports.end());

    // Another file beside the launcher is unpacked again; the same one as well (nothing is left over).
    MakePackage(beside, kGoodScenario, "data v2, longer");
    ASSERT_TRUE(Run(err)) << err;
    EXPECT_EQ(test::ReadFile(play / "bin" / "data.txt"), "data v2, longer");
    EXPECT_EQ(Stages(), (std::vector<std::string>{"package unpack", "compile game code", "replace the game"}));
    ExpectFinished();
}

// An unpack folder left by an earlier run may hold a link to the user's copy of the game (the game's
// program runs there); removing it before the unpack and after the install never deletes what the link
// leads to. Under Wine the link itself cannot be deleted and stays in the unpack folder.
TEST_F(PackageTest, TheUnpackFolderIsRemovedWithoutDeletingThroughALink) {
    const fs::path disc = tmp / "disc";
    test::WriteFile(disc / "default.xbe", "the user's disc");
    test::WriteFile(disc / "media" / "intro.bik", "the user's video");
    ASSERT_TRUE(test::MakeLink(play / "assets", disc));
    test::WriteFile(next / "package.stamp", "an older package");
    test::WriteFile(next / "bin" / "stale.txt", "left over");
    ASSERT_TRUE(test::MakeLink(next / "hdd", disc));  // where the game's program keeps its saves
    MakePackage(beside, kGoodScenario);
    ChooseTheGame();

    ASSERT_TRUE(Run(err)) << err;
    EXPECT_TRUE(builder->IsInstalled());
    EXPECT_EQ(test::ReadFile(play / "bin" / "data.txt"), "data v1");
    EXPECT_FALSE(fs::exists(play / "bin" / "stale.txt"));
    EXPECT_EQ(FilesBelow(disc), (std::vector<std::string>{"default.xbe", "media/intro.bik"}));
    EXPECT_EQ(test::ReadFile(play / "assets" / "default.xbe"), "the user's disc");
    EXPECT_EQ(EntryExists(next), test::RunningUnderWine());
    ExpectUsersFilesKept();
}

TEST_F(PackageTest, ADownloadedPackageIsInstalledAndRemoved) {
    MakePackage(tmp / "served.zip", kGoodScenario);
    const std::string sha = Publish(tmp / "served.zip");
    ChooseTheGame();
    ASSERT_TRUE(Run(err)) << err;
    ExpectFinished();
    EXPECT_EQ(FilesBelow(play), InstalledFiles());
    EXPECT_EQ(test::ReadFile(play / "package.stamp"), sha);
    EXPECT_EQ(FilesBelow(downloads), std::vector<std::string>{});  // the package has served its purpose
    EXPECT_EQ(PackageRequests(), 1u);
    EXPECT_EQ(Stages(), (std::vector<std::string>{"package download", "package unpack", "compile game code",
                                                  "replace the game"}));
    auto download = std::find_if(reports.begin(), reports.end(), [](const Status& s) {
        return s.title == "Downloading the game's package" && s.progress == 1.0;
    });
    ASSERT_NE(download, reports.end());
    const std::string size = FormatSize(fs::file_size(tmp / "served.zip"));
    EXPECT_EQ(download->detail, size + " of " + size);
    EXPECT_EQ(phases[download - reports.begin()], 1);
}

// Pressing the button again for the package that is installed succeeds at once; an install that lost
// its code is repaired from a fresh download.
TEST_F(PackageTest, TheInstalledPackageIsNotFetchedAgainUnlessTheInstallIsIncomplete) {
    MakePackage(tmp / "served.zip", kGoodScenario);
    Publish(tmp / "served.zip");
    ChooseTheGame();
    ASSERT_TRUE(Run(err)) << err;
    builder->SetSetting("built", "v2.0.10");  // say an older launcher had installed it

    ASSERT_TRUE(Run(err)) << err;
    ExpectFinished();
    EXPECT_EQ(PackageRequests(), 1u);
    EXPECT_EQ(Stages(), std::vector<std::string>{"package download"});
    EXPECT_EQ(Logged("package already installed: Starblaze-package.zip"), 1u);
    EXPECT_FALSE(HasReport("Downloading the game's package"));

    fs::remove(play / "Starblaze.dll");
    ASSERT_TRUE(builder->GameCodeMissing());
    ASSERT_TRUE(Run(err)) << err;
    ExpectFinished();
    EXPECT_EQ(PackageRequests(), 2u);
    EXPECT_EQ(FilesBelow(play), InstalledFiles());
}

TEST_F(PackageTest, ADevelopmentBuildTakesTheLatestRelease) {
    struct Restore {
        CodeHost saved = CodeHostConfig();
        ~Restore() { CodeHostConfig() = saved; }
    } restore;
    CodeHostConfig().web = server.Url("/");
    CodeHostConfig().api = server.Url("");
    game.version = "dev";
    Remake();
    MakePackage(tmp / "served.zip", kGoodScenario);
    Publish(tmp / "served.zip");
    std::string sha;
    fs::path package;

    EXPECT_FALSE(builder->DownloadPackage(kPackage, err, sha, downloads, package));  // no release published yet
    EXPECT_EQ(err.rfind("Could not find the game's package: ", 0), 0u) << err;

    server.ServeLatestRelease("starblaze-port", "starblaze", R"({"tag_name": "v2.0.11"})");
    EXPECT_TRUE(builder->DownloadPackage(kPackage, err, sha, downloads, package)) << err;
    EXPECT_EQ(PackageRequests(), 1u);
    EXPECT_EQ(Sha256File(package), Sha256File(tmp / "served.zip"));
}

TEST_F(PackageTest, AReleaseBuildNeverAsksForTheLatestRelease) {
    MakePackage(tmp / "served.zip", kGoodScenario);
    Publish(tmp / "served.zip");
    server.ServeLatestRelease("starblaze-port", "starblaze", R"({"tag_name": "v9.9"})");
    std::string sha;
    fs::path package;
    ASSERT_TRUE(builder->DownloadPackage(kPackage, err, sha, downloads, package)) << err;
    EXPECT_EQ(PackageRequests(), 1u);
    EXPECT_TRUE(server.Requests("/repos/starblaze-port/starblaze/releases/latest").empty());
}

TEST_F(PackageTest, DescriptionProblems) {
    std::string sha;
    fs::path package;
    const std::string json = PackagePath() + ".json";

    EXPECT_FALSE(builder->DownloadPackage(kPackage, err, sha, downloads, package));  // nothing published
    EXPECT_EQ(err.rfind("Could not find the game's package for v2.0.11: ", 0), 0u) << err;
    EXPECT_GT(err.size(), std::string("Could not find the game's package for v2.0.11: ").size());

    for (const char* text : {"not json", "[1, 2]", R"({"size": 12})", R"({"sha256": null})", R"({"sha256": ""})",
                             R"({"sha256": 5, "size": 12})"}) {
        server.ServeJson(json, text);
        EXPECT_FALSE(builder->DownloadPackage(kPackage, err, sha, downloads, package)) << text;
        EXPECT_EQ(err, "The package's description for v2.0.11 could not be read.") << text;
    }

    // No size: the progress has no fraction and the total reads 0 MB.
    MakePackage(tmp / "served.zip", kGoodScenario);
    Publish(tmp / "served.zip");
    std::string digest = Sha256File(tmp / "served.zip");
    server.ServeJson(json, nlohmann::json{{"sha256", digest}, {"other", true}}.dump());
    ASSERT_TRUE(builder->DownloadPackage(kPackage, err, sha, downloads, package)) << err;
    EXPECT_EQ(sha, digest);
    EXPECT_EQ(package, downloads / kPackage);
    EXPECT_EQ(Sha256File(package), digest);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().progress, 0);
    EXPECT_EQ(reports.back().progress, -1);
    EXPECT_EQ(reports.back().detail, FormatSize(fs::file_size(package)) + " of 0 MB");
}

TEST_F(PackageTest, AnInstalledStampSkipsTheDownloadOnlyWhenItMatchesExactly) {
    MakePackage(tmp / "served.zip", kGoodScenario);
    std::string digest = Publish(tmp / "served.zip");
    test::WriteFile(play / Exe(), "program");
    test::WriteFile(play / "Starblaze.dll", "code");
    std::string upper = digest;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(toupper(c)); });
    test::WriteFile(play / "package.stamp", upper);

    std::string sha;
    fs::path package;
    ASSERT_TRUE(builder->DownloadPackage(kPackage, err, sha, downloads, package)) << err;
    EXPECT_EQ(PackageRequests(), 1u);  // upper-case is another text

    fs::remove(package);
    test::WriteFile(play / "package.stamp", digest);
    reports.clear();
    ASSERT_TRUE(builder->DownloadPackage(kPackage, err, sha, downloads, package)) << err;
    EXPECT_EQ(PackageRequests(), 1u);
    EXPECT_FALSE(fs::exists(package));
    EXPECT_TRUE(reports.empty());
}

TEST_F(PackageTest, StopWhileDownloadingResumesTheDownload) {
    MakePackage(tmp / "served.zip", kGoodScenario);
    Publish(tmp / "served.zip");
    ChooseTheGame();
    onStatus = [this](const Status& s) {
        if (s.title == "Downloading the game's package" && s.progress > 0) builder->stop = true;
    };
    EXPECT_FALSE(Run(err));
    EXPECT_EQ(err, "cancelled");
    EXPECT_EQ(builder->packagePhase, 0);
    EXPECT_EQ(Logged("build stopped"), 0u);
    EXPECT_EQ(Logged("stage package download: "), 1u);
    EXPECT_NE(logged[logged.size() - 3].find(" (stopped)"), std::string::npos) << logged[logged.size() - 3];
    fs::path part = downloads / (std::string(kPackage) + ".part");
    ASSERT_TRUE(fs::exists(part));
    uint64_t partial = fs::file_size(part);
    EXPECT_GT(partial, 0u);
    EXPECT_LT(partial, fs::file_size(tmp / "served.zip"));
    ExpectPlayUntouched();

    onStatus = nullptr;
    ASSERT_TRUE(Run(err)) << err;
    ExpectFinished();
    std::vector<test::SeenRequest> requests = server.Requests(PackagePath());
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].range, "bytes=" + std::to_string(partial) + "-");
}

TEST_F(PackageTest, StopWhileUnpackingUnpacksAgainFromTheKeptDownload) {
    MakePackage(tmp / "served.zip", kGoodScenario);
    Publish(tmp / "served.zip");
    ChooseTheGame();
    onStatus = [this](const Status& s) {
        if (s.title == "Unpacking the game's package" && s.progress > 0) builder->stop = true;
    };
    EXPECT_FALSE(Run(err));
    EXPECT_EQ(err, "cancelled");
    EXPECT_EQ(builder->packagePhase, 0);
    EXPECT_EQ(Logged("build stopped"), 0u);
    EXPECT_TRUE(fs::exists(next));
    EXPECT_FALSE(fs::exists(next / "package.stamp"));
    EXPECT_TRUE(fs::exists(downloads / kPackage));  // kept until an unpack succeeds
    ExpectPlayUntouched();

    onStatus = nullptr;
    ASSERT_TRUE(Run(err)) << err;
    ExpectFinished();
    EXPECT_EQ(FilesBelow(play), InstalledFiles());
    EXPECT_EQ(PackageRequests(), 1u);  // the complete, checked download was kept
    EXPECT_EQ(Stages(), (std::vector<std::string>{"package download", "package unpack", "compile game code",
                                                  "replace the game"}));
}

TEST_F(PackageTest, StopWhilePreparingTheCodeReusesTheUnpack) {
    MakePackage(tmp / "served.zip", kSlowScenario);
    const std::string sha = Publish(tmp / "served.zip");
    ChooseTheGame();
    onStatus = [this](const Status& s) {
        if (s.detail == "1 of 10 files") builder->stop = true;
    };
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Run(err));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));  // the program was ended
    EXPECT_EQ(err, "cancelled");
    EXPECT_EQ(builder->packagePhase, 0);
    EXPECT_EQ(Logged("build stopped"), 0u);
    EXPECT_EQ(test::ReadFile(next / "package.stamp"), sha);
    ExpectPlayUntouched();

    onStatus = nullptr;
    test::WriteFile(next / "fake-game-scenario.txt", kGoodScenario);
    ASSERT_TRUE(Run(err)) << err;
    ExpectFinished();
    EXPECT_EQ(Stages(), (std::vector<std::string>{"package download", "compile game code", "replace the game"}));
    EXPECT_EQ(PackageRequests(), 1u);  // the unpack folder already holds this package
    EXPECT_EQ(test::ReadFile(play / "package.stamp"), sha);
}

TEST_F(PackageTest, AStopWhileTheGameIsPutInPlaceLetsItFinish) {
    MakePackage(beside, kGoodScenario);
    ChooseTheGame();
    onLog = [this](const std::string& line) {
        if (line.rfind("stage compile game code", 0) == 0) builder->stop = true;
    };
    ASSERT_TRUE(Run(err)) << err;
    ExpectFinished();
    EXPECT_EQ(FilesBelow(play), InstalledFiles());
}

TEST_F(PackageTest, AFailedPutInPlaceIsCarriedOnByTheNextRun) {
    MakePackage(tmp / "served.zip", kGoodScenario);
    const std::string sha = Publish(tmp / "served.zip");
    ChooseTheGame();
    // Something of the user's stands where the package puts a file.
    test::WriteFile(play / "fake-game-scenario.txt" / "in-the-way.txt", "blocking");
    EXPECT_FALSE(Run(err));
    EXPECT_EQ(err.rfind("Could not put fake-game-scenario.txt in place (is the game still running?): ", 0), 0u) << err;
    EXPECT_EQ(logged.back(), "build stopped: " + err);
    EXPECT_EQ(builder->packagePhase, 0);
    EXPECT_FALSE(fs::exists(play / "package.stamp"));  // a half-moved game is not taken for installed

    fs::remove_all(play / "fake-game-scenario.txt");
    ASSERT_TRUE(Run(err)) << err;
    ExpectFinished();
    EXPECT_EQ(FilesBelow(play), InstalledFiles());
    EXPECT_EQ(test::ReadFile(play / "package.stamp"), sha);
}

TEST_F(PackageTest, FailuresOfTheGamesProgram) {
    struct Case {
        const char* scenario;
        bool withProgram;
        const char* error;
    } cases[] = {
        {"out failed first\nout failed second\nexit 1\n", true, "second"},
        {"out failed \nexit 1\n", true, "The game's code could not be built, see launcher.log"},
        {"exit 3\n", true, "The game's code could not be built, see launcher.log"},
        {"exit 0\n", true, "The build finished without Starblaze.dll, see launcher.log"},
        {"", false, "The game's code could not be built, see launcher.log"},
    };
    ChooseTheGame();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        MakePackage(beside, c.scenario, "data", c.withProgram);
        EXPECT_FALSE(Run(err));
        EXPECT_EQ(err, c.error);
        EXPECT_EQ(logged.back(), std::string("build stopped: ") + c.error);
        EXPECT_EQ(builder->packagePhase, 0);
        ExpectPlayUntouched();
        if (!c.withProgram) {
            EXPECT_EQ(Logged("game: cannot start"), 1u);
        }
    }
    // A failure line from a run that ends well is not used.
    MakePackage(beside, "out failed x\ndll\nexit 0\n");
    ASSERT_TRUE(Run(err)) << err;
    EXPECT_EQ(Logged("game: failed x"), 1u);
    ExpectFinished();
}

}  // namespace
}  // namespace launcher
