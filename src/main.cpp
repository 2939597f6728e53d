// dododuzod: the life of the process, in the order it is lived: start-up, the command line
// and the configuration test, configuration loading, the daemon and its pid file, the poll
// loop with its signals, and the stop.
#include <fcntl.h>
#include <getopt.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <utility>

#include "FileDescriptor.h"
#include "MyConfiguration.h"
#include "MyFunctions.h"
#include "MyIPUpdate.h"
#include "NetEvents.h"
#include "Notify.h"
#include "SafeFile.h"
#include "Wait.h"

MyIPUpdate myIPUpdate;
int running = 0;
FILE* log_stream = nullptr;
std::string log_stream_path;       // the -l path, reopened at each reload; empty without -l
bool log_stream_failed = false;    // its last open failed and was reported
struct stat log_stream_file = {};  // what the -l stream writes to, as opened
const char* app_name = nullptr;
std::string pid_file_name;
FileDescriptor pid_fd;

// ---- Start-up -------------------------------------------------------------------------

namespace {

// The handler only records; the poll loop acts on what it recorded. A stop is recorded
// in stop_requested, which every wait watches too.
volatile sig_atomic_t sighup_pending = 0;

// A start that fails says why in syslog, then ends with status 1.
[[noreturn]] void FailStart(const std::string& what, const std::string& why) {
    syslog(LOG_ERR, "%s, error: %s", what.c_str(), why.c_str());
    std::exit(1);
}
[[noreturn]] void FailStart(const char* what, int error) {
    FailStart(what, std::strerror(error));
}

}  // namespace

void handle_signal(int sig) {
    if (sig == SIGINT || sig == SIGTERM) {
        stop_requested = 1;  // the waits end on it, and the loop stops
        // A second stop signal ends the process at once.
        struct sigaction fallback = {};
        sigemptyset(&fallback.sa_mask);
        fallback.sa_handler = SIG_DFL;
        sigaction(SIGINT, &fallback, nullptr);
        sigaction(SIGTERM, &fallback, nullptr);
    } else if (sig == SIGHUP) {
        sighup_pending = 1;
    }
    Wait::Wake();
}

namespace {

// From the first instruction of main a stop or reload is recorded, never fatal, and a
// reader that has gone from a pipe is a failed write, not the end of the service. No
// SA_RESTART: a signal cuts a wait short. Signals blocked by whoever started us would
// never reach the waits, so they are let through.
bool InstallSignalHandlers() {
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = handle_signal;
    struct sigaction ignore = {};
    sigemptyset(&ignore.sa_mask);
    ignore.sa_handler = SIG_IGN;
    sigset_t ours;
    sigemptyset(&ours);
    for (int sig : Wait::serviceSignals)
        if (sigaction(sig, &action, nullptr) != 0 || sigaddset(&ours, sig) != 0)
            return false;
    return sigaction(SIGPIPE, &ignore, nullptr) == 0 &&
           sigprocmask(SIG_UNBLOCK, &ours, nullptr) == 0;
}

// A descriptor 0, 1 or 2 that was closed at exec would go to the next open, and what is
// meant for a standard stream would reach a socket or a log file: /dev/null takes it.
bool OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = open("/dev/null", O_RDWR);  // the lowest free number: fd itself
        if (opened != fd) {
            if (opened >= 0) {
                close(opened);
                errno = EBADF;
            }
            return false;
        }
    }
    return true;
}

// The first acts of the process, before anything else is opened: from here on a signal
// is only recorded, nothing takes the place of a standard stream, and a failing start
// can say why in syslog. openlog opens nothing: syslog connects with the first message,
// which on the way that succeeds is still "Started".
void PrepareProcess(const char* name) {
    const bool handled = InstallSignalHandlers();
    const int handlerError = errno;
    openlog(name, LOG_CONS | LOG_PID, LOG_DAEMON);
    if (!handled)
        FailStart("Can not install the signal handlers", handlerError);
    if (!OpenStandardDescriptors())
        FailStart("Can not open /dev/null", errno);
}

// ---- The command line and the configuration test --------------------------------------

// Options as given on the command line.
struct Options {
    bool daemon = false;
    bool logGiven = false;  // -l, even with an empty path: its failure is reported
    bool pidGiven = false;  // -p, even with an empty path: its failure stops the daemon
    std::string logPath;    // -l, also the path of log_stream
};

void print_help() {
    std::printf("\n Zelmar IP Update Client");
    std::printf("\n Usage: %s [OPTIONS]\n\n", app_name);
    std::printf("  Options:\n");
    std::printf("   -h --help                 Display this help.\n");
    std::printf("   -c --conf_file filename   Read configuration from the file.\n");
    std::printf("   -t --test_conf filename   Test configuration file.\n");
    std::printf("   -l --log_file  filename   Write logs to the file.\n");
    std::printf("   -d --daemon               Run as a daemon.\n");
    std::printf("   -p --pid_file  filename   PID file used by daemonized application.\n");
    std::printf("\n");
}

// What a configuration file sets, read the same way for the service and for -t.
Settings ReadSettings(MyConfiguration& configuration) {
    Settings settings;
    settings.username = configuration.GetString("username");
    settings.password = configuration.GetString("password");
    settings.location = configuration.GetString("location");
    settings.ipv4Enabled = configuration.GetBoolean("ipv4");
    settings.ipv6Enabled = configuration.GetBoolean("ipv6");
    settings.pollInterval =
        std::max(configuration.GetInteger("pollinterval"), MyIPUpdate::minPollInterval);
    settings.debug = configuration.GetBoolean("debug");
    settings.quiet = configuration.GetBoolean("quiet");
    settings.verbose = configuration.GetBoolean("verbose");
    // On unless the file turns it off.
    settings.netEvents =
        configuration.GetString("netevents").empty() || configuration.GetBoolean("netevents");
    settings.ipv6Temporary = configuration.GetBoolean("ipv6temporary");
    return settings;
}

// The test is no service: a stop or reload signal ends it at once, as the default action
// does, instead of letting it report a result it did not finish.
void EndTestOnSignals() {
    for (int sig : Wait::serviceSignals)
        signal(sig, SIG_DFL);
    if (stop_requested || sighup_pending)
        raise(stop_requested ? SIGINT : SIGHUP);
}

}  // namespace

int test_conf_file(char* fileName) {
    if (fileName == nullptr || *fileName == '\0') {
        std::fputs("Missing config file.\n", stderr);
        return 1;
    }
    MyConfiguration configuration;
    if (!configuration.Load(fileName)) {
        std::fprintf(stderr, "Invalid config file: %s\n", fileName);
        return 1;
    }
    const Settings settings = ReadSettings(configuration);
    std::cout << "Username: '" << settings.username << "'" << std::endl;
    std::cout << "Password: '" << settings.password << "'" << std::endl;
    std::cout << "Location: '" << settings.location << "'" << std::endl;
    std::cout << "IPv4: '" << settings.ipv4Enabled << "'" << std::endl;
    std::cout << "IPv6: '" << settings.ipv6Enabled << "'" << std::endl;
    std::cout << "Poll Interval: '" << settings.pollInterval << "'" << std::endl;
    std::cout << "Debug: '" << settings.debug << "'" << std::endl;
    std::cout << "Quiet: '" << settings.quiet << "'" << std::endl;

    bool valid = true;
    if (settings.username.empty()) {
        std::cout << "Username should not be empty." << std::endl;
        valid = false;
    }
    if (settings.password.empty()) {
        std::cout << "Password should not be empty." << std::endl;
        valid = false;
    }
    if (myIPUpdate.IsLocationDenied(settings))
        std::cout << "Location " << settings.location
                  << " does not exist and will be ignored. You can map hostnames to locations in "
                     "the control panel."
                  << std::endl;
    std::cout << (valid ? "Configuration is valid." : "Invalid configuration.") << std::endl;
    return 0;
}

namespace {

// Reads the command line into `options`. Returns the exit status when the process ends
// here (-h, -t, an unknown option), else -1.
int ReadOptions(int argc, char** argv, Options& options) {
    static const struct option longOptions[] = {{"conf_file", required_argument, nullptr, 'c'},
                                                {"test_conf", required_argument, nullptr, 't'},
                                                {"log_file", required_argument, nullptr, 'l'},
                                                {"help", no_argument, nullptr, 'h'},
                                                {"daemon", no_argument, nullptr, 'd'},
                                                {"pid_file", required_argument, nullptr, 'p'},
                                                {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "c:l:t:p:dh", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'c':
                myIPUpdate.confFile = optarg;
                break;
            case 't':
                EndTestOnSignals();
                return test_conf_file(optarg);
            case 'l':
                myIPUpdate.logFile = optarg;
                options.logGiven = true;
                options.logPath = optarg;
                break;
            case 'h':
                print_help();
                return 0;
            case 'd':
                options.daemon = true;
                break;
            case 'p':
                options.pidGiven = true;
                pid_file_name = optarg;
                break;
            default:
                print_help();
                return 1;
        }
    }
    return -1;
}

// ---- Configuration loading --------------------------------------------------------------

const char* const locationIgnored =
    "Ignoring invalid location. You can map hostnames to locations in the control panel.";

}  // namespace

int read_conf_file(int reload) {
    if (myIPUpdate.confFile.empty()) {
        syslog(LOG_ERR, "Missing config file, error: %s", std::strerror(errno));
        return -1;
    }
    MyConfiguration configuration;
    if (!configuration.Load(myIPUpdate.confFile)) {
        syslog(LOG_ERR, "Can not open config file: %s, error: %s", myIPUpdate.confFile.c_str(),
               std::strerror(errno));
        return -1;
    }
    // Swapped in, not assigned: a short string assigned to a long one keeps its buffer, and
    // a huge value once loaded would stay resident.
    Settings settings = ReadSettings(configuration);
    std::swap(static_cast<Settings&>(myIPUpdate), settings);
    myIPUpdate.forceUpdate = true;

    if (myIPUpdate.IsLocationDenied(myIPUpdate)) {
        myIPUpdate.location = "";
        MyFunctions::Log(myIPUpdate.logFile, "SERVICE", locationIgnored, false, myIPUpdate.debug,
                         myIPUpdate.quiet, myIPUpdate.verbose);
        syslog(LOG_INFO, "%s", locationIgnored);
    }
    if (reload == 1)
        syslog(LOG_INFO, "Reloaded configuration file %s of %s", myIPUpdate.confFile.c_str(),
               app_name);
    else
        syslog(LOG_INFO, "Configuration of %s read from file %s", app_name,
               myIPUpdate.confFile.c_str());
    return 1;
}

// ---- The daemon and its pid file ---------------------------------------------------------

namespace {

// The pid file held, so that a file put in its place is never removed.
dev_t pid_dev = 0;
ino_t pid_ino = 0;

// In daemon mode the working directory becomes "/", so relative paths are
// anchored to the starting directory first. A path that cannot be anchored
// would silently point elsewhere: the start fails instead.
std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/')
        return path;
    std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    if (cwd == nullptr) {
        std::fprintf(stderr, "Can not get the current directory for %s, error: %s\n", path.c_str(),
                     std::strerror(errno));
        std::exit(1);
    }
    return std::string(cwd.get()) + "/" + path;
}

// Detaches from the terminal; returns only in the service process.
void Daemonize() {
    // The parents leave with _exit: nothing of theirs may be flushed or destroyed twice.
    // Nothing has been sent to syslog yet, so no syslog socket is open to be closed below.
    pid_t pid = fork();
    if (pid < 0)
        FailStart("Can not fork", errno);
    if (pid > 0)
        _exit(0);
    if (setsid() < 0)
        FailStart("Can not create a new session", errno);
    signal(SIGCHLD, SIG_IGN);
    pid = fork();
    if (pid < 0)
        FailStart("Can not fork", errno);
    if (pid > 0)
        _exit(0);
    umask(0);
    if (chdir("/") != 0) {
        // not fatal, and not reported: a message now would connect syslog to a
        // descriptor that the loop below closes
    }
    // One call where the kernel has it: a descriptor limit in the millions would
    // otherwise make start-up a loop of millions of close() calls.
    if (close_range(1, ~0U, 0) != 0)
        for (long fd = sysconf(_SC_OPEN_MAX); fd >= 1; --fd)
            close(static_cast<int>(fd));
    if (std::freopen("/dev/null", "r", stdin) == nullptr ||
        std::freopen("/dev/null", "w+", stdout) == nullptr ||
        std::freopen("/dev/null", "w+", stderr) == nullptr)
        FailStart("Can not open /dev/null", errno);
}

// Removes the pid file while its path still names the file held: a file put in its place
// belongs to someone else. The lock is kept until then, so no new instance can have
// taken the file. (unlink never follows a link and only drops a name from a directory.)
void RemovePidFile() {
    if (!pid_fd.ok())
        return;
    struct stat now;
    if (lstat(pid_file_name.c_str(), &now) == 0 && now.st_dev == pid_dev && now.st_ino == pid_ino)
        (void)unlink(pid_file_name.c_str());
    (void)lockf(pid_fd.get(), F_ULOCK, 0);
    pid_fd.Reset();
}

// Creates, locks and fills the pid file; the descriptor keeps the lock until stop.
void WritePidFile() {
    const std::string& path = pid_file_name;
    std::string refusal;
    pid_fd = SafeFile::OpenWritable(path, O_RDWR | O_CREAT | O_NONBLOCK, SafeFile::Use::pidFile,
                                    refusal);
    struct stat held;
    if (!pid_fd.ok() || fstat(pid_fd.get(), &held) != 0) {
        const std::string why = refusal.empty() ? std::strerror(errno) : refusal;
        FailStart("Can not open pid file: " + path, why);
    }
    if (lockf(pid_fd.get(), F_TLOCK, 0) != 0) {
        const std::string why =
            errno == EAGAIN || errno == EACCES ? "Locked by another process" : std::strerror(errno);
        FailStart("Can not lock pid file: " + path, why);
    }
    pid_dev = held.st_dev;
    pid_ino = held.st_ino;
    // Truncate only once the lock is ours, so no digits of a longer old pid remain.
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%d\n", static_cast<int>(getpid()));
    const bool truncated = ftruncate(pid_fd.get(), 0) == 0;
    const ssize_t written =
        truncated ? pwrite(pid_fd.get(), line, static_cast<size_t>(length), 0) : -1;
    if (written != length) {
        const std::string why = std::strerror(written >= 0 ? EIO : errno);
        RemovePidFile();  // the file is ours: leave no empty one behind
        FailStart("Can not write pid file: " + path, why);
    }
}

// The -l file, created without group or world write even under umask(0). Write-only
// and non-blocking: a FIFO nobody reads fails to open, and a full pipe or a stopped
// terminal loses debug lines instead of holding the service. Line-buffered, so that each
// line is there as soon as it is written. On failure `why` says why.
FILE* OpenLogStream(const std::string& path, std::string& why, struct stat& opened) {
    std::string refusal;
    FileDescriptor file = MyFunctions::OpenLogFile(path, refusal);
    if (!file.ok() || fstat(file.get(), &opened) != 0) {
        why = refusal.empty() ? std::strerror(errno) : refusal;
        return nullptr;
    }
    FILE* stream = fdopen(file.get(), "a");
    if (stream == nullptr) {
        why = std::strerror(errno);
        return nullptr;
    }
    file.Release();
    setvbuf(stream, nullptr, _IOLBF, 0);
    return stream;
}

// A reload opens the -l path again when it names another file than the one written, so
// that a file renamed by log rotation is left to its rotator. A path that cannot be opened
// keeps the old stream and is reported once, until an open succeeds again.
void ReopenLogStream() {
    if (log_stream_path.empty() ||
        (log_stream != stdout && MyFunctions::NamesFile(log_stream_path, log_stream_file)))
        return;
    std::string why;
    struct stat opened;
    FILE* stream = OpenLogStream(log_stream_path, why, opened);
    if (stream == nullptr) {
        if (!log_stream_failed)
            syslog(LOG_ERR, "Can not open log file: %s, error: %s", log_stream_path.c_str(),
                   why.c_str());
        log_stream_failed = true;
        return;
    }
    log_stream_failed = false;
    log_stream_file = opened;
    if (log_stream != stdout)
        std::fclose(log_stream);
    log_stream = stream;
}

// Detaches and takes the pid file in daemon mode, says "Started", opens what every wait
// polls, and chooses the stream for the signal debug lines.
void StartService(Options& options) {
    if (options.daemon) {
        myIPUpdate.confFile = Absolute(myIPUpdate.confFile);
        myIPUpdate.logFile = Absolute(myIPUpdate.logFile);
        options.logPath = Absolute(options.logPath);
        pid_file_name = Absolute(pid_file_name);
        Daemonize();
        if (options.pidGiven)
            WritePidFile();
    }
    syslog(LOG_INFO, "Started %s", app_name);
    if (!Wait::OpenSignalPipe())  // after Daemonize, which closes every descriptor
        FailStart("Can not open the signal pipe", errno);
    // Under a service manager standard output is the journal: each line at once.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    log_stream = stdout;
    if (options.logGiven) {
        std::string why;
        log_stream_path = options.logPath;
        FILE* stream = OpenLogStream(options.logPath, why, log_stream_file);
        log_stream_failed = stream == nullptr;
        if (stream != nullptr)
            log_stream = stream;
        else
            syslog(LOG_ERR, "Can not open log file: %s, error: %s", options.logPath.c_str(),
                   why.c_str());
    }
}

// ---- The poll loop --------------------------------------------------------------------

bool SignalPending() {
    return stop_requested || sighup_pending;
}

// What the sleep between cycles waits on besides the signals: the kernel's network events,
// and a timer that goes on through a suspend.
NetEvents::Watch watch;
NetEvents::Schedule schedule;
Wait::BootTimer timer;
bool watchRefused = false;  // said once in syslog, not tried again

// Opens or closes the watch as the configuration says.
void FollowNetEventsSetting() {
    if (!myIPUpdate.netEvents) {
        watch.Close();
        schedule = NetEvents::Schedule();
        return;
    }
    if (watch.ok() || watchRefused)
        return;
    if (!watch.Open()) {
        watchRefused = true;
        syslog(LOG_WARNING, "Can not watch the network for changes, error: %s; polling only",
               std::strerror(errno));
    }
}

// Reads the network events that came; a relevant one schedules an early check, and the
// first of a burst says why in the log.
void TakeNetEvents() {
    std::string reason;
    if (!watch.Read({myIPUpdate.ipv4Enabled, myIPUpdate.ipv6Enabled}, reason))
        return;
    if (!schedule.Pending())
        MyFunctions::Log(myIPUpdate.logFile, "ENGINE", "Network change: " + reason + ".", true,
                         myIPUpdate.debug, myIPUpdate.quiet, myIPUpdate.verbose);
    schedule.Event(Wait::BootNow());
}

// Waits for the next cycle: the poll interval, an early check a network change asks for,
// or a signal. A signal recorded before the wait began ends it at once. Returns whether the
// cycle that follows is an early one.
bool WaitForNextCycle(int seconds) {
    if (!timer.ok())
        (void)timer.Open();  // without it the wait runs on the steady clock, as before
    const long long regular = Wait::BootNow() + seconds * 1000LL;
    for (;;) {
        const long long due = schedule.Pending() ? std::min(regular, schedule.Due()) : regular;
        pollfd fds[2];
        nfds_t count = 0;
        // The steady clock stands still in a suspend: as a bound only, a second late.
        Wait::Clock::time_point deadline =
            Wait::Clock::now() + std::chrono::milliseconds(due - Wait::BootNow());
        if (timer.ok() && timer.ArmAt(due)) {
            fds[count++] = {timer.fd(), POLLIN, 0};
            deadline += std::chrono::seconds(1);
        }
        if (watch.ok())
            fds[count++] = {watch.fd(), POLLIN, 0};
        const Wait::Result result = Wait::ForAny(fds, count, deadline, SignalPending);
        if (result == Wait::Result::interrupted || result == Wait::Result::failed)
            return false;
        if (result == Wait::Result::timedOut || Wait::BootNow() >= due)
            return due < regular;
        if (watch.ok() && fds[count - 1].revents != 0)
            TakeNetEvents();
    }
}

// Free heap beyond which a reload hands memory back to the system.
const size_t freeHeapToTrim = 256 * 1024;

// Acts on recorded signals between cycles, so a reload never changes the
// settings under a running cycle. Returns false when the service is to stop.
bool HandlePendingSignals() {
    if (sighup_pending && !stop_requested) {
        sighup_pending = 0;
        MyFunctions::HoldLogDirectory(myIPUpdate.logFile);
        ReopenLogStream();
        std::fputs("Debug: reloading dododuzod config file ...\n", log_stream);
        Notify::Reloading();
        read_conf_file(1);
        // What a large configuration took goes back to the system, not only to the heap;
        // a heap with little free is left alone, which costs no system call.
        if (mallinfo2().fordblks > freeHeapToTrim)
            malloc_trim(0);
        Notify::Send("READY=1");
    }
    // Tested after the reload too: a stop that came while it ran waits for no cycle.
    if (stop_requested) {
        std::fputs("Debug: stopping dododuzod ...\n", log_stream);
        Notify::Send("STOPPING=1");
        RemovePidFile();
        running = 0;
        return false;
    }
    return true;
}

void ComplainInvalidConfiguration() {
    MyFunctions::Log(myIPUpdate.logFile, "SERVICE",
                     "Invalid configuation file. " + myIPUpdate.confFile, false, myIPUpdate.debug,
                     myIPUpdate.quiet, myIPUpdate.verbose);
    syslog(LOG_ERR, "Invalid configuration file. %s", myIPUpdate.confFile.c_str());
}

void LogNextCheck() {
    if (!MyFunctions::IsWritten(true, myIPUpdate.debug, myIPUpdate.quiet, myIPUpdate.verbose))
        return;  // the date is not even made
    MyFunctions::Log(myIPUpdate.logFile, "ENGINE",
                     "IP address check completed. Next check at " +
                         MyFunctions::GetDate(myIPUpdate.pollInterval) + ".",
                     true);
}

void PollLoop() {
    Wait::SetCycleEnds(SignalPending);  // a reload, too, ends a running cycle's waits
    bool early = false;
    while (running == 1 && HandlePendingSignals()) {
        tzset();  // once a cycle: the log's dates follow a change of the local time zone
        FollowNetEventsSetting();
        if (!myIPUpdate.IsValidConfiguration()) {
            ComplainInvalidConfiguration();
            Notify::Status("Invalid configuration file " + myIPUpdate.confFile, time(nullptr));
            schedule.CycleRan(Wait::BootNow(), early);
            early = WaitForNextCycle(myIPUpdate.pollInterval);
            continue;
        }
        const time_t cycleTime = time(nullptr);
        myIPUpdate.CheckIP(myIPUpdate.forceUpdate);
        schedule.CycleRan(Wait::BootNow(), early);
        early = false;
        // A cycle cut short by a stop or a reload has nothing to report, and a signal that
        // came during the cycle is acted on now, not after a sleep.
        if (SignalPending())
            continue;
        Notify::Status(myIPUpdate.cycleOutcome, cycleTime);
        LogNextCheck();
        early = WaitForNextCycle(myIPUpdate.pollInterval);
    }
}

// ---- The stop -------------------------------------------------------------------------

void StopService() {
    if (log_stream != stdout)
        std::fclose(log_stream);
    syslog(LOG_INFO, "Stopped %s", app_name);
    closelog();
}

}  // namespace

int main(int argc, char** argv) {
    PrepareProcess(argv[0]);
    app_name = argv[0];
    Options options;
    const int status = ReadOptions(argc, argv, options);
    if (status >= 0)
        return status;

    StartService(options);
    running = 1;
    MyFunctions::HoldLogDirectory(myIPUpdate.logFile);
    read_conf_file(0);
    myIPUpdate.forceUpdate = true;
    Notify::Send("READY=1");
    PollLoop();
    StopService();
    return 0;
}
