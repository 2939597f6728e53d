// The stop flag and the one signal-aware wait that every blocking step goes through.
#ifndef DODODUZOD_WAIT_H
#define DODODUZOD_WAIT_H

#include <poll.h>

#include <chrono>
#include <csignal>

#include "FileDescriptor.h"

// Set by the stop signals' handler. Waits give up once it is set, so that a stop never has
// to sit out a socket time-out.
extern volatile sig_atomic_t stop_requested;

namespace Wait {

using Clock = std::chrono::steady_clock;

// The signals the service acts on: SIGINT and SIGTERM stop it, SIGHUP reloads it.
constexpr int serviceSignals[] = {SIGINT, SIGHUP, SIGTERM};

// Opens the descriptor that Wake() makes readable and that every wait polls, so that a
// signal that comes between a wait's test of the flags and the wait itself still ends it,
// without blocking signals around each wait. Until it is open, a wait ends on EINTR only.
bool OpenSignalPipe();
// For a signal handler, after it has set its flag: async-signal-safe, keeps errno.
void Wake();

enum class Result { ready, timedOut, interrupted, failed };

// A deadline `seconds` from now.
Clock::time_point After(int seconds);
// What is left until `deadline`, as a poll() time-out; 0 once it has passed.
int MillisecondsLeft(Clock::time_point deadline);

// Waits until one of the `count` descriptors of `fds` is ready (their revents say which),
// `deadline` passes, or `ends()` turns true after a signal. `ends` is tested before every
// wait; a signal that does not make it true only resumes the wait.
Result ForAny(pollfd* fds, nfds_t count, Clock::time_point deadline, bool (*ends)());
// One descriptor, ended by a stop or what SetCycleEnds adds: the network clients' wait. `revents`,
// when given, receives what the descriptor reported.
Result ForDescriptor(int fd, short events, Clock::time_point deadline, short* revents = nullptr);

// What else cuts a running cycle short besides a stop (the service adds a pending reload),
// and whether the cycle is to end now. The engine looks at CycleEnds before each step.
void SetCycleEnds(bool (*ends)());
bool CycleEnds();

// Milliseconds on CLOCK_BOOTTIME, which goes on counting through a suspend.
long long BootNow();

// A timer on CLOCK_BOOTTIME for the sleep between cycles: readable once the time set has
// come, also when it came during a suspend, so that a check due then runs at resume.
class BootTimer {
  public:
    bool Open();
    bool ok() const { return fd_.ok(); }
    int fd() const { return fd_.get(); }
    // Readable at `when` (BootNow's milliseconds); a new time replaces the old one.
    bool ArmAt(long long when);

  private:
    FileDescriptor fd_;
};

}  // namespace Wait

#endif
