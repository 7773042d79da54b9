// Prints each argument it was given, as the C runtime split them, on a line of its own between
// brackets (so an empty argument still shows as a line).
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int glob, void* startup);

static std::vector<std::string> Arguments(int, char**) {
    int argc = 0;
    wchar_t** argv = nullptr;
    wchar_t** env = nullptr;
    int startup[1] = {0};
    __wgetmainargs(&argc, &argv, &env, 0, startup);
    std::vector<std::string> out;
    for (int i = 1; i < argc; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(n > 0 ? n - 1 : 0, '\0');
        if (n > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text.data(), n, nullptr, nullptr);
        out.push_back(text);
    }
    return out;
}
#else
static std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }
#endif

int main(int argc, char** argv) {
    for (const std::string& arg : Arguments(argc, argv)) std::printf("[%s]\n", arg.c_str());
    return 0;
}
