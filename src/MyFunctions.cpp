#include "MyFunctions.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "MyString.h"

volatile sig_atomic_t stop_requested = 0;

const char* const MyFunctions::defaultLogFile = "/var/log/dododuzod.log";

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void FileDescriptor::Reset() {
    if (fd_ < 0)
        return;
    int saved = errno;
    (void)close(fd_);
    errno = saved;
    fd_ = -1;
}

int FileDescriptor::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

namespace {

bool TrustedOwner(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

// Opens what the symbolic link `path` names, when the link may be trusted. Only root or
// the effective user can change a directory that they own and that group and others
// cannot write, so the link checked is the link followed: the open goes through the
// descriptor of the directory checked, and nobody else can swap the name in it.
FileDescriptor FollowTrustedLink(const std::string& path, int flags, std::string& refusal) {
    const size_t slash = path.rfind('/');
    const std::string dirPath =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    FileDescriptor dir(open(dirPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat link;
    struct stat parent;
    if (!dir.ok() || fstatat(dir.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 ||
        fstat(dir.get(), &parent) != 0) {
        return FileDescriptor();
    }
    if (!S_ISLNK(link.st_mode)) {
        errno = ELOOP;  // the loop lies in the directories of the path
        return FileDescriptor();
    }
    if (!TrustedOwner(link.st_uid)) {
        refusal = "Symbolic link owned by another user";
    } else if ((parent.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refusal = "Symbolic link in a directory writable by group or others";
    } else if (!TrustedOwner(parent.st_uid)) {
        refusal = "Symbolic link in a directory owned by another user";
    }
    if (!refusal.empty()) {
        return FileDescriptor();
    }
    return FileDescriptor(openat(dir.get(), name.c_str(), flags, 0640));
}

// True when the open file may be written as `use`; otherwise `refusal` says why, or,
// when fstat fails, errno does.
bool Suits(int fd, MyFunctions::FileUse use, std::string& refusal) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        return false;
    }
    const bool pid = use == MyFunctions::FileUse::pidFile;
    if (!pid && (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
        return true;  // a terminal, /dev/null or a pipe: nothing on disk to turn against us
    }
    if (!S_ISREG(info.st_mode)) {
        refusal =
            pid ? "Not a regular file" : "Not a regular file, character device, FIFO or socket";
    } else if (info.st_nlink > 1) {
        refusal = "File has more than one link";
    } else if (info.st_nlink == 0) {
        refusal = "File was removed";
    } else if (info.st_uid != geteuid()) {
        refusal = "File owned by another user";
    } else if (pid && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refusal = "File writable by group or others";
    }
    return refusal.empty();
}

// True the first time a path is refused. The service writes at most two log files; a
// few remembered paths bound the memory, and at worst a path is reported again.
bool FirstRefusal(const std::string& path) {
    static std::array<std::string, 4> reported;
    static size_t count = 0;
    for (size_t i = 0; i < std::min(count, reported.size()); ++i) {
        if (reported[i] == path) {
            return false;
        }
    }
    reported[count++ % reported.size()] = path;
    return true;
}

// One write() per line keeps lines whole even when several processes append.
void AppendLine(const std::string& path, const std::string& line) {
    // Non-blocking: a log path that is a FIFO nobody reads loses lines instead of the service.
    std::string refusal;
    FileDescriptor file = MyFunctions::OpenWritable(
        path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK, MyFunctions::FileUse::logFile, refusal);
    if (!file.ok()) {
        if (!refusal.empty() && FirstRefusal(path)) {
            syslog(LOG_ERR, "Can not write log file: %s, error: %s", path.c_str(), refusal.c_str());
        }
        return;
    }
    ssize_t written;
    do {
        written = write(file.get(), line.data(), line.size());
    } while (written < 0 && errno == EINTR);
}

}  // namespace

void MyFunctions::Log(std::string fileName, std::string tag, std::string message, bool enabled) {
    if (!enabled) {
        return;
    }
    try {
        if (fileName.empty()) {
            fileName = defaultLogFile;
        }
        AppendLine(fileName, FormatLine(time(nullptr), tag, message));
    } catch (...) {
        // Logging must never fail its caller; the line is lost.
    }
}

void MyFunctions::Log(std::string fileName, std::string tag, std::string message, bool isDebug,
                      bool debug, bool quiet, bool verbose) {
    if (!IsWritten(isDebug, debug, quiet, verbose)) {
        return;
    }
    Log(std::move(fileName), std::move(tag), std::move(message), true);
}

FileDescriptor MyFunctions::OpenWritable(const std::string& path, int flags, FileUse use,
                                         std::string& refusal) {
    flags |= O_CLOEXEC | O_NOCTTY;
    FileDescriptor file(open(path.c_str(), flags | O_NOFOLLOW, 0640));
    if (!file.ok() && errno == ELOOP) {
        file = FollowTrustedLink(path, flags, refusal);
    }
    if (file.ok() && !Suits(file.get(), use, refusal)) {
        file.Reset();
    }
    return file;
}

std::string MyFunctions::GetDate(int seconds) {
    return FormatDate(time(nullptr), seconds);
}

bool MyFunctions::FileExists(std::string path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string MyFunctions::FormatDate(time_t now, int seconds) {
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) {
        return "";
    }
    // Spread the offset over minutes and seconds so that no field overflows an int.
    long long total = static_cast<long long>(local.tm_sec) + seconds;
    local.tm_min += static_cast<int>(total / 60);
    local.tm_sec = static_cast<int>(total % 60);
    // tm_isdst stays as localtime set it, so that a clock change inside the interval
    // is resolved against the time we started from.
    (void)mktime(&local);

    char text[64];
    if (asctime_r(&local, text) == nullptr) {
        return "";
    }
    std::string date(text);
    if (!date.empty() && date.back() == '\n') {
        date.pop_back();
    }
    return date;
}

std::string MyFunctions::FormatLine(time_t now, const std::string& tag,
                                    const std::string& message) {
    return FormatDate(now, 0) + " [" + tag + "] " + message + "\n";
}

bool MyFunctions::IsWritten(bool isDebug, bool debug, bool quiet, bool verbose) {
    if (verbose) {
        return true;
    }
    if (quiet) {
        return false;
    }
    return !isDebug || debug;
}

int MyFunctions::MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

namespace {

// Blocks the service's own signals for its lifetime and restores the mask after.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t block;
        sigemptyset(&block);
        for (int sig : {SIGINT, SIGHUP, SIGTERM})
            sigaddset(&block, sig);
        ok_ = sigprocmask(SIG_BLOCK, &block, &previous_) == 0;
        during_ = previous_;
        for (int sig : {SIGINT, SIGHUP, SIGTERM})
            sigdelset(&during_, sig);
    }
    ~SignalsBlocked() {
        if (ok_)
            sigprocmask(SIG_SETMASK, &previous_, nullptr);
    }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

    bool ok() const { return ok_; }
    // The mask to wait with: the signals blocked here are let through.
    const sigset_t* during() const { return &during_; }

  private:
    bool ok_ = false;
    sigset_t previous_;
    sigset_t during_;
};

}  // namespace

MyFunctions::WaitResult MyFunctions::WaitForDescriptor(
    int fd, short events, std::chrono::steady_clock::time_point deadline) {
    SignalsBlocked blocked;
    if (!blocked.ok())
        return WaitResult::failed;
    for (;;) {
        // Tested with the signals blocked: one that comes after the test ends the ppoll.
        if (stop_requested != 0)
            return WaitResult::stopped;
        const int left = MillisecondsLeft(deadline);
        if (left == 0)
            return WaitResult::timedOut;
        pollfd p = {fd, events, 0};
        const struct timespec wait = {left / 1000, (left % 1000) * 1000000L};
        const int ready = ppoll(&p, 1, &wait, blocked.during());
        if (ready > 0)
            return WaitResult::ready;
        if (ready < 0 && errno != EINTR)
            return WaitResult::failed;
    }
}

namespace {

// The manager reads at most a pipe buffer per message; a provider's text can be longer.
const size_t statusTextMax = 256;

}  // namespace

void MyFunctions::Notify(const std::string& message) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@'))
        return;
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(name);
    if (length >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@')
        address.sun_path[0] = '\0';  // abstract: the name's length counts, no terminator
    const socklen_t size =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '/'));

    const int saved = errno;
    FileDescriptor sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.ok()) {
        // Never waits: a manager that does not read loses the message, not the service.
        while (sendto(sock.get(), message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&address), size) < 0 &&
               errno == EINTR) {
        }
    }
    errno = saved;
}

void MyFunctions::NotifyStatus(const std::string& text, time_t when) {
    if (std::getenv("NOTIFY_SOCKET") == nullptr)
        return;  // no manager: not even the line is made
    const std::string shown =
        text.size() > statusTextMax ? text.substr(0, statusTextMax) + "..." : text;
    // Escaped: text from the network cannot break the status line or the message.
    Notify("STATUS=" + MyString::Escape(shown) + " (" + FormatDate(when, 0) + ")");
}

void MyFunctions::NotifyReloading() {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return;
    const unsigned long long usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                                    static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
    Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}
