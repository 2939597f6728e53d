// The binary's command line: help, option errors, the configuration test, and daemon
// start-up with its pid file and log file.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>

#include "Service.h"
#include "Wire.h"

namespace {

using service::kBin;
using service::kErr;
using service::Lines;
const uid_t nobody = 65534;  // another user

// What another user (kind in upper case) or root could have put at `at`: a symbolic link
// ('l') or a hard link ('h') to `victim`, a file ('f') that group members may write, or a
// FIFO ('p').
bool Plant(char kind, const std::string& at, const std::string& victim) {
    const uid_t owner = std::isupper(kind) ? nobody : 0;
    kind = static_cast<char>(std::tolower(kind));
    const bool made = kind == 'l'   ? symlink(victim.c_str(), at.c_str()) == 0
                      : kind == 'h' ? link(victim.c_str(), at.c_str()) == 0
                      : kind == 'f' ? testproc::WriteFile(at, "precious\n", 0664)
                                    : mkfifo(at.c_str(), 0600) == 0;
    return made && lchown(at.c_str(), owner, owner) == 0;
}

// Run from a directory that is gone: only -d needs one, for its relative paths.
TEST(CommandLineTest, HelpErrorsAndTheConfigurationTest) {
    const std::string dir = testproc::MakeTempDir(), valid = dir + "/valid", nopass = dir + "/np";
    ASSERT_TRUE(testproc::WriteFile(valid,
                                    "username alice\npassword s3cret\nipv4 true\nipv6 1\n"
                                    "pollinterval 60\ndebug true\n") &&
                testproc::WriteFile(nopass, "username alice\nlocation\tx\npollinterval 600\n") &&
                chdir(dir.c_str()) == 0 && mkdir("gone", 0700) == 0 && chdir("gone") == 0 &&
                rmdir("../gone") == 0);
    const std::string usage =
        "\n Zelmar IP Update Client\n Usage: " + kBin +
        " [OPTIONS]\n\n  Options:\n   -h --help                 Display this help.\n"
        "   -c --conf_file filename   Read configuration from the file.\n"
        "   -t --test_conf filename   Test configuration file.\n"
        "   -l --log_file  filename   Write logs to the file.\n"
        "   -d --daemon               Run as a daemon.\n"
        "   -p --pid_file  filename   PID file used by daemonized application.\n\n";
    const std::string ok = "Username: 'alice'\nPassword: 's3cret'\nLocation: ''\nIPv4: '1'\nIPv6: "
                           "'1'\nPoll Interval: '120'\nDebug: '1'\nQuiet: '0'\nConfiguration is "
                           "valid.\n",
                      noPassword =
                          "Username: 'alice'\nPassword: ''\nLocation: ''\nIPv4: '0'\nIPv6: "
                          "'0'\nPoll Interval: '600'\nDebug: '0'\nQuiet: '0'\nPassword "
                          "should not be empty.\nInvalid configuration.\n",
                      noDir = "Can not get the current directory for np";
    const struct {
        int status;
        std::string out, err;     // err "*": only non-empty is checked (getopt's own wording)
        std::vector<Lines> runs;  // each with this outcome
    } cases[] = {
        {0, usage, "", {{"-h"}, {"--help"}}},
        {1, usage, "*", {{"-x"}, {"--bogus"}, {"-c"}}},
        // Later options are never read; the test runs without detaching.
        {0, ok, "", {{"-t", valid}, {"--test_conf", valid}, {"-t", valid, "-x"}}},
        {0, ok, "", {{"-t", valid, "-h"}, {"-c", nopass, "-t", valid}, {"-d", "-t", valid}}},
        {0, noPassword, "", {{"-t", nopass}}},
        {1, "", "Invalid config file: /tmp/no-such.conf\n", {{"-t", "/tmp/no-such.conf"}}},
        {1, "", "Missing config file.\n", {{"-t", ""}}},
        {1, "", noDir + ", error: No such file or directory\n", {{"-d", "-c", "np"}}},
    };
    for (const auto& c : cases)
        for (Lines argv : c.runs) {
            SCOPED_TRACE(argv[0] + (argv.size() > 1 ? " " + argv[1] : ""));
            argv.insert(argv.begin(), kBin);
            const testproc::Result r = testproc::Run(argv);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(c.err == "*" ? !r.err.empty() : r.err == c.err, true) << r.err;
        }
}

// Every run is from the test's directory with relative paths, and a configuration without
// a password.
class DaemonTest : public service::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // the daemons become children here
        ASSERT_EQ(chdir(dir.c_str()), 0);
        ASSERT_TRUE(testproc::WriteFile(conf, "username alice\n"));
    }
    void TearDown() override {  // a failed test must not leave its daemon running
        if (daemon > 0)
            kill(daemon, SIGKILL);
        AllEnd();
    }
    testproc::Result Daemon(const std::string& pid) {
        return testproc::Run({kBin, "-d", "-c", "dododuzod.conf", "-l", log, "-p", pid});
    }
    // Whether every child ends within 5 s, `daemon` with 0 and the others, the middle
    // processes of daemon starts and the services that fail, with 0 or 1. The middle
    // process ignores SIGCHLD, as a daemon start must, so a service that fails before it
    // left is reaped by the kernel and its status is lost.
    bool AllEnd() const {
        bool ok = true;
        pid_t p = 0;
        const bool ended = testproc::WaitUntil(
            [&] {
                int status = 0;
                while ((p = waitpid(-1, &status, WNOHANG)) > 0)
                    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) <= (p == daemon ? 0 : 1);
                return p < 0;
            },
            5000);
        return ended && ok;
    }
    pid_t daemon = 0;
};

// The pid file is written (0640, as the -l file: umask(0) must not make them writable to
// others), locked against a second instance, and removed at a stop by SIGINT or SIGTERM,
// but only while its path still names the file that the service wrote.
TEST_F(DaemonTest, WritesLocksAndRemovesThePidFile) {
    const struct {
        int sig;
        bool replaced;  // someone put another file at the path meanwhile
    } rows[] = {{SIGINT, false}, {SIGTERM, false}, {SIGINT, true}};
    for (const auto& row : rows) {
        const std::string n = std::to_string(&row - rows), pidFile = "run" + n + ".pid",
                          stale = n == "0" ? "1234567890123\n" : "";  // an older run's
        SCOPED_TRACE(pidFile);
        log = "run" + n + ".log";
        const size_t mark = Mark();
        ASSERT_TRUE(stale.empty() || testproc::WriteFile(pidFile, stale, 0640));
        EXPECT_EQ(Daemon(pidFile).status, 0);
        ASSERT_EQ(WaitSyslog(invalid, mark), kErr);  // asleep
        daemon = syslog.messages()[mark].pid;
        for (const std::string& path : {pidFile, log})
            EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0640));
        EXPECT_EQ(wire::UndatedLines(log), Lines{invalidLog});
        // A second instance: its first parent says 0, and so does the middle process.
        EXPECT_EQ(Daemon(pidFile).status, 0);
        const std::string locked =
            "Can not lock pid file: " + dir + "/" + pidFile + ", error: Locked by another process";
        EXPECT_EQ(WaitSyslog(locked, mark), kErr);
        EXPECT_EQ(testproc::ReadFile(pidFile), std::to_string(daemon) + "\n");
        ASSERT_TRUE(!row.replaced ||
                    (unlink(pidFile.c_str()) == 0 && testproc::WriteFile(pidFile, "other\n")));
        ASSERT_EQ(kill(daemon, row.sig), 0);
        EXPECT_TRUE(AllEnd());
        daemon = 0;
        EXPECT_EQ(testproc::ReadFile(pidFile), row.replaced ? "other\n" : "");
        EXPECT_EQ(access(pidFile.c_str(), F_OK) == 0, row.replaced);
        EXPECT_TRUE(WaitForLog(service::kStopping));
        ASSERT_NE(WaitSyslog("Stopped " + kBin, mark), -1);
        EXPECT_EQ(SyslogSince(mark),
                  (Lines{"Started " + kBin, "Configuration of " + kBin + " read from file " + conf,
                         invalid, locked, "Stopped " + kBin}));
    }
}

// A pid file or -l file that someone else may have put there, or that cannot be opened, is
// never locked, truncated or written: the start with that pid file fails with
// status 1 and says why; the -l file is reported, the debug lines go to standard output,
// and the line log keeps trying the path and reports a file it refuses once more, not once
// a line. Links and files of root where nobody else can change them are used, as are a
// pipe whose reader stopped reading and a full device: they lose lines, the stop completes.
// A pid file without -d is not written. Each row plants once and tries both uses.
TEST_F(DaemonTest, RefusedPidAndLogFiles) {
    const std::string victim = dir + "/victim", pipe = dir + "/full", page(4096, 'x');
    ASSERT_TRUE(testproc::WriteFile(victim, "precious\n") && mkdir("open", 0700) == 0 &&
                chmod("open", 0777) == 0 && mkdir("other", 0755) == 0 &&
                chown("other", nobody, nobody) == 0 && mkfifo(pipe.c_str(), 0600) == 0 &&
                symlink("/proc/self/fd/1", "/dev/stdout") == 0);
    const FileDescriptor reader(open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)),
        writer(open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    while (write(writer.get(), page.data(), page.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    const std::string writable = " writable by group or others";
    const Lines none, debug = {service::kReloading, service::kStopping};
    Lines all = {invalidLog, invalidLog, debug[0], debug[1]};
    const struct {
        std::string path;
        char plant;            // 0: nothing
        std::string pid, log;  // the errors; "-": not tried so; -l "=": as for the pid file
    } rows[] = {
        {"a", 'L', "Symbolic link owned by another user", "="},
        {"open/b", 'l', "Symbolic link in a directory" + writable, "="},
        {"other/c", 'l', "Symbolic link in a directory owned by another user", "-"},
        {"d", 'h', "File has more than one link", "="},
        {"e", 'F', "File owned by another user", "="},
        {"f", 'f', "File" + writable, ""},
        {"g", 'p', "Not a regular file", "No such device or address"},
        {"", 0, "No such file or directory", "="},
        {"/dev/stdout", 0, "-", ""},
        {pipe, 0, "-", ""},
        {"/dev/full", 0, "-", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        ASSERT_TRUE(!row.plant || Plant(row.plant, row.path, victim));
        const std::string error = "Can not open pid file: " + (row.path.empty() ? "" : dir + "/") +
                                  row.path + ", error: " + row.pid;
        size_t mark = Mark();
        if (row.pid != "-") {
            EXPECT_EQ(Daemon(row.path).status, 0);
            EXPECT_TRUE(AllEnd());
            EXPECT_EQ(WaitSyslog(error, mark), kErr);
            EXPECT_EQ(SyslogSince(mark), Lines{error});
            mark = Mark();
        }
        EXPECT_EQ(access(row.path.c_str(), F_OK) == 0, row.plant || row.pid == "-");
        if (row.log != "-") {
            StartClient({"-l", row.path, "-p", "fg.pid"});
            ASSERT_EQ(WaitSyslog(invalid, mark), kErr);
            client->Signal(SIGHUP);  // a second line for the line log
            ASSERT_EQ(WaitSyslog(invalid, mark, 2), kErr);
            const testproc::Result r = Stop();
            EXPECT_EQ(r.status, 0);
            const std::string why = row.log == "=" ? row.pid : row.log,
                              says = row.path + ", error: " + why;
            EXPECT_EQ(wire::UndatedLines(client->OutPath()), row.path == "/dev/stdout" ? all
                                                             : why.empty()             ? none
                                                                                       : debug);
            EXPECT_EQ(r.err, "");
            ASSERT_NE(WaitSyslog("Stopped " + kBin, mark), -1);
            Lines expected = {"Started " + kBin};
            if (!why.empty())
                expected.push_back("Can not open log file: " + says);
            expected.push_back("Configuration of " + kBin + " read from file " + conf);
            if (row.log == "=" && row.plant)  // refused, not failed
                expected.push_back("Can not write log file: " + says);
            expected.insert(expected.end(), {invalid, reloaded, invalid, "Stopped " + kBin});
            EXPECT_EQ(SyslogSince(mark), expected);
            EXPECT_NE(access("fg.pid", F_OK), 0);
        }
        EXPECT_EQ(testproc::ReadFile(victim), "precious\n");
    }
    all.insert(all.begin(), "precious");  // root's own file
    EXPECT_EQ(wire::UndatedLines("f"), all);
}

}  // namespace
