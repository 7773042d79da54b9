#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <iostream>
#include <nlohmann/json.hpp>

#include "build/builder.h"
#include "build/tools.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/sha.h"
#include "support/http_server.h"
#include "support/links.h"
#include "support/pinned.h"
#include "support/snapshot.h"
#include "support/test_platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::FilesBelow;
using test::ZipEntry;
using Files = std::vector<std::string>;

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

struct ToolsTest : ::testing::Test {
    ToolsTest() {
        game.title = "Game";
        game.shortName = "Game";
        game.toolchain = server.Url("/toolchain.json");
        builder = std::make_unique<Builder>(game, root, http.get(), &platform);
        builder->logSink = [this](const std::string& line) { logged.push_back(line); };
        builder->statusSink = [this](const Status& status) {
            reports.push_back(status);
            if (onStatus) onStatus(status);
        };
    }

    // A failing run explains itself in its log; show it, since the temporary folder goes with the test.
    void TearDown() override {
        if (!HasFailure()) return;
        for (const std::string& line : logged) std::cerr << "log: " << line << '\n';
    }

    // Serves `file` at /files/<name> and describes it.
    FileRef Serve(const std::string& name, const fs::path& file, test::Route route = {}) {
        route.file = file;
        server.Serve("/files/" + name, route);
        return FileRef{name, server.Url("/files/" + name), Sha256File(file), fs::file_size(file)};
    }

    fs::path Zip(const std::string& name, const std::vector<ZipEntry>& entries) {
        fs::path zip = tmp / "made" / name;
        fs::create_directories(zip.parent_path());
        test::WriteZipOrFail(zip, entries);
        return zip;
    }

    static Tool MakeTool(const std::string& id, const std::string& kind, std::vector<FileRef> files) {
        Tool tool;
        tool.id = id;
        tool.title = "The " + id;
        tool.kind = kind;
        tool.files = std::move(files);
        tool.stamp = tool.files.empty() ? "" : tool.files[0].sha256;
        return tool;
    }

    size_t RequestsFor(const std::string& name) const { return server.Requests("/files/" + name).size(); }

    test::TempDir tmp;
    fs::path root = tmp / "data";
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    test::TestPlatform platform;
    GameDefinition game;
    std::unique_ptr<Builder> builder;
    std::vector<std::string> logged;
    std::vector<Status> reports;
    std::function<void(const Status&)> onStatus;
    std::string err;
};

TEST_F(ToolsTest, ZipToolInstallsOnceAndAgainWhenItsStampDiffers) {
    const fs::path zip = Zip("cmake.zip", {{"cmake-3.31/bin/cmake.exe", "cmake program"},
                                           {"cmake-3.31/share/cmake/Modules/A.cmake", test::TestBytes(3 << 20), true},
                                           {"cmake-3.31/doc/readme.txt", "not kept"},
                                           ZipEntry::Folder("cmake-3.31/share/empty/")});
    Tool tool = MakeTool("cmake", "zip", {Serve("cmake.zip", zip)});
    tool.strip = 1;
    tool.keep = {"bin/", "share/"};
    tool.stamp += " bin/ share/";
    const fs::path dir = builder->ToolDir("cmake");
    test::WriteFile(dir / "stale.txt", "from an older install");

    ASSERT_TRUE(builder->InstallTool(tool, err)) << err;
    EXPECT_EQ(FilesBelow(dir), (Files{".launcher-stamp", "bin/cmake.exe", "share/cmake/Modules/A.cmake"}));
    EXPECT_EQ(test::ReadFile(dir / ".launcher-stamp"), tool.stamp);
    EXPECT_FALSE(fs::exists(root / "downloads" / "cmake"));
    EXPECT_TRUE(Has(logged, "download " + tool.files[0].url));
    EXPECT_TRUE(Has(logged, "unpack cmake.zip"));
    EXPECT_TRUE(Has(logged, "The cmake ready in " + PathUtf8(dir)));
    ASSERT_FALSE(reports.empty());
    auto downloading = std::find_if(reports.begin(), reports.end(),
                                    [](const Status& s) { return s.title == "Downloading The cmake"; });
    ASSERT_NE(downloading, reports.end());
    EXPECT_TRUE(EndsWith(downloading->detail, " of 3 MB")) << downloading->detail;
    EXPECT_EQ(reports.back().title, "Unpacking The cmake");

    // Installed: one small read, nothing fetched, nothing logged or reported.
    logged.clear();
    reports.clear();
    ASSERT_TRUE(builder->InstallTool(tool, err)) << err;
    EXPECT_EQ(RequestsFor("cmake.zip"), 1u);
    EXPECT_TRUE(logged.empty());
    EXPECT_TRUE(reports.empty());

    // A stamp that differs by a line end is another stamp: the tool comes again.
    test::WriteFile(dir / ".launcher-stamp", tool.stamp + "\n");
    ASSERT_TRUE(builder->InstallTool(tool, err)) << err;
    EXPECT_EQ(RequestsFor("cmake.zip"), 2u);
    EXPECT_EQ(test::ReadFile(dir / ".launcher-stamp"), tool.stamp);
}

TEST_F(ToolsTest, AnEmptyStampMatchesAnEmptyStampFile) {
    Tool tool = MakeTool("empty", "zip", {});
    tool.stamp = "";
    test::WriteFile(builder->ToolDir("empty") / ".launcher-stamp", "");
    ASSERT_TRUE(builder->InstallTool(tool, err)) << err;
    EXPECT_TRUE(logged.empty());
}

TEST_F(ToolsTest, TarXzToolFromWhatTarMade) {
    const fs::path archive = test::SelfDir() / "tar-fixtures" / "gnu-crc64.tar.xz";
    Tool tool = MakeTool("llvm", "tar.xz", {Serve("clang+llvm.tar.xz", archive)});
    tool.strip = 1;
    tool.keep = {"bin/*.c", "lib/clang/"};
    ASSERT_TRUE(builder->InstallTool(tool, err)) << err;
    const fs::path dir = builder->ToolDir("llvm");
    // tool.c is a hard link and tool-symlink.c a symbolic one in the archive: both are copies here.
    EXPECT_EQ(FilesBelow(dir), (Files{".launcher-stamp", "bin/tool-hardlink.c", "bin/tool-symlink.c", "bin/tool.c",
                                      "lib/clang/19/include/numbers.h"}));
    EXPECT_EQ(test::ReadFile(dir / "bin" / "tool-symlink.c"), "int main() { return 0; }\n");
    EXPECT_TRUE(Has(logged, "unpack clang+llvm.tar.xz"));
}

TEST_F(ToolsTest, VsixPackagesAndUnknownKindsUnpackAsZip) {
    const fs::path headers = Zip("h.vsix", {{"Contents/VC/Tools/include/vector", "vector"},
                                            {"Contents%2FVC%2FTools%2Finclude%2Fmy%20header.h", "decoded"},
                                            {"extension.vsixmanifest", "<manifest/>"},
                                            {"[Content_Types].xml", "<types/>"}});
    const fs::path libs = Zip("l.vsix", {{"Contents/VC/Tools/lib/x64/libcmt.lib", "lib"}});
    Tool msvc = MakeTool("msvc", "vsix", {Serve("Headers.vsix", headers), Serve("Libs.vsix", libs)});
    ASSERT_TRUE(builder->InstallTool(msvc, err)) << err;
    EXPECT_EQ(FilesBelow(builder->ToolDir("msvc")), (Files{".launcher-stamp", "VC/Tools/include/my header.h",
                                                           "VC/Tools/include/vector", "VC/Tools/lib/x64/libcmt.lib"}));

    const fs::path plain = Zip("n.zip", {{"ninja.exe", "ninja"}});
    ASSERT_TRUE(builder->InstallTool(MakeTool("ninja", "7z", {Serve("ninja.7z", plain)}), err)) << err;
    EXPECT_EQ(FilesBelow(builder->ToolDir("ninja")), (Files{".launcher-stamp", "ninja.exe"}));
}

TEST_F(ToolsTest, AStopDuringTheThirdFileKeepsTheFirstTwoForTheNextRun) {
    const fs::path first = Zip("1.vsix", {{"Contents/one.txt", "1"}});
    const fs::path second = Zip("2.vsix", {{"Contents/two.txt", "2"}});
    const fs::path third = Zip("3.vsix", {{"Contents/three.bin", test::TestBytes(2 << 20), true}});
    test::Route slow;
    slow.stallAfter = 1 << 20;
    slow.stallMs = 5000;
    slow.faultyAnswers = 1;
    Tool tool =
        MakeTool("msvc", "vsix", {Serve("1.vsix", first), Serve("2.vsix", second), Serve("3.vsix", third, slow)});
    // Stop once the third file is on its way.
    onStatus = [&](const Status&) {
        if (RequestsFor("3.vsix") > 0) builder->stop = true;
    };
    EXPECT_FALSE(builder->InstallTool(tool, err));
    EXPECT_EQ(err, "cancelled");
    EXPECT_FALSE(fs::exists(builder->ToolDir("msvc") / ".launcher-stamp"));

    onStatus = nullptr;
    builder->stop = false;
    server.ClearRequests();
    test::WriteFile(builder->ToolDir("msvc") / "half-made.txt", "from the stopped run");
    ASSERT_TRUE(builder->InstallTool(tool, err)) << err;
    EXPECT_EQ(RequestsFor("1.vsix"), 0u);
    EXPECT_EQ(RequestsFor("2.vsix"), 0u);
    const std::vector<test::SeenRequest> resumed = server.Requests("/files/3.vsix");
    ASSERT_EQ(resumed.size(), 1u);
    EXPECT_NE(resumed[0].range, "") << "the third file resumes where it stopped";
    EXPECT_EQ(FilesBelow(builder->ToolDir("msvc")), (Files{".launcher-stamp", "one.txt", "three.bin", "two.txt"}));
}

TEST_F(ToolsTest, FailuresLeaveNoStamp) {
    const fs::path notZip = tmp / "made" / "broken.zip";
    test::WriteFile(notZip, "these bytes are no zip archive");
    const fs::path good = Zip("good.zip", {{"a.txt", "a"}});
    test::Route missing;
    missing.status = 404;
    server.Serve("/files/missing.zip", missing);
    struct Case {
        const char* name;
        Tool tool;
        std::string error;  // the start of it
    } cases[] = {
        {"download",
         MakeTool("a", "zip", {FileRef{"missing.zip", server.Url("/files/missing.zip"), std::string(64, 'a'), 9}}),
         "Could not download missing.zip: "},
        {"unpack", MakeTool("b", "zip", {Serve("broken.zip", notZip)}), "cannot open "},
        {"tar.xz unpack", MakeTool("c", "tar.xz", {Serve("good.zip", good)}), "the xz data is damaged (5) in "},
        // Names from a description never reach outside their folders.
        {"file name", MakeTool("d", "zip", {FileRef{"../escape.zip", server.Url("/files/good.zip"), "", 0}}),
         "Could not download ../escape.zip: that is no plain file name"},
        {"tool id", MakeTool("..", "zip", {Serve("good.zip", good)}), "The tool \"..\" has no usable name."},
    };
    test::WriteFile(root / "keep.txt", "the data folder's own file");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        err.clear();
        EXPECT_FALSE(builder->InstallTool(c.tool, err));
        EXPECT_EQ(err.substr(0, c.error.size()), c.error) << err;
        EXPECT_FALSE(fs::exists(builder->ToolDir(c.tool.id) / ".launcher-stamp"));
    }
    EXPECT_EQ(test::ReadFile(root / "keep.txt"), "the data folder's own file");
    EXPECT_FALSE(fs::exists(root / "downloads" / "escape.zip"));
    // The download that failed to unpack stays for the next attempt.
    EXPECT_TRUE(fs::exists(root / "downloads" / "b" / "broken.zip"));
}

TEST_F(ToolsTest, NeverInstallsThroughWhatItCouldNotRemove) {
    // Links to a folder of the user's where the launcher's own folders belong, some of which cannot be
    // removed; and a stamp that cannot be deleted. Nothing behind a link is ever written or deleted.
    const fs::path users = tmp / "users";
    const fs::path dir = builder->ToolDir("cmake");
    const fs::path downloads = root / "downloads" / "cmake";
    const bool wine = test::RunningUnderWine();
    struct Case {
        const char* name;
        // Makes the case; false (with `skip` set) when this machine cannot.
        std::function<bool(std::unique_ptr<test::PinnedFile>& pin, std::string& skip)> make;
        fs::path cannotGo;  // the path in the error, when the install stops
        std::string sentence = "Could not remove ";  // how that error begins, before the path
    };
    const Case cases[] = {
        {"the old tool folder is a link that cannot be removed",
         [&](std::unique_ptr<test::PinnedFile>& pin, std::string& skip) {
             fs::create_directories(dir.parent_path());
             if (!test::MakeLink(dir, users)) return false;
             if (wine) return true;  // no host link can be removed there
             pin = std::make_unique<test::PinnedFile>(dir.parent_path());  // its folder keeps its entries
             skip = pin->why();
             return pin->pinned();
         },
         dir},
        {"a stamp that cannot be deleted",
         [&](std::unique_ptr<test::PinnedFile>& pin, std::string& skip) {
             test::WriteFile(dir / ".launcher-stamp", "an older stamp");
             test::WriteFile(dir / "bin" / "cmake.exe", "older cmake");
             pin = std::make_unique<test::PinnedFile>(dir / ".launcher-stamp");
             skip = pin->why();
             return pin->pinned();
         },
         dir / ".launcher-stamp"},
        {"the download folder is a link",
         [&](std::unique_ptr<test::PinnedFile>&, std::string&) {
             fs::create_directories(downloads.parent_path());
             return test::MakeLink(downloads, users);
         },
         wine ? downloads : fs::path()},
        {"the tools folder is a link",
         [&](std::unique_ptr<test::PinnedFile>&, std::string&) {
             fs::create_directories(root);
             return test::MakeLink(root / "tools", users);
         },
         wine ? root / "tools" : fs::path()},
        // The download's own files, kept in the download folder from an earlier attempt.
        {"a link at the download's partial file",
         [&](std::unique_ptr<test::PinnedFile>&, std::string&) {
             fs::create_directories(downloads);
             return test::MakeLink(downloads / "cmake.zip.part", users / "cmake.zip");
         },
         wine ? downloads / "cmake.zip.part" : fs::path(), "Could not download cmake.zip: cannot write "},
        {"a link at the partial file's record",
         [&](std::unique_ptr<test::PinnedFile>&, std::string& skip) {
             // There the download goes on without its record, and the download folder's removal after
             // the install cannot tell a host link to a file from the file.
             skip = "under Wine a host link to a file looks like the file to the removal of the downloads";
             if (wine) return false;
             fs::create_directories(downloads);
             return test::MakeLink(downloads / "cmake.zip.part.source", users / "cmake.zip");
         },
         fs::path()},
    };
    const fs::path zip = Zip("cmake.zip", {{"bin/cmake.exe", "cmake program"}});
    const Tool tool = MakeTool("cmake", "zip", {Serve("cmake.zip", zip)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The user's folder holds what an install would write: a download, a tool and a stamp.
        test::WriteFile(users / "cmake.zip", "the user's own archive");
        test::WriteFile(users / "cmake" / "bin" / "cmake.exe", "the user's own cmake");
        test::WriteFile(users / "bin" / "cmake.exe", "the user's own program");
        const test::Tree before = test::Snapshot(users);
        std::unique_ptr<test::PinnedFile> pin;
        std::string skip;
        if (!c.make(pin, skip)) {
            std::printf("skipped %s: %s\n", c.name, skip.c_str());
        } else {
            server.ClearRequests();
            err.clear();
            const bool installed = builder->InstallTool(tool, err);
            if (c.cannotGo.empty()) {
                EXPECT_TRUE(installed) << err;
                EXPECT_FALSE(IsLink(dir));
                EXPECT_EQ(test::ReadFile(dir / "bin" / "cmake.exe"), "cmake program");
                EXPECT_EQ(test::ReadFile(dir / ".launcher-stamp"), tool.stamp);
            } else {
                EXPECT_FALSE(installed);
                const std::string sentence = c.sentence + PathUtf8(c.cannotGo) + ": ";
                EXPECT_EQ(err.rfind(sentence, 0), 0u) << err;
                EXPECT_GT(err.size(), sentence.size()) << "the system's text follows";
                EXPECT_EQ(RequestsFor("cmake.zip"), 0u) << "nothing is downloaded";
            }
            EXPECT_EQ(test::ChangesSince(before, test::Snapshot(users)), "");
        }
        pin.reset();
        ASSERT_TRUE(test::RemoveWithHostTools(root));
        ASSERT_TRUE(test::RemoveWithHostTools(users));
    }
}

TEST_F(ToolsTest, AToolsFolderSwappedForALinkDuringTheClearIsNeverEmptiedThrough) {
    // An earlier cmake is cleared before the new one is downloaded. Its stamp's place holds a folder of
    // many files, which takes a while to remove: while it goes, another program moves "tools" away and
    // puts a link to a folder of the user's with the same layout in its place. The user's folder stays as
    // it was, and the clear stops instead of going on through the link. The download would fail anyway,
    // so that nothing is unpacked anywhere.
    const fs::path users = tmp / "users";
    const fs::path stamp = root / "tools" / "cmake" / ".launcher-stamp";
    for (const fs::path& tools : {root / "tools", users}) {
        test::WriteFile(tools / "cmake" / "bin" / "cmake.exe", "older cmake");
        test::WriteFile(tools / "cmake" / ".launcher-stamp" / "0", "an older stamp");
    }
    // Enough that the stamp goes on going well after the swap (Wine deletes files far more slowly).
    const int files = test::RunningUnderWine() ? 300 : 1500;
    for (int i = 1; i < files; ++i) test::WriteFile(stamp / std::to_string(i), "an older stamp");
    const test::Tree before = test::Snapshot(users);
    server.Serve("/files/cmake.zip", test::StatusRoute(404));
    const Tool tool =
        MakeTool("cmake", "zip", {FileRef{"cmake.zip", server.Url("/files/cmake.zip"), std::string(64, 'a'), 9}});

    // The stamp's folder changes as soon as its first file goes.
    const fs::file_time_type untouched = fs::last_write_time(stamp);
    std::atomic<bool> done{false};
    bool swapped = false;
    std::thread racer([&] {
        std::error_code ec;
        while (!done && fs::last_write_time(stamp, ec) == untouched && !ec) std::this_thread::yield();
        if (done) return;
        fs::rename(root / "tools", tmp / "tools.moved", ec);
        swapped = !ec && test::MakeLink(root / "tools", users);
    });
    EXPECT_FALSE(builder->InstallTool(tool, err));
    done = true;
    racer.join();
    EXPECT_EQ(test::ChangesSince(before, test::Snapshot(users)), "");
    if (test::RunningUnderWine()) {
        // Wine's deletes and renames take turns at its server, so the swap may come anywhere in the clear
        // or after it. Wine also deletes a file only when its last handle closes, by the path it had, and
        // only when the same file is still there: the files of a folder moved meanwhile stay, and the
        // clear says that its folder is not empty. Wherever the swap comes, nothing of the user's goes.
        const bool stopped = err.rfind("Could not remove " + PathUtf8(root / "tools" / "cmake"), 0) == 0;
        EXPECT_TRUE(stopped || err.rfind("Could not download cmake.zip: ", 0) == 0) << err;
        std::printf("the swap %s\n", stopped ? "stopped the clear" : "came after the clear");
    } else {
        ASSERT_TRUE(swapped);
        EXPECT_EQ(RequestsFor("cmake.zip"), 0u);
        EXPECT_EQ(test::ReadFile(tmp / "tools.moved" / "cmake" / "bin" / "cmake.exe"), "older cmake");
        const std::string sentence = "Could not remove " + PathUtf8(root / "tools" / "cmake") + ": ";
        EXPECT_EQ(err.rfind(sentence, 0), 0u) << err;
        EXPECT_EQ(err.substr(std::min(err.size(), sentence.size())), "The folder changed while it was being worked on");
        // The clear went as far as the stamp, in the folder it opened.
        EXPECT_FALSE(EntryExists(tmp / "tools.moved" / "cmake" / ".launcher-stamp"));
    }
    ASSERT_TRUE(test::RemoveWithHostTools(root));
}

// MSIs made by wixl with external cabinets made by gcab, unpacked by msiextract.
struct MsiToolTest : ToolsTest {
    // Writes <name>.msi naming `cabinet` (external) for the files, and the cabinet itself.
    void MakeMsi(const std::string& name, const std::string& cabinet, const std::vector<std::string>& files) {
        const fs::path work = tmp / "msi" / name;
        fs::create_directories(work / "cab");
        std::string components;
        for (const std::string& file : files) {
            test::WriteFile(work / file, "content of " + file);
            test::WriteFile(work / "cab" / file, "content of " + file);
            components += "<File Id=\"" + file + "\" Name=\"" + file + "\" Source=\"" + file + "\"/>";
        }
        test::WriteFile(work / "a.wxs", R"(<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name=")" + name + R"(" Language="1033" Version="1.0.0" Manufacturer="Tests"
           UpgradeCode="12345678-1234-1234-1234-123456789012">
    <Package InstallerVersion="200" Compressed="yes"/>
    <Media Id="1" Cabinet=")" + cabinet + R"(" EmbedCab="no"/>
    <Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="K" Name="Windows Kits"><Directory Id="T" Name="10">
      <Directory Id="I" Name="Include"><Component Id="C" Guid="*">)" +
                                            components + R"(</Component></Directory>
    </Directory></Directory></Directory>
    <Feature Id="F" Level="1"><ComponentRef Id="C"/></Feature>
  </Product>
</Wix>
)");
        std::string names;
        for (const std::string& file : files) names += " " + file;
        const std::string w = PathUtf8(work);
        ASSERT_EQ(std::system(("cd '" + w + "' && wixl -o '" + name +
                               ".msi' a.wxs >/dev/null && cd cab && gcab -c '../" + cabinet + "'" + names)
                                  .c_str()),
                  0);
    }
};

TEST_F(MsiToolTest, FetchesOnlyTheCabinetsItsInstallersName) {
#ifdef _WIN32
    GTEST_SKIP() << "MSIs unpack with msiexec /a, which does not work under Wine";
#else
    if (std::system("command -v wixl >/dev/null && command -v gcab >/dev/null") != 0) {
        GTEST_SKIP() << "wixl or gcab is not installed";
    }
    const std::string cabA = "0123456789abcdef0123456789abcdef.cab";
    const std::string cabB = "fedcba9876543210fedcba9876543210.cab";
    const std::string unused = "00000000000000000000000000000000.cab";
    MakeMsi("Headers", cabA, {"windows.h", "winbase.h"});
    MakeMsi("Libs", cabB, {"kernel32.lib"});
    test::WriteFile(tmp / "msi" / unused, "never needed");
    const fs::path msi = tmp / "msi";
    Tool sdk =
        MakeTool("winsdk", "msi",
                 {Serve("Headers.msi", msi / "Headers" / "Headers.msi"), Serve("Libs.msi", msi / "Libs" / "Libs.msi")});
    // The manifest names cabinets in its own case; the installers name them in lower case.
    FileRef upper = Serve("FEDCBA9876543210FEDCBA9876543210.CAB", msi / "Libs" / cabB);
    sdk.cabs = {Serve(cabA, msi / "Headers" / cabA), upper, Serve(unused, msi / unused)};
    sdk.stamp = "Win11SDK Headers.msi Libs.msi";

    ASSERT_TRUE(builder->InstallTool(sdk, err)) << err;
    EXPECT_EQ(FilesBelow(builder->ToolDir("winsdk")),
              (Files{".launcher-stamp", "Windows Kits/10/Include/kernel32.lib", "Windows Kits/10/Include/winbase.h",
                     "Windows Kits/10/Include/windows.h"}));
    EXPECT_EQ(test::ReadFile(builder->ToolDir("winsdk") / "Windows Kits" / "10" / "Include" / "windows.h"),
              "content of windows.h");
    EXPECT_EQ(RequestsFor(cabA), 1u);
    EXPECT_EQ(RequestsFor("FEDCBA9876543210FEDCBA9876543210.CAB"), 1u);
    EXPECT_EQ(RequestsFor(unused), 0u);
    EXPECT_TRUE(Has(logged, "extract Headers.msi"));
    EXPECT_TRUE(Has(logged, "extract Libs.msi"));
    EXPECT_FALSE(fs::exists(root / "downloads" / "winsdk"));
    auto unpacking = std::find_if(reports.begin(), reports.end(), [](const Status& s) {
        return s.title == "Unpacking The winsdk" && s.detail == "Libs.msi";
    });
    ASSERT_NE(unpacking, reports.end());
    EXPECT_DOUBLE_EQ(unpacking->progress, 0.5);

    // An installer naming a cabinet that the package does not list: nothing is fetched for it, and the
    // extraction decides.
    sdk.cabs = {sdk.cabs[0]};
    sdk.stamp += " again";
    server.ClearRequests();
    EXPECT_FALSE(builder->InstallTool(sdk, err));
    EXPECT_NE(err.find("Libs.msi"), std::string::npos) << err;
    EXPECT_EQ(RequestsFor(cabA), 1u);
    EXPECT_EQ(RequestsFor("FEDCBA9876543210FEDCBA9876543210.CAB"), 0u);
#endif
}

struct LookUpToolsTest : ToolsTest {
    const std::string sha = std::string(64, 'a');
    std::string Description(std::vector<json> tools) { return json{{"tools", tools}}.dump(); }
    json ToolEntry(const std::string& id, uint64_t size, bool optional = false) {
        return {{"id", id},
                {"url", "https://x.test/" + id + ".zip"},
                {"sha256", sha},
                {"size", size},
                {"optional", optional}};
    }
    std::vector<std::string> Ids() const {
        std::vector<std::string> ids;
        for (const Tool& tool : builder->toolchain.tools) ids.push_back(tool.id);
        return ids;
    }
    void Offline() {
        test::Route down;
        down.status = 500;
        server.Serve("/toolchain.json", down);
    }
};

TEST_F(LookUpToolsTest, AFetchedDescriptionIsUsedAndSaved) {
    const std::string text = Description({ToolEntry("cmake", 300 << 20), ToolEntry("ffmpeg", 100 << 20, true)});
    server.ServeJson("/toolchain.json", text);
    builder->toolchain.sdkVersion = "left from before";
    ASSERT_TRUE(builder->LookUpTools(builder->toolchain, err, false)) << err;
    EXPECT_EQ(Ids(), (Files{"cmake", "ffmpeg"}));
    EXPECT_EQ(builder->toolchain.sdkVersion, "");
    EXPECT_EQ(test::ReadFile(root / "toolchain.json"), text);
    // All tools count; only the ones the build needs add to the size.
    EXPECT_EQ(logged, (Files{"tools: 2, 300 MB to download at most"}));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports[0].title, "Looking up the build tools");
    EXPECT_EQ(reports[0].progress, -1);
    // The music import's lookup never asks for the Visual Studio channel.
    EXPECT_EQ(server.Requests().size(), 1u);
}

// The saved copy is written under a temporary name of its own, never through a link standing there.
TEST_F(LookUpToolsTest, TheSavedCopyIsNeverWrittenThroughALink) {
    const std::string text = Description({ToolEntry("cmake", 1)});
    server.ServeJson("/toolchain.json", text);
    const fs::path users = tmp / "users.txt";
    test::WriteFile(users, "the user's own file");
    fs::create_directories(root);
    ASSERT_TRUE(test::MakeLink(root / "toolchain.json.new", users));
    ASSERT_TRUE(builder->LookUpTools(builder->toolchain, err, false)) << err;
    EXPECT_EQ(Ids(), Files{"cmake"});
    EXPECT_EQ(test::ReadFile(users), "the user's own file");
    // Under Wine the link cannot be removed as itself, and a copy that cannot be written is no reason to
    // stop.
    if (!test::RunningUnderWine()) {
        EXPECT_EQ(test::ReadFile(root / "toolchain.json"), text);
    }
    ASSERT_TRUE(test::RemoveWithHostTools(root));
}

// A stop while the list is fetched is a stop, not a reason to take the saved or the built-in list.
TEST_F(LookUpToolsTest, AStopIsNoReasonToFallBack) {
    test::Route silent;
    silent.stallBeforeHeadersMs = 30000;
    server.Serve("/toolchain.json", silent);
    builder->builtinToolchain = BuiltinToolchainJson();
    test::StopLater stopper(builder->stop, 300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(builder->LookUpTools(builder->toolchain, err, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(err, "cancelled");
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(LookUpToolsTest, OfflineTheSavedCopyThenTheBuiltInOne) {
    Offline();
    builder->builtinToolchain = BuiltinToolchainJson();
    ASSERT_TRUE(builder->LookUpTools(builder->toolchain, err, false)) << err;
    EXPECT_EQ(Ids(), (Files{"llvm", "cmake", "ninja", "git"}));
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].rfind("toolchain.json could not be fetched (", 0), 0u) << logged[0];
    EXPECT_TRUE(EndsWith(logged[0], "), the launcher's own is used")) << logged[0];
    EXPECT_EQ(logged[1], "tools: 4, 885 MB to download at most");
    EXPECT_FALSE(fs::exists(root / "toolchain.json")) << "only a fetched description is saved";

    test::WriteFile(root / "toolchain.json", Description({ToolEntry("saved", 1 << 20)}));
    logged.clear();
    ASSERT_TRUE(builder->LookUpTools(builder->toolchain, err, false)) << err;
    EXPECT_EQ(Ids(), Files{"saved"});
    EXPECT_TRUE(EndsWith(logged[0], "), the last one is used")) << logged[0];

    // A saved copy is preferred to the built-in text even when it does not read.
    test::WriteFile(root / "toolchain.json", "{ broken");
    EXPECT_FALSE(builder->LookUpTools(builder->toolchain, err, false));
    EXPECT_EQ(err, "toolchain.json is not readable");

    fs::remove(root / "toolchain.json");
    builder->builtinToolchain.clear();
    EXPECT_FALSE(builder->LookUpTools(builder->toolchain, err, false));
    EXPECT_EQ(err.rfind("Could not download the list of build tools: ", 0), 0u) << err;
}

TEST_F(LookUpToolsTest, AnUnreadableAnswerDoesNotReplaceTheSavedCopy) {
    const std::string saved = Description({ToolEntry("saved", 1)});
    test::WriteFile(root / "toolchain.json", saved);
    server.ServeBody("/toolchain.json", "<html>a captive portal</html>");
    EXPECT_FALSE(builder->LookUpTools(builder->toolchain, err, false));
    EXPECT_EQ(err, "toolchain.json is not readable");
    EXPECT_EQ(test::ReadFile(root / "toolchain.json"), saved);
}

TEST_F(LookUpToolsTest, TheBuildAlsoResolvesTheMicrosoftPackages) {
    const std::string cab = "0123456789abcdef0123456789abcdef.cab";
    json manifest = {
        {"packages",
         {{{"id", "VC.Headers"}, {"payloads", {{{"fileName", "h.vsix"}, {"url", "u"}, {"size", 10 << 20}}}}},
          {{"id", "SDK"},
           {"payloads",
            {{{"fileName", "a.msi"}, {"url", "u"}, {"size", 1 << 20}},
             {{"fileName", cab}, {"url", "u"}, {"size", 40 << 20}}}}}}}};
    server.ServeJson("/manifest", manifest.dump());
    server.ServeJson("/channel", json{{"channelItems",
                                       {{{"id", "Microsoft.VisualStudio.Manifests.VisualStudio"},
                                         {"payloads", {{{"url", server.Url("/manifest")}}}}}}}}
                                     .dump());
    json description = {{"tools", {ToolEntry("cmake", 5 << 20)}},
                        {"msvc", {{"channel", server.Url("/channel")}, {"version", "1"}, {"packages", {"VC.Headers"}}}},
                        {"sdk", {{"package", "SDK"}, {"version", "10.0.1"}, {"msis", {"a.msi"}}}}};
    server.ServeJson("/toolchain.json", description.dump());
    ASSERT_TRUE(builder->LookUpTools(builder->toolchain, err, true)) << err;
    EXPECT_EQ(Ids(), (Files{"cmake", "msvc", "winsdk"}));
    EXPECT_EQ(builder->toolchain.sdkVersion, "10.0.1");
    // Every cabinet of the SDK package counts, though only the named ones are fetched.
    EXPECT_EQ(logged.back(), "tools: 3, 56 MB to download at most");

    // Without the channel the lookup fails with its sentence, after the tools were read.
    server.Serve("/channel", test::StatusRoute(404));
    EXPECT_FALSE(builder->LookUpTools(builder->toolchain, err, true));
    EXPECT_EQ(err.rfind("Visual Studio channel: ", 0), 0u) << err;
}

}  // namespace
}  // namespace launcher
