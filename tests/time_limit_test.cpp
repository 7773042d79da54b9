// A test that never ends, for the check that the time limit of the test runner names and ends it
// (scripts/test.d/40-time-limit). Disabled, so that only a run that asks for it by name starts it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace launcher {
namespace {

TEST(TimeLimit, DISABLED_HangsUntilTheLimitEndsIt) {
    ADD_FAILURE() << "a line recorded before the hang";
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

}  // namespace
}  // namespace launcher
