// The file-system seam: existence, executables, sizes, directory search,
// reading.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/temp_tree.h"

namespace kadrel::platform {
namespace {

class Files : public testing::Test {
  protected:
    void SetUp() override {
        tree.makeDirectory("dir");
        tree.writeFile("text.txt", "hello");
        tree.writeFile("empty", "");
    }
    test::TempTree tree;
};

TEST_F(Files, ExistenceOfFilesAndDirectories) {
    const std::pair<std::string, bool> cases[] = {
        {tree.local("dir"), true},
        {tree.local("dir") + kPathSeparator, true},
        {tree.local("text.txt"), true},
        {tree.local("missing"), false},
        {tree.local("text.txt") + kPathSeparator + "below", false},
        {tree.local(std::string(5000, 'n')), false},  // rejected by the system
        {std::string(tree.local("text.txt")) + std::string(1, '\0') + "x", true},  // ends at NUL
    };
    for (const auto& [path, exists] : cases) EXPECT_EQ(pathExists(path), exists) << path;
}

TEST_F(Files, SizesAreExactAndSixtyFourBit) {
    EXPECT_EQ(fileSize(tree.local("text.txt")), 5);
    EXPECT_EQ(fileSize(tree.local("empty")), 0);
    EXPECT_EQ(fileSize(tree.local("missing")), -1);
    // Sparse where the file system allows it: no real disk use.
    for (std::uintmax_t size : {3ull << 30, 1ull << 32, (1ull << 32) + 7}) {
        std::filesystem::resize_file(tree.local("empty"), size);
        EXPECT_EQ(fileSize(tree.local("empty")), static_cast<std::int64_t>(size));
    }
}

TEST_F(Files, TextFilesAndMissingPathsAreNotExecutable) {
    EXPECT_FALSE(isExecutable(tree.local("text.txt")));
    EXPECT_FALSE(isExecutable(tree.local("missing")));
}

#ifndef _WIN32
TEST_F(Files, PosixExecutableIsARegularFileWithAnExecuteBit) {
    namespace fs = std::filesystem;
    tree.writeFile("run.sh", "#!/bin/sh\n");
    fs::permissions(tree.local("run.sh"), fs::perms::owner_exec, fs::perm_options::add);
    fs::permissions(tree.local("dir"), fs::perms::all, fs::perm_options::add);
    EXPECT_TRUE(isExecutable(tree.local("run.sh")));
    EXPECT_FALSE(isExecutable(tree.local("dir")));
}
#endif

#ifdef _WIN32
TEST_F(Files, WindowsExecutableIsAFileWithAProgramHeader) {
    namespace fs = std::filesystem;
    const char* systemRoot = std::getenv("SystemRoot");
    ASSERT_NE(systemRoot, nullptr);
    const fs::path program = fs::path(systemRoot) / "System32" / "cmd.exe";
    fs::copy_file(program, tree.local("tool.exe"));
    tree.writeFile("fake.exe", "not a program");
    const std::pair<const char*, bool> cases[] = {
        {"tool.exe", true}, {"fake.exe", false}, {"dir", false}};
    for (const auto& [name, executable] : cases) {
        EXPECT_EQ(isExecutable(tree.local(name)), executable) << name;
    }
}
#endif

// The directory search answers the executable question without asking it
// per path where it can; the answers must be those of the per-path query,
// entry by entry, over names and contents chosen to tempt a shortcut.
TEST_F(Files, DirectorySearchAnswersTheExecutableQuestionAsThePathQueryDoes) {
    namespace fs = std::filesystem;
    test::TempTree many;
#ifdef _WIN32
    auto slurp = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const char* systemRoot = std::getenv("SystemRoot");
    ASSERT_NE(systemRoot, nullptr);
    const fs::path system = fs::path(systemRoot) / "System32";
    const std::pair<const char*, std::string> contents[] = {
        {"console", slurp(system / "cmd.exe")},
        {"library", slurp(system / "kernel32.dll")},
        {"mz64", "MZ" + std::string(62, '\0')},
        {"mz63", "MZ" + std::string(61, '\0')},
        {"mz2", "MZ"},
        {"text", std::string(100, 't')},
        {"batch", "@echo off\r\n"},
        {"empty", ""},
    };
    const char* extensions[] = {"",     ".exe",  ".EXE",     ".Exe",     ".com",   ".COM",
                                ".cOm", ".bat",  ".BAT",     ".cmd",     ".Cmd",   ".pif",
                                ".PIF", ".scr",  ".dll",     ".txt",     ".ex",    ".exe2",
                                ".c m", ".x.co", ".exe.txt", ".txt.exe", ".\xe9xe"};
    for (const auto& [stem, bytes] : contents) {
        for (const char* extension : extensions)
            many.writeFile(stem + std::string(extension), bytes);
    }
    many.makeDirectory("folder.exe");
#else
    many.writeFile("plain", "#!/bin/sh\n");
    many.writeFile("run", "#!/bin/sh\n");
    many.writeFile("group-run", "#!/bin/sh\n");
    fs::permissions(many.local("run"), fs::perms::owner_exec, fs::perm_options::add);
    fs::permissions(many.local("group-run"), fs::perms::group_exec, fs::perm_options::add);
    many.makeDirectory("folder");
    fs::permissions(many.local("folder"), fs::perms::all, fs::perm_options::add);
    fs::create_symlink(many.local("run"), many.local("to-run"));
    fs::create_symlink(many.local("plain"), many.local("to-plain"));
    fs::create_symlink(many.local("folder"), many.local("to-folder"));
    fs::create_symlink("nowhere", many.local("dangling"));
#endif
    std::vector<DirectoryEntry> entries;
    const std::string directory = many.rootText() + kPathSeparator;
    ASSERT_TRUE(readDirectory(directory, entries));
    std::size_t executables = 0;
    for (const DirectoryEntry& entry : entries) {
        EXPECT_EQ(entry.executable, isExecutable(directory + entry.name)) << entry.name;
        executables += entry.executable ? 1 : 0;
    }
    EXPECT_GE(executables, 2u);  // the check compared something
}

TEST_F(Files, DirectorySearchYieldsEveryEntryWithItsFacts) {
    std::vector<DirectoryEntry> entries;
    ASSERT_TRUE(readDirectory(tree.rootText() + kPathSeparator, entries));
    auto find = [&](const std::string& name) {
        return std::find_if(entries.begin(), entries.end(),
                            [&](const DirectoryEntry& e) { return e.name == name; });
    };
    ASSERT_NE(find("dir"), entries.end());
    EXPECT_TRUE(find("dir")->isDirectory);
    ASSERT_NE(find("text.txt"), entries.end());
    EXPECT_FALSE(find("text.txt")->isDirectory);
    EXPECT_EQ(find("text.txt")->size, 5u);
    CalendarTime now = localTimeNow();
    EXPECT_EQ(find("text.txt")->lastWrite.year, now.year);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);

    EXPECT_FALSE(readDirectory(tree.local("missing") + kPathSeparator, entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(readDirectory(tree.local("text.txt") + kPathSeparator, entries));
}

TEST_F(Files, ReadingAtAnOffset) {
    tree.writeFile("data", "0123456789");
    ReadOnlyFile file;
    ASSERT_TRUE(file.open(tree.local("data")));
    EXPECT_EQ(file.size(), 10);
    char buffer[16] = {};
    std::uint32_t got = 0;
    ASSERT_TRUE(file.readAt(4, buffer, sizeof buffer, got));
    EXPECT_EQ(std::string(buffer, got), "456789");
    ASSERT_TRUE(file.readAt(1, buffer, 2, got));  // positions are not remembered
    EXPECT_EQ(std::string(buffer, got), "12");
    for (std::int64_t end : {10LL, 11LL, 5LL << 30}) {
        ASSERT_TRUE(file.readAt(end, buffer, sizeof buffer, got)) << end;
        EXPECT_EQ(got, 0u);
    }
    EXPECT_FALSE(file.readAt(-1, buffer, sizeof buffer, got));

    EXPECT_FALSE(ReadOnlyFile().open(tree.local("missing")));
    EXPECT_FALSE(ReadOnlyFile().open(tree.local("dir")));
}

TEST_F(Files, DevicesDoNotOpenForReading) {
    // A device can be endless (NUL, /dev/zero) or block the reading thread
    // (the console). On Windows a device name means the device in any folder.
#ifdef _WIN32
    const std::string devices[] = {tree.local("NUL"), tree.local("nul.txt"), "NUL"};
#else
    const std::string devices[] = {"/dev/null", "/dev/zero"};
#endif
    for (const std::string& device : devices) EXPECT_FALSE(ReadOnlyFile().open(device)) << device;
}

}  // namespace
}  // namespace kadrel::platform
