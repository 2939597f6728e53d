// What the HTTP and DNS clients share: their trace lines and the set-up of a socket for one
// exchange.
#ifndef DODODUZOD_SOCKET_H
#define DODODUZOD_SOCKET_H

#include <string>

#include "FileDescriptor.h"

namespace Socket {

// A network client's step-by-step line: written only with `verbose`, and never failing the
// exchange it describes.
void Trace(const std::string& text, bool verbose) noexcept;

// A socket for one exchange. Non-blocking, so that no call waits anywhere but in a Wait,
// whose deadline bounds the exchange and which a stop ends at once.
FileDescriptor Open(int family, int type, bool verbose);

}  // namespace Socket

#endif
