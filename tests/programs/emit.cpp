// Does what its arguments say, in order, flushing after each:
//   out:TEXT  writes TEXT to stdout (\r, \n and \\ are escapes)   err:TEXT  the same to stderr
//   sleep:MS  pauses        exit:N  ends with code N               env  prints every variable, one a line
//   cwd       prints the current folder                            lines:N  prints N numbered lines
//   stdin     reads its input to the end, then prints "stdin: N bytes"
//   tty       prints "tty: none" unless it can open its controlling terminal ("tty: open"; POSIX only)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

static std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[++i];
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

static void PrintEnvironment() {
#ifdef _WIN32
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; p != nullptr && *p != L'\0'; p += wcslen(p) + 1) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, p, -1, nullptr, 0, nullptr, nullptr);
        std::string text(n > 0 ? n - 1 : 0, '\0');
        if (n > 1) WideCharToMultiByte(CP_UTF8, 0, p, -1, text.data(), n, nullptr, nullptr);
        std::printf("%s\n", text.c_str());
    }
    if (strings != nullptr) FreeEnvironmentStringsW(strings);
#else
    for (char** e = environ; *e != nullptr; ++e) std::printf("%s\n", *e);
#endif
}

int main(int argc, char** argv) {
#ifdef _WIN32
    // Bytes as given: no LF to CR LF translation.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    for (int i = 1; i < argc; ++i) {
        const std::string op = argv[i];
        const std::size_t colon = op.find(':');
        const std::string verb = op.substr(0, colon);
        const std::string value = colon == std::string::npos ? std::string() : op.substr(colon + 1);
        if (verb == "out") {
            std::fputs(Unescape(value).c_str(), stdout);
        } else if (verb == "err") {
            std::fputs(Unescape(value).c_str(), stderr);
        } else if (verb == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(value.c_str())));
        } else if (verb == "exit") {
            std::fflush(stdout);
            std::fflush(stderr);
            return std::atoi(value.c_str());
        } else if (verb == "env") {
            PrintEnvironment();
        } else if (verb == "cwd") {
            std::printf("%s\n", std::filesystem::current_path().string().c_str());
        } else if (verb == "stdin") {
            std::size_t bytes = 0;
            char block[4096];
            for (std::size_t n; (n = std::fread(block, 1, sizeof block, stdin)) > 0;) bytes += n;
            std::printf("stdin: %zu bytes\n", bytes);
        } else if (verb == "tty") {
#ifdef _WIN32
            std::printf("tty: none\n");
#else
            const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY);
            std::printf("tty: %s\n", fd >= 0 ? "open" : "none");
            if (fd >= 0) ::close(fd);
#endif
        } else if (verb == "lines") {
            const int n = std::atoi(value.c_str());
            for (int k = 0; k < n; ++k) std::printf("line %d of a longer output\n", k);
        } else {
            std::fprintf(stderr, "emit: unknown operation %s\n", op.c_str());
            return 99;
        }
        std::fflush(stdout);
        std::fflush(stderr);
    }
    return 0;
}
