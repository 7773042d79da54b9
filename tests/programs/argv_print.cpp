// Prints each argument it was given, as the C runtime split them, on a line of its own between
// brackets (so an empty argument still shows as a line).
#include <cstdio>
#include <string>
#include <vector>

#include "stand_in.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args = stand_in::Arguments(argc, argv);
    for (size_t i = 1; i < args.size(); ++i) std::printf("[%s]\n", args[i].c_str());
    return 0;
}
