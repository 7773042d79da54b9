#include "support/file_hold.h"

namespace launcher::test {

FileHold::~FileHold() = default;

bool FileHold::Hold(const std::filesystem::path&, Share) {
    return false;
}

void FileHold::Release() {}

}  // namespace launcher::test
