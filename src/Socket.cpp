#include "Socket.h"

#include <sys/socket.h>

#include "MyFunctions.h"

namespace Socket {

void Trace(const std::string& text, bool verbose) noexcept {
    try {
        MyFunctions::Log("", "FRAMEWORK", text, verbose);
    } catch (...) {
    }
}

FileDescriptor Open(int family, int type, bool verbose) {
    Trace("Creating socket.", verbose);
    FileDescriptor sock(socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (sock.ok())
        Trace("Setting socket timeout.", verbose);  // the deadline of every wait on it
    return sock;
}

}  // namespace Socket
