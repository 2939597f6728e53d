#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "MyFunctions.h"
#include "Process.h"

namespace {

const char kDefaultLog[] = "/var/log/dododuzod.log";

// One character of an asctime date against its shape letter: A upper case, a lower case,
// 9 digit, D tens of the day (blank for 1 to 9), H tens of the hour, M tens of a minute.
bool Fits(char shape, char c) {
    if (shape == 'A')
        return c >= 'A' && c <= 'Z';
    if (shape == 'a')
        return c >= 'a' && c <= 'z';
    if (shape == '9')
        return c >= '0' && c <= '9';
    if (shape == 'D')
        return c == ' ' || (c >= '1' && c <= '3');
    if (shape == 'H')
        return c >= '0' && c <= '2';
    if (shape == 'M')
        return c >= '0' && c <= '5';
    return c == shape;
}

// True when `text` is a date like "Fri Dec  4 08:23:58 2026" followed by `rest`.
bool IsDatedLine(const std::string& text, const std::string& rest) {
    const std::string shape = "Aaa Aaa D9 H9:M9:M9 9999";
    if (text.size() != shape.size() + rest.size() || text.substr(shape.size()) != rest) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); i++) {
        if (!Fits(shape[i], text[i])) {
            return false;
        }
    }
    return true;
}

class MyFunctionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = testproc::MakeTempDir();
        ASSERT_FALSE(dir_.empty());
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    static bool Exists(const std::string& path) { return MyFunctions().FileExists(path); }

    std::string dir_;
};

// Dates in UTC so that expected texts do not depend on the machine's zone.
class FormatDateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        hadTz_ = old != nullptr;
        if (hadTz_) {
            oldTz_ = old;
        }
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", oldTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static time_t Utc(int year, int month, int day, int hour, int minute, int second) {
        struct tm t = {};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        return timegm(&t);
    }

    bool hadTz_ = false;
    std::string oldTz_;
};

TEST_F(MyFunctionsTest, FilterTableDecidesWhatReachesTheFile) {
    const struct {
        bool verbose, quiet, debug, isDebug, written;
    } rows[] = {
        // verbose writes everything
        {true, false, false, false, true},
        {true, false, false, true, true},
        {true, true, false, true, true},
        {true, true, true, false, true},
        // quiet without verbose writes nothing
        {false, true, false, false, false},
        {false, true, true, false, false},
        {false, true, false, true, false},
        {false, true, true, true, false},
        // otherwise debug lines only with debug
        {false, false, true, false, true},
        {false, false, true, true, true},
        {false, false, false, false, true},
        {false, false, false, true, false},
    };
    int i = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << "row " << i << " verbose=" << r.verbose << " quiet=" << r.quiet
                     << " debug=" << r.debug << " isDebug=" << r.isDebug);
        EXPECT_EQ(MyFunctions::IsWritten(r.isDebug, r.debug, r.quiet, r.verbose), r.written);

        std::string path = Path("row" + std::to_string(i++));
        MyFunctions::Log(path, "ENGINE", "m", r.isDebug, r.debug, r.quiet, r.verbose);
        std::string text = testproc::ReadFile(path);
        if (r.written) {
            EXPECT_EQ(testproc::Undated(text), "[ENGINE] m\n");
        } else {
            EXPECT_FALSE(Exists(path));
        }
    }
}

TEST_F(MyFunctionsTest, LineHasDateTagAndMessage) {
    std::string path = Path("line.log");
    MyFunctions::Log(path, "TAG", "msg", true);
    std::string text = testproc::ReadFile(path);
    EXPECT_TRUE(IsDatedLine(text, " [TAG] msg\n")) << text;
}

TEST_F(MyFunctionsTest, LinesAreAppendedInOrder) {
    std::string path = Path("append.log");
    ASSERT_TRUE(testproc::WriteFile(path, "old\n"));
    MyFunctions::Log(path, "SERVICE", "one", true);
    MyFunctions::Log(path, "FRAMEWORK", "two", false, false, false, true);
    auto lines = testproc::Lines(testproc::ReadFile(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "old");
    EXPECT_EQ(testproc::Undated(lines[1]), "[SERVICE] one");
    EXPECT_EQ(testproc::Undated(lines[2]), "[FRAMEWORK] two");
}

TEST_F(MyFunctionsTest, EmptyNameMeansTheDefaultFile) {
    EXPECT_STREQ(MyFunctions::defaultLogFile, kDefaultLog);
    unlink(kDefaultLog);
    MyFunctions::Log("", "ENGINE", "x", true);
    MyFunctions::Log("", "ENGINE", "y", false, false, false, false);
    auto lines = testproc::Lines(testproc::ReadFile(kDefaultLog));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(testproc::Undated(lines[0]), "[ENGINE] x");
    EXPECT_EQ(testproc::Undated(lines[1]), "[ENGINE] y");
}

TEST_F(MyFunctionsTest, DisabledLineCreatesNoFile) {
    std::string path = Path("off.log");
    MyFunctions::Log(path, "ENGINE", "x", false);
    EXPECT_FALSE(Exists(path));
}

TEST_F(MyFunctionsTest, MissingDirectoryLosesTheLineQuietly) {
    std::string path = Path("missing/dir.log");
    MyFunctions::Log(path, "ENGINE", "x", true);
    EXPECT_FALSE(Exists(Path("missing")));
}

TEST_F(MyFunctionsTest, FullDeviceLosesTheLineQuietly) {
    ASSERT_TRUE(Exists("/dev/full"));
    MyFunctions::Log("/dev/full", "ENGINE", "x", true);
    // Still usable afterwards.
    std::string path = Path("after.log");
    MyFunctions::Log(path, "ENGINE", "after", true);
    EXPECT_EQ(testproc::Undated(testproc::ReadFile(path)), "[ENGINE] after\n");
}

TEST_F(MyFunctionsTest, CreatedFileIsNotWorldReadableEvenWithoutUmask) {
    std::string path = Path("mode.log");
    mode_t old = umask(0);
    MyFunctions::Log(path, "ENGINE", "x", true);
    umask(old);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(MyFunctionsTest, DeletedFileIsRecreated) {
    std::string path = Path("moved.log");
    MyFunctions::Log(path, "ENGINE", "first", true);
    ASSERT_EQ(unlink(path.c_str()), 0);
    MyFunctions::Log(path, "ENGINE", "second", true);
    EXPECT_EQ(testproc::Undated(testproc::ReadFile(path)), "[ENGINE] second\n");
}

TEST_F(MyFunctionsTest, NewlineInMessageIsWrittenAsItStands) {
    std::string path = Path("nl.log");
    MyFunctions::Log(path, "ENGINE", "first\nsecond", true);
    auto lines = testproc::Lines(testproc::ReadFile(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(testproc::Undated(lines[0]), "[ENGINE] first");
    EXPECT_EQ(lines[1], "second");
}

TEST_F(MyFunctionsTest, FileExists) {
    std::string file = Path("f");
    ASSERT_TRUE(testproc::WriteFile(file, ""));
    ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
    ASSERT_EQ(symlink(file.c_str(), Path("link").c_str()), 0);
    EXPECT_TRUE(Exists(file));
    EXPECT_TRUE(Exists(dir_));
    EXPECT_TRUE(Exists(Path("link")));
    EXPECT_FALSE(Exists(Path("dangling")));
    EXPECT_FALSE(Exists(Path("nowhere")));
    EXPECT_FALSE(Exists(""));
}

TEST_F(FormatDateTest, RollsOverAndNormalises) {
    const struct {
        time_t now;
        int seconds;
        const char* date;
    } cases[] = {
        {Utc(2026, 12, 4, 8, 23, 58), 0, "Fri Dec  4 08:23:58 2026"},
        {Utc(2026, 12, 4, 23, 59, 0), 120, "Sat Dec  5 00:01:00 2026"},
        {Utc(2026, 12, 31, 23, 59, 30), 60, "Fri Jan  1 00:00:30 2027"},
        {Utc(2027, 1, 1, 0, 0, 10), -20, "Thu Dec 31 23:59:50 2026"},
        {Utc(2028, 2, 28, 12, 0, 0), 86400, "Tue Feb 29 12:00:00 2028"},
        {0, INT_MAX, "Tue Jan 19 03:14:07 2038"},
        {0, INT_MIN, "Fri Dec 13 20:45:52 1901"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MyFunctions::FormatDate(c.now, c.seconds), c.date) << c.date;
    }
}

TEST_F(FormatDateTest, FormatLine) {
    EXPECT_EQ(MyFunctions::FormatLine(Utc(2026, 12, 4, 8, 23, 58), "ENGINE", "No change detected."),
              "Fri Dec  4 08:23:58 2026 [ENGINE] No change detected.\n");
    EXPECT_EQ(MyFunctions::FormatLine(0, "", ""), "Thu Jan  1 00:00:00 1970 [] \n");
}

TEST_F(FormatDateTest, GetDateCountsFromNow) {
    // Retry across a second boundary rather than assert on timing.
    for (int attempt = 0; attempt < 5; attempt++) {
        time_t before = time(nullptr);
        std::string now = MyFunctions::GetDate(0);
        std::string later = MyFunctions::GetDate(120);
        if (time(nullptr) != before) {
            continue;
        }
        EXPECT_EQ(now, MyFunctions::FormatDate(before, 0));
        EXPECT_EQ(later, MyFunctions::FormatDate(before + 120, 0));
        return;
    }
    FAIL() << "the clock never held still for one second";
}

}  // namespace
