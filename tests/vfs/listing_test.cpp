// The LIST format: order, size column, dates against the six-month cutoff,
// permissions.
#include "vfs/listing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/temp_tree.h"
#include "vfs/virtual_fs.h"

namespace kadrel {
namespace {

using platform::CalendarTime;

CalendarTime at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                int millisecond = 0) {
    auto u = [](int v) { return static_cast<std::uint16_t>(v); };
    return {u(year), u(month), u(day), u(hour), u(minute), u(second), u(millisecond)};
}

TEST(ListingDates, CutoffIsSixCalendarMonthsEarlierFieldByField) {
    struct Case {
        CalendarTime now, cutoff;
    };
    const Case cases[] = {
        {at(2026, 6, 15, 10), at(2025, 12, 15, 10)},
        {at(2026, 8, 31, 23, 59, 59, 999), at(2026, 2, 31, 23, 59, 59, 999)},
        {at(2026, 7, 1), at(2026, 1, 1)},
        {at(2026, 1, 31), at(2025, 7, 31)},
        {at(2026, 12, 10), at(2026, 6, 10)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compareSystemTimes(recentCutoff(c.now), c.cutoff), 0)
            << c.now.year << "-" << c.now.month;
    }
}

TEST(ListingDates, ComparisonTakesTheFirstDifferingField) {
    const CalendarTime cutoff = at(2025, 12, 15, 10);
    EXPECT_EQ(compareSystemTimes(at(2025, 12, 15, 9, 59, 59, 999), cutoff), -1);
    EXPECT_EQ(compareSystemTimes(at(2025, 12, 15, 10), cutoff), 0);
    EXPECT_EQ(compareSystemTimes(at(2025, 12, 15, 10, 0, 0, 1), cutoff), 1);
    EXPECT_EQ(compareSystemTimes(at(2026, 2, 28, 23, 59), at(2026, 2, 31)), -1);
    EXPECT_EQ(compareSystemTimes(at(2026, 3, 1), at(2026, 2, 31)), 1);
    EXPECT_EQ(compareSystemTimes(at(2024, 12, 31), at(2025, 1, 1)), -1);
}

class ListingTest : public testing::Test {
  protected:
    std::vector<std::string> list(bool writable, const CalendarTime& now) {
        auto fs = newVirtualFs(tree.rootText(), writable);
        std::vector<std::string> lines;
        EXPECT_TRUE(listDirectoryAt(*fs, "alice", lines, now));
        return lines;
    }

    // The local calendar time of an entry's last write, as listings see it.
    CalendarTime lastWrite(const std::string& name) {
        std::vector<platform::DirectoryEntry> entries;
        platform::readDirectory(tree.rootText() + platform::kPathSeparator, entries);
        for (const auto& entry : entries) {
            if (entry.name == name) return entry.lastWrite;
        }
        ADD_FAILURE() << name << " not found";
        return {};
    }

    test::TempTree tree;
};

TEST_F(ListingTest, DirectoriesFirstThenNamesWithLettersFolded) {
    tree.makeDirectory("Docs");
    tree.makeDirectory("apps");
    for (const char* name : {"b.txt", "A.txt", "Zeta.log", "zz", "\xe9t\xe9", "a.txt2"}) {
        tree.writeFile(name, "");
    }
    std::vector<std::string> names;
    for (const std::string& line : list(false, platform::localTimeNow())) {
        names.push_back(line.substr(line.rfind(' ') + 1, line.size() - line.rfind(' ') - 3));
    }
    const std::vector<std::string> expected = {"apps",  "Docs",     "A.txt", "a.txt2",
                                               "b.txt", "Zeta.log", "zz",    "\xe9t\xe9"};
    EXPECT_EQ(names, expected);
}

TEST_F(ListingTest, LinesAreBuiltFieldByField) {
    tree.makeDirectory("dir");
    tree.writeFile("seven", "1234567");
    tree.writeFile("page", std::string(4096, 'p'));
    tree.writeFile("two words.txt", "");
    tree.writeFile(" caf\xe9 cr\xe8me.txt", "\xff");  // spaces, bytes of 128 and above
    CalendarTime now = platform::localTimeNow();
    std::vector<std::string> lines = list(true, now);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].substr(0, 30), "drwx------ 1 alice ftp    0 " + lines[0].substr(28, 2));
    // The leading space sorts before every letter.
    EXPECT_EQ(lines[1].substr(0, 28), "-rw------- 1 alice ftp    1 ");
    EXPECT_EQ(lines[1].substr(40), "  caf\xe9 cr\xe8me.txt\r\n");
    EXPECT_EQ(lines[2].substr(0, 28), "-rw------- 1 alice ftp 4096 ");
    EXPECT_EQ(lines[3].substr(0, 28), "-rw------- 1 alice ftp    7 ");
    EXPECT_EQ(lines[4].substr(0, 28), "-rw------- 1 alice ftp    0 ");
    EXPECT_TRUE(lines[4].ends_with(" two words.txt\r\n")) << lines[4];
    for (const std::string& line : lines) {
        EXPECT_EQ(line.size(), 28 + 12 + 1 + line.substr(41).size()) << line;
        EXPECT_EQ(line.find('\t'), std::string::npos);
    }
    // Read-only accounts show no w, whatever the file allows.
    for (const std::string& line : list(false, now)) EXPECT_EQ(line[2], '-') << line;
}

TEST_F(ListingTest, SizeColumnIsAsWideAsTheLongestSize) {
    tree.makeDirectory("only");
    std::vector<std::string> lines = list(false, platform::localTimeNow());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 25), "dr-x------ 1 alice ftp 0 ");

    tree.writeFile("huge", "");
    std::filesystem::resize_file(tree.local("huge"), (5ull << 30) + 1);  // sparse
    lines = list(false, platform::localTimeNow());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 34), "dr-x------ 1 alice ftp          0 ");
    EXPECT_EQ(lines[1].substr(0, 34), "-r-------- 1 alice ftp 5368709121 ");
}

TEST_F(ListingTest, OlderThanSixMonthsShowsTheYearOtherwiseTheTime) {
    tree.writeFile("file", "");
    namespace stdfs = std::filesystem;
    // A whole second plus half of one, so that a millisecond either side is
    // still the same second.
    auto stamp =
        std::chrono::time_point_cast<std::chrono::seconds>(stdfs::file_time_type::clock::now()) +
        std::chrono::milliseconds(500);
    stdfs::last_write_time(tree.local("file"), stamp);
    const CalendarTime written = lastWrite("file");

    // `now` six months after the write puts the cutoff exactly on it.
    CalendarTime now = written;
    if (written.month <= 6) {
        now.month = static_cast<std::uint16_t>(written.month + 6);
    } else {
        now.month = static_cast<std::uint16_t>(written.month - 6);
        now.year = static_cast<std::uint16_t>(written.year + 1);
    }
    char timeText[8];
    std::snprintf(timeText, sizeof timeText, "%02u:%02u", unsigned{written.hour},
                  unsigned{written.minute});
    char yearText[8];
    std::snprintf(yearText, sizeof yearText, " %u", unsigned{written.year});

    auto dateOf = [&](const CalendarTime& listedAt) {
        std::string line = list(false, listedAt).at(0);
        return line.substr(line.size() - 7 - 5, 5);  // the field before " file\r\n"
    };
    EXPECT_EQ(dateOf(now), timeText);  // at the cutoff: recent
    CalendarTime later = now;
    later.millisecond = static_cast<std::uint16_t>(later.millisecond + 1);
    EXPECT_EQ(dateOf(later), yearText);    // one millisecond past it: old
    EXPECT_EQ(dateOf(written), timeText);  // written "now"
    CalendarTime earlier = written;
    earlier.year = static_cast<std::uint16_t>(earlier.year - 1);
    EXPECT_EQ(dateOf(earlier), timeText);  // the file lies in the future
}

TEST_F(ListingTest, AnEmptyDirectoryListsNothingAndAMissingOneFails) {
    std::vector<std::string> lines = list(true, platform::localTimeNow());
    EXPECT_TRUE(lines.empty());
    auto fs = newVirtualFs(tree.local("missing"), true);
    lines.push_back("stale");
    EXPECT_FALSE(listDirectory(*fs, "alice", lines));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(fs->localDir, tree.local("missing"));  // no separator added on failure
}

// Listings taken while another thread deletes the entries: each one is
// whole, made of lines of entries that existed, never a failure.
TEST_F(ListingTest, EntriesThatVanishWhileTheDirectoryIsReadAreLeftOut) {
    constexpr int kFiles = 1000;
    for (int i = 0; i < kFiles; ++i) tree.writeFile("gone-" + std::to_string(i), "x");
    std::atomic<bool> deleting{true};
    std::jthread deleter([&] {  // joined however the test ends
        for (int i = 0; i < kFiles; ++i)
            std::filesystem::remove(tree.local("gone-" + std::to_string(i)));
        deleting = false;
    });
    const CalendarTime now = platform::localTimeNow();
    std::size_t previous = kFiles + 1;
    do {
        auto fs = newVirtualFs(tree.rootText(), false);
        std::vector<std::string> lines;
        ASSERT_TRUE(listDirectoryAt(*fs, "alice", lines, now));
        EXPECT_LE(lines.size(), previous);
        previous = lines.size();
        for (const std::string& line : lines) {
            ASSERT_EQ(line.substr(0, 24), "-r-------- 1 alice ftp 1") << line;
            ASSERT_EQ(line.substr(38, 5), "gone-") << line;
        }
    } while (deleting);
    deleter.join();
    EXPECT_TRUE(list(false, now).empty());
}

#ifndef _WIN32
TEST_F(ListingTest, PosixExecutableFilesShowX) {
    tree.writeFile("run", "#!/bin/sh\n");
    std::filesystem::permissions(tree.local("run"), std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(list(true, platform::localTimeNow()).at(0).substr(0, 10), "-rwx------");
    EXPECT_EQ(list(false, platform::localTimeNow()).at(0).substr(0, 10), "-r-x------");
}

// A link is listed as what it leads to, under its own name; a link that
// leads nowhere (dangling, or a loop) is listed as itself.
TEST_F(ListingTest, PosixSymbolicLinks) {
    namespace stdfs = std::filesystem;
    tree.makeDirectory("realdir");
    tree.writeFile("seven", "1234567");
    tree.writeFile("run", "#!/bin/sh\n");
    stdfs::permissions(tree.local("run"), stdfs::perms::owner_exec, stdfs::perm_options::add);
    stdfs::create_directory_symlink(tree.local("realdir"), tree.local("to-dir"));
    stdfs::create_symlink(tree.local("seven"), tree.local("to-seven"));
    stdfs::create_symlink(tree.local("run"), tree.local("to-run"));
    stdfs::create_symlink("nowhere-at-all", tree.local("dangling"));  // 14 bytes of target
    stdfs::create_symlink("loop", tree.local("loop"));
    const std::pair<const char*, const char*> expected[] = {
        {"realdir", "dr-x------ 1 alice ftp  0 "},  {"to-dir", "dr-x------ 1 alice ftp  0 "},
        {"dangling", "-r-------- 1 alice ftp 14 "}, {"loop", "-r-------- 1 alice ftp  4 "},
        {"run", "-r-x------ 1 alice ftp 10 "},      {"seven", "-r-------- 1 alice ftp  7 "},
        {"to-run", "-r-x------ 1 alice ftp 10 "},   {"to-seven", "-r-------- 1 alice ftp  7 "},
    };
    std::vector<std::string> lines = list(false, platform::localTimeNow());
    ASSERT_EQ(lines.size(), std::size(expected));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].substr(0, 26), expected[i].second) << lines[i];
        EXPECT_EQ(lines[i].substr(39), std::string(expected[i].first) + "\r\n") << lines[i];
    }
}
#endif

}  // namespace
}  // namespace kadrel
