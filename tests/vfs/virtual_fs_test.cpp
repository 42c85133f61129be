// Navigation in a client's view of its share, and confinement to the share.
#include "vfs/virtual_fs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "platform/files.h"
#include "platform/names.h"
#include "tests/support/temp_tree.h"

namespace kadrel {
namespace {

namespace stdfs = std::filesystem;

class VirtualFsTest : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* dir : {"a/b/deep", "a/c", "a/x", "ab"}) tree.makeDirectory(dir);
        tree.writeFile("f.txt", "root file");
        tree.writeFile("a/f.txt", "a file");
        fs = newVirtualFs(tree.rootText(), true);
    }

    std::string pwd() {
        std::string directory;
        currentDirectory(*fs, directory);
        return directory;
    }

    void moveTo(const std::string& start) {
        ASSERT_TRUE(changeDirectory(*fs, start)) << start;
        ASSERT_EQ(pwd(), start);
    }

    test::TempTree tree;
    std::unique_ptr<VirtualFs> fs;
};

TEST_F(VirtualFsTest, ChangeDirectoryIsAllOrNothing) {
    struct Case {
        const char* start;
        const char* path;
        bool moved;
        const char* end;
    };
    const Case cases[] = {
        {"/", "", true, "/"},
        {"/", "..", false, "/"},
        {"/", "../", false, "/"},
        {"/", "../a", false, "/"},
        {"/", ".", true, "/"},
        {"/", "./a", true, "/a/"},
        {"/", "././a", true, "/a/"},
        {"/", "a", true, "/a/"},
        {"/", "a/b", true, "/a/b/"},
        {"/", "a/nope", false, "/"},
        {"/", "a/b/nope", false, "/"},
        {"/", "/a//b", true, "/a/b/"},
        {"/", "a//b", true, "/a/b/"},
        {"/", "f.txt", true, "/f.txt/"},  // a file's name passes
        {"/", "a/./b", true, "/a/./b/"},
        {"/", "a/../../b", false, "/"},
        {"/a/", "..", true, "/"},
        {"/a/", "../..", false, "/a/"},
        {"/a/b/", "../..", true, "/"},
        {"/a/b/", "../c", true, "/a/c/"},
        {"/a/b/", "../nope", false, "/a/b/"},
        {"/a/b/", "/a/c", true, "/a/c/"},
        {"/a/b/", "/a/nope", false, "/a/b/"},
        {"/a/b/", "/a/b/deep", true, "/a/b/deep/"},
        {"/a/b/", "/../x", false, "/a/b/"},
        {"/a/b/", "/", true, "/"},
        {"/a/b/", "deep/../../c", true, "/a/c/"},
        {"/a/x/", "/ab", true, "/ab/"},  // "/a/" does not lead "/ab/"
        {"/a/x/", "/ab/nope", false, "/a/x/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "from " << c.start << " to " << c.path);
        moveTo("/");
        moveTo(c.start);
        EXPECT_EQ(changeDirectory(*fs, c.path), c.moved);
        EXPECT_EQ(pwd(), c.end);
    }
}

TEST_F(VirtualFsTest, ADotComponentIsKeptAndClimbedLikeAnyName) {
    moveTo("/a/./b/");
    EXPECT_TRUE(changeDirectory(*fs, "../"));
    EXPECT_EQ(pwd(), "/a/./");
    EXPECT_TRUE(changeDirectory(*fs, "../"));
    EXPECT_EQ(pwd(), "/a/");
}

TEST_F(VirtualFsTest, AVanishedDirectoryClimbsToTheNearestExistingAncestor) {
    tree.makeDirectory("a/gone/too");
    moveTo("/a/gone/too/");
    stdfs::remove_all(tree.local("a/gone"));
    std::string directory;
    EXPECT_FALSE(currentDirectory(*fs, directory));
    EXPECT_EQ(directory, "/a/");
    EXPECT_TRUE(currentDirectory(*fs, directory));
    EXPECT_EQ(directory, "/a/");
}

TEST_F(VirtualFsTest, FilePathsResolveWithoutMovingTheClient) {
    struct Case {
        const char* path;
        bool ok;
        const char* local;  // relative to the share
    };
    const Case cases[] = {
        {"/f.txt", true, "f.txt"},          {"f.txt", true, "a/b/f.txt"},
        {"../f.txt", true, "a/f.txt"},      {"/a/f.txt", true, "a/f.txt"},
        {"x/f.txt", false, nullptr},        {"/nope/f.txt", false, nullptr},
        {"../../../f.txt", false, nullptr}, {"..", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        moveTo("/a/b/");
        std::string path = c.path;
        EXPECT_EQ(resolveFilePath(*fs, path), c.ok);
        if (c.ok) EXPECT_EQ(path, tree.local(c.local));
        EXPECT_EQ(pwd(), "/a/b/");
    }
    moveTo("/");
    std::string path = "a/f.txt";
    EXPECT_TRUE(resolveFilePath(*fs, path));
    EXPECT_EQ(path, tree.local("a/f.txt"));
}

TEST_F(VirtualFsTest, LongRunsOfSlashesAndDotsDoNotExhaustTheStack) {
    EXPECT_TRUE(changeDirectory(*fs, std::string(4600, '/') + "a"));
    EXPECT_EQ(pwd(), "/a/");
    std::string dots;
    for (int i = 0; i < 2300; ++i) dots += "./";
    EXPECT_TRUE(changeDirectory(*fs, dots + "b"));
    EXPECT_EQ(pwd(), "/a/b/");
}

#ifndef _WIN32
TEST_F(VirtualFsTest, PosixShareOfTheRootKeepsItsLeadingSlash) {
    auto rootFs = newVirtualFs("/", false);
    ASSERT_TRUE(changeDirectory(*rootFs, "tmp"));
    EXPECT_TRUE(changeDirectory(*rootFs, ".."));
    EXPECT_EQ(rootFs->localDir, "/");
    ASSERT_TRUE(changeDirectory(*rootFs, "/tmp"));
    EXPECT_EQ(rootFs->localDir, "/tmp");
    EXPECT_FALSE(changeDirectory(*rootFs, "../.."));
}
#endif

// True when `path` is `root` or lies below it, compared component by
// component after resolving ".." (and links, where the path exists).
bool isWithin(const stdfs::path& path, const stdfs::path& root) {
    std::error_code error;
    stdfs::path resolved = stdfs::weakly_canonical(path, error);
    if (error) resolved = path.lexically_normal();  // a name too long for the system
    auto [rootEnd, pathAt] =
        std::mismatch(root.begin(), root.end(), resolved.begin(), resolved.end());
    return rootEnd == root.end();
}

// Names a client might use to leave its share: CWD refuses them like missing
// names, and RETR either refuses them or names something inside the share.
TEST_F(VirtualFsTest, HostileNamesAreRefusedLikeMissingOnes) {
    const stdfs::path root = stdfs::canonical(tree.root());
    std::vector<std::string> hostile = {"..",     "../..",        "a/../..", "/..",
                                        "/../..", "a/b/../../..", "..\\..",  "..\\"};
#ifdef _WIN32
    for (const char* name :
         {"a\\..\\..", "C:\\",       "c:",   "C:..",     "\\",       "\\\\?\\C:\\", "NUL",   "con",
          "Con.txt",   "aux.tar.gz", "COM1", "lpt9.x",   "nul .txt", "...",         "..../", "a.",
          "a ",        ". .",        ".. ",  "x::$DATA", "*",        "a?"}) {
        hostile.push_back(name);
    }
#else
    hostile.push_back(std::string(1, '\0'));
    hostile.push_back(std::string("a\0/..", 5));
#endif
    for (const std::string& name : hostile) {
        SCOPED_TRACE(name);
        moveTo("/");
        EXPECT_FALSE(changeDirectory(*fs, name));
        EXPECT_EQ(pwd(), "/");
        for (const char* start : {"/", "/a/"}) {
            moveTo(start);
            for (std::string path : {name, "b/" + name, "/" + name}) {
                if (resolveFilePath(*fs, path)) EXPECT_TRUE(isWithin(path, root)) << path;
                EXPECT_EQ(pwd(), start);
            }
        }
    }
    std::string parent = "..";
    EXPECT_FALSE(resolveFilePath(*fs, parent));
}

TEST(PlainNames, WindowsRules) {
    for (const char* plain : {"", ".", "a", "a.txt", "a b", ".hidden", "con2", "lpt10", "CONSOLE",
                              "nul_", "a..b", "\xe9t\xe9"}) {
        EXPECT_TRUE(platform::isPlainWindowsName(plain)) << plain;
    }
    for (const char* refused :
         {"..",  "...",     "a.",  "a ",       ". ",    "a\\b",    "c:",     "a:b",
          "NUL", "nul.txt", "CoN", "com9.tar", "LPT1 ", "lpt1 .x", "CONIN$", "a*",
          "a?",  "a<b",     "a|b", "a\"b",     "a\tb",  "a/b"}) {
        EXPECT_FALSE(platform::isPlainWindowsName(refused)) << refused;
    }
}

TEST(PlainNames, PosixRules) {
    for (const char* plain : {"", ".", "...", "a\\b", "c:", "NUL", "a ", "a."}) {
        EXPECT_TRUE(platform::isPlainPosixName(plain)) << plain;
    }
    EXPECT_FALSE(platform::isPlainPosixName(".."));
    EXPECT_FALSE(platform::isPlainPosixName("a/b"));
    EXPECT_FALSE(platform::isPlainPosixName(std::string("a\0b", 3)));
}

TEST_F(VirtualFsTest, GeneratedPathsNeverLeaveTheShare) {
    const std::vector<std::string> tokens = {"..",       ".",
                                             "",         "a",
                                             "b",        "c",
                                             "x",        "ab",
                                             "deep",     "f.txt",
                                             "...",      ". ",
                                             " ",        "\\",
                                             "..\\..",   ":",
                                             "C:",       "C:\\",
                                             "NUL",      "con.txt",
                                             "a.",       std::string(300, 'n'),
                                             "..\\f.txt"};
    const stdfs::path root = stdfs::canonical(tree.root());
    std::mt19937 random(20261210);
    for (int round = 0; round < 3000; ++round) {
        std::string path = random() % 3 == 0 ? "/" : "";
        int parts = 1 + static_cast<int>(random() % 6);
        for (int i = 0; i < parts; ++i) {
            if (i > 0) path += random() % 8 == 0 ? "//" : "/";
            path += tokens[random() % tokens.size()];
        }
        SCOPED_TRACE(path);
        changeDirectory(*fs, path);
        ASSERT_TRUE(isWithin(fs->localDir, root)) << fs->localDir;
        std::string file = path;
        if (resolveFilePath(*fs, file)) {
            ASSERT_TRUE(isWithin(file, root)) << file;
        }
        ASSERT_TRUE(isWithin(fs->localDir, root)) << fs->localDir;
        if (round % 50 == 0) changeDirectory(*fs, "/");
    }
}

}  // namespace
}  // namespace kadrel
