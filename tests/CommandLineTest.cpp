// The binary's command line: help, option errors, the configuration test, and
// daemon start-up with its pid file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "Fakes.h"
#include "MyFunctions.h"
#include "Process.h"
#include "Wire.h"

namespace {

const std::string bin = DODODUZOD_BIN;
const int daemonErr = 3 << 3 | 3;  // LOG_DAEMON | LOG_ERR
const uid_t nobody = 65534;        // another user

// What another user could have put at a path the service writes.
bool PlantLink(const std::string& at, const std::string& to, uid_t owner) {
    return symlink(to.c_str(), at.c_str()) == 0 && lchown(at.c_str(), owner, owner) == 0;
}
bool PlantFile(const std::string& at, int mode, uid_t owner) {
    return testproc::WriteFile(at, "precious\n", mode) && chown(at.c_str(), owner, owner) == 0;
}
bool MakeDir(const std::string& path, int mode, uid_t owner) {
    return mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), mode) == 0 &&
           chown(path.c_str(), owner, owner) == 0;
}

std::string Usage() {
    return "\n Zelmar IP Update Client\n Usage: " + bin +
           " [OPTIONS]\n\n"
           "  Options:\n"
           "   -h --help                 Display this help.\n"
           "   -c --conf_file filename   Read configuration from the file.\n"
           "   -t --test_conf filename   Test configuration file.\n"
           "   -l --log_file  filename   Write logs to the file.\n"
           "   -d --daemon               Run as a daemon.\n"
           "   -p --pid_file  filename   PID file used by daemonized application.\n"
           "\n";
}

std::string Conf(const std::string& text) {
    static int n = 0;
    std::string path = "/tmp/cmdline." + std::to_string(++n) + ".conf";
    EXPECT_TRUE(testproc::WriteFile(path, text));
    return path;
}

const char* const validText =
    "username alice\npassword s3cret\nipv4 true\nipv6 1\npollinterval 60\ndebug true\n";
const char* const validReport =
    "Username: 'alice'\nPassword: 's3cret'\nLocation: ''\nIPv4: '1'\nIPv6: '1'\n"
    "Poll Interval: '120'\nDebug: '1'\nQuiet: '0'\nConfiguration is valid.\n";

struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;  // "*": only non-empty is checked (getopt's own wording)
};

TEST(CommandLineTest, HelpErrorsAndTheConfigurationTest) {
    const std::string valid = Conf(validText);
    const std::string nopass = Conf("username alice\nlocation\tx\npollinterval 600\n");
    const std::string empty = Conf("");
    const Case cases[] = {
        {{"-h"}, 0, Usage(), ""},
        {{"--help"}, 0, Usage(), ""},
        {{"-x"}, 1, Usage(), "*"},
        {{"--bogus"}, 1, Usage(), "*"},
        {{"-c"}, 1, Usage(), "*"},
        {{"-t", valid}, 0, validReport, ""},
        {{"--test_conf", valid}, 0, validReport, ""},
        {{"-t", valid, "-x"}, 0, validReport, ""},  // later options are never read
        {{"-t", valid, "-h"}, 0, validReport, ""},
        {{"-c", nopass, "-t", valid}, 0, validReport, ""},
        {{"-d", "-t", valid}, 0, validReport, ""},  // the test runs without detaching
        {{"-t", nopass},
         0,
         "Username: 'alice'\nPassword: ''\nLocation: ''\nIPv4: '0'\nIPv6: '0'\n"
         "Poll Interval: '600'\nDebug: '0'\nQuiet: '0'\nPassword should not be empty.\n"
         "Invalid configuration.\n",
         ""},
        {{"-t", empty},
         0,
         "Username: ''\nPassword: ''\nLocation: ''\nIPv4: '0'\nIPv6: '0'\n"
         "Poll Interval: '120'\nDebug: '0'\nQuiet: '0'\nUsername should not be empty.\n"
         "Password should not be empty.\nInvalid configuration.\n",
         ""},
        {{"-t", "/tmp/no-such.conf"}, 1, "", "Invalid config file: /tmp/no-such.conf\n"},
        {{"-t", ""}, 1, "", "Missing config file.\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {bin};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testproc::Result r = testproc::Run(argv);
        std::string what =
            c.args.empty() ? "" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        ASSERT_TRUE(r.exited) << what;
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_EQ(r.out, c.out) << what;
        if (c.err == "*")
            EXPECT_FALSE(r.err.empty()) << what;
        else
            EXPECT_EQ(r.err, c.err) << what;
    }
}

// The daemon's grandchild is re-parented to this test process, which can then
// reap it and read its exit status.
class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        dir = testproc::MakeTempDir();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(syslog.ok());
        conf = dir + "/nopass.conf";
        ASSERT_TRUE(
            testproc::WriteFile(conf, "username alice\n"));  // no network without a password
    }
    // A failed test must not leave its daemon running.
    void TearDown() override {
        for (pid_t pid : daemons)
            kill(pid, SIGKILL);
        while (waitpid(-1, nullptr, WNOHANG) > 0 ||
               (!daemons.empty() && waitpid(-1, nullptr, 0) > 0)) {
        }
    }

    // Reaps `pid` and returns its exit status; -1 when it did not end in time.
    int Reap(pid_t pid, int timeoutMs) {
        int status = 0;
        bool done =
            testproc::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
        return done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Processes whose parent is this one, other than `keep`.
    static size_t ChildrenOtherThan(pid_t keep) {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(name) == keep)
                continue;
            const std::string stat = testproc::ReadFile(entry.path() / "stat");
            const size_t close = stat.rfind(')');  // the command name may hold anything
            if (close != std::string::npos &&
                std::atoi(stat.c_str() + std::min(close + 4, stat.size())) == getpid())
                ++n;
        }
        return n;
    }

    // The first non-zero exit status of a child other than `keep` (the middle process of a
    // daemon start leaves with 0); 0 when none came in time. The middle process ignores
    // SIGCHLD, as a daemon start must: a service that ends before it does is reaped by the
    // kernel and its status lost. Once the middle process is gone and no other child is
    // left, the service ended so, and its failure counts as 1.
    int ReapFailure(pid_t keep) {
        int failure = 0;
        bool middleGone = false;
        testproc::WaitUntil(
            [&] {
                int status;
                pid_t p = waitpid(-1, &status, WNOHANG);
                if (p > 0 && p != keep) {
                    failure = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                    middleGone = middleGone || failure == 0;
                } else if (p <= 0 && middleGone && ChildrenOtherThan(keep) == 0) {
                    failure = 1;
                }
                return failure != 0;
            },
            5000);
        return failure;
    }

    // The pid the service wrote over `old`, the file's content before it started.
    pid_t PidFrom(const std::string& path, const std::string& old = "") {
        pid_t pid = 0;
        testproc::WaitUntil(
            [&] {
                std::string text = testproc::ReadFile(path);
                bool fresh = text != old && text.size() > 1 && text.back() == '\n';
                pid = fresh ? std::atoi(text.c_str()) : 0;
                return pid > 0;
            },
            5000);
        if (pid > 0)
            daemons.push_back(pid);
        return pid;
    }

    // The syslog messages that came after the first `from`.
    std::vector<fakes::SyslogMessage> Since(size_t from) const {
        std::vector<fakes::SyslogMessage> m = syslog.messages();
        return std::vector<fakes::SyslogMessage>(
            m.begin() + static_cast<long>(std::min(from, m.size())), m.end());
    }
    size_t CountSince(size_t from, const std::string& text) const {
        size_t n = 0;
        for (const fakes::SyslogMessage& m : Since(from))
            n += m.text == text;
        return n;
    }
    // Waits for a message with `text` after the first `from`; its priority, or -1.
    int WaitSince(size_t from, const std::string& text, int timeoutMs = 5000) const {
        int priority = -1;
        testproc::WaitUntil(
            [&] {
                for (const fakes::SyslogMessage& m : Since(from))
                    if (m.text == text)
                        priority = m.priority;
                return priority != -1;
            },
            timeoutMs);
        return priority;
    }

    std::string dir;
    std::string conf;
    std::vector<pid_t> daemons;
    fakes::SyslogCapture syslog;
};

TEST_F(DaemonTest, WritesLocksAndRemovesThePidFile) {
    const std::string pidFile = dir + "/run.pid";
    ASSERT_TRUE(testproc::WriteFile(pidFile, "1234567890123\n"));  // left by an older run
    testproc::Result first = testproc::Run({bin, "-d", "-c", conf, "-p", pidFile});
    ASSERT_TRUE(first.exited);
    EXPECT_EQ(first.status, 0);
    pid_t pid = PidFrom(pidFile, "1234567890123\n");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(testproc::ReadFile(pidFile), std::to_string(pid) + "\n");
    ASSERT_TRUE(syslog.WaitFor("Started " + bin, 5000));

    // A second instance on the locked file: its first parent says 0 (and so does the
    // middle process), the service itself gives up with 1.
    size_t before = syslog.messages().size();
    testproc::Result second = testproc::Run({bin, "-d", "-c", conf, "-p", pidFile});
    ASSERT_TRUE(second.exited);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(ReapFailure(pid), 1);
    EXPECT_EQ(WaitSince(before,
                        "Can not lock pid file: " + pidFile + ", error: Locked by another process"),
              daemonErr);
    EXPECT_EQ(testproc::ReadFile(pidFile), std::to_string(pid) + "\n");
    for (size_t i = before; i < syslog.messages().size(); ++i)
        EXPECT_NE(syslog.messages()[i].text, "Started " + bin);

    ASSERT_EQ(kill(pid, SIGINT), 0);
    EXPECT_EQ(Reap(pid, 5000), 0);
    EXPECT_NE(access(pidFile.c_str(), F_OK), 0);
    EXPECT_TRUE(syslog.WaitFor("Stopped " + bin, 2000));

    for (const fakes::SyslogMessage& m : syslog.messages()) {
        EXPECT_EQ(m.ident, bin);
        if (m.text == "Started " + bin) {
            EXPECT_EQ(m.pid, pid);
        }
    }
}

TEST_F(DaemonTest, RelativePathsAreAnchoredToTheStartingDirectory) {
    ASSERT_EQ(chdir(dir.c_str()), 0);
    testproc::Result r =
        testproc::Run({bin, "-d", "-c", "nopass.conf", "-l", "run.log", "-p", "run.pid"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    pid_t pid = PidFrom(dir + "/run.pid");
    ASSERT_GT(pid, 0);
    struct stat st;
    ASSERT_EQ(stat((dir + "/run.pid").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(syslog.WaitFor("Configuration of " + bin + " read from file " + conf, 5000));
    EXPECT_TRUE(syslog.WaitFor("Invalid configuration file. " + conf, 5000));
    // The complaint goes to the -l file, which umask(0) must not make writable to others.
    ASSERT_TRUE(
        testproc::WaitUntil([&] { return !testproc::ReadFile(dir + "/run.log").empty(); }, 5000));
    EXPECT_EQ(wire::Undated(wire::Lines(testproc::ReadFile(dir + "/run.log"))[0]),
              "[SERVICE] Invalid configuation file. " + conf);
    ASSERT_EQ(stat((dir + "/run.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(kill(pid, SIGINT), 0);
    EXPECT_EQ(Reap(pid, 5000), 0);
    EXPECT_NE(access((dir + "/run.pid").c_str(), F_OK), 0);
}

TEST_F(DaemonTest, RelativePathsWithoutAStartingDirectoryRefuseToStart) {
    const std::string gone = dir + "/gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    testproc::Result r = testproc::Run({bin, "-d", "-c", "nopass.conf"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Can not get the current directory for nopass.conf, error: No such file or "
              "directory\n");
}

TEST_F(DaemonTest, EmptyPidFilePathStopsTheService) {
    testproc::Result r = testproc::Run({bin, "-d", "-c", conf, "-p", ""});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReapFailure(0), 1);
    EXPECT_EQ(WaitSince(0, "Can not open pid file: , error: No such file or directory"), daemonErr);
    for (const fakes::SyslogMessage& m : syslog.messages())
        EXPECT_NE(m.text, "Started " + bin);
}

// What someone else may have put at the pid file's path is never locked, truncated or
// written: the start fails with status 1 and says why.
TEST_F(DaemonTest, PlantedPidFilesAreRefused) {
    const std::string victim = dir + "/victim";  // stands for any file root may write
    ASSERT_TRUE(testproc::WriteFile(victim, "precious\n"));
    const std::string open = dir + "/open";    // others may write here
    const std::string other = dir + "/other";  // another user's
    ASSERT_TRUE(MakeDir(open, 0777, 0));
    ASSERT_TRUE(MakeDir(other, 0755, nobody));
    const struct {
        std::string path;
        std::function<bool(const std::string&)> plant;
        std::string reason;
    } rows[] = {
        {dir + "/a.pid", [&](const std::string& p) { return PlantLink(p, victim, nobody); },
         "Symbolic link owned by another user"},
        {open + "/b.pid", [&](const std::string& p) { return PlantLink(p, victim, 0); },
         "Symbolic link in a directory writable by group or others"},
        {other + "/c.pid", [&](const std::string& p) { return PlantLink(p, victim, 0); },
         "Symbolic link in a directory owned by another user"},
        {dir + "/d.pid", [&](const std::string& p) { return link(victim.c_str(), p.c_str()) == 0; },
         "File has more than one link"},
        {dir + "/e.pid", [](const std::string& p) { return PlantFile(p, 0640, nobody); },
         "File owned by another user"},
        {dir + "/f.pid", [](const std::string& p) { return PlantFile(p, 0666, nobody); },
         "File owned by another user"},
        {dir + "/g.pid", [](const std::string& p) { return PlantFile(p, 0664, 0); },
         "File writable by group or others"},
        {dir + "/h.pid", [](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0; },
         "Not a regular file"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        ASSERT_TRUE(row.plant(row.path));
        const size_t before = syslog.messages().size();
        testproc::Result r = testproc::Run({bin, "-d", "-c", conf, "-p", row.path});
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ReapFailure(0), 1);
        EXPECT_EQ(
            WaitSince(before, "Can not open pid file: " + row.path + ", error: " + row.reason),
            daemonErr);
        EXPECT_EQ(CountSince(before, "Started " + bin), 0u);
        EXPECT_EQ(testproc::ReadFile(victim), "precious\n");
        struct stat planted;
        ASSERT_EQ(lstat(row.path.c_str(), &planted), 0);
        if (S_ISREG(planted.st_mode)) {
            EXPECT_EQ(testproc::ReadFile(row.path), "precious\n");
        }
    }
}

// A pid file that cannot be written is not left behind, and the start says why.
TEST_F(DaemonTest, UnwritablePidFileIsReportedAndRemoved) {
    const std::string full = dir + "/full";
    ASSERT_EQ(mkdir(full.c_str(), 0700), 0);
    ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=4k"), 0);
    FileDescriptor filler(open((full + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(filler.ok());
    const std::string page(4096, 'x');
    while (write(filler.get(), page.data(), page.size()) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
    const std::string pidFile = full + "/run.pid";
    testproc::Result r = testproc::Run({bin, "-d", "-c", conf, "-p", pidFile});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReapFailure(0), 1);
    EXPECT_EQ(
        WaitSince(0, "Can not write pid file: " + pidFile + ", error: No space left on device"),
        daemonErr);
    EXPECT_NE(access(pidFile.c_str(), F_OK), 0);
    EXPECT_EQ(CountSince(0, "Started " + bin), 0u);
    umount2(full.c_str(), MNT_DETACH);
}

// SIGTERM stops the daemon as SIGINT does; the stop removes the pid file only while its
// path still names the file that the service wrote.
TEST_F(DaemonTest, StopSignalsRemoveOnlyTheirOwnPidFile) {
    const struct {
        int sig;
        bool replaced;  // someone put another file at the path meanwhile
    } rows[] = {{SIGINT, false}, {SIGTERM, false}, {SIGINT, true}};
    int i = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << i);
        const std::string pidFile = dir + "/run" + std::to_string(i) + ".pid";
        const std::string logFile = dir + "/run" + std::to_string(i++) + ".log";
        const size_t before = syslog.messages().size();
        testproc::Result r = testproc::Run({bin, "-d", "-c", conf, "-l", logFile, "-p", pidFile});
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        const pid_t pid = PidFrom(pidFile);
        ASSERT_GT(pid, 0);
        ASSERT_EQ(WaitSince(before, "Invalid configuration file. " + conf), daemonErr);  // asleep
        if (row.replaced) {
            ASSERT_EQ(unlink(pidFile.c_str()), 0);
            ASSERT_TRUE(testproc::WriteFile(pidFile, "someone else's\n"));
        }
        ASSERT_EQ(kill(pid, row.sig), 0);
        EXPECT_EQ(Reap(pid, 5000), 0);
        if (row.replaced)
            EXPECT_EQ(testproc::ReadFile(pidFile), "someone else's\n");
        else
            EXPECT_NE(access(pidFile.c_str(), F_OK), 0);
        EXPECT_TRUE(testproc::WaitForLine(logFile, "Debug: stopping dododuzod ...", 2000));
        EXPECT_NE(WaitSince(before, "Stopped " + bin), -1);
    }
}

TEST_F(DaemonTest, PidFileWithoutDaemonModeIsNotWritten) {
    testproc::Child child({bin, "-c", conf, "-p", dir + "/fg.pid"});
    ASSERT_TRUE(syslog.WaitFor("Invalid configuration file. " + conf, 5000));
    EXPECT_NE(access((dir + "/fg.pid").c_str(), F_OK), 0);
    child.Signal(SIGINT);
    testproc::Result r = child.Wait(5000);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Debug: stopping dododuzod ...\n");
}

// An -l file that cannot be opened, or that someone else may have put there, is reported
// and the debug lines go to standard output. The line log keeps trying the path: a file
// it refuses is reported once more, a failed open is not.
TEST_F(DaemonTest, UnopenableOrPlantedLogFileIsReportedAndTheServiceRunsOn) {
    const std::string fifo = dir + "/unread.fifo";  // nobody reads it
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string victim = dir + "/victim";  // stands for any file root may write
    ASSERT_TRUE(testproc::WriteFile(victim, "precious\n"));
    const std::string open = dir + "/open";  // others may write here
    ASSERT_TRUE(MakeDir(open, 0777, 0));
    const struct {
        std::string path;
        std::function<bool(const std::string&)> plant;
        std::string error;
        bool refused;
    } cases[] = {
        {dir + "/missing/x.log", nullptr, "No such file or directory", false},
        {"", nullptr, "No such file or directory", false},
        {fifo, nullptr, "No such device or address", false},
        {dir + "/a.log", [&](const std::string& p) { return PlantLink(p, victim, nobody); },
         "Symbolic link owned by another user", true},
        {open + "/b.log", [&](const std::string& p) { return PlantLink(p, victim, 0); },
         "Symbolic link in a directory writable by group or others", true},
        {dir + "/c.log", [&](const std::string& p) { return link(victim.c_str(), p.c_str()) == 0; },
         "File has more than one link", true},
        {dir + "/d.log", [](const std::string& p) { return PlantFile(p, 0666, nobody); },
         "File owned by another user", true},
    };
    for (const auto& c : cases) {
        const std::string& path = c.path;
        SCOPED_TRACE("-l '" + path + "'");
        if (c.plant) {
            ASSERT_TRUE(c.plant(path));
        }
        const size_t before = syslog.messages().size();
        testproc::Child child({bin, "-c", conf, "-l", path});
        ASSERT_EQ(WaitSince(before, "Invalid configuration file. " + conf), daemonErr);
        const std::vector<fakes::SyslogMessage> m = Since(before);
        ASSERT_GE(m.size(), 2u);
        EXPECT_EQ(m[1].text, "Can not open log file: " + path + ", error: " + c.error);
        EXPECT_EQ(m[1].priority, daemonErr);
        EXPECT_EQ(CountSince(before, "Can not write log file: " + path + ", error: " + c.error),
                  c.refused ? 1u : 0u);
        child.Signal(SIGINT);
        testproc::Result r = child.Wait(5000);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "Debug: stopping dododuzod ...\n");  // the stream fell back to stdout
        EXPECT_EQ(testproc::ReadFile(victim), "precious\n");
        // The next case counts from here: this child's last message must be in.
        ASSERT_NE(WaitSince(before, "Stopped " + bin), -1);
    }
}

// Links that root made where nobody else can write keep working: -l /dev/stdout, /dev/stderr.
TEST_F(DaemonTest, TrustedLogLinksAreFollowed) {
    for (const char* name : {"stdout", "stderr"}) {
        const std::string at = std::string("/dev/") + name;  // the test's own /dev
        const std::string to = std::string("/proc/self/fd/") + (name[3] == 'o' ? "1" : "2");
        ASSERT_TRUE(symlink(to.c_str(), at.c_str()) == 0 || errno == EEXIST) << at;
        const size_t before = syslog.messages().size();
        testproc::Child child({bin, "-c", conf, "-l", at});
        ASSERT_EQ(WaitSince(before, "Invalid configuration file. " + conf), daemonErr);
        child.Signal(SIGINT);
        testproc::Result r = child.Wait(5000);
        EXPECT_EQ(r.status, 0);
        std::vector<std::string> lines = wire::Lines(name[3] == 'o' ? r.out : r.err);
        for (std::string& line : lines)
            line = wire::Undated(line);
        EXPECT_EQ(lines, (std::vector<std::string>{"[SERVICE] Invalid configuation file. " + conf,
                                                   "Debug: stopping dododuzod ..."}))
            << at;
        ASSERT_NE(WaitSince(before, "Stopped " + bin), -1);
        EXPECT_EQ(Since(before).size(), 4u) << at;  // nothing refused
    }
}

// A log pipe whose reader has stopped reading loses lines; the stop still completes.
TEST_F(DaemonTest, FullLogPipeDoesNotHoldTheStop) {
    const std::string fifo = dir + "/full.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FileDescriptor reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader.ok());
    FileDescriptor filler(open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(filler.ok());
    const std::string chunk(4096, 'x');
    while (write(filler.get(), chunk.data(), chunk.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);

    const size_t before = syslog.messages().size();
    testproc::Child child({bin, "-c", conf, "-l", fifo});
    ASSERT_TRUE(testproc::WaitUntil([&] { return syslog.messages().size() >= before + 3; }, 5000));
    child.Signal(SIGINT);
    testproc::Result r = child.Wait(5000);
    EXPECT_EQ(r.status, 0);
    ASSERT_TRUE(testproc::WaitUntil(
        [&] {
            std::vector<fakes::SyslogMessage> m = syslog.messages();
            return !m.empty() && m.back().text.rfind("Stopped ", 0) == 0;
        },
        5000));
}

}  // namespace
