#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

#include "Fakes.h"
#include "MyFunctions.h"
#include "Process.h"
#include "Wire.h"

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
    for (const std::string& line : wire::UndatedLines(path))
        text += line + "\n";
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
    {
        const FileDescriptor reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
        ASSERT_TRUE(reader.ok());
        for (int i = 0; i < 2000; ++i)  // 2000 lines of 64 bytes are more than a pipe holds
            MyFunctions::Log(fifo, "ENGINE", std::string(30, 'x'), true);
    }
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

// What another user may have put at a log path is never written; the first refusal of a
// path goes to syslog, once. Links and files that root or the service itself made are used.
TEST_F(MyFunctionsTest, PlantedLogFilesAreRefusedOnce) {
    fakes::SyslogCapture syslog;
    ASSERT_TRUE(syslog.ok());
    const std::string victim = Path("victim");  // stands for any file root may write
    ASSERT_TRUE(testproc::WriteFile(victim, "precious\n"));
    const std::string open = Path("open");    // others may write here
    const std::string other = Path("other");  // another user's
    const std::string target = Path("target.log");
    ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    ASSERT_EQ(chown(other.c_str(), 65534, 65534), 0);
    auto link = [&](const std::string& at, const std::string& to, uid_t owner) {
        return symlink(to.c_str(), at.c_str()) == 0 && lchown(at.c_str(), owner, owner) == 0;
    };
    auto file = [&](const std::string& at, int mode, uid_t owner) {
        return testproc::WriteFile(at, "", mode) && chown(at.c_str(), owner, owner) == 0;
    };
    // Other tests of this executable may have written the default file already.
    auto RemoveIfThere = [](const std::string& at) {
        return unlink(at.c_str()) == 0 || errno == ENOENT;
    };
    const std::string defaultLog = MyFunctions::defaultLogFile;
    const struct {
        std::string path;  // given to Log; empty: the default file
        std::function<bool()> plant;
        std::string refusal;  // empty: the lines reach `written`
        std::string written;
    } rows[] = {
        {Path("a.log"), [&] { return link(Path("a.log"), victim, 65534); },
         "Symbolic link owned by another user", ""},
        {open + "/b.log", [&] { return link(open + "/b.log", victim, 0); },
         "Symbolic link in a directory writable by group or others", ""},
        {other + "/c.log", [&] { return link(other + "/c.log", victim, 0); },
         "Symbolic link in a directory owned by another user", ""},
        {Path("d.log"), [&] { return ::link(victim.c_str(), Path("d.log").c_str()) == 0; },
         "File has more than one link", ""},
        {Path("e.log"), [&] { return file(Path("e.log"), 0644, 65534); },
         "File owned by another user", ""},
        {Path("f.log"), [&] { return file(Path("f.log"), 0666, 65534); },
         "File owned by another user", ""},
        // Both forms of Log write to the default file when given no name.
        {"", [&] { return RemoveIfThere(defaultLog) && link(defaultLog, "/var/log/real.log", 0); },
         "", "/var/log/real.log"},
        {"", [&] { return unlink(defaultLog.c_str()) == 0 && link(defaultLog, victim, 65534); },
         "Symbolic link owned by another user", ""},
        {Path("g.log"), [&] { return file(Path("g.log"), 0666, 0); }, "", Path("g.log")},
        {Path("h.log"), [&] { return link(Path("h.log"), target, 0); }, "", target},
    };
    for (const auto& row : rows) {
        const std::string path = row.path.empty() ? defaultLog : row.path;
        SCOPED_TRACE(path);
        unlink(target.c_str());
        ASSERT_TRUE(row.plant());
        const size_t before = syslog.messages().size();
        MyFunctions::Log(row.path, "ENGINE", "x", true);
        MyFunctions::Log(row.path, "ENGINE", "y", false, false, false, false);
        EXPECT_EQ(testproc::ReadFile(victim), "precious\n");
        const std::vector<fakes::SyslogMessage> m = syslog.messages();
        if (row.refusal.empty()) {
            EXPECT_EQ(UndatedFile(row.written), "[ENGINE] x\n[ENGINE] y\n");
            EXPECT_EQ(m.size(), before);
            continue;
        }
        ASSERT_EQ(m.size(), before + 1);  // once, not for every line
        EXPECT_EQ(m[before].text, "Can not write log file: " + path + ", error: " + row.refusal);
        EXPECT_EQ(m[before].priority & 7, LOG_ERR);
    }
}

// Offsets carry across minute, day and year boundaries, both ways. A clock change inside
// the interval is resolved against the starting time's DST flag: 01:59 EDT + 120 s is
// 01:01 EST, not 02:01.
TEST(FormatDateTest, RollsOverAndKeepsTheDaylightFlag) {
    const struct {
        const char *zone, *now;
        int seconds;
        const char* date;
    } cases[] = {
        {"UTC", "2026-12-04 08:23:58", 0, "Fri Dec  4 08:23:58 2026"},
        {"UTC", "2026-12-04 23:59:00", 120, "Sat Dec  5 00:01:00 2026"},
        {"UTC", "2026-12-31 23:59:30", 60, "Fri Jan  1 00:00:30 2027"},
        {"UTC", "2027-01-01 00:00:10", -20, "Thu Dec 31 23:59:50 2026"},
        {"America/New_York", "2026-11-01 05:59:00", 0, "Sun Nov  1 01:59:00 2026"},
        {"America/New_York", "2026-11-01 05:59:00", 120, "Sun Nov  1 01:01:00 2026"},
    };
    for (const auto& c : cases) {
        SetZone(c.zone);
        EXPECT_EQ(MyFunctions::FormatDate(Utc(c.now), c.seconds), c.date) << c.now;
    }
}

}  // namespace
