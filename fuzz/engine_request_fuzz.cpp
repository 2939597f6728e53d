// Forced check cycles of the engine behind the scripted provider, with address pages, an
// update template and a location of any bytes.
//
// Input: one byte of flags (1 IPv4 on, 2 IPv6 on; port 8245 fails for 4 the IPv4 page, 8 the
// IPv6 page, 16 the update; 32 the rest is one page that both checks answer), then the IPv4
// page, the IPv6 page, the update template (the built-in one when empty) and the location,
// separated by zero bytes.
#include <sstream>

#include "Codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const unsigned flags = size == 0 ? 0 : data[0];
    const std::string rest = size == 0 ? "" : codec::Text(data + 1, size - 1);
    std::string parts[] = {rest, rest, "", ""};
    std::istringstream in(rest);
    for (size_t i = 0; i < 4 && (flags & 32) == 0; ++i)
        if (!std::getline(in, parts[i], '\0'))
            parts[i].clear();
    codec::Cycle cycle{(flags & 1) != 0, (flags & 2) != 0, parts[0], parts[1],
                       parts[2],         parts[3],         {}};
    const char* failing[] = {"8245 http://checkip.", "8245 http://checkipv6.", "8245 http://api."};
    for (unsigned bit = 0; bit < 3; ++bit)
        if (flags & (4u << bit))
            cycle.failing.push_back(failing[bit]);
    codec::Hold(codec::RunCycle(cycle).broken);
    return 0;
}
