#include "support/stand_in.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/paths.h"
#include "support/test_support.h"

namespace launcher::test {

namespace fs = std::filesystem;

namespace {

fs::path Beside(const fs::path& program, const char* extension) {
    fs::path file = program.parent_path() / program.stem();
    file += extension;
    return file;
}

}  // namespace

void InstallStandIn(const std::string& name, const fs::path& target) {
    fs::create_directories(target.parent_path());
    std::error_code ec;
    fs::copy_file(TestProgram(name), target, fs::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << "cannot copy " << name << ": " << ec.message();
}

std::vector<StandInCall> StandInCalls(const fs::path& program, bool clear) {
    std::vector<StandInCall> calls;
    const fs::path record = Beside(program, ".calls");
    std::ifstream in(record, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (line == "call") {
            calls.emplace_back();
        } else if (calls.empty() || line == "end") {
            continue;
        } else if (line.rfind("arg ", 0) == 0) {
            calls.back().args.push_back(line.substr(4));
        } else if (line.rfind("cwd ", 0) == 0) {
            calls.back().cwd = Utf8Path(line.substr(4));
        } else if (line.rfind("env ", 0) == 0) {
            const size_t equals = line.find('=', 5);  // past the first character: "=C:" names start with '='
            if (equals != std::string::npos) calls.back().env[line.substr(4, equals - 4)] = line.substr(equals + 1);
        }
    }
    in.close();
    if (clear) {
        std::error_code ec;
        fs::remove(record, ec);
    }
    return calls;
}

void ControlStandIn(const fs::path& program, const std::string& text) {
    const fs::path control = Beside(program, ".control");
    std::error_code ec;
    if (text.empty()) {
        fs::remove(control, ec);
    } else {
        WriteFile(control, text);
    }
}

}  // namespace launcher::test
