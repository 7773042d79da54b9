#pragma once

#include <string>
#include <vector>

#include "imgui.h"

struct ImGuiContext;
struct ImRect;

namespace launcher::test {

// What one frame submitted, as seen through Dear ImGui's test-engine hooks (the test copy of the library).
struct RecordedItem {
    ImGuiID id = 0;
    std::string label;  // as given, "##" suffix included
    bool disabled = false;
    bool checked = false;  // check boxes
    ImVec2 min, max;       // screen rectangle
};

struct RecordedText {
    std::string text;
    ImU32 color = 0;
};

// Records the items and texts of the frames run on one context. Attach it before the frame.
class ImGuiRecorder {
public:
    explicit ImGuiRecorder(ImGuiContext* context);
    ~ImGuiRecorder();
    ImGuiRecorder(const ImGuiRecorder&) = delete;
    ImGuiRecorder& operator=(const ImGuiRecorder&) = delete;

    // Forgets what was recorded (call before each frame to look at that frame alone).
    void Clear();

    const std::vector<RecordedItem>& items() const { return items_; }
    const std::vector<RecordedText>& texts() const { return texts_; }
    // The last item with this label (the text shown, without "##..."), or null.
    const RecordedItem* Find(const std::string& label) const;
    // True when some recorded text equals `text` (and has `color`, when given).
    bool HasText(const std::string& text) const;
    bool HasText(const std::string& text, ImU32 color) const;
    // True when some recorded text contains `part`.
    bool HasTextContaining(const std::string& part) const;

    // Hook entry points.
    void OnItemAdd(ImGuiID id, const ImRect& bb, bool disabled);
    void OnItemInfo(ImGuiID id, const char* label, int flags);
    void OnLog(const char* line);
    const char* DebugLabel(ImGuiID id) const;

private:
    ImGuiContext* context_;
    std::vector<RecordedItem> items_;
    std::vector<RecordedText> texts_;
};

}  // namespace launcher::test
