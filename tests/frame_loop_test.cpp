// The frame loop's decisions against a scripted device: a frame is drawn only when the window can be seen
// and a render-target view exists; failures of the device lead back to a drawable state instead of to a
// null view or a spinning loop.
#include "app/frame_loop.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace launcher {
namespace {

// Answers each call with the next scripted result (then Ok / true / false) and records the calls.
struct ScriptedDevice : FrameDevice {
    std::deque<DeviceResult> resizes, targets;
    std::deque<bool> recreations, occlusions;
    std::vector<std::string> calls;
    bool hasView = true;  // what a real device would hold

    DeviceResult ResizeBuffers(uint32_t width, uint32_t height) override {
        calls.push_back("resize " + std::to_string(width) + "x" + std::to_string(height));
        hasView = false;
        return Next(resizes, DeviceResult::Ok);
    }
    DeviceResult CreateTarget() override {
        calls.push_back("target");
        const DeviceResult r = Next(targets, DeviceResult::Ok);
        hasView = r == DeviceResult::Ok;
        return r;
    }
    bool Recreate() override {
        calls.push_back("recreate");
        const bool ok = Next(recreations, true);
        hasView = ok;
        return ok;
    }
    bool StillOccluded() override {
        calls.push_back("occluded?");
        return Next(occlusions, false);
    }

    template <class T>
    static T Next(std::deque<T>& script, T otherwise) {
        if (script.empty()) return otherwise;
        T value = script.front();
        script.pop_front();
        return value;
    }
};

// Runs one pass; a pass that draws must have a view to draw to, and presents with `present`.
struct Pass {
    WindowState window;
    uint32_t resizeTo = 0;  // a pending resize to resizeTo x 600
    PresentResult present = PresentResult::Shown;
    bool draws;
    std::vector<std::string> calls;
};

void RunPasses(ScriptedDevice& device, const std::vector<Pass>& passes) {
    FrameLoop loop;
    for (size_t i = 0; i < passes.size(); ++i) {
        SCOPED_TRACE("pass " + std::to_string(i + 1));
        const Pass& p = passes[i];
        uint32_t width = p.resizeTo;
        uint32_t height = p.resizeTo ? 600 : 0;
        device.calls.clear();
        const bool draws = loop.Prepare(device, p.window, width, height);
        EXPECT_EQ(draws, p.draws);
        EXPECT_EQ(device.calls, p.calls);
        EXPECT_EQ(width, 0u) << "a pending resize is taken once";
        if (draws) {
            EXPECT_TRUE(device.hasView) << "never draws to a missing view";
            loop.Presented(p.present);
        }
    }
}

void RunPasses(const char* name, const std::vector<Pass>& passes) {
    SCOPED_TRACE(name);
    ScriptedDevice device;
    RunPasses(device, passes);
}

const WindowState kShown{true, false};
const WindowState kMinimised{true, true};  // still "visible" to the system
const WindowState kHidden{false, false};

TEST(FrameLoop, WaitsWhileTheWindowCannotBeSeen) {
    RunPasses("minimised", {{kShown, 0, PresentResult::Shown, true, {}},
                            {kMinimised, 0, PresentResult::Shown, false, {}},
                            {kMinimised, 0, PresentResult::Shown, false, {}},
                            {kShown, 0, PresentResult::Shown, true, {}}});
    RunPasses("hidden", {{kHidden, 0, PresentResult::Shown, false, {}}});
    // Present said nothing could be seen: a test present decides about each next pass.
    SCOPED_TRACE("occluded");
    ScriptedDevice covered;
    covered.occlusions = {true, false};
    RunPasses(covered, {{kShown, 0, PresentResult::Occluded, true, {}},
                        {kShown, 0, PresentResult::Shown, false, {"occluded?"}},
                        {kShown, 0, PresentResult::Shown, true, {"occluded?"}},
                        {kShown, 0, PresentResult::Shown, true, {}}});
}

TEST(FrameLoop, ResizeThenDraw) {
    RunPasses("resize", {{kShown, 800, PresentResult::Shown, true, {"resize 800x600", "target"}},
                         {kShown, 0, PresentResult::Shown, true, {}}});
}

TEST(FrameLoop, DeviceFailuresLeadBackToADrawableState) {
    // Each case scripts the device and lists what the passes do.
    struct Case {
        const char* name;
        std::deque<DeviceResult> resizes, targets;
        std::deque<bool> recreations;
        std::vector<Pass> passes;
    };
    const std::vector<Case> cases = {
        {"failed resize keeps the old buffers and makes their view",
         {DeviceResult::Failed},
         {},
         {},
         {{kShown, 800, PresentResult::Shown, true, {"resize 800x600", "target"}}}},
        {"failed view is never drawn to; a new device follows",
         {},
         {DeviceResult::Failed},
         {},
         {{kShown, 800, PresentResult::Shown, false, {"resize 800x600", "target"}},
          {kShown, 0, PresentResult::Shown, true, {"recreate"}}}},
        {"device removed while resizing",
         {DeviceResult::Lost},
         {},
         {},
         {{kShown, 800, PresentResult::Shown, false, {"resize 800x600"}},
          {kShown, 0, PresentResult::Shown, true, {"recreate"}}}},
        {"device removed at present; making it again fails once",
         {},
         {},
         {false},
         {{kShown, 0, PresentResult::Lost, true, {}},
          {kShown, 0, PresentResult::Shown, false, {"recreate"}},
          {kShown, 800, PresentResult::Shown, true, {"recreate"}},
          {kShown, 0, PresentResult::Shown, true, {}}}},
        {"a lost device is made again even while minimised",
         {},
         {},
         {},
         {{kShown, 0, PresentResult::Lost, true, {}},
          {kMinimised, 0, PresentResult::Shown, false, {"recreate"}},
          {kShown, 0, PresentResult::Shown, true, {}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice device;
        device.resizes = c.resizes;
        device.targets = c.targets;
        device.recreations = c.recreations;
        RunPasses(device, c.passes);
    }
}

}  // namespace
}  // namespace launcher
