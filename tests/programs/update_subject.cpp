// Stands in for a launcher executable that is replaced while it runs.
//   update_subject wait FLAG   runs until FLAG exists (at most 30 s), then exits 0
//   update_subject say         exits 3 at once
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "say") return 3;
    if (argc >= 3 && std::string(argv[1]) == "wait") {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::error_code ec;
        while (!std::filesystem::exists(argv[2], ec)) {
            if (std::chrono::steady_clock::now() > end) return 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return 0;
    }
    return 2;
}
