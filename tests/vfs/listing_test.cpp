// The LIST format: order, size column, dates against the six-month cutoff,
// permissions.
#include "vfs/listing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

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
    CalendarTime now = platform::localTimeNow();
    std::vector<std::string> lines = list(true, now);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, 30), "drwx------ 1 alice ftp    0 " + lines[0].substr(28, 2));
    EXPECT_EQ(lines[1].substr(0, 28), "-rw------- 1 alice ftp 4096 ");
    EXPECT_EQ(lines[2].substr(0, 28), "-rw------- 1 alice ftp    7 ");
    EXPECT_EQ(lines[3].substr(0, 28), "-rw------- 1 alice ftp    0 ");
    EXPECT_TRUE(lines[3].ends_with(" two words.txt\r\n")) << lines[3];
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

#ifndef _WIN32
TEST_F(ListingTest, PosixExecutableFilesShowX) {
    tree.writeFile("run", "#!/bin/sh\n");
    std::filesystem::permissions(tree.local("run"), std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(list(true, platform::localTimeNow()).at(0).substr(0, 10), "-rwx------");
    EXPECT_EQ(list(false, platform::localTimeNow()).at(0).substr(0, 10), "-r-x------");
}
#endif

}  // namespace
}  // namespace kadrel
