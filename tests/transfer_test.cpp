#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/sha.h"
#include "platform/transfer.h"
#include "support/http_server.h"
#include "support/links.h"
#include "support/test_platform.h"
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

// A resource as a code host serves one: with an ETag of its own bytes, so another version has another.
test::Route Resource(const std::string& bytes) {
    test::Route route;
    route.body = bytes;
    route.etag = "\"" + Hex(bytes).substr(0, 16) + "\"";
    return route;
}

class DownloadTest : public ::testing::Test {
protected:
    DownloadTest() : body(test::TestBytes(1000, 42)), sha(Hex(body)) {
        server.Serve("/f.bin", Resource(body));
        file = dir / "sub" / "f.bin";
        part = dir / "sub" / "f.bin.part";
        source = dir / "sub" / "f.bin.part.source";
    }

    bool Run(const std::string& digest, uint64_t size, const std::string& path = "/f.bin") {
        progress.clear();
        ProgressSink sink = [this](uint64_t done, uint64_t total) { progress.emplace_back(done, total); };
        return Download(*http, server.Url(path), file, digest, size, sink, &stop, err);
    }
    // Leaves what a Download of `path` stopped by the user leaves: the first `upTo` bytes of the resource.
    void LeaveStopped(const std::string& path, const test::Route& resource, uint64_t upTo, uint64_t size) {
        test::Route route = resource;
        if (upTo < resource.body.size()) route.dropAfter = static_cast<int64_t>(upTo);
        server.Serve(path, route);
        ProgressSink stopThere = [this, upTo](uint64_t done, uint64_t) {
            if (done >= upTo) stop = true;
        };
        EXPECT_FALSE(Download(*http, server.Url(path), file, "", size, stopThere, &stop, err));
        EXPECT_EQ(err, "cancelled");
        EXPECT_EQ(test::ReadFile(part), resource.body.substr(0, upTo));
        stop = false;
        server.Serve(path, resource);
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
    fs::path source;
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
// file: a partial file is carried on only for the resource it came from, and only where a change would
// be noticed, by the server (which is sent the validator of the partial's bytes and answers a changed
// resource whole) or by the digest.
TEST_F(DownloadTest, APartialFileIsCarriedOnOnlyForTheResourceItCameFrom) {
    const std::string other = test::TestBytes(1000, 7);
    test::Route dated;
    dated.body = body;
    dated.lastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
    test::Route datedLater = dated;
    datedLater.body = other;
    datedLater.lastModified = "Thu, 22 Oct 2015 07:28:00 GMT";
    test::Route plain;
    plain.body = body;
    test::Route plainOther;
    plainOther.body = other;
    struct Case {
        const char* name;
        std::function<void()> leave;
        test::Route resumedFrom;  // what the server holds when the download is carried on
        bool digest;
        std::vector<std::string> ranges;
    };
    const Case cases[] = {
        {"stopped download of the same file", [&] { LeaveStopped("/f.bin", Resource(body), 300, 1000); },
         Resource(body), false, {"bytes=300-"}},
        {"stopped download of another release", [&] { LeaveStopped("/other.bin", Resource(other), 300, 1000); },
         Resource(body), false, {""}},
        {"same address, another expected size", [&] { LeaveStopped("/f.bin", Resource(body), 300, 0); },
         Resource(body), false, {""}},
        {"left by a launcher that noted no source", [&] { test::WriteFile(part, other.substr(0, 300)); },
         Resource(body), false, {""}},
        {"noted no source, but the digest checks it", [&] { test::WriteFile(part, body.substr(0, 300)); },
         Resource(body), true, {"bytes=300-"}},
        // The same address serves another file of the same size since: it comes whole.
        {"the file changed, its ETag tells", [&] { LeaveStopped("/f.bin", Resource(other), 300, 1000); },
         Resource(body), false, {"bytes=300-"}},
        {"the file changed, its date tells", [&] { LeaveStopped("/f.bin", datedLater, 300, 1000); }, dated, false,
         {"bytes=300-"}},
        {"a server with no validator, no digest: never carried on",
         [&] { LeaveStopped("/f.bin", plain, 300, 1000); }, plain, false, {""}},
        {"changed at a server with no validator", [&] { LeaveStopped("/f.bin", plainOther, 300, 1000); }, plain,
         false, {""}},
        {"a server with no validator, but the digest checks it", [&] { LeaveStopped("/f.bin", plain, 300, 1000); },
         plain, true, {"bytes=300-"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(file);
        fs::remove(part);
        fs::remove(source);
        c.leave();
        server.Serve("/f.bin", c.resumedFrom);
        server.ClearRequests();
        ASSERT_TRUE(Run(c.digest ? sha : "", 1000)) << err;
        EXPECT_EQ(Ranges(), c.ranges);
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
    EXPECT_EQ(err, "the download of f.bin is damaged (checksum); gave up after 5 failed attempts");
    EXPECT_EQ(server.Requests().size(), 5u);
    EXPECT_FALSE(fs::exists(part));
    EXPECT_FALSE(fs::exists(file));
}

// Without a digest the size is the only check: a file of another size is never taken as complete.
TEST_F(DownloadTest, WithoutADigestAFileOfAnotherSizeIsRefused) {
    EXPECT_FALSE(Run("", 900));
    EXPECT_EQ(err, "the download of f.bin is damaged (size); gave up after 5 failed attempts");
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

// A server that stops sending in any way: the stop still ends the download at once, as a stop, and
// what came is kept.
TEST_F(DownloadTest, StopWhileTheServerIsSilentIsCancelledAtOnce) {
    const std::string big = test::TestBytes(300000, 17);
    struct Case {
        const char* name;
        std::function<void(test::Route&)> mode;
        bool moved = false;  // asked for at an address that answers 308
    };
    const Case cases[] = {
        {"after the headers", [](test::Route& r) { r.stallAfter = 0; }},
        {"chunked, after a chunk", [](test::Route& r) { r.chunkSize = 1000, r.stallAfter = 3000; }},
        {"chunked, inside a chunk", [](test::Route& r) { r.chunkSize = 8192, r.stallAfter = 9000; }},
        {"one byte a second", [](test::Route& r) { r.dripMs = 1000; }},
        {"a part of the file", [](test::Route& r) { r.partLimit = 100000, r.stallAfter = 70000; }},
        {"after a 308", [](test::Route& r) { r.stallAfter = 100; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(part);
        test::Route route = Resource(big);
        route.stallMs = 30000;
        c.mode(route);
        server.Serve("/silent.bin", route);
        if (c.moved) {
            test::Route moved;
            moved.redirect = "/moved/silent.bin";
            moved.redirectStatus = 308;
            server.Serve("/silent.bin", moved);
            server.Serve("/moved/silent.bin", route);
        }
        server.ClearRequests();
        stop = false;
        test::StopLater stopper(stop, 300);
        const auto start = std::chrono::steady_clock::now();
        const bool ok = Download(*http, server.Url("/silent.bin"), file, Hex(big), big.size(), nullptr, &stop, err);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(ok);
        EXPECT_EQ(err, "cancelled");
        EXPECT_LT(waited, std::chrono::seconds(2));
        EXPECT_EQ(server.Requests().size(), c.moved ? 2u : 1u)
            << "a stop is no failure to try again";
        EXPECT_FALSE(fs::exists(file));
        const std::string kept = test::ReadFile(part);
        EXPECT_TRUE(kept == big.substr(0, kept.size()));
    }
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
    server.ServeBody("/storage/f.bin", body);
    for (int status : {302, 308}) {
        SCOPED_TRACE(status);
        test::Route moved;
        moved.redirect = "/storage/f.bin";
        moved.redirectStatus = status;
        server.Serve("/releases/download/f.bin", moved);
        server.ClearRequests();
        fs::remove(file);
        test::WriteFile(part, body.substr(0, 300));
        ASSERT_TRUE(Run(sha, 1000, "/releases/download/f.bin")) << err;
        EXPECT_EQ(Ranges("/releases/download/f.bin"), std::vector<std::string>{"bytes=300-"});
        EXPECT_EQ(Ranges("/storage/f.bin"), std::vector<std::string>{"bytes=300-"});
        EXPECT_EQ(test::ReadFile(file), body);
    }
}

// Answers that end before the file does, cleanly, bring the file a part at a time: each is kept and the
// next request asks for the rest. Only a file that is complete and wrong is thrown away.
TEST_F(DownloadTest, AnswersThatEndEarlyAreProgressNotDamage) {
    struct Case {
        const char* name;
        std::function<void(test::Route&)> mode;
        std::vector<std::string> ranges;
    };
    const Case cases[] = {
        {"a 206 of 300 bytes each time", [](test::Route& r) { r.partLimit = 300; },
         {"", "bytes=300-", "bytes=600-", "bytes=900-"}},
        {"a 206 of 100 bytes each time: more answers than attempts", [](test::Route& r) { r.partLimit = 100; },
         {"", "bytes=100-", "bytes=200-", "bytes=300-", "bytes=400-", "bytes=500-", "bytes=600-", "bytes=700-",
          "bytes=800-", "bytes=900-"}},
        {"no length, closed cleanly after 400 bytes twice",
         [](test::Route& r) { r.sendLength = false, r.dropAfter = 400, r.faultyAnswers = 2; },
         {"", "bytes=400-", "bytes=800-"}},
        {"chunked in 100-byte chunks", [](test::Route& r) { r.chunkSize = 100; }, {""}},
        {"chunked, cut after 300 bytes once", [](test::Route& r) { r.chunkSize = 100, r.dropAfter = 300,
                                                                   r.faultyAnswers = 1; },
         {"", "bytes=300-"}},
    };
    for (const std::string& digest : {sha, std::string()}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (digest.empty() ? ", no digest" : ", with a digest"));
            fs::remove(file);
            test::Route route = Resource(body);
            c.mode(route);
            server.Serve("/f.bin", route);
            server.ClearRequests();
            ASSERT_TRUE(Run(digest, 1000)) << err;
            EXPECT_EQ(Ranges(), c.ranges);
            EXPECT_EQ(test::ReadFile(file), body);
        }
    }
}

// Without anything to tell a part of the file from a part of another, a server that only ever sends the
// start is given up on, with the words of what it did.
TEST_F(DownloadTest, ShortAnswersWithNothingToResumeByAreGivenUpOn) {
    test::Route route;
    route.body = body;
    route.partLimit = 300;
    server.Serve("/f.bin", route);
    EXPECT_FALSE(Run("", 1000));
    EXPECT_EQ(err, "the server sent only 300 of the 1000 bytes of f.bin; gave up after 5 failed attempts");
    // The first answer brought bytes; the five after it brought nothing new.
    EXPECT_EQ(Ranges(), std::vector<std::string>(6, ""));
    EXPECT_FALSE(fs::exists(file));
}

// A server below the low-speed limit ends the download with a sentence that says so, after one request;
// what came stays for the next call.
TEST_F(DownloadTest, ATooSlowServerEndsItWithASentence) {
    HttpTimeouts limits;
    limits.lowSpeedBytes = 100;
    limits.lowSpeedMs = 1000;
    http = MakeHttp(limits);
    test::Route crawling = Resource(body);
    crawling.dripMs = 50;  // 20 bytes a second
    server.Serve("/f.bin", crawling);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Run(sha, 1000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(err, "the server is too slow (under 100 bytes a second for 1 second)");
    EXPECT_EQ(server.Requests().size(), 1u);
    const std::string kept = test::ReadFile(part);
    ASSERT_GT(kept.size(), 0u);
    EXPECT_TRUE(kept == body.substr(0, kept.size()));

    server.Serve("/f.bin", Resource(body));
    server.ClearRequests();
    ASSERT_TRUE(Run(sha, 1000)) << err;
    EXPECT_EQ(Ranges(), std::vector<std::string>{"bytes=" + std::to_string(kept.size()) + "-"});
    EXPECT_EQ(test::ReadFile(file), body);

    std::string text;
    server.Serve("/crawl", crawling);
    server.ClearRequests();
    EXPECT_FALSE(FetchText(*http, server.Url("/crawl"), text, err, &stop));
    EXPECT_EQ(err, "the server is too slow (under 100 bytes a second for 1 second)");
    EXPECT_EQ(server.Requests().size(), 1u) << "asking again would only make the wait longer";
}

// An answer compressed on the way (not asked for) is never taken for the file, nor kept in part.
TEST_F(DownloadTest, AnEncodedAnswerIsNeverTakenForTheFile) {
    test::Route packed = Resource(body);
    packed.contentEncoding = "gzip";
    server.Serve("/f.bin", packed);
    EXPECT_FALSE(Run(sha, 1000));
    EXPECT_EQ(err, "the server sent " + server.Url("/f.bin") +
                       " encoded (gzip), which was not asked for; gave up after 5 failed attempts");
    EXPECT_EQ(test::ReadFile(part), "");
    for (const test::SeenRequest& r : server.Requests()) EXPECT_EQ(r.acceptEncoding, "identity");
}

// Links standing at the download's own names (to a file of the user's) are never written through:
// removed as themselves where the system can (natively), refused where it cannot (Wine acts on what a
// host link leads to).
TEST_F(DownloadTest, NeverWritesThroughALinkAtItsOwnNames) {
    const bool wine = test::RunningUnderWine();
    const fs::path users = dir / "users.txt";
    struct Case {
        const char* name;
        fs::path at;
        bool hard;
        bool refusedUnderWine;
    };
    const Case cases[] = {
        {"a link at the partial file", part, false, true},
        {"a link at its source record", source, false, false},
        {"a second name of the user's file at the partial file", part, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteFile(users, "the user's own file");
        fs::create_directories(part.parent_path());
        if (c.hard) {
            std::error_code ec;
            fs::create_hard_link(users, c.at, ec);
            ASSERT_FALSE(ec) << ec.message();
        } else {
            ASSERT_TRUE(test::MakeLink(c.at, users));
        }
        const bool ok = Run(sha, 1000);
        EXPECT_EQ(test::ReadFile(users), "the user's own file");
        if (wine && c.refusedUnderWine) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(err, "cannot write " + PathUtf8(part) + ": a link stands there that cannot be removed as itself");
            EXPECT_TRUE(server.Requests().empty());
        } else {
            ASSERT_TRUE(ok) << err;
            EXPECT_EQ(test::ReadFile(file), body);
            EXPECT_FALSE(IsLink(part));
            if (!wine) {
                EXPECT_FALSE(EntryExists(source));
            }
        }
        ASSERT_TRUE(test::RemoveWithHostTools(part.parent_path()));
        server.ClearRequests();
    }
}

// Every attempt fails the same way: five requests, the last answer's words, the partial file kept.
TEST_F(DownloadTest, FiveFailedTransfers) {
    // A leftover of the whole length and no expected size: the resumed request is beyond the end.
    LeaveStopped("/f.bin", Resource(body), body.size(), 0);
    EXPECT_FALSE(Run("", 0));
    EXPECT_EQ(err, "the server answered 416 for " + server.Url("/f.bin") + "; gave up after 5 failed attempts");
    EXPECT_EQ(Ranges(), std::vector<std::string>(5, "bytes=1000-"));
    EXPECT_EQ(test::ReadFile(part), body);

    fs::remove(part);
    test::Route broken;
    broken.status = 500;
    server.Serve("/broken.bin", broken);
    EXPECT_FALSE(Run(sha, 1000, "/broken.bin"));
    EXPECT_EQ(err, "the server answered 500 for " + server.Url("/broken.bin") + "; gave up after 5 failed attempts");
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
    EXPECT_EQ(err, "the server answered 416 for " + server.Url("/f.bin") + "; gave up after 5 failed attempts");
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
    EXPECT_EQ(err, "the server answered with another part of " + server.Url("/f.bin") +
                       " than the one asked for; gave up after 5 failed attempts");
    EXPECT_EQ(Ranges(), std::vector<std::string>(5, "bytes=300-"));
    EXPECT_EQ(test::ReadFile(part), body.substr(0, 300));
}

TEST_F(DownloadTest, UnwritablePartialFileFailsAtOnce) {
    test::WriteFile(dir / "sub", "a file where the folder should be");
    EXPECT_FALSE(Run(sha, 1000));
    const std::string sentence = "cannot write " + PathUtf8(part) + ": ";
    EXPECT_EQ(err.rfind(sentence, 0), 0u) << err;
    EXPECT_GT(err.size(), sentence.size()) << "the system's reason follows";
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
    ASSERT_TRUE(FetchText(*http, server.Url("/twice-broken"), out, err, nullptr));
    EXPECT_EQ(out, "{\"ok\":true}");
    EXPECT_EQ(server.Requests("/twice-broken").size(), 3u);

    EXPECT_FALSE(FetchText(*http, server.Url("/thrice-broken"), out, err, nullptr));
    EXPECT_EQ(err, "the server answered 500 for " + server.Url("/thrice-broken"));
    EXPECT_EQ(server.Requests("/thrice-broken").size(), 3u);

    // A broken first answer leaves nothing behind in the text.
    ASSERT_TRUE(FetchText(*http, server.Url("/dropped-once"), out, err, nullptr));
    EXPECT_TRUE(out == dropping.body);
}

// A fetch waits for the server as a download does: a stop ends it at once, as a stop, with no retry.
TEST(FetchTextTest, AStopEndsItAtOnce) {
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    test::Route silent;
    silent.body = "{}";
    silent.stallBeforeHeadersMs = 30000;
    server.Serve("/silent", silent);
    std::atomic<bool> stop{false};
    test::StopLater stopper(stop, 300);
    const auto start = std::chrono::steady_clock::now();
    std::string out;
    std::string err;
    const bool ok = FetchText(*http, server.Url("/silent"), out, err, &stop);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "cancelled");
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_EQ(server.Requests().size(), 1u);
}

// A text past the bound is refused as it comes: what announces more at its first bytes, what sends more
// at the bytes that would pass it. No more than the bound is ever read (and so held).
TEST(FetchTextTest, ATextPast64MBIsRefusedAsItComes) {
    test::HttpServer server;
    std::unique_ptr<Http> http = MakeHttp();
    struct Case {
        const char* name;
        uint64_t size;
        bool sendLength;
        int64_t chunkSize;
        uint64_t mostSent;  // bytes the server may have sent before the client went
    };
    const uint64_t bound = kFetchMostBytes;
    const Case cases[] = {
        {"an endless answer", test::kEndless, false, 0, bound + (16 << 20)},
        {"1 GiB, announced", uint64_t{1} << 30, true, 0, 16 << 20},
        {"1 GiB, chunked", uint64_t{1} << 30, true, 1 << 20, bound + (16 << 20)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Route route;
        route.generated = c.size;
        route.sendLength = c.sendLength;
        route.chunkSize = c.chunkSize;
        server.Serve("/huge.json", route);
        server.ClearRequests();
        const uint64_t before = server.BodyBytesSent();
        std::string out = "stale";
        std::string err;
        EXPECT_FALSE(FetchText(*http, server.Url("/huge.json"), out, err, nullptr));
        EXPECT_EQ(err, server.Url("/huge.json") + " is larger than 64 MB");
        EXPECT_EQ(out, "");
        EXPECT_EQ(server.Requests().size(), 1u) << "asking again would bring the same";
        EXPECT_LE(server.BodyBytesSent() - before, c.mostSent);
    }
}

}  // namespace
}  // namespace launcher
