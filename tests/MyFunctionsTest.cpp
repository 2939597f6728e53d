#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "MyFunctions.h"
#include "Process.h"

namespace {

class MyFunctionsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE((dir_ = testproc::MakeTempDir()).empty()); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    static bool Exists(const std::string& path) { return MyFunctions().FileExists(path); }

    std::string dir_;
};

// The zone is process-wide; the log tests compare undated lines only.
void SetZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

// The file's lines without their dates, each ending in a newline.
std::string UndatedFile(const std::string& path) {
    std::string text;
    for (const std::string& line : testproc::Lines(testproc::ReadFile(path))) {
        text += testproc::Undated(line) + "\n";
    }
    return text;
}

time_t Utc(const char* text) {
    struct tm t = {};
    EXPECT_NE(strptime(text, "%Y-%m-%d %H:%M:%S", &t), nullptr) << text;
    return timegm(&t);
}

// Each flag combination must reach, or stay out of, the real file.
TEST_F(MyFunctionsTest, FilterTableDecidesWhatReachesTheFile) {
    const struct {
        bool verbose, quiet, debug, isDebug, written;
    } rows[] = {
        {true, false, false, false, true},  {true, false, false, true, true},
        {true, true, false, true, true},    {true, true, true, false, true},
        {false, true, false, false, false}, {false, true, true, false, false},
        {false, true, false, true, false},  {false, true, true, true, false},
        {false, false, true, false, true},  {false, false, true, true, true},
        {false, false, false, false, true}, {false, false, false, true, false},
    };
    int i = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << i);
        std::string path = Path("row" + std::to_string(i++));
        MyFunctions::Log(path, "ENGINE", "m", r.isDebug, r.debug, r.quiet, r.verbose);
        if (r.written) {
            EXPECT_EQ(UndatedFile(path), "[ENGINE] m\n");
        } else {
            EXPECT_FALSE(Exists(path));
        }
    }
}

// A line is the asctime date without its newline, " [TAG] ", the message, one newline.
TEST_F(MyFunctionsTest, LineHasDateTagAndMessage) {
    std::string path = Path("line.log");
    MyFunctions::Log(path, "TAG", "msg", true);
    std::string text = testproc::ReadFile(path);
    struct tm t = {};
    ASSERT_NE(strptime(text.c_str(), "%a %b %e %H:%M:%S %Y", &t), nullptr) << text;
    char date[64];
    ASSERT_NE(asctime_r(&t, date), nullptr);
    EXPECT_EQ(text, std::string(date, 24) + " [TAG] msg\n");
    SetZone("UTC");
    EXPECT_EQ(MyFunctions::FormatLine(Utc("2026-12-04 08:23:58"), "ENGINE", "No change detected."),
              "Fri Dec  4 08:23:58 2026 [ENGINE] No change detected.\n");
}

// Both forms fall back to the default file when no name is given.
TEST_F(MyFunctionsTest, EmptyNameMeansTheDefaultFile) {
    unlink("/var/log/dododuzod.log");
    MyFunctions::Log("", "ENGINE", "x", true);
    MyFunctions::Log("", "ENGINE", "y", false, false, false, false);
    EXPECT_EQ(UndatedFile("/var/log/dododuzod.log"), "[ENGINE] x\n[ENGINE] y\n");
}

// Lines that cannot be written vanish without harm; a disabled line touches nothing.
TEST_F(MyFunctionsTest, UnwritableOrDisabledLinesAreLost) {
    MyFunctions::Log(Path("off.log"), "ENGINE", "x", false);
    EXPECT_FALSE(Exists(Path("off.log")));
    MyFunctions::Log(Path("missing/dir.log"), "ENGINE", "x", true);
    EXPECT_FALSE(Exists(Path("missing")));
    ASSERT_TRUE(Exists("/dev/full"));
    MyFunctions::Log("/dev/full", "ENGINE", "x", true);
    // A FIFO with no reader, then one whose reader never reads: lines are lost, nothing blocks.
    const std::string fifo = Path("fifo.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    MyFunctions::Log(fifo, "ENGINE", "x", true);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (int i = 0; i < 2000; ++i)  // 2000 lines of 64 bytes are more than a pipe holds
        MyFunctions::Log(fifo, "ENGINE", std::string(30, 'x'), true);
    close(reader);
    MyFunctions::Log(Path("after.log"), "ENGINE", "after", true);
    EXPECT_EQ(UndatedFile(Path("after.log")), "[ENGINE] after\n");
}

// The file is created 0640 whatever the umask, appended to, and recreated when removed.
TEST_F(MyFunctionsTest, FileIsCreatedPrivateAppendedAndRecreated) {
    std::string path = Path("app.log");
    mode_t old = umask(0);
    MyFunctions::Log(path, "SERVICE", "one", true);
    umask(old);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    MyFunctions::Log(path, "FRAMEWORK", "two", false, false, false, true);
    EXPECT_EQ(UndatedFile(path), "[SERVICE] one\n[FRAMEWORK] two\n");
    ASSERT_EQ(unlink(path.c_str()), 0);
    MyFunctions::Log(path, "ENGINE", "three", true);
    EXPECT_EQ(UndatedFile(path), "[ENGINE] three\n");
}

// Offsets carry across minute, day and year boundaries, both ways.
TEST(FormatDateTest, RollsOverInUtc) {
    SetZone("UTC");
    const struct {
        const char* now;
        int seconds;
        const char* date;
    } cases[] = {
        {"2026-12-04 08:23:58", 0, "Fri Dec  4 08:23:58 2026"},
        {"2026-12-04 23:59:00", 120, "Sat Dec  5 00:01:00 2026"},
        {"2026-12-31 23:59:30", 60, "Fri Jan  1 00:00:30 2027"},
        {"2027-01-01 00:00:10", -20, "Thu Dec 31 23:59:50 2026"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MyFunctions::FormatDate(Utc(c.now), c.seconds), c.date) << c.now;
    }
}

// A clock change inside the interval is resolved against the starting time's DST flag:
// 01:59 EDT + 120 s is 01:01 EST, not 02:01.
TEST(FormatDateTest, KeepsDaylightFlagAcrossClockChange) {
    SetZone("America/New_York");
    EXPECT_EQ(MyFunctions::FormatDate(Utc("2026-11-01 05:59:00"), 0), "Sun Nov  1 01:59:00 2026");
    EXPECT_EQ(MyFunctions::FormatDate(Utc("2026-11-01 05:59:00"), 120), "Sun Nov  1 01:01:00 2026");
}

}  // namespace
