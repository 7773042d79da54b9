#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/sha.h"
#include "platform/transfer.h"
#include "support/http_server.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

std::string Hex(const std::string& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }

std::pair<uint64_t, uint64_t> Report(uint64_t done, uint64_t total) { return {done, total}; }

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

class DownloadTest : public ::testing::Test {
protected:
    DownloadTest() : body(test::TestBytes(1000, 42)), sha(Hex(body)) {
        server.ServeBody("/f.bin", body);
        file = dir / "sub" / "f.bin";
        part = dir / "sub" / "f.bin.part";
    }

    bool Run(const std::string& digest, uint64_t size, const std::string& path = "/f.bin") {
        progress.clear();
        ProgressSink sink = [this](uint64_t done, uint64_t total) { progress.emplace_back(done, total); };
        return Download(*http, server.Url(path), file, digest, size, sink, &stop, err);
    }
    // Leaves what a Download of `path` stopped by the user leaves: the first `upTo` bytes of `bytes`.
    void LeaveStopped(const std::string& path, const std::string& bytes, uint64_t upTo, uint64_t size) {
        test::Route route;
        route.body = bytes;
        if (upTo < bytes.size()) route.dropAfter = static_cast<int64_t>(upTo);
        server.Serve(path, route);
        ProgressSink stopThere = [this, upTo](uint64_t done, uint64_t) {
            if (done >= upTo) stop = true;
        };
        EXPECT_FALSE(Download(*http, server.Url(path), file, "", size, stopThere, &stop, err));
        EXPECT_EQ(err, "cancelled");
        EXPECT_EQ(test::ReadFile(part), bytes.substr(0, upTo));
        stop = false;
        server.ServeBody(path, bytes);
        server.ClearRequests();
    }
    std::vector<std::string> Ranges(const std::string& path = "/f.bin") const {
        std::vector<std::string> out;
        for (const test::SeenRequest& r : server.Requests(path)) out.push_back(r.range);
        return out;
    }

    test::TempDir dir;
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    const std::string body;
    const std::string sha;
    fs::path file;
    fs::path part;
    std::atomic<bool> stop{false};
    std::string err;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
};

TEST_F(DownloadTest, FreshDownloadLandsUnderItsNameWithProgress) {
    ASSERT_TRUE(Run(sha, body.size())) << err;
    EXPECT_EQ(test::ReadFile(file), body);
    EXPECT_FALSE(fs::exists(part));
    EXPECT_EQ(Ranges(), std::vector<std::string>{""});
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), Report(1000, 1000));
}

TEST_F(DownloadTest, DigestMayComeInCapitalsAndSizeMayBeUnknown) {
    ASSERT_TRUE(Run(Upper(sha), 0)) << err;
    EXPECT_EQ(test::ReadFile(file), body);
    // Without an expected size the reports use the total the server gave.
    EXPECT_EQ(progress.back(), Report(1000, 1000));
}

// What an existing destination is taken for, by what the caller knows about the file.
TEST_F(DownloadTest, ExistingDestination) {
    struct Case {
        const char* name;
        std::string existing;
        std::string digest;
        uint64_t size;
        bool fetched;
    };
    const Case cases[] = {
        {"right digest", body, sha, 1000, false},
        {"wrong digest", "old launcher", sha, 1000, true},
        {"no digest, no size: anything counts", "old launcher", "", 0, false},
        {"no digest, same size", std::string(1000, 'x'), "", 1000, false},
        {"no digest, other size", "old launcher", "", 1000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteFile(file, c.existing);
        server.ClearRequests();
        ASSERT_TRUE(Run(c.digest, c.size)) << err;
        EXPECT_EQ(server.Requests().size(), c.fetched ? 1u : 0u);
        EXPECT_EQ(test::ReadFile(file), c.fetched ? body : c.existing);
    }
}

TEST_F(DownloadTest, ResumesFromAPartialFile) {
    test::WriteFile(part, body.substr(0, 300));
    ASSERT_TRUE(Run(sha, 1000)) << err;
    EXPECT_EQ(Ranges(), std::vector<std::string>{"bytes=300-"});
    EXPECT_EQ(test::ReadFile(file), body);
    ASSERT_FALSE(progress.empty());
    // The first report counts the 300 bytes already there plus the first chunk.
    EXPECT_GT(progress.front().first, 300u);
    EXPECT_EQ(progress.front().second, 1000u);
    EXPECT_EQ(progress.back().first, 1000u);
}

// A stopped update to one release followed by an update to another must not splice the two into one
// file: without a digest nothing else would notice.
TEST_F(DownloadTest, APartialFileIsCarriedOnOnlyForTheResourceItCameFrom) {
    const std::string other = test::TestBytes(1000, 7);
    struct Case {
        const char* name;
        std::function<void()> leave;
        bool digest;
        bool resumed;
    };
    const Case cases[] = {
        {"stopped download of the same file", [&] { LeaveStopped("/f.bin", body, 300, 1000); }, false, true},
        {"stopped download of another release", [&] { LeaveStopped("/other.bin", other, 300, 1000); }, false,
         false},
        {"same address, another expected size", [&] { LeaveStopped("/f.bin", body, 300, 0); }, false, false},
        {"left by a launcher that noted no source", [&] { test::WriteFile(part, other.substr(0, 300)); }, false,
         false},
        {"noted no source, but the digest checks it", [&] { test::WriteFile(part, body.substr(0, 300)); }, true,
         true},
    };
    fs::path source = part;
    source += ".source";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(file);
        fs::remove(part);
        fs::remove(source);
        c.leave();
        server.ClearRequests();
        ASSERT_TRUE(Run(c.digest ? sha : "", 1000)) << err;
        EXPECT_EQ(Ranges(), std::vector<std::string>{c.resumed ? "bytes=300-" : ""});
        EXPECT_TRUE(test::ReadFile(file) == body);
        EXPECT_FALSE(fs::exists(part));
        EXPECT_FALSE(fs::exists(source));
    }
}

TEST_F(DownloadTest, ServerIgnoringTheRangeStillGivesTheRightFile) {
    test::Route route;
    route.body = body;
    route.ignoreRange = true;
    server.Serve("/f.bin", route);
    test::WriteFile(part, body.substr(0, 300));
    ASSERT_TRUE(Run(sha, 1000)) << err;
    EXPECT_EQ(Ranges(), std::vector<std::string>{"bytes=300-"});
    EXPECT_EQ(test::ReadFile(file), body);
}

TEST_F(DownloadTest, PartialOfTheExpectedSizeGoesStraightToTheCheck) {
    test::WriteFile(part, body);
    ASSERT_TRUE(Run(sha, 1000)) << err;
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_EQ(test::ReadFile(file), body);
    EXPECT_FALSE(fs::exists(part));

    // Of the right size but damaged: thrown away and fetched whole.
    fs::remove(file);
    test::WriteFile(part, std::string(1000, 'x'));
    ASSERT_TRUE(Run(sha, 1000)) << err;
    EXPECT_EQ(Ranges(), std::vector<std::string>{""});
    EXPECT_EQ(test::ReadFile(file), body);
}

TEST_F(DownloadTest, PartialLongerThanExpectedStartsOver) {
    test::WriteFile(part, std::string(1500, 'x'));
    ASSERT_TRUE(Run(sha, 1000)) << err;
    EXPECT_EQ(Ranges(), std::vector<std::string>{""});
    EXPECT_EQ(test::ReadFile(file), body);
}

TEST_F(DownloadTest, ChecksumFailureDeletesThePartialAndTriesAgain) {
    test::Route route;
    route.body = body;
    route.corrupt = true;
    route.faultyAnswers = 1;
    server.Serve("/f.bin", route);
    ASSERT_TRUE(Run(sha, 1000)) << err;
    // The damaged copy was not resumed from: the second request starts at 0.
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(test::ReadFile(file), body);
}

TEST_F(DownloadTest, FiveChecksumFailuresGiveTheDamagedSentence) {
    test::Route route;
    route.body = body;
    route.corrupt = true;
    server.Serve("/f.bin", route);
    EXPECT_FALSE(Run(sha, 1000));
    EXPECT_EQ(err, "the download of f.bin is damaged (checksum), trying again");
    EXPECT_EQ(server.Requests().size(), 5u);
    EXPECT_FALSE(fs::exists(part));
    EXPECT_FALSE(fs::exists(file));
}

// Without a digest the size is the only check: a file of another size is never taken as complete.
TEST_F(DownloadTest, WithoutADigestAFileOfAnotherSizeIsRefused) {
    EXPECT_FALSE(Run("", 900));
    EXPECT_EQ(err, "the download of f.bin is damaged (size), trying again");
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(fs::exists(part));
}

TEST_F(DownloadTest, StopMidTransferIsCancelledAndResumable) {
    const std::string big = test::TestBytes(2 << 20, 8);
    server.ServeBody("/big.bin", big);
    ProgressSink stopHalfway = [this](uint64_t done, uint64_t) {
        if (done >= (1u << 20)) stop = true;
    };
    EXPECT_FALSE(Download(*http, server.Url("/big.bin"), file, Hex(big), big.size(), stopHalfway, &stop, err));
    EXPECT_EQ(err, "cancelled");
    EXPECT_FALSE(fs::exists(file));
    const std::string kept = test::ReadFile(part);
    ASSERT_GE(kept.size(), 1u << 20);
    ASSERT_LT(kept.size(), big.size());
    EXPECT_TRUE(kept == big.substr(0, kept.size()));

    stop = false;
    server.ClearRequests();
    ASSERT_TRUE(Download(*http, server.Url("/big.bin"), file, Hex(big), big.size(), nullptr, &stop, err)) << err;
    EXPECT_EQ(Ranges("/big.bin"), std::vector<std::string>{"bytes=" + std::to_string(kept.size()) + "-"});
    EXPECT_TRUE(test::ReadFile(file) == big);
}

// A server that sends the headers and then nothing: the stop still ends the download at once, as a stop.
TEST_F(DownloadTest, StopWhileTheServerIsSilentIsCancelledAtOnce) {
    test::Route route;
    route.body = body;
    route.stallAfter = 0;
    route.stallMs = 30000;
    server.Serve("/silent.bin", route);
    std::thread stopper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    const auto start = std::chrono::steady_clock::now();
    const bool ok = Download(*http, server.Url("/silent.bin"), file, sha, body.size(), nullptr, &stop, err);
    const auto waited = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "cancelled");
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_EQ(server.Requests("/silent.bin").size(), 1u) << "a stop is no failure to try again";
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(DownloadTest, ConnectionDroppedThreeTimesStillEndsComplete) {
    const size_t size = 8 << 20;
    const uint64_t cut = 1536 * 1024;
    const std::string big = test::TestBytes(size, 99);
    test::Route route;
    route.body = big;
    route.dropAfter = static_cast<int64_t>(cut);
    route.faultyAnswers = 3;
    server.Serve("/big.bin", route);
    ASSERT_TRUE(Download(*http, server.Url("/big.bin"), file, Hex(big), size, nullptr, &stop, err)) << err;
    EXPECT_TRUE(test::ReadFile(file) == big);
    // Each attempt carried on where the last connection broke.
    EXPECT_EQ(Ranges("/big.bin"), (std::vector<std::string>{"", "bytes=" + std::to_string(cut) + "-",
                                                            "bytes=" + std::to_string(2 * cut) + "-",
                                                            "bytes=" + std::to_string(3 * cut) + "-"}));
}

TEST_F(DownloadTest, RedirectedDownloadResumesWithItsRange) {
    test::Route moved;
    moved.redirect = "/storage/f.bin";
    server.Serve("/releases/download/f.bin", moved);
    server.ServeBody("/storage/f.bin", body);
    test::WriteFile(part, body.substr(0, 300));
    ASSERT_TRUE(Run(sha, 1000, "/releases/download/f.bin")) << err;
    EXPECT_EQ(Ranges("/releases/download/f.bin"), std::vector<std::string>{"bytes=300-"});
    EXPECT_EQ(Ranges("/storage/f.bin"), std::vector<std::string>{"bytes=300-"});
    EXPECT_EQ(test::ReadFile(file), body);
}

// Every attempt fails the same way: five requests, the last answer's words, the partial file kept.
TEST_F(DownloadTest, FiveFailedTransfers) {
    // A leftover of the whole length and no expected size: the resumed request is beyond the end.
    LeaveStopped("/f.bin", body, body.size(), 0);
    EXPECT_FALSE(Run("", 0));
    EXPECT_EQ(err, "the server answered 416 for " + server.Url("/f.bin"));
    EXPECT_EQ(Ranges(), std::vector<std::string>(5, "bytes=1000-"));
    EXPECT_EQ(test::ReadFile(part), body);

    fs::remove(part);
    test::Route broken;
    broken.status = 500;
    server.Serve("/broken.bin", broken);
    EXPECT_FALSE(Run(sha, 1000, "/broken.bin"));
    EXPECT_EQ(err, "the server answered 500 for " + server.Url("/broken.bin"));
    EXPECT_EQ(server.Requests("/broken.bin").size(), 5u);
}

// The same leftover with a digest: the partial file is checked instead of being asked for forever.
TEST_F(DownloadTest, CompletePartialWithoutAKnownSizeIsTakenByItsDigest) {
    test::WriteFile(part, body);
    ASSERT_TRUE(Run(sha, 0)) << err;
    EXPECT_EQ(test::ReadFile(file), body);
    EXPECT_FALSE(fs::exists(part));
    EXPECT_EQ(Ranges(), std::vector<std::string>{"bytes=1000-"});

    // A leftover that is not the published file stays for a later try and is not taken.
    fs::remove(file);
    test::WriteFile(part, body.substr(0, 999) + "x");
    EXPECT_FALSE(Run(sha, 0));
    EXPECT_EQ(err, "the server answered 416 for " + server.Url("/f.bin"));
    EXPECT_FALSE(fs::exists(file));
}

// A server that sends another part than the one asked for is not carried on from.
TEST_F(DownloadTest, AnswerFromAnotherOffsetLeavesThePartialFileAlone) {
    test::Route route;
    route.body = body;
    route.answerFrom = 0;
    server.Serve("/f.bin", route);
    test::WriteFile(part, body.substr(0, 300));
    EXPECT_FALSE(Run(sha, 1000));
    EXPECT_EQ(err, "the server answered with another part of " + server.Url("/f.bin") + " than the one asked for");
    EXPECT_EQ(Ranges(), std::vector<std::string>(5, "bytes=300-"));
    EXPECT_EQ(test::ReadFile(part), body.substr(0, 300));
}

TEST_F(DownloadTest, UnwritablePartialFileFailsAtOnce) {
    test::WriteFile(dir / "sub", "a file where the folder should be");
    EXPECT_FALSE(Run(sha, 1000));
    EXPECT_EQ(err, "cannot write " + PathUtf8(part));
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(DownloadTest, FailedRenameKeepsTheCompletePartialFile) {
    // The destination is a folder with something in it, which no file can replace.
    test::WriteFile(file / "inside.txt", "x");
    EXPECT_FALSE(Run(sha, 1000));
    EXPECT_EQ(err.rfind("cannot rename " + PathUtf8(part) + ": ", 0), 0u) << err;
    EXPECT_GT(err.size(), ("cannot rename " + PathUtf8(part) + ": ").size());
    EXPECT_EQ(test::ReadFile(part), body);
}

TEST(FetchTextTest, ThreeAttempts) {
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    test::Route flaky;
    flaky.body = "{\"ok\":true}";
    flaky.status = 500;
    flaky.faultyAnswers = 2;
    server.Serve("/twice-broken", flaky);
    flaky.faultyAnswers = 3;
    server.Serve("/thrice-broken", flaky);
    test::Route dropping;
    dropping.body = test::TestBytes(100000);
    dropping.dropAfter = 50000;
    dropping.faultyAnswers = 1;
    server.Serve("/dropped-once", dropping);

    std::string out = "stale";
    std::string err;
    ASSERT_TRUE(FetchText(*http, server.Url("/twice-broken"), out, err));
    EXPECT_EQ(out, "{\"ok\":true}");
    EXPECT_EQ(server.Requests("/twice-broken").size(), 3u);

    EXPECT_FALSE(FetchText(*http, server.Url("/thrice-broken"), out, err));
    EXPECT_EQ(err, "the server answered 500 for " + server.Url("/thrice-broken"));
    EXPECT_EQ(server.Requests("/thrice-broken").size(), 3u);

    // A broken first answer leaves nothing behind in the text.
    ASSERT_TRUE(FetchText(*http, server.Url("/dropped-once"), out, err));
    EXPECT_TRUE(out == dropping.body);
}

}  // namespace
}  // namespace launcher
