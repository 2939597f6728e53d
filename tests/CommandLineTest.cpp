// The binary's command line: help, option errors, the configuration test, and daemon
// start-up with its pid file and log file.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "Service.h"
#include "Wire.h"

namespace {

using service::kBin;
using service::kErr;
using service::Lines;
using Plant = std::function<bool(const std::string&)>;
const uid_t nobody = 65534;  // another user

// What another user could have put at a path the service writes.
Plant Link(const std::string& to, uid_t owner) {
    return [=](const std::string& at) {
        return symlink(to.c_str(), at.c_str()) == 0 && lchown(at.c_str(), owner, owner) == 0;
    };
}
Plant HardLink(const std::string& to) {
    return [=](const std::string& at) { return link(to.c_str(), at.c_str()) == 0; };
}
Plant File(int mode, uid_t owner) {
    return [=](const std::string& at) {
        return testproc::WriteFile(at, "precious\n", mode) && chown(at.c_str(), owner, owner) == 0;
    };
}
bool MakeDir(const std::string& path, int mode, uid_t owner) {
    return mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), mode) == 0 &&
           chown(path.c_str(), owner, owner) == 0;
}
Lines Undated(const std::string& text) {
    Lines lines = wire::Lines(text);
    for (std::string& l : lines)
        l = wire::Undated(l);
    return lines;
}

// Run from a directory that is gone: only -d needs one, for its relative paths.
TEST(CommandLineTest, HelpErrorsAndTheConfigurationTest) {
    const std::string dir = testproc::MakeTempDir(), valid = dir + "/valid", nopass = dir + "/np",
                      empty = dir + "/empty";
    ASSERT_TRUE(testproc::WriteFile(valid,
                                    "username alice\npassword s3cret\nipv4 true\nipv6 1\n"
                                    "pollinterval 60\ndebug true\n") &&
                testproc::WriteFile(nopass, "username alice\nlocation\tx\npollinterval 600\n") &&
                testproc::WriteFile(empty, "") && chdir(dir.c_str()) == 0 &&
                mkdir("gone", 0700) == 0 && chdir("gone") == 0 && rmdir("../gone") == 0);
    const std::string usage =
        "\n Zelmar IP Update Client\n Usage: " + kBin +
        " [OPTIONS]\n\n  Options:\n   -h --help                 Display this help.\n"
        "   -c --conf_file filename   Read configuration from the file.\n"
        "   -t --test_conf filename   Test configuration file.\n"
        "   -l --log_file  filename   Write logs to the file.\n"
        "   -d --daemon               Run as a daemon.\n"
        "   -p --pid_file  filename   PID file used by daemonized application.\n\n";
    const auto report = [](const std::string& user, const std::string& pass, char ip,
                           const char* poll, char debug, const std::string& verdict) {
        return "Username: '" + user + "'\nPassword: '" + pass + "'\nLocation: ''\nIPv4: '" + ip +
               "'\nIPv6: '" + ip + "'\nPoll Interval: '" + poll + "'\nDebug: '" + debug +
               "'\nQuiet: '0'\n" + verdict;
    };
    const std::string noPassword = "Password should not be empty.\nInvalid configuration.\n",
                      ok = report("alice", "s3cret", '1', "120", '1', "Configuration is valid.\n"),
                      noUser = "Username should not be empty.\n" + noPassword,
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
        {0, report("alice", "", '0', "600", '0', noPassword), "", {{"-t", nopass}}},
        {0, report("", "", '0', "120", '0', noUser), "", {{"-t", empty}}},
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
    const std::string invalid = "Invalid configuration file. " + conf;
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
        EXPECT_EQ(wire::UndatedLines(log), Lines{"[SERVICE] Invalid configuation file. " + conf});
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

// A pid file or -l file that someone else may have put there, or that cannot be opened or
// written, is never locked, truncated or written: the start with that pid file fails with
// status 1 and says why; the -l file is reported and the debug lines go to standard
// output, the line log keeps trying the path, and a file it refuses is reported once more,
// a failed open is not. Links that root made where nobody else can write keep working. A
// pipe whose reader stopped reading, or a full device, loses lines, but the stop completes.
// A pid file without -d is not written. Each row plants once and tries both uses.
TEST_F(DaemonTest, RefusedPidAndLogFiles) {
    const std::string victim = dir + "/victim", fifo = dir + "/unread.fifo", pipe = dir + "/full";
    std::vector<FileDescriptor> held;
    ASSERT_TRUE(testproc::WriteFile(victim, "precious\n") && MakeDir("open", 0777, 0) &&
                MakeDir("other", 0755, nobody) && MakeDir("small", 0700, 0) &&
                mkfifo(fifo.c_str(), 0600) == 0 && mkfifo(pipe.c_str(), 0600) == 0 &&
                symlink("/proc/self/fd/1", "/dev/stdout") == 0 &&
                symlink("/proc/self/fd/2", "/dev/stderr") == 0);
    ASSERT_EQ(mount("tmpfs", "small", "tmpfs", 0, "size=4k"), 0);
    held.emplace_back(open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    held.emplace_back(open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    const std::string page(4096, 'x');
    while (write(held.back().get(), page.data(), page.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    const Plant fill = [&](const std::string&) {
        held.emplace_back(open("small/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        while (write(held.back().get(), page.data(), page.size()) > 0) {
        }
        return errno == ENOSPC;
    };
    const Lines stop = {service::kStopping},
                all = {"[SERVICE] Invalid configuation file. " + conf, service::kStopping};
    const std::string owned = "File owned by another user", noent = "No such file or directory",
                      writable = " writable by group or others";
    const struct {
        std::string path;
        Plant plant;
        std::string pid, log;  // the errors; "-": not tried so; -l "=": as for the pid file
        bool refused;          // the line log says so again
        Lines out, err;
    } rows[] = {
        {"a", Link(victim, nobody), "Symbolic link owned by another user", "=", true, stop, {}},
        {"open/b", Link(victim, 0), "Symbolic link in a directory" + writable, "=", true, stop, {}},
        {"other/c",
         Link(victim, 0),
         "Symbolic link in a directory owned by another user",
         "-",
         false,
         {},
         {}},
        {"d", HardLink(victim), "File has more than one link", "=", true, stop, {}},
        {"e", File(0640, nobody), owned, "-", false, {}, {}},
        {"f", File(0666, nobody), owned, "=", true, stop, {}},
        {"g", File(0664, 0), "File" + writable, "-", false, {}, {}},
        {"h",
         [](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0; },
         "Not a regular file",
         "No such device or address",
         false,
         stop,
         {}},
        {"", nullptr, noent, "=", false, stop, {}},
        {"missing/x", nullptr, noent, "=", false, stop, {}},
        {"small/run.pid", fill, "No space left on device", "-", false, {}, {}},  // at the write
        {"/dev/stdout", nullptr, "-", "", false, all, {}},
        {"/dev/stderr", nullptr, "-", "", false, {}, all},
        {pipe, nullptr, "-", "", false, {}, {}},
        {"/dev/full", nullptr, "-", "", false, {}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        ASSERT_TRUE(!row.plant || row.plant(row.path));
        const bool written = row.path == "small/run.pid";
        const std::string error = std::string("Can not ") + (written ? "write" : "open") +
                                  " pid file: " + (row.path.empty() ? "" : dir + "/") + row.path +
                                  ", error: " + row.pid;
        size_t mark = Mark();
        if (row.pid != "-") {
            EXPECT_EQ(Daemon(row.path).status, 0);
            EXPECT_TRUE(AllEnd());
            EXPECT_EQ(WaitSyslog(error, mark), kErr);
            EXPECT_EQ(SyslogSince(mark), Lines{error});
            struct stat planted {};
            EXPECT_EQ(lstat(row.path.c_str(), &planted) == 0, row.plant && !written);
            EXPECT_TRUE(!S_ISREG(planted.st_mode) || testproc::ReadFile(row.path) == "precious\n");
            mark = Mark();
        }
        if (row.log == "-")
            continue;
        StartClient({"-l", row.path, "-p", "fg.pid"});
        ASSERT_EQ(WaitSyslog(invalid, mark), kErr);
        const testproc::Result r = Stop();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(Undated(r.out), row.out);
        EXPECT_EQ(Undated(r.err), row.err);
        ASSERT_NE(WaitSyslog("Stopped " + kBin, mark), -1);
        const std::string why = row.log == "=" ? row.pid : row.log,
                          says = row.path + ", error: " + why;
        Lines expected = {"Started " + kBin};
        if (!why.empty())
            expected.push_back("Can not open log file: " + says);
        expected.push_back("Configuration of " + kBin + " read from file " + conf);
        if (row.refused)
            expected.push_back("Can not write log file: " + says);
        expected.insert(expected.end(), {invalid, "Stopped " + kBin});
        EXPECT_EQ(SyslogSince(mark), expected);
        EXPECT_EQ(testproc::ReadFile(victim), "precious\n");
        EXPECT_NE(access("fg.pid", F_OK), 0);
    }
    umount2("small", MNT_DETACH);
}

}  // namespace
