// Daemon start-up: the pid file and the -l file, what may stand at their paths, and the
// stop that removes the pid file.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <vector>

#include "Service.h"
#include "Wire.h"

namespace {

using service::kBin;
using service::kErr;
using service::Lines;

const uid_t nobody = 65534;  // another user

// What root or another user could have put at a path: a symbolic link or a hard link to the
// victim, a file that group members may write, a FIFO (that its maker reads), or a
// directory.
enum class Planted { nothing, symlink, hardLink, groupWritableFile, fifo, readFifo, directory };
enum class Owner { root, otherUser };

// One thing planted at `at`; a link leads to `target` (empty: the victim).
struct Plant {
    std::string at;
    Planted what;
    Owner owner;
    std::string target = "";
};

bool Plant(const Plant& p, const std::string& victim, std::vector<FileDescriptor>& readers) {
    const uid_t uid = p.owner == Owner::otherUser ? nobody : 0;
    const char* at = p.at.c_str();
    const std::string target = p.target.empty() ? victim : p.target;
    const bool made = p.what == Planted::symlink    ? symlink(target.c_str(), at) == 0
                      : p.what == Planted::hardLink ? link(victim.c_str(), at) == 0
                      : p.what == Planted::groupWritableFile
                          ? testproc::WriteFile(at, "precious\n", 0664)
                      : p.what == Planted::directory ? mkdir(at, 0755) == 0
                                                     : mkfifo(at, 0600) == 0;
    if (p.what == Planted::readFifo)
        readers.emplace_back(open(at, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return made && lchown(at, uid, uid) == 0 && (readers.empty() || readers.back().ok());
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

// A pid file or -l file that someone else may have put there, that a path reaches through a
// link or directory that someone else could change (each hop of a chain, and each directory
// on the way), or that cannot be opened, is never locked, truncated or written: the start
// with that pid file fails with status 1 and says why; the -l file is reported, the debug
// lines go to standard output, and the line log keeps trying the path and reports a file it refuses
// once more, not once a line; a refusal names the component refused. Links, directories and files
// of root where nobody else can change them are used, as are a pipe whose reader stopped reading
// and a full device: they lose lines, the stop completes. Lines reach the -l file in order. A pid
// file without -d is not written. Each row plants once and tries both uses.
TEST_F(DaemonTest, RefusedPidAndLogFiles) {
    const std::string victim = dir + "/victim", pipe = dir + "/full", page(4096, 'x');
    ASSERT_TRUE(testproc::WriteFile(victim, "precious\n", 0600) && mkdir("open", 0700) == 0 &&
                chmod("open", 0777) == 0 && mkdir("sticky", 0700) == 0 &&
                chmod("sticky", 01777) == 0 && mkdir("private", 0700) == 0 &&
                mkdir("other", 0755) == 0 && chown("other", nobody, nobody) == 0 &&
                mkfifo(pipe.c_str(), 0600) == 0 && symlink("/proc/self/fd/1", "/dev/stdout") == 0);
    const FileDescriptor reader(open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)),
        writer(open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    while (write(writer.get(), page.data(), page.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    const std::string writable = " writable by group or others",
                      otherLink = "Symbolic link owned by another user",
                      inWritable = "Symbolic link in a directory" + writable,
                      inOthers = "Symbolic link in a directory owned by another user",
                      notRegular = "Not a regular file", noReader = "No such device or address",
                      tooMany = "Too many levels of symbolic links",
                      othersFifo = "Character device, FIFO or socket owned by another user";
    const Lines none, debug = {service::kReloading, service::kStopping};
    Lines all = {invalidLog, debug[0], invalidLog, debug[1]};
    // How the path fares as the -l file: written; refused (for `logError`, else the pid
    // file's reason, and a line each time it is refused again); failed to open
    // (`logError`); or not tried.
    enum class LogFile { written, refused, failed, notTried };
    const auto other = Owner::otherUser, root = Owner::root;
    using P = Planted;
    const P link = P::symlink;
    const LogFile refused = LogFile::refused, written = LogFile::written, failed = LogFile::failed,
                  notTried = LogFile::notTried;
    const std::nullopt_t notTriedAsPidFile = std::nullopt;
    const struct {
        std::string path;
        std::vector<struct Plant> plants;
        std::optional<std::string> pidError;  // as the pid file
        std::string component;                // that the reason names, "" for the file
        LogFile log;
        std::string logError = "";
    } rows[] = {
        {"a", {{"a", link, other}}, otherLink, "a", refused},
        {"open/b", {{"open/b", link, root}}, inWritable, "open/b", refused},
        {"other/c", {{"other/c", link, root}}, inOthers, "other/c", notTried},
        {"d", {{"d", P::hardLink, root}}, "File has more than one link", "", refused},
        {"e", {{"e", P::groupWritableFile, other}}, "File owned by another user", "", refused},
        {"f", {{"f", P::groupWritableFile, root}}, "File" + writable, "", written},
        {"g", {{"g", P::fifo, root}}, notRegular, "", failed, noReader},
        // A trusted link into a directory that others write, where its target became theirs.
        {"h", {{"open/h", link, other}, {"h", link, root, "open/h"}}, otherLink, "open/h", refused},
        // A directory on the way, in a directory that others write, swapped for their link
        // to a root-only directory, or for their own directory.
        {"open/i/victim", {{"open/i", link, other, dir}}, otherLink, "open/i", refused},
        {"open/j/k", {{"open/j", P::directory, other}}, "Unsafe transition", "open/j", refused},
        // Another user's FIFO that they read.
        {"open/l", {{"open/l", P::readFifo, other}}, notRegular, "", refused, othersFifo},
        {"loop", {{"loop", link, root, "loop"}}, tooMany, "", failed, tooMany},
        {"", {}, "No such file or directory", "", failed, "No such file or directory"},
        {"/dev/stdout", {}, notTriedAsPidFile, "", written},
        {pipe, {}, notTriedAsPidFile, "", written},
        {"/dev/full", {}, notTriedAsPidFile, "", written},
        // Root's link to a root-only directory, and root's directory in a sticky one.
        {"m/log", {{"m", link, root, "private"}}, notTriedAsPidFile, "", written},
        {"sticky/n/log", {{"sticky/n", P::directory, root}}, notTriedAsPidFile, "", written},
    };
    std::vector<FileDescriptor> readers;  // the FIFOs' makers
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        for (const struct Plant& plant : row.plants)
            ASSERT_TRUE(Plant(plant, victim, readers));
        // The pid file's path is made absolute, and so is the component its reason names.
        const auto reason = [&](const std::string& why, bool pid) {
            return row.component.empty() ? why
                                         : why + ": " + (pid ? dir + "/" : "") + row.component;
        };
        const std::string error = "Can not open pid file: " + (row.path.empty() ? "" : dir + "/") +
                                  row.path + ", error: " + reason(row.pidError.value_or(""), true);
        size_t mark = Mark();
        if (row.pidError) {
            EXPECT_EQ(Daemon(row.path).status, 0);
            EXPECT_TRUE(AllEnd());
            EXPECT_EQ(WaitSyslog(error, mark), kErr);
            EXPECT_EQ(SyslogSince(mark), Lines{error});
            mark = Mark();
        }
        if (row.log != LogFile::notTried) {
            StartClient({"-l", row.path, "-p", "fg.pid"});
            ASSERT_EQ(WaitSyslog(invalid, mark), kErr);
            client->Signal(SIGHUP);  // a second line for the line log
            ASSERT_EQ(WaitSyslog(invalid, mark, 2), kErr);
            const bool isRefused = row.log == refused;
            const std::string why = isRefused && row.logError.empty() ? reason(*row.pidError, false)
                                                                      : row.logError,
                              says = row.path + ", error: " + why;
            // The reload's line arrives while the service runs, on standard output too.
            const bool own = row.log == written && row.path.find('/') != std::string::npos &&
                             row.path[0] != '/',
                       shown = own || !why.empty() || row.path == "/dev/stdout";
            const std::string stream = own ? row.path : client->OutPath();
            EXPECT_TRUE(!shown || WaitForLog(debug[0], 1, 5000, stream));
            const testproc::Result r = Stop();
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(wire::UndatedLines(client->OutPath()), row.path == "/dev/stdout" ? all
                                                             : why.empty()             ? none
                                                                                       : debug);
            EXPECT_EQ(r.err, "");
            ASSERT_NE(WaitSyslog("Stopped " + kBin, mark), -1);
            Lines expected = {"Started " + kBin};
            if (!why.empty())
                expected.push_back("Can not open log file: " + says);
            expected.push_back("Configuration of " + kBin + " read from file " + conf);
            if (isRefused)
                expected.push_back("Can not write log file: " + says);
            expected.insert(expected.end(), {invalid, reloaded, invalid, "Stopped " + kBin});
            EXPECT_EQ(SyslogSince(mark), expected);
            EXPECT_NE(access("fg.pid", F_OK), 0);
            if (own) {
                EXPECT_EQ(wire::UndatedLines(row.path), all);
            }
        }
        EXPECT_EQ(testproc::ReadFile(victim), "precious\n");
        char byte;
        for (const FileDescriptor& fifo : readers)
            EXPECT_LE(read(fifo.get(), &byte, 1), 0);  // nothing reached another user
    }
    all.insert(all.begin(), "precious");  // root's own file
    EXPECT_EQ(wire::UndatedLines("f"), all);
}

}  // namespace
