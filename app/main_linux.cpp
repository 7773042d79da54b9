// The Linux stand-in of the Windows program: the same start-up, frame loop and shut-down, with a GLFW
// window and Dear ImGui's OpenGL 3 backend in place of the Win32 window and Direct3D 11.
#include <GLFW/glfw3.h>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "app/app.h"
#include "app/frame.h"
#include "app/frame_loop.h"
#include "app/launcher.h"
#include "app/self_path.h"
#include "imgui_impl_glfw.h"
#include "imgui_impl_opengl3.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer build of the window program: the OpenGL driver (Mesa's JIT) keeps allocations to the end of
// the process, which the leak checker would report on every close. The tests keep leak checking on.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}
#endif

namespace {

using namespace launcher;

volatile std::sig_atomic_t gTerminate = 0;

// A session that ends sends SIGTERM: close the window the same way as its close button.
void OnTerminate(int) {
    gTerminate = 1;
}

// Where Tahoma would be: no Windows fonts folder here, so the usual places of the Windows font files on
// Linux (Wine's own Tahoma among them); the built-in font when none has them.
std::filesystem::path FontsFolder() {
    std::vector<std::filesystem::path> candidates;
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        candidates.push_back(std::filesystem::path(home) / ".local/share/fonts");
        candidates.push_back(std::filesystem::path(home) / ".fonts");
    }
    candidates.push_back("/usr/share/fonts/truetype/msttcorefonts");
    candidates.push_back("/usr/share/fonts/truetype/tahoma");
    candidates.push_back("/usr/share/wine/fonts");
    for (const std::filesystem::path& folder : candidates) {
        std::error_code ec;
        if (std::filesystem::exists(folder / "tahoma.ttf", ec)) return folder;
    }
    return {};
}

void GlfwError(int code, const char* text) {
    std::fprintf(stderr, "launcher: GLFW error %d: %s\n", code, text);
}

}  // namespace

int main() {
    std::signal(SIGTERM, OnTerminate);
    std::signal(SIGINT, OnTerminate);

    auto app = std::make_unique<App>();
    std::string err;
    if (!StartUp(*app, SelfExePath(), BuiltinGameJson(), err)) {
        std::fprintf(stderr, "Launcher: %s\n", err.c_str());
        app.reset();
        return 1;
    }
    OpenPageForScreenshot(*app);

    glfwSetErrorCallback(GlfwError);
    GLFWwindow* window = nullptr;
    if (glfwInit()) {
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 0);
        glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
        window = glfwCreateWindow(100, 100, WindowTitle(*app).c_str(), nullptr, nullptr);
    }
    if (window == nullptr) {
        std::fprintf(stderr, "%s: OpenGL 3 could not start.\n", WindowTitle(*app).c_str());
        StopWorker(*app);
        glfwTerminate();
        app.reset();
        return 1;
    }

    // The scale is fixed for the run, like the Windows program's DPI at creation.
    float scale = 1.0f;
    GLFWmonitor* monitor = glfwGetPrimaryMonitor();
    if (monitor != nullptr) {
        float yscale = 1.0f;
        glfwGetMonitorContentScale(monitor, &scale, &yscale);
        if (scale <= 0.0f) scale = 1.0f;
    }
    const int width = static_cast<int>(kWindowWidth * scale);
    const int height = static_cast<int>(kWindowHeight * scale);
    glfwSetWindowSizeLimits(window, static_cast<int>(640 * scale), static_cast<int>(480 * scale), GLFW_DONT_CARE,
                            GLFW_DONT_CARE);
    glfwSetWindowSize(window, width, height);
    if (monitor != nullptr) {
        int left = 0, top = 0, workWidth = 0, workHeight = 0;
        glfwGetMonitorWorkarea(monitor, &left, &top, &workWidth, &workHeight);
        glfwSetWindowPos(window, left + (workWidth - width) / 2, top + (workHeight - height) / 2);
    }
    glfwMakeContextCurrent(window);
    glfwSwapInterval(1);
    glfwShowWindow(window);

    ImFont* bold = SetUpGui(FontsFolder(), scale);
    ImGui_ImplGlfw_InitForOpenGL(window, true);
    ImGui_ImplOpenGL3_Init("#version 130");

    for (;;) {
        glfwPollEvents();
        if (gTerminate) glfwSetWindowShouldClose(window, GLFW_TRUE);
        if (glfwWindowShouldClose(window)) break;

        // A window that cannot be seen is not drawn (a swap returns at once then): wait for events.
        const bool hidden = !glfwGetWindowAttrib(window, GLFW_VISIBLE) || glfwGetWindowAttrib(window, GLFW_ICONIFIED);
        if (hidden) {
            if (RelaunchIfAsked(*app, SelfExePath())) break;
            glfwWaitEventsTimeout(kIdleWaitMs / 1000.0);
            continue;
        }

        ImGui_ImplOpenGL3_NewFrame();
        ImGui_ImplGlfw_NewFrame();
        ImGui::NewFrame();
        DrawUI(*app, window, bold);
        ImGui::Render();

        int fbWidth = 0, fbHeight = 0;
        glfwGetFramebufferSize(window, &fbWidth, &fbHeight);
        glViewport(0, 0, fbWidth, fbHeight);
        glClearColor(kClearColor[0], kClearColor[1], kClearColor[2], kClearColor[3]);
        glClear(GL_COLOR_BUFFER_BIT);
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
        glfwSwapBuffers(window);

        if (RelaunchIfAsked(*app, SelfExePath())) break;
    }

    // The window goes at once, whatever the job is still doing; a job that does not end in time does
    // not keep the process (what it leaves on disk is carried on or undone by the next run).
    glfwHideWindow(window);
    if (!StopWorkerWithin(*app, kCloseWaitMs)) std::_Exit(0);
    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplGlfw_Shutdown();
    ImGui::DestroyContext();
    glfwDestroyWindow(window);
    glfwTerminate();
    app.reset();
    return 0;
}
