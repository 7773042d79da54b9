#include "platform/plain_file.h"

#include "platform/file_ops.h"

namespace launcher {

bool WritePlainFile(const std::filesystem::path& path, const std::string& bytes, std::string& err) {
    PlainFile file;
    return file.Create(path, err) && file.Write(bytes.data(), bytes.size(), err) && file.Close(err);
}

bool ReplaceFileWhole(const std::filesystem::path& file, const std::string& bytes, const char* suffix,
                      std::string& err) {
    std::filesystem::path temporary = file;
    temporary += suffix;
    if (WritePlainFile(temporary, bytes, err) && MoveReplacing(temporary, file, err)) return true;
    std::string ignored;
    RemovePlainFile(temporary, ignored);
    return false;
}

}  // namespace launcher
