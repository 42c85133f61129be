#include "tests/support/temp_tree.h"

#include <atomic>
#include <fstream>
#include <random>

#include "platform/files.h"

namespace kadrel::test {
namespace fs = std::filesystem;

TempTree::TempTree() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    std::string name =
        "kadrel-test-" + std::to_string(random()) + "-" + std::to_string(counter.fetch_add(1));
    root_ = fs::temp_directory_path() / name;
    fs::create_directories(root_);
}

TempTree::~TempTree() {
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
}

std::string TempTree::rootText() const {
    return root_.string();
}

std::string TempTree::local(std::string_view relative) const {
    std::string text = rootText();
    if (relative.empty()) return text;
    text += platform::kPathSeparator;
    for (char c : relative) text += c == '/' ? platform::kPathSeparator : c;
    return text;
}

void TempTree::makeDirectory(std::string_view relative) const {
    fs::create_directories(local(relative));
}

void TempTree::writeFile(std::string_view relative, std::string_view contents) const {
    std::ofstream out(local(relative), std::ios::binary);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

}  // namespace kadrel::test
