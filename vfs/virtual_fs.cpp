#include "vfs/virtual_fs.h"

#include <deque>

#include "platform/files.h"
#include "platform/names.h"
#include "vfs/file_queries.h"

namespace kadrel {
namespace {

constexpr char kLocalSeparator = platform::kPathSeparator;

const MountPoint& lastMount(const VirtualFs& fs) {
    const MountPoint* node = fs.firstMount.get();
    while (node->next) node = node->next.get();
    return *node;
}

void stripVirtual(std::string& text) {
    if (text.back() == '/') text.pop_back();
    text.erase(text.rfind('/') + 1);
}

bool stripLocal(std::string& text) {
#ifdef _WIN32
    // A drive root such as "C:\" has nothing left to strip.
    if (text.size() == 3) return false;
#else
    if (text == "/") return false;
#endif
    if (!text.empty() && text.back() == kLocalSeparator) text.pop_back();
    std::size_t last = text.rfind(kLocalSeparator);
    if (last == std::string::npos) return true;
#ifndef _WIN32
    // Never strip the leading "/" of an absolute path: a share of "/" works.
    if (last == 0) {
        text.erase(1);
        return true;
    }
#endif
    text.erase(last);
    return true;
}

// An absolute path: climb to the deepest common directory, then go on from
// there relative to it. Undoes the climb when the rest fails.
bool changeToAbsolute(VirtualFs& fs, const std::string& path) {
    std::string common = fs.virtualDir;  // ends with "/"
    std::deque<std::string> climbed;     // shallowest first
    while (!path.starts_with(common)) {
        common.pop_back();
        std::size_t slash = common.rfind('/');
        climbed.push_front(common.substr(slash + 1));
        common.erase(slash + 1);
    }
    for (std::size_t i = 0; i < climbed.size(); ++i) goUp(fs);
    std::string rest = path.substr(common.size());
    if (rest.starts_with("/")) rest.erase(0, 1);
    if (changeDirectory(fs, rest)) return true;
    for (const std::string& name : climbed) enterDirectory(fs, name);
    return false;
}

bool changeUpThenOn(VirtualFs& fs, const std::string& path) {
    std::string current = fs.virtualDir;
    current.pop_back();
    if (current.empty()) return false;  // at the root
    std::string currentName = current.substr(current.rfind('/') + 1);
    if (goUp(fs) && changeDirectory(fs, path.substr(3))) return true;
    enterDirectory(fs, currentName);
    return false;
}

bool changeRelative(VirtualFs& fs, std::string path) {
    std::string start = fs.virtualDir;
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/')) {
        std::string component = path.substr(0, slash + 1);
        path.erase(0, slash + 1);
        if (!enterDirectory(fs, component)) {
            changeDirectory(fs, start);
            return false;
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<VirtualFs> newVirtualFs(std::string share, bool writable) {
    auto root = std::make_unique<MountPoint>(MountPoint{share, std::string(1, '/'), nullptr, {}});
    return std::make_unique<VirtualFs>(
        VirtualFs{writable, std::move(root), std::string(1, '/'), std::move(share)});
}

bool changeDirectory(VirtualFs& fs, std::string path) {
    // A leading "./" is dropped, as often as it stands there.
    while (true) {
        if (path.empty()) return true;
        ensureTrailingSlash(fs.virtualDir);
        ensureTrailingSlash(path);
        if (path.front() == '/') return changeToAbsolute(fs, path);
        if (!path.starts_with("./")) break;
        path.erase(0, 2);
    }
    if (path.starts_with("../")) return changeUpThenOn(fs, path);
    return changeRelative(fs, std::move(path));
}

bool enterDirectory(VirtualFs& fs, std::string component) {
    if (component == "../") return goUp(fs);
    std::string name;
    for (char c : component) {
        if (c != '/') name += c;
    }
    ensureTrailingSlash(fs.virtualDir);
    ensureTrailingBackslash(fs);
    // A name the file system would read as a parent, another root, a device
    // or several levels is refused like a missing one: it would leave the
    // share or break the step between the two directories.
    if (!platform::isPlainName(name)) return false;
    if (!pathExists(fs.localDir + name)) return false;
    fs.localDir += name;
    fs.virtualDir += name;
    return true;
}

bool goUp(VirtualFs& fs) {
    const MountPoint& last = lastMount(fs);
    if (last.virtualDir == fs.virtualDir && &last == fs.firstMount.get()) return false;
    stripLastComponent(fs.virtualDir, PathKind::virtualPath);
    stripLastComponent(fs.localDir, PathKind::localPath);
    return true;
}

bool stripLastComponent(std::string& text, PathKind kind) {
    if (kind == PathKind::localPath) return stripLocal(text);
    if (text.size() <= 1) return false;
    stripVirtual(text);
    return true;
}

void ensureTrailingSlash(std::string& text) {
    if (text.empty() || text.back() != '/') text += '/';
}

void ensureTrailingBackslash(VirtualFs& fs) {
    if (fs.localDir.empty() || fs.localDir.back() != kLocalSeparator)
        fs.localDir += kLocalSeparator;
}

bool currentDirectory(VirtualFs& fs, std::string& out) {
    bool existed = pathExists(fs.localDir);
    if (!existed) {
        while (goUp(fs) && !pathExists(fs.localDir)) {
        }
    }
    ensureTrailingSlash(fs.virtualDir);
    out = fs.virtualDir;
    return existed;
}

bool resolveFilePath(VirtualFs& fs, std::string& path) {
    if (!path.empty() && path.back() == '/') path.pop_back();
    std::size_t slash = path.rfind('/');
    std::string directory;
    std::string name = path;
    if (slash != std::string::npos) {
        directory = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
    std::string start = fs.virtualDir;
    bool ok = changeDirectory(fs, directory) && platform::isPlainName(name);
    ensureTrailingBackslash(fs);
    path = fs.localDir + name;
    changeDirectory(fs, start);
    return ok;
}

}  // namespace kadrel
