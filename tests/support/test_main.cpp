// The test program's entry: before any test runs, the per-user folders and the code host are moved
// into the test's own reach, so that no test reads or writes the settings of the person running it and
// none asks the real code host anything.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/release.h"
#include "support/http_server.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace launcher::test {
namespace {

namespace fs = std::filesystem;

void SetVariable(const char* name, const fs::path& value) {
#ifdef _WIN32
    // Both the process block (GetEnvironmentVariableW) and the C runtime's copy (getenv).
    const std::wstring wideName(name, name + std::char_traits<char>::length(name));
    SetEnvironmentVariableW(wideName.c_str(), value.c_str());
    _wputenv_s(wideName.c_str(), value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

class InsideTheTest : public ::testing::Environment {
public:
    void SetUp() override {
        home_ = std::make_unique<TempDir>();
        const fs::path home = home_->path() / "home";
        fs::create_directories(home / "AppData" / "Local");
        fs::create_directories(home / ".local" / "share");
        SetVariable("HOME", home);
        SetVariable("XDG_DATA_HOME", home / ".local" / "share");
        SetVariable("LOCALAPPDATA", home / "AppData" / "Local");

        // Every code-host address leads to the loopback server, which knows no repository; tests that
        // publish releases point the code host at their own server and put this one back afterwards.
        codeHost_ = std::make_unique<HttpServer>();
        if (!codeHost_->ok()) {
            std::fprintf(stderr, "the loopback code host did not start\n");
            std::abort();
        }
        CodeHostConfig().web = codeHost_->Url("/");
        CodeHostConfig().api = codeHost_->Url("");
    }

    void TearDown() override {
        codeHost_.reset();
        home_.reset();
    }

private:
    std::unique_ptr<TempDir> home_;
    std::unique_ptr<HttpServer> codeHost_;
};

}  // namespace
}  // namespace launcher::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new launcher::test::InsideTheTest);
    return RUN_ALL_TESTS();
}
