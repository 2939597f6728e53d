#include "MyFunctions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "SafeFile.h"

const char* const MyFunctions::defaultLogFile = "/var/log/dododuzod.log";

namespace {

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

// The line log's directory as the last load resolved it; `ok` is false when the walk
// failed, and every line then walks the whole path again.
struct HeldDirectory {
    std::string path;
    SafeFile::Directory directory;
    bool ok = false;
};

HeldDirectory& Held() {
    static HeldDirectory held;
    return held;
}

// One write() per line keeps lines whole even when several processes append.
void AppendLine(const std::string& path, const std::string& line) {
    std::string refusal;
    FileDescriptor file = MyFunctions::OpenLogFile(path, refusal);
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

void MyFunctions::HoldLogDirectory(std::string fileName) {
    if (fileName.empty()) {
        fileName = defaultLogFile;
    }
    HeldDirectory& held = Held();
    held.directory = SafeFile::Directory();
    std::string refusal;  // reported by the lines, once
    // Through the links at the end, which only root or the service can change: a line
    // opens the file itself.
    held.ok = SafeFile::OpenDirectory(fileName, held.directory, refusal, true);
    held.path = held.ok ? fileName : "";
}

FileDescriptor MyFunctions::OpenLogFile(const std::string& path, std::string& refusal) {
    // Non-blocking: a log path that is a FIFO nobody reads loses lines instead of the service.
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK;
    const HeldDirectory& held = Held();
    if (held.ok && held.path == path) {
        return SafeFile::OpenIn(held.directory, flags, SafeFile::Use::logFile, refusal);
    }
    return SafeFile::OpenWritable(path, flags, SafeFile::Use::logFile, refusal);
}

bool MyFunctions::NamesFile(const std::string& path, const struct stat& open) {
    const HeldDirectory& held = Held();
    struct stat named = held.directory.named;  // as the hold found it: no system call
    if (!(held.ok && held.path == path) &&
        fstatat(AT_FDCWD, path.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return named.st_nlink != 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
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
    if (seconds != 0) {
        // Spread the offset over minutes and seconds so that no field overflows an int.
        long long total = static_cast<long long>(local.tm_sec) + seconds;
        local.tm_min += static_cast<int>(total / 60);
        local.tm_sec = static_cast<int>(total % 60);
        // tm_isdst stays as localtime set it, so that a clock change inside the interval
        // is resolved against the time we started from.
        (void)mktime(&local);
    }

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
