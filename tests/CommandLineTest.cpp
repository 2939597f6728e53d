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
using Plant = std::function<bool(const std::string&)>;
const uid_t nobody = 65534;  // another user

// What another user could have put at a path the service writes.
Plant Link(const std::string& to, uid_t owner) {
    return [=](const std::string& at) {
        return symlink(to.c_str(), at.c_str()) == 0 && lchown(at.c_str(), owner, owner) == 0;
    };
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
// The lines of `text` without their dates.
std::vector<std::string> Undated(const std::string& text) {
    std::vector<std::string> lines = wire::Lines(text);
    for (std::string& l : lines)
        l = wire::Undated(l);
    return lines;
}

// Run from a directory that is gone: only -d needs one, for its relative paths.
TEST(CommandLineTest, HelpErrorsAndTheConfigurationTest) {
    const std::string dir = testproc::MakeTempDir(), valid = dir + "/valid", nopass = dir + "/np";
    ASSERT_TRUE(testproc::WriteFile(valid,
                                    "username alice\npassword s3cret\nipv4 true\nipv6 1\n"
                                    "pollinterval 60\ndebug true\n") &&
                testproc::WriteFile(nopass, "username alice\nlocation\tx\npollinterval 600\n") &&
                testproc::WriteFile(dir + "/empty", "") && chdir(dir.c_str()) == 0 &&
                mkdir("gone", 0700) == 0 && chdir("gone") == 0 && rmdir("../gone") == 0);
    const std::string usage =
        "\n Zelmar IP Update Client\n Usage: " + kBin +
        " [OPTIONS]\n\n  Options:\n   -h --help                 Display this help.\n"
        "   -c --conf_file filename   Read configuration from the file.\n"
        "   -t --test_conf filename   Test configuration file.\n"
        "   -l --log_file  filename   Write logs to the file.\n"
        "   -d --daemon               Run as a daemon.\n"
        "   -p --pid_file  filename   PID file used by daemonized application.\n\n";
    const auto report = [](const std::string& user, const std::string& pass, const char* families,
                           const char* poll, char debug, const std::string& verdict) {
        return "Username: '" + user + "'\nPassword: '" + pass + "'\nLocation: ''\n" + families +
               "Poll Interval: '" + poll + "'\nDebug: '" + debug + "'\nQuiet: '0'\n" + verdict;
    };
    const std::string validReport = report("alice", "s3cret", "IPv4: '1'\nIPv6: '1'\n", "120", '1',
                                           "Configuration is valid.\n");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;  // err "*": only non-empty is checked (getopt's own wording)
    } cases[] = {
        {{"-h"}, 0, usage, ""},
        {{"--help"}, 0, usage, ""},
        {{"-x"}, 1, usage, "*"},
        {{"--bogus"}, 1, usage, "*"},
        {{"-c"}, 1, usage, "*"},
        {{"-t", valid}, 0, validReport, ""},
        {{"--test_conf", valid}, 0, validReport, ""},
        {{"-t", valid, "-x"}, 0, validReport, ""},  // later options are never read
        {{"-t", valid, "-h"}, 0, validReport, ""},
        {{"-c", nopass, "-t", valid}, 0, validReport, ""},
        {{"-d", "-t", valid}, 0, validReport, ""},  // the test runs without detaching
        {{"-t", nopass},
         0,
         report("alice", "", "IPv4: '0'\nIPv6: '0'\n", "600", '0',
                "Password should not be empty.\nInvalid configuration.\n"),
         ""},
        {{"-t", dir + "/empty"},
         0,
         report("", "", "IPv4: '0'\nIPv6: '0'\n", "120", '0',
                "Username should not be empty.\nPassword should not "
                "be empty.\nInvalid configuration.\n"),
         ""},
        {{"-t", "/tmp/no-such.conf"}, 1, "", "Invalid config file: /tmp/no-such.conf\n"},
        {{"-t", ""}, 1, "", "Missing config file.\n"},
        {{"-d", "-c", "np"},
         1,
         "",
         "Can not get the current directory for np, error: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kBin};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const testproc::Result r = testproc::Run(argv);
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        EXPECT_TRUE(r.exited && r.status == c.status) << r.status;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(c.err == "*" ? !r.err.empty() : r.err == c.err, true) << r.err;
    }
}

// The daemon's grandchild is re-parented to this test process, which reaps it. Every run
// is from the test's directory with relative paths, and a configuration without a password.
class DaemonTest : public service::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        ASSERT_EQ(chdir(dir.c_str()), 0);
        ASSERT_TRUE(testproc::WriteFile(conf, "username alice\n"));
    }
    void TearDown() override {  // a failed test must not leave its daemon running
        for (pid_t pid : daemons)
            kill(pid, SIGKILL);
        while (waitpid(-1, nullptr, daemons.empty() ? WNOHANG : 0) > 0) {
        }
    }
    testproc::Result Daemon(const std::string& log, const std::string& pid) {
        return testproc::Run({kBin, "-d", "-c", "dododuzod.conf", "-l", log, "-p", pid});
    }
    // Reaps `pid`; its exit status, -1 when it did not end in time.
    static int Reap(pid_t pid) {
        int status = 0;
        return testproc::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000) &&
                       WIFEXITED(status)
                   ? WEXITSTATUS(status)
                   : -1;
    }
    // Processes whose parent is this one, other than `keep`.
    static size_t ChildrenOtherThan(pid_t keep) {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename(),
                              stat = testproc::ReadFile(entry.path() / "stat");
            const size_t close = stat.rfind(')');  // the command name may hold anything
            n += name.find_first_not_of("0123456789") == std::string::npos &&
                 std::stoi(name) != keep && close != std::string::npos &&
                 std::atoi(stat.c_str() + std::min(close + 4, stat.size())) == getpid();
        }
        return n;
    }
    // The first non-zero exit status of a child other than `keep` (the middle process of a
    // daemon start leaves with 0); 0 when none came in time. The middle process ignores
    // SIGCHLD, as a daemon start must, so a service that ends before it is reaped by the
    // kernel, its status lost: once the middle process and every other child are gone,
    // the service ended so, and that counts as 1.
    static int ReapFailure(pid_t keep) {
        int failure = 0;
        bool middleGone = false;
        testproc::WaitUntil(
            [&] {
                int status;
                const pid_t p = waitpid(-1, &status, WNOHANG);
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
                const std::string text = testproc::ReadFile(path);
                pid = text != old && text.size() > 1 && text.back() == '\n'
                          ? std::atoi(text.c_str())
                          : 0;
                return pid > 0;
            },
            5000);
        daemons.push_back(pid);
        return pid;
    }
    static int Mode(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
    }
    std::vector<pid_t> daemons;
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
                          log = "run" + n + ".log", stale = n == "0" ? "1234567890123\n" : "";
        SCOPED_TRACE(pidFile);
        const size_t mark = Mark();
        ASSERT_TRUE(stale.empty() || testproc::WriteFile(pidFile, stale, 0640));  // an older run's
        const testproc::Result r = Daemon(log, pidFile);
        EXPECT_TRUE(r.exited && r.status == 0);
        const pid_t pid = PidFrom(pidFile, stale);
        ASSERT_GT(pid, 0);
        ASSERT_EQ(WaitSyslog(invalid, mark), kErr);  // asleep
        EXPECT_EQ(testproc::ReadFile(pidFile), std::to_string(pid) + "\n");
        EXPECT_EQ(Mode(pidFile), 0640);
        EXPECT_EQ(Mode(log), 0640);
        EXPECT_EQ(Undated(testproc::ReadFile(log)),
                  std::vector<std::string>{"[SERVICE] Invalid configuation file. " + conf});
        // A second instance: its first parent says 0, as does the middle process; the
        // service itself gives up with 1.
        const testproc::Result second = Daemon(log, pidFile);
        EXPECT_TRUE(second.exited && second.status == 0);
        EXPECT_EQ(ReapFailure(pid), 1);
        EXPECT_EQ(WaitSyslog("Can not lock pid file: " + dir + "/" + pidFile +
                                 ", error: Locked by another process",
                             mark),
                  kErr);
        EXPECT_EQ(testproc::ReadFile(pidFile), std::to_string(pid) + "\n");
        ASSERT_TRUE(!row.replaced ||
                    (unlink(pidFile.c_str()) == 0 && testproc::WriteFile(pidFile, "other\n")));
        ASSERT_EQ(kill(pid, row.sig), 0);
        EXPECT_EQ(Reap(pid), 0);
        EXPECT_EQ(testproc::ReadFile(pidFile), row.replaced ? "other\n" : "");
        EXPECT_EQ(access(pidFile.c_str(), F_OK) == 0, row.replaced);
        EXPECT_TRUE(testproc::WaitForLine(log, service::kStopping, 2000));
        ASSERT_NE(WaitSyslog("Stopped " + kBin, mark), -1);
        EXPECT_EQ(CountSyslog("Started " + kBin, mark), 1u);
        EXPECT_EQ(CountSyslog("Configuration of " + kBin + " read from file " + conf, mark), 1u);
        const std::vector<fakes::SyslogMessage> m = syslog.messages();
        for (auto it = m.begin() + static_cast<long>(mark); it != m.end(); ++it)
            EXPECT_TRUE(it->ident == kBin && (it->text != "Started " + kBin || it->pid == pid));
    }
}

// A pid file that someone else may have put there, or that cannot be opened or written,
// is never locked, truncated or written: the start fails with status 1 and says why.
TEST_F(DaemonTest, RefusedPidFilesStopTheStart) {
    const std::string victim = dir + "/victim";  // stands for any file root may write
    ASSERT_TRUE(testproc::WriteFile(victim, "precious\n") && MakeDir("open", 0777, 0) &&
                MakeDir("other", 0755, nobody) && MakeDir("full", 0700, 0));
    ASSERT_EQ(mount("tmpfs", "full", "tmpfs", 0, "size=4k"), 0);
    const Plant fill = [](const std::string&) {
        FileDescriptor filler(open("full/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        const std::string page(4096, 'x');
        while (write(filler.get(), page.data(), page.size()) > 0) {
        }
        return errno == ENOSPC;
    };
    const struct {
        std::string path;
        Plant plant;
        std::string error;
    } rows[] = {
        {"a.pid", Link(victim, nobody),
         "open pid file: DIR/a.pid, error: Symbolic link owned by another user"},
        {"open/b.pid", Link(victim, 0),
         "open pid file: DIR/open/b.pid, error: Symbolic link in a directory writable by group or "
         "others"},
        {"other/c.pid", Link(victim, 0),
         "open pid file: DIR/other/c.pid, error: Symbolic link in a directory owned by another "
         "user"},
        {"d.pid", [&](const std::string& p) { return link(victim.c_str(), p.c_str()) == 0; },
         "open pid file: DIR/d.pid, error: File has more than one link"},
        {"e.pid", File(0640, nobody),
         "open pid file: DIR/e.pid, error: File owned by another user"},
        {"f.pid", File(0666, nobody),
         "open pid file: DIR/f.pid, error: File owned by another user"},
        {"g.pid", File(0664, 0),
         "open pid file: DIR/g.pid, error: File writable by group or others"},
        {"h.pid", [](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0; },
         "open pid file: DIR/h.pid, error: Not a regular file"},
        {"", nullptr, "open pid file: , error: No such file or directory"},
        {"full/run.pid", fill, "write pid file: DIR/full/run.pid, error: No space left on device"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        ASSERT_TRUE(!row.plant || row.plant(row.path));
        const size_t mark = Mark();
        const testproc::Result r = Daemon("run.log", row.path);
        EXPECT_TRUE(r.exited && r.status == 0);
        EXPECT_EQ(ReapFailure(0), 1);
        std::string error = "Can not " + row.error;
        if (!row.path.empty())
            error.replace(error.find("DIR"), 3, dir);
        EXPECT_EQ(WaitSyslog(error, mark), kErr);
        EXPECT_EQ(CountSyslog("Started " + kBin, mark), 0u);
        EXPECT_EQ(testproc::ReadFile(victim), "precious\n");
        struct stat planted {};
        const bool kept = lstat(row.path.c_str(), &planted) == 0;
        EXPECT_EQ(kept, row.plant && row.path != "full/run.pid");
        EXPECT_TRUE(!S_ISREG(planted.st_mode) || testproc::ReadFile(row.path) == "precious\n");
    }
    umount2("full", MNT_DETACH);
}

// An -l file that cannot be opened, or that someone else may have put there, is reported
// and the debug lines go to standard output; the line log keeps trying the path, and a
// file it refuses is reported once more, a failed open is not. Links that root made where
// nobody else can write keep working. A pipe whose reader stopped reading loses lines,
// but the stop completes. A pid file without -d is not written.
TEST_F(DaemonTest, RefusedLogFilesAreReportedAndTheServiceRunsOn) {
    const std::string victim = dir + "/victim", fifo = dir + "/unread.fifo", full = dir + "/full";
    std::vector<FileDescriptor> held;
    ASSERT_TRUE(testproc::WriteFile(victim, "precious\n") && MakeDir("open", 0777, 0) &&
                mkfifo(fifo.c_str(), 0600) == 0 && mkfifo(full.c_str(), 0600) == 0);
    for (const char* name : {"stdout", "stderr"})
        ASSERT_EQ(symlink((std::string("/proc/self/fd/") + (name[3] == 'o' ? "1" : "2")).c_str(),
                          (std::string("/dev/") + name).c_str()),
                  0);
    held.emplace_back(open(full.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    held.emplace_back(open(full.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    const std::string chunk(4096, 'x');
    while (write(held.back().get(), chunk.data(), chunk.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    const std::string stopping = service::kStopping,
                      complaint = "[SERVICE] Invalid configuation file. " + conf;
    const struct {
        std::string path;
        Plant plant;
        std::string error, refused;  // what syslog says about the file
        std::vector<std::string> out, err;
    } rows[] = {
        {dir + "/missing/x.log", nullptr, "No such file or directory", "", {stopping}, {}},
        {"", nullptr, "No such file or directory", "", {stopping}, {}},
        {fifo, nullptr, "No such device or address", "", {stopping}, {}},
        {dir + "/a.log",
         Link(victim, nobody),
         "Symbolic link owned by another user",
         "x",
         {stopping},
         {}},
        {dir + "/open/b.log",
         Link(victim, 0),
         "Symbolic link in a directory writable by group or others",
         "x",
         {stopping},
         {}},
        {dir + "/c.log",
         [&](const std::string& p) { return link(victim.c_str(), p.c_str()) == 0; },
         "File has more than one link",
         "x",
         {stopping},
         {}},
        {dir + "/d.log", File(0666, nobody), "File owned by another user", "x", {stopping}, {}},
        {"/dev/stdout", nullptr, "", "", {complaint, stopping}, {}},
        {"/dev/stderr", nullptr, "", "", {}, {complaint, stopping}},
        {full, nullptr, "", "", {}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("-l '" + row.path + "'");
        ASSERT_TRUE(!row.plant || row.plant(row.path));
        const size_t mark = Mark();
        StartClient({"-l", row.path, "-p", "fg.pid"});
        ASSERT_EQ(WaitSyslog(invalid, mark), kErr);
        client->Signal(SIGINT);
        const testproc::Result r = client->Wait(5000);
        EXPECT_TRUE(r.exited && r.status == 0);
        EXPECT_EQ(Undated(r.out), row.out);
        EXPECT_EQ(Undated(r.err), row.err);
        ASSERT_NE(WaitSyslog("Stopped " + kBin, mark), -1);
        const std::vector<std::string> texts = syslog.texts();
        std::vector<std::string> expected = {"Started " + kBin};
        const std::string says = row.path + ", error: " + row.error;
        if (!row.error.empty())
            expected.push_back("Can not open log file: " + says);
        expected.push_back("Configuration of " + kBin + " read from file " + conf);
        if (!row.refused.empty())
            expected.push_back("Can not write log file: " + says);
        expected.push_back(invalid);
        expected.push_back("Stopped " + kBin);
        EXPECT_EQ(std::vector<std::string>(texts.begin() + static_cast<long>(mark), texts.end()),
                  expected);
        EXPECT_EQ(testproc::ReadFile(victim), "precious\n");
        EXPECT_NE(access("fg.pid", F_OK), 0);
    }
}

}  // namespace
