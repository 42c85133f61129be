// A temporary directory tree for tests, removed when the fixture ends.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kadrel::test {

class TempTree {
  public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::filesystem::path& root() const { return root_; }
    // The root as a local path text, without a final separator.
    std::string rootText() const;
    // The local path text of a relative name ('/' separated) below the root.
    std::string local(std::string_view relative) const;

    void makeDirectory(std::string_view relative) const;
    void writeFile(std::string_view relative, std::string_view contents) const;

  private:
    std::filesystem::path root_;
};

}  // namespace kadrel::test
