#include "support/imgui_recorder.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "imgui_internal.h"

namespace launcher::test {

namespace {

ImGuiRecorder* RecorderOf(ImGuiContext* ctx) {
    return ctx != nullptr ? static_cast<ImGuiRecorder*>(ctx->TestEngine) : nullptr;
}

// The text helpers of the pages tag their lines with this.
constexpr char kTextTag[] = "\x1fui-text\x1f";

std::string VisibleLabel(const std::string& label) {
    size_t cut = label.find("##");
    return cut == std::string::npos ? label : label.substr(0, cut);
}

}  // namespace

ImGuiRecorder::ImGuiRecorder(ImGuiContext* context) : context_(context) {
    context_->TestEngine = this;
    context_->TestEngineHookItems = true;
}

ImGuiRecorder::~ImGuiRecorder() {
    context_->TestEngine = nullptr;
    context_->TestEngineHookItems = false;
}

void ImGuiRecorder::Clear() {
    items_.clear();
    texts_.clear();
}

const RecordedItem* ImGuiRecorder::Find(const std::string& label) const {
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
        if (!it->label.empty() && VisibleLabel(it->label) == label) return &*it;
    }
    return nullptr;
}

bool ImGuiRecorder::HasText(const std::string& text) const {
    for (const RecordedText& t : texts_) {
        if (t.text == text) return true;
    }
    return false;
}

bool ImGuiRecorder::HasText(const std::string& text, ImU32 color) const {
    for (const RecordedText& t : texts_) {
        if (t.text == text && t.color == color) return true;
    }
    return false;
}

bool ImGuiRecorder::HasTextContaining(const std::string& part) const {
    for (const RecordedText& t : texts_) {
        if (t.text.find(part) != std::string::npos) return true;
    }
    return false;
}

void ImGuiRecorder::OnItemAdd(ImGuiID id, const ImRect& bb, bool disabled) {
    RecordedItem item;
    item.id = id;
    item.disabled = disabled;
    item.min = bb.Min;
    item.max = bb.Max;
    items_.push_back(item);
}

void ImGuiRecorder::OnItemInfo(ImGuiID id, const char* label, int flags) {
    // The info of an item follows its ItemAdd within the same widget call.
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
        if (it->id == id) {
            it->label = label != nullptr ? label : "";
            it->checked = (flags & ImGuiItemStatusFlags_Checked) != 0;
            return;
        }
    }
}

void ImGuiRecorder::OnLog(const char* line) {
    std::string text = line;
    if (text.rfind(kTextTag, 0) != 0) return;
    text.erase(0, sizeof kTextTag - 1);
    size_t sep = text.find('\x1f');
    if (sep == std::string::npos) return;
    RecordedText recorded;
    recorded.color = static_cast<ImU32>(std::strtoul(text.substr(0, sep).c_str(), nullptr, 16));
    recorded.text = text.substr(sep + 1);
    texts_.push_back(recorded);
}

const char* ImGuiRecorder::DebugLabel(ImGuiID id) const {
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
        if (it->id == id && !it->label.empty()) return it->label.c_str();
    }
    return nullptr;
}

}  // namespace launcher::test

// The hooks that the test copy of Dear ImGui calls (IMGUI_ENABLE_TEST_ENGINE).

void ImGuiTestEngineHook_ItemAdd(ImGuiContext* ctx, ImGuiID id, const ImRect& bb, const ImGuiLastItemData* item) {
    if (auto* recorder = launcher::test::RecorderOf(ctx)) {
        bool disabled = item != nullptr ? (item->InFlags & ImGuiItemFlags_Disabled) != 0
                                        : (ctx->CurrentItemFlags & ImGuiItemFlags_Disabled) != 0;
        recorder->OnItemAdd(id, bb, disabled);
    }
}

void ImGuiTestEngineHook_ItemInfo(ImGuiContext* ctx, ImGuiID id, const char* label, ImGuiItemStatusFlags flags) {
    if (auto* recorder = launcher::test::RecorderOf(ctx)) recorder->OnItemInfo(id, label, flags);
}

void ImGuiTestEngineHook_Log(ImGuiContext* ctx, const char* fmt, ...) {
    auto* recorder = launcher::test::RecorderOf(ctx);
    if (recorder == nullptr) return;
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n >= 0) {
        std::string line(static_cast<size_t>(n), '\0');
        std::vsnprintf(line.data(), line.size() + 1, fmt, args);
        recorder->OnLog(line.c_str());
    }
    va_end(args);
}

const char* ImGuiTestEngine_FindItemDebugLabel(ImGuiContext* ctx, ImGuiID id) {
    auto* recorder = launcher::test::RecorderOf(ctx);
    return recorder != nullptr ? recorder->DebugLabel(id) : nullptr;
}

void ImGuiTestAssertFailed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "Dear ImGui check failed: %s (%s:%d)\n", expression, file, line);
    std::abort();
}
