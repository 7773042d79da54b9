#include <gtest/gtest.h>

#include "build/builder.h"
#include "build/entry_map.h"

namespace launcher {
namespace {

Tool MakeTool(const std::string& kind, int32_t strip, std::vector<std::string> keep) {
    Tool tool;
    tool.id = "t";
    tool.title = "The Tool";
    tool.kind = kind;
    tool.strip = strip;
    tool.keep = std::move(keep);
    return tool;
}

TEST(MapArchiveEntry, StripAndKeep) {
    const Tool llvm =
        MakeTool("tar.xz", 1, {"bin/clang.exe", "bin/api-ms-win-*.dll", "bin/msvcp140*.dll", "lib/clang/"});
    const Tool cmake = MakeTool("zip", 1, {"bin/", "share/"});
    const Tool plain = MakeTool("zip", 0, {});
    const Tool star = MakeTool("zip", 0, {"*"});
    const Tool stars = MakeTool("zip", 0, {"a**b.txt"});
    struct Case {
        const Tool& tool;
        const char* name;
        const char* mapped;
    } cases[] = {
        {llvm, "clang+llvm/bin/clang.exe", "bin/clang.exe"},
        {llvm, "clang+llvm/bin/clang.exe.bak", ""},
        {llvm, "clang+llvm/bin/clang-19.exe", ""},
        {llvm, "clang+llvm/bin/api-ms-win-core-file-l1-1-0.dll", "bin/api-ms-win-core-file-l1-1-0.dll"},
        {llvm, "clang+llvm/bin/api-ms-win-.dll", "bin/api-ms-win-.dll"},  // '*' takes nothing too
        {llvm, "clang+llvm/bin/api-ms-win-x/y.dll", ""},                  // '*' never takes a '/'
        {llvm, "clang+llvm/bin/api-ms-win-core.dlls", ""},
        {llvm, "clang+llvm/bin/msvcp140_1.dll", "bin/msvcp140_1.dll"},
        {llvm, "clang+llvm/lib/clang/19/include/stddef.h", "lib/clang/19/include/stddef.h"},
        {llvm, "clang+llvm/lib/clang/", ""},
        {llvm, "clang+llvm/lib/libclang.lib", ""},
        {llvm, "clang+llvm/", ""},
        {llvm, "README", ""},  // nothing left after the strip
        {cmake, "cmake-3.31/bin/cmake.exe", "bin/cmake.exe"},
        {cmake, "cmake-3.31/share/cmake-3.31/Modules/X.cmake", "share/cmake-3.31/Modules/X.cmake"},
        {cmake, "cmake-3.31/doc/readme.txt", ""},
        {cmake, "cmake-3.31/top.txt", ""},
        {cmake, "cmake-3.31/bin", ""},
        {plain, "ninja.exe", "ninja.exe"},
        {plain, "a/b/", ""},
        {star, "anything.txt", "anything.txt"},
        {star, "a/b.txt", ""},
        {stars, "a-b.txt", "a-b.txt"},
        {stars, "ab.txt", "ab.txt"},
    };
    for (const Case& c : cases) EXPECT_EQ(MapArchiveEntry(c.tool, c.name), c.mapped) << c.name;
}

TEST(MapArchiveEntry, VsixInstallsOnlyContentsDecoded) {
    const Tool vsix = MakeTool("vsix", 0, {});
    const Tool zip = MakeTool("zip", 0, {});
    struct Case {
        const Tool& tool;
        const char* name;
        const char* mapped;
    } cases[] = {
        {vsix, "Contents/VC/Tools/include/vector", "VC/Tools/include/vector"},
        {vsix, "Contents%2FVC%2finclude/a%20b.h", "VC/include/a b.h"},
        {vsix, "Contents/a%zzb%4", "a%zzb%4"},  // stray '%' survive
        {vsix, "contents/VC/x.h", ""},
        {vsix, "Contents", ""},
        {vsix, "Contents/", ""},
        {vsix, "extension.vsixmanifest", ""},
        {vsix, "[Content_Types].xml", ""},
        {zip, "Contents%2Fx.h", "Contents%2Fx.h"},  // only a vsix decodes names
    };
    for (const Case& c : cases) EXPECT_EQ(MapArchiveEntry(c.tool, c.name), c.mapped) << c.name;
}

TEST(StripComponents, Table) {
    struct Case {
        const char* name;
        int32_t count;
        const char* stripped;
    } cases[] = {
        {"a/b/c", 0, "a/b/c"}, {"a/b/c", -3, "a/b/c"}, {"a/b/c", 1, "b/c"}, {"a/b/c", 2, "c"}, {"a/b/c", 3, ""},
        {"a/b/", 2, ""},       {"a", 1, ""},           {"", 1, ""},         {"a//b", 2, "b"},
    };
    for (const Case& c : cases) EXPECT_EQ(StripComponents(c.name, c.count), c.stripped) << c.name << ' ' << c.count;
}

TEST(PercentDecode, Table) {
    struct Case {
        const char* text;
        const char* decoded;
    } cases[] = {
        {"clang%2Bllvm", "clang+llvm"},
        {"%41%62", "Ab"},
        {"100%", "100%"},
        {"%4", "%4"},
        {"%G1", "%G1"},
        {"%%41", "%A"},
        {"plain", "plain"},
    };
    for (const Case& c : cases) EXPECT_EQ(PercentDecode(c.text), c.decoded) << c.text;
    EXPECT_EQ(PercentDecode("a%00b"), std::string("a\0b", 3));
}

TEST(UnpackProgress, ReportsTheFractionOrNoBarWithoutATotal) {
    Builder builder(GameDefinition{}, "unused", nullptr, nullptr);
    std::vector<Status> seen;
    builder.statusSink = [&](const Status& status) { seen.push_back(status); };
    const Tool tool = MakeTool("zip", 0, {});
    ProgressSink sink = UnpackProgress(builder, tool);
    sink(25, 100);
    sink(5, 0);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].title, "Unpacking The Tool");
    EXPECT_EQ(seen[0].detail, "");
    EXPECT_DOUBLE_EQ(seen[0].progress, 0.25);
    EXPECT_EQ(seen[1].progress, -1);
}

}  // namespace
}  // namespace launcher
