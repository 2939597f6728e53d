// The service manager's notify protocol: ready, reloading, stopping, and a status line.
#ifndef DODODUZOD_NOTIFY_H
#define DODODUZOD_NOTIFY_H

#include <ctime>
#include <string>

namespace Notify {

// When NOTIFY_SOCKET names a socket (a path, or an abstract name written with a leading
// "@"), `message` goes there as one datagram; unset, nothing is sent. Failures are
// ignored: the service works the same without a manager.
void Send(const std::string& message);
// One STATUS= line: `text`, its control bytes escaped, and the local time `when`.
void Status(const std::string& text, time_t when);
// RELOADING=1 with the monotonic time the manager expects beside it.
void Reloading();

}  // namespace Notify

#endif
