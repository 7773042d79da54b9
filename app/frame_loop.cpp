#include "app/frame_loop.h"

namespace launcher {

bool FrameLoop::Prepare(FrameDevice& device, const WindowState& window, uint32_t& pendingWidth,
                        uint32_t& pendingHeight) {
    if (lost_) {
        if (!device.Recreate()) return false;  // tried again after the next wait
        lost_ = false;
        hasTarget_ = true;
        occluded_ = false;
        // A new swap chain takes the window's size as it is now.
        pendingWidth = pendingHeight = 0;
    }
    if (pendingWidth != 0) {
        const DeviceResult resized = device.ResizeBuffers(pendingWidth, pendingHeight);
        pendingWidth = pendingHeight = 0;
        hasTarget_ = false;
        if (resized == DeviceResult::Lost) {
            lost_ = true;
            return false;
        }
        // After a plain failure the buffers keep their old size, which a view can still be made of.
    }
    if (!hasTarget_) {
        const DeviceResult made = device.CreateTarget();
        if (made != DeviceResult::Ok) {
            // Never draw to a missing view: start from a new device instead.
            lost_ = true;
            return false;
        }
        hasTarget_ = true;
    }
    if (!window.visible || window.iconic) return false;
    if (occluded_) {
        if (device.StillOccluded()) return false;
        occluded_ = false;
    }
    return true;
}

void FrameLoop::Presented(PresentResult result) {
    if (result == PresentResult::Occluded) occluded_ = true;
    if (result == PresentResult::Lost) lost_ = true;
}

}  // namespace launcher
