#include "Wait.h"

#include <fcntl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

volatile sig_atomic_t stop_requested = 0;

namespace {

// Both ends non-blocking: the handler never waits on a full pipe, the drain never blocks.
int signalPipe[2] = {-1, -1};

// Empties the pipe: the flags, not the bytes, say what happened. Anything left after one
// read only ends the next wait early, which then tests the flags again.
void Drain() {
    char bytes[64];
    (void)!read(signalPipe[0], bytes, sizeof bytes);
}

bool Stopping() {
    return stop_requested != 0;
}

bool (*cycleEnds)() = Stopping;

}  // namespace

namespace Wait {

bool OpenSignalPipe() {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    signalPipe[1] = ends[1];
    signalPipe[0] = ends[0];
    return true;
}

void Wake() {
    const int saved = errno;
    if (signalPipe[1] >= 0)
        (void)!write(signalPipe[1], "", 1);  // a full pipe is already readable
    errno = saved;
}

Clock::time_point After(int seconds) {
    return Clock::now() + std::chrono::seconds(seconds);
}

int MillisecondsLeft(Clock::time_point deadline) {
    using namespace std::chrono;
    const auto left = duration_cast<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

Result ForAny(pollfd* fds, nfds_t count, Clock::time_point deadline, bool (*ends)()) {
    enum { most = 4 };
    if (count > most)
        return Result::failed;
    pollfd all[most + 1];
    std::copy(fds, fds + count, all);
    all[count] = {signalPipe[0], POLLIN, 0};  // a negative descriptor is left out by ppoll
    for (;;) {
        if (ends())
            return Result::interrupted;
        const int left = MillisecondsLeft(deadline);
        if (left == 0)
            return Result::timedOut;
        const struct timespec wait = {left / 1000, (left % 1000) * 1000000L};
        const int ready = ppoll(all, count + 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR)
            return Result::failed;
        if (ready > 0 && all[count].revents != 0)
            Drain();
        if (ready > (all[count].revents != 0 ? 1 : 0)) {
            std::copy(all, all + count, fds);
            return Result::ready;
        }
    }
}

Result ForDescriptor(int fd, short events, Clock::time_point deadline, short* revents) {
    pollfd p = {fd, events, 0};
    const Result result = ForAny(&p, 1, deadline, CycleEnds);
    if (revents != nullptr)
        *revents = p.revents;
    return result;
}

void SetCycleEnds(bool (*ends)()) {
    cycleEnds = ends;
}

bool CycleEnds() {
    return Stopping() || cycleEnds();
}

long long BootNow() {
    struct timespec now;
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0)
        return 0;
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool BootTimer::Open() {
    fd_ = FileDescriptor(timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC));
    return fd_.ok();
}

bool BootTimer::ArmAt(long long when) {
    // Absolute, so the time it takes to get here is not added; never 0, which disarms.
    when = std::max(when, 1LL);
    struct itimerspec at = {};
    at.it_value.tv_sec = when / 1000;
    at.it_value.tv_nsec = (when % 1000) * 1000000L;
    return timerfd_settime(fd_.get(), TFD_TIMER_ABSTIME, &at, nullptr) == 0;
}

}  // namespace Wait
