#include "vfs/file_queries.h"

#include "platform/files.h"

namespace kadrel {

bool pathExists(std::string path) {
    return platform::pathExists(path);
}

bool isExecutable(std::string path) {
    return platform::isExecutable(path);
}

std::int64_t fileSize(std::string path) {
    return platform::fileSize(path);
}

std::string fileSizeText(std::string path) {
    return std::to_string(fileSize(std::move(path)));
}

}  // namespace kadrel
