// dododuzod: start-up, the poll loop, signals, configuration loading and shutdown.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "MyConfiguration.h"
#include "MyFunctions.h"
#include "MyHTTP.h"
#include "MyIPUpdate.h"
#include "MyString.h"

MyIPUpdate myIPUpdate;
int running = 0;
FILE* log_stream = nullptr;
const char* app_name = nullptr;
std::string pid_file_name;
int pid_fd = -1;

namespace {

// The handler only records; the poll loop acts on what it recorded.
volatile sig_atomic_t sigint_pending = 0;
volatile sig_atomic_t sighup_pending = 0;

const char* const locationIgnored =
    "Ignoring invalid location. You can map hostnames to locations in the control panel.";

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

// True when the provider answers that `location` does not exist.
bool IsLocationDenied(const std::string& username, const std::string& password,
                      const std::string& location) {
    if (username.empty() || password.empty() || location.empty())
        return false;
    const std::string url = MyString::Replace(myIPUpdate.locationCheckUrl, "{0}", location);
    const std::string credentials = username + ":" + MyString::MD5Hash(password);
    std::string body;
    std::string error;
    return MyHTTP::GetUrl(url, 80, credentials, body, error, myIPUpdate.verbose) && body == "false";
}

// The poll interval never goes below two minutes.
int PollIntervalFloor(int seconds) {
    return seconds < 120 ? 120 : seconds;
}

}  // namespace

void handle_signal(int sig) {
    if (sig == SIGINT) {
        sigint_pending = 1;
        stop_requested = 1;
        signal(SIGINT, SIG_DFL);  // a second SIGINT ends the process at once
    } else if (sig == SIGHUP) {
        sighup_pending = 1;
    }
}

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
    myIPUpdate.username = configuration.GetString("username");
    myIPUpdate.password = configuration.GetString("password");
    myIPUpdate.location = configuration.GetString("location");
    myIPUpdate.ipv4Enabled = configuration.GetBoolean("ipv4");
    myIPUpdate.ipv6Enabled = configuration.GetBoolean("ipv6");
    myIPUpdate.pollInterval = PollIntervalFloor(configuration.GetInteger("pollinterval"));
    myIPUpdate.debug = configuration.GetBoolean("debug");
    myIPUpdate.quiet = configuration.GetBoolean("quiet");
    myIPUpdate.verbose = configuration.GetBoolean("verbose");
    myIPUpdate.forceUpdate = true;

    if (IsLocationDenied(myIPUpdate.username, myIPUpdate.password, myIPUpdate.location)) {
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
    const std::string username = configuration.GetString("username");
    const std::string password = configuration.GetString("password");
    const std::string location = configuration.GetString("location");
    const bool ipv4 = configuration.GetBoolean("ipv4");
    const bool ipv6 = configuration.GetBoolean("ipv6");
    const int pollInterval = PollIntervalFloor(configuration.GetInteger("pollinterval"));
    const bool debug = configuration.GetBoolean("debug");
    const bool quiet = configuration.GetBoolean("quiet");

    std::cout << "Username: '" << username << "'" << std::endl;
    std::cout << "Password: '" << password << "'" << std::endl;
    std::cout << "Location: '" << location << "'" << std::endl;
    std::cout << "IPv4: '" << ipv4 << "'" << std::endl;
    std::cout << "IPv6: '" << ipv6 << "'" << std::endl;
    std::cout << "Poll Interval: '" << pollInterval << "'" << std::endl;
    std::cout << "Debug: '" << debug << "'" << std::endl;
    std::cout << "Quiet: '" << quiet << "'" << std::endl;

    bool valid = true;
    if (username.empty()) {
        std::cout << "Username should not be empty." << std::endl;
        valid = false;
    }
    if (password.empty()) {
        std::cout << "Password should not be empty." << std::endl;
        valid = false;
    }
    if (IsLocationDenied(username, password, location))
        std::cout << "Location " << location
                  << " does not exist and will be ignored. You can map hostnames to locations in "
                     "the control panel."
                  << std::endl;
    std::cout << (valid ? "Configuration is valid." : "Invalid configuration.") << std::endl;
    return 0;
}

namespace {

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
    pid_t pid = fork();
    if (pid < 0)
        std::exit(1);
    if (pid > 0)
        _exit(0);
    if (setsid() < 0)
        std::exit(1);
    signal(SIGCHLD, SIG_IGN);
    pid = fork();
    if (pid < 0)
        std::exit(1);
    if (pid > 0)
        _exit(0);
    umask(0);
    if (chdir("/") != 0) {
        // nothing to report yet: syslog is not open
    }
    // One call where the kernel has it: a descriptor limit in the millions would
    // otherwise make start-up a loop of millions of close() calls.
    if (close_range(1, ~0U, 0) != 0)
        for (long fd = sysconf(_SC_OPEN_MAX); fd >= 1; --fd)
            close(static_cast<int>(fd));
    if (std::freopen("/dev/null", "r", stdin) == nullptr ||
        std::freopen("/dev/null", "w+", stdout) == nullptr ||
        std::freopen("/dev/null", "w+", stderr) == nullptr)
        std::exit(1);
}

// Creates, locks and fills the pid file; the descriptor keeps the lock until stop.
void WritePidFile() {
    pid_fd = open(pid_file_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (pid_fd < 0)
        std::exit(1);
    if (lockf(pid_fd, F_TLOCK, 0) != 0)
        std::exit(1);
    // Truncate only once the lock is ours, so no digits of a longer old pid remain.
    char line[32];
    int length = std::snprintf(line, sizeof line, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(pid_fd, 0) != 0 ||
        pwrite(pid_fd, line, static_cast<size_t>(length), 0) != length) {
        unlink(pid_file_name.c_str());  // the file is ours: leave no empty one behind
        std::exit(1);
    }
}

void RemovePidFile() {
    if (pid_fd == -1)
        return;
    lockf(pid_fd, F_ULOCK, 0);
    close(pid_fd);
    pid_fd = -1;
    unlink(pid_file_name.c_str());
}

// The -l file, created without group or world write even under umask(0). Write-only
// and non-blocking: a FIFO nobody reads fails to open, and a full pipe or a stopped
// terminal loses debug lines instead of holding the service.
FILE* OpenLogStream(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0640);
    if (fd < 0)
        return nullptr;
    FILE* stream = fdopen(fd, "a");
    if (stream == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

// Sleeps up to `seconds`; a signal ends the sleep, and one recorded before the
// sleep began ends it at once (signals are blocked between the test and the wait).
void Sleep(int seconds) {
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &block, &previous) != 0)
        return;
    if (!sigint_pending && !sighup_pending && seconds > 0) {
        struct timespec wait = {seconds, 0};
        ppoll(nullptr, 0, &wait, &previous);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

bool SignalPending() {
    return sigint_pending || sighup_pending;
}

// Acts on recorded signals between cycles, so a reload never changes the
// settings under a running cycle. Returns false when the service is to stop.
bool HandlePendingSignals() {
    if (sighup_pending && !sigint_pending) {
        sighup_pending = 0;
        std::fputs("Debug: reloading dododuzod config file ...\n", log_stream);
        MyFunctions::NotifyReloading();
        read_conf_file(1);
        MyFunctions::Notify("READY=1");
    }
    // Tested after the reload too: a stop that came while it ran waits for no cycle.
    if (sigint_pending) {
        std::fputs("Debug: stopping dododuzod ...\n", log_stream);
        MyFunctions::Notify("STOPPING=1");
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

void PollLoop() {
    while (running == 1 && HandlePendingSignals()) {
        if (!myIPUpdate.IsValidConfiguration()) {
            ComplainInvalidConfiguration();
            MyFunctions::NotifyStatus("Invalid configuration file " + myIPUpdate.confFile,
                                      time(nullptr));
            Sleep(myIPUpdate.pollInterval);
            continue;
        }
        const time_t cycleTime = time(nullptr);
        myIPUpdate.CheckIP(myIPUpdate.forceUpdate);
        if (!stop_requested)  // a cycle cut short by a stop has nothing to report
            MyFunctions::NotifyStatus(myIPUpdate.cycleOutcome, cycleTime);
        // A signal that came during the cycle is acted on now, not after a sleep.
        if (SignalPending())
            continue;
        MyFunctions::Log(myIPUpdate.logFile, "ENGINE",
                         "IP address check completed. Next check at " +
                             MyFunctions::GetDate(myIPUpdate.pollInterval) + ".",
                         true, myIPUpdate.debug, myIPUpdate.quiet, myIPUpdate.verbose);
        Sleep(myIPUpdate.pollInterval);
    }
}

}  // namespace

int main(int argc, char** argv) {
    app_name = argv[0];
    static const struct option longOptions[] = {{"conf_file", required_argument, nullptr, 'c'},
                                                {"test_conf", required_argument, nullptr, 't'},
                                                {"log_file", required_argument, nullptr, 'l'},
                                                {"help", no_argument, nullptr, 'h'},
                                                {"daemon", no_argument, nullptr, 'd'},
                                                {"pid_file", required_argument, nullptr, 'p'},
                                                {nullptr, 0, nullptr, 0}};
    Options options;
    int option;
    while ((option = getopt_long(argc, argv, "c:l:t:p:dh", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'c':
                myIPUpdate.confFile = optarg;
                break;
            case 't':
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

    if (options.daemon) {
        myIPUpdate.confFile = Absolute(myIPUpdate.confFile);
        myIPUpdate.logFile = Absolute(myIPUpdate.logFile);
        options.logPath = Absolute(options.logPath);
        pid_file_name = Absolute(pid_file_name);
        Daemonize();
        if (options.pidGiven)
            WritePidFile();
    }

    openlog(argv[0], LOG_CONS | LOG_PID, LOG_DAEMON);
    syslog(LOG_INFO, "Started %s", app_name);

    // The stream exists before the handler can need it.
    log_stream = stdout;
    if (options.logGiven) {
        FILE* stream = OpenLogStream(options.logPath);
        if (stream != nullptr)
            log_stream = stream;
        else
            syslog(LOG_ERR, "Can not open log file: %s, error: %s", options.logPath.c_str(),
                   std::strerror(errno));
    }
    running = 1;
    signal(SIGINT, handle_signal);
    signal(SIGHUP, handle_signal);

    read_conf_file(0);
    myIPUpdate.forceUpdate = true;
    MyFunctions::Notify("READY=1");
    PollLoop();

    if (log_stream != stdout)
        std::fclose(log_stream);
    syslog(LOG_INFO, "Stopped %s", app_name);
    closelog();
    return 0;
}
