#pragma once

// The decisions of the Windows frame loop that do not need the device itself, kept apart so that they can
// be tried without a GPU: when to draw, when to wait, and how to come back from a failed resize, a view
// that could not be made or a device that the driver took away.

#include <cstdint>

namespace launcher {

// How a call on the device went. Lost: the device was removed or reset and must be made again.
enum class DeviceResult { Ok, Failed, Lost };
// What presenting a frame said. Occluded: nothing of the window can be seen (minimised, covered, locked).
enum class PresentResult { Shown, Occluded, Lost };

// The device and swap chain as the frame loop uses them; main_win.cpp implements it on Direct3D 11.
class FrameDevice {
public:
    virtual ~FrameDevice() = default;
    // Releases the render-target view and resizes the swap chain's buffers.
    virtual DeviceResult ResizeBuffers(uint32_t width, uint32_t height) = 0;
    // The render-target view of back buffer 0.
    virtual DeviceResult CreateTarget() = 0;
    // The device, its swap chain, the view and the GUI's device objects made anew.
    virtual bool Recreate() = 0;
    // A present that shows nothing: whether the window is still occluded.
    virtual bool StillOccluded() = 0;
};

struct WindowState {
    bool visible = true;  // shown at all
    bool iconic = false;  // minimised
};

class FrameLoop {
public:
    // Before a frame: applies a pending resize (clearing it), makes a missing view or a lost device
    // again. True when this pass should draw and present; false when it should wait for the next message
    // instead (the window cannot be seen, or the device is not ready to draw to).
    bool Prepare(FrameDevice& device, const WindowState& window, uint32_t& pendingWidth, uint32_t& pendingHeight);
    // After a present.
    void Presented(PresentResult result);

private:
    bool hasTarget_ = true;
    bool lost_ = false;
    bool occluded_ = false;
};

// The longest wait for a message while a frame is not drawn, in milliseconds: the loop still looks at a
// finished job and a relaunch this often.
inline constexpr unsigned kIdleWaitMs = 50;

}  // namespace launcher
