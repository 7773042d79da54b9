#include "platform/plain_file.h"

namespace launcher {

bool WritePlainFile(const std::filesystem::path& path, const std::string& bytes, std::string& err) {
    PlainFile file;
    return file.Create(path, err) && file.Write(bytes.data(), bytes.size(), err) && file.Close(err);
}

}  // namespace launcher
