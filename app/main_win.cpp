// The Windows program: one UI thread with a Win32 window, a Direct3D 11 swap chain (hardware, else WARP)
// and Dear ImGui's Win32 and Direct3D 11 backends.
#include <windows.h>
#include <d3d11.h>
#include <dwmapi.h>
#include <objbase.h>

#include <memory>
#include <string>

#include "app/app.h"
#include "app/frame.h"
#include "app/frame_loop.h"
#include "app/launcher.h"
#include "app/self_path.h"
#include "app/shell.h"
#include "imgui_impl_dx11.h"
#include "imgui_impl_win32.h"

extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

namespace {

using namespace launcher;

// The client size of the last resize, applied by the frame loop; 0 when none is pending (UI thread only).
UINT gPendingWidth = 0;
UINT gPendingHeight = 0;

std::filesystem::path FontsFolder() {
    wchar_t buffer[MAX_PATH];
    UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return std::filesystem::path(std::wstring(buffer, n)) / L"Fonts";
}

DeviceResult ResultOf(HRESULT hr) {
    if (SUCCEEDED(hr)) return DeviceResult::Ok;
    if (hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET) return DeviceResult::Lost;
    return DeviceResult::Failed;
}

struct Device final : FrameDevice {
    HWND window = nullptr;
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    IDXGISwapChain* swapChain = nullptr;
    ID3D11RenderTargetView* target = nullptr;
    bool guiReady = false;  // the GUI's Direct3D 11 backend runs on this device

    bool Create(HWND outputWindow) {
        window = outputWindow;
        DXGI_SWAP_CHAIN_DESC desc{};
        desc.BufferCount = 2;
        desc.BufferDesc.Width = 0;
        desc.BufferDesc.Height = 0;
        desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        desc.BufferDesc.RefreshRate.Numerator = 0;
        desc.BufferDesc.RefreshRate.Denominator = 0;
        desc.SampleDesc.Count = 1;
        desc.SampleDesc.Quality = 0;
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.OutputWindow = window;
        desc.Windowed = TRUE;
        desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
        desc.Flags = 0;
        const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
        D3D_FEATURE_LEVEL got{};
        for (D3D_DRIVER_TYPE driver : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
            HRESULT hr = D3D11CreateDeviceAndSwapChain(nullptr, driver, nullptr, 0, levels, 2, D3D11_SDK_VERSION,
                                                       &desc, &swapChain, &device, &got, &context);
            if (SUCCEEDED(hr)) {
                if (CreateTarget() == DeviceResult::Ok) return true;
                Release();
            }
        }
        return false;
    }

    DeviceResult CreateTarget() override {
        ReleaseTarget();
        ID3D11Texture2D* buffer = nullptr;
        HRESULT hr = swapChain->GetBuffer(0, IID_PPV_ARGS(&buffer));
        if (FAILED(hr)) return ResultOf(hr);
        hr = device->CreateRenderTargetView(buffer, nullptr, &target);
        buffer->Release();
        if (FAILED(hr)) target = nullptr;
        return ResultOf(hr);
    }

    DeviceResult ResizeBuffers(uint32_t width, uint32_t height) override {
        ReleaseTarget();
        return ResultOf(swapChain->ResizeBuffers(0, width, height, DXGI_FORMAT_UNKNOWN, 0));
    }

    bool Recreate() override {
        if (guiReady) ImGui_ImplDX11_Shutdown();
        guiReady = false;
        Release();
        if (!Create(window)) return false;
        guiReady = ImGui_ImplDX11_Init(device, context);
        return guiReady;
    }

    bool StillOccluded() override {
        return swapChain->Present(0, DXGI_PRESENT_TEST) == DXGI_STATUS_OCCLUDED;
    }

    // Draws the GUI's frame to the view and presents it with vertical sync.
    PresentResult RenderAndPresent() {
        context->OMSetRenderTargets(1, &target, nullptr);
        context->ClearRenderTargetView(target, kClearColor);
        ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
        const HRESULT hr = swapChain->Present(1, 0);
        if (hr == DXGI_STATUS_OCCLUDED) return PresentResult::Occluded;
        if (ResultOf(hr) == DeviceResult::Lost) return PresentResult::Lost;
        return PresentResult::Shown;
    }

    void ReleaseTarget() {
        if (target != nullptr) {
            target->Release();
            target = nullptr;
        }
    }

    void Release() {
        ReleaseTarget();
        if (swapChain != nullptr) swapChain->Release();
        if (context != nullptr) context->Release();
        if (device != nullptr) device->Release();
        swapChain = nullptr;
        context = nullptr;
        device = nullptr;
    }
};

LRESULT WINAPI WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (ImGui_ImplWin32_WndProcHandler(hwnd, msg, wParam, lParam)) return 1;
    switch (msg) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED) {
            gPendingWidth = LOWORD(lParam);
            gPendingHeight = HIWORD(lParam);
        }
        return 0;
    case WM_GETMINMAXINFO: {
        UINT dpi = GetDpiForWindow(hwnd);
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = static_cast<LONG>(dpi * 640u / 96u);
        info->ptMinTrackSize.y = static_cast<LONG>(dpi * 480u / 96u);
        return 0;
    }
    case WM_DPICHANGED: {
        const RECT* r = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(hwnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top, SWP_NOZORDER);
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    (void)CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    auto app = std::make_unique<App>();
    std::string err;
    if (!StartUp(*app, SelfExePath(), BuiltinGameJson(), err)) {
        MessageBoxW(nullptr, WidenUtf8(err).c_str(), L"Launcher", MB_ICONERROR);
        app.reset();
        return 1;
    }
    OpenPageForScreenshot(*app);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_CLASSDC;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    const std::wstring className = WidenUtf8(kWindowClassName);
    wc.lpszClassName = className.c_str();
    RegisterClassExW(&wc);

    const std::wstring title = WidenUtf8(WindowTitle(*app));
    HWND window = CreateWindowExW(0, className.c_str(), title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 100, 100, nullptr, nullptr, instance, nullptr);

    const float scale = static_cast<float>(GetDpiForWindow(window)) / 96.0f;
    const int width = static_cast<int>(kWindowWidth * scale);
    const int height = static_cast<int>(kWindowHeight * scale);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + ((work.right - work.left) - width) / 2;
    const int y = work.top + ((work.bottom - work.top) - height) / 2;
    SetWindowPos(window, nullptr, x, y, width, height, SWP_NOZORDER);

    const BOOL dark = TRUE;
    (void)DwmSetWindowAttribute(window, 20, &dark, sizeof dark);

    Device d3d;
    if (!d3d.Create(window)) {
        MessageBoxW(window, L"Direct3D 11 could not start.", title.c_str(), MB_ICONERROR);
        StopWorker(*app);
        DestroyWindow(window);
        UnregisterClassW(className.c_str(), instance);
        CoUninitialize();
        app.reset();
        return 1;
    }
    ShowWindow(window, SW_SHOWDEFAULT);

    ImFont* bold = SetUpGui(FontsFolder(), scale);
    ImGui_ImplWin32_Init(window);
    d3d.guiReady = ImGui_ImplDX11_Init(d3d.device, d3d.context);

    FrameLoop loop;
    bool ending = false;
    while (!ending) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (msg.message == WM_QUIT) ending = true;
        }
        if (ending) break;

        // A minimised or covered window is not drawn: Present returns at once then, and drawing anyway
        // would keep a core busy for nothing.
        const WindowState shown{IsWindowVisible(window) != FALSE, IsIconic(window) != FALSE};
        const bool draw = loop.Prepare(d3d, shown, gPendingWidth, gPendingHeight);
        if (draw) {
            ImGui_ImplDX11_NewFrame();
            ImGui_ImplWin32_NewFrame();
            ImGui::NewFrame();
            DrawUI(*app, window, bold);
            ImGui::Render();
            loop.Presented(d3d.RenderAndPresent());
        }

        if (RelaunchIfAsked(*app, SelfExePath())) break;
        if (!draw) MsgWaitForMultipleObjects(0, nullptr, FALSE, kIdleWaitMs, QS_ALLINPUT);
    }

    // A job that does not end in time does not keep the process, whose window is gone already (what it
    // leaves on disk is carried on or undone by the next run).
    if (!StopWorkerWithin(*app, kCloseWaitMs)) ExitProcess(0);
    if (d3d.guiReady) ImGui_ImplDX11_Shutdown();
    ImGui_ImplWin32_Shutdown();
    ImGui::DestroyContext();
    d3d.Release();
    CoUninitialize();
    app.reset();
    return 0;
}
