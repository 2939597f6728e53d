// Puts a test process into private network and mount namespaces: only loopback,
// and private /var/log, /dev (with /dev/log free for a capture) and /tmp.
#ifndef DODODUZOD_TEST_SANDBOX_H
#define DODODUZOD_TEST_SANDBOX_H

#include <string>

namespace sandbox {

// False (with `why` set) when the namespaces cannot be made, e.g. not root.
bool Enter(std::string& why);

}  // namespace sandbox

#endif
