#include "support/terminal.h"

#include <cstdlib>

#include "platform/paths.h"
#include "support/test_support.h"

namespace launcher::test {

bool ReadTerminalTask(nlohmann::json& task) {
    const char* file = std::getenv(kTerminalTaskVariable);
    if (file == nullptr || *file == '\0') return false;
    task = nlohmann::json::parse(ReadFile(Utf8Path(file)), nullptr, false);
    return task.is_object();
}

void WriteTerminalResult(const nlohmann::json& task, const std::string& text) {
    WriteFile(Utf8Path(task.value("result", "")), text);
}

}  // namespace launcher::test
