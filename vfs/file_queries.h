// Questions about local paths, asked of the file system at the moment of the
// call: nothing is cached, nothing on disk is changed.
#pragma once

#include <cstdint>
#include <string>

namespace kadrel {

// The path names an existing file or directory.
bool pathExists(std::string path);

// The path names a file of a type the system runs.
bool isExecutable(std::string path);

// The size in bytes, or -1 when nothing is found.
std::int64_t fileSize(std::string path);

// fileSize in decimal ("-1" when nothing is found).
std::string fileSizeText(std::string path);

}  // namespace kadrel
