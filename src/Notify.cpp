#include "Notify.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "FileDescriptor.h"
#include "MyFunctions.h"
#include "MyString.h"

namespace {

// The manager reads at most a pipe buffer per message; a provider's text can be longer.
const size_t statusTextMax = 256;

}  // namespace

namespace Notify {

void Send(const std::string& message) {
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

void Status(const std::string& text, time_t when) {
    if (std::getenv("NOTIFY_SOCKET") == nullptr)
        return;  // no manager: not even the line is made
    // Escaped: text from the network cannot break the status line or the message, and the
    // manager, which ignores a status that is not UTF-8, gets ASCII. Cut after escaping,
    // at the start of an escape that the limit would split.
    std::string shown = MyString::Escape(text);
    if (shown.size() > statusTextMax) {
        const size_t escape = shown.rfind('\\', statusTextMax - 1);
        const bool split = escape != std::string::npos && escape + 4 > statusTextMax;
        shown = shown.substr(0, split ? escape : statusTextMax) + "...";
    }
    Send("STATUS=" + shown + " (" + MyFunctions::FormatDate(when, 0) + ")");
}

void Reloading() {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return;
    const unsigned long long usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                                    static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
    Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

}  // namespace Notify
