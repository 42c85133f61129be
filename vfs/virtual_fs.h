// A logged-in client's view of its share: the virtual directory it sees
// ("/" is the share itself) and the local directory behind it, moving in
// step. Going up stops at "/", and no name a client sends can lead outside
// the share.
#pragma once

#include <memory>
#include <string>

namespace kadrel {

// Ties a local directory to the virtual directory under which it is seen.
struct MountPoint {
    std::string localDir;
    std::string virtualDir;
    MountPoint* prev = nullptr;
    std::unique_ptr<MountPoint> next;
};

struct VirtualFs {
    bool writable = false;  // shown as the owner's write permission in listings
    std::unique_ptr<MountPoint> firstMount;
    std::string virtualDir;  // begins with "/"; held with or without a final "/"
    std::string localDir;    // the share text plus one component per level
};

enum class PathKind { virtualPath, localPath };

// A view rooted at the share, standing at "/". The share is neither tested
// nor normalised.
std::unique_ptr<VirtualFs> newVirtualFs(std::string share, bool writable);

// Moves by an absolute or relative virtual path; all or nothing. True when
// moved, or for an empty path.
bool changeDirectory(VirtualFs& fs, std::string path);

// Enters one component ("name/", or "../" to go up); false when the name
// does not exist or is not a plain name of the local file system.
bool enterDirectory(VirtualFs& fs, std::string component);

// Goes up one level; false at the root. Asks nothing of the file system.
bool goUp(VirtualFs& fs);

// Removes the last component of a virtual or local path text; false when
// there is nothing to remove (the virtual "/", a drive root "C:\", or the
// POSIX root "/").
bool stripLastComponent(std::string& text, PathKind kind);

void ensureTrailingSlash(std::string& text);

// Ends the local directory with the local separator ("\" on Windows).
void ensureTrailingBackslash(VirtualFs& fs);

// The current virtual directory, beginning and ending with "/". When the
// local directory has vanished, first climbs to the nearest existing
// ancestor (for good) and returns false.
bool currentDirectory(VirtualFs& fs, std::string& out);

// Replaces a virtual file path by the local path of that file. False when
// its directory part cannot be entered or its name is not a plain name; the
// path is then not to be used. The current directory is unchanged afterwards.
bool resolveFilePath(VirtualFs& fs, std::string& path);

}  // namespace kadrel
