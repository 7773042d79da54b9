#include <gtest/gtest.h>

#include <functional>

#include "platform/file_ops.h"
#include "platform/plain_file.h"
#include "support/links.h"
#include "support/test_platform.h"
#include "support/test_support.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

// What may stand at one of the launcher's own names, and what each way of writing there does with it:
// the user's file or folder behind a link or a second name is never changed. A link goes as itself
// where the system can remove it so (natively); under Wine, which acts on what a host link leads to,
// the write is refused instead.
TEST(PlainFile, NeverWritesThroughWhatStandsAtTheName) {
    const bool wine = test::RunningUnderWine();
    test::TempDir dir;
    const fs::path users = dir / "users";
    const fs::path at = dir / "own" / "x.part";
    enum class Kind { kNothing, kFile, kLink, kHardLink, kFolder };
    struct Case {
        const char* name;
        Kind kind;
        std::function<bool()> make;
        bool underWine = true;
    };
    const Case cases[] = {
        {"nothing", Kind::kNothing, [] { return true; }},
        {"a file of our own", Kind::kFile, [&] {
             test::WriteFile(at, "old bytes");
             return true;
         }},
        {"a link to the user's file", Kind::kLink, [&] { return test::MakeLink(at, users / "notes.txt"); }},
        {"a link to the user's folder", Kind::kLink, [&] { return test::MakeLink(at, users / "music"); }},
        // Wine shows such a link nowhere, so the test cannot wait for it there.
        {"a link to nothing", Kind::kLink, [&] { return test::MakeLink(at, users / "gone.txt"); }, false},
        {"a second name of the user's file", Kind::kHardLink, [&] {
             std::error_code ec;
             fs::create_hard_link(users / "notes.txt", at, ec);
             return !ec;
         }},
        {"a folder", Kind::kFolder, [&] {
             test::WriteFile(at / "inside.txt", "x");
             return true;
         }},
    };
    enum class Op { kAppend, kCreate, kRemove };
    for (const Op op : {Op::kAppend, Op::kCreate, Op::kRemove}) {
        for (const Case& c : cases) {
            if (wine && !c.underWine) continue;
            SCOPED_TRACE(std::string(c.name) + (op == Op::kAppend ? ", appended to" : op == Op::kCreate ? ", created" : ", removed"));
            test::WriteFile(users / "notes.txt", "the user's notes");
            test::WriteFile(users / "music" / "song.ogg", "the user's song");
            fs::create_directories(at.parent_path());
            ASSERT_TRUE(c.make());

            std::string err;
            bool ok = false;
            uint64_t size = 12345;
            if (op == Op::kRemove) {
                ok = RemovePlainFile(at, err);
            } else {
                PlainFile file;
                ok = op == Op::kAppend ? file.OpenForAppend(at, size, err) : file.Create(at, err);
                ok = ok && file.Write("new", 3, err) && file.Close(err);
            }
            const bool refused = c.kind == Kind::kFolder || (wine && c.kind == Kind::kLink);
            EXPECT_EQ(ok, !refused) << err;
            if (refused) {
                EXPECT_FALSE(err.empty());
                if (c.kind == Kind::kLink) {
                    EXPECT_EQ(err, "a link stands there that cannot be removed as itself");
                }
            } else if (op == Op::kRemove) {
                EXPECT_FALSE(EntryExists(at));
            } else {
                const bool kept = op == Op::kAppend && c.kind == Kind::kFile;
                EXPECT_EQ(test::ReadFile(at), kept ? "old bytesnew" : "new");
                if (op == Op::kAppend) {
                    EXPECT_EQ(size, kept ? 9u : 0u);
                }
                EXPECT_FALSE(IsLink(at));
            }
            EXPECT_EQ(test::ReadFile(users / "notes.txt"), "the user's notes");
            EXPECT_EQ(test::ReadFile(users / "music" / "song.ogg"), "the user's song");
            ASSERT_TRUE(test::RemoveWithHostTools(at.parent_path()));
        }
    }
}

TEST(PlainFile, TruncateStartsTheFileAgain) {
    test::TempDir dir;
    const fs::path at = dir / "x.part";
    test::WriteFile(at, "0123456789");
    PlainFile file;
    uint64_t size = 0;
    std::string err;
    ASSERT_TRUE(file.OpenForAppend(at, size, err)) << err;
    EXPECT_EQ(size, 10u);
    ASSERT_TRUE(file.Write("ab", 2, err)) << err;
    ASSERT_TRUE(file.Truncate(err)) << err;
    ASSERT_TRUE(file.Write("xyz", 3, err)) << err;
    ASSERT_TRUE(file.Close(err)) << err;
    EXPECT_EQ(test::ReadFile(at), "xyz");
}

}  // namespace
}  // namespace launcher
