// Writes "started" into marker.txt in its current folder, so a test can see that it ran, and where.
#include <cstdio>
#include <fstream>

int main() {
    std::ofstream("marker.txt.part") << "started";
    // Renamed into place so a reader never sees a half-written file.
    return std::rename("marker.txt.part", "marker.txt") == 0 ? 0 : 1;
}
