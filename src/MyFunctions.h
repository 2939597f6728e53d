// The line log and dates, and the descriptor owner and deadline helper the other units share.
#ifndef DODODUZOD_MYFUNCTIONS_H
#define DODODUZOD_MYFUNCTIONS_H

#include <chrono>
#include <csignal>
#include <ctime>
#include <string>

// Set by the SIGINT handler. Network waits give up once it is set, so that a
// stop never has to sit out a socket time-out.
extern volatile sig_atomic_t stop_requested;

// Owns one descriptor and closes it on every way out, keeping errno for the caller
// that reports the step that failed.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { Reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    void Reset();
    // Hands the descriptor to a new owner, such as a stdio stream.
    int Release();

  private:
    int fd_;
};

class MyFunctions {
  public:
    static const char* const defaultLogFile;  // "/var/log/dododuzod.log"

    // Unfiltered: writes one dated, tagged line when `enabled`.
    static void Log(std::string fileName, std::string tag, std::string message, bool enabled);
    // Filtered by the configuration's debug, quiet and verbose flags.
    static void Log(std::string fileName, std::string tag, std::string message, bool isDebug,
                    bool debug, bool quiet, bool verbose);
    // What a file that the service writes must be once it is open.
    enum class FileUse { pidFile, logFile };
    // Opens a file that the service writes, `flags` plus O_NOFOLLOW, O_CLOEXEC and O_NOCTTY,
    // creating it with mode 0640. A symbolic link as the last component is followed only when
    // root or the effective user owns both the link and its directory and neither group nor
    // others can write that directory; what is opened must then suit `use`. On failure the
    // descriptor is not ok() and `refusal` says why the file was refused; it stays empty when
    // the open itself failed, and errno says why.
    static FileDescriptor OpenWritable(const std::string& path, int flags, FileUse use,
                                       std::string& refusal);
    // The local time `seconds` from now, as a log line's date.
    static std::string GetDate(int seconds);
    bool FileExists(std::string path);
    // What is left until `deadline`, as a poll() time-out; 0 once it has passed.
    static int MillisecondsLeft(std::chrono::steady_clock::time_point deadline);

    enum class WaitResult { ready, timedOut, stopped, failed };
    // Waits until `fd` reports one of `events` or `deadline` passes. SIGINT, SIGHUP and
    // SIGTERM are let through only inside the wait, so a stop that arrives at any
    // instant ends it at once; any other signal (a reload) only resumes it.
    static WaitResult WaitForDescriptor(int fd, short events,
                                        std::chrono::steady_clock::time_point deadline);

    // The pieces above, with the clock passed in so that they can be checked.
    static std::string FormatDate(time_t now, int seconds);
    static std::string FormatLine(time_t now, const std::string& tag, const std::string& message);
    static bool IsWritten(bool isDebug, bool debug, bool quiet, bool verbose);

    // The service manager's notify protocol. When NOTIFY_SOCKET names a socket (a path,
    // or an abstract name written with a leading "@"), `message` goes there as one
    // datagram; unset, nothing is sent. Failures are ignored: the service works the
    // same without a manager.
    static void Notify(const std::string& message);
    // One STATUS= line: `text`, its control bytes escaped, and the local time `when`.
    static void NotifyStatus(const std::string& text, time_t when);
    // RELOADING=1 with the monotonic time the manager expects beside it.
    static void NotifyReloading();
};

#endif
